#include "base/cgroup.hpp"

#include <algorithm>
#include <fstream>
#include <sstream>

namespace tolva {
namespace {

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

struct CgroupMembership {
  CgroupVersion version;
  std::string_view path;
};

std::optional<CgroupMembership> find_membership(std::string_view proc_self_cgroup, std::string_view controller) {
  std::optional<CgroupMembership> v1;
  std::optional<CgroupMembership> v2;
  for (const auto line : lines_of(proc_self_cgroup)) {
    const auto first = line.find(':');
    if (first == std::string_view::npos) continue;
    const auto second = line.find(':', first + 1);
    if (second == std::string_view::npos) continue;
    const auto controllers = line.substr(first + 1, second - first - 1);
    const auto path = line.substr(second + 1);
    if (list_contains(controllers, controller)) {
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

std::optional<Mount> find_mount(std::string_view mountinfo, CgroupVersion version, std::string_view controller) {
  for (const auto line : lines_of(mountinfo)) {
    const auto fields = split(line, ' ');
    const auto separator = std::find(fields.begin(), fields.end(), std::string_view("-"));
    if (separator == fields.end() || fields.size() < 5) continue;
    const auto after = static_cast<std::size_t>(separator - fields.begin()) + 1;
    if (after >= fields.size()) continue;
    const auto filesystem = fields[after];
    const bool matches = version == CgroupVersion::V2
                             ? filesystem == "cgroup2"
                             : filesystem == "cgroup" && after + 2 < fields.size() &&
                                   list_contains(fields[after + 2], controller);
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

}  // namespace

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

std::string_view trim(std::string_view text) {
  const auto* blanks = " \t\n\r\f\v";
  const auto start = text.find_first_not_of(blanks);
  if (start == std::string_view::npos) return {};
  return text.substr(start, text.find_last_not_of(blanks) - start + 1);
}

std::optional<std::string> read_whole_file(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return std::nullopt;
  std::ostringstream contents;
  contents << file.rdbuf();
  if (file.bad()) return std::nullopt;
  return contents.str();
}

std::optional<CgroupDirectory> find_cgroup_directory(std::string_view proc_self_cgroup, std::string_view mountinfo,
                                                     std::string_view controller) {
  const auto membership = find_membership(proc_self_cgroup, controller);
  if (!membership) return std::nullopt;
  const auto mount = find_mount(mountinfo, membership->version, controller);
  if (!mount) return std::nullopt;
  auto directory = controller_directory(*mount, membership->path);
  if (!directory) return std::nullopt;
  return CgroupDirectory{membership->version, std::move(*directory), std::string(mount->mount_point)};
}

}  // namespace tolva
