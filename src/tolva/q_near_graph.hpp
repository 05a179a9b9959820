// The result of both q-near algorithms: a set of ordered pairs of simplex positions that
// remembers the order of first insertion. Pairs are packed into one 64-bit key and kept in a
// flat array (insertion order).
//
// The algorithms stream their attempted pairs in (insert_all): the attempted keys are kept
// in stream order, in the chunks they were written into (one per piece produced on a
// worker; the pieces of a short call share one block), each written once. When the stream ends, the keys are filed by hash into many
// partitions, small enough that a partition's keys are deduplicated inside a table that
// stays in a core's cache: the stream is read in stretches, one per worker, once to count
// and once to file (all partitions at once, or for a very long stream in two groups, so that
// the filed copy held at once is half the keys), and the partitions are then deduplicated in
// blocks on the workers; the repeats found there are left out as the chunks are joined into
// one array, the same stretches on the workers, each written after the kept keys of those
// before it. No table of all pairs is ever probed at random, so the cost per pair does not
// grow with the graph. Pairs the caller promises to be distinct (by their source, see
// insert_all) skip the partitions. Single insertions (insert) go through one ordinary table,
// made when first needed.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "base/flat_buffer.hpp"
#include "base/memory_guard.hpp"
#include "base/position.hpp"
#include "base/task.hpp"
#include "parallel/worker_pool.hpp"

namespace tolva {

// The pieces of one insert_pieces call hinted to hold at most this many keys in all share one
// block (8 MiB at most, held until the chunks are joined, whereas chunks of their own are
// released as they are read).
inline constexpr std::uint64_t kSharedBlockKeys = std::uint64_t{1} << 20;
// A piece's chunk is reserved for at most this many keys; beyond it, it grows as it fills.
inline constexpr std::uint64_t kMaxReservedPerPiece = std::uint64_t{1} << 23;
// A chunk expected to hold kLargeChunkKeys or more is reserved for at least kMappedChunkKeys:
// beyond the allocator's largest threshold for giving a block a mapping of its own (32 MiB),
// so that its pages go back to the system when it is released while the chunks are joined,
// instead of staying with the heap. Pages never written cost nothing.
inline constexpr std::uint64_t kLargeChunkKeys = std::uint64_t{1} << 18;
inline constexpr std::uint64_t kMappedChunkKeys = ((std::uint64_t{32} << 20) + 4096) / sizeof(std::uint64_t);

// Pairs per piece for a stream part of `total` pairs cut for the workers: a few pieces per
// worker, at most `largest` pairs each. Pieces of fewer than kLargeChunkKeys pairs only when
// the part is small: their chunks come from the heap, which may keep their pages once they are
// released, beside the joined keys.
inline std::uint64_t pairs_per_piece(std::uint64_t total, std::uint64_t largest) {
  constexpr std::uint64_t kPiecesPerWorker = 8, kSmallPart = 4 * kLargeChunkKeys, kFewest = std::uint64_t{1} << 12;
  const std::uint64_t fewest = total >= kSmallPart ? kLargeChunkKeys : kFewest;
  return std::max<std::uint64_t>(1, std::min(largest, std::max(fewest, total / (kPiecesPerWorker * parallel::worker_count()))));
}

// How finely an algorithm cuts its work for the workers: keys per group whose attempted pairs
// are counted together (at most; fewer where the keys are few), attempted pairs per piece (a
// few milliseconds of work, and a chunk of pairs with a mapping of its own), and the units
// from which a position table is built by buckets on all workers (a smaller one, whose
// counters stay in cache, is built directly on one thread, beside the call's other small
// tables). Results never depend on them.
struct ProductCuts {
  std::uint64_t keys_per_group = 4096;
  std::uint64_t attempts_per_piece = std::uint64_t{1} << 20;
  std::uint64_t parallel_table_from = std::uint64_t{1} << 20;
};

class QNearGraph {
 public:
  // Appends the pair unless it is present; returns whether it was new.
  bool insert(std::uint64_t source, std::uint64_t target);

  // About how many pairs the next insert_all will attempt: sizes its partitions. Refuses
  // them at once, before any is made, when they cannot fit (OutOfMemory): the stream holds
  // each attempted key, and again in its partition until the repeats are dropped.
  void reserve(std::uint64_t attempts) {
    ensure_pairs_fit(attempts, 2 * sizeof(std::uint64_t));
    expected_attempts_ = attempts;
  }

  class PairStream;

