// The process's control group, found through the contents of /proc/self/cgroup and
// /proc/self/mountinfo, so that the CPU quota and the memory limit are read from the same
// group and both readers can be tested on file contents.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tolva {

// Reads a whole file, or nothing when it cannot be read.
using FileReader = std::function<std::optional<std::string>(const std::string& path)>;
std::optional<std::string> read_whole_file(const std::string& path);

enum class CgroupVersion { V1, V2 };

struct CgroupDirectory {
  CgroupVersion version;
  std::string path;         // the group's directory
  std::string mount_point;  // where its hierarchy is mounted: path lies at or below it
};

// The directory of the process's group for `controller` ("cpu", "memory"): the last line of
// /proc/self/cgroup whose controller list holds it (version 1), else the first line with an
// empty list (version 2); then the first mount of that version (for version 1 with the
// controller among its options). Nothing when the group or its mount cannot be found, or
// when the group's path does not lie under the mount's root.
std::optional<CgroupDirectory> find_cgroup_directory(std::string_view proc_self_cgroup, std::string_view mountinfo,
                                                     std::string_view controller);

// Pieces of text at every `separator`, empty pieces kept.
std::vector<std::string_view> split(std::string_view text, char separator);
// Without leading and trailing white space.
std::string_view trim(std::string_view text);

}  // namespace tolva
