#pragma once
// How many worker threads the pool gets. The reading of the environment and of
// the cgroup files is split from the arithmetic: everything that takes a
// string_view is pure and is tested on sample file contents.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vorlinde::runtime {

// A decimal count: ASCII digits with an optional leading '+', nothing else (no
// spaces, no sign '-'), and fitting in size_t. Anything else gives nullopt.
std::optional<std::size_t> parse_thread_count(std::string_view text);

// The pool size that the two environment variables ask for (nullptr = unset):
// RAYON_NUM_THREADS if it is a count, else RAYON_RS_NUM_CPUS if it is a count.
// nullopt means one thread per available processor, which is also what a
// count of 0 in the variable that decides means.
std::optional<std::size_t> thread_count_from_env(const char* rayon_num_threads, const char* rayon_rs_num_cpus);

// ceil(quota / period), at least 1: a quota of 1.5 periods allows 2 threads,
// one of 0.2 periods still allows 1. period must be non-zero.
std::size_t quota_cpus(std::uint64_t quota, std::uint64_t period);

// cgroup v2 cpu.max, "<quota> <period>" or "max <period>". nullopt: no cap
// ("max") or contents not understood.
std::optional<std::size_t> cgroup_v2_cpu_limit(std::string_view cpu_max);

// cgroup v1 cpu.cfs_quota_us and cpu.cfs_period_us. nullopt: no cap (quota -1)
// or contents not understood.
std::optional<std::size_t> cgroup_v1_cpu_limit(std::string_view cfs_quota_us, std::string_view cfs_period_us);

// From /proc/self/cgroup: the unified (v2) cgroup path, line "0::<path>", and
// the path in the v1 hierarchy whose controller list has "cpu".
struct CgroupPaths {
  std::optional<std::string> unified;
  std::optional<std::string> v1_cpu;
};
CgroupPaths parse_proc_cgroup(std::string_view proc_self_cgroup);

// A mount of a cgroup hierarchy from /proc/self/mountinfo: where it is mounted
// and which cgroup directory is its root.
struct CgroupMount {
  std::string mount_point;
  std::string root;
};
// The cgroup2 mount (v2 = true) or the v1 cgroup mount carrying the cpu
// controller (v2 = false). Octal escapes (\040 for a space) are decoded.
std::optional<CgroupMount> find_cgroup_mount(std::string_view mountinfo, bool v2);

// The directory of cgroup `path` under `mount`; nullopt if the cgroup lies
// outside the part of the hierarchy that is mounted.
std::optional<std::string> cgroup_directory(const CgroupMount& mount, std::string_view path);

// The processors this process may run on: the affinity mask
// (sched_getaffinity, else sysconf(_SC_NPROCESSORS_ONLN)) capped by the cgroup
// CPU quota of its cgroup and every ancestor; at least 1.
std::size_t available_processors();

// The pool size decided from the environment and the machine; at least 1.
std::size_t configured_thread_count();

}  // namespace vorlinde::runtime
