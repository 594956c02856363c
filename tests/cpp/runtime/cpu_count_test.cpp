#include "runtime/cpu_count.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>

namespace vorlinde::runtime {
namespace {

using Count = std::optional<std::size_t>;
constexpr Count none = std::nullopt;

struct ParseCase {
  const char* text;
  Count expected;
};

TEST(CpuCount, ParseThreadCount) {
  const std::string max = std::to_string(std::numeric_limits<std::size_t>::max());
  const ParseCase cases[] = {
      {"0", 0}, {"1", 1}, {"8", 8}, {"+4", 4}, {"007", 7}, {"", none}, {"+", none}, {"-1", none}, {" 4", none},
      {"4 ", none}, {"4\n", none}, {"++4", none}, {"4x", none}, {"0x10", none}, {"1e3", none}, {"four", none},
  };
  for (const auto& c : cases) EXPECT_EQ(parse_thread_count(c.text), c.expected) << '"' << c.text << '"';
  EXPECT_EQ(parse_thread_count(max), std::numeric_limits<std::size_t>::max());
  EXPECT_EQ(parse_thread_count(max + "0"), none);                 // overflows
  EXPECT_EQ(parse_thread_count("18446744073709551616"), none);    // 2^64
}

struct EnvCase {
  const char* num_threads;
  const char* rs_num_cpus;
  Count expected;  // nullopt: one per available processor
};

TEST(CpuCount, EnvironmentPrecedence) {
  const EnvCase cases[] = {
      {nullptr, nullptr, none},
      {"3", nullptr, 3},
      {"3", "5", 3},
      {"0", "5", none},      // 0 decides: one per processor, the second variable is not read
      {"x", "5", 5},         // not a count: fall through
      {"", "5", 5},
      {" 3", "+5", 5},
      {nullptr, "6", 6},
      {nullptr, "0", none},
      {"abc", "def", none},
  };
  for (const auto& c : cases)
    EXPECT_EQ(thread_count_from_env(c.num_threads, c.rs_num_cpus), c.expected)
        << (c.num_threads ? c.num_threads : "(unset)") << " / " << (c.rs_num_cpus ? c.rs_num_cpus : "(unset)");
}

TEST(CpuCount, QuotaRoundsUpToAtLeastOne) {
  EXPECT_EQ(quota_cpus(200000, 100000), 2u);
  EXPECT_EQ(quota_cpus(150000, 100000), 2u);
  EXPECT_EQ(quota_cpus(100001, 100000), 2u);
  EXPECT_EQ(quota_cpus(20000, 100000), 1u);
  EXPECT_EQ(quota_cpus(1, 100000), 1u);
  EXPECT_EQ(quota_cpus(std::numeric_limits<std::uint64_t>::max(), 1), std::numeric_limits<std::size_t>::max());
}

struct V2Case {
  const char* cpu_max;
  Count expected;
};

TEST(CpuCount, CgroupV2CpuMax) {
  const V2Case cases[] = {
      {"max 100000\n", none}, {"400000 100000\n", 4}, {"250000 100000\n", 3}, {"50000 100000\n", 1},
      {"150000 100000", 2},   {"", none},             {"max", none},          {"100000", none},
      {"100000 0\n", none},   {"-1 100000\n", none},  {"1.5 1\n", none},      {"100000 100000 1\n", none},
      {"garbage here\n", none},
  };
  for (const auto& c : cases) EXPECT_EQ(cgroup_v2_cpu_limit(c.cpu_max), c.expected) << '"' << c.cpu_max << '"';
}

struct V1Case {
  const char* quota;
  const char* period;
  Count expected;
};

TEST(CpuCount, CgroupV1CfsQuota) {
  const V1Case cases[] = {
      {"-1\n", "100000\n", none}, {"300000\n", "100000\n", 3}, {"150000\n", "100000\n", 2},
      {"10000\n", "100000\n", 1}, {"50000\n", "0\n", none},    {"", "100000\n", none},
      {"abc\n", "100000\n", none}, {"100000\n", "", none},
  };
  for (const auto& c : cases)
    EXPECT_EQ(cgroup_v1_cpu_limit(c.quota, c.period), c.expected) << '"' << c.quota << "\" / \"" << c.period << '"';
}

// Sample /proc/self/cgroup contents: pure v2, v1 (systemd layout), hybrid.
TEST(CpuCount, ProcSelfCgroup) {
  auto v2 = parse_proc_cgroup("0::/user.slice/user-1000.slice/session-2.scope\n");
  EXPECT_EQ(v2.unified, "/user.slice/user-1000.slice/session-2.scope");
  EXPECT_EQ(v2.v1_cpu, std::nullopt);

  auto v1 = parse_proc_cgroup(
      "12:cpuset:/docker/abc\n"
      "11:cpu,cpuacct:/docker/abc\n"
      "10:cpuacct:/other\n"
      "1:name=systemd:/docker/abc\n");
  EXPECT_EQ(v1.unified, std::nullopt);
  EXPECT_EQ(v1.v1_cpu, "/docker/abc");

  auto hybrid = parse_proc_cgroup("5:cpuacct,cpu:/batch\n0::/init.scope\n");
  EXPECT_EQ(hybrid.unified, "/init.scope");
  EXPECT_EQ(hybrid.v1_cpu, "/batch");

  auto junk = parse_proc_cgroup("nonsense\n3:cpuset\n\n");
  EXPECT_EQ(junk.unified, std::nullopt);
  EXPECT_EQ(junk.v1_cpu, std::nullopt);
}

TEST(CpuCount, MountinfoFindsCgroupMounts) {
  const std::string mountinfo =
      "22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
      "30 22 0:26 / /sys/fs/cgroup ro,nosuid shared:9 - tmpfs tmpfs ro,mode=755\n"
      "35 30 0:30 / /sys/fs/cgroup/cpuset rw,nosuid shared:15 - cgroup cgroup rw,cpuset\n"
      "36 30 0:31 /docker/abc /sys/fs/cgroup/cpu\\040acct rw,nosuid shared:16 - cgroup cgroup rw,cpu,cpuacct\n"
      "37 30 0:32 / /sys/fs/cgroup/unified rw,nosuid shared:10 - cgroup2 cgroup2 rw,nsdelegate\n";
  auto v1 = find_cgroup_mount(mountinfo, false);
  ASSERT_TRUE(v1);
  EXPECT_EQ(v1->mount_point, "/sys/fs/cgroup/cpu acct");
  EXPECT_EQ(v1->root, "/docker/abc");
  auto v2 = find_cgroup_mount(mountinfo, true);
  ASSERT_TRUE(v2);
  EXPECT_EQ(v2->mount_point, "/sys/fs/cgroup/unified");
  EXPECT_EQ(find_cgroup_mount("22 1 8:1 / / rw - ext4 /dev/sda1 rw\n", true), std::nullopt);
  // Optional fields before the separator are skipped, whatever their number.
  auto tagged = find_cgroup_mount("40 30 0:33 / /cg rw shared:1 master:2 - cgroup cgroup rw,cpuacct,cpu\n", false);
  ASSERT_TRUE(tagged);
  EXPECT_EQ(tagged->mount_point, "/cg");
}

TEST(CpuCount, CgroupDirectoryUnderMount) {
  EXPECT_EQ(cgroup_directory({"/sys/fs/cgroup", "/"}, "/a/b"), "/sys/fs/cgroup/a/b");
  EXPECT_EQ(cgroup_directory({"/sys/fs/cgroup", "/"}, "/"), "/sys/fs/cgroup");
  EXPECT_EQ(cgroup_directory({"/sys/fs/cgroup/cpu", "/docker/abc"}, "/docker/abc"), "/sys/fs/cgroup/cpu");
  EXPECT_EQ(cgroup_directory({"/sys/fs/cgroup/cpu", "/docker/abc"}, "/docker/abc/x"), "/sys/fs/cgroup/cpu/x");
  EXPECT_EQ(cgroup_directory({"/sys/fs/cgroup/cpu", "/docker/abc"}, "/docker/abcd"), std::nullopt);
  EXPECT_EQ(cgroup_directory({"/sys/fs/cgroup/cpu", "/docker/abc"}, "/elsewhere"), std::nullopt);
}

}  // namespace
}  // namespace vorlinde::runtime
