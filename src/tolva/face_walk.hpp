// Pieces shared by the two q-near algorithms: the face walk (every face of dimension q or
// more of every simplex of dimension q + 1 or more, highest dimension first), the tables
// built from it, the cutting of the products into pieces of equal work, and the skeleton
// both algorithms end in (products, then face pairs, into one graph).
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "complex/directed_flag_complex.hpp"
#include "complex/simplex_index.hpp"
#include "base/flat_buffer.hpp"
#include "base/memory_guard.hpp"
#include "base/position.hpp"
#include "parallel/worker_pool.hpp"
#include "tolva/distinct_sketch.hpp"
#include "tolva/position_table.hpp"
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

// The walk an algorithm reads: one kept by the caller for many calls, or else its own, made
// for the call and released as soon as the face pairs are made.
class FaceWalkSource {
 public:
  FaceWalkSource(const DirectedFlagComplex& complex, const SimplexIndex& index, const FaceWalk* kept)
      : walk_(kept) {
    if (walk_ == nullptr) walk_ = &owned_.emplace(walk_faces(complex, index));
  }
  FaceWalkSource(const FaceWalkSource&) = delete;
  FaceWalkSource& operator=(const FaceWalkSource&) = delete;

  const FaceWalk& operator*() const noexcept { return *walk_; }
  // Frees the walk if it is the call's own; it must not be read afterwards.
  void release() noexcept { owned_.reset(); }

 private:
  std::optional<FaceWalk> owned_;
  const FaceWalk* walk_;
};

// The simplices of lists 1 .. last_list in walk order (from the last list down, each in its
// order), numbered from 0 as units of work: where each list's units start.
struct WalkUnits {
  std::vector<std::uint64_t> first_unit;  // per list k <= last_list; list 0 has none
  std::uint64_t count = 0;

  WalkUnits(const DirectedFlagComplex& complex, std::size_t last_list) : first_unit(last_list + 1, 0) {
    for (std::size_t k = last_list + 1; k-- > 1;) {
      first_unit[k] = count;
      count += complex.lists[k].size();
    }
  }
  std::size_t last_list() const noexcept { return first_unit.size() - 1; }
};

// Calls visit(face position, simplex position) for every (face, simplex) pair of the walk
// whose simplex is one of the units [first_unit, last_unit) and passes keep(simplex
// position), in walk order.
template <class Keep, class Visit>
void for_each_face_pair(const DirectedFlagComplex& complex, const SimplexIndex& index, const FaceWalk& walk,
                        const WalkUnits& units, std::uint64_t first_unit, std::uint64_t last_unit, Keep&& keep,
                        Visit&& visit) {
  for (std::size_t k = units.last_list() + 1; k-- > 1;) {
    const std::uint64_t base = units.first_unit[k];
    const std::uint64_t from = std::max(first_unit, base), to = std::min(last_unit, base + complex.lists[k].size());
    if (from >= to) continue;
    const std::uint64_t first = index.first_position(k);
    const std::uint64_t faces = walk.faces_per_simplex[k];
    const Position* face = walk.face_positions.data() + walk.list_offsets[k] + (from - base) * faces;
    for (std::uint64_t place = from - base; place < to - base; ++place, face += faces) {
      if (!keep(first + place)) continue;
      for (std::uint64_t f = 0; f < faces; ++f) visit(face[f], first + place);
    }
  }
}

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
// position of their face without the vertex at i, and likewise at j (keys below `range`).
struct FiledByFace {
  PositionTable by_i_face;
  std::optional<PositionTable> by_j_face_when_other;  // none when i == j
  const PositionTable& by_j_face() const { return by_j_face_when_other ? *by_j_face_when_other : by_i_face; }
};
// Whether tables with an entry or unit per simplex of lists first_list .. last_list are small
// enough to be built on one thread each (see ProductCuts::parallel_table_from): such tables are
// built side by side.
bool small_tables(const DirectedFlagComplex& complex, std::size_t first_list, std::size_t last_list,
                  const ProductCuts& cuts);
FiledByFace file_by_face(const DirectedFlagComplex& complex, const SimplexIndex& index, const FaceWalk& walk,
                         std::size_t first_list, std::size_t last_list, std::uint64_t i, std::uint64_t j,
                         std::uint64_t range, const ProductCuts& cuts);

