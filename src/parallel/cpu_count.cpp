#include "parallel/cpu_count.hpp"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iterator>
#include <sstream>
#include <vector>

#include "base/decimal.hpp"

namespace tolva::parallel {
namespace {

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> pieces;
  std::size_t start = 0;
  for (;;) {
    const auto end = text.find(separator, start);
    pieces.push_back(text.substr(start, end - start));
    if (end == std::string_view::npos) return pieces;
    start = end + 1;
  }
}

std::vector<std::string_view> lines_of(std::string_view text) {
  std::vector<std::string_view> lines = split(text, '\n');
  if (!lines.empty() && lines.back().empty()) lines.pop_back();
  return lines;
}

bool list_contains(std::string_view comma_list, std::string_view item) {
  for (const auto piece : split(comma_list, ',')) {
    if (piece == item) return true;
  }
  return false;
}

std::string_view trim(std::string_view text) {
  const auto* blanks = " \t\n\r\f\v";
  const auto start = text.find_first_not_of(blanks);
  if (start == std::string_view::npos) return {};
  return text.substr(start, text.find_last_not_of(blanks) - start + 1);
}

enum class CgroupVersion { V1, V2 };

struct CgroupMembership {
  CgroupVersion version;
  std::string_view path;
};

std::optional<CgroupMembership> find_membership(std::string_view proc_self_cgroup) {
  std::optional<CgroupMembership> v1;
  std::optional<CgroupMembership> v2;
  for (const auto line : lines_of(proc_self_cgroup)) {
    const auto first = line.find(':');
    if (first == std::string_view::npos) continue;
    const auto second = line.find(':', first + 1);
    if (second == std::string_view::npos) continue;
    const auto controllers = line.substr(first + 1, second - first - 1);
    const auto path = line.substr(second + 1);
    if (list_contains(controllers, "cpu")) {
      v1 = CgroupMembership{CgroupVersion::V1, path};  // the last such line wins
    } else if (controllers.empty() && !v2) {
      v2 = CgroupMembership{CgroupVersion::V2, path};
    }
  }
  return v1 ? v1 : v2;
}

struct Mount {
  std::string_view root;
  std::string_view mount_point;
};

std::optional<Mount> find_mount(std::string_view mountinfo, CgroupVersion version) {
  for (const auto line : lines_of(mountinfo)) {
    const auto fields = split(line, ' ');
    const auto separator = std::find(fields.begin(), fields.end(), std::string_view("-"));
    if (separator == fields.end() || fields.size() < 5) continue;
    const auto after = static_cast<std::size_t>(separator - fields.begin()) + 1;
    if (after >= fields.size()) continue;
    const auto filesystem = fields[after];
    const bool matches =
        version == CgroupVersion::V2
            ? filesystem == "cgroup2"
            : filesystem == "cgroup" && after + 2 < fields.size() && list_contains(fields[after + 2], "cpu");
    if (matches) return Mount{fields[3], fields[4]};
  }
  return std::nullopt;
}

std::vector<std::string_view> path_components(std::string_view path) {
  std::vector<std::string_view> components;
  for (const auto piece : split(path, '/')) {
    if (!piece.empty() && piece != ".") components.push_back(piece);
  }
  return components;
}

// mount_point joined with cgroup_path made relative to root (component-wise).
std::optional<std::string> controller_directory(const Mount& mount, std::string_view cgroup_path) {
  const auto root = path_components(mount.root);
  const auto path = path_components(cgroup_path);
  if (path.size() < root.size() || !std::equal(root.begin(), root.end(), path.begin())) {
    return std::nullopt;
  }
  std::string directory(mount.mount_point);
  for (auto it = path.begin() + static_cast<std::ptrdiff_t>(root.size()); it != path.end(); ++it) {
    if (directory.empty() || directory.back() != '/') directory += '/';
    directory += *it;
  }
  return directory;
}

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

std::optional<std::string> read_whole_file(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return std::nullopt;
  std::ostringstream contents;
  contents << file.rdbuf();
  if (file.bad()) return std::nullopt;
  return contents.str();
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
  const auto membership = find_membership(proc_self_cgroup);
  if (!membership) return std::nullopt;
  const auto mount = find_mount(mountinfo, membership->version);
  if (!mount) return std::nullopt;
  const auto directory = controller_directory(*mount, membership->path);
  if (!directory) return std::nullopt;
  const auto quota = read_quota(*directory, membership->version, read_file);
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
