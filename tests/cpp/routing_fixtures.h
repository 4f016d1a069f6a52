// Devices, circuits, a GF(2) simulator and a single worker run shared by
// the routing tests.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <map>
#include <random>
#include <set>
#include <utility>
#include <vector>

#include "routing/ops.h"
#include "routing/types.h"
#include "routing/worker.h"

namespace corvane::routing::fixtures {

inline CouplingMap both_ways(const std::vector<std::pair<std::size_t, std::size_t>>& edges) {
  CouplingMap out;
  for (const auto& [a, b] : edges) {
    out.push_back({a, b});
    out.push_back({b, a});
  }
  return out;
}

inline CouplingMap line(std::size_t n) {
  std::vector<std::pair<std::size_t, std::size_t>> e;
  for (std::size_t i = 0; i + 1 < n; ++i) e.push_back({i, i + 1});
  return both_ways(e);
}

inline CouplingMap grid(std::size_t rows, std::size_t cols) {
  std::vector<std::pair<std::size_t, std::size_t>> e;
  for (std::size_t r = 0; r < rows; ++r)
    for (std::size_t c = 0; c < cols; ++c) {
      const std::size_t q = r * cols + c;
      if (c + 1 < cols) e.push_back({q, q + 1});
      if (r + 1 < rows) e.push_back({q, q + cols});
    }
  return both_ways(e);
}

// Heavy-hex lattice: `rows` lines of `row_len` qubits joined by bridge qubits
// every fourth column, alternating between columns 0,4,.. and 2,6,..; the
// first line lacks its last column and the last line its first. (7, 15)
// gives 127 qubits, (3, 11) gives 37.
inline CouplingMap heavy_hex(std::size_t rows, std::size_t row_len) {
  std::vector<std::pair<std::size_t, std::size_t>> e;
  std::size_t next = 0;
  std::vector<std::pair<std::size_t, std::size_t>> bridges;  // (column, qubit)
  for (std::size_t r = 0; r < rows; ++r) {
    std::map<std::size_t, std::size_t> line_q;
    const std::size_t first = r == rows - 1 ? 1 : 0;
    const std::size_t last = r == 0 ? row_len - 1 : row_len;
    for (std::size_t c = first; c < last; ++c) line_q[c] = next++;
    for (const auto& [c, q] : line_q)
      if (line_q.count(c + 1)) e.push_back({q, line_q[c + 1]});
    for (const auto& [c, b] : bridges)
      if (line_q.count(c)) e.push_back({b, line_q[c]});
    bridges.clear();
    if (r + 1 < rows)
      for (std::size_t c = r % 2 == 0 ? 0 : 2; c < row_len; c += 4)
        if (line_q.count(c)) {
          e.push_back({line_q[c], next});
          bridges.push_back({c, next++});
        }
  }
  return both_ways(e);
}

inline std::size_t num_qubits(const CouplingMap& cm) {
  std::size_t n = 0;
  for (const auto& [a, b] : cm) n = std::max<std::size_t>({n, a + 1, b + 1});
  return n;
}

inline Dists distances(const CouplingMap& cm, std::size_t n) {
  std::vector<std::vector<std::size_t>> adj(n);
  for (const auto& [a, b] : cm) {
    adj[a].push_back(b);
    adj[b].push_back(a);
  }
  Dists d(n, std::vector<std::int32_t>(n, DISTS_MAX_VALUE));
  for (std::size_t s = 0; s < n; ++s) {
    d[s][s] = 0;
    std::deque<std::size_t> q{s};
    while (!q.empty()) {
      const std::size_t u = q.front();
      q.pop_front();
      for (const std::size_t v : adj[u])
        if (d[s][v] == DISTS_MAX_VALUE) {
          d[s][v] = d[s][u] + 1;
          q.push_back(v);
        }
    }
  }
  return d;
}

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

inline std::vector<Operation> random_cx(std::size_t n, std::size_t gates, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<Operation> ops;
  for (std::size_t i = 0; i < gates; ++i) {
    const std::size_t a = rng() % n;
    std::size_t b = rng() % (n - 1);
    if (b >= a) ++b;
    ops.push_back(Operation{OpTag::Cx, i, a, b});
  }
  return ops;
}

// The CX pattern of a quantum Fourier transform: every ordered pair i < j.
inline std::vector<Operation> qft_cx(std::size_t n) {
  std::vector<Operation> ops;
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t j = i + 1; j < n; ++j) ops.push_back(Operation{OpTag::Cx, ops.size(), i, j});
  return ops;
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
