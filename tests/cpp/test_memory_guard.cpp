#define TEST_SUITE "memory_guard"
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <vector>
#include <new>

#include "base/flat_buffer.hpp"
#include "base/memory_guard.hpp"
#include "base/task.hpp"
#include "check.hpp"
#include "fake_files.hpp"

using tolva::cgroup_memory_room;
using tolva::kGuardedFrom;
using tolva::meminfo_available;

using check::files;
using check::kV2Cgroup;
using check::kV2Mounts;

namespace {

const char* kV1Cgroup =
    "4:cpu,cpuacct:/docker/abc\n"
    "12:memory:/docker/abc\n"
    "0::/\n";
const char* kV1Mounts =
    "41 35 0:36 / /sys/fs/cgroup/cpu,cpuacct rw - cgroup cgroup rw,cpu,cpuacct\n"
    "40 35 0:35 /docker /sys/fs/cgroup/memory rw master:1 - cgroup cgroup rw,memory\n";

constexpr std::uint64_t kKiB = 1024;

}  // namespace

TEST(meminfo_counts_available_memory_and_free_swap) {
  const char* meminfo =
      "MemTotal:       24000000 kB\nMemFree:          100000 kB\nMemAvailable:    2000000 kB\n"
      "SwapTotal:       1000000 kB\nSwapFree:          500000 kB\n";
  CHECK(meminfo_available(meminfo) == 2500000 * kKiB);
  CHECK(meminfo_available("MemAvailable: 7 kB\n") == 7 * kKiB);
  CHECK(!meminfo_available("MemTotal: 7 kB\nMemFree: 5 kB\n"));
  CHECK(!meminfo_available(""));
}

TEST(v2_room_is_the_limit_minus_the_usage) {
  const std::string group = "/sys/fs/cgroup/user.slice/job";
  CHECK(cgroup_memory_room(kV2Cgroup, kV2Mounts,
                           files({{group + "/memory.max", "1000000\n"}, {group + "/memory.current", "400000\n"}})) ==
        600000u);
  CHECK(cgroup_memory_room(kV2Cgroup, kV2Mounts,
                           files({{group + "/memory.max", "1000\n"}, {group + "/memory.current", "4000\n"}})) == 0u);
}

TEST(v2_without_a_limit_has_no_room_figure) {
  const std::string group = "/sys/fs/cgroup/user.slice/job";
  CHECK(!cgroup_memory_room(kV2Cgroup, kV2Mounts,
                            files({{group + "/memory.max", "max\n"}, {group + "/memory.current", "400000\n"}})));
  CHECK(!cgroup_memory_room(kV2Cgroup, kV2Mounts, files({})));
}

TEST(an_enclosing_group_with_less_room_decides) {
  const auto reader = files({{"/sys/fs/cgroup/user.slice/job/memory.max", "max\n"},
                             {"/sys/fs/cgroup/user.slice/job/memory.current", "300\n"},
                             {"/sys/fs/cgroup/user.slice/memory.max", "1000\n"},
                             {"/sys/fs/cgroup/user.slice/memory.current", "900\n"},
                             {"/sys/fs/cgroup/memory.max", "5000\n"},  // the mount's own group counts
                             {"/sys/fs/cgroup/memory.current", "4800\n"},
                             {"/sys/fs/memory.max", "10\n"},  // above the mount: never read
                             {"/sys/fs/memory.current", "0\n"}});
  CHECK(cgroup_memory_room(kV2Cgroup, kV2Mounts, reader) == 100u);
  const auto in_container = files({{"/sys/fs/cgroup/memory.max", "5000\n"}, {"/sys/fs/cgroup/memory.current", "4800\n"}});
  CHECK(cgroup_memory_room("0::/\n", kV2Mounts, in_container) == 200u);
}

TEST(v1_room_is_read_in_the_memory_hierarchy_relative_to_its_root) {
  const std::string group = "/sys/fs/cgroup/memory/abc";
  CHECK(cgroup_memory_room(kV1Cgroup, kV1Mounts,
                           files({{group + "/memory.limit_in_bytes", "536870912\n"},
                                  {group + "/memory.usage_in_bytes", "36870912\n"},
                                  {"/sys/fs/cgroup/cpu,cpuacct/abc/memory.limit_in_bytes", "1\n"},
                                  {"/sys/fs/cgroup/cpu,cpuacct/abc/memory.usage_in_bytes", "0\n"}})) == 500000000u);
}

