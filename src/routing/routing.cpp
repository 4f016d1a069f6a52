#include "routing/routing.h"

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <limits>
#include <memory>
#include <numeric>
#include <optional>

#include "common/fault.h"
#include "common/rng.h"

namespace corvane::routing {

namespace {

// Everything a worker reads; shared by all workers of a pass, never written.
struct PassInputs {
  bool swap_as_perm;
  const std::vector<Operation>* ops;
  const CouplingMap* coupling_map;
  const Dists* dists;
  const ErrMap* err_map;
  const MetricNames* metrics_names;
  std::size_t num_qubits;
};

// Test seams: make the spawn of worker `after` fail with `err`; seed worker
// i's generator with base + i.
std::size_t g_fail_spawn_after = std::numeric_limits<std::size_t>::max();
int g_fail_spawn_err = 0;
std::optional<std::uint64_t> g_worker_seed;

struct WorkerSlot {
  const PassInputs* inputs = nullptr;
  std::size_t index = 0;
  RoutingResult result;
  bool failed = false;
  pthread_t thread{};
};

void* worker_main(void* arg) noexcept {
  auto* slot = static_cast<WorkerSlot*>(arg);
  const PassInputs& in = *slot->inputs;
  if (g_worker_seed.has_value()) rng::seed_thread_rng(*g_worker_seed + slot->index);
  // Nothing may escape a thread: a fault was reported when raised, anything
  // else is reported here; the pass learns of it when it joins.
  try {
    slot->result = route_worker(in.swap_as_perm, *in.ops, *in.coupling_map, *in.dists,
                                *in.err_map, *in.metrics_names, in.num_qubits);
  } catch (const Fault&) {
    slot->failed = true;
  } catch (const std::exception& e) {
    report_foreign_exception(&e);
    slot->failed = true;
  } catch (...) {
    report_foreign_exception(nullptr);
    slot->failed = true;
  }
  return nullptr;
}

const char* error_kind(int err) {
  switch (err) {
    case EAGAIN: return "WouldBlock";
    case ENOMEM: return "OutOfMemory";
    case EPERM:
    case EACCES: return "PermissionDenied";
    case EINVAL: return "InvalidInput";
    default: return "Uncategorized";
  }
}


int spawn(WorkerSlot& slot, std::size_t index) {
  if (index >= g_fail_spawn_after) return g_fail_spawn_err;
  pthread_attr_t attr;
  if (int err = pthread_attr_init(&attr); err != 0) return err;
  int err = pthread_attr_setstacksize(&attr, WORKER_STACK_SIZE);
  if (err == 0) err = pthread_create(&slot.thread, &attr, worker_main, &slot);
  pthread_attr_destroy(&attr);
  return err;
}

}  // namespace

namespace testing {
void fail_spawn_after(std::size_t after, int err) {
  g_fail_spawn_after = after;
  g_fail_spawn_err = err;
}
void seed_workers(std::optional<std::uint64_t> base) { g_worker_seed = base; }
}  // namespace testing

std::string spawn_failure_message(int err) {
  char buf[256] = {0};
  const char* text = strerror_r(err, buf, sizeof buf);
  std::string msg = "failed to spawn thread: Os { code: ";
  msg += std::to_string(err);
  msg += ", kind: ";
  msg += error_kind(err);
  msg += ", message: \"";
  msg += text;
  msg += "\" }";
  return msg;
}

RoutingResult initial_best(std::size_t num_qubits) {
  RoutingResult r;
  r.layout = Layout::identity(num_qubits);
  r.metrics = {std::numeric_limits<std::uint64_t>::max()};
  return r;
}

bool metrics_less(const std::vector<std::uint64_t>& a, const std::vector<std::uint64_t>& b) {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end());
}

RoutingResult Routing::_route_loop(const std::vector<Operation>& ops, std::uint64_t runs,
                                   const CouplingMap& coupling_map, const Dists& dists,
                                   const ErrMap& err_map, const MetricNames& metrics_names,
                                   std::size_t num_qubits) const {
  RoutingResult best = initial_best(num_qubits);
  const PassInputs inputs{swap_as_perm, &ops,          &coupling_map, &dists,
                          &err_map,     &metrics_names, num_qubits};

  // Start every worker before joining any.
  std::vector<std::unique_ptr<WorkerSlot>> slots;
  slots.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(runs, 1024)));
  int spawn_error = 0;
  for (std::uint64_t i = 0; i < runs; ++i) {
    auto slot = std::make_unique<WorkerSlot>();
    slot->inputs = &inputs;
    slot->index = static_cast<std::size_t>(i);
    if (int err = spawn(*slot, static_cast<std::size_t>(i)); err != 0) {
      spawn_error = err;
      break;
    }
    slots.push_back(std::move(slot));
  }

  // Join in start order, so the outcome never depends on which worker
  // finished first. After a failure the rest are still waited for.
  bool worker_failed = false;
  for (auto& slot : slots) {
    pthread_join(slot->thread, nullptr);
    if (spawn_error != 0 || worker_failed) continue;
    if (slot->failed) {
      worker_failed = true;
      continue;
    }
    RoutingResult& r = slot->result;
    if (!worth_keeping(r)) continue;
    if (metrics_less(r.metrics, best.metrics)) best = std::move(r);
    slot->result = RoutingResult{};
  }
  if (spawn_error != 0) fault(spawn_failure_message(spawn_error));
  if (worker_failed) fault("Thread panicked: Any { .. }");
  return best;
}

