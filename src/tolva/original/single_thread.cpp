#include "tolva/original/single_thread.hpp"

#include <vector>

#include "tolva/face_walk.hpp"

namespace tolva {
namespace {

// The tables of the products: every simplex of dimension q + 1 or more filed under its i-th
// and j-th faces, and per q-simplex the simplices of the lists below the top that contain it.
struct Tables {
  FiledByFace filed;
  // Keyed by q-simplex: the cofaces filed under a face of theirs, the only ones that can give
  // a pair (the q-simplex itself left out).
  PositionTable cofaces;

  // Calls visit(t) for every q-simplex t in [first, last) that can give a pair: one with
  // cofaces, or filed under itself (when the complex has no list between L1 and the top,
  // a q-simplex's only coface in the products is itself).
  template <class Visit>
  void for_each_q_simplex(std::uint64_t first, std::uint64_t last, Visit&& visit) const {
    for_each_marked<Marked::Either>(cofaces.keys(), filed.by_i_face.keys(), first, last, visit);
  }
};

// The pairs of different simplices whose i-th and j-th faces share the q-simplex t, for every
// t in [first, last), passed to emit. `i_rows` and `j_rows` are scratch lists.
template <class Emit>
void shared_face_pairs(const Tables& tables, std::uint64_t first, std::uint64_t last, Emit&& emit) {
  const PositionTable& by_i_face = tables.filed.by_i_face;
  const PositionTable& by_j_face = tables.filed.by_j_face();
  // The i- and j-rows of t and of its cofaces, in coface order: looked up once per t.
  std::vector<std::span<const Position>> i_rows, j_rows;
  tables.for_each_q_simplex(first, last, [&](std::uint64_t t) {
    const auto cofaces_of_t = tables.cofaces.row(t);
    if (cofaces_of_t.empty()) {  // t alone: most q-simplices of a sparse complex
      const auto with_j_face = by_j_face.row(t);
      for (const Position x : by_i_face.row(t)) {
        for (const Position y : with_j_face) {
          if (x != y) emit(x, y);
        }
      }
      return;
    }
    i_rows.clear();
    j_rows.clear();
    const auto add = [&](std::uint64_t a) {
      i_rows.push_back(by_i_face.row(a));
      j_rows.push_back(by_j_face.row(a));
    };
    add(t);
    for (const Position a : cofaces_of_t) add(a);
    for (const auto with_i_face : i_rows) {
      if (with_i_face.empty()) continue;
      for (const auto with_j_face : j_rows) {
        if (with_j_face.empty()) continue;
        for (const Position x : with_i_face) {
          for (const Position y : with_j_face) {
            if (x != y) emit(x, y);
          }
        }
      }
    }
  });
}

// How many pairs shared_face_pairs attempts for [first, last), at most.
std::uint64_t shared_face_attempts(const Tables& tables, std::uint64_t first, std::uint64_t last) {
  const PositionTable& by_i_face = tables.filed.by_i_face;
  const PositionTable& by_j_face = tables.filed.by_j_face();
  std::uint64_t attempts = 0;
  tables.for_each_q_simplex(first, last, [&](std::uint64_t t) {
    std::uint64_t with_i_face = by_i_face.row(t).size(), with_j_face = by_j_face.row(t).size();
    for (const Position a : tables.cofaces.row(t)) {
      with_i_face = saturating_add(with_i_face, by_i_face.row(a).size());
      with_j_face = saturating_add(with_j_face, by_j_face.row(a).size());
    }
    attempts = saturating_add(attempts, saturating_mul(with_i_face, with_j_face));
  });
  return attempts;
}

}  // namespace

QNearGraph q_near_graph_old(std::uint64_t q, std::uint64_t i, std::uint64_t j,
                            const DirectedFlagComplex& complex, const SimplexIndex& index, const ProductCuts& cuts,
                            const FaceWalk* kept_walk) {
  if (complex.lists.size() < 2) return QNearGraph();
  check_face_places(i, j, q + 2);
  // Every simplex of dimension q + 1 or more, filed under its i-th and j-th faces: those
  // are below the top list. Nothing is filed under a simplex of the top list, so the
  // q-simplices' cofaces leave that list out.
  const std::size_t top = complex.lists.size() - 1;
  FaceWalkSource source(complex, index, kept_walk);
  const FaceWalk& walk = *source;
  FiledByFace filed = file_by_face(complex, index, walk, 1, top, i, j, index.first_position(top), cuts);
  const auto filed_under = [&](std::uint64_t simplex) {
    return filed.by_i_face.keys().row_of(simplex) != RowMap::kNone ||
           filed.by_j_face().keys().row_of(simplex) != RowMap::kNone;
  };
  PositionTable cofaces = containing_simplices(complex, index, walk, 0, top - 1, filed_under, cuts);
  Tables tables{std::move(filed), std::move(cofaces)};
  const std::uint64_t q_simplices = complex.lists[0].size();
  const ProductPieces pieces = cut_into_pieces(
      q_simplices, cuts, [&](std::uint64_t first, std::uint64_t last) { return shared_face_attempts(tables, first, last); });
  return products_then_face_pairs(
      complex, index, source, pieces,
      [&](std::uint64_t first, std::uint64_t last, auto&& emit) { shared_face_pairs(tables, first, last, emit); },
      [&] { tables = Tables(); });
}

}  // namespace tolva
