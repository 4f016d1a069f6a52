// One randomized neural routing of a circuit onto a coupling map.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "routing/dag.h"
#include "routing/ops.h"
#include "routing/types.h"

namespace corvane::routing {

inline constexpr std::uint64_t MAX_ROUTING_STEPS = 200'000'000;

// Steps a worker may make without executing a single gate before it counts
// as unable to finish: far more than any routing with consistent distances
// needs (each front gate is at most the largest distance away), far fewer
// than the cap, so that distances that mislead the policy end a worker in
// milliseconds instead of minutes. It depends only on the device the call
// describes (the qubits below num_qubits that have a coupler and a row of
// distances), never on num_qubits or a distance alone, both of which a caller
// can make as large as it likes.
std::uint64_t stall_limit(const CouplingMap& coupling_map, const Dists& dists,
                          std::size_t num_qubits);

// Faults when `dists` calls two distinct physical qubits below num_qubits
// adjacent (a distance of at most 1) while the coupling map couples them in
// neither direction: a gate would execute, and be listed, on that pair.
// Entries beyond the table are left to the ordinary index faults.
void check_adjacent_pairs_coupled(const CouplingMap& coupling_map, const Dists& dists,
                                  std::size_t num_qubits);

// Gate list on physical qubits in topological order, the final layout, and
// one value per metric name.
struct RoutingResult {
  std::vector<Operation> ops;
  Layout layout;
  std::vector<std::uint64_t> metrics;
  // Every gate was executed (false at the step cap or for a gate that can
  // never execute; the gate list is then empty).
  bool finished = false;
  // Policy steps the worker made (for benchmarks; not part of the result
  // Python sees).
  std::uint64_t steps = 0;
};

// Whether a pass keeps a worker's result: it must have finished, and carry
// something: gates, or (when every gate cancelled or was folded away) a
// layout other than the identity. A SWAP-only circuit under folding routes
// to no gates at all, and its permutation must not be lost.
bool worth_keeping(const RoutingResult& result);

// Routes `ops` (virtual qubits, circuit order) in at most max_steps policy
// steps (MAX_ROUTING_STEPS for a pass). A worker that cannot finish (step
// cap, a gate that can never become executable, or no gate executed for
// `patience` steps: the stall_limit, which a pass computes once for all its
// workers) returns an empty gate list. Every failure is a Fault.
// Every STOP_CHECK_STEPS steps the worker polls for an interrupt
// (interrupt::poll) and reads `stop`: once it is set, the worker gives up as
// at the step cap.
RoutingResult route_worker_limited(bool swap_as_perm, const std::vector<Operation>& ops,
                                   const CouplingMap& coupling_map, const Dists& dists,
                                   const ErrMap& err_map, const MetricNames& metrics_names,
                                   std::size_t num_qubits, std::uint64_t max_steps,
                                   std::uint64_t patience,
                                   const std::atomic<bool>* stop = nullptr);

inline constexpr std::uint64_t STOP_CHECK_STEPS = 64;

// True when a gate still in `dag_in` can never become executable: wherever
// SWAPs along the coupling map move its two qubits, no pair of positions
// they can reach is at distance at most 1. Gates whose qubits or distances
// are out of range are left to fail on the ordinary path.
bool has_unroutable_gate(const TwoQubitDAG& dag_in, const std::vector<std::size_t>& v2p,
                         const CouplingMap& coupling_map, const Dists& dists);

}  // namespace corvane::routing
