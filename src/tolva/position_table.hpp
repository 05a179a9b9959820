// Lists of positions under keys from a range of positions, with rows only for the keys that
// have entries: most simplices of a large complex are nobody's face at a given place, and a
// row per position would cost pages for rows never used.
#pragma once

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdint>
#include <span>

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

  // shared: safe while other workers mark keys too.
  template <bool shared>
  void mark(std::uint64_t key) noexcept {
    const std::uint64_t bit = std::uint64_t{1} << (key % 64);
    if constexpr (shared) {
      const std::atomic_ref<std::uint64_t> bits(words_[key / 64].bits);
      if ((bits.load(std::memory_order_relaxed) & bit) == 0) bits.fetch_or(bit, std::memory_order_relaxed);
    } else {
      words_[key / 64].bits |= bit;
    }
  }
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

// Rows of positions stored back to back, a row for each key that has entries. Built from
// `units` units of emission: emit_units(first, last, emit) passes the (key, value) pairs of
// units [first, last) to emit, in emission order; it runs three times (mark, count, fill), in
// blocks of units on the workers from `parallel_from` units on, else on the calling thread.
// Each row keeps the emission order, by which rank(value) ascends: the blocks fill a row in
// any order, and a row so filled is sorted back by rank.
class PositionTable {
 public:
  template <class EmitUnits, class Rank>
  static PositionTable build(std::uint64_t range, std::uint64_t units, EmitUnits&& emit_units, Rank&& rank,
                             std::uint64_t parallel_from) {
    const std::uint64_t workers = parallel::worker_count();
    const std::uint64_t blocks =
        std::min(units, workers == 1 || units < parallel_from ? 1 : parallel::kBlocksPerWorker * workers);
    PositionTable table;
    if (blocks > 1) {
      table.fill<true>(range, units, blocks, emit_units);
      table.restore_order(rank);
    } else {
      table.fill<false>(range, units, blocks, emit_units);
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
  // The three passes, in `blocks` blocks of units; `shared`: on several workers at once.
  template <bool shared, class EmitUnits>
  void fill(std::uint64_t range, std::uint64_t units, std::uint64_t blocks, EmitUnits& emit_units) {
    keys_ = RowMap(range);
    const auto in_blocks = [&](auto&& emit) {
      parallel::run_pieces(blocks, [&](std::uint64_t block) {
        const auto [first, last] = parallel::block_range(0, units, blocks, block);
        emit_units(first, last, emit);
      });
    };
    in_blocks([&](std::uint64_t key, Position) { keys_.mark<shared>(key); });
    const std::uint64_t rows = keys_.number_rows();
    // Row r is counted at r + 2; after the sums, starts_[r + 1] is where row r starts and is
    // moved on as it is filled, so that it ends as the start of row r + 1.
    starts_ = FlatBuffer<std::uint64_t>::zeros(rows + 2);
    std::uint64_t* const starts = starts_.data();
    in_blocks([&](std::uint64_t key, Position) { claim<shared>(starts[keys_.marked_row(key) + 2]); });
    throw_if_cancelled();
    for (std::uint64_t r = 2; r < rows + 2; ++r) starts[r] += starts[r - 1];
    Position* const entries = entries_.extend(starts[rows + 1]);  // each written once below
    in_blocks([&](std::uint64_t key, Position value) { entries[claim<shared>(starts[keys_.marked_row(key) + 1])] = value; });
  }

  // Takes the next number of a counter, which several workers may advance at once (shared).
  template <bool shared>
  static std::uint64_t claim(std::uint64_t& counter) noexcept {
    if constexpr (shared) return std::atomic_ref<std::uint64_t>(counter).fetch_add(1, std::memory_order_relaxed);
    return counter++;
  }

  // Sorts every row whose entries do not ascend by rank, in blocks of rows on the workers.
  template <class Rank>
  void restore_order(Rank&& rank) {
    const std::uint64_t rows = starts_.size() - 2;
    const auto by_rank = [&](Position a, Position b) { return rank(a) < rank(b); };
    const std::uint64_t blocks = std::min<std::uint64_t>(rows, parallel::kBlocksPerWorker * parallel::worker_count());
    parallel::run_pieces(blocks, [&](std::uint64_t block) {
      const auto [first, last] = parallel::block_range(0, rows, blocks, block);
      for (std::uint64_t r = first; r < last; ++r) {
        Position* const row_first = entries_.data() + starts_[r];
        Position* const row_last = entries_.data() + starts_[r + 1];
        if (!std::is_sorted(row_first, row_last, by_rank)) std::sort(row_first, row_last, by_rank);
      }
    });
  }

  RowMap keys_;
  FlatBuffer<std::uint64_t> starts_;  // rows + 2 entries, the last one spare
  FlatBuffer<Position> entries_;
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

}  // namespace tolva
