#include "tolva/original/single_thread.hpp"

#include "tolva/face_walk.hpp"

namespace tolva {
namespace {

// Pairs of different simplices whose i-th and j-th faces share the q-simplex t, for every t in
// [first, last), passed to emit.
template <class Emit>
void shared_face_pairs(const PositionTable& cofaces, const PositionTable& by_i_face, const PositionTable& by_j_face,
                       std::uint64_t first, std::uint64_t last, Emit&& emit) {
  for (std::uint64_t t = first; t < last; ++t) {
    const auto containing = cofaces.row(t);
    for (const Position a : containing) {
      const auto with_i_face = by_i_face.row(a);
      if (with_i_face.empty()) continue;
      for (const Position b : containing) {
        const auto with_j_face = by_j_face.row(b);
        if (with_j_face.empty()) continue;
        for (const Position x : with_i_face) {
          for (const Position y : with_j_face) {
            if (x != y) emit(x, y);
          }
        }
      }
    }
  }
}

// How many pairs insert_shared_face_pairs attempts, at most.
std::uint64_t shared_face_attempts(const PositionTable& cofaces, const PositionTable& by_i_face,
                                   const PositionTable& by_j_face) {
  std::uint64_t attempts = 0;
  for (std::uint64_t t = 0; t < cofaces.rows(); ++t) {
    std::uint64_t with_i_face = 0, with_j_face = 0;
    for (const Position a : cofaces.row(t)) {
      with_i_face = saturating_add(with_i_face, by_i_face.row(a).size());
      with_j_face = saturating_add(with_j_face, by_j_face.row(a).size());
    }
    attempts = saturating_add(attempts, saturating_mul(with_i_face, with_j_face));
  }
  return attempts;
}

}  // namespace

QNearGraph q_near_graph_old(std::uint64_t q, std::uint64_t i, std::uint64_t j,
                            const DirectedFlagComplex& complex, const SimplexIndex& index) {
  QNearGraph q_near_graph;
  if (complex.lists.size() >= 2) {
    check_face_places(i, j, q + 2);
    // Every simplex of dimension q + 1 or more, filed under its i-th and j-th faces: those
    // are below the top list. Nothing is filed under a simplex of the top list, so the
    // q-simplices' cofaces leave that list out.
    const std::size_t top = complex.lists.size() - 1;
    const FaceWalk walk = walk_faces(complex, index);
    const FiledByFace filed = file_by_face(complex, index, walk, 1, top, i, j, index.first_position(top));
    const PositionTable cofaces = containing_simplices(complex, index, walk, 0, top - 1);
    q_near_graph.reserve(saturating_add(walk.face_positions.size(),
                                        shared_face_attempts(cofaces, filed.by_i_face, filed.by_j_face())));
    q_near_graph.insert_all([&](QNearGraph::PairStream& pairs) {
      const std::uint64_t rows = cofaces.rows();
      const std::uint64_t pieces = pieces_for(rows);
      pairs.insert_pieces(pieces, [&](std::uint64_t piece, auto&& emit) {
        const auto [first, last] = parallel::block_range(0, rows, pieces, piece);
        shared_face_pairs(cofaces, filed.by_i_face, filed.by_j_face(), first, last, emit);
      });
      insert_face_pairs(complex, index, walk, pairs);
    }, distinct_face_pair_sources(index));
  }
  return q_near_graph;
}

}  // namespace tolva
