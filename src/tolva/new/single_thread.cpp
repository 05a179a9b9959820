#include "tolva/new/single_thread.hpp"

#include "tolva/face_walk.hpp"

namespace tolva {
namespace {

// For every q-simplex w in [first, last): each (q+1)-simplex a whose i-th face is w with each b whose j-th face
// is w, and every simplex containing a with every other simplex containing b.
template <class Emit>
void incidence_pairs(const PositionTable& by_i_face, const PositionTable& by_j_face, const PositionTable& cofaces,
                     std::uint64_t first_position, std::uint64_t first, std::uint64_t last, Emit&& emit) {
  for (std::uint64_t w = first; w < last; ++w) {
    const auto with_i_face = by_i_face.row(w);
    const auto with_j_face = by_j_face.row(w);
    if (with_i_face.empty() || with_j_face.empty()) continue;
    for (const Position a : with_i_face) {
      const auto containing_a = cofaces.row(a - first_position);
      for (const Position b : with_j_face) {
        emit(a, b);
        // Each row starts with the simplex itself: (a, b) comes first, and was just inserted.
        const auto containing_b = cofaces.row(b - first_position);
        for (const Position t : containing_b.subspan(1)) {
          if (a != t) emit(a, t);
        }
        for (const Position s : containing_a.subspan(1)) {
          for (const Position t : containing_b) {
            if (s != t) emit(s, t);
          }
        }
      }
    }
  }
}

// How many pairs insert_incidence_pairs attempts, at most.
std::uint64_t incidence_attempts(const PositionTable& by_i_face, const PositionTable& by_j_face,
                                 const PositionTable& cofaces, std::uint64_t first_position) {
  const auto coface_sum = [&](std::span<const Position> row) {
    std::uint64_t sum = 0;
    for (const Position a : row) sum = saturating_add(sum, cofaces.row(a - first_position).size());
    return sum;
  };
  std::uint64_t attempts = 0;
  for (std::uint64_t w = 0; w < by_i_face.rows(); ++w) {
    const auto with_i_face = by_i_face.row(w);
    const auto with_j_face = by_j_face.row(w);
    if (with_i_face.empty() || with_j_face.empty()) continue;
    attempts = saturating_add(attempts, saturating_mul(with_i_face.size(), with_j_face.size()));
    attempts = saturating_add(attempts, saturating_mul(coface_sum(with_i_face), coface_sum(with_j_face)));
  }
  return attempts;
}

}  // namespace

QNearGraph q_near_graph_new(std::uint64_t q, std::uint64_t i, std::uint64_t j,
                            const DirectedFlagComplex& complex, const SimplexIndex& index) {
  QNearGraph q_graph;
  if (complex.lists.size() >= 2) {
    check_face_places(i, j, q + 2);
    const FaceWalk walk = walk_faces(complex, index);
    const PositionTable cofaces = containing_simplices(complex, index, walk, 1, complex.lists.size() - 1);
    // The (q+1)-simplices, filed under their i-th and j-th faces.
    const FiledByFace filed = file_by_face(complex, index, walk, 1, 1, i, j, complex.lists[0].size());
    const std::uint64_t first_position = index.first_position(1);
    q_graph.reserve(saturating_add(walk.face_positions.size(),
                                   incidence_attempts(filed.by_i_face, filed.by_j_face(), cofaces, first_position)));
    q_graph.insert_all([&](QNearGraph::PairStream& pairs) {
      const std::uint64_t rows = filed.by_i_face.rows();
      const std::uint64_t pieces = pieces_for(rows);
      pairs.insert_pieces(pieces, [&](std::uint64_t piece, auto&& emit) {
        const auto [first, last] = parallel::block_range(0, rows, pieces, piece);
        incidence_pairs(filed.by_i_face, filed.by_j_face(), cofaces, first_position, first, last, emit);
      });
      insert_face_pairs(complex, index, walk, pairs);
    }, distinct_face_pair_sources(index));
  }
  return q_graph;
}

}  // namespace tolva
