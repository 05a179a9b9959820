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

// Keys per partition the partitions are sized for: the table that deduplicates one of them
// (about 16 bytes per key) stays in a core's cache.
constexpr std::uint64_t kKeysPerPartition = std::uint64_t{1} << 14;
constexpr unsigned kMaxPartitionBits = 16;  // at most 65536 partitions
// Fewer keys than this are marked on one thread.
constexpr std::uint64_t kParallelFrom = std::uint64_t{1} << 15;
// Up to this many keys, all partitions are filed at once; beyond it, in kLargeStreamGroups
// groups one after the other, so that the copy held at once is a fraction of the keys, at the
// cost of reading the stream once more per group.
constexpr std::uint64_t kCopiedWhole = std::uint64_t{1} << 25;
constexpr std::uint64_t kLargeStreamGroups = 2;
// Stretches of the stream per worker while it is filed, and blocks of partitions per worker
// while they are deduplicated: a few, so that a slow one leaves no worker idle for long.
constexpr std::uint64_t kRangesPerWorker = 2;
constexpr std::uint64_t kDedupBlocksPerWorker = 4;

// The buffer emptied and made to hold `count` keys, to be written from the start. A block with
// a mapping of its own grows by mapping more pages, keeping those already written; a smaller
// one would be copied as it grows, so it is freed first.
std::uint64_t* reuse(FlatBuffer<std::uint64_t>& buffer, std::uint64_t count) {
  buffer.clear();
  if (count > buffer.capacity() && buffer.capacity() < kMappedChunkKeys) buffer = FlatBuffer<std::uint64_t>();
  buffer.reserve(count);
  return buffer.extend(count);
}

// Where a key with hash `mix` starts probing among `slot_count` slots, from the hash bits
// below those that chose its partition.
std::uint64_t home_slot(std::uint64_t mix, unsigned partition_bits, std::uint64_t slot_count) {
  __extension__ using Wide = unsigned __int128;
  return static_cast<std::uint64_t>((static_cast<Wide>(mix << partition_bits) * slot_count) >> 64);
}

}  // namespace

std::uint64_t QNearGraph::key_of(std::uint64_t source, std::uint64_t target) {
  if (source > kMaxPosition || target > kMaxPosition) panic_capacity_overflow();
  return pack_pair(source, target);
}

bool QNearGraph::insert(std::uint64_t source, std::uint64_t target) {
  if (streaming_) panic("a q-near graph was written to while a pair stream into it was open");
  const std::uint64_t key = key_of(source, target);
  if (2 * (keys_.size() + 1) > lookup_.size()) rebuild_lookup(std::bit_ceil(std::max<std::uint64_t>(16, 4 * (keys_.size() + 1))));
  const std::uint64_t mask = lookup_.size() - 1;
  for (std::uint64_t slot = mixed(key) >> lookup_shift_;; slot = (slot + 1) & mask) {
    if (lookup_[slot] == key + 1) return false;
    if (lookup_[slot] == 0) {
      lookup_[slot] = key + 1;
      keys_.push_back(key);
      return true;
    }
  }
}

void QNearGraph::rebuild_lookup(std::uint64_t slot_count) {
  lookup_ = FlatBuffer<std::uint64_t>::zeros(slot_count);
  lookup_shift_ = 64 - static_cast<unsigned>(std::countr_zero(slot_count));
  const std::uint64_t mask = slot_count - 1;
  for (const std::uint64_t key : keys_) {
    std::uint64_t slot = mixed(key) >> lookup_shift_;
    while (lookup_[slot] != 0) slot = (slot + 1) & mask;
    lookup_[slot] = key + 1;
  }
}

QNearGraph::PairStream::PairStream(QNearGraph& graph, std::uint64_t distinct_sources_below)
    : graph_(graph),
      first_checked_key_(distinct_sources_below > kMaxPosition ? ~std::uint64_t{0} : pack_pair(distinct_sources_below, 0)) {
  if (graph_.streaming_) panic("a second pair stream was opened into one q-near graph");
  const std::uint64_t attempts = graph_.expected_attempts_ + graph_.keys_.size();
  const std::uint64_t wanted = std::bit_ceil(std::max<std::uint64_t>(1, attempts / kKeysPerPartition));
  partition_bits_ = std::min<unsigned>(kMaxPartitionBits, static_cast<unsigned>(std::countr_zero(wanted)));
  // The graph's own pairs go first, so that the stream's repeats of them count as seen.
  if (!graph_.keys_.empty()) chunks_.push_back(Chunk::holding(std::move(graph_.keys_)));
  graph_.keys_ = FlatBuffer<std::uint64_t>();
  graph_.lookup_ = FlatBuffer<std::uint64_t>();  // stale once the stream is in
  graph_.streaming_ = true;
}

