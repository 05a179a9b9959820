// How many workers the process-wide pool gets: the environment first, then the CPUs this
// process may use (affinity mask, capped by a control-group CPU quota).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "base/cgroup.hpp"

namespace tolva::parallel {

inline constexpr std::uint64_t kMaxWorkers = 65535;

// An unsigned decimal integer: optional leading '+', digits only, no spaces, fits 64 bits.
std::optional<std::uint64_t> parse_count(std::string_view text);

// RAYON_NUM_THREADS, then RAYON_RS_NUM_CPUS (each null when unset); 0 or anything that
// is not a count defers to cpu_count(). Capped at kMaxWorkers.
std::uint64_t worker_count_from(const char* num_threads, const char* rs_num_cpus,
                                const std::function<std::uint64_t()>& cpu_count);

// Reads a whole file, or nothing when it cannot be read.
using FileReader = tolva::FileReader;

// ceil(quota / period) of the process's control group, found through the contents of
// /proc/self/cgroup and /proc/self/mountinfo; nothing when there is no quota.
std::optional<std::uint64_t> cgroup_cpu_quota(std::string_view proc_self_cgroup,
                                              std::string_view mountinfo, const FileReader& read_file);

// Logical CPUs of the affinity mask (sysconf as fallback), capped by the quota. Computed once.
std::uint64_t cpu_count();

}  // namespace tolva::parallel