std::vector<std::size_t> argsort(const std::vector<std::size_t>& v) {
  std::vector<std::size_t> idx(v.size());
  std::iota(idx.begin(), idx.end(), std::size_t{0});
  std::stable_sort(idx.begin(), idx.end(), [&](std::size_t a, std::size_t b) { return v[a] < v[b]; });
  return idx;
}

std::vector<std::size_t> gather_by_index(const std::vector<std::size_t>& v,
                                         const std::vector<std::size_t>& idx) {
  std::vector<std::size_t> w;
  w.reserve(idx.size());
  for (const std::size_t i : idx) w.push_back(at(v, i));
  return w;
}

void relabel_ops(std::vector<Operation>& ops, const std::vector<std::size_t>& map) {
  for (Operation& op : ops) {
    op.q0 = at(map, op.q0);
    op.q1 = at(map, op.q1);
  }
}

RouteOutput CircuitRouting::route(const std::vector<GateTuple>& circuit, std::uint64_t runs,
                                  const CouplingMap& coupling_map, const Dists& dists,
                                  const ErrMap& err_map, const MetricNames& metrics_names,
                                  std::uint64_t num_qubits) const {
  RoutingResult best;
  {
    const std::vector<Operation> ops = py_to_ops(circuit);
    best = route_routing._route_loop(ops, runs, coupling_map, dists, err_map, metrics_names,
                                     num_qubits);
  }
  return {ops_to_py(best.ops), std::move(best.layout)};
}

namespace {

// Elapsed time since `start` is greater than `max_seconds` whole seconds,
// the fraction of a second included. A clock that reads earlier than the
// start counts as no time elapsed.
bool time_exceeded(std::chrono::steady_clock::time_point start, std::uint64_t max_seconds) {
  const auto now = std::chrono::steady_clock::now();
  if (now <= start) return false;
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(now - start).count();
  const auto secs = static_cast<std::uint64_t>(ns / 1'000'000'000);
  const auto frac = ns % 1'000'000'000;
  return secs > max_seconds || (secs == max_seconds && frac > 0);
}

}  // namespace

RouteOutput CircuitRouting::transpile(const std::vector<GateTuple>& circuit, std::uint64_t runs,
                                      std::uint64_t inner_its, std::uint64_t its,
                                      std::uint64_t shots,
                                      const std::vector<std::vector<std::uint64_t>>& layout,
                                      const CouplingMap& coupling_map, const Dists& dists,
                                      const ErrMap& err_map, const MetricNames& metrics_names,
                                      std::uint64_t num_qubits,
                                      std::uint64_t max_seconds) const {
  const std::size_t n = num_qubits;
  const std::vector<Operation> ops = py_to_ops(circuit);
  RoutingResult best = initial_best(n);
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::size_t> identity(n);
  std::iota(identity.begin(), identity.end(), std::size_t{0});

  for (std::uint64_t s = 0; s < shots; ++s) {
    const std::vector<std::size_t>& shot_layout = at(layout, s);
    std::vector<Operation> base = ops;
    relabel_ops(base, shot_layout);
    // base_map[j]: the label caller qubit j carries in the base circuit.
    std::vector<std::size_t> base_map = gather_by_index(shot_layout, identity);

    // An iteration without passes changes nothing; skipping them keeps a
    // huge `its` from spinning with no time check.
    for (std::uint64_t it = 0; it < its && inner_its > 0; ++it) {
      std::vector<Operation> work = base;
      std::vector<std::size_t> labels = base_map;
      for (std::uint64_t k = 0; k < inner_its; ++k) {
        const bool backward = k % 2 == 1;
        RoutingResult pass;
        if (!backward) {
          pass = transpile_routing._route_loop(work, runs, coupling_map, dists, err_map,
                                               metrics_names, n);
        } else {
          // The reversed routing's final placement is an initial placement
          // for the forward circuit: read its result backwards.
          std::reverse(work.begin(), work.end());
          pass = transpile_routing._route_loop(work, runs, coupling_map, dists, err_map,
                                               metrics_names, n);
          std::reverse(work.begin(), work.end());
          std::reverse(pass.ops.begin(), pass.ops.end());
          std::vector<std::size_t> old_perm = std::move(pass.layout.perm);
          pass.layout.perm = pass.layout.v2p;
          pass.layout.v2p = argsort(old_perm);
        }

        if (metrics_less(pass.metrics, best.metrics)) {
          best.ops = pass.ops;
          best.metrics = pass.metrics;
          best.layout = pass.layout;
          // A forward pass's perm maps physical qubits to labels: invert it
          // into labels -> physical, as the backward rewrite already is.
          const std::vector<std::size_t> label_to_physical =
              backward ? best.layout.perm : argsort(best.layout.perm);
          best.layout.perm = argsort(gather_by_index(label_to_physical, labels));
          best.layout.v2p = gather_by_index(best.layout.v2p, labels);
          base = work;
          base_map = labels;
        }

        // The next pass starts where this one ended.
        const std::vector<std::size_t> inv = argsort(pass.layout.p2v);
        relabel_ops(work, inv);
        labels = gather_by_index(inv, labels);

        if (time_exceeded(start, max_seconds)) return {ops_to_py(best.ops), std::move(best.layout)};
      }
    }
  }
  return {ops_to_py(best.ops), std::move(best.layout)};
}

}  // namespace corvane::routing