QNearGraph::PairStream::~PairStream() {
  graph_.streaming_ = false;
  if (!finished_) graph_.clear();
}

void QNearGraph::PairStream::close_tail() {
  if (tail_.empty()) return;
  chunks_.push_back(Chunk::holding(std::move(tail_)));
  tail_ = FlatBuffer<std::uint64_t>();
}

std::uint64_t QNearGraph::PairStream::mark_repeats() {
  const std::uint64_t partition_count = std::uint64_t{1} << partition_bits_;
  std::vector<std::uint64_t> chunk_starts(chunks_.size() + 1, 0);
  for (std::size_t c = 0; c < chunks_.size(); ++c) chunk_starts[c + 1] = chunk_starts[c] + chunks_[c].size;
  const std::uint64_t keys = chunk_starts.back();
  const std::uint64_t workers = parallel::worker_count();
  // The stream is read in `ranges` stretches of about equal length, each by one worker.
  const std::uint64_t ranges = keys < kParallelFrom ? 1 : std::min(keys, kRangesPerWorker * workers);
  stretches_ = Stretches{std::move(chunk_starts), ranges};
  const auto for_each_checked_key = [&](std::uint64_t range, auto&& visit) {
    for_each_key_of(range, [&](std::uint64_t key) {
      if (checked(key)) visit(key, partition_of(key));
    }, false);
  };
  // Per range (a row each): how many checked keys of each partition it holds, and later
  // where the next of them is filed.
  FlatBuffer<std::uint64_t> places = FlatBuffer<std::uint64_t>::zeros(ranges * partition_count, PageSize::Small);
  parallel::run_pieces(ranges, [&](std::uint64_t range) {
    std::uint64_t* const counts = places.data() + range * partition_count;
    for_each_checked_key(range, [&](std::uint64_t, std::uint64_t partition) { ++counts[partition]; });
  });
  std::vector<std::uint64_t> sizes(partition_count, 0);
  seen_starts_.assign(partition_count + 1, 0);
  // Per stretch and partition, the bit in seen_ of the stretch's first key of the partition,
  // and one row more: the end of each partition's bits.
  stretch_bits_ = FlatBuffer<std::uint64_t>::zeros((ranges + 1) * partition_count, PageSize::Small);
  for (std::uint64_t p = 0; p < partition_count; ++p) {
    std::uint64_t bit = 64 * seen_starts_[p];
    for (std::uint64_t range = 0; range < ranges; ++range) {
      stretch_bits_[range * partition_count + p] = bit;
      bit += places[range * partition_count + p];
      sizes[p] += places[range * partition_count + p];
    }
    stretch_bits_[ranges * partition_count + p] = bit;
    seen_starts_[p + 1] = seen_starts_[p] + (sizes[p] + 63) / 64;
  }
  seen_ = FlatBuffer<std::uint64_t>::zeros(seen_starts_[partition_count], PageSize::Small);
  const std::uint64_t groups = std::min(partition_count, keys < kCopiedWhole ? 1 : kLargeStreamGroups);
  // Filed in one group: room for the joined keys from the start, so that the join writes into
  // the pages the filing wrote instead of moving to a fresh block (unwritten room costs no
  // pages). A stream filed in groups reserves half its keys at a time, as the memory guard
  // counts reserved room as taken; its block has a mapping of its own and grows in place.
  if (groups == 1) spare_.reserve(keys);
  std::uint64_t repeats = 0;
  for (std::uint64_t group = 0; group < groups; ++group) {
    throw_if_cancelled();
    const auto [first, last] = parallel::block_range(0, partition_count, groups, group);
    // The group's keys, filed partition after partition, each partition's in stream order:
    // range r's keys of partition p follow those of the ranges before it.
    std::vector<std::uint64_t> filed_starts(last - first + 1, 0);
    for (std::uint64_t p = first; p < last; ++p) {
      std::uint64_t next = filed_starts[p - first];
      for (std::uint64_t range = 0; range < ranges; ++range) {
        std::uint64_t& place = places[range * partition_count + p];
        next += std::exchange(place, next);
      }
      filed_starts[p - first + 1] = next;
    }
    // One buffer for all groups, and then for the joined keys: pages once written cost
    // nothing the next time.
    std::uint64_t* const filed_keys = reuse(spare_, filed_starts.back());
    parallel::run_pieces(ranges, [&](std::uint64_t range) {
      std::uint64_t* const next = places.data() + range * partition_count;
      for_each_checked_key(range, [&](std::uint64_t key, std::uint64_t partition) {
        if (partition >= first && partition < last) filed_keys[next[partition]++] = key;
      });
    });
    const std::uint64_t blocks =
        filed_starts.back() < kParallelFrom ? 1 : std::min(last - first, kDedupBlocksPerWorker * workers);
    std::vector<std::uint64_t> block_repeats(blocks, 0);
    parallel::run_pieces(blocks, [&](std::uint64_t block) {
      const auto [block_first, block_last] = parallel::block_range(first, last - first, blocks, block);
      std::uint64_t largest = 0;
      for (std::uint64_t p = block_first; p < block_last; ++p) largest = std::max(largest, sizes[p]);
      // One table for the block's partitions in turn: slots hold key + 1, 0 when empty.
      FlatBuffer<std::uint64_t> slots = FlatBuffer<std::uint64_t>::zeros(2 * largest + 1, PageSize::Small);
      for (std::uint64_t p = block_first; p < block_last; ++p) {
        block_repeats[block] += mark_repeats_of(filed_keys + filed_starts[p - first], sizes[p], slots.data(),
                                                seen_.data() + seen_starts_[p]);
      }
    });
    for (const std::uint64_t count : block_repeats) repeats += count;
  }
  return repeats;
}

