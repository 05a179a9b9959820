// Lists of positions under keys from a range of positions, with rows only for the keys that
// have entries: most simplices of a large complex are nobody's face at a given place, and a
// row per position would cost pages for rows never used.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "base/flat_buffer.hpp"
#include "base/position.hpp"
#include "base/task.hpp"
#include "parallel/worker_pool.hpp"

namespace tolva {

// Set bits of a word, inline: the baseline x86-64 target has no popcount instruction, and
// the library call it would make instead costs more than this in a lookup.
constexpr std::uint64_t bit_count(std::uint64_t bits) noexcept {
  bits -= (bits >> 1) & 0x5555555555555555ULL;
  bits = (bits & 0x3333333333333333ULL) + ((bits >> 2) & 0x3333333333333333ULL);
  bits = (bits + (bits >> 4)) & 0x0F0F0F0F0F0F0F0FULL;
  return (bits * 0x0101010101010101ULL) >> 56;
}

// Which keys of [0, range) own a row, and the number of that row among them: one bit per key
// and, per word of 64 keys, the rows of the keys before it; a lookup reads one 16-byte word.
class RowMap {
 public:
  static constexpr std::uint64_t kNone = ~std::uint64_t{0};

  RowMap() = default;
  explicit RowMap(std::uint64_t range) : range_(range), words_(FlatBuffer<Word>::zeros(range / 64 + 1)) {}

  void mark(std::uint64_t key) noexcept { words_[key / 64].bits |= std::uint64_t{1} << (key % 64); }
  // Numbers the marked keys in ascending order; returns how many there are.
  std::uint64_t number_rows() noexcept {
    std::uint64_t rows = 0;
    for (Word& word : words_) {
      word.rows_before = rows;
      rows += bit_count(word.bits);
    }
    return rows;
  }

  // The row of a key, kNone when it has none (also beyond the range).
  std::uint64_t row_of(std::uint64_t key) const noexcept {
    if (key >= range_) return kNone;
    const Word& word = words_[key / 64];
    const std::uint64_t bit = std::uint64_t{1} << (key % 64);
    if ((word.bits & bit) == 0) return kNone;
    return word.rows_before + bit_count(word.bits & (bit - 1));
  }
  // The row of the first marked key from `key` on (a multiple of 64) once the rows are numbered.
  std::uint64_t first_row_from(std::uint64_t key) const noexcept { return words_[key / 64].rows_before; }
  // The row of a key that has one.
  std::uint64_t marked_row(std::uint64_t key) const noexcept {
    const Word& word = words_[key / 64];
    return word.rows_before + bit_count(word.bits & ((std::uint64_t{1} << (key % 64)) - 1));
  }

  std::uint64_t range() const noexcept { return range_; }
  // The marked keys of word w (keys 64 w .. 64 w + 63) as bits; 0 beyond the range.
  std::uint64_t word_bits(std::uint64_t w) const noexcept { return w < words_.size() ? words_[w].bits : 0; }

 private:
  struct Word {
    std::uint64_t bits;
    std::uint64_t rows_before;
  };
  std::uint64_t range_ = 0;
  FlatBuffer<Word> words_;
};

// Calls visit(key) for every key of [first, last) marked in `a` or (Both: and) in `b`,
// ascending.
enum class Marked { Either, Both };
template <Marked in, class Visit>
void for_each_marked(const RowMap& a, const RowMap& b, std::uint64_t first, std::uint64_t last, Visit&& visit) {
  for (std::uint64_t w = first / 64; w * 64 < last; ++w) {
    std::uint64_t bits = in == Marked::Both ? a.word_bits(w) & b.word_bits(w) : a.word_bits(w) | b.word_bits(w);
    if (w * 64 < first) bits &= ~std::uint64_t{0} << (first % 64);
    if (last - w * 64 < 64) bits &= (std::uint64_t{1} << (last - w * 64)) - 1;
    while (bits != 0) {
      visit(w * 64 + static_cast<std::uint64_t>(std::countr_zero(bits)));
      bits &= bits - 1;
    }
  }
}

// Rows of positions stored back to back, a row for each key that has entries. Built from
// `units` units of emission: emit_units(first, last, emit) passes the (key, value) pairs of
// units [first, last) to emit, in emission order, and each row keeps that order. Below
// `parallel_from` units the table is built on the calling thread in three passes (mark, count,
// fill), its counters in cache. From there on it is built on the workers (on one, the same
// way) as a radix sort, so that no pass updates memory at random across the whole key range:
// the pairs are counted and then scattered, in blocks of units, into buckets of neighbouring
// keys, and each bucket is then sorted by key on its own, with its counters in cache.
class PositionTable {
 public:
  template <class EmitUnits>
  static PositionTable build(std::uint64_t range, std::uint64_t units, EmitUnits&& emit_units,
                             std::uint64_t parallel_from) {
    PositionTable table;
    if (units >= parallel_from && units > 1) {
      table.fill_by_buckets(range, units, emit_units);
    } else {
      table.fill_on_this_thread(range, units, emit_units);
    }
    return table;
  }

