#include "routing/worker.h"

#include <algorithm>
#include <numeric>
#include <map>
#include <string>
#include <tuple>

#include "common/fault.h"
#include "common/interrupt.h"
#include "routing/env.h"
#include "routing/metrics.h"
#include "routing/policy.h"

namespace corvane::routing {

namespace {

// Connected components of the coupling graph over the physical qubits.
std::vector<std::size_t> components(std::size_t n, const CouplingMap& coupling_map) {
  std::vector<std::size_t> parent(n);
  std::iota(parent.begin(), parent.end(), std::size_t{0});
  auto find = [&](std::size_t x) {
    while (parent[x] != x) x = parent[x] = parent[parent[x]];
    return x;
  };
  for (const auto& [a, b] : coupling_map)
    if (a < n && b < n) parent[find(a)] = find(b);
  for (std::size_t p = 0; p < n; ++p) parent[p] = find(p);
  return parent;
}

}  // namespace

bool has_unroutable_gate(const TwoQubitDAG& dag_in, const std::vector<std::size_t>& v2p,
                         const CouplingMap& coupling_map, const Dists& dists) {
  const std::size_t n = v2p.size();
  const std::vector<std::size_t> comp = components(n, coupling_map);
  std::vector<std::vector<std::size_t>> members(n);
  for (std::size_t p = 0; p < n; ++p) members[comp[p]].push_back(p);

  // Whether a gate can execute with its qubits at p and r; a missing entry
  // counts as possible so that the ordinary path raises its index fault.
  auto near = [&](std::size_t p, std::size_t r) {
    if (p >= dists.size() || r >= dists[p].size()) return true;
    return dists[p][r] <= 1;
  };
  // Cached per (component, component, same qubit).
  std::map<std::tuple<std::size_t, std::size_t, bool>, bool> cache;
  auto reachable = [&](std::size_t c0, std::size_t c1, bool same_qubit) {
    const auto key = std::make_tuple(c0, c1, same_qubit);
    if (auto it = cache.find(key); it != cache.end()) return it->second;
    bool ok = false;
    if (same_qubit) {
      for (std::size_t p : members[c0])
        if ((ok = near(p, p))) break;
    } else {
      for (std::size_t p : members[c0]) {
        for (std::size_t r : members[c1])
          if (p != r && (ok = near(p, r))) break;
        if (ok) break;
      }
    }
    cache.emplace(key, ok);
    return ok;
  };

  bool hopeless = false;
  bool malformed = false;
  dag_in.graph.for_each_node([&](NodeIndex x) {
    if (hopeless || malformed) return;
    const Operation& op = dag_in.graph[x];
    if (op.q0 >= n || op.q1 >= n) {
      malformed = true;
      return;
    }
    const std::size_t c0 = comp[v2p[op.q0]];
    const std::size_t c1 = comp[v2p[op.q1]];
    if (!reachable(c0, c1, op.q0 == op.q1)) hopeless = true;
  });
  return hopeless && !malformed;
}

std::uint64_t stall_limit(const CouplingMap& coupling_map, const Dists& dists,
                          std::size_t num_qubits) {
  const std::size_t bound = std::min(num_qubits, dists.size());
  std::vector<std::size_t> device;
  std::vector<bool> seen(bound, false);
  for (const auto& [a, b] : coupling_map)
    for (const std::uint64_t q : {a, b})
      if (q < bound && !seen[q]) {
        seen[q] = true;
        device.push_back(static_cast<std::size_t>(q));
      }
  // A consistent distance on the device is below its size.
  const std::uint64_t size = device.size();
  std::uint64_t farthest = 1;
  for (const std::size_t p : device) {
    const auto& row = dists[p];
    for (const std::size_t r : device)
      if (r < row.size() && row[r] != DISTS_MAX_VALUE && row[r] > 0)
        farthest = std::max<std::uint64_t>(farthest, static_cast<std::uint64_t>(row[r]));
    if (farthest >= size) break;
  }
  farthest = std::min<std::uint64_t>(farthest, std::max<std::uint64_t>(size, 1));
  return std::max<std::uint64_t>(1024, 16 * size * farthest);
}

void check_adjacent_pairs_coupled(const CouplingMap& coupling_map, const Dists& dists,
                                  std::size_t num_qubits) {
  const std::size_t rows = std::min(num_qubits, dists.size());
  if (rows == 0) return;
  // Each coupled pair once, as (low, high).
  std::vector<std::pair<std::uint64_t, std::uint64_t>> coupled;
  coupled.reserve(coupling_map.size());
  for (const auto& [a, b] : coupling_map)
    if (a != b && a < num_qubits && b < num_qubits) coupled.emplace_back(std::minmax(a, b));
  std::sort(coupled.begin(), coupled.end());
  coupled.erase(std::unique(coupled.begin(), coupled.end()), coupled.end());
  // The coupled neighbours of each row's qubit, packed.
  std::vector<std::size_t> first(rows + 1, 0);
  for (const auto& [a, b] : coupled) {
    if (a < rows) ++first[a + 1];
    if (b < rows) ++first[b + 1];
  }
  std::partial_sum(first.begin(), first.end(), first.begin());
  std::vector<std::size_t> neighbours(first[rows]);
  std::vector<std::size_t> fill(first.begin(), first.end() - 1);
  for (const auto& [a, b] : coupled) {
    if (a < rows) neighbours[fill[a]++] = b;
    if (b < rows) neighbours[fill[b]++] = a;
  }

  for (std::size_t p = 0; p < rows; ++p) {
    const std::int32_t* row = dists[p].data();
    const std::size_t cols = std::min(num_qubits, dists[p].size());
    // Every entry of at most 1 must be the diagonal or a coupled pair: count
    // them all (a loop the compiler vectorizes) against those allowed.
    std::size_t near = 0;
    for (std::size_t r = 0; r < cols; ++r) near += static_cast<std::size_t>(row[r] <= 1);
    std::size_t allowed = p < cols && row[p] <= 1;
    for (std::size_t k = first[p]; k < first[p + 1]; ++k)
      allowed += neighbours[k] < cols && row[neighbours[k]] <= 1;
    if (near == allowed) continue;
    for (std::size_t r = 0; r < cols; ++r) {
      if (r == p || row[r] > 1) continue;
      const std::pair<std::uint64_t, std::uint64_t> pair{std::min(p, r), std::max(p, r)};
      if (!std::binary_search(coupled.begin(), coupled.end(), pair)) {
        fault("dists[" + std::to_string(p) + "][" + std::to_string(r) + "] is " +
              std::to_string(row[r]) + ", but the coupling map couples physical qubits " +
              std::to_string(p) + " and " + std::to_string(r) + " in neither direction");
      }
    }
  }
}

RoutingResult route_worker_limited(bool swap_as_perm, const std::vector<Operation>& ops,
                                   const CouplingMap& coupling_map, const Dists& dists,
                                   const ErrMap& err_map, const MetricNames& metrics_names,
                                   std::size_t num_qubits, std::uint64_t max_steps,
                                   std::uint64_t patience, const std::atomic<bool>* stop) {
  Env env(coupling_map, num_qubits);
  TwoQubitDAG& dag_in = env.dag_in;
  for (const Operation& op : ops) dag_in.push(op);
  dag_in.generations = TopologicalGenerations(dag_in.graph);
  dag_in.freeze_successors();
  dag_in.set_distance_bound(dists);
  env.dag_out.flag_swap_as_perm = swap_as_perm;
  env.execute_operations(dists);

  bool finished = dag_in.graph.node_count() == 0;
  std::uint64_t steps = 0;
  // A gate that can never execute would keep the worker stepping until the
  // cap; end now with the same outcome.
  if (!finished && !has_unroutable_gate(dag_in, env.v2p, coupling_map, dists)) {
    std::size_t remaining = dag_in.graph.node_count();
    std::uint64_t idle = 0;
    SlotCodes codes;
    for (;;) {
      if (steps % STOP_CHECK_STEPS == 0) {
        if (stop != nullptr && stop->load(std::memory_order_relaxed)) break;
        interrupt::poll();
      }
      dag_in.update_lookahead();
      dag_in.swap_candidates(env.v2p, env.candidates);
      // The policy reads only the signs of the features.
      if (!dag_in.feature_codes(env.candidates, coupling_map, env.v2p, env.p2v, codes))
        codes = slot_codes(dag_in.features(env.candidates, coupling_map, env.v2p, dists));
      const std::size_t action = first_maximum(routing_policy_forward(codes));
      // Every front gate was found not executable after the last step: only
      // a SWAP can change that, and only for the gates on the qubits it moves.
      env.apply_swap(action, coupling_map);
      if (action < env.candidates.size()) {
        const auto [a, b] = coupling_map[env.candidates[action]];
        env.execute_operations_after_swap(dists, env.p2v[a], env.p2v[b]);
        dag_in.swapped(a, b, env.v2p, env.p2v);
      }
      ++steps;
      const std::size_t left = dag_in.graph.node_count();
      if (left == 0) {
        finished = true;
        break;
      }
      if (steps >= max_steps) break;
      idle = left < remaining ? 0 : idle + 1;
      remaining = left;
      if (idle >= patience) break;
    }
  }

  RoutingResult result;
  if (finished) result.ops = env.ordered_operations();
  metrics::CircuitMetrics m(num_qubits, metrics_names, err_map);
  for (const Operation& op : result.ops) m.apply(op);
  result.metrics = m.get_metrics();
  result.layout.perm = env.dag_out.perm;
  result.layout.p2v = env.p2v;
  result.layout.v2p = env.v2p;
  result.steps = steps;
  result.finished = finished;
  return result;
}

bool worth_keeping(const RoutingResult& result) {
  if (!result.finished) return false;
  if (!result.ops.empty()) return true;
  return result.layout != Layout::identity(result.layout.perm.size());
}

}  // namespace corvane::routing
