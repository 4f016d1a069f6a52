// The state of one routing: the gates still to route (on virtual qubits),
// the routed circuit (on physical qubits), and the layout between the two.
#pragma once

#include <cstddef>
#include <vector>

#include "routing/dag.h"
#include "routing/types.h"

namespace corvane::routing {

class Env {
 public:
  // dag_in neither merges nor folds and tracks its front; dag_out merges and
  // folds SWAPs (the worker resets that flag to its Routing's choice).
  Env(const CouplingMap& coupling_map, std::size_t n);

  // Moves every front gate whose physical qubits are at distance at most 1,
  // and every gate that becomes ready behind it, into dag_out.
  void execute_operations(const Dists& dists);
  // The same after a SWAP moved virtual qubits qa and qb, when every front
  // gate was found not executable before it: only gates on qa or qb can have
  // become executable, so only they are looked at (in front order, as the
  // full pass would meet them).
  void execute_operations_after_swap(const Dists& dists, std::size_t qa, std::size_t qb);
  // Inserts the SWAP of candidate slot `action`; an empty slot does nothing.
  void apply_swap(std::size_t action, const CouplingMap& coupling_map);
  // dag_out's gates in depth-first topological order.
  std::vector<Operation> ordered_operations() const;

  TwoQubitDAG dag_in;
  TwoQubitDAG dag_out;
  std::vector<std::size_t> candidates;
  std::vector<std::size_t> p2v;
  std::vector<std::size_t> v2p;

 private:
  std::vector<NodeIndex> work_;
  std::vector<NodeIndex> successors_;
  void execute_work(const Dists& dists);
};

// The depth-first topological order of a graph: nodes in ascending index
// order as roots, successors pushed newest edge first, the finish order
// reversed. A cycle is a fault.
std::vector<NodeIndex> depth_first_topological_order(const StableGraph<Operation>& graph);

}  // namespace corvane::routing
