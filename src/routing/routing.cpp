#include "routing/routing.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>
#include <numeric>
#include <optional>
#include <stdexcept>

#include "common/argsort.h"
#include "common/fault.h"
#include "common/interrupt.h"
#include "common/rng.h"
#include "routing/budget.h"
#include "routing/policy.h"

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

// Test seams, set from C++ tests only. Atomic because a test may change them
// while another thread's pass runs; a pass reads them once, on the calling
// thread, so its worker threads never look at them.
std::atomic<std::size_t> g_fail_spawn_after{std::numeric_limits<std::size_t>::max()};
std::atomic<int> g_fail_spawn_err{0};
std::atomic<bool> g_seeded{false};
std::atomic<std::uint64_t> g_seed_base{0};

// The state a pass shares with its threads. Each thread takes the next run
// index until none is left, and merges a finished result into the best under
// the lock, ordered by (metrics, run index): that selects exactly what joining
// the runs in start order would, the first run with the smallest metrics
// vector, provided it beats the initial best.
struct Pass {
  const PassInputs* inputs = nullptr;
  std::uint64_t runs = 0;
  std::uint64_t patience = 0;
  std::optional<std::uint64_t> seed;
  std::atomic<std::uint64_t> next{0};
  // No further run may start, and the runs under way end at their next
  // check: a worker failed or ran out of memory, every run is certain to give
  // the same result, or the pass is unwinding (an interrupt included).
  std::atomic<bool> stop{false};
  // Set by the thread that caught it; read after that thread has ended.
  bool interrupted = false;

  std::mutex mutex;
  std::condition_variable thread_ended;
  std::size_t running = 0;  // started threads that have not ended yet
  bool failed = false;
  bool out_of_memory = false;
  bool have_run = false;  // best comes from a run, not the initial value
  std::uint64_t best_run = 0;
  RoutingResult best;

  void merge(std::uint64_t run, RoutingResult&& r) {
    std::lock_guard<std::mutex> lock(mutex);
    const bool better = metrics_less(r.metrics, best.metrics) ||
                        (have_run && run < best_run && r.metrics == best.metrics);
    if (!better) return;
    best = std::move(r);
    best_run = run;
    have_run = true;
  }
  void fail(bool memory = false) {
    std::lock_guard<std::mutex> lock(mutex);
    (memory ? out_of_memory : failed) = true;
    stop.store(true);
  }
};

void* pass_thread_main(void* arg) noexcept {
  auto& pass = *static_cast<Pass*>(arg);
  const PassInputs& in = *pass.inputs;
  while (!pass.stop.load(std::memory_order_relaxed)) {
    const std::uint64_t run = pass.next.fetch_add(1, std::memory_order_relaxed);
    if (run >= pass.runs) break;
    // Nothing may escape a thread: a fault was reported when raised, anything
    // else is reported here; the pass raises its own fault after the join.
    try {
      if (pass.seed.has_value()) rng::seed_thread_rng(*pass.seed + run);
      RoutingResult r = route_worker_limited(in.swap_as_perm, *in.ops, *in.coupling_map,
                                             *in.dists, *in.err_map, *in.metrics_names,
                                             in.num_qubits, MAX_ROUTING_STEPS, pass.patience,
                                             &pass.stop);
      // A worker that made no step drew no random number: every run of the
      // pass gives this very result, so the first of them is the answer.
      if (r.steps == 0) pass.stop.store(true);
      if (worth_keeping(r)) pass.merge(run, std::move(r));
    } catch (const interrupt::Interrupted&) {
      // Only the calling thread polls, when it runs the pass itself.
      pass.interrupted = true;
      pass.stop.store(true);
    } catch (const Fault&) {
      pass.fail();
    } catch (const std::bad_alloc&) {
      pass.fail(true);
    } catch (const std::length_error&) {
      pass.fail(true);
    } catch (const std::exception& e) {
      report_foreign_exception(&e);
      pass.fail();
    } catch (...) {
      report_foreign_exception(nullptr);
      pass.fail();
    }
  }
  return nullptr;
}

void* pass_thread_entry(void* arg) noexcept {
  auto& pass = *static_cast<Pass*>(arg);
  pass_thread_main(&pass);
  std::lock_guard<std::mutex> lock(pass.mutex);
  --pass.running;
  pass.thread_ended.notify_all();
  return nullptr;
}

// The threads of one pass. However the pass ends, the destructor stops the
// hand-out of runs and the runs under way, and joins every thread started,
// so that no thread outlives the state and the inputs it reads.
class PassThreads {
 public:
  PassThreads(Pass& pass, std::size_t count) : pass_(pass) { threads_.reserve(count); }
  PassThreads(const PassThreads&) = delete;
  PassThreads& operator=(const PassThreads&) = delete;
  ~PassThreads() {
    pass_.stop.store(true);
    join();
  }

