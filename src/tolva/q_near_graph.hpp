// The result of both q-near algorithms: a set of ordered pairs of simplex positions that
// remembers the order of first insertion. Pairs are packed into one 64-bit key and kept in a
// flat array (insertion order).
//
// The algorithms stream their attempted pairs in (insert_all): each attempted key is appended
// in stream order, and filed by hash into one of many partitions, small enough that a
// partition's keys are deduplicated inside a table that stays in a core's cache, partitions
// on the workers; repeats found there are then dropped from the appended keys, in one pass
// in order. No table of all pairs is ever probed at random, so the cost per pair does not
// grow with the graph. Pairs the caller promises to be distinct (by their source, see
// insert_all) skip the partitions. Single insertions (insert) go through one ordinary table,
// made when first needed.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

#include "base/flat_buffer.hpp"
#include "base/memory_guard.hpp"
#include "base/position.hpp"
#include "parallel/worker_pool.hpp"

namespace tolva {

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

  // The attempted pairs of one insert_all, filed by partition. Made only by insert_all,
  // which finishes it; its destructor only reopens the graph (and, when the stream was not
  // finished, empties it), so it cannot fail.
  class PairStream {
   public:
    void insert(std::uint64_t source, std::uint64_t target) { file(key_of(source, target)); }

    // Inserts, after the pairs inserted so far, the pairs of produce(0, emit), then those of
    // produce(1, emit), ... produce(pieces - 1, emit), each passing its pairs to
    // emit(source, target) in order. With more than one worker the pieces run on the workers,
    // each twice (counting, then filing), so produce must emit the same pairs every time.
    template <class Produce>
    void insert_pieces(std::uint64_t pieces, Produce&& produce);
    PairStream(const PairStream&) = delete;
    PairStream& operator=(const PairStream&) = delete;
    ~PairStream();

   private:
    friend class QNearGraph;
    PairStream(QNearGraph& graph, std::uint64_t distinct_sources_below);
    std::uint64_t partition_of(std::uint64_t key) const noexcept { return mixed(key) >> (63 - partition_bits_) >> 1; }
    // Whether a key goes through the partitions: all but the promised ones.
    bool checked(std::uint64_t key) const noexcept { return key >= first_checked_key_; }
    void file(std::uint64_t key) {
      graph_.keys_.push_back(key);
      if (checked(key)) partitions_[partition_of(key)].push_back(key);
    }
    // Sets the bit of every key that is not the first of its value in its partition; returns
    // how many there are.
    std::uint64_t mark_repeats();
    // Drops the marked keys from the graph's keys, keeping the order of the rest.
    void drop_repeats();
    void finish();

    QNearGraph& graph_;
    std::uint64_t first_checked_key_;
    unsigned partition_bits_ = 0;
    std::vector<FlatBuffer<std::uint64_t>> partitions_;  // checked keys, stream order within each
    // One bit per key of each partition (partition p's from word seen_starts_[p]): set for
    // a repeat.
    FlatBuffer<std::uint64_t> seen_;
    std::vector<std::uint64_t> seen_starts_;
    std::uint64_t already_in_ = 0;  // the graph's own keys, ahead of the stream
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

template <class Produce>
void QNearGraph::PairStream::insert_pieces(std::uint64_t pieces, Produce&& produce) {
  if (pieces == 0) return;
  parallel::WorkerPool& pool = parallel::WorkerPool::global();
  if (pieces == 1 || pool.worker_count() == 1) {
    // On one thread the keys are filed as they come: no counting pass is needed to place them.
    for (std::uint64_t piece = 0; piece < pieces; ++piece) {
      produce(piece, [&](std::uint64_t source, std::uint64_t target) { file(key_of(source, target)); });
    }
    return;
  }
  // Per piece and partition: first how many keys, then where the piece's next key goes. The
  // last column is the piece's own keys, checked or not.
  const std::uint64_t partition_count = partitions_.size();
  const std::uint64_t columns = partition_count + 1;
  FlatBuffer<std::uint64_t> places = FlatBuffer<std::uint64_t>::zeros(pieces * columns, PageSize::Small);
  pool.run_blocks(pieces, [&](std::uint64_t piece) {
    std::uint64_t* const counts = places.data() + piece * columns;
    std::uint64_t emitted = 0;
    produce(piece, [&](std::uint64_t source, std::uint64_t target) {
      const std::uint64_t key = key_of(source, target);
      if (checked(key)) ++counts[partition_of(key)];
      ++emitted;
    });
    counts[partition_count] = emitted;
  });
  for (std::uint64_t column = 0; column < columns; ++column) {
    FlatBuffer<std::uint64_t>& keys = column < partition_count ? partitions_[column] : graph_.keys_;
    std::uint64_t next = keys.size();
    for (std::uint64_t piece = 0; piece < pieces; ++piece) {
      const std::uint64_t count = places[piece * columns + column];
      places[piece * columns + column] = next;
      next += count;
    }
    keys.extend(next - keys.size());
  }
  pool.run_blocks(pieces, [&](std::uint64_t piece) {
    std::uint64_t* const next = places.data() + piece * columns;
    std::uint64_t* out = graph_.keys_.data() + next[partition_count];
    produce(piece, [&](std::uint64_t source, std::uint64_t target) {
      const std::uint64_t key = key_of(source, target);
      *out++ = key;
      if (checked(key)) {
        const std::uint64_t partition = partition_of(key);
        partitions_[partition][next[partition]++] = key;
      }
    });
  });
}

// Writes one report line ("[<where>] <expression> = <count>") to the standard error stream;
// panics with "failed printing to stderr: ..." when it cannot be written.
void report_pair_count(std::string_view where, std::string_view expression, std::uint64_t count);

}  // namespace tolva
