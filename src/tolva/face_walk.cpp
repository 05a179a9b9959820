#include "tolva/face_walk.hpp"

#include <algorithm>
#include <array>
#include <new>

#include "parallel/worker_pool.hpp"
#include "base/panic.hpp"

namespace tolva {
namespace {

// Face lookups in flight, answered in the order they were made. Each is a few cache misses
// into the index (its slot, then the simplex the slot names); kept kDepth apart, the misses
// of successive lookups overlap instead of each waiting for the last.
template <class V>
class LookupQueue {
 public:
  LookupQueue(const SimplexIndex& index, std::uint64_t max_vertices)
      : index_(index), stride_(max_vertices), vertices_(kDepth * max_vertices) {}

  // Where the next face's vertices are to be written, before push(): completes the oldest
  // lookup when the queue is full, so that its row is free.
  V* next_face() {
    if (pushed_ - completed_ == kDepth) complete_oldest();
    return vertices_.data() + (pushed_ % kDepth) * stride_;
  }

  // Looks up the face written at next_face() and writes its position to *out, at the latest
  // when the queue is drained.
  void push(std::uint64_t count, Position* out) {
    push(count, hash_vertices(vertices_.data() + (pushed_ % kDepth) * stride_, count), out);
  }
  // The same for a caller that has the face's hash_vertices already.
  void push(std::uint64_t count, std::uint64_t hash, Position* out) {
    const std::uint64_t at = pushed_ % kDepth;
    lookups_[at] = Lookup{index_.begin_lookup(vertices_.data() + at * stride_, count, hash), count, out};
    // Half the queue later, the slot has arrived: fetch the simplex it names.
    if (pushed_ >= completed_ + kDepth / 2) index_.template fetch_candidate<V>(lookups_[(pushed_ - kDepth / 2) % kDepth].probe);
    ++pushed_;
  }

  // Completes every lookup still in flight.
  void drain() {
    while (completed_ < pushed_) complete_oldest();
  }

 private:
  static constexpr std::uint64_t kDepth = 16;
  struct Lookup {
    SimplexIndex::Probe probe;
    std::uint64_t count;
    Position* out;
  };

  void complete_oldest() {
    const std::uint64_t at = completed_++ % kDepth;
    const Lookup& lookup = lookups_[at];
    *lookup.out = static_cast<Position>(index_.end_lookup(lookup.probe, vertices_.data() + at * stride_, lookup.count));
  }

  const SimplexIndex& index_;
  std::uint64_t stride_;
  std::vector<V> vertices_;
  std::array<Lookup, kDepth> lookups_{};
  std::uint64_t pushed_ = 0, completed_ = 0;
};

// Writes the positions of all faces of one simplex with `count` vertices, sizes
// smallest..count-1, each size in lexicographic order of the kept places.
template <class V>
class FaceEnumerator {
 public:
  explicit FaceEnumerator(std::uint64_t max_vertices) : places_(max_vertices), sums_(max_vertices + 1) {}

  Position* write_faces(const V* simplex, std::uint64_t count, std::uint64_t smallest, LookupQueue<V>& lookups,
                        Position* out) {
    for (std::uint64_t size = smallest; size < count; ++size) {
      if (size + 1 == count) {
        out = write_faces_one_short(simplex, count, lookups, out);
        continue;
      }
      for (std::uint64_t k = 0; k < size; ++k) places_[k] = k;
      for (;;) {
        V* const face = lookups.next_face();
        for (std::uint64_t k = 0; k < size; ++k) face[k] = simplex[places_[k]];
        lookups.push(size, out++);
        if (!advance(size, count)) break;
      }
    }
    return out;
  }

 private:
  // The faces one vertex short (without the last place first, without place 0 last), hashed
  // from partial sums of the simplex's terms (see hash_vertices): the face without place p
  // keeps the terms before p and has those after it moved one place down.
  Position* write_faces_one_short(const V* simplex, std::uint64_t count, LookupQueue<V>& lookups, Position* out) {
    sums_[0] = 0;  // sums_[p]: the terms of places 0 .. p - 1
    for (std::uint64_t m = 0; m < count; ++m) sums_[m + 1] = sums_[m] + vertex_term(simplex[m], m);
    std::uint64_t moved_down = 0;  // the terms of places p + 1 .. count - 1, each one place down
    for (std::uint64_t p = count; p-- > 0;) {
      V* const face = lookups.next_face();
      for (std::uint64_t k = 0; k < p; ++k) face[k] = simplex[k];
      for (std::uint64_t k = p; k + 1 < count; ++k) face[k] = simplex[k + 1];
      lookups.push(count - 1, mix_vertex_sum(sums_[p] + moved_down, count - 1), out++);
      if (p > 0) moved_down += vertex_term(simplex[p], p - 1);
    }
    return out;
  }

