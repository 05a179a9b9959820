// Simplex positions: the numbers of the q-near graph's vertices. They are held in 32 bits,
// and a pair of them is packed into one 64-bit key, source in the high half.
#pragma once

#include <cstdint>
#include <limits>

namespace tolva {

using Position = std::uint32_t;

// The limit of positions: a complex holds at most kMaxPosition simplices (so every position
// is below it, and "place + 1" of a hash slot, 0 meaning empty, still fits 32 bits), and a
// pair is packed only from positions up to it (so "key + 1" of a table slot never wraps).
inline constexpr std::uint64_t kMaxPosition = std::uint64_t{std::numeric_limits<Position>::max()} - 1;

using PackedPair = std::uint64_t;
inline constexpr unsigned kPositionBits = 32;

static_assert(sizeof(Position) * 8 == kPositionBits);
static_assert(sizeof(PackedPair) == 2 * sizeof(Position), "a packed pair holds exactly two positions");
static_assert(kMaxPosition < (std::uint64_t{1} << kPositionBits) - 1, "a position + 1 must still fit");
static_assert(((kMaxPosition << kPositionBits) | kMaxPosition) + 1 != 0, "key + 1 of the largest pair must not wrap");

constexpr PackedPair pack_pair(std::uint64_t source, std::uint64_t target) noexcept {
  return (source << kPositionBits) | target;
}
constexpr std::uint64_t packed_source(PackedPair packed) noexcept { return packed >> kPositionBits; }
constexpr std::uint64_t packed_target(PackedPair packed) noexcept {
  return packed & ((std::uint64_t{1} << kPositionBits) - 1);
}

}  // namespace tolva
