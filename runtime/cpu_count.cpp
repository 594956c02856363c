#include "runtime/cpu_count.hpp"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <limits>
#include <vector>

namespace vorlinde::runtime {

namespace {

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
    s.remove_suffix(1);
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  return s;
}

// Plain unsigned decimal covering the whole of `s`.
std::optional<std::uint64_t> parse_u64(std::string_view s) {
  if (s.empty() || s.front() < '0' || s.front() > '9') return std::nullopt;
  std::uint64_t v = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
  return v;
}

std::vector<std::string_view> split(std::string_view s, char sep) {
  std::vector<std::string_view> parts;
  for (;;) {
    std::size_t at = s.find(sep);
    parts.push_back(s.substr(0, at));
    if (at == std::string_view::npos) return parts;
    s.remove_prefix(at + 1);
  }
}

bool list_has(std::string_view comma_list, std::string_view item) {
  for (std::string_view part : split(comma_list, ','))
    if (part == item) return true;
  return false;
}

// mountinfo writes space, tab, newline and backslash in paths as \ooo.
std::string unescape_octal(std::string_view s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    bool escape = s[i] == '\\' && i + 3 < s.size() &&
                  std::all_of(s.begin() + i + 1, s.begin() + i + 4, [](char c) { return c >= '0' && c <= '7'; });
    if (escape) {
      out.push_back(static_cast<char>((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0')));
      i += 3;
    } else {
      out.push_back(s[i]);
    }
  }
  return out;
}

std::optional<std::string> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string contents((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return std::nullopt;
  return contents;
}

// The tightest quota of the cgroup at `dir` and of its ancestors up to the
// mount point; `limit_at(d)` reads one directory's quota.
template <class LimitAt>
std::optional<std::size_t> walk_up(std::string dir, const std::string& mount_point, LimitAt limit_at) {
  std::optional<std::size_t> best;
  for (;;) {
    if (auto limit = limit_at(dir)) best = best ? std::min(*best, *limit) : *limit;
    if (dir.size() <= mount_point.size()) return best;
    std::size_t slash = dir.rfind('/');
    if (slash == std::string::npos || slash < mount_point.size()) return best;
    dir.resize(slash);
  }
}

std::optional<std::size_t> cgroup_cpu_limit() {
  auto proc_cgroup = read_file("/proc/self/cgroup");
  if (!proc_cgroup) return std::nullopt;
  CgroupPaths paths = parse_proc_cgroup(*proc_cgroup);
  auto mountinfo = read_file("/proc/self/mountinfo").value_or("");
  std::optional<std::size_t> limit;
  auto tighten = [&](std::optional<std::size_t> l) {
    if (l) limit = limit ? std::min(*limit, *l) : *l;
  };
  if (paths.unified) {
    CgroupMount mount = find_cgroup_mount(mountinfo, true).value_or(CgroupMount{"/sys/fs/cgroup", "/"});
    if (auto dir = cgroup_directory(mount, *paths.unified))
      tighten(walk_up(*dir, mount.mount_point, [](const std::string& d) -> std::optional<std::size_t> {
        auto cpu_max = read_file(d + "/cpu.max");
        return cpu_max ? cgroup_v2_cpu_limit(*cpu_max) : std::nullopt;
      }));
  }
  if (paths.v1_cpu) {
    if (auto mount = find_cgroup_mount(mountinfo, false))
      if (auto dir = cgroup_directory(*mount, *paths.v1_cpu))
        tighten(walk_up(*dir, mount->mount_point, [](const std::string& d) -> std::optional<std::size_t> {
          auto quota = read_file(d + "/cpu.cfs_quota_us");
          auto period = read_file(d + "/cpu.cfs_period_us");
          return quota && period ? cgroup_v1_cpu_limit(*quota, *period) : std::nullopt;
        }));
  }
  return limit;
}

std::size_t affinity_processors() {
  // The mask may be wider than cpu_set_t on very large machines: grow until
  // the kernel accepts it.
  for (int cpus = CPU_SETSIZE; cpus <= (1 << 20); cpus *= 2) {
    cpu_set_t* set = CPU_ALLOC(cpus);
    if (set == nullptr) break;
    std::size_t bytes = CPU_ALLOC_SIZE(cpus);
    CPU_ZERO_S(bytes, set);
    if (sched_getaffinity(0, bytes, set) == 0) {
      int count = CPU_COUNT_S(bytes, set);
      CPU_FREE(set);
      if (count > 0) return static_cast<std::size_t>(count);
      break;
    }
    CPU_FREE(set);
    if (errno != EINVAL) break;
  }
  long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<std::size_t>(online) : 1;
}

}  // namespace

std::optional<std::size_t> parse_thread_count(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty() || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return std::nullopt;
  std::size_t v = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return v;
}

std::optional<std::size_t> thread_count_from_env(const char* rayon_num_threads, const char* rayon_rs_num_cpus) {
  for (const char* value : {rayon_num_threads, rayon_rs_num_cpus}) {
    if (value == nullptr) continue;
    if (auto count = parse_thread_count(value)) {
      if (*count == 0) return std::nullopt;
      return count;
    }
  }
  return std::nullopt;
}

std::size_t quota_cpus(std::uint64_t quota, std::uint64_t period) {
  std::uint64_t cpus = quota / period + (quota % period != 0 ? 1 : 0);
  if (cpus == 0) cpus = 1;
  return cpus > std::numeric_limits<std::size_t>::max() ? std::numeric_limits<std::size_t>::max()
                                                         : static_cast<std::size_t>(cpus);
}

std::optional<std::size_t> cgroup_v2_cpu_limit(std::string_view cpu_max) {
  auto fields = split(trim(cpu_max), ' ');
  if (fields.size() != 2) return std::nullopt;
  auto period = parse_u64(fields[1]);
  if (!period || *period == 0) return std::nullopt;
  if (fields[0] == "max") return std::nullopt;
  auto quota = parse_u64(fields[0]);
  if (!quota || *quota == 0) return std::nullopt;
  return quota_cpus(*quota, *period);
}

std::optional<std::size_t> cgroup_v1_cpu_limit(std::string_view cfs_quota_us, std::string_view cfs_period_us) {
  auto quota = parse_u64(trim(cfs_quota_us));  // "-1" (no quota) fails here too
  auto period = parse_u64(trim(cfs_period_us));
  if (!quota || *quota == 0 || !period || *period == 0) return std::nullopt;
  return quota_cpus(*quota, *period);
}

CgroupPaths parse_proc_cgroup(std::string_view proc_self_cgroup) {
  CgroupPaths paths;
  for (std::string_view line : split(proc_self_cgroup, '\n')) {
    std::size_t first = line.find(':');
    if (first == std::string_view::npos) continue;
    std::size_t second = line.find(':', first + 1);
    if (second == std::string_view::npos) continue;
    std::string_view id = line.substr(0, first);
    std::string_view controllers = line.substr(first + 1, second - first - 1);
    std::string_view path = line.substr(second + 1);
    if (path.empty() || path.front() != '/') continue;
    if (id == "0" && controllers.empty()) {
      paths.unified = std::string(path);
    } else if (list_has(controllers, "cpu") && !paths.v1_cpu) {
      paths.v1_cpu = std::string(path);
    }
  }
  return paths;
}

std::optional<CgroupMount> find_cgroup_mount(std::string_view mountinfo, bool v2) {
  for (std::string_view line : split(mountinfo, '\n')) {
    // id parent major:minor root mount-point options [optional...] - fstype source super-options
    auto fields = split(line, ' ');
    auto dash = std::find(fields.begin(), fields.end(), std::string_view("-"));
    if (fields.size() < 6 || dash == fields.end() || dash - fields.begin() < 6 || fields.end() - dash < 4) continue;
    std::string_view fstype = dash[1];
    std::string_view super_options = dash[3];
    bool match = v2 ? fstype == "cgroup2" : fstype == "cgroup" && list_has(super_options, "cpu");
    if (match) return CgroupMount{unescape_octal(fields[4]), unescape_octal(fields[3])};
  }
  return std::nullopt;
}

std::optional<std::string> cgroup_directory(const CgroupMount& mount, std::string_view path) {
  std::string_view root = mount.root;
  if (root == "/") root = "";
  if (path.substr(0, root.size()) != root) return std::nullopt;
  std::string_view rest = path.substr(root.size());
  if (!rest.empty() && rest.front() != '/') return std::nullopt;
  if (rest == "/") rest = "";
  return mount.mount_point + std::string(rest);
}

std::size_t available_processors() {
  std::size_t cpus = affinity_processors();
  if (auto limit = cgroup_cpu_limit()) cpus = std::min(cpus, *limit);
  return std::max<std::size_t>(cpus, 1);
}

std::size_t configured_thread_count() {
  if (auto count = thread_count_from_env(std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS")))
    return *count;
  return available_processors();
}

}  // namespace vorlinde::runtime
