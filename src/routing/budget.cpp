#include "routing/budget.h"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
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

}  // namespace

std::uint64_t memory_budget() noexcept {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page_size <= 0) return std::uint64_t{4} << 30;  // unknown: 4 GiB
  return saturating_mul(static_cast<std::uint64_t>(pages), static_cast<std::uint64_t>(page_size)) / 2;
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