  // The row of a key; empty when it has none.
  std::span<const Position> row(std::uint64_t key) const noexcept {
    const std::uint64_t at = keys_.row_of(key);
    return at == RowMap::kNone ? std::span<const Position>() : row_number(at);
  }
  std::span<const Position> row_number(std::uint64_t at) const noexcept {
    return {entries_.data() + starts_[at], entries_.data() + starts_[at + 1]};
  }
  const RowMap& keys() const noexcept { return keys_; }
  std::uint64_t entry_count() const noexcept { return entries_.size(); }

 private:
  template <class EmitUnits>
  void fill_on_this_thread(std::uint64_t range, std::uint64_t units, EmitUnits& emit_units) {
    keys_ = RowMap(range);
    emit_units(0, units, [&](std::uint64_t key, Position) { keys_.mark(key); });
    const std::uint64_t rows = keys_.number_rows();
    // Row r is counted at r + 2; after the sums, starts_[r + 1] is where row r starts and is
    // moved on as it is filled, so that it ends as the start of row r + 1.
    starts_ = FlatBuffer<std::uint64_t>::zeros(rows + 2);
    std::uint64_t* const starts = starts_.data();
    emit_units(0, units, [&](std::uint64_t key, Position) { ++starts[keys_.marked_row(key) + 2]; });
    throw_if_cancelled();
    for (std::uint64_t r = 2; r < rows + 2; ++r) starts[r] += starts[r - 1];
    Position* const entries = entries_.extend(starts[rows + 1]);  // each written once below
    emit_units(0, units, [&](std::uint64_t key, Position value) { entries[starts[keys_.marked_row(key) + 1]++] = value; });
  }

  template <class EmitUnits>
  void fill_by_buckets(std::uint64_t range, std::uint64_t units, EmitUnits& emit_units);

  // Buckets per worker at the least, where the key range allows; and the per-block counters of
  // the radix sort at most (blocks times buckets).
  static constexpr std::uint64_t kBucketsPerWorker = 16;
  static constexpr std::uint64_t kMaxBlockCounters = std::uint64_t{1} << 20;

