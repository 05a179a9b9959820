// A fake file system for the cgroup readers (path -> contents; any other path cannot be
// read) and the cgroup v2 files both readers are tested on.
#pragma once

#include <map>
#include <optional>
#include <string>

#include "base/cgroup.hpp"

namespace check {

inline tolva::FileReader files(std::map<std::string, std::string> contents) {
  return [contents](const std::string& path) -> std::optional<std::string> {
    const auto found = contents.find(path);
    if (found == contents.end()) return std::nullopt;
    return found->second;
  };
}

// A process in a cgroup v2 hierarchy mounted at /sys/fs/cgroup, as /proc/self/cgroup and
// /proc/self/mountinfo show it.
inline constexpr const char* kV2Cgroup = "0::/user.slice/job\n";
inline constexpr const char* kV2Mounts =
    "24 30 0:22 / /sys/kernel/security rw,nosuid - securityfs securityfs rw\n"
    "35 30 0:30 / /sys/fs/cgroup rw,nosuid shared:9 - cgroup2 cgroup2 rw,nsdelegate\n";

}  // namespace check
