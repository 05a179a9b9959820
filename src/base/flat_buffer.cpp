#include "base/flat_buffer.hpp"

#include <cstdio>
#include <cstring>

namespace tolva {
namespace {

constexpr std::size_t kCheckedFrom = std::size_t{64} << 20;

// MemAvailable + SwapFree from /proc/meminfo, in bytes; SIZE_MAX when unknown.
std::size_t available_bytes() {
  std::FILE* file = std::fopen("/proc/meminfo", "r");
  if (file == nullptr) return SIZE_MAX;
  char line[256];
  std::size_t total_kib = 0;
  int found = 0;
  while (std::fgets(line, sizeof line, file) != nullptr) {
    unsigned long long kib = 0;
    if (std::sscanf(line, "MemAvailable: %llu kB", &kib) == 1 || std::sscanf(line, "SwapFree: %llu kB", &kib) == 1) {
      total_kib += kib;
      ++found;
    }
  }
  std::fclose(file);
  return found == 0 ? SIZE_MAX : total_kib * 1024;
}

}  // namespace

void ensure_memory_available(std::size_t bytes) {
  if (bytes >= kCheckedFrom && bytes > available_bytes()) throw std::bad_alloc();
}

}  // namespace tolva