// Per simplex of list `list`, keyed by its place in the list: the positions of the simplices
// of lists up to last_list that have it as a face and pass keep(position), in walk order (the
// simplex itself is not in its row).
template <class Keep>
PositionTable containing_simplices(const DirectedFlagComplex& complex, const SimplexIndex& index,
                                   const FaceWalk& walk, std::size_t list, std::size_t last_list, Keep&& keep,
                                   const ProductCuts& cuts) {
  const std::uint64_t first = index.first_position(list);
  const std::uint64_t count = complex.lists[list].size();
  const WalkUnits units(complex, last_list);
  return PositionTable::build(
      count, units.count,
      [&](std::uint64_t first_unit, std::uint64_t last_unit, auto&& emit) {
        for_each_face_pair(complex, index, walk, units, first_unit, last_unit, keep, [&](Position face, std::uint64_t simplex) {
          if (face >= first && face - first < count) emit(face - first, static_cast<Position>(simplex));
        });
      },
      cuts.parallel_table_from);
}

// The face pairs of the walk in runs of simplices of one list, in walk order.
struct FacePairPiece {
  std::size_t list;
  std::uint64_t first, last;
};
std::vector<FacePairPiece> face_pair_pieces(const DirectedFlagComplex& complex, const FaceWalk& walk);

// The bound below which a pair's source marks it as distinct, for insert_all: a face pair
// whose face is in list 0 occurs once (a simplex's faces are distinct simplices), and no
// other pair of either algorithm has its source in list 0.
inline std::uint64_t distinct_face_pair_sources(const SimplexIndex& index) { return index.first_position(1); }

// a + b and a * b, saturating: pair counts that only size tables.
inline std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
  std::uint64_t sum = 0;
  return __builtin_add_overflow(a, b, &sum) ? ~std::uint64_t{0} : sum;
}
inline std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) {
  std::uint64_t product = 0;
  return __builtin_mul_overflow(a, b, &product) ? ~std::uint64_t{0} : product;
}

// The keys [0, range) of an algorithm's products cut into pieces of about equal work.
struct ProductPieces {
  std::vector<std::uint64_t> bounds;    // piece p covers the keys [bounds[p], bounds[p + 1])
  std::vector<std::uint64_t> attempts;  // per piece: how many pairs it attempts, at most
  std::uint64_t total_attempts = 0;     // saturating
  std::uint64_t count() const noexcept { return attempts.size(); }
};

// Cuts [0, range) into pieces of about cuts.attempts_per_piece attempted pairs, between groups
// of cuts.keys_per_group keys, from attempts(first, last): the pairs the keys [first, last)
// attempt, at most.
template <class Attempts>
ProductPieces cut_into_pieces(std::uint64_t range, const ProductCuts& cuts, Attempts&& attempts) {
  // Few keys can still attempt many pairs each: groups are made small enough that a range
  // of few keys is still cut into many pieces.
  constexpr std::uint64_t kMinGroups = 256;
  const std::uint64_t keys_per_group = std::clamp<std::uint64_t>(range / kMinGroups, 1, std::max<std::uint64_t>(1, cuts.keys_per_group));
  const std::uint64_t groups = (range + keys_per_group - 1) / keys_per_group;
  std::vector<std::uint64_t> group_attempts(groups);
  const std::uint64_t blocks = std::min(groups, parallel::kBlocksPerWorker * parallel::worker_count());
  parallel::run_pieces(blocks, [&](std::uint64_t block) {
    const auto [first, last] = parallel::block_range(0, groups, blocks, block);
    for (std::uint64_t g = first; g < last; ++g) {
      group_attempts[g] = attempts(g * keys_per_group, std::min(range, (g + 1) * keys_per_group));
    }
  });
  // A request of few attempts is still cut into a few pieces per worker: one piece would run
  // on one thread.
  std::uint64_t total = 0;
  for (const std::uint64_t count : group_attempts) total = saturating_add(total, count);
  const std::uint64_t attempts_per_piece = pairs_per_piece(total, cuts.attempts_per_piece);
  ProductPieces pieces;
  pieces.bounds.push_back(0);
  std::uint64_t open = 0;  // attempts of the piece being cut
  for (std::uint64_t g = 0; g < groups; ++g) {
    open = saturating_add(open, group_attempts[g]);
    if (open >= attempts_per_piece || g + 1 == groups) {
      pieces.bounds.push_back(std::min(range, (g + 1) * keys_per_group));
      pieces.attempts.push_back(open);
      pieces.total_attempts = saturating_add(pieces.total_attempts, open);
      open = 0;
    }
  }
  return pieces;
}

