// The result of both q-near algorithms: a set of ordered pairs of simplex positions that
// remembers the order of first insertion. Pairs are packed into one 64-bit key and kept in
// a flat array (insertion order) beside an open-addressing table of the same keys.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

#include "base/flat_buffer.hpp"
#include "base/position.hpp"

namespace tolva {

class QNearGraph {
 public:
  QNearGraph();

  // Appends the pair unless it is present; returns whether it was new.
  bool insert(std::uint64_t source, std::uint64_t target) { return insert_key(key_of(source, target)); }

  // Makes room for `count` pairs without rehashing.
  void reserve(std::uint64_t count);

  std::uint64_t size() const noexcept { return keys_.size(); }
  std::uint64_t source(std::uint64_t at) const noexcept { return packed_source(keys_[at]); }
  std::uint64_t target(std::uint64_t at) const noexcept { return packed_target(keys_[at]); }

  // A copy of all pairs in insertion order.
  std::vector<std::array<std::uint64_t, 2>> edges() const;

  // Hands over the pairs in insertion order, packed as source << 32 | target, and leaves the
  // graph empty; the lookup table is released at once.
  FlatBuffer<std::uint64_t> take_packed_pairs();
  static std::uint64_t packed_source(std::uint64_t packed) noexcept { return tolva::packed_source(packed); }
  static std::uint64_t packed_target(std::uint64_t packed) noexcept { return tolva::packed_target(packed); }

  // Inserts pairs in the order they are added, with the table slot of each pair prefetched a
  // few pairs ahead, since nearly every insertion into a large table misses the cache.
  // Call flush() before reading the graph.
  class Inserter {
   public:
    explicit Inserter(QNearGraph& graph) : graph_(graph) {}
    void insert(std::uint64_t source, std::uint64_t target) {
      const std::uint64_t key = key_of(source, target);
      __builtin_prefetch(&graph_.slots_[graph_.slot_of(key)]);
      if (pending_ == kWindow) graph_.insert_key(window_[(next_ - kWindow) & (kWindow - 1)]), --pending_;
      window_[next_++ & (kWindow - 1)] = key;
      ++pending_;
    }
    void flush() {
      for (; pending_ > 0; --pending_) graph_.insert_key(window_[(next_ - pending_) & (kWindow - 1)]);
    }

   private:
    static constexpr std::uint64_t kWindow = 16;
    QNearGraph& graph_;
    std::uint64_t window_[kWindow];
    std::uint64_t next_ = 0;
    std::uint64_t pending_ = 0;
  };

 private:
  // Keys are stored + 1 in the table so that a zero-filled table is empty.
  static std::uint64_t key_of(std::uint64_t source, std::uint64_t target);
  std::uint64_t slot_of(std::uint64_t key) const noexcept {
    return ((key ^ (key >> 29)) * 0x9E3779B97F4A7C15ULL) >> shift_;
  }
  bool insert_key(std::uint64_t key) {
    const std::uint64_t mask = slots_.size() - 1;
    for (std::uint64_t slot = slot_of(key);; slot = (slot + 1) & mask) {
      const std::uint64_t held = slots_[slot];
      if (held == key + 1) return false;
      if (held == 0) {
        slots_[slot] = key + 1;
        keys_.push_back(key);
        if (2 * keys_.size() > slots_.size()) rehash(2 * slots_.size());
        return true;
      }
    }
  }
  void rehash(std::uint64_t slot_count);

  FlatBuffer<std::uint64_t> keys_;   // insertion order
  FlatBuffer<std::uint64_t> slots_;  // 0 or key + 1
  unsigned shift_;                   // 64 - log2(slots_.size())
};

// Writes one report line ("[<where>] <expression> = <count>") to the standard error stream;
// panics with "failed printing to stderr: ..." when it cannot be written.
void report_pair_count(std::string_view where, std::string_view expression, std::uint64_t count);

}  // namespace tolva
