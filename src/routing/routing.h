// Parallel routing passes and the forward/backward layout search.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "routing/dag.h"
#include "routing/ops.h"
#include "routing/types.h"
#include "routing/worker.h"

namespace corvane::routing {

// Stack size of a routing worker thread.
inline constexpr std::size_t WORKER_STACK_SIZE = 2 * 1024 * 1024;

struct Routing {
  // Fold a SWAP that meets no standing gate into the output permutation.
  bool swap_as_perm = false;

  // Routes `ops` `runs` times and returns the result with the smallest
  // metrics vector (lexicographic; of equal ones the lower run index wins;
  // only results worth_keeping compete). The runs share a bounded set of
  // threads, each taking the next run index; run i's result does not depend
  // on which thread ran it. A failed worker becomes the fault
  // "Thread panicked: Any { .. }" once every started worker has ended, and a
  // worker out of memory std::bad_alloc. While it waits for its threads the
  // pass polls for an interrupt (interrupt::poll): then the runs under way
  // stop at their next check, every thread is joined, and
  // interrupt::Interrupted is thrown.
  RoutingResult _route_loop(const std::vector<Operation>& ops, std::uint64_t runs,
                            const CouplingMap& coupling_map, const Dists& dists,
                            const ErrMap& err_map, const MetricNames& metrics_names,
                            std::size_t num_qubits) const;
};

// The result of a pass that kept nothing: no gates, identity layouts, and a
// metrics vector that every real result beats.
RoutingResult initial_best(std::size_t num_qubits);

// Strictly smaller in lexicographic order; a proper prefix is smaller.
bool metrics_less(const std::vector<std::uint64_t>& a, const std::vector<std::uint64_t>& b);

// w[i] = v[idx[i]]; an index beyond v is a fault.
std::vector<std::size_t> gather_by_index(const std::vector<std::size_t>& v,
                                         const std::vector<std::size_t>& idx);
// Every gate's qubits replaced through `map`; a qubit beyond it is a fault.
void relabel_ops(std::vector<Operation>& ops, const std::vector<std::size_t>& map);

using RouteOutput = std::pair<std::vector<GateTuple>, Layout>;

struct CircuitRouting {
  Routing route_routing{false};
  Routing transpile_routing{true};

  // One pass of `runs` workers; the permutation is always the identity.
  RouteOutput route(const std::vector<GateTuple>& circuit, std::uint64_t runs,
                    const CouplingMap& coupling_map, const Dists& dists, const ErrMap& err_map,
                    const MetricNames& metrics_names, std::uint64_t num_qubits) const;

  // Layout search. layout[shot][caller qubit] = initial physical qubit. The
  // returned perm maps each physical qubit to the caller qubit that starts
  // there, v2p each caller qubit to its final physical qubit, and p2v is the
  // winning pass's own final placement. Faults propagate; the binding turns
  // them into RuntimeError "Panic error".
  RouteOutput transpile(const std::vector<GateTuple>& circuit, std::uint64_t runs,
                        std::uint64_t inner_its, std::uint64_t its, std::uint64_t shots,
                        const std::vector<std::vector<std::uint64_t>>& layout,
                        const CouplingMap& coupling_map, const Dists& dists,
                        const ErrMap& err_map, const MetricNames& metrics_names,
                        std::uint64_t num_qubits, std::uint64_t max_seconds) const;
};

// The fault a thread that cannot be started raises, from its errno value:
// "failed to spawn thread: Os { code: 11, kind: WouldBlock, message: ... }".
std::string spawn_failure_message(int err);

namespace testing {
// Makes the start of every pass thread from index `after` on fail with
// `err`; `after` = SIZE_MAX restores normal starting.
void fail_spawn_after(std::size_t after, int err);
// Seeds the generator of run i of every pass with base + i, so that passes
// are reproducible; nullopt restores generators seeded by the system.
void seed_workers(std::optional<std::uint64_t> base);
}  // namespace testing

}  // namespace corvane::routing