  // Calls fill(stream) and inserts every pair that fill passes to stream.insert, in that
  // order, as insert() would one at a time. All of them are in the graph when this returns;
  // the graph cannot be read or written otherwise while fill runs. When fill (or the
  // insertion) throws, the exception goes on and the graph is left empty.
  //
  // The caller promises that every pair with a source below distinct_sources_below is passed
  // at most once and is not in the graph yet: such pairs are appended without being checked.
  template <class Fill>
  void insert_all(Fill&& fill, std::uint64_t distinct_sources_below = 0) {
    PairStream stream(*this, distinct_sources_below);
    fill(stream);
    stream.finish();
  }

  std::uint64_t size() const { return readable().keys_.size(); }

  // A copy of all pairs in insertion order.
  std::vector<std::array<std::uint64_t, 2>> edges() const;

  // Hands over the pairs in insertion order, packed as source << 32 | target, and leaves the
  // graph empty.
  FlatBuffer<std::uint64_t> take_packed_pairs();
  static std::uint64_t packed_source(std::uint64_t packed) noexcept { return tolva::packed_source(packed); }
  static std::uint64_t packed_target(std::uint64_t packed) noexcept { return tolva::packed_target(packed); }

  // The attempted pairs of one insert_all, in stream order. Made only by insert_all, which
  // finishes it; its destructor only reopens the graph (and, when the stream was not
  // finished, empties it), so it cannot fail.
  class PairStream {
   public:
    void insert(std::uint64_t source, std::uint64_t target) { tail_.push_back(key_of(source, target)); }

    // Inserts, after the pairs inserted so far, the pairs of produce(0, emit), then those of
    // produce(1, emit), ... produce(pieces - 1, emit), each passing its pairs to
    // emit(source, target) in order. The pieces run on the workers, each once, into a chunk
    // of its own; reserve(piece) says about how many pairs the piece emits (a hint).
    template <class Reserve, class Produce>
    void insert_pieces(std::uint64_t pieces, Reserve&& reserve, Produce&& produce);
    template <class Produce>
    void insert_pieces(std::uint64_t pieces, Produce&& produce) {
      insert_pieces(pieces, [](std::uint64_t) { return std::uint64_t{0}; }, std::forward<Produce>(produce));
    }
    PairStream(const PairStream&) = delete;
    PairStream& operator=(const PairStream&) = delete;
    ~PairStream();

   private:
    friend class QNearGraph;
    PairStream(QNearGraph& graph, std::uint64_t distinct_sources_below);
    std::uint64_t partition_of(std::uint64_t key) const noexcept { return mixed(key) >> (63 - partition_bits_) >> 1; }
    // Whether a key goes through the partitions: all but the promised ones.
    bool checked(std::uint64_t key) const noexcept { return key >= first_checked_key_; }
    // Ends the chunk of single insertions, if any.
    void close_tail();
    // Sets the bit of every checked key that is not the first of its value in its partition
    // (partition p's bits from word seen_starts_[p]); returns how many there are.
    std::uint64_t mark_repeats();
    // The same for the `count` keys of one partition, in stream order, through a table of
    // 2 * count + 1 slots; returns how many repeats it marked.
    std::uint64_t mark_repeats_of(const std::uint64_t* keys, std::uint64_t count, std::uint64_t* slots,
                                  std::uint64_t* bits) const;
    // Joins the chunks into the graph's keys, leaving out the marked keys, a stretch of the
    // stream on each worker.
    void join_chunks(std::uint64_t repeats);
    // Calls visit(key) for every key of one stretch of the stream, in order; with `release`,
    // frees each chunk that lies wholly in the stretch once it is read.
    template <class Visit>
    void for_each_key_of(std::uint64_t stretch, Visit&& visit, bool release);
    // The same a run of keys at a time: visit_run(keys, count), a run lying in one chunk.
    template <class VisitRun>
    void for_each_run_of(std::uint64_t stretch, VisitRun&& visit_run, bool release);
    // How many of a stretch's keys are marked as repeats.
    std::uint64_t repeats_in(std::uint64_t stretch) const;
    void finish();

