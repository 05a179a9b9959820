// The result of both q-near algorithms: a set of ordered pairs of simplex positions that
// remembers the order of first insertion. Pairs are packed into one 64-bit key and kept in
// a flat array (insertion order) beside an open-addressing table of the same keys.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

namespace tolva {

class QNearGraph {
 public:
  QNearGraph();

  // Appends the pair unless it is present; returns whether it was new.
  bool insert(std::uint64_t source, std::uint64_t target);

  std::uint64_t size() const noexcept { return keys_.size(); }
  std::uint64_t source(std::uint64_t at) const noexcept { return keys_[at] >> 32; }
  std::uint64_t target(std::uint64_t at) const noexcept { return keys_[at] & 0xFFFFFFFFULL; }

  // A copy of all pairs in insertion order.
  std::vector<std::array<std::uint64_t, 2>> edges() const;

 private:
  static constexpr std::uint64_t kEmpty = ~std::uint64_t{0};
  std::uint64_t slot_of(std::uint64_t key) const noexcept {
    return ((key ^ (key >> 29)) * 0x9E3779B97F4A7C15ULL) >> shift_;
  }
  void grow();

  std::vector<std::uint64_t> keys_;   // insertion order
  std::vector<std::uint64_t> slots_;  // kEmpty or a key
  unsigned shift_;                    // 64 - log2(slots_.size())
};

// Writes one report line ("[<where>] <expression> = <count>") to the standard error stream;
// panics with "failed printing to stderr: ..." when it cannot be written.
void report_pair_count(std::string_view where, std::string_view expression, std::uint64_t count);

}  // namespace tolva
