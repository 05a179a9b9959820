// The result of both q-near algorithms: a set of ordered pairs of simplex positions that
// remembers the order of first insertion. Pairs are packed into one 64-bit key and kept in a
// flat array (insertion order). The lookup side is split by hash into partitions, each an
// open-addressing table small enough to stay in cache while it is worked on, so that a
// stream of attempted pairs can be deduplicated a chunk at a time, one partition after the
// other (and on several workers), without one table far larger than the cache.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "base/flat_buffer.hpp"
#include "base/position.hpp"

namespace tolva {

class QNearGraph {
 private:
  // Scratch of a chunk's deduplication, kept for the stream's life.
  struct ChunkScratch {
    FlatBuffer<std::uint32_t> partition_of;  // per attempted key
    FlatBuffer<std::uint64_t> grouped;       // the keys grouped by partition, stream order within
    FlatBuffer<std::uint8_t> fresh;          // per grouped key: 1 when first seen there
    std::vector<std::uint64_t> starts, cursor;
  };

 public:
  QNearGraph();

  // Appends the pair unless it is present; returns whether it was new.
  bool insert(std::uint64_t source, std::uint64_t target);

  // Sizes the partitions for about `count` distinct pairs. Only an empty graph is
  // repartitioned; a graph already holding pairs keeps its layout (and stays correct).
  void reserve(std::uint64_t count);

  class PairStream;

  // Calls fill(stream) and inserts every pair that fill passes to stream.insert, in that
  // order, as insert() would one at a time. All of them are in the graph when this returns;
  // the graph cannot be read while fill runs. When fill (or the insertion) throws, the
  // exception goes on and the graph is left empty.
  template <class Fill>
  void insert_all(Fill&& fill) {
    PairStream stream(*this);
    fill(stream);
    stream.finish();
  }

  std::uint64_t size() const { return readable().keys_.size(); }

  // A copy of all pairs in insertion order.
  std::vector<std::array<std::uint64_t, 2>> edges() const;

  // Hands over the pairs in insertion order, packed as source << 32 | target, and leaves the
  // graph empty; the lookup tables are released at once.
  FlatBuffer<std::uint64_t> take_packed_pairs();
  static std::uint64_t packed_source(std::uint64_t packed) noexcept { return tolva::packed_source(packed); }
  static std::uint64_t packed_target(std::uint64_t packed) noexcept { return tolva::packed_target(packed); }

  // Collects attempted pairs in chunks and deduplicates each full chunk by partition. Made
  // only by insert_all, which finishes it; its destructor only reopens the graph (and, when
  // the stream was not finished, empties it), so it cannot fail.
  class PairStream {
   public:
    void insert(std::uint64_t source, std::uint64_t target) {
      if (filled_ == kChunk) insert_chunk();
      chunk_[filled_++] = key_of(source, target);
    }
    PairStream(const PairStream&) = delete;
    PairStream& operator=(const PairStream&) = delete;
    ~PairStream();

   private:
    friend class QNearGraph;
    static constexpr std::uint64_t kChunk = std::uint64_t{1} << 18;
    explicit PairStream(QNearGraph& graph);
    void insert_chunk();
    void finish();

    QNearGraph& graph_;
    FlatBuffer<std::uint64_t> chunk_;  // kChunk attempted keys, stream order
    ChunkScratch scratch_;
    std::uint64_t filled_ = 0;
    bool finished_ = false;
  };

 private:
  // One partition's table: 0 (empty) or key + 1, linear probing.
  struct Partition {
    FlatBuffer<std::uint64_t> slots;
    std::uint64_t count = 0;
  };

  static std::uint64_t key_of(std::uint64_t source, std::uint64_t target);
  static std::uint64_t mixed(std::uint64_t key) noexcept { return (key ^ (key >> 29)) * 0x9E3779B97F4A7C15ULL; }
  std::uint64_t partition_of(std::uint64_t mix) const noexcept {
    return partition_bits_ == 0 ? 0 : mix >> (64 - partition_bits_);
  }
  // Where `key` (with hash `mix`) would start probing in a table of `slot_count` slots.
  std::uint64_t home_slot(std::uint64_t mix, std::uint64_t slot_count) const noexcept {
    __extension__ using Wide = unsigned __int128;
    return static_cast<std::uint64_t>((static_cast<Wide>(mix << partition_bits_) * slot_count) >> 64);
  }
  // Puts key into its partition's table unless present; returns whether it was new.
  bool insert_into(Partition& partition, std::uint64_t key, std::uint64_t mix);
  void grow(Partition& partition);
  void insert_one_by_one(const std::uint64_t* keys, std::uint64_t count);
  void insert_by_partition(const std::uint64_t* keys, std::uint64_t count, ChunkScratch& scratch);
  const QNearGraph& readable() const;
  void clear() noexcept;

  FlatBuffer<std::uint64_t> keys_;  // insertion order
  std::vector<Partition> partitions_;
  unsigned partition_bits_ = 0;
  bool streaming_ = false;
};

// Writes one report line ("[<where>] <expression> = <count>") to the standard error stream;
// panics with "failed printing to stderr: ..." when it cannot be written.
void report_pair_count(std::string_view where, std::string_view expression, std::uint64_t count);

}  // namespace tolva
