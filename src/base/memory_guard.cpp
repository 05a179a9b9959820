#include "base/memory_guard.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "base/decimal.hpp"
#include "base/task.hpp"

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

namespace {

constexpr std::uint64_t kNotInjected = UINT64_MAX;

// Bytes of live guarded buffers, and of those taken since the small ones were last checked.
std::atomic<std::size_t> taken{0};
std::atomic<std::size_t> unchecked{0};
std::atomic<std::uint64_t> injected{kNotInjected};  // set by AvailableMemoryOverride

// The budget of the innermost open call without a task.
MemoryBudget process_budget;

// The budget the calling thread's requests count against: its task's, else the process's.
MemoryBudget& current_budget() noexcept {
  TaskContext* task = current_task();
  return task != nullptr ? task->memory_budget : process_budget;
}

std::uint64_t injected_from_environment() {
  static const std::uint64_t bytes = [] {
    const char* text = std::getenv("TOLVA_AVAILABLE_MEMORY_BYTES");
    if (text == nullptr) return kNotInjected;
    const ParsedUnsigned parsed = parse_unsigned_decimal(text);
    return parsed.error ? kNotInjected : parsed.value;
  }();
  return bytes;
}

std::size_t saturating_minus(std::size_t a, std::size_t b) noexcept { return a > b ? a - b : 0; }

// What the caller of the q-near computation on this thread spends on each distinct pair of
// its result; initial-exec for the reason given in base/task.cpp.
[[gnu::tls_model("initial-exec")]] thread_local std::uint64_t result_cost_per_pair = 0;

// available_memory(), from a reading kept for a few milliseconds: a reading costs about 0.2 ms
// (nine small files under a control group) and a request checks several buffers within that
// time. What the process took or gave back since the reading is counted against it. An injected
// figure is used at once.
std::size_t recent_available_memory() {
  constexpr auto kReadingLifetime = std::chrono::milliseconds(20);
  if (injected.load(std::memory_order_relaxed) != kNotInjected || injected_from_environment() != kNotInjected) {
    return available_memory();
  }
  static std::mutex mutex;
  static std::optional<std::chrono::steady_clock::time_point> read_at;
  static std::size_t reading = 0, taken_then = 0;
  // Another thread reading, or (in a child forked while one was) a lock nobody will release:
  // read afresh.
  const std::unique_lock lock(mutex, std::try_to_lock);
  if (!lock.owns_lock()) return available_memory();
  const auto now = std::chrono::steady_clock::now();
  const std::size_t in_use = taken.load(std::memory_order_relaxed);
  if (!read_at || now - *read_at > kReadingLifetime) {
    reading = available_memory();
    read_at = now;
    taken_then = in_use;
    return reading;
  }
  return reading_now(reading, taken_then, in_use);
}

// What the calling request may still take: what the process can get now, less the headroom,
// and within a call what is left of its budget.
std::size_t room() {
  const std::size_t now = usable_memory(recent_available_memory());
  MemoryBudget& budget = current_budget();
  const std::lock_guard lock(budget.mutex);
  if (!budget.open) return now;
  const std::size_t in_use = taken.load(std::memory_order_relaxed);
  if (!budget.measured) {
    budget.measured = true;
    budget.limit = now;
    budget.base = in_use;
    return now;
  }
  return std::min(now, saturating_minus(budget.limit, saturating_minus(in_use, budget.base)));
}

// Throws OutOfMemory with the message `format` makes of the bytes needed, what they are for
// (a count and a name, when the format has them) and the bytes available.
template <class... What>
[[noreturn]] void refuse(const char* format, std::uint64_t needed, What... what_and_available) {
  char message[192];
  std::snprintf(message, sizeof message, format, static_cast<unsigned long long>(needed), what_and_available...);
  throw OutOfMemory(message);
}

void ensure_room_for(std::size_t bytes) {
  const std::size_t available = room();
  if (bytes > available) {
    refuse("out of memory: %llu more bytes needed; %llu bytes available", bytes,
           static_cast<unsigned long long>(available));
  }
}

// pairs * bytes_per_pair, or the largest number when the product does not fit.
std::uint64_t bytes_for(std::uint64_t pairs, std::uint64_t bytes_per_pair) {
  std::uint64_t needed;
  return __builtin_mul_overflow(pairs, bytes_per_pair, &needed) ? UINT64_MAX : needed;
}

// Counts a small request; every kGuardedFrom of them, checks that as much again would fit.
void take_small(std::size_t bytes) {
  taken.fetch_add(bytes, std::memory_order_relaxed);
  if (unchecked.fetch_add(bytes, std::memory_order_relaxed) + bytes < kGuardedFrom) return;
  if (unchecked.exchange(0, std::memory_order_relaxed) == 0) return;  // another thread checks
  try {
    ensure_room_for(kGuardedFrom);
  } catch (...) {
    taken.fetch_sub(bytes, std::memory_order_relaxed);
    throw;
  }
}

}  // namespace

