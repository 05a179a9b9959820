#include "tolva/new/single_thread.hpp"

#include <vector>

#include "tolva/face_walk.hpp"

namespace tolva {
namespace {

// The tables of the products: the (q+1)-simplices filed under their i-th and j-th faces, and
// per (q+1)-simplex the simplices that contain it.
struct Tables {
  FiledByFace filed;
  PositionTable cofaces;  // keyed by place in L1, the simplex itself left out
  std::uint64_t first_position;  // of L1

  // The simplices that contain a (a itself left out).
  std::span<const Position> cofaces_of(Position a) const { return cofaces.row(a - first_position); }
};

// For every q-simplex w in [first, last): each (q+1)-simplex a whose i-th face is w with each b
// whose j-th face is w, and every simplex that is or contains a with every other simplex that
// is or contains b.
template <class Emit>
void incidence_pairs(const Tables& tables, std::uint64_t first, std::uint64_t last, Emit&& emit) {
  const PositionTable& by_i_face = tables.filed.by_i_face;
  const PositionTable& by_j_face = tables.filed.by_j_face();
  std::vector<std::span<const Position>> containing_bs;  // per b of w: its cofaces, looked up once
  for_each_marked<Marked::Both>(by_i_face.keys(), by_j_face.keys(), first, last, [&](std::uint64_t w) {
    const auto with_i_face = by_i_face.row(w);
    const auto with_j_face = by_j_face.row(w);
    containing_bs.clear();
    for (const Position b : with_j_face) containing_bs.push_back(tables.cofaces_of(b));
    for (const Position a : with_i_face) {
      const auto containing_a = tables.cofaces_of(a);
      for (std::size_t at = 0; at < with_j_face.size(); ++at) {
        const Position b = with_j_face[at];
        const auto containing_b = containing_bs[at];
        // (a, b) first, as the products of a and b with themselves would give it.
        emit(a, b);
        for (const Position t : containing_b) {
          if (a != t) emit(a, t);
        }
        for (const Position s : containing_a) {
          if (s != b) emit(s, b);
          for (const Position t : containing_b) {
            if (s != t) emit(s, t);
          }
        }
      }
    }
  });
}

// How many pairs incidence_pairs attempts for [first, last), at most.
std::uint64_t incidence_attempts(const Tables& tables, std::uint64_t first, std::uint64_t last) {
  const PositionTable& by_i_face = tables.filed.by_i_face;
  const PositionTable& by_j_face = tables.filed.by_j_face();
  const auto containing_sum = [&](std::span<const Position> row) {
    std::uint64_t sum = row.size();
    for (const Position a : row) sum = saturating_add(sum, tables.cofaces_of(a).size());
    return sum;
  };
  std::uint64_t attempts = 0;
  for_each_marked<Marked::Both>(by_i_face.keys(), by_j_face.keys(), first, last, [&](std::uint64_t w) {
    const auto with_i_face = by_i_face.row(w);
    const auto with_j_face = by_j_face.row(w);
    attempts = saturating_add(attempts, saturating_mul(with_i_face.size(), with_j_face.size()));
    attempts = saturating_add(attempts, saturating_mul(containing_sum(with_i_face), containing_sum(with_j_face)));
  });
  return attempts;
}

}  // namespace

QNearGraph q_near_graph_new(std::uint64_t q, std::uint64_t i, std::uint64_t j,
                            const DirectedFlagComplex& complex, const SimplexIndex& index, const ProductCuts& cuts,
                            const FaceWalk* kept_walk) {
  if (complex.lists.size() < 2) return QNearGraph();
  check_face_places(i, j, q + 2);
  FaceWalkSource source(complex, index, kept_walk);
  const FaceWalk& walk = *source;
  // The (q+1)-simplices, filed under their i-th and j-th faces.
  const std::uint64_t q_simplices = complex.lists[0].size();
  const std::size_t top = complex.lists.size() - 1;
  Tables tables{{}, {}, index.first_position(1)};
  parallel::run_tasks(
      small_tables(complex, 1, top, cuts), [&] { tables.filed = file_by_face(complex, index, walk, 1, 1, i, j, q_simplices, cuts); },
      [&] { tables.cofaces = containing_simplices(complex, index, walk, 1, top, [](std::uint64_t) { return true; }, cuts); });
  const ProductPieces pieces = cut_into_pieces(
      q_simplices, cuts, [&](std::uint64_t first, std::uint64_t last) { return incidence_attempts(tables, first, last); });
  return products_then_face_pairs(
      complex, index, source, pieces,
      [&](std::uint64_t first, std::uint64_t last, auto&& emit) { incidence_pairs(tables, first, last, emit); },
      [&] { tables = Tables(); });
}

}  // namespace tolva