std::uint64_t QNearGraph::PairStream::mark_repeats_of(const std::uint64_t* keys, std::uint64_t count,
                                                      std::uint64_t* slots, std::uint64_t* bits) const {
  const std::uint64_t slot_count = 2 * count + 1;
  std::memset(slots, 0, slot_count * sizeof(std::uint64_t));
  std::uint64_t repeats = 0;
  for (std::uint64_t at = 0; at < count; ++at) {
    const std::uint64_t key = keys[at];
    for (std::uint64_t slot = home_slot(mixed(key), partition_bits_, slot_count);;) {
      if (slots[slot] == key + 1) {
        bits[at / 64] |= std::uint64_t{1} << (at % 64);
        ++repeats;
        break;
      }
      if (slots[slot] == 0) {
        slots[slot] = key + 1;
        break;
      }
      if (++slot == slot_count) slot = 0;
    }
  }
  return repeats;
}

template <class VisitRun>
void QNearGraph::PairStream::for_each_run_of(std::uint64_t stretch, VisitRun&& visit_run, bool release) {
  const std::vector<std::uint64_t>& chunk_starts = stretches_.chunk_starts;
  const auto [begin, end] = parallel::block_range(0, chunk_starts.back(), stretches_.count, stretch);
  std::size_t c = static_cast<std::size_t>(std::upper_bound(chunk_starts.begin(), chunk_starts.end(), begin) -
                                           chunk_starts.begin()) - 1;
  for (std::uint64_t at = begin; at < end; ++c) {
    const std::uint64_t stop = std::min(end, chunk_starts[c + 1]);
    visit_run(chunks_[c].keys + (at - chunk_starts[c]), stop - at);
    at = stop;
    // A chunk read whole by this stretch alone is not read again.
    if (release && chunk_starts[c] >= begin && chunk_starts[c + 1] <= end) chunks_[c] = Chunk();
  }
}

template <class Visit>
void QNearGraph::PairStream::for_each_key_of(std::uint64_t stretch, Visit&& visit, bool release) {
  for_each_run_of(stretch, [&](const std::uint64_t* run, std::uint64_t count) {
    for (const std::uint64_t* key = run; key < run + count; ++key) visit(*key);
  }, release);
}

