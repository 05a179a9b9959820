// A fake file system for the cgroup readers: path -> contents; any other path cannot be read.
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

}  // namespace check
