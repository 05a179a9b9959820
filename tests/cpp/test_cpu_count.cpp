#define TEST_SUITE "cpu_count"
#include <map>

#include "check.hpp"
#include "fake_files.hpp"
#include "parallel/cpu_count.hpp"

using tolva::parallel::cgroup_cpu_quota;
using tolva::parallel::parse_count;
using tolva::parallel::worker_count_from;

using check::files;
using check::kV2Cgroup;
using check::kV2Mounts;

namespace {

const char* kV1Cgroup =
    "12:memory:/docker/abc\n"
    "4:cpu,cpuacct:/docker/abc\n"
    "0::/\n";
const char* kV1Mounts =
    "40 35 0:35 / /sys/fs/cgroup/memory rw - cgroup cgroup rw,memory\n"
    "41 35 0:36 /docker /sys/fs/cgroup/cpu,cpuacct rw master:1 - cgroup cgroup rw,cpu,cpuacct\n";

std::uint64_t eight() { return 8; }

}  // namespace

TEST(counts_are_plain_unsigned_decimals) {
  CHECK(parse_count("4") == 4u);
  CHECK(parse_count("+4") == 4u);
  CHECK(parse_count("0") == 0u);
  for (const char* bad : {"", "+", "four", " 4", "4 ", "-1", "4.0", "18446744073709551616"}) CHECK(!parse_count(bad));
}

TEST(environment_decides_before_the_cpu_count) {
  CHECK_EQ(worker_count_from("3", "5", eight), 3u);
  CHECK_EQ(worker_count_from(nullptr, "5", eight), 5u);
  CHECK_EQ(worker_count_from("0", "5", eight), 8u);  // 0 selects the CPU count without looking further
  CHECK_EQ(worker_count_from("four", "2", eight), 2u);
  CHECK_EQ(worker_count_from("four", "0", eight), 8u);
  CHECK_EQ(worker_count_from(nullptr, nullptr, eight), 8u);
  CHECK_EQ(worker_count_from("+2", nullptr, eight), 2u);
  CHECK_EQ(worker_count_from("70000", nullptr, eight), 65535u);
  CHECK_EQ(worker_count_from(nullptr, "99999999999", eight), 65535u);
}

TEST(v2_quota_of_one_and_a_half_periods_rounds_up) {
  const auto quota = cgroup_cpu_quota(kV2Cgroup, kV2Mounts,
                                      files({{"/sys/fs/cgroup/user.slice/job/cpu.max", "150000 100000\n"}}));
  CHECK(quota == 2u);
}

TEST(v2_without_a_limit_has_no_quota) {
  CHECK(!cgroup_cpu_quota(kV2Cgroup, kV2Mounts, files({{"/sys/fs/cgroup/user.slice/job/cpu.max", "max 100000\n"}})));
  CHECK(!cgroup_cpu_quota(kV2Cgroup, kV2Mounts, files({})));
}

TEST(period_of_zero_means_no_quota) {
  CHECK(!cgroup_cpu_quota(kV2Cgroup, kV2Mounts, files({{"/sys/fs/cgroup/user.slice/job/cpu.max", "100 0\n"}})));
}

TEST(v1_quota_is_read_relative_to_the_mount_root) {
  const auto quota = cgroup_cpu_quota(kV1Cgroup, kV1Mounts,
                                      files({{"/sys/fs/cgroup/cpu,cpuacct/abc/cpu.cfs_quota_us", "400000\n"},
                                             {"/sys/fs/cgroup/cpu,cpuacct/abc/cpu.cfs_period_us", " 100000 \n"}}));
  CHECK(quota == 4u);
}

TEST(v1_quota_of_minus_one_means_no_quota) {
  CHECK(!cgroup_cpu_quota(kV1Cgroup, kV1Mounts,
                          files({{"/sys/fs/cgroup/cpu,cpuacct/abc/cpu.cfs_quota_us", "-1\n"},
                                 {"/sys/fs/cgroup/cpu,cpuacct/abc/cpu.cfs_period_us", "100000\n"}})));
}

TEST(path_outside_the_mount_root_means_no_quota) {
  const char* cgroup = "4:cpu:/elsewhere/abc\n";
  CHECK(!cgroup_cpu_quota(cgroup, kV1Mounts,
                          files({{"/sys/fs/cgroup/cpu,cpuacct/abc/cpu.cfs_quota_us", "400000\n"},
                                 {"/sys/fs/cgroup/cpu,cpuacct/abc/cpu.cfs_period_us", "100000\n"}})));
  // component-wise: "/dockerx" does not lie under "/docker"
  CHECK(!cgroup_cpu_quota("4:cpu:/dockerx\n", kV1Mounts,
                          files({{"/sys/fs/cgroup/cpu,cpuacct/x/cpu.cfs_quota_us", "400000\n"},
                                 {"/sys/fs/cgroup/cpu,cpuacct/x/cpu.cfs_period_us", "100000\n"}})));
}

TEST(the_last_v1_cpu_line_wins_over_v2) {
  const char* cgroup = "5:cpu:/first\n0::/unified\n3:cpuacct,cpu:/docker/second\n";
  const auto quota = cgroup_cpu_quota(cgroup, kV1Mounts,
                                      files({{"/sys/fs/cgroup/cpu,cpuacct/second/cpu.cfs_quota_us", "250000"},
                                             {"/sys/fs/cgroup/cpu,cpuacct/second/cpu.cfs_period_us", "100000"}}));
  CHECK(quota == 3u);
}

TEST(no_matching_mount_means_no_quota) {
  CHECK(!cgroup_cpu_quota(kV2Cgroup, kV1Mounts, files({{"/sys/fs/cgroup/user.slice/job/cpu.max", "100 100\n"}})));
  CHECK(!cgroup_cpu_quota("garbage\n", kV2Mounts, files({})));
}