TEST(v1_unlimited_group_leaves_the_machine_to_decide) {
  const std::string group = "/sys/fs/cgroup/memory/abc";
  const auto room = cgroup_memory_room(kV1Cgroup, kV1Mounts,
                                       files({{group + "/memory.limit_in_bytes", "9223372036854771712\n"},
                                              {group + "/memory.usage_in_bytes", "4435968\n"}}));
  CHECK(room == 9223372036854771712u - 4435968u);
}

TEST(no_memory_group_or_mount_means_no_room_figure) {
  const auto reader = files({{"/sys/fs/cgroup/memory/abc/memory.limit_in_bytes", "100\n"},
                             {"/sys/fs/cgroup/memory/abc/memory.usage_in_bytes", "0\n"}});
  CHECK(!cgroup_memory_room("4:cpu:/docker/abc\n", kV1Mounts, reader));   // no memory line, no v2 line
  CHECK(!cgroup_memory_room(kV1Cgroup, kV2Mounts, reader));               // no v1 memory mount
  CHECK(!cgroup_memory_room("12:memory:/elsewhere\n", kV1Mounts, reader));  // outside the mount root
}

constexpr std::size_t kMiB = std::size_t{1} << 20;
constexpr std::size_t kGiB = std::size_t{1} << 30;

TEST(the_headroom_is_the_larger_of_5_percent_and_256_mib) {
  CHECK_EQ(tolva::usable_memory(kGiB), 768 * kMiB);
  CHECK_EQ(tolva::usable_memory(256 * kMiB), 0u);
  CHECK_EQ(tolva::usable_memory(100 * kMiB), 0u);
  CHECK_EQ(tolva::usable_memory(5120 * kMiB), 4864 * kMiB);  // both rules meet here
  CHECK_EQ(tolva::usable_memory(20 * kGiB), 19 * kGiB);
  CHECK_EQ(tolva::usable_memory(SIZE_MAX), SIZE_MAX - SIZE_MAX / 20);
}

TEST(requests_beyond_the_usable_memory_are_refused_and_take_nothing) {
  const tolva::AvailableMemoryOverride available(kGiB);
  const std::size_t before = tolva::memory_taken();
  tolva::ensure_memory_available(768 * kMiB);
  CHECK_THROWS_AS(tolva::ensure_memory_available(768 * kMiB + 1), std::bad_alloc);
  CHECK_THROWS_AS(tolva::FlatBuffer<std::uint64_t>::zeros(96 * kMiB + 1), std::bad_alloc);
  tolva::FlatBuffer<char> buffer;
  CHECK_THROWS_AS(buffer.reserve(769 * kMiB), std::bad_alloc);
  CHECK_THROWS_AS(buffer.reserve(std::size_t{1} << 62), std::bad_alloc);
  CHECK(buffer.capacity() == 0);
  CHECK_EQ(tolva::memory_taken(), before);
}

TEST(pairs_that_cannot_fit_are_refused_with_what_was_needed_and_available) {
  const tolva::AvailableMemoryOverride available(kGiB);
  const std::uint64_t fitting = 768 * kMiB / 16;
  tolva::ensure_pairs_fit(fitting, 16);
  std::string message;
  try {
    tolva::ensure_pairs_fit(fitting + 1, 16);
  } catch (const tolva::OutOfMemory& refused) {
    message = refused.what();
  }
  CHECK_EQ(message, "q-near graph needs about 805306384 bytes for 50331649 attempted pairs; "
                    "805306368 bytes available");
  CHECK_THROWS_AS(tolva::ensure_pairs_fit(UINT64_MAX / 2, 16), std::bad_alloc);  // the product saturates
  const tolva::AvailableMemoryOverride nothing(0);
  tolva::ensure_pairs_fit(kGuardedFrom / 16 - 1, 16);  // small requests are left to the batches
}

