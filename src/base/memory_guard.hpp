// The one guard in front of every large allocation. Large allocations succeed lazily on
// Linux and would otherwise be paid for later, when the pages are touched, by the
// out-of-memory killer ending the whole interpreter; checking first turns that into
// std::bad_alloc (MemoryError in Python) while everything can still be released.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "base/cgroup.hpp"

namespace tolva {

// Requests below this are not checked: reading the limits costs tens of microseconds, a
// fraction of what touching this much memory costs.
inline constexpr std::size_t kGuardedFrom = std::size_t{16} << 20;

// Throws std::bad_alloc when `bytes` (if at least kGuardedFrom) exceed available_memory().
void ensure_memory_available(std::size_t bytes);

// What the process can still get, in bytes, read now: the smaller of the machine's
// MemAvailable + SwapFree and the room left under the process's control-group memory limit.
// SIZE_MAX when neither is known.
std::size_t available_memory();

// MemAvailable + SwapFree of /proc/meminfo contents, in bytes; nothing when neither is listed.
std::optional<std::uint64_t> meminfo_available(std::string_view meminfo);

// Room left under the memory limit of the process's control group and of every group above
// it on the same mount (version 2: memory.max - memory.current; version 1:
// memory.limit_in_bytes - memory.usage_in_bytes), the smallest of them; 0 for a group
// already over its limit; nothing when no group has a limit that can be read.
std::optional<std::uint64_t> cgroup_memory_room(std::string_view proc_self_cgroup, std::string_view mountinfo,
                                                const FileReader& read_file);

}  // namespace tolva
