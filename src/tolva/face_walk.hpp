// Pieces shared by the two q-near algorithms: the face walk (every face of dimension q or
// more of every simplex of dimension q + 1 or more, highest dimension first) and flat
// lists-of-positions tables.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "complex/directed_flag_complex.hpp"
#include "complex/simplex_index.hpp"
#include "base/flat_buffer.hpp"
#include "base/position.hpp"
#include "tolva/q_near_graph.hpp"

namespace tolva {

// Face positions in walk order: lists from the last down to list 1, simplices in list
// order, face sizes ascending from q + 1, faces in lexicographic order of the kept places.
struct FaceWalk {
  FlatBuffer<Position> face_positions;
  // Per list k >= 1: how many faces each of its simplices contributes (0 for list 0).
  std::vector<std::uint64_t> faces_per_simplex;
  // Per list: where its simplices' faces start in face_positions.
  std::vector<std::uint64_t> list_offsets;
};

FaceWalk walk_faces(const DirectedFlagComplex& complex, const SimplexIndex& index);

// Calls visit(face position, simplex position) for every (face, simplex) pair of the walk
// whose simplex is in lists 1 .. last_list, in walk order.
template <class Visit>
void for_each_face_pair(const DirectedFlagComplex& complex, const SimplexIndex& index, const FaceWalk& walk,
                        std::size_t last_list, Visit&& visit) {
  if (last_list == 0) return;
  std::uint64_t cursor = walk.list_offsets[last_list];
  for (std::size_t k = last_list + 1; k-- > 1;) {
    const std::uint64_t first = index.first_position(k);
    const std::uint64_t count = complex.lists[k].size();
    const std::uint64_t faces = walk.faces_per_simplex[k];
    for (std::uint64_t place = 0; place < count; ++place) {
      for (std::uint64_t f = 0; f < faces; ++f) visit(walk.face_positions[cursor++], first + place);
    }
  }
}

// Rows of position lists stored back to back; built from a pass that emits (row, value)
// pairs, run twice (count, then fill) so that each row keeps the emission order.
class PositionTable {
 public:
  PositionTable() : starts_(FlatBuffer<std::uint64_t>::zeros(2)) {}

  template <class Emit>
  static PositionTable build(std::uint64_t rows, Emit&& emit_all) {
    PositionTable table;
    // Row r is counted at r + 2; after the sums, starts_[r + 1] is where row r starts and is
    // moved on as it is filled, so that it ends as the start of row r + 1.
    table.starts_ = FlatBuffer<std::uint64_t>::zeros(rows + 2);
    std::uint64_t* const starts = table.starts_.data();
    emit_all([&](std::uint64_t row, Position) { ++starts[row + 2]; });
    for (std::uint64_t r = 2; r < rows + 2; ++r) starts[r] += starts[r - 1];
    table.entries_ = FlatBuffer<Position>::zeros(starts[rows + 1]);
    Position* const entries = table.entries_.data();
    emit_all([&](std::uint64_t row, Position value) { entries[starts[row + 1]++] = value; });
    return table;
  }

  std::span<const Position> row(std::uint64_t r) const noexcept {
    return {entries_.data() + starts_[r], entries_.data() + starts_[r + 1]};
  }
  std::uint64_t rows() const noexcept { return starts_.size() - 2; }

 private:
  FlatBuffer<std::uint64_t> starts_;  // rows + 2 entries, the last one spare
  FlatBuffer<Position> entries_;
};

// Panics with the removal-index message for the first of i, j that is not below count.
void check_face_places(std::uint64_t i, std::uint64_t j, std::uint64_t count);

}  // namespace tolva

namespace tolva {

// For every simplex of lists first_list .. last_list (inclusive, first_list >= 1), in
// position order: the position of its face without the vertex at `place` (a removal-index
// panic when `place` is not below the simplex's vertex count), read from the walk.
FlatBuffer<Position> faces_at_place(const DirectedFlagComplex& complex, const FaceWalk& walk,
                                     std::size_t first_list, std::size_t last_list, std::uint64_t place);

// The simplices of lists first_list .. last_list filed, in position order, under the
// position of their face without the vertex at i, and likewise at j (rows 0 .. rows-1).
struct FiledByFace {
  PositionTable by_i_face;
  std::optional<PositionTable> by_j_face_when_other;  // none when i == j
  const PositionTable& by_j_face() const { return by_j_face_when_other ? *by_j_face_when_other : by_i_face; }
};
FiledByFace file_by_face(const DirectedFlagComplex& complex, const SimplexIndex& index, const FaceWalk& walk,
                         std::size_t first_list, std::size_t last_list, std::uint64_t i, std::uint64_t j,
                         std::uint64_t rows);

// Per simplex of list `list`: its own position, then the positions of the simplices of lists
// up to last_list that have it as a face, in walk order.
PositionTable containing_simplices(const DirectedFlagComplex& complex, const SimplexIndex& index,
                                   const FaceWalk& walk, std::size_t list, std::size_t last_list);

// Inserts every (face, simplex) pair of the walk, in walk order.
void insert_face_pairs(const DirectedFlagComplex& complex, const SimplexIndex& index, const FaceWalk& walk,
                       QNearGraph::PairStream& pairs);

// The bound below which a pair's source marks it as distinct, for insert_all: a face pair
// whose face is in list 0 occurs once (a simplex's faces are distinct simplices), and no
// other pair of either algorithm has its source in list 0.
inline std::uint64_t distinct_face_pair_sources(const SimplexIndex& index) { return index.first_position(1); }

// Pieces for producing the pairs of `rows` rows on the workers: one for small tables.
inline std::uint64_t pieces_for(std::uint64_t rows) { return std::min<std::uint64_t>(64, std::max<std::uint64_t>(1, rows / 1024)); }

// a + b and a * b, saturating: pair counts that only size tables.
inline std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
  std::uint64_t sum = 0;
  return __builtin_add_overflow(a, b, &sum) ? ~std::uint64_t{0} : sum;
}
inline std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) {
  std::uint64_t product = 0;
  return __builtin_mul_overflow(a, b, &product) ? ~std::uint64_t{0} : product;
}

}  // namespace tolva