TEST(a_kept_reading_counts_what_the_process_took_or_gave_back_since) {
  CHECK_EQ(tolva::reading_now(8 * kGiB, kGiB, 3 * kGiB), 6 * kGiB);
  CHECK_EQ(tolva::reading_now(8 * kGiB, 3 * kGiB, kGiB), 10 * kGiB);
  CHECK_EQ(tolva::reading_now(kGiB, 0, 3 * kGiB), 0u);                 // never below nothing
  CHECK_EQ(tolva::reading_now(SIZE_MAX - 1, 5, 0), SIZE_MAX);           // nor beyond the largest
  CHECK_EQ(tolva::reading_now(4 * kGiB, 2 * kGiB, 2 * kGiB), 4 * kGiB);
}

TEST(buffers_give_back_what_they_took_and_released_blocks_leave_the_count) {
  const std::size_t before = tolva::memory_taken();
  {
    auto zeros = tolva::FlatBuffer<std::uint32_t>::zeros(1000);
    tolva::FlatBuffer<std::uint32_t> grown;
    for (std::uint32_t k = 0; k < 5000; ++k) grown.push_back(k);
    CHECK_EQ(tolva::memory_taken(), before + 4000 + 4 * grown.capacity());
    grown.truncate(10);
    CHECK_EQ(tolva::memory_taken(), before + 4000 + 40);
    zeros = std::move(grown);
    CHECK_EQ(tolva::memory_taken(), before + 40);
    std::uint32_t* block = zeros.release();
    CHECK_EQ(tolva::memory_taken(), before);
    CHECK(zeros.empty() && zeros.data() == nullptr);
    CHECK_EQ(block[9], 9u);
    std::free(block);
  }
  CHECK_EQ(tolva::memory_taken(), before);
}

TEST(within_a_call_all_buffers_share_one_budget) {
  const tolva::AvailableMemoryOverride available(kGiB);  // 768 MiB usable
  const auto large = [] { return tolva::FlatBuffer<char>::zeros(500 * kMiB, tolva::PageSize::Small); };
  {
    const auto first = large(), second = large();  // outside a call each is checked alone
  }
  const tolva::MemoryBudgetScope call;
  auto first = large();
  CHECK_THROWS_AS(large(), std::bad_alloc);
  first = tolva::FlatBuffer<char>();
  const auto second = large();  // what the first gave back is there again
}

TEST(calls_with_tasks_keep_their_own_budgets_whatever_order_they_end_in) {
  const tolva::AvailableMemoryOverride available(kGiB);  // 768 MiB usable
  const auto large = [] { return tolva::FlatBuffer<char>::zeros(500 * kMiB, tolva::PageSize::Small); };
  tolva::TaskContext first_task, second_task;
  std::optional<tolva::MemoryBudgetScope> first_call;
  {
    const tolva::TaskScope in_first(&first_task);
    first_call.emplace();
  }
  const tolva::TaskScope in_second(&second_task);
  const tolva::MemoryBudgetScope second_call;
  auto held = large();
  first_call.reset();  // the first call ends while the second runs
  // The second call's buffer, taken but not yet used, still counts against its budget.
  CHECK_THROWS_AS(large(), std::bad_alloc);
  held = tolva::FlatBuffer<char>();
  const auto again = large();
}

TEST(small_buffers_are_checked_in_batches_against_the_same_budget) {
  const tolva::AvailableMemoryOverride available(kGiB);  // 768 MiB usable
  const tolva::MemoryBudgetScope call;
  std::vector<tolva::FlatBuffer<char>> buffers;
  buffers.reserve(1000);
  bool refused = false;
  for (int k = 0; k < 1000 && !refused; ++k) {
    tolva::FlatBuffer<char> buffer;
    try {
      buffer.reserve(kMiB);  // 1 MiB each, never checked alone
    } catch (const std::bad_alloc&) {
      refused = true;
      CHECK(buffer.capacity() == 0);
    }
    if (!refused) buffers.push_back(std::move(buffer));
  }
  CHECK(refused);
  // Refused once what is held and one more batch no longer fit; the budget is measured at the
  // first batch's check, which counts from there on, so up to one batch is not counted.
  const std::size_t batch = kGuardedFrom / kMiB;
  CHECK(buffers.size() >= 768 - 2 * batch && buffers.size() <= 768 + batch);
}
