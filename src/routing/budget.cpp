#include "routing/budget.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
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

// The start of a small file (empty when it cannot be read).
std::string read_start(const std::string& path) {
  std::string text(4096, '\0');
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  ssize_t got = 0;
  do {
    got = ::read(fd, text.data(), text.size());
  } while (got < 0 && errno == EINTR);
  ::close(fd);
  text.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
  return text;
}

// A limit file's number of bytes; "max", a missing file or anything else
// unreadable gives no limit.
std::uint64_t limit_file(const std::string& path) {
  const std::string text = read_start(path);
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || (end != text.data() + text.size() && *end != '\n')) return UINT64_MAX;
  return value;
}

// The smallest limit in `file` of the cgroup `dir` (as /proc/self/cgroup
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

// Whether a comma-separated list of cgroup controllers holds "memory".
bool names_memory(std::string_view controllers) {
  for (std::size_t start = 0; start <= controllers.size();) {
    const std::size_t comma = std::min(controllers.find(',', start), controllers.size());
    if (controllers.substr(start, comma - start) == "memory") return true;
    start = comma + 1;
  }
  return false;
}

// The memory limit of this process's cgroup: memory.max (cgroup v2) or
// memory.limit_in_bytes (v1, where "unlimited" is a huge number that no
// budget reaches anyway).
std::uint64_t cgroup_memory_limit() {
  const std::string text = read_start("/proc/self/cgroup");
  std::uint64_t limit = UINT64_MAX;
  std::string_view rest = text;
  while (!rest.empty()) {
    // "<id>:<controllers>:<path>"
    const std::string_view line = rest.substr(0, rest.find('\n'));
    rest.remove_prefix(std::min(rest.size(), line.size() + 1));
    const std::size_t first = line.find(':');
    const std::size_t second = first == line.npos ? first : line.find(':', first + 1);
    if (second == line.npos) continue;
    const std::string_view controllers = line.substr(first + 1, second - first - 1);
    const std::string path(line.substr(second + 1));
    if (controllers.empty()) {
      limit = std::min({limit, cgroup_limit("/sys/fs/cgroup", path, "memory.max"),
                        cgroup_limit("/sys/fs/cgroup/unified", path, "memory.max")});
    } else if (names_memory(controllers)) {
      limit = std::min(limit, cgroup_limit("/sys/fs/cgroup/memory", path, "memory.limit_in_bytes"));
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
