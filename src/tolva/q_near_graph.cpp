#include "tolva/q_near_graph.hpp"

#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <string>

#include "base/panic.hpp"
#include "parallel/worker_pool.hpp"

namespace tolva {
namespace {

// Pairs per partition the partitions are sized for: a table of about 430 KiB, which stays in
// a core's cache while its part of a chunk is inserted.
constexpr std::uint64_t kKeysPerPartition = std::uint64_t{1} << 15;
constexpr unsigned kMaxPartitionBits = 16;
constexpr std::uint64_t kMinSlots = 64;
// A table grows past 3/4 full; new tables start at 3/5.
constexpr std::uint64_t slots_for(std::uint64_t keys) { return std::max(kMinSlots, keys / 3 * 5 + 1); }
constexpr bool overfull(std::uint64_t keys, std::uint64_t slots) { return 4 * keys > 3 * slots; }
// Below this many keys a chunk is not worth spreading over the workers.
constexpr std::uint64_t kParallelChunk = std::uint64_t{1} << 15;
// How far ahead the table slot of a key is prefetched: tables out of cache miss on nearly
// every insertion.
constexpr std::uint64_t kAhead = 8;

}  // namespace

// A partition's table is made on its first insertion.
QNearGraph::QNearGraph() : partitions_(1) {}

std::uint64_t QNearGraph::key_of(std::uint64_t source, std::uint64_t target) {
  if (source > kMaxPosition || target > kMaxPosition) panic_capacity_overflow();
  return pack_pair(source, target);
}

bool QNearGraph::insert(std::uint64_t source, std::uint64_t target) {
  if (streaming_) panic("a q-near graph was written to while a pair stream into it was open");
  const std::uint64_t key = key_of(source, target);
  const std::uint64_t mix = mixed(key);
  if (!insert_into(partitions_[partition_of(mix)], key, mix)) return false;
  keys_.push_back(key);
  return true;
}

void QNearGraph::reserve(std::uint64_t count) {
  if (!keys_.empty() || streaming_) return;
  const std::uint64_t wanted = std::bit_ceil(std::max<std::uint64_t>(1, count / kKeysPerPartition));
  const unsigned bits = std::min<unsigned>(kMaxPartitionBits, static_cast<unsigned>(std::countr_zero(wanted)));
  // Tables grow when needed, so a partition of a loose bound need not start at full size.
  const std::uint64_t per_partition = std::min(count >> bits, 2 * kKeysPerPartition);
  std::vector<Partition> partitions(std::uint64_t{1} << bits);
  for (Partition& partition : partitions) {
    partition.slots = FlatBuffer<std::uint64_t>::zeros(slots_for(per_partition), PageSize::Small);
  }
  partitions_ = std::move(partitions);
  partition_bits_ = bits;
}

bool QNearGraph::insert_into(Partition& partition, std::uint64_t key, std::uint64_t mix) {
  if (partition.slots.empty()) grow(partition);
  const std::uint64_t slot_count = partition.slots.size();
  std::uint64_t* const slots = partition.slots.data();
  for (std::uint64_t slot = home_slot(mix, slot_count);;) {
    const std::uint64_t held = slots[slot];
    if (held == key + 1) return false;
    if (held == 0) {
      slots[slot] = key + 1;
      if (overfull(++partition.count, slot_count)) grow(partition);
      return true;
    }
    if (++slot == slot_count) slot = 0;
  }
}

void QNearGraph::grow(Partition& partition) {
  FlatBuffer<std::uint64_t> old = std::move(partition.slots);
  partition.slots = FlatBuffer<std::uint64_t>::zeros(std::max(kMinSlots, 2 * old.size()), PageSize::Small);
  const std::uint64_t slot_count = partition.slots.size();
  for (const std::uint64_t held : old) {
    if (held == 0) continue;
    std::uint64_t slot = home_slot(mixed(held - 1), slot_count);
    while (partition.slots[slot] != 0) slot = slot + 1 == slot_count ? 0 : slot + 1;
    partition.slots[slot] = held;
  }
}

void QNearGraph::insert_one_by_one(const std::uint64_t* keys, std::uint64_t count) {
  for (std::uint64_t at = 0; at < count; ++at) {
    if (at + kAhead < count) {
      const std::uint64_t mix = mixed(keys[at + kAhead]);
      const Partition& partition = partitions_[partition_of(mix)];
      if (!partition.slots.empty()) __builtin_prefetch(&partition.slots[home_slot(mix, partition.slots.size())]);
    }
    const std::uint64_t mix = mixed(keys[at]);
    if (insert_into(partitions_[partition_of(mix)], keys[at], mix)) keys_.push_back(keys[at]);
  }
}

// Groups the keys by partition (stream order kept within each group), marks each key new or
// seen one partition at a time, the partitions spread over the workers, then appends the new
// keys in stream order.
void QNearGraph::insert_by_partition(const std::uint64_t* keys, std::uint64_t count, ChunkScratch& scratch) {
  const std::uint64_t partition_count = partitions_.size();
  scratch.starts.assign(partition_count + 1, 0);
  for (std::uint64_t at = 0; at < count; ++at) {
    const auto partition = static_cast<std::uint32_t>(partition_of(mixed(keys[at])));
    scratch.partition_of[at] = partition;
    ++scratch.starts[partition + 1];
  }
  for (std::uint64_t p = 0; p < partition_count; ++p) scratch.starts[p + 1] += scratch.starts[p];
  scratch.cursor.assign(scratch.starts.begin(), scratch.starts.end() - 1);
  for (std::uint64_t at = 0; at < count; ++at) scratch.grouped[scratch.cursor[scratch.partition_of[at]]++] = keys[at];

  const auto mark_partition = [&](std::size_t p) {
    Partition& partition = partitions_[p];
    const std::uint64_t end = scratch.starts[p + 1];
    for (std::uint64_t at = scratch.starts[p]; at < end; ++at) {
      if (at + kAhead < end && !partition.slots.empty()) {
        __builtin_prefetch(&partition.slots[home_slot(mixed(scratch.grouped[at + kAhead]), partition.slots.size())]);
      }
      const std::uint64_t key = scratch.grouped[at];
      scratch.fresh[at] = insert_into(partition, key, mixed(key)) ? 1 : 0;
    }
  };
  parallel::WorkerPool& pool = parallel::WorkerPool::global();
  if (pool.worker_count() > 1) {
    pool.run_blocks(partition_count, mark_partition);
  } else {
    for (std::size_t p = 0; p < partition_count; ++p) mark_partition(p);
  }

  scratch.cursor.assign(scratch.starts.begin(), scratch.starts.end() - 1);
  for (std::uint64_t at = 0; at < count; ++at) {
    if (scratch.fresh[scratch.cursor[scratch.partition_of[at]]++]) keys_.push_back(keys[at]);
  }
}

QNearGraph::PairStream::PairStream(QNearGraph& graph)
    : graph_(graph), chunk_(FlatBuffer<std::uint64_t>::zeros(kChunk, PageSize::Small)) {
  if (graph_.streaming_) panic("a second pair stream was opened into one q-near graph");
  graph_.streaming_ = true;
}

QNearGraph::PairStream::~PairStream() {
  graph_.streaming_ = false;
  if (!finished_) graph_.clear();
}

void QNearGraph::PairStream::insert_chunk() {
  if (graph_.partitions_.size() == 1 || filled_ < kParallelChunk) {
    graph_.insert_one_by_one(chunk_.data(), filled_);
  } else {
    if (scratch_.grouped.empty()) {
      scratch_.partition_of = FlatBuffer<std::uint32_t>::zeros(kChunk, PageSize::Small);
      scratch_.grouped = FlatBuffer<std::uint64_t>::zeros(kChunk, PageSize::Small);
      scratch_.fresh = FlatBuffer<std::uint8_t>::zeros(kChunk, PageSize::Small);
    }
    graph_.insert_by_partition(chunk_.data(), filled_, scratch_);
  }
  filled_ = 0;
}

void QNearGraph::PairStream::finish() {
  insert_chunk();
  finished_ = true;
}

void QNearGraph::clear() noexcept {
  keys_ = FlatBuffer<std::uint64_t>();
  for (Partition& partition : partitions_) {
    partition.slots = FlatBuffer<std::uint64_t>();
    partition.count = 0;
  }
  // An emptied graph keeps no tables; the first insertion after this re-creates one.
  partitions_.resize(1);
  partition_bits_ = 0;
}

const QNearGraph& QNearGraph::readable() const {
  if (streaming_) panic("a q-near graph was read while a pair stream into it was open");
  return *this;
}

FlatBuffer<std::uint64_t> QNearGraph::take_packed_pairs() {
  readable();
  FlatBuffer<std::uint64_t> pairs = std::move(keys_);
  *this = QNearGraph();
  return pairs;
}

std::vector<std::array<std::uint64_t, 2>> QNearGraph::edges() const {
  readable();
  std::vector<std::array<std::uint64_t, 2>> pairs;
  pairs.reserve(keys_.size());
  for (const std::uint64_t key : keys_) pairs.push_back({packed_source(key), packed_target(key)});
  return pairs;
}

void report_pair_count(std::string_view where, std::string_view expression, std::uint64_t count) {
  std::string line;
  for (const std::string_view piece : {std::string_view("["), where, std::string_view("] "), expression,
                                       std::string_view(" = ")}) {
    line.append(piece);
  }
  line.append(std::to_string(count)).push_back('\n');
  std::size_t written = 0;
  while (written < line.size()) {
    const ssize_t result = ::write(STDERR_FILENO, line.data() + written, line.size() - written);
    if (result >= 0) {
      written += static_cast<std::size_t>(result);
    } else if (errno != EINTR) {
      const int error = errno;
      panic("failed printing to stderr: " + std::string(std::strerror(error)) + " (os error " +
            std::to_string(error) + ")");
    }
  }
}

}  // namespace tolva
