#include "parallel/cpu_count.hpp"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>

#include "base/cgroup.hpp"
#include "base/decimal.hpp"

namespace tolva::parallel {
namespace {

struct QuotaAndPeriod {
  std::uint64_t quota;
  std::uint64_t period;
};

std::optional<QuotaAndPeriod> read_quota(const std::string& directory, CgroupVersion version,
                                         const FileReader& read_file) {
  if (version == CgroupVersion::V1) {
    const auto quota_text = read_file(directory + "/cpu.cfs_quota_us");
    const auto period_text = read_file(directory + "/cpu.cfs_period_us");
    if (!quota_text || !period_text) return std::nullopt;
    const auto quota = parse_count(trim(*quota_text));
    const auto period = parse_count(trim(*period_text));
    if (!quota || !period) return std::nullopt;
    return QuotaAndPeriod{*quota, *period};
  }
  const auto max_text = read_file(directory + "/cpu.max");
  if (!max_text) return std::nullopt;
  const auto first_line = split(*max_text, '\n').front();
  const auto fields = split(first_line, ' ');
  if (fields.size() < 2) return std::nullopt;
  const auto quota = parse_count(fields[0]);
  const auto period = parse_count(fields[1]);
  if (!quota || !period) return std::nullopt;
  return QuotaAndPeriod{*quota, *period};
}

std::uint64_t logical_cpu_count() {
  cpu_set_t mask;
  CPU_ZERO(&mask);
  if (sched_getaffinity(0, sizeof mask, &mask) == 0) {
    const int count = CPU_COUNT(&mask);
    if (count > 0) return static_cast<std::uint64_t>(count);
  }
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online < 1 ? 1 : static_cast<std::uint64_t>(online);
}

std::optional<std::uint64_t> count_from_variable(const char* value) {
  if (value == nullptr) return std::nullopt;
  return parse_count(value);
}

}  // namespace

std::optional<std::uint64_t> parse_count(std::string_view text) {
  const ParsedUnsigned parsed = parse_unsigned_decimal(text);
  if (parsed.error) return std::nullopt;
  return parsed.value;
}

std::uint64_t worker_count_from(const char* num_threads, const char* rs_num_cpus,
                                const std::function<std::uint64_t()>& cpu_count_of_machine) {
  std::optional<std::uint64_t> chosen = count_from_variable(num_threads);
  if (!chosen) chosen = count_from_variable(rs_num_cpus);
  const std::uint64_t count = chosen && *chosen > 0 ? *chosen : cpu_count_of_machine();
  return std::min(count, kMaxWorkers);
}

std::optional<std::uint64_t> cgroup_cpu_quota(std::string_view proc_self_cgroup,
                                              std::string_view mountinfo, const FileReader& read_file) {
  const auto group = find_cgroup_directory(proc_self_cgroup, mountinfo, "cpu");
  if (!group) return std::nullopt;
  const auto quota = read_quota(group->path, group->version, read_file);
  if (!quota || quota->period == 0) return std::nullopt;
  const double ratio = std::ceil(static_cast<double>(quota->quota) / static_cast<double>(quota->period));
  return static_cast<std::uint64_t>(ratio);
}

std::uint64_t cpu_count() {
  static const std::uint64_t count = [] {
    const std::uint64_t logical = logical_cpu_count();
    const auto cgroup = read_whole_file("/proc/self/cgroup");
    const auto mountinfo = read_whole_file("/proc/self/mountinfo");
    if (!cgroup || !mountinfo) return logical;
    const auto quota = cgroup_cpu_quota(*cgroup, *mountinfo, read_whole_file);
    return quota && *quota > 0 ? std::min(*quota, logical) : logical;
  }();
  return count;
}

}  // namespace tolva::parallel