  // Next size-subset of 0..count-1 in lexicographic order; false after the last one.
  bool advance(std::uint64_t size, std::uint64_t count) {
    std::uint64_t k = size;
    while (k > 0 && places_[k - 1] == count - size + (k - 1)) --k;
    if (k == 0) return false;
    ++places_[k - 1];
    for (std::uint64_t m = k; m < size; ++m) places_[m] = places_[m - 1] + 1;
    return true;
  }

  std::vector<std::uint64_t> places_;
  std::vector<std::uint64_t> sums_;
};

// Number of faces with smallest..count-1 vertices of a simplex with `count` vertices.
std::uint64_t faces_per_simplex(std::uint64_t count, std::uint64_t smallest) {
  // Pascal's rule, one row at a time, saturating; a count beyond 64 bits could never be
  // stored, so it is reported as exhausted memory.
  constexpr std::uint64_t kSaturated = ~std::uint64_t{0};
  std::vector<std::uint64_t> row{1};  // row[k] = C(n, k)
  for (std::uint64_t n = 1; n <= count; ++n) {
    std::vector<std::uint64_t> next(n + 1, 1);
    for (std::uint64_t k = 1; k < n; ++k) {
      if (__builtin_add_overflow(row[k - 1], row[k], &next[k])) next[k] = kSaturated;
    }
    row = std::move(next);
  }
  std::uint64_t total = 0;
  for (std::uint64_t size = smallest; size < count; ++size) {
    if (row[size] == kSaturated || __builtin_add_overflow(total, row[size], &total)) throw std::bad_alloc();
  }
  return total;
}

// Faces per piece of the walk and of the face pairs, at most: a few milliseconds of work, and
// a chunk of pairs large enough to get a mapping of its own (see q_near_graph.hpp); a small
// walk is cut into a few pieces per worker all the same.
constexpr std::uint64_t kFacesPerPiece = std::uint64_t{1} << 18;

}  // namespace

std::vector<FacePairPiece> face_pair_pieces(const DirectedFlagComplex& complex, const FaceWalk& walk) {
  std::vector<FacePairPiece> pieces;
  const std::uint64_t faces_per_piece = pairs_per_piece(walk.face_positions.size(), kFacesPerPiece);
  for (std::size_t k = complex.lists.size(); k-- > 1;) {
    const std::uint64_t count = complex.lists[k].size();
    const std::uint64_t per_piece = std::max<std::uint64_t>(1, faces_per_piece / std::max<std::uint64_t>(1, walk.faces_per_simplex[k]));
    for (std::uint64_t first = 0; first < count; first += per_piece) pieces.push_back({k, first, std::min(count, first + per_piece)});
  }
  return pieces;
}

FaceWalk walk_faces(const DirectedFlagComplex& complex, const SimplexIndex& index) {
  FaceWalk walk;
  walk.faces_per_simplex.assign(complex.lists.size(), 0);
  walk.list_offsets.assign(complex.lists.size(), 0);
  if (complex.lists.size() < 2) return walk;
  const std::uint64_t smallest = complex.q + 1;
  std::uint64_t total = 0;
  for (std::size_t k = complex.lists.size(); k-- > 1;) {
    const SimplexList& list = complex.lists[k];
    const std::uint64_t faces = faces_per_simplex(list.vertices_per_simplex(), smallest);
    walk.faces_per_simplex[k] = faces;
    walk.list_offsets[k] = total;
    std::uint64_t added = 0;
    if (__builtin_mul_overflow(list.size(), faces, &added) || __builtin_add_overflow(total, added, &total)) {
      throw std::bad_alloc();
    }
  }
  Position* const out = walk.face_positions.extend(total);
  const std::vector<FacePairPiece> pieces = face_pair_pieces(complex, walk);
  // The lookups are independent reads of the index: spread over the workers.
  parallel::run_pieces(pieces.size(), [&](std::uint64_t at) {
    const FacePairPiece& piece = pieces[at];
    const SimplexList& list = complex.lists[piece.list];
    with_vertex_type(list.vertex_width(), [&]<class V>(V) {
      FaceEnumerator<V> faces(list.vertices_per_simplex());
      LookupQueue<V> lookups(index, list.vertices_per_simplex());
      Position* cursor = out + walk.list_offsets[piece.list] + piece.first * walk.faces_per_simplex[piece.list];
      for (std::uint64_t place = piece.first; place < piece.last; ++place) {
        cursor = faces.write_faces(list.at<V>(place), list.vertices_per_simplex(), smallest, lookups, cursor);
      }
      lookups.drain();
    });
  });
  return walk;
}

void check_face_places(std::uint64_t i, std::uint64_t j, std::uint64_t count) {
  if (i >= count) panic_removal_index(i, count);
  if (j >= count) panic_removal_index(j, count);
}

// The faces one vertex short of a simplex with n vertices end its stretch of the walk, in
// lexicographic order of the kept places: without place n - 1 first, without place 0 last.
// Gathered on the workers, a run of simplices each: every simplex's stretch is read for one
// position of it.
FlatBuffer<Position> faces_at_place(const DirectedFlagComplex& complex, const FaceWalk& walk,
                                    std::size_t first_list, std::size_t last_list, std::uint64_t place) {
  constexpr std::uint64_t kSimplicesPerRun = std::uint64_t{1} << 16;
  struct Run {
    std::size_t list;
    std::uint64_t first, last, out;
  };
  std::vector<Run> runs;
  std::uint64_t total = 0;
  for (std::size_t k = first_list; k <= last_list && k < complex.lists.size(); ++k) {
    const SimplexList& list = complex.lists[k];
    if (place >= list.vertices_per_simplex()) panic_removal_index(place, list.vertices_per_simplex());
    for (std::uint64_t first = 0; first < list.size(); first += kSimplicesPerRun) {
      const std::uint64_t last = std::min(list.size(), first + kSimplicesPerRun);
      runs.push_back({k, first, last, total});
      total += last - first;
    }
  }
  FlatBuffer<Position> positions;
  Position* const out = positions.extend(total);
  parallel::run_pieces(runs.size(), [&](std::uint64_t at) {
    const Run& run = runs[at];
    const std::uint64_t faces = walk.faces_per_simplex[run.list];
    const Position* face = walk.face_positions.data() + walk.list_offsets[run.list] + run.first * faces + faces - 1 - place;
    for (std::uint64_t simplex = run.first; simplex < run.last; ++simplex, face += faces) {
      out[run.out + simplex - run.first] = *face;
    }
  });
  return positions;
}

}  // namespace tolva