  RowMap keys_;
  FlatBuffer<std::uint64_t> starts_;  // rows + 2 entries: row r is [starts_[r], starts_[r + 1])
  FlatBuffer<Position> entries_;
};

template <class EmitUnits>
void PositionTable::fill_by_buckets(std::uint64_t range, std::uint64_t units, EmitUnits& emit_units) {
  const std::uint64_t workers = parallel::worker_count();
  // Buckets of 2^bits keys, a whole number of the key map's words each, so that a bucket's
  // words are its own; at most 2^16 keys (a key within its bucket fits in 16 bits, and the
  // bucket's counters in a core's cache), and a few buckets per worker for a small range.
  unsigned bits = 16;
  while (bits > 6 && (range >> bits) < kBucketsPerWorker * workers) --bits;
  const std::uint64_t buckets = (range >> bits) + 1;
  // Blocks of units, each counted and scattered by one worker; fewer for many buckets, so that
  // the per-block counters stay small next to the entries.
  const std::uint64_t blocks = std::clamp<std::uint64_t>(kMaxBlockCounters / buckets, workers, parallel::kBlocksPerWorker * workers);
  const std::uint64_t unit_blocks = std::min(units, blocks);
  const auto in_blocks = [&](auto&& per_block) {
    parallel::run_pieces(unit_blocks, [&](std::uint64_t block) {
      const auto [first, last] = parallel::block_range(0, units, unit_blocks, block);
      per_block(block, first, last);
    });
  };
  // Per block and bucket: its entries, then where its next one goes. Bucket after bucket,
  // and within a bucket block after block, the entries are in emission order.
  FlatBuffer<std::uint64_t> next = FlatBuffer<std::uint64_t>::zeros(unit_blocks * buckets, PageSize::Small);
  in_blocks([&](std::uint64_t block, std::uint64_t first, std::uint64_t last) {
    std::uint64_t* const counts = next.data() + block * buckets;
    emit_units(first, last, [&](std::uint64_t key, Position) { ++counts[key >> bits]; });
  });
  std::vector<std::uint64_t> bucket_starts(buckets + 1, 0);
  for (std::uint64_t bucket = 0, at = 0; bucket < buckets; ++bucket) {
    bucket_starts[bucket] = at;
    for (std::uint64_t block = 0; block < unit_blocks; ++block) at += std::exchange(next[block * buckets + bucket], at);
    bucket_starts[bucket + 1] = at;
  }
  const std::uint64_t total = bucket_starts[buckets];
  // Scattered: each value to its place in its bucket, with its key's low bits beside it.
  Position* const entries = entries_.extend(total);
  FlatBuffer<std::uint16_t> low_keys;
  std::uint16_t* const lows = low_keys.extend(total);
  const std::uint64_t low_mask = (std::uint64_t{1} << bits) - 1;
  in_blocks([&](std::uint64_t block, std::uint64_t first, std::uint64_t last) {
    std::uint64_t* const places = next.data() + block * buckets;
    emit_units(first, last, [&](std::uint64_t key, Position value) {
      const std::uint64_t at = places[key >> bits]++;
      entries[at] = value;
      lows[at] = static_cast<std::uint16_t>(key & low_mask);
    });
  });
  next = FlatBuffer<std::uint64_t>();
  // Each bucket on its own: the keys that have rows, numbered once all are known.
  keys_ = RowMap(range);
  const std::uint64_t bucket_blocks = std::min(buckets, parallel::kBlocksPerWorker * workers);
  const auto bucket_by_bucket = [&](auto&& per_bucket) {
    parallel::run_pieces(bucket_blocks, [&](std::uint64_t block) {
      const auto [first, last] = parallel::block_range(0, buckets, bucket_blocks, block);
      for (std::uint64_t bucket = first; bucket < last; ++bucket) per_bucket(bucket);
    });
  };
  bucket_by_bucket([&](std::uint64_t bucket) {
    const std::uint64_t base = bucket << bits;
    for (std::uint64_t at = bucket_starts[bucket]; at < bucket_starts[bucket + 1]; ++at) keys_.mark(base + lows[at]);
  });
  const std::uint64_t rows = keys_.number_rows();
  starts_ = FlatBuffer<std::uint64_t>::zeros(rows + 2);
  starts_[rows] = starts_[rows + 1] = total;
  // Sorted by key, stably: each row keeps the emission order.
  parallel::run_pieces(bucket_blocks, [&](std::uint64_t block) {
    const auto [first, last] = parallel::block_range(0, buckets, bucket_blocks, block);
    std::uint64_t largest = 0;
    for (std::uint64_t bucket = first; bucket < last; ++bucket) {
      largest = std::max(largest, bucket_starts[bucket + 1] - bucket_starts[bucket]);
    }
    std::vector<std::uint64_t> place(std::size_t{1} << bits);
    std::vector<Position> values(largest);
    for (std::uint64_t bucket = first; bucket < last; ++bucket) {
      const std::uint64_t begin = bucket_starts[bucket], end = bucket_starts[bucket + 1];
      if (begin == end) continue;
      for (std::uint64_t at = begin; at < end; ++at) ++place[lows[at]];
      // The bucket's keys with rows, ascending: rows numbered on from the bucket's first.
      const std::uint64_t base = bucket << bits;
      std::uint64_t row = keys_.first_row_from(base), offset = begin;
      for_each_marked<Marked::Either>(keys_, keys_, base, std::min(range, base + (std::uint64_t{1} << bits)), [&](std::uint64_t key) {
        starts_[row++] = offset;
        offset += std::exchange(place[key - base], offset);
      });
      std::copy(entries + begin, entries + end, values.begin());
      for (std::uint64_t at = begin; at < end; ++at) entries[place[lows[at]]++] = values[at - begin];
      for (std::uint64_t at = begin; at < end; ++at) place[lows[at]] = 0;  // for the next bucket
    }
  });
}

}  // namespace tolva
