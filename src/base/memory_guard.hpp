// The one guard in front of the memory of a call. Large allocations succeed lazily on Linux
// and would otherwise be paid for later, when the pages are touched, by the out-of-memory
// killer ending the whole interpreter; checking first turns that into std::bad_alloc
// (MemoryError in Python) while everything can still be released.
//
// Every flat buffer takes its bytes from the guard and gives them back when freed. A request
// is refused when it does not fit in what the process can still get less a headroom (the
// larger of 5 % and 256 MiB), so that what the guard allows is never the last memory there
// is. Within a call (a MemoryBudgetScope) all buffers also share one budget, measured at the
// call's first check: buffers taken but not yet touched count against it too. Requests
// below kGuardedFrom are counted and checked together each time they add up to that much,
// so that no pattern of small buffers escapes the check.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <new>
#include <optional>
#include <string_view>

#include "base/cgroup.hpp"

namespace tolva {

// Requests below this are checked in batches of this size: reading the limits costs tens of
// microseconds, a fraction of what touching this much memory costs.
inline constexpr std::size_t kGuardedFrom = std::size_t{16} << 20;

// The headroom is the larger of these: what a refused request must leave to everything else.
inline constexpr std::size_t kMinimumHeadroom = std::size_t{256} << 20;
inline constexpr std::size_t kHeadroomShare = 20;  // 5 %

// Out of memory with a message saying what was needed and what was there. Its text lives in
// the object itself, so copying it never allocates.
class OutOfMemory : public std::bad_alloc {
 public:
  explicit OutOfMemory(std::string_view message) noexcept;
  const char* what() const noexcept override { return message_; }

 private:
  char message_[192];
};

// What the guard lets the process use of `available` bytes: all but the headroom.
std::size_t usable_memory(std::size_t available) noexcept;

// Takes `bytes` for a buffer about to be allocated; throws std::bad_alloc, taking nothing,
// when they do not fit.
void take_memory(std::size_t bytes);
// Gives back bytes taken with take_memory: the buffer was freed, shrunk, or never allocated.
void give_back_memory(std::size_t bytes) noexcept;

// Throws std::bad_alloc when `bytes` (if at least kGuardedFrom) more would not fit; takes
// nothing. For memory allocated by others (Python objects) once the check has passed.
void ensure_memory_available(std::size_t bytes);

// Throws OutOfMemory ("q-near graph needs about N bytes for M <what>; X bytes available")
// when `needed` bytes, for `count` of what is named, would not fit.
void ensure_fits(std::uint64_t needed, std::uint64_t count, std::string_view what);
// The same for `pairs` pairs of `bytes_per_pair` bytes each.
void ensure_pairs_fit(std::uint64_t pairs, std::uint64_t bytes_per_pair, std::string_view what = "attempted pairs");
// Whether they would fit, without throwing.
bool pairs_fit(std::uint64_t pairs, std::uint64_t bytes_per_pair);

// What the caller of a q-near computation on this thread will spend on each distinct pair of
// the result once it is handed over (its own objects and the pair kept meanwhile), 0 when
// nothing beyond the pair itself; set for a call by a PairResultCostScope.
std::uint64_t pair_result_cost() noexcept;
class PairResultCostScope {
 public:
  explicit PairResultCostScope(std::uint64_t bytes_per_pair) noexcept;
  PairResultCostScope(const PairResultCostScope&) = delete;
  PairResultCostScope& operator=(const PairResultCostScope&) = delete;
  ~PairResultCostScope();

 private:
  std::uint64_t previous_;
};

// What the process can still get, in bytes, read now: the smaller of the machine's
// MemAvailable + SwapFree and the room left under the process's control-group memory limit.
// SIZE_MAX when neither is known. TOLVA_AVAILABLE_MEMORY_BYTES, read at first use, replaces
// the figure (for tests, and for hosts whose limits cannot be read).
std::size_t available_memory();

// What a reading of the available memory taken while the process's guarded buffers held
// `taken_then` bytes says now that they hold `taken_now`: the guard keeps a reading for a few
// milliseconds instead of reading the system's files for every buffer.
std::size_t reading_now(std::size_t reading, std::size_t taken_then, std::size_t taken_now) noexcept;

// Bytes of live guarded buffers in the process.
std::size_t memory_taken() noexcept;

// What one call may take in all, measured at its first check, and the bytes the process
// held then.
struct MemoryBudget {
  std::mutex mutex;
  bool open = false;
  bool measured = false;  // limit and base are set from the call's first check on
  std::size_t limit = 0;
  std::size_t base = 0;
};

// One call's budget: entered by each entry point, so that all buffers of the call count
// against what was available at its first check. A call with a task (base/task.hpp) keeps
// its budget in the task, which its workers share, so that calls running at once each have
// their own; without one, the process has one. Scopes nest; the inner one decides.
class MemoryBudgetScope {
 public:
  MemoryBudgetScope() noexcept;
  MemoryBudgetScope(const MemoryBudgetScope&) = delete;
  MemoryBudgetScope& operator=(const MemoryBudgetScope&) = delete;
  ~MemoryBudgetScope();

 private:
  MemoryBudget& budget_;
  struct Saved {
    bool open, measured;
    std::size_t limit, base;
  } previous_;
};

// For tests: available_memory() returns `bytes` while the object lives.
class AvailableMemoryOverride {
 public:
  explicit AvailableMemoryOverride(std::size_t bytes) noexcept;
  AvailableMemoryOverride(const AvailableMemoryOverride&) = delete;
  AvailableMemoryOverride& operator=(const AvailableMemoryOverride&) = delete;
  ~AvailableMemoryOverride();

 private:
  std::size_t previous_;
};

// MemAvailable + SwapFree of /proc/meminfo contents, in bytes; nothing when neither is listed.
std::optional<std::uint64_t> meminfo_available(std::string_view meminfo);

// Room left under the memory limit of the process's control group and of every group above
// it on the same mount (version 2: memory.max - memory.current; version 1:
// memory.limit_in_bytes - memory.usage_in_bytes), the smallest of them; 0 for a group
// already over its limit; nothing when no group has a limit that can be read.
std::optional<std::uint64_t> cgroup_memory_room(std::string_view proc_self_cgroup, std::string_view mountinfo,
                                                const FileReader& read_file);

}  // namespace tolva
