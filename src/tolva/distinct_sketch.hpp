// An estimate of how many distinct keys a stream holds, in 16 KiB whatever its length
// (HyperLogLog): each key's hash picks a register, which keeps the longest run of leading
// zero bits seen among the rest of the hashes sent there. Its relative standard error is
// 1.04 / sqrt(registers), about 0.8 %.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>

namespace tolva {

class DistinctSketch {
 public:
  static constexpr unsigned kRegisterBits = 14;
  static constexpr std::uint64_t kRegisters = std::uint64_t{1} << kRegisterBits;
  // Below estimate() * (1 - kLowerBoundShare), the true count lies with a chance of about one
  // in a billion: six standard errors.
  static constexpr double kLowerBoundShare = 6 * 1.04 / 128;

  void add(std::uint64_t key) noexcept {
    const std::uint64_t hash = mixed(key);
    const std::uint64_t rest = (hash << kRegisterBits) | (std::uint64_t{1} << (kRegisterBits - 1));
    std::uint8_t& kept = registers_[hash >> (64 - kRegisterBits)];
    kept = std::max(kept, static_cast<std::uint8_t>(std::countl_zero(rest) + 1));
  }

  void merge(const DistinctSketch& other) noexcept {
    for (std::uint64_t r = 0; r < kRegisters; ++r) registers_[r] = std::max(registers_[r], other.registers_[r]);
  }

  double estimate() const noexcept {
    double sum = 0;
    std::uint64_t empty = 0;
    for (const std::uint8_t kept : registers_) {
      sum += std::ldexp(1.0, -kept);
      empty += kept == 0;
    }
    const double m = static_cast<double>(kRegisters);
    const double raw = 0.7213 / (1 + 1.079 / m) * m * m / sum;
    // Few keys: counting the empty registers is the better estimate.
    if (raw <= 2.5 * m && empty > 0) return m * std::log(m / static_cast<double>(empty));
    return raw;
  }

  // A count the true one is almost surely not below.
  std::uint64_t lower_bound() const noexcept {
    return static_cast<std::uint64_t>(std::max(0.0, estimate() * (1 - kLowerBoundShare)));
  }

 private:
  static std::uint64_t mixed(std::uint64_t key) noexcept {  // splitmix64's finaliser
    key = (key ^ (key >> 30)) * 0xBF58476D1CE4E5B9ULL;
    key = (key ^ (key >> 27)) * 0x94D049BB133111EBULL;
    return key ^ (key >> 31);
  }

  std::array<std::uint8_t, kRegisters> registers_{};
};

}  // namespace tolva
