#define TEST_SUITE "memory_guard"
#include <map>
#include <new>

#include "base/flat_buffer.hpp"
#include "base/memory_guard.hpp"
#include "check.hpp"
#include "fake_files.hpp"

using tolva::cgroup_memory_room;
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

TEST(large_requests_beyond_the_available_memory_fail) {
  CHECK(tolva::available_memory() > tolva::kGuardedFrom);  // this machine can run the suite
  CHECK_THROWS_AS(tolva::ensure_memory_available(std::size_t{1} << 62), std::bad_alloc);
  CHECK_THROWS_AS(tolva::FlatBuffer<std::uint64_t>::zeros(std::size_t{1} << 59), std::bad_alloc);
  tolva::FlatBuffer<char> buffer;
  CHECK_THROWS_AS(buffer.reserve(std::size_t{1} << 62), std::bad_alloc);
  CHECK(buffer.capacity() == 0);
  tolva::ensure_memory_available(tolva::kGuardedFrom - 1);  // small requests are not checked
}