std::uint64_t QNearGraph::PairStream::repeats_in(std::uint64_t stretch) const {
  const std::uint64_t partition_count = seen_starts_.size() - 1;
  const std::uint64_t* const first = stretch_bits_.data() + stretch * partition_count;
  std::uint64_t repeats = 0;
  for (std::uint64_t p = 0; p < partition_count; ++p) {
    // The set bits of [first[p], first[p + partition_count]), a word at a time.
    for (std::uint64_t bit = first[p], end = first[p + partition_count]; bit < end;) {
      const std::uint64_t in_word = std::min<std::uint64_t>(64 - bit % 64, end - bit);
      const std::uint64_t mask = in_word == 64 ? ~std::uint64_t{0} : ((std::uint64_t{1} << in_word) - 1);
      repeats += static_cast<std::uint64_t>(std::popcount((seen_[bit / 64] >> (bit % 64)) & mask));
      bit += in_word;
    }
  }
  return repeats;
}

void QNearGraph::PairStream::join_chunks(std::uint64_t repeats) {
  const std::uint64_t keys = stretches_.chunk_starts.back();
  if (chunks_.size() == 1 && repeats == 0 && chunks_.front().own.data() != nullptr) {
    graph_.keys_ = std::move(chunks_.front().own);
    chunks_.clear();
    return;
  }
  // Each stretch is written on one worker, after the kept keys of the stretches before it,
  // and releases each chunk it has read whole as it goes, as the memory of the joined keys
  // fills. Each partition's keys were filed in stream order, so a stretch's checked keys of a
  // partition are that partition's keys from the stretch's bit in stretch_bits_ on.
  const std::uint64_t stretches = stretches_.count;
  std::vector<std::uint64_t> out_starts(stretches + 1, 0);
  for (std::uint64_t stretch = 0; stretch < stretches; ++stretch) {
    const auto [begin, end] = parallel::block_range(0, keys, stretches, stretch);
    out_starts[stretch + 1] = end - begin;
  }
  if (repeats > 0) {
    parallel::run_pieces(stretches, [&](std::uint64_t stretch) { out_starts[stretch + 1] -= repeats_in(stretch); });
  }
  for (std::uint64_t stretch = 0; stretch < stretches; ++stretch) out_starts[stretch + 1] += out_starts[stretch];
  FlatBuffer<std::uint64_t> joined = std::move(spare_);  // the filed keys' memory, if any
  std::uint64_t* const out = reuse(joined, keys - repeats);
  const std::uint64_t partition_count = seen_starts_.empty() ? 0 : seen_starts_.size() - 1;
  parallel::run_pieces(stretches, [&](std::uint64_t stretch) {
    std::uint64_t* next = out + out_starts[stretch];
    if (repeats == 0) {
      for_each_run_of(stretch, [&](const std::uint64_t* run, std::uint64_t count) {
        std::memcpy(next, run, count * sizeof(std::uint64_t));
        next += count;
      }, true);
      return;
    }
    std::vector<std::uint64_t> next_bit(stretch_bits_.data() + stretch * partition_count,
                                        stretch_bits_.data() + (stretch + 1) * partition_count);
    for_each_key_of(stretch, [&](std::uint64_t key) {
      if (checked(key)) {
        const std::uint64_t bit = next_bit[partition_of(key)]++;
        if ((seen_[bit / 64] >> (bit % 64)) & 1) return;
      }
      *next++ = key;
    }, true);
  });
  chunks_.clear();
  shared_blocks_.clear();
  joined.truncate(joined.size());  // the filed keys may have needed more room than the result
  graph_.keys_ = std::move(joined);
}

void QNearGraph::PairStream::finish() {
  close_tail();
  const std::uint64_t repeats = mark_repeats();
  join_chunks(repeats);
  spare_ = FlatBuffer<std::uint64_t>();
  seen_ = FlatBuffer<std::uint64_t>();
  seen_starts_.clear();
  stretch_bits_ = FlatBuffer<std::uint64_t>();
  finished_ = true;
}

void QNearGraph::clear() noexcept {
  keys_ = FlatBuffer<std::uint64_t>();
  lookup_ = FlatBuffer<std::uint64_t>();
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
