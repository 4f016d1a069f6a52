// Devices, their distances and standard circuits, shared by the routing
// benchmark and the routing tests.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <random>
#include <utility>
#include <vector>

#include "routing/ops.h"
#include "routing/types.h"

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

}  // namespace corvane::routing::fixtures