namespace tolva {
namespace {

PositionTable file_under(const FlatBuffer<Position>& face_of, std::uint64_t first_filed, std::uint64_t range,
                         const ProductCuts& cuts) {
  return PositionTable::build(
      range, face_of.size(),
      [&](std::uint64_t first, std::uint64_t last, auto&& emit) {
        for (std::uint64_t k = first; k < last; ++k) emit(face_of[k], static_cast<Position>(first_filed + k));
      },
      cuts.parallel_table_from);
}

}  // namespace

bool small_tables(const DirectedFlagComplex& complex, std::size_t first_list, std::size_t last_list,
                  const ProductCuts& cuts) {
  std::uint64_t simplices = 0;
  for (std::size_t k = first_list; k <= last_list && k < complex.lists.size(); ++k) simplices += complex.lists[k].size();
  return simplices < cuts.parallel_table_from;
}

FiledByFace file_by_face(const DirectedFlagComplex& complex, const SimplexIndex& index, const FaceWalk& walk,
                         std::size_t first_list, std::size_t last_list, std::uint64_t i, std::uint64_t j,
                         std::uint64_t range, const ProductCuts& cuts) {
  const std::uint64_t first_filed = index.first_position(first_list);
  const auto file_at = [&](std::uint64_t place) {
    return file_under(faces_at_place(complex, walk, first_list, last_list, place), first_filed, range, cuts);
  };
  FiledByFace filed;
  if (i == j) {
    filed.by_i_face = file_at(i);
  } else {
    parallel::run_tasks(
        small_tables(complex, first_list, last_list, cuts), [&] { filed.by_i_face = file_at(i); },
        [&] { filed.by_j_face_when_other = file_at(j); });
  }
  return filed;
}

}  // namespace tolva
