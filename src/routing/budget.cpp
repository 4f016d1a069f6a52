#include "routing/budget.h"

#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>

namespace corvane::routing {

namespace {

std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) noexcept {
  std::uint64_t out = 0;
  return __builtin_mul_overflow(a, b, &out) ? UINT64_MAX : out;
}

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) noexcept {
  std::uint64_t out = 0;
  return __builtin_add_overflow(a, b, &out) ? UINT64_MAX : out;
}

std::uint64_t half_physical_memory() noexcept {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page_size <= 0) return std::uint64_t{4} << 30;  // unknown: 4 GiB
  return saturating_mul(static_cast<std::uint64_t>(pages), static_cast<std::uint64_t>(page_size)) / 2;
}

std::uint64_t rlimit_or_max(int resource) noexcept {
  rlimit limit{};
  if (getrlimit(resource, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return UINT64_MAX;
  return static_cast<std::uint64_t>(limit.rlim_cur);
}

// The first line of a file as a number of bytes; "max", a missing file or
// anything else unreadable gives no limit.
std::uint64_t limit_file(const std::string& path) {
  std::ifstream in(path);
  std::string text;
  if (!(in >> text) || text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
    return UINT64_MAX;
  errno = 0;
  const unsigned long long value = std::strtoull(text.c_str(), nullptr, 10);
  return errno == 0 ? value : UINT64_MAX;
}

// The smallest limit in `file` of the cgroup `path` (as /proc/self/cgroup
// gives it, relative to the hierarchy's root) and of its ancestors, which
// bind it too, under the hierarchy's mount point. Where the mount shows only
// a subtree (a container's own cgroup), the paths above it are missing and
// the mount's own file is the one read.
std::uint64_t cgroup_limit(const std::string& mount, std::string dir, const char* file) {
  std::uint64_t limit = UINT64_MAX;
  for (;;) {
    while (!dir.empty() && dir.back() == '/') dir.pop_back();
    limit = std::min(limit, limit_file(mount + dir + "/" + file));
    if (dir.empty()) return limit;
    const std::size_t slash = dir.rfind('/');
    dir.resize(slash == std::string::npos ? 0 : slash);
  }
}

// The memory limit of this process's cgroup: memory.max (cgroup v2) or
// memory.limit_in_bytes (v1, where "unlimited" is a huge number that no
// budget reaches anyway).
std::uint64_t cgroup_memory_limit() {
  std::ifstream in("/proc/self/cgroup");
  std::uint64_t limit = UINT64_MAX;
  for (std::string line; std::getline(in, line);) {
    // "<id>:<controllers>:<path>"
    const std::size_t first = line.find(':');
    const std::size_t second = first == std::string::npos ? first : line.find(':', first + 1);
    if (second == std::string::npos) continue;
    const std::string controllers = line.substr(first + 1, second - first - 1);
    const std::string path = line.substr(second + 1);
    if (controllers.empty()) {
      limit = std::min({limit, cgroup_limit("/sys/fs/cgroup", path, "memory.max"),
                        cgroup_limit("/sys/fs/cgroup/unified", path, "memory.max")});
      continue;
    }
    std::stringstream names(controllers);
    for (std::string name; std::getline(names, name, ',');) {
      if (name == "memory") {
        limit = std::min(limit, cgroup_limit("/sys/fs/cgroup/memory", path, "memory.limit_in_bytes"));
      }
    }
  }
  return limit;
}

std::uint64_t read_memory_budget() noexcept {
  std::uint64_t budget = half_physical_memory();
  budget = std::min({budget, rlimit_or_max(RLIMIT_AS), rlimit_or_max(RLIMIT_DATA)});
  try {
    budget = std::min(budget, cgroup_memory_limit());
  } catch (...) {
    // Out of memory while reading the files: keep the other limits.
  }
  return budget;
}

}  // namespace

std::uint64_t memory_budget() noexcept {
  static const std::uint64_t budget = read_memory_budget();
  return budget;
}

std::uint64_t worker_memory(std::uint64_t gates, std::uint64_t edges,
                            std::uint64_t num_qubits) noexcept {
  return saturating_add(saturating_add(saturating_mul(gates, kBytesPerGate),
                                       saturating_mul(edges, kBytesPerEdge)),
                        saturating_mul(num_qubits, kBytesPerQubit));
}

std::uint64_t result_memory(std::uint64_t gates, std::uint64_t num_qubits) noexcept {
  // A Python int beyond the small ones is about 32 bytes, plus its slot in
  // the list; a gate is two tuples and up to three ints.
  return saturating_add(saturating_mul(num_qubits, 3 * 40 + 3 * 8), saturating_mul(gates, 200));
}

std::size_t available_cpus() noexcept {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int count = CPU_COUNT(&set);
    if (count > 0) return static_cast<std::size_t>(count);
  }
  return std::max(1u, std::thread::hardware_concurrency());
}

std::size_t pass_threads(std::uint64_t runs, std::uint64_t worker_bytes) noexcept {
  if (runs == 0) return 0;
  std::uint64_t threads = std::min<std::uint64_t>(runs, available_cpus());
  if (worker_bytes > 0) threads = std::min(threads, std::max<std::uint64_t>(1, memory_budget() / worker_bytes));
  return static_cast<std::size_t>(threads);
}

}  // namespace corvane::routing