    QNearGraph& graph_;
    std::uint64_t first_checked_key_;
    unsigned partition_bits_ = 0;
    // A run of the stream: keys in a buffer of its own, or in a block shared by the pieces of
    // one insert_pieces call.
    struct Chunk {
      FlatBuffer<std::uint64_t> own;
      const std::uint64_t* keys = nullptr;
      std::uint64_t size = 0;
      static Chunk holding(FlatBuffer<std::uint64_t>&& buffer) {
        Chunk chunk{std::move(buffer), nullptr, 0};
        chunk.keys = chunk.own.data();
        chunk.size = chunk.own.size();
        return chunk;
      }
    };
    std::vector<Chunk> chunks_;  // stream order; the graph's own keys first
    std::vector<FlatBuffer<std::uint64_t>> shared_blocks_;
    FlatBuffer<std::uint64_t> tail_;                  // single insertions since the last chunk
    // One bit per checked key of each partition, in stream order: set for a repeat.
    FlatBuffer<std::uint64_t> seen_;
    std::vector<std::uint64_t> seen_starts_;
    // The stream cut into stretches of about equal length (where its chunks start, one entry
    // more for its end; how many stretches), and per stretch and partition the bit of its
    // first key of that partition in seen_ (one row more: where each partition's bits end).
    struct Stretches {
      std::vector<std::uint64_t> chunk_starts{0};
      std::uint64_t count = 1;
    };
    Stretches stretches_;
    FlatBuffer<std::uint64_t> stretch_bits_;
    FlatBuffer<std::uint64_t> spare_;  // the filed keys' buffer, kept for the joined keys
    bool finished_ = false;
  };

 private:
  static std::uint64_t key_of(std::uint64_t source, std::uint64_t target);
  static std::uint64_t mixed(std::uint64_t key) noexcept { return (key ^ (key >> 29)) * 0x9E3779B97F4A7C15ULL; }
  void rebuild_lookup(std::uint64_t slot_count);
  const QNearGraph& readable() const;
  void clear() noexcept;

  FlatBuffer<std::uint64_t> keys_;    // insertion order
  FlatBuffer<std::uint64_t> lookup_;  // for insert(): 0 or key + 1; empty until needed
  unsigned lookup_shift_ = 0;
  std::uint64_t expected_attempts_ = 0;
  bool streaming_ = false;
};

template <class Reserve, class Produce>
void QNearGraph::PairStream::insert_pieces(std::uint64_t pieces, Reserve&& reserve, Produce&& produce) {
  close_tail();
  const std::size_t first = chunks_.size();
  chunks_.resize(first + pieces);
  // The pieces of a short stream write into one block, each from where the hints of those
  // before it end: one large block is backed by huge pages, many small chunks are not. A
  // piece that outgrows its hint goes on in a buffer of its own.
  std::vector<std::uint64_t> room_starts(pieces + 1, 0);
  for (std::uint64_t piece = 0; piece < pieces; ++piece) {
    room_starts[piece + 1] = room_starts[piece] + std::min(reserve(piece), kSharedBlockKeys + 1);
  }
  std::uint64_t* const block = room_starts[pieces] > 0 && room_starts[pieces] <= kSharedBlockKeys
                                   ? shared_blocks_.emplace_back().extend(room_starts[pieces])
                                   : nullptr;
  parallel::run_pieces(pieces, [&](std::uint64_t piece) {
    Chunk& chunk = chunks_[first + piece];
    if (block != nullptr) {
      std::uint64_t* const start = block + room_starts[piece];
      const std::uint64_t room = room_starts[piece + 1] - room_starts[piece];
      std::uint64_t written = 0;
      FlatBuffer<std::uint64_t> grown;
      produce(piece, [&](std::uint64_t source, std::uint64_t target) {
        const std::uint64_t key = key_of(source, target);
        if (written < room) {
          start[written++] = key;
        } else {
          if (grown.empty()) grown.append(start, written);
          grown.push_back(key);
        }
      });
      chunk = grown.empty() ? Chunk{{}, start, written} : Chunk::holding(std::move(grown));
    } else {
      FlatBuffer<std::uint64_t> keys;
      const std::uint64_t expected = std::min<std::uint64_t>(reserve(piece), kMaxReservedPerPiece);
      keys.reserve(expected >= kLargeChunkKeys ? std::max(expected, kMappedChunkKeys) : expected);
      produce(piece, [&](std::uint64_t source, std::uint64_t target) { keys.push_back(key_of(source, target)); });
      keys.truncate(keys.size());  // gives back what the hint reserved beyond the pairs
      chunk = Chunk::holding(std::move(keys));
    }
    advance_stage(1);
  });
}

// Writes one report line ("[<where>] <expression> = <count>") to the standard error stream;
// panics with "failed printing to stderr: ..." when it cannot be written.
void report_pair_count(std::string_view where, std::string_view expression, std::uint64_t count);

}  // namespace tolva
