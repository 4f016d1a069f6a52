#include "routing/env.h"

#include <algorithm>
#include <cstdint>
#include <numeric>

#include "common/fault.h"

namespace corvane::routing {

Env::Env(const CouplingMap& coupling_map, std::size_t n)
    : dag_in(false, false, coupling_map, n, true),
      dag_out(true, true, coupling_map, n, false),
      p2v(n),
      v2p(n) {
  std::iota(p2v.begin(), p2v.end(), std::size_t{0});
  std::iota(v2p.begin(), v2p.end(), std::size_t{0});
  candidates.reserve(MAX_CANDIDATES);
  successors_.reserve(4);
}

void Env::execute_operations(const Dists& dists) {
  // Work on a copy: the real ready queue changes as gates leave dag_in.
  work_.assign(dag_in.generations.ready.begin(), dag_in.generations.ready.end());
  execute_work(dists);
}

void Env::execute_operations_after_swap(const Dists& dists, std::size_t qa, std::size_t qb) {
  work_.clear();
  for (const NodeIndex x : dag_in.generations.ready) {
    const auto [q0, q1] = dag_in.qubits_of(x);
    if (q0 == qa || q0 == qb || q1 == qa || q1 == qb) work_.push_back(x);
  }
  execute_work(dists);
}

void Env::execute_work(const Dists& dists) {
  for (std::size_t head = 0; head < work_.size(); ++head) {
    const NodeIndex x = work_[head];
    const Operation op = dag_in.graph[x];
    const std::size_t p0 = at(v2p, op.q0);
    const std::size_t p1 = at(v2p, op.q1);
    if (at(at(dists, p0), p1) > 1) continue;  // not executable now
    dag_out.push(Operation{op.kind, 0, p0, p1});
    successors_.clear();
    dag_in.graph.for_each_successor(x, [&](NodeIndex s) { successors_.push_back(s); });
    dag_in.remove_node(x);
    for (const NodeIndex s : successors_)
      if (dag_in.graph.in_degree(s) == 0) work_.push_back(s);
  }
}

void Env::apply_swap(std::size_t action, const CouplingMap& coupling_map) {
  if (action >= candidates.size()) return;
  const auto [a, b] = at(coupling_map, candidates[action]);
  dag_out.push(Operation{OpTag::Swap, 0, a, b});
  if (a >= p2v.size()) index_fault(p2v.size(), a);
  if (b >= p2v.size()) index_fault(p2v.size(), b);
  std::swap(p2v[a], p2v[b]);
  at(v2p, p2v[a]) = a;
  at(v2p, p2v[b]) = b;
}

std::vector<NodeIndex> depth_first_topological_order(const StableGraph<Operation>& graph) {
  const std::size_t bound = graph.node_bound();
  // The successor lists, as listed (newest edge first), copied once into one
  // array: the search then reads them in memory order. Edge indices are 32
  // bits, so are the offsets.
  std::vector<std::uint32_t> start(bound + 1, 0);
  std::vector<NodeIndex> next;
  next.reserve(2 * graph.node_count());
  for (std::size_t x = 0; x < bound; ++x) {
    start[x] = static_cast<std::uint32_t>(next.size());
    if (graph.contains(static_cast<NodeIndex>(x)))
      graph.for_each_successor(static_cast<NodeIndex>(x), [&](NodeIndex s) { next.push_back(s); });
  }
  start[bound] = static_cast<std::uint32_t>(next.size());

  // A node stays discovered, not finished, exactly while the search is below
  // it: an edge to such a node closes a cycle.
  enum : std::uint8_t { kNew, kDiscovered, kFinished };
  std::vector<std::uint8_t> state(bound, kNew);
  std::vector<NodeIndex> stack;
  std::vector<NodeIndex> order;
  order.reserve(graph.node_count());
  graph.for_each_node([&](NodeIndex root) {
    if (state[root] != kNew) return;
    stack.push_back(root);
    while (!stack.empty()) {
      const NodeIndex x = stack.back();
      if (state[x] == kNew) {
        state[x] = kDiscovered;
        for (std::uint32_t e = start[x]; e < start[x + 1]; ++e) {
          if (state[next[e]] == kNew)
            stack.push_back(next[e]);
          else if (state[next[e]] == kDiscovered)
            fault("The circuit is ill formed! This should not be reached.");
        }
      } else {
        stack.pop_back();
        if (state[x] == kDiscovered) {
          state[x] = kFinished;
          order.push_back(x);
        }
      }
    }
  });
  std::reverse(order.begin(), order.end());
  return order;
}

std::vector<Operation> Env::ordered_operations() const {
  const std::vector<NodeIndex> order = depth_first_topological_order(dag_out.graph);
  std::vector<Operation> ops;
  ops.reserve(order.size());
  for (const NodeIndex x : order) ops.push_back(dag_out.graph[x]);
  return ops;
}

}  // namespace corvane::routing