  // Starts one more thread (at most `count` in all); returns 0 or the error.
  int start(std::size_t fail_after, int fail_err) {
    if (threads_.size() >= fail_after) return fail_err;
    pthread_attr_t attr;
    if (int err = pthread_attr_init(&attr); err != 0) return err;
    int err = pthread_attr_setstacksize(&attr, WORKER_STACK_SIZE);
    pthread_t thread{};
    if (err == 0) {
      count_thread(true);  // before the thread can end
      err = pthread_create(&thread, &attr, pass_thread_entry, &pass_);
      if (err != 0) count_thread(false);
    }
    pthread_attr_destroy(&attr);
    if (err == 0) threads_.push_back(thread);  // within the reserved room: no throw
    return err;
  }

  // Waits for every thread to end, waking every few milliseconds to poll
  // for an interrupt; an interrupt throws, and the destructor then stops and
  // joins the threads.
  void wait() {
    std::unique_lock<std::mutex> lock(pass_.mutex);
    const auto ended = [&] { return pass_.running == 0; };
    while (!pass_.thread_ended.wait_for(lock, interrupt::kPollInterval, ended)) {
      lock.unlock();
      interrupt::poll();
      lock.lock();
    }
    lock.unlock();
    join();
  }

  void join() noexcept {
    for (const pthread_t thread : threads_) pthread_join(thread, nullptr);
    threads_.clear();
  }

 private:
  void count_thread(bool started) {
    std::lock_guard<std::mutex> lock(pass_.mutex);
    started ? ++pass_.running : --pass_.running;
  }

  Pass& pass_;
  std::vector<pthread_t> threads_;
};

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

}  // namespace

namespace testing {
void fail_spawn_after(std::size_t after, int err) {
  g_fail_spawn_err.store(err);
  g_fail_spawn_after.store(after);
}
void seed_workers(std::optional<std::uint64_t> base) {
  g_seed_base.store(base.value_or(0));
  g_seeded.store(base.has_value());
}
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
  const PassInputs inputs{swap_as_perm, &ops,          &coupling_map, &dists,
                          &err_map,     &metrics_names, num_qubits};
  Pass pass;
  pass.inputs = &inputs;
  pass.runs = runs;
  pass.best = initial_best(num_qubits);
  if (runs == 0) return std::move(pass.best);
  // On the calling thread, so that the fault names the pair, not a worker.
  check_adjacent_pairs_coupled(coupling_map, dists, num_qubits);
  pass.patience = stall_limit(coupling_map, dists, num_qubits);
  // Ready before any worker starts: the workers only read it, and a lack of
  // memory for it is the caller's std::bad_alloc.
  routing_policy();
  if (g_seeded.load()) pass.seed = g_seed_base.load();
  const std::size_t fail_after = g_fail_spawn_after.load();
  const int fail_err = g_fail_spawn_err.load();

  // A bounded set of threads works through the runs; the outcome depends only
  // on the run indices, never on which thread ran what or finished first.
  const std::size_t count =
      pass_threads(runs, worker_memory(ops.size(), coupling_map.size(), num_qubits));
  int spawn_error = 0;
  if (count == 1 && !pass.seed.has_value() && fail_after == std::numeric_limits<std::size_t>::max()) {
    // A lone worker thread would only make the caller wait for it to be
    // scheduled: run it here, under the name its fault reports would give.
    // (Seeded passes keep their threads, so as not to seed the caller's.)
    const char* name = current_thread_name();
    set_thread_name("<unnamed>");
    pass_thread_main(&pass);
    set_thread_name(name);
  } else {
    PassThreads threads(pass, count);
    for (std::size_t t = 0; t < count && spawn_error == 0; ++t) {
      spawn_error = threads.start(fail_after, fail_err);
      // The pass fails: the threads already started stop.
      if (spawn_error != 0) pass.stop.store(true);
    }
    threads.wait();
  }
  if (pass.interrupted) throw interrupt::Interrupted();
  if (spawn_error != 0) fault(spawn_failure_message(spawn_error));
  if (pass.failed) fault("Thread panicked: Any { .. }");
  if (pass.out_of_memory) throw std::bad_alloc();
  return std::move(pass.best);
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

// Two caller qubits placed on one physical qubit would route as one. Entries
// at or beyond n are no physical qubit; the passes fault on them.
void check_distinct_placement(const std::vector<std::size_t>& placement, std::uint64_t shot) {
  const std::size_t n = placement.size();
  std::vector<std::size_t> first(n, n);  // first caller qubit placed on each physical qubit
  for (std::size_t j = 0; j < n; ++j) {
    const std::size_t p = placement[j];
    if (p >= n) continue;
    if (first[p] != n) {
      fault("layout[" + std::to_string(shot) + "] places caller qubits " +
            std::to_string(first[p]) + " and " + std::to_string(j) + " on physical qubit " +
            std::to_string(p));
    }
    first[p] = j;
  }
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
    check_distinct_placement(base_map, s);

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
        // A pass of no runs takes no time: poll here too.
        interrupt::poll();
      }
    }
  }
  return {ops_to_py(best.ops), std::move(best.layout)};
}

}  // namespace corvane::routing
