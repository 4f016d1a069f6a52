// Routing benchmark: standard workloads on line, grid and heavy-hex devices.
//
// For every workload it routes with 1 and with 8 workers and prints the wall
// time, the policy steps per second of one worker, the SWAPs inserted, CX
// count and CX depth before and after, the peak memory of a process that ran
// only that workload, and the time a pass spends checking that the distances
// agree with the coupling map (against the pass's own wall time). Run it
// through bench/run.sh.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "routing/metrics.h"
#include "routing/routing.h"
#include "routing/worker.h"
#include "routing_devices.h"

using namespace corvane::routing;
using namespace corvane::routing::fixtures;
using Clock = std::chrono::steady_clock;

namespace {

struct Workload {
  std::string device;
  CouplingMap cm;
  std::string circuit;
  std::vector<Operation> ops;
};

struct Figures {
  double wall_ms_1 = 0, wall_ms_8 = 0;
  double check_us = 0;  // one check of the distances against the coupling map
  std::uint64_t steps = 0;
  double steps_per_s = 0;
  std::uint64_t swaps = 0, cx_after = 0, depth_after = 0;
  long peak_kib = 0;
};

std::pair<std::uint64_t, std::uint64_t> cx_and_depth(const std::vector<Operation>& ops,
                                                     std::size_t n) {
  const ErrMap none;
  metrics::CircuitMetrics m(n, {"n_cnots", "layers"}, none);
  for (const Operation& op : ops) m.apply(op);
  const auto v = m.get_metrics();
  return {v[0], v[1]};
}

double ms_since(Clock::time_point t) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

Figures measure(const Workload& w) {
  const std::size_t n = num_qubits(w.cm);
  const Dists d = distances(w.cm, n);
  const ErrMap err;
  const MetricNames names = {"n_cnots", "layers"};
  Figures f;

  // One worker on this thread: its steps and their rate.
  auto t = Clock::now();
  const RoutingResult one = route_worker_limited(false, w.ops, w.cm, d, err, names, n,
                                                 MAX_ROUTING_STEPS, stall_limit(w.cm, d, n));
  const double worker_ms = ms_since(t);
  f.steps = one.steps;
  f.steps_per_s = worker_ms > 0 ? one.steps / (worker_ms / 1000.0) : 0;

  const Routing routing{false};
  t = Clock::now();
  const RoutingResult r1 = routing._route_loop(w.ops, 1, w.cm, d, err, names, n);
  f.wall_ms_1 = ms_since(t);
  t = Clock::now();
  const RoutingResult r8 = routing._route_loop(w.ops, 8, w.cm, d, err, names, n);
  f.wall_ms_8 = ms_since(t);
  (void)r1;

  constexpr int kChecks = 1000;
  t = Clock::now();
  for (int i = 0; i < kChecks; ++i) check_adjacent_pairs_coupled(w.cm, d, n);
  f.check_us = ms_since(t) * 1000.0 / kChecks;

  for (const Operation& op : r8.ops) f.swaps += op.kind.tag == OpTag::Swap;
  std::tie(f.cx_after, f.depth_after) = cx_and_depth(r8.ops, n);
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  f.peak_kib = usage.ru_maxrss;
  return f;
}

// Runs one workload in a child process so that its peak memory is its own.
bool measure_isolated(const Workload& w, Figures& out) {
  int fds[2];
  if (pipe(fds) != 0) return false;
  const pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    close(fds[0]);
    const Figures f = measure(w);
    ssize_t written = write(fds[1], &f, sizeof f);
    _exit(written == static_cast<ssize_t>(sizeof f) ? 0 : 1);
  }
  close(fds[1]);
  const ssize_t got = read(fds[0], &out, sizeof out);
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return got == static_cast<ssize_t>(sizeof out) && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
  struct Device {
    std::string name;
    CouplingMap cm;
  };
  const std::vector<Device> devices = {
      {"line-20", line(20)},       {"grid-5x5", grid(5, 5)},      {"heavy-hex-37", heavy_hex(3, 11)},
      {"line-65", line(65)},       {"grid-8x8", grid(8, 8)},      {"heavy-hex-127", heavy_hex(7, 15)},
  };
  std::vector<Workload> workloads;
  for (const Device& dev : devices) {
    const std::size_t n = num_qubits(dev.cm);
    const std::size_t qft_n = std::min<std::size_t>(n, quick ? 20 : 64);
    workloads.push_back({dev.name, dev.cm, "qft-" + std::to_string(qft_n), qft_cx(qft_n)});
    for (const std::size_t gates : {100u, 1000u, 10000u}) {
      if (quick && gates > 1000) continue;
      workloads.push_back({dev.name, dev.cm, "random-" + std::to_string(gates), random_cx(n, gates, 42)});
    }
  }
  if (!quick) {
    // Growth with circuit size on a fixed device.
    const CouplingMap hh = heavy_hex(7, 15);
    for (const std::size_t gates : {2000u, 4000u, 20000u})
      workloads.push_back({"heavy-hex-127", hh, "random-" + std::to_string(gates), random_cx(127, gates, 42)});
  }

  std::printf("%-14s %-13s %6s %9s %9s %9s %11s %8s %9s %9s %8s %8s %9s %9s %8s\n", "device",
              "circuit", "gates", "ms(1)", "ms(8)", "steps", "steps/s/w", "swaps", "cx-in", "cx-out",
              "dep-in", "dep-out", "peak-MiB", "check-us", "check%");
  for (const Workload& w : workloads) {
    const std::size_t n = num_qubits(w.cm);
    const auto [cx_in, depth_in] = cx_and_depth(w.ops, n);
    Figures f;
    if (!measure_isolated(w, f)) {
      std::printf("%-14s %-13s  failed\n", w.device.c_str(), w.circuit.c_str());
      continue;
    }
    std::printf("%-14s %-13s %6zu %9.1f %9.1f %9llu %11.0f %8llu %9llu %9llu %8llu %8llu %9.1f "
                "%9.2f %8.4f\n",
                w.device.c_str(), w.circuit.c_str(), w.ops.size(), f.wall_ms_1, f.wall_ms_8,
                static_cast<unsigned long long>(f.steps), f.steps_per_s,
                static_cast<unsigned long long>(f.swaps), static_cast<unsigned long long>(cx_in),
                static_cast<unsigned long long>(f.cx_after), static_cast<unsigned long long>(depth_in),
                static_cast<unsigned long long>(f.depth_after), f.peak_kib / 1024.0, f.check_us,
                100.0 * f.check_us / 1000.0 / f.wall_ms_1);
    std::fflush(stdout);
  }
  return 0;
}