// Passes the face pairs of one run of the walk to emit(face, simplex), in walk order.
template <class Emit>
void emit_face_pairs(const SimplexIndex& index, const FaceWalk& walk, const FacePairPiece& run, Emit&& emit) {
  const std::uint64_t faces = walk.faces_per_simplex[run.list];
  const std::uint64_t first_position = index.first_position(run.list);
  const Position* face = walk.face_positions.data() + walk.list_offsets[run.list] + run.first * faces;
  for (std::uint64_t place = run.first; place < run.last; ++place) {
    for (std::uint64_t f = 0; f < faces; ++f) emit(*face++, first_position + place);
  }
}

// Refuses (OutOfMemory) a request whose distinct pairs cannot fit at what the caller will
// spend on each of them (pair_result_cost()). Their number is known only once the repeats
// are dropped, after all pairs were made: it is estimated first, from a sketch of every
// attempted pair (made, not kept), but only when the attempts alone would not fit. The
// estimate's lower bound is used, so that a request that fits is not refused.
template <class Produce>
void ensure_distinct_pairs_fit(const SimplexIndex& index, const FaceWalk& walk, const ProductPieces& pieces,
                               const std::vector<FacePairPiece>& face_pieces, std::uint64_t attempts,
                               Produce& produce) {
  const std::uint64_t cost = pair_result_cost();
  if (cost == 0 || pairs_fit(attempts, cost)) return;
  const std::uint64_t runs = pieces.count() + face_pieces.size();
  const std::uint64_t blocks = std::min<std::uint64_t>(runs, 4 * parallel::worker_count());
  std::vector<DistinctSketch> sketches(blocks);
  parallel::run_pieces(blocks, [&](std::uint64_t block) {
    DistinctSketch& sketch = sketches[block];
    const auto add = [&](std::uint64_t source, std::uint64_t target) { sketch.add(pack_pair(source, target)); };
    const auto [first, last] = parallel::block_range(0, runs, blocks, block);
    for (std::uint64_t run = first; run < last; ++run) {
      throw_if_cancelled();
      if (run < pieces.count()) {
        produce(pieces.bounds[run], pieces.bounds[run + 1], add);
      } else {
        emit_face_pairs(index, walk, face_pieces[run - pieces.count()], add);
      }
    }
  });
  for (std::uint64_t block = 1; block < blocks; ++block) sketches[0].merge(sketches[block]);
  if (blocks > 0) ensure_pairs_fit(sketches[0].lower_bound(), cost, "distinct pairs (estimated) in the result");
}

// What both algorithms do once their tables are built: the products of every piece, through
// produce(first key, last key, emit), then the face pairs, into one graph. The tables
// (through release_tables()) and a walk of the call's own are released as soon as they are
// used up, before the pairs are deduplicated.
template <class Produce, class Release>
QNearGraph products_then_face_pairs(const DirectedFlagComplex& complex, const SimplexIndex& index,
                                    FaceWalkSource& source, const ProductPieces& pieces, Produce&& produce,
                                    Release&& release_tables) {
  const FaceWalk& walk = *source;
  const std::vector<FacePairPiece> face_pieces = face_pair_pieces(complex, walk);
  QNearGraph graph;
  // Every attempted pair: the one figure a check of the memory a request needs starts from.
  const std::uint64_t attempts = saturating_add(walk.face_positions.size(), pieces.total_attempts);
  graph.reserve(attempts);
  ensure_distinct_pairs_fit(index, walk, pieces, face_pieces, attempts, produce);
  begin_stage(Stage::Algorithm, pieces.count() + face_pieces.size());
  graph.insert_all([&](QNearGraph::PairStream& pairs) {
    pairs.insert_pieces(
        pieces.count(), [&](std::uint64_t piece) { return pieces.attempts[piece]; },
        [&](std::uint64_t piece, auto&& emit) { produce(pieces.bounds[piece], pieces.bounds[piece + 1], emit); });
    release_tables();
    pairs.insert_pieces(
        face_pieces.size(),
        [&](std::uint64_t piece) {
          return (face_pieces[piece].last - face_pieces[piece].first) * walk.faces_per_simplex[face_pieces[piece].list];
        },
        [&](std::uint64_t piece, auto&& emit) { emit_face_pairs(index, walk, face_pieces[piece], emit); });
    source.release();
  }, distinct_face_pair_sources(index));
  return graph;
}

}  // namespace tolva
