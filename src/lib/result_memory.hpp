// The Python result is checked against the memory the process can still get before it is
// built. The native part of a call may fit where its result does not (a pair costs 8 bytes
// natively and about ten times that as Python objects); without the check the list grows
// until the out-of-memory killer ends the interpreter.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/flat_buffer.hpp"

namespace tolva::py {

// What the objects of a result cost on this interpreter, in bytes, as allocated: measured
// once with sys.getsizeof and rounded up to the object allocator's size classes.
struct ResultObjectCosts {
  std::size_t per_pair;  // the [s, t] list with its collector header, its item array, its slot in the result
  std::size_t per_int;   // an int object holding a position
};
const ResultObjectCosts& result_object_costs();

// The largest position among packed pairs (0 when there are none).
std::uint64_t largest_position(const FlatBuffer<std::uint64_t>& pairs) noexcept;

// Whether the conversion keeps one int object per position for all the pairs: only when
// positions are dense among them, so that a table of largest + 1 slots stays bounded.
inline bool positions_shared(std::uint64_t pair_count, std::uint64_t largest) noexcept {
  return pair_count > 0 && largest < 2 * pair_count;
}

// Bytes of the result for `pair_count` pairs whose largest position is `largest`. Ints are
// shared between pairs when positions are dense among them (one cached int and a table slot
// per position up to `largest`), as the conversion does, and counted per pair otherwise (at
// most what they take: the conversion still shares the ints of positions that recur nearby).
std::size_t result_bytes(const ResultObjectCosts& costs, std::uint64_t pair_count, std::uint64_t largest);

// What each pair of a result costs at least while it is built: its list objects, and the
// packed pair it is made from. The ints are left out (shared between pairs, they may cost
// little).
std::uint64_t result_bytes_per_pair();

// Throws OutOfMemory ("q-near graph needs about N bytes for M pairs as Python lists; X bytes
// available"), before any object is created, when the result for `pairs` (whose largest
// position is `largest`) would not fit in the memory the process can still get (the one
// guard of base/memory_guard.hpp).
void ensure_result_fits(const FlatBuffer<std::uint64_t>& pairs, std::uint64_t largest);

}  // namespace tolva::py