OutOfMemory::OutOfMemory(std::string_view message) noexcept {
  const std::size_t length = std::min(message.size(), sizeof message_ - 1);
  std::memcpy(message_, message.data(), length);
  message_[length] = '\0';
}

std::size_t usable_memory(std::size_t available) noexcept {
  const std::size_t headroom = std::max(available / kHeadroomShare, kMinimumHeadroom);
  return saturating_minus(available, headroom);
}

std::size_t reading_now(std::size_t reading, std::size_t taken_then, std::size_t taken_now) noexcept {
  if (taken_now >= taken_then) return saturating_minus(reading, taken_now - taken_then);
  return reading + std::min(taken_then - taken_now, SIZE_MAX - reading);
}

std::size_t available_memory() {
  const std::uint64_t fixed = injected.load(std::memory_order_relaxed);
  const std::uint64_t figure = fixed != kNotInjected ? fixed : injected_from_environment();
  if (figure != kNotInjected) return static_cast<std::size_t>(std::min<std::uint64_t>(figure, SIZE_MAX));
  std::optional<std::uint64_t> room;
  if (const auto meminfo = read_whole_file("/proc/meminfo")) room = meminfo_available(*meminfo);
  const auto cgroup = read_whole_file("/proc/self/cgroup");
  const auto mountinfo = read_whole_file("/proc/self/mountinfo");
  if (cgroup && mountinfo) room = min_known(room, cgroup_memory_room(*cgroup, *mountinfo, read_whole_file));
  if (!room) return SIZE_MAX;
  return static_cast<std::size_t>(std::min<std::uint64_t>(*room, SIZE_MAX));
}

void take_memory(std::size_t bytes) {
  if (bytes < kGuardedFrom) return take_small(bytes);
  ensure_room_for(bytes);
  taken.fetch_add(bytes, std::memory_order_relaxed);
}

void give_back_memory(std::size_t bytes) noexcept { taken.fetch_sub(bytes, std::memory_order_relaxed); }

std::size_t memory_taken() noexcept { return taken.load(std::memory_order_relaxed); }

void ensure_memory_available(std::size_t bytes) {
  if (bytes >= kGuardedFrom) ensure_room_for(bytes);
}

void ensure_fits(std::uint64_t needed, std::uint64_t count, std::string_view what) {
  if (needed < kGuardedFrom) return;
  const std::size_t available = room();
  if (needed <= available) return;
  refuse("q-near graph needs about %llu bytes for %llu %.*s; %llu bytes available", needed,
         static_cast<unsigned long long>(count), static_cast<int>(std::min<std::size_t>(what.size(), 64)),
         what.data(), static_cast<unsigned long long>(available));
}

void ensure_pairs_fit(std::uint64_t pairs, std::uint64_t bytes_per_pair, std::string_view what) {
  ensure_fits(bytes_for(pairs, bytes_per_pair), pairs, what);
}

bool pairs_fit(std::uint64_t pairs, std::uint64_t bytes_per_pair) {
  const std::uint64_t needed = bytes_for(pairs, bytes_per_pair);
  return needed < kGuardedFrom || needed <= room();
}

std::uint64_t pair_result_cost() noexcept { return result_cost_per_pair; }

PairResultCostScope::PairResultCostScope(std::uint64_t bytes_per_pair) noexcept : previous_(result_cost_per_pair) {
  result_cost_per_pair = bytes_per_pair;
}

PairResultCostScope::~PairResultCostScope() { result_cost_per_pair = previous_; }

MemoryBudgetScope::MemoryBudgetScope() noexcept : budget_(current_budget()) {
  const std::lock_guard lock(budget_.mutex);
  previous_ = Saved{budget_.open, budget_.measured, budget_.limit, budget_.base};
  budget_.open = true;
  budget_.measured = false;
}

MemoryBudgetScope::~MemoryBudgetScope() {
  const std::lock_guard lock(budget_.mutex);
  budget_.open = previous_.open;
  budget_.measured = previous_.measured;
  budget_.limit = previous_.limit;
  budget_.base = previous_.base;
}

AvailableMemoryOverride::AvailableMemoryOverride(std::size_t bytes) noexcept
    : previous_(injected.exchange(bytes, std::memory_order_relaxed)) {}

AvailableMemoryOverride::~AvailableMemoryOverride() { injected.store(previous_, std::memory_order_relaxed); }

}  // namespace tolva
