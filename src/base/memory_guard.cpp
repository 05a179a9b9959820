#include "base/memory_guard.hpp"

#include <algorithm>
#include <new>

#include "base/decimal.hpp"

namespace tolva {
namespace {

std::optional<std::uint64_t> read_bytes(const FileReader& read_file, const std::string& path) {
  const auto text = read_file(path);
  if (!text) return std::nullopt;
  const ParsedUnsigned parsed = parse_unsigned_decimal(trim(*text));  // "max" reads as no limit
  if (parsed.error) return std::nullopt;
  return parsed.value;
}

// Limit minus usage of one group directory.
std::optional<std::uint64_t> room_of_group(const std::string& directory, CgroupVersion version,
                                           const FileReader& read_file) {
  const bool v2 = version == CgroupVersion::V2;
  const auto limit = read_bytes(read_file, directory + (v2 ? "/memory.max" : "/memory.limit_in_bytes"));
  if (!limit) return std::nullopt;
  const auto usage = read_bytes(read_file, directory + (v2 ? "/memory.current" : "/memory.usage_in_bytes"));
  if (!usage) return std::nullopt;
  return *limit > *usage ? *limit - *usage : 0;
}

std::string parent_of(const std::string& directory) {
  const auto slash = directory.find_last_of('/');
  return slash == std::string::npos || slash == 0 ? std::string("/") : directory.substr(0, slash);
}

std::optional<std::uint64_t> min_known(std::optional<std::uint64_t> a, std::optional<std::uint64_t> b) {
  if (!a) return b;
  if (!b) return a;
  return std::min(*a, *b);
}

}  // namespace

std::optional<std::uint64_t> meminfo_available(std::string_view meminfo) {
  std::optional<std::uint64_t> total_kib;
  for (const auto line : split(meminfo, '\n')) {
    const auto colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    const auto name = line.substr(0, colon);
    if (name != "MemAvailable" && name != "SwapFree") continue;
    auto value = trim(line.substr(colon + 1));
    if (value.size() >= 2 && value.substr(value.size() - 2) == "kB") value = trim(value.substr(0, value.size() - 2));
    const ParsedUnsigned kib = parse_unsigned_decimal(value);
    if (kib.error) continue;
    total_kib = total_kib.value_or(0) + kib.value;
  }
  if (!total_kib) return std::nullopt;
  return *total_kib > UINT64_MAX / 1024 ? UINT64_MAX : *total_kib * 1024;
}

std::optional<std::uint64_t> cgroup_memory_room(std::string_view proc_self_cgroup, std::string_view mountinfo,
                                                const FileReader& read_file) {
  const auto group = find_cgroup_directory(proc_self_cgroup, mountinfo, "memory");
  if (!group) return std::nullopt;
  std::optional<std::uint64_t> room;
  for (std::string directory = group->path;; directory = parent_of(directory)) {
    room = min_known(room, room_of_group(directory, group->version, read_file));
    if (directory.size() <= group->mount_point.size() || directory == "/") return room;
  }
}

std::size_t available_memory() {
  std::optional<std::uint64_t> room;
  if (const auto meminfo = read_whole_file("/proc/meminfo")) room = meminfo_available(*meminfo);
  const auto cgroup = read_whole_file("/proc/self/cgroup");
  const auto mountinfo = read_whole_file("/proc/self/mountinfo");
  if (cgroup && mountinfo) room = min_known(room, cgroup_memory_room(*cgroup, *mountinfo, read_whole_file));
  if (!room) return SIZE_MAX;
  return static_cast<std::size_t>(std::min<std::uint64_t>(*room, SIZE_MAX));
}

void ensure_memory_available(std::size_t bytes) {
  if (bytes >= kGuardedFrom && bytes > available_memory()) throw std::bad_alloc();
}

}  // namespace tolva
