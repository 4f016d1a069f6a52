// Devices, circuits, a GF(2) simulator and a single worker run shared by
// the routing tests (the devices and circuits that the benchmark uses too
// are in routing_devices.h).
#pragma once

#include <algorithm>
#include <cstdint>
#include <set>
#include <utility>
#include <vector>

#include "routing/ops.h"
#include "routing/types.h"
#include "routing/worker.h"
#include "routing_devices.h"

namespace corvane::routing::fixtures {

// Distances on line(6) that grow closer as qubits move apart, with (2, 3)
// the only executable pair: the policy keeps a gate's qubits apart.
inline Dists misleading_line6_distances() {
  Dists d = distances(line(6), 6);
  for (std::size_t p = 0; p < 6; ++p)
    for (std::size_t r = 0; r < 6; ++r)
      if (p != r) d[p][r] = 10 - d[p][r];
  d[2][3] = d[3][2] = 1;
  return d;
}

// Rows of the GF(2) map a CX/SWAP circuit applies: row q is the set of input
// bits whose parity qubit q ends with.
using Bits = std::vector<std::vector<bool>>;

inline Bits simulate_virtual(const std::vector<Operation>& ops, std::size_t n) {
  Bits rows(n, std::vector<bool>(n, false));
  for (std::size_t q = 0; q < n; ++q) rows[q][q] = true;
  for (const Operation& op : ops) {
    if (op.kind.tag == OpTag::Cx) {
      for (std::size_t k = 0; k < n; ++k) rows[op.q1][k] = rows[op.q1][k] != rows[op.q0][k];
    } else if (op.kind.tag == OpTag::Swap) {
      std::swap(rows[op.q0], rows[op.q1]);
    }
  }
  return rows;
}

// Runs a routed circuit on physical qubits: caller qubit j starts on
// physical initial[j] and is read from physical final_[j].
inline Bits simulate_routed(const std::vector<Operation>& routed, std::size_t n,
                            const std::vector<std::size_t>& initial,
                            const std::vector<std::size_t>& final_) {
  Bits phys(n, std::vector<bool>(n, false));
  for (std::size_t j = 0; j < n; ++j) phys[initial[j]][j] = true;
  for (const Operation& op : routed) {
    if (op.kind.tag == OpTag::Cx) {
      for (std::size_t k = 0; k < n; ++k) phys[op.q1][k] = phys[op.q1][k] != phys[op.q0][k];
    } else if (op.kind.tag == OpTag::Swap) {
      std::swap(phys[op.q0], phys[op.q1]);
    }
  }
  Bits out(n);
  for (std::size_t j = 0; j < n; ++j) out[j] = phys[final_[j]];
  return out;
}

inline bool all_on_edges(const std::vector<Operation>& routed, const CouplingMap& cm) {
  std::set<std::pair<std::size_t, std::size_t>> edges;
  for (const auto& [a, b] : cm) {
    edges.insert({a, b});
    edges.insert({b, a});
  }
  return std::all_of(routed.begin(), routed.end(),
                     [&](const Operation& op) { return edges.count({op.q0, op.q1}) > 0; });
}

inline bool is_permutation_pair(const std::vector<std::size_t>& p2v,
                                const std::vector<std::size_t>& v2p) {
  if (p2v.size() != v2p.size()) return false;
  for (std::size_t p = 0; p < p2v.size(); ++p)
    if (p2v[p] >= v2p.size() || v2p[p2v[p]] != p) return false;
  return true;
}

// One worker on the calling thread, as a pass runs it: the stall limit of
// the device, and the pass's step cap unless a test chooses a smaller one.
inline RoutingResult route_worker_capped(bool swap_as_perm, const std::vector<Operation>& ops,
                                         const CouplingMap& cm, const Dists& dists,
                                         const ErrMap& err_map, const MetricNames& names,
                                         std::size_t n, std::uint64_t max_steps) {
  return route_worker_limited(swap_as_perm, ops, cm, dists, err_map, names, n, max_steps,
                              stall_limit(cm, dists, n));
}

inline RoutingResult route_worker(bool swap_as_perm, const std::vector<Operation>& ops,
                                  const CouplingMap& cm, const Dists& dists, const ErrMap& err_map,
                                  const MetricNames& names, std::size_t n) {
  return route_worker_capped(swap_as_perm, ops, cm, dists, err_map, names, n, MAX_ROUTING_STEPS);
}

}  // namespace corvane::routing::fixtures
