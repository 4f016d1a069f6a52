// The two-qubit-gate DAG: dependency edges, the combination of a gate with
// the gate standing last on its pair, SWAP folding, `last` repair and the
// front layer kept by remove_node.

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "common/fault.h"
#include "test_support.h"
#include "routing/dag.h"
#include "routing/env.h"
#include "routing/graph.h"

namespace corvane::routing {
namespace {

using testing_support::fault_of;
using testing_support::Signed;
using testing_support::apply_gate;
using testing_support::coded;
using testing_support::gate;
using testing_support::line_map;

using V = std::vector<NodeIndex>;

// An output DAG (merging) unless told otherwise.
TwoQubitDAG make_dag(bool merge, bool fold, std::size_t n = 4, bool track = false) {
  return TwoQubitDAG(merge, fold, line_map(n), n, track);
}

V node_list(const TwoQubitDAG& d) {
  V out;
  d.graph.for_each_node([&](NodeIndex x) { out.push_back(x); });
  return out;
}

std::vector<Operation> node_ops(const TwoQubitDAG& d) {
  std::vector<Operation> out;
  for (NodeIndex x : node_list(d)) out.push_back(d.graph[x]);
  return out;
}

// The gates in depth-first topological order, without their ids.
std::vector<std::pair<OpTag, std::pair<std::size_t, std::size_t>>> ordered(const TwoQubitDAG& d) {
  std::vector<std::pair<OpTag, std::pair<std::size_t, std::size_t>>> out;
  for (NodeIndex x : depth_first_topological_order(d.graph)) {
    const Operation& op = d.graph[x];
    out.push_back({op.kind.tag, {op.q0, op.q1}});
  }
  return out;
}

std::set<std::pair<NodeIndex, NodeIndex>> edge_set(const TwoQubitDAG& d) {
  std::set<std::pair<NodeIndex, NodeIndex>> out;
  for (NodeIndex x : node_list(d))
    d.graph.for_each_successor(x, [&](NodeIndex s) { out.insert({x, s}); });
  return out;
}

std::size_t edge_count(const TwoQubitDAG& d) {
  std::size_t n = 0;
  for (NodeIndex x : node_list(d)) d.graph.for_each_successor(x, [&](NodeIndex) { ++n; });
  return n;
}

V preds(const TwoQubitDAG& d, NodeIndex x) {
  V out;
  d.graph.for_each_predecessor(x, [&](NodeIndex p) { out.push_back(p); });
  return out;
}

std::size_t cost_sum(const TwoQubitDAG& d) {
  std::size_t s = 0;
  for (const Operation& op : node_ops(d)) s += op.kind.cx_cost();
  return s;
}

std::vector<std::size_t> identity(std::size_t n) {
  std::vector<std::size_t> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = i;
  return v;
}

using Ordered = std::vector<std::pair<OpTag, std::pair<std::size_t, std::size_t>>>;

// --- construction -----------------------------------------------------------

TEST(DagConstruction, StartsEmpty) {
  const TwoQubitDAG d = make_dag(true, false, 5);
  EXPECT_EQ(d.graph.node_count(), 0u);
  EXPECT_EQ(d.perm, identity(5));
  EXPECT_TRUE(d.lookahead.empty());
  EXPECT_TRUE(d.generations.ready.empty());
  EXPECT_EQ(d.last_one_qubit, kNoNode);
  for (std::size_t q = 0; q < 5; ++q) EXPECT_EQ(d.last.get(q), kNoNode);
  EXPECT_EQ(d.next_id, 0u);
  EXPECT_EQ(d.cx_count, 0u);
  EXPECT_TRUE(d.flag_merge);
  EXPECT_FALSE(d.flag_swap_as_perm);
  EXPECT_FALSE(d.flag_track_front);
}

TEST(DagConstruction, IncidentListsFollowCouplingMapOrder) {
  const CouplingMap m = {{0, 1}, {1, 2}, {2, 2}, {3, 0}, {1, 0}};
  const TwoQubitDAG d(false, false, m, 5, true);
  auto inc = [&](std::size_t p) {
    auto s = d.incident(p);
    return std::vector<std::size_t>(s.begin(), s.end());
  };
  EXPECT_EQ(inc(0), (std::vector<std::size_t>{0, 3, 4}));
  EXPECT_EQ(inc(1), (std::vector<std::size_t>{0, 1, 4}));
  EXPECT_EQ(inc(2), (std::vector<std::size_t>{1, 2, 2}));  // (2, 2) listed twice
  EXPECT_EQ(inc(3), (std::vector<std::size_t>{3}));
  EXPECT_TRUE(inc(4).empty());
}

TEST(DagConstruction, EdgeEndAtOrBeyondQubitCountFaults) {
  EXPECT_EQ(fault_of([] { TwoQubitDAG d(true, true, {{0, 1}, {2, 4}}, 4, false); }),
            "index out of bounds: the len is 4 but the index is 4");
  EXPECT_EQ(fault_of([] { TwoQubitDAG d(true, true, {{9, 1}}, 4, false); }),
            "index out of bounds: the len is 4 but the index is 9");
  // The first bad end in coupling-map order is the one reported.
  EXPECT_EQ(fault_of([] { TwoQubitDAG d(false, false, {{0, 1}, {1, 7}, {12, 0}}, 3, true); }),
            "index out of bounds: the len is 3 but the index is 7");
  EXPECT_EQ(fault_of([] { TwoQubitDAG d(false, false, {{0, 0}}, 0, true); }),
            "index out of bounds: the len is 0 but the index is 0");
  EXPECT_EQ(fault_of([] { TwoQubitDAG d(false, false, {{3, 3}}, 4, true); }), "");
}

// --- SWAP folding -----------------------------------------------------------

TEST(DagSwapFold, LeadingSwapExchangesPermAndAddsNoNode) {
  TwoQubitDAG d = make_dag(true, true);
  d.push(gate(OpTag::Swap, 0, 1));
  EXPECT_EQ(d.perm, (std::vector<std::size_t>{1, 0, 2, 3}));
  EXPECT_EQ(d.graph.node_count(), 0u);
  EXPECT_EQ(d.cx_count, 0u);
  EXPECT_EQ(d.next_id, 1u);
  EXPECT_EQ(d.last.get(0), kNoNode);
  EXPECT_EQ(d.last.get(1), kNoNode);
  d.push(gate(OpTag::Swap, 1, 0));
  EXPECT_EQ(d.perm, identity(4));
  EXPECT_EQ(d.graph.node_count(), 0u);
  EXPECT_EQ(d.next_id, 2u);
  // Folds compose: (0 1) then (1 2).
  d.push(gate(OpTag::Swap, 0, 1));
  d.push(gate(OpTag::Swap, 1, 2));
  EXPECT_EQ(d.perm, (std::vector<std::size_t>{1, 2, 0, 3}));
}

TEST(DagSwapFold, FlagClearMakesANodeOfCostThree) {
  TwoQubitDAG d = make_dag(true, false);
  d.push(gate(OpTag::Swap, 0, 1));
  EXPECT_EQ(d.perm, identity(4));
  ASSERT_EQ(d.graph.node_count(), 1u);
  const NodeIndex x = node_list(d)[0];
  EXPECT_EQ(d.graph[x].kind.tag, OpTag::Swap);
  EXPECT_EQ(d.cx_count, 3u);
  EXPECT_EQ(d.last.get(0), x);
  EXPECT_EQ(d.last.get(1), x);
}

TEST(DagSwapFold, SwapWithAGateOnOneQubitIsANode) {
  for (const Operation& before : {gate(OpTag::Cx, 1, 2), gate(OpTag::Cx, 2, 0)}) {
    TwoQubitDAG d = make_dag(true, true);
    d.push(before);
    d.push(gate(OpTag::Swap, 0, 1));
    EXPECT_EQ(d.perm, identity(4));
    EXPECT_EQ(d.graph.node_count(), 2u);
    EXPECT_EQ(d.cx_count, 4u);
    EXPECT_EQ(edge_count(d), 1u);
  }
}

TEST(DagSwapFold, FoldingAQubitBeyondPermFaults) {
  TwoQubitDAG d = make_dag(true, true, 4);
  EXPECT_EQ(fault_of([&] { d.push(gate(OpTag::Swap, 0, 4)); }),
            "index out of bounds: the len is 4 but the index is 4");
  EXPECT_EQ(fault_of([&] { d.push(gate(OpTag::Swap, 9, 1)); }),
            "index out of bounds: the len is 4 but the index is 9");
  EXPECT_EQ(d.perm, identity(4));
  // Without folding, the same qubit is only a map key here.
  TwoQubitDAG e = make_dag(true, false, 4);
  EXPECT_EQ(fault_of([&] { e.push(gate(OpTag::Swap, 0, 4)); }), "");
  EXPECT_EQ(e.graph.node_count(), 1u);
  EXPECT_NE(e.last.get(4), kNoNode);
}

TEST(DagLast, QubitsBeyondTheCountAreOrdinaryKeys) {
  TwoQubitDAG d = make_dag(true, false, 2);
  d.push(gate(OpTag::Cx, 0, 7));    // 0
  d.push(gate(OpTag::Cx, 7, 900));  // 1, after 0
  EXPECT_EQ(d.last.get(7), 1u);
  EXPECT_EQ(d.last.get(900), 1u);
  EXPECT_EQ(preds(d, 1), V{0});
  d.push(gate(OpTag::WaitAll, 1, 1));  // 2, waits for both
  std::set<NodeIndex> p;
  for (NodeIndex x : preds(d, 2)) p.insert(x);
  EXPECT_EQ(p, (std::set<NodeIndex>{0, 1}));
  d.push(gate(OpTag::Cx, 7, 900));  // cancels 1; 7 falls back to gate 0
  EXPECT_EQ(d.last.get(7), 0u);
  EXPECT_EQ(d.last.get(900), kNoNode);
  EXPECT_EQ(d.cx_count, 1u);
}

TEST(DagLast, PushAgainstAVacantLastGateFaults) {
  // remove_node leaves `last` alone (the input DAG never pushes again).
  TwoQubitDAG d = make_dag(false, false, 4, true);
  d.push(gate(OpTag::Cx, 0, 1));
  d.generations = TopologicalGenerations(d.graph);
  d.remove_node(0);
  EXPECT_EQ(d.last.get(0), 0u);
  EXPECT_EQ(fault_of([&] { d.push(gate(OpTag::Cx, 1, 0)); }),
            "called `Option::unwrap()` on a `None` value");
}

// --- combination table ----------------------------------------------------

TEST(DagCombine, CxCancelsOnlyWithTheSameDirection) {
  TwoQubitDAG d = make_dag(true, false);
  d.push(gate(OpTag::Cx, 0, 1));
  d.push(gate(OpTag::Cx, 0, 1));
  EXPECT_EQ(d.graph.node_count(), 0u);
  EXPECT_EQ(d.cx_count, 0u);
  EXPECT_EQ(d.next_id, 2u);
  EXPECT_EQ(d.last.get(0), kNoNode);
  EXPECT_EQ(d.last.get(1), kNoNode);

  TwoQubitDAG e = make_dag(true, false);
  e.push(gate(OpTag::Cx, 0, 1));
  e.push(gate(OpTag::Cx, 1, 0));
  EXPECT_EQ(e.graph.node_count(), 2u);
  EXPECT_EQ(edge_count(e), 1u);
  EXPECT_EQ(e.cx_count, 2u);
  EXPECT_EQ(ordered(e), (Ordered{{OpTag::Cx, {0, 1}}, {OpTag::Cx, {1, 0}}}));
}

TEST(DagCombine, SwapAndSymmetricCxCancelInEitherOrder) {
  for (OpTag t : {OpTag::Swap, OpTag::SymmetricCx}) {
    for (bool reversed : {false, true}) {
      TwoQubitDAG d = make_dag(true, false);
      d.push(gate(t, 0, 1));
      d.push(reversed ? gate(t, 1, 0) : gate(t, 0, 1));
      EXPECT_EQ(d.graph.node_count(), 0u) << static_cast<int>(t) << reversed;
      EXPECT_EQ(d.cx_count, 0u);
      EXPECT_EQ(d.last.get(0), kNoNode);
    }
  }
}

TEST(DagCombine, MergingOffMakesEveryGateANode) {
  TwoQubitDAG d = make_dag(false, false);
  d.push(gate(OpTag::Cx, 0, 1));
  d.push(gate(OpTag::Cx, 0, 1));
  d.push(gate(OpTag::Swap, 1, 0));
  d.push(gate(OpTag::Block3, 0, 1));
  d.push(gate(OpTag::Block2, 0, 1));
  EXPECT_EQ(d.graph.node_count(), 5u);
  EXPECT_EQ(edge_count(d), 4u);
  EXPECT_EQ(d.cx_count, 1u + 1 + 3 + 3 + 2);
  EXPECT_EQ(push_action(gate(OpTag::Cx, 0, 1), gate(OpTag::Cx, 0, 1), false), PushAction::Add);
}

TEST(DagCombine, Block3AbsorbsLaterGatesOnItsPair) {
  const std::vector<Operation> later = {gate(OpTag::Cx, 0, 1),     gate(OpTag::Cx, 1, 0),
                                        gate(OpTag::SymmetricCx, 1, 0), gate(OpTag::Block2, 0, 1),
                                        coded(1, 0, 3, 99),          gate(OpTag::Block3, 1, 0)};
  for (const Operation& g : later) {
    TwoQubitDAG d = make_dag(true, false);
    d.push(gate(OpTag::Block3, 0, 1));
    d.push(g);
    ASSERT_EQ(d.graph.node_count(), 1u) << static_cast<int>(g.kind.tag);
    const Operation kept = node_ops(d)[0];
    EXPECT_EQ(kept.kind.tag, OpTag::Block3);
    EXPECT_EQ(kept.q0, 0u);
    EXPECT_EQ(kept.q1, 1u);
    EXPECT_EQ(kept.id, 0u);  // the original node, untouched
    EXPECT_EQ(d.cx_count, 3u);
    EXPECT_EQ(d.next_id, 2u);
  }
}

TEST(DagCombine, SwapIsReorderedInFrontOfBlock3) {
  TwoQubitDAG d = make_dag(true, false);
  d.push(gate(OpTag::Block3, 0, 1));
  d.push(gate(OpTag::Swap, 0, 1));
  // The SWAP goes first; the Block3, now on (1, 0), then swallows it.
  EXPECT_EQ(ordered(d), (Ordered{{OpTag::Block3, {1, 0}}}));
  EXPECT_EQ(d.cx_count, 3u);
  EXPECT_EQ(d.perm, identity(4));

  TwoQubitDAG f = make_dag(true, true);
  f.push(gate(OpTag::Block3, 0, 1));
  f.push(gate(OpTag::Swap, 0, 1));
  EXPECT_EQ(ordered(f), (Ordered{{OpTag::Block3, {1, 0}}}));
  EXPECT_EQ(f.perm, (std::vector<std::size_t>{1, 0, 2, 3}));
  EXPECT_EQ(f.cx_count, 3u);
}

TEST(DagCombine, SwapAfterCxReordersThenMerges) {
  TwoQubitDAG d = make_dag(true, false);
  d.push(gate(OpTag::Cx, 0, 1));
  d.push(gate(OpTag::Swap, 0, 1));
  EXPECT_EQ(ordered(d), (Ordered{{OpTag::Cx, {1, 0}}, {OpTag::Cx, {0, 1}}}));
  EXPECT_EQ(d.cx_count, 2u);
  EXPECT_EQ(edge_count(d), 1u);
  EXPECT_EQ(d.perm, identity(4));
  // Cx, Swap, re-pushed Swap, re-pushed Cx, then the two merged Cx.
  EXPECT_EQ(d.next_id, 6u);
}

TEST(DagCombine, SwapAfterCxWithFoldingLeavesOneCx) {
  TwoQubitDAG d = make_dag(true, true);
  d.push(gate(OpTag::Cx, 0, 1));
  d.push(gate(OpTag::Swap, 0, 1));
  EXPECT_EQ(ordered(d), (Ordered{{OpTag::Cx, {1, 0}}}));
  EXPECT_EQ(d.cx_count, 1u);
  EXPECT_EQ(d.perm, (std::vector<std::size_t>{1, 0, 2, 3}));
  EXPECT_EQ(d.next_id, 4u);
}

TEST(DagCombine, SwapIsReorderedInFrontOfSymmetricCxAndCoded) {
  TwoQubitDAG d = make_dag(true, false);
  d.push(gate(OpTag::SymmetricCx, 2, 3));
  d.push(gate(OpTag::Swap, 2, 3));
  EXPECT_EQ(ordered(d), (Ordered{{OpTag::Swap, {2, 3}}, {OpTag::SymmetricCx, {3, 2}}}));
  EXPECT_EQ(d.cx_count, 4u);

  TwoQubitDAG e = make_dag(true, false);
  e.push(coded(2, 3, 5, 1234));
  e.push(gate(OpTag::Swap, 3, 2));
  const auto ops = node_ops(e);
  ASSERT_EQ(ops.size(), 2u);
  EXPECT_EQ(ordered(e), (Ordered{{OpTag::Swap, {3, 2}}, {OpTag::Coded, {3, 2}}}));
  // The moved gate keeps its CX count and code.
  const auto it = std::find_if(ops.begin(), ops.end(),
                               [](const Operation& o) { return o.kind.tag == OpTag::Coded; });
  ASSERT_NE(it, ops.end());
  EXPECT_EQ(it->kind.coded_code, 1234u);
  EXPECT_EQ(it->kind.coded_cx, 5u);
  EXPECT_EQ(e.cx_count, 8u);
}

TEST(DagCombine, CxAfterSwapMergesIntoTwoCx) {
  TwoQubitDAG d = make_dag(true, false);
  d.push(gate(OpTag::Swap, 0, 1));
  d.push(gate(OpTag::Cx, 1, 0));
  EXPECT_EQ(ordered(d), (Ordered{{OpTag::Cx, {1, 0}}, {OpTag::Cx, {0, 1}}}));
  EXPECT_EQ(d.cx_count, 2u);
}

TEST(DagCombine, Block2MergesWithAnyNeighbourIntoBlock3OnTheNewQubits) {
  const std::vector<Operation> before = {gate(OpTag::Cx, 0, 1), gate(OpTag::Swap, 0, 1),
                                         gate(OpTag::SymmetricCx, 0, 1), gate(OpTag::Block2, 0, 1),
                                         coded(0, 1)};
  for (const Operation& p : before) {
    TwoQubitDAG d = make_dag(true, false);
    d.push(p);
    d.push(gate(OpTag::Block2, 1, 0));
    EXPECT_EQ(ordered(d), (Ordered{{OpTag::Block3, {1, 0}}})) << static_cast<int>(p.kind.tag);
    EXPECT_EQ(d.cx_count, 3u);
  }
  // And any gate after a Block2.
  const std::vector<Operation> after = {gate(OpTag::Cx, 1, 0), gate(OpTag::Swap, 1, 0),
                                        gate(OpTag::SymmetricCx, 1, 0), gate(OpTag::Block3, 1, 0),
                                        coded(1, 0)};
  for (const Operation& g : after) {
    TwoQubitDAG d = make_dag(true, false);
    d.push(gate(OpTag::Block2, 0, 1));
    d.push(g);
    EXPECT_EQ(ordered(d), (Ordered{{OpTag::Block3, {1, 0}}})) << static_cast<int>(g.kind.tag);
    EXPECT_EQ(d.cx_count, 3u);
  }
}

TEST(DagCombine, Block3AfterOtherKindsReplacesThem) {
  for (const Operation& p : {gate(OpTag::Cx, 0, 1), gate(OpTag::Swap, 0, 1),
                             gate(OpTag::SymmetricCx, 1, 0), coded(1, 0)}) {
    TwoQubitDAG d = make_dag(true, false);
    d.push(p);
    d.push(gate(OpTag::Block3, 1, 0));
    EXPECT_EQ(ordered(d), (Ordered{{OpTag::Block3, {1, 0}}})) << static_cast<int>(p.kind.tag);
    EXPECT_EQ(d.cx_count, 3u);
  }
}

TEST(DagCombine, MergedBlock3IsPushedLikeAnyGate) {
  TwoQubitDAG d = make_dag(true, false);
  d.push(gate(OpTag::Cx, 1, 2));
  d.push(gate(OpTag::Block2, 0, 1));
  d.push(gate(OpTag::Cx, 1, 0));
  // Block2 and Cx become a Block3 on (1, 0), which depends on the Cx on (1, 2).
  EXPECT_EQ(ordered(d), (Ordered{{OpTag::Cx, {1, 2}}, {OpTag::Block3, {1, 0}}}));
  EXPECT_EQ(edge_count(d), 1u);
  EXPECT_EQ(d.cx_count, 4u);
  const V order = depth_first_topological_order(d.graph);
  EXPECT_EQ(d.last.get(0), order[1]);
  EXPECT_EQ(d.last.get(1), order[1]);
  EXPECT_EQ(d.last.get(2), order[0]);
}

TEST(DagCombine, AddsForTheRemainingCells) {
  const std::vector<std::pair<Operation, Operation>> pairs = {
      {gate(OpTag::Cx, 0, 1), gate(OpTag::SymmetricCx, 0, 1)},
      {gate(OpTag::Cx, 0, 1), coded(0, 1)},
      {gate(OpTag::SymmetricCx, 0, 1), gate(OpTag::Cx, 0, 1)},
      {gate(OpTag::Swap, 1, 0), gate(OpTag::SymmetricCx, 0, 1)},
      {gate(OpTag::SymmetricCx, 0, 1), coded(0, 1)},
      {coded(0, 1), gate(OpTag::Cx, 0, 1)},
      {gate(OpTag::Swap, 0, 1), coded(1, 0)},
      {coded(0, 1), coded(0, 1)},
      {coded(1, 0), gate(OpTag::SymmetricCx, 0, 1)},
  };
  for (const auto& [prev, next] : pairs) {
    TwoQubitDAG d = make_dag(true, false);
    d.push(prev);
    d.push(next);
    EXPECT_EQ(d.graph.node_count(), 2u)
        << static_cast<int>(prev.kind.tag) << "->" << static_cast<int>(next.kind.tag);
    EXPECT_EQ(edge_count(d), 1u);
    EXPECT_EQ(d.cx_count, prev.kind.cx_cost() + next.kind.cx_cost());
  }
}

TEST(DagCombine, CxCxOnlyCancelsOnIdenticalQubits) {
  EXPECT_EQ(push_action(gate(OpTag::Cx, 0, 1), gate(OpTag::Cx, 0, 1), true), PushAction::Cancel);
  EXPECT_EQ(push_action(gate(OpTag::Cx, 1, 0), gate(OpTag::Cx, 0, 1), true), PushAction::Add);
  EXPECT_EQ(push_action(gate(OpTag::Swap, 1, 0), gate(OpTag::Swap, 0, 1), true),
            PushAction::Cancel);
  EXPECT_EQ(push_action(gate(OpTag::Swap, 1, 0), gate(OpTag::Cx, 0, 1), true),
            PushAction::Reorder);
  EXPECT_EQ(push_action(gate(OpTag::Cx, 1, 0), gate(OpTag::Swap, 0, 1), true), PushAction::Merge);
  EXPECT_EQ(push_action(coded(0, 1), gate(OpTag::Block2, 0, 1), true), PushAction::Merge);
  EXPECT_EQ(push_action(coded(0, 1), gate(OpTag::Block3, 0, 1), true), PushAction::Absorb);
}

// A one-qubit gate or barrier standing last on both qubits is kept: the new
// gate is added after it instead of merging it away.
TEST(DagCombine, BlocksAfterOneQubitOrWaitAllStandingOnBothQubitsAreAdded) {
  for (OpTag before : {OpTag::OneQubit, OpTag::WaitAll}) {
    for (OpTag block : {OpTag::Block2, OpTag::Block3, OpTag::Cx, OpTag::Swap, OpTag::SymmetricCx}) {
      TwoQubitDAG d = make_dag(true, true);
      d.push(gate(before, 2, 2));
      d.push(gate(block, 2, 2));
      ASSERT_EQ(d.graph.node_count(), 2u) << static_cast<int>(before) << static_cast<int>(block);
      const V order = depth_first_topological_order(d.graph);
      EXPECT_EQ(d.graph[order[0]].kind.tag, before);
      EXPECT_EQ(d.graph[order[1]].kind.tag, block);
      EXPECT_EQ(d.cx_count, OpKind(block).cx_cost());
      EXPECT_EQ(d.last.get(2), order[1]);
      EXPECT_EQ(d.perm, identity(4));
    }
  }
}

TEST(DagCombine, BlockAfterOneQubitMadeLastOnTwoQubitsByRepairIsAdded) {
  TwoQubitDAG d = make_dag(true, false);
  d.push(gate(OpTag::Cx, 0, 1));        // slot 0
  d.push(gate(OpTag::OneQubit, 2, 1));  // slot 1, q1 = 1 by the caller's convention
  d.push(gate(OpTag::Cx, 2, 1));        // slot 2, after both
  d.remove(2);
  // The one-qubit gate is the newest predecessor touching 2 and touching 1.
  ASSERT_EQ(d.last.get(2), 1u);
  ASSERT_EQ(d.last.get(1), 1u);
  d.push(gate(OpTag::Block3, 2, 1));
  EXPECT_EQ(d.graph.node_count(), 3u);
  EXPECT_TRUE(d.graph.contains(1));
  EXPECT_EQ(d.graph[1].kind.tag, OpTag::OneQubit);
  EXPECT_EQ(d.cx_count, 1u + 3u);
}

// --- one-qubit gates and barriers ---------------------------------------------

TEST(DagOneQubit, ChainThroughLastOneQubitAcrossQubits) {
  TwoQubitDAG d = make_dag(true, false);
  d.push(gate(OpTag::OneQubit, 0, 0));
  d.push(gate(OpTag::OneQubit, 1, 1));
  d.push(gate(OpTag::OneQubit, 2, 2));
  EXPECT_EQ(edge_set(d), (std::set<std::pair<NodeIndex, NodeIndex>>{{0, 1}, {1, 2}}));
  EXPECT_EQ(d.last_one_qubit, 2u);
  EXPECT_EQ(d.last.get(0), 0u);
  EXPECT_EQ(d.last.get(1), 1u);
  EXPECT_EQ(d.last.get(2), 2u);
  EXPECT_EQ(d.cx_count, 0u);
}

TEST(DagOneQubit, SameQubitGetsOneEdge) {
  TwoQubitDAG d = make_dag(true, false);
  d.push(gate(OpTag::OneQubit, 0, 0));
  d.push(gate(OpTag::OneQubit, 0, 0));
  EXPECT_EQ(edge_count(d), 1u);
  EXPECT_EQ(d.graph.in_degree(1), 1u);
}

TEST(DagOneQubit, DependsOnLastGateThenPreviousOneQubit) {
  TwoQubitDAG d = make_dag(true, false);
  d.push(gate(OpTag::OneQubit, 2, 2));  // 0
  d.push(gate(OpTag::Cx, 0, 1));        // 1
  d.push(gate(OpTag::OneQubit, 0, 3));  // 2: q1 is not read
  EXPECT_EQ(preds(d, 2), (V{0, 1}));     // newest edge first
  EXPECT_EQ(d.last.get(0), 2u);
  EXPECT_EQ(d.last.get(1), 1u);
  EXPECT_EQ(d.last.get(3), kNoNode);
  EXPECT_EQ(d.last_one_qubit, 2u);
}

TEST(DagWaitAll, WaitsForEveryDistinctLastGateAndStandsOnQ0Only) {
  TwoQubitDAG d = make_dag(true, false, 6);
  d.push(gate(OpTag::Cx, 0, 1));        // 0
  d.push(gate(OpTag::Cx, 2, 3));        // 1
  d.push(gate(OpTag::OneQubit, 4, 4));  // 2
  d.push(gate(OpTag::WaitAll, 0, 0));   // 3
  EXPECT_EQ(d.graph.in_degree(3), 3u);
  std::set<NodeIndex> p;
  for (NodeIndex x : preds(d, 3)) p.insert(x);
  EXPECT_EQ(p, (std::set<NodeIndex>{0, 1, 2}));
  EXPECT_EQ(d.last.get(0), 3u);
  EXPECT_EQ(d.last.get(1), 0u);
  EXPECT_EQ(d.last.get(2), 1u);
  EXPECT_EQ(d.last_one_qubit, 2u);  // unchanged
  d.push(gate(OpTag::Cx, 1, 5));     // 4: depends on gate 0 only
  EXPECT_EQ(preds(d, 4), V{0});
  d.push(gate(OpTag::OneQubit, 5, 5));  // 5: after gate 4 and the previous one-qubit gate
  EXPECT_EQ(preds(d, 5), (V{2, 4}));
  d.push(gate(OpTag::WaitAll, 3, 3));   // 6: the first barrier is one of its last gates
  std::set<NodeIndex> p6;
  for (NodeIndex x : preds(d, 6)) p6.insert(x);
  EXPECT_EQ(p6, (std::set<NodeIndex>{3, 4, 1, 2, 5}));  // gate 0 is no longer last anywhere
  EXPECT_EQ(d.graph.in_degree(6), p6.size());
  EXPECT_EQ(d.next_id, 7u);
  EXPECT_EQ(d.cx_count, 3u);
}

TEST(DagWaitAll, OnEmptyDagHasNoEdges) {
  TwoQubitDAG d = make_dag(true, false);
  d.push(gate(OpTag::WaitAll, 1, 1));
  EXPECT_EQ(edge_count(d), 0u);
  EXPECT_EQ(d.last.get(1), 0u);
  EXPECT_EQ(d.last_one_qubit, kNoNode);
}

// --- removal ------------------------------------------------------------------

TEST(DagRemove, CancelRestoresEarlierLastGates) {
  TwoQubitDAG d = make_dag(true, false);
  d.push(gate(OpTag::Cx, 0, 2));  // 0
  d.push(gate(OpTag::Cx, 1, 3));  // 1
  d.push(gate(OpTag::Cx, 0, 1));  // 2
  d.push(gate(OpTag::Cx, 0, 1));  // cancels 2
  EXPECT_FALSE(d.graph.contains(2));
  EXPECT_EQ(d.last.get(0), 0u);
  EXPECT_EQ(d.last.get(1), 1u);
  EXPECT_EQ(d.cx_count, 2u);
  d.push(gate(OpTag::Cx, 0, 1));  // reuses slot 2, after both again
  EXPECT_TRUE(d.graph.contains(2));
  EXPECT_EQ(preds(d, 2), (V{1, 0}));
}

TEST(DagRemove, NewestPredecessorByIdWinsPerQubit) {
  TwoQubitDAG d = make_dag(true, false);
  d.push(gate(OpTag::Cx, 0, 1));  // 0, id 0
  d.push(gate(OpTag::Cx, 0, 2));  // 1, id 1
  d.push(gate(OpTag::Cx, 0, 1));  // 2: edges from 1 (last on 0) then 0 (last on 1)
  ASSERT_EQ(preds(d, 2), (V{0, 1}));
  d.remove(2);
  EXPECT_EQ(d.last.get(0), 1u);  // both touch 0; id 1 is newer
  EXPECT_EQ(d.last.get(1), 0u);
  EXPECT_EQ(d.last.get(2), 1u);
  EXPECT_EQ(d.cx_count, 2u);
}

TEST(DagRemove, NoEarlierGateClearsTheEntry) {
  TwoQubitDAG d = make_dag(true, false);
  d.push(gate(OpTag::Cx, 0, 2));  // 0
  d.push(gate(OpTag::Cx, 0, 1));  // 1
  d.remove(1);
  EXPECT_EQ(d.last.get(0), 0u);
  EXPECT_EQ(d.last.get(1), kNoNode);
  d.remove(0);
  EXPECT_EQ(d.last.get(0), kNoNode);
  EXPECT_EQ(d.last.get(2), kNoNode);
  EXPECT_EQ(d.graph.node_count(), 0u);
  EXPECT_EQ(d.cx_count, 0u);
}

TEST(DagRemove, PredecessorQ1CountsWhateverItsKind) {
  TwoQubitDAG d = make_dag(true, false);
  d.push(gate(OpTag::Cx, 3, 1));        // 0
  d.push(gate(OpTag::OneQubit, 2, 1));  // 1
  d.push(gate(OpTag::Cx, 2, 1));        // 2: after 1 (on 2) and 0 (on 1)
  d.remove(2);
  EXPECT_EQ(d.last.get(2), 1u);
  EXPECT_EQ(d.last.get(1), 1u);  // the one-qubit gate's q1 is 1 and its id is newer
  EXPECT_EQ(d.last_one_qubit, 1u);
}

TEST(DagRemove, VacantNodeFaults) {
  TwoQubitDAG d = make_dag(true, false, 4, true);
  d.push(gate(OpTag::Cx, 0, 1));
  d.push(gate(OpTag::Cx, 2, 3));
  d.generations = TopologicalGenerations(d.graph);
  d.remove_node(0);
  const std::string none = "called `Option::unwrap()` on a `None` value";
  EXPECT_EQ(fault_of([&] { d.remove_node(0); }), none);
  EXPECT_EQ(fault_of([&] { d.remove(0); }), none);
  EXPECT_EQ(fault_of([&] { d.remove_node(17); }), none);
  EXPECT_EQ(d.cx_count, 1u);
  EXPECT_EQ(d.generations.ready, V{1});
}

// --- the front layer ----------------------------------------------------------

// 0: Cx(0,1); 1: Cx(0,2) after 0; 2: Cx(1,3) after 0; 3: Cx(2,3) after 1, 2.
TwoQubitDAG diamond(bool track) {
  TwoQubitDAG d(false, false, line_map(4), 4, track);
  d.push(gate(OpTag::Cx, 0, 1));
  d.push(gate(OpTag::Cx, 0, 2));
  d.push(gate(OpTag::Cx, 1, 3));
  d.push(gate(OpTag::Cx, 2, 3));
  d.generations = TopologicalGenerations(d.graph);
  return d;
}

TEST(DagFront, RemoveNodeReleasesSuccessorsNewestEdgeFirst) {
  TwoQubitDAG d = diamond(true);
  EXPECT_EQ(d.generations.ready, V{0});
  EXPECT_EQ(d.generations.in_degree[3], 2u);
  d.remove_node(0);
  EXPECT_EQ(d.generations.ready, (V{2, 1}));
  EXPECT_EQ(d.cx_count, 3u);
  d.remove_node(1);  // out of the front's middle; 3 still waits for 2
  EXPECT_EQ(d.generations.ready, V{2});
  EXPECT_EQ(d.generations.in_degree[3], 1u);
  EXPECT_TRUE(d.generations.has_entry(3));
  d.remove_node(2);
  EXPECT_EQ(d.generations.ready, V{3});
  EXPECT_FALSE(d.generations.has_entry(3));
  d.remove_node(3);
  EXPECT_TRUE(d.generations.ready.empty());
  EXPECT_EQ(d.cx_count, 0u);
  EXPECT_EQ(d.graph.node_count(), 0u);
}

TEST(DagFront, RemovingFromTheMiddleKeepsReadyOrder) {
  TwoQubitDAG d(false, false, line_map(8), 8, true);
  for (std::size_t i = 0; i < 4; ++i) d.push(gate(OpTag::Cx, 2 * i, 2 * i + 1));
  d.generations = TopologicalGenerations(d.graph);
  EXPECT_EQ(d.generations.ready, (V{0, 1, 2, 3}));
  d.remove_node(2);
  EXPECT_EQ(d.generations.ready, (V{0, 1, 3}));
  d.remove_node(0);
  EXPECT_EQ(d.generations.ready, (V{1, 3}));
}

TEST(DagFront, UntouchedWithoutTracking) {
  TwoQubitDAG d = diamond(false);
  const auto before_ready = d.generations.ready;
  const auto before_deg = d.generations.in_degree;
  d.remove_node(0);
  d.remove_node(1);
  EXPECT_EQ(d.generations.ready, before_ready);
  EXPECT_EQ(d.generations.in_degree, before_deg);
  EXPECT_EQ(d.graph.node_count(), 2u);
  EXPECT_EQ(d.cx_count, 2u);
}

TEST(DagFront, GenerationsOfDagInListGatesWithoutPredecessorInCircuitOrder) {
  TwoQubitDAG d(false, false, line_map(6), 6, true);
  d.push(gate(OpTag::Cx, 4, 5));        // 0
  d.push(gate(OpTag::Cx, 0, 1));        // 1
  d.push(gate(OpTag::Cx, 1, 4));        // 2 after 0 and 1
  d.push(gate(OpTag::OneQubit, 3, 3));  // 3
  d.push(gate(OpTag::Cx, 2, 3));        // 4 after 3
  d.generations = TopologicalGenerations(d.graph);
  EXPECT_EQ(d.generations.ready, (V{0, 1, 3}));
  EXPECT_EQ(d.generations.in_degree[2], 2u);
  EXPECT_EQ(d.generations.in_degree[4], 1u);
}

// --- long chains ------------------------------------------------------------

// GF(2) action of CX/SWAP circuits on two bits, as row masks.
std::pair<unsigned, unsigned> apply_linear(const Ordered& ops, unsigned r0, unsigned r1) {
  unsigned r[2] = {r0, r1};
  for (const auto& [t, q] : ops) {
    if (t == OpTag::Cx)
      r[q.second] ^= r[q.first];
    else if (t == OpTag::Swap)
      std::swap(r[0], r[1]);
  }
  return {r[0], r[1]};
}

TEST(DagLongChain, SwapTravelsThroughAHundredThousandCxWithFolding) {
  constexpr std::size_t kN = 100000;
  TwoQubitDAG d = make_dag(true, true, 2);
  for (std::size_t i = 0; i < kN; ++i)
    d.push(i % 2 == 0 ? gate(OpTag::Cx, 0, 1) : gate(OpTag::Cx, 1, 0));
  ASSERT_EQ(d.graph.node_count(), kN);
  d.push(gate(OpTag::Swap, 0, 1));
  // The SWAP folds at the front; every CX comes back with its qubits exchanged.
  EXPECT_EQ(d.perm, (std::vector<std::size_t>{1, 0}));
  EXPECT_EQ(d.graph.node_count(), kN);
  EXPECT_EQ(d.cx_count, kN);
  EXPECT_EQ(d.cx_count, cost_sum(d));
  EXPECT_EQ(d.next_id, kN + (kN + 1) + kN);
  const Ordered o = ordered(d);
  ASSERT_EQ(o.size(), kN);
  for (std::size_t i = 0; i < kN; ++i) {
    const auto want = i % 2 == 0 ? std::make_pair<std::size_t, std::size_t>(1, 0)
                                 : std::make_pair<std::size_t, std::size_t>(0, 1);
    ASSERT_EQ(o[i].second, want) << i;
  }
  EXPECT_EQ(edge_count(d), kN - 1);
}

TEST(DagLongChain, SwapTravelsThroughAHundredThousandCxWithoutFolding) {
  constexpr std::size_t kN = 100000;
  TwoQubitDAG d = make_dag(true, false, 2);
  Ordered input;
  for (std::size_t i = 0; i < kN; ++i) {
    const Operation g = i % 2 == 0 ? gate(OpTag::Cx, 0, 1) : gate(OpTag::Cx, 1, 0);
    d.push(g);
    input.push_back({OpTag::Cx, {g.q0, g.q1}});
  }
  d.push(gate(OpTag::Swap, 0, 1));
  input.push_back({OpTag::Swap, {0, 1}});
  EXPECT_EQ(d.perm, (std::vector<std::size_t>{0, 1}));
  EXPECT_EQ(d.cx_count, cost_sum(d));
  // The SWAP becomes a node at the front, merges with the first CX that
  // comes back, and the next two returning CX cancel what that produced.
  EXPECT_EQ(d.graph.node_count(), kN - 3);
  EXPECT_EQ(edge_count(d), kN - 4);
  const Ordered o = ordered(d);
  ASSERT_EQ(o.size(), kN - 3);
  EXPECT_EQ(o[0].second, (std::pair<std::size_t, std::size_t>{0, 1}));
  EXPECT_EQ(apply_linear(o, 1, 2), apply_linear(input, 1, 2));
  EXPECT_EQ(d.last.get(0), depth_first_topological_order(d.graph).back());
}

// --- random circuits ----------------------------------------------------------

struct RandomDevice {
  std::size_t n;
  CouplingMap map;
};

RandomDevice random_device(std::mt19937& rng) {
  RandomDevice dev;
  dev.n = 2 + rng() % 6;
  const std::size_t edges = rng() % (2 * dev.n);
  for (std::size_t i = 0; i < edges; ++i) dev.map.push_back({rng() % dev.n, rng() % dev.n});
  return dev;
}

// Kinds drawn uniformly, Coded included; one-qubit gates and barriers carry
// q1 = q0 unless `any_q1`.
Operation random_gate(std::mt19937& rng, std::size_t n, bool any_q1,
                      const std::vector<OpTag>& kinds) {
  const OpTag t = kinds[rng() % kinds.size()];
  const std::size_t q0 = rng() % n;
  std::size_t q1 = rng() % n;
  if (t != OpTag::OneQubit && t != OpTag::WaitAll) {
    if (n > 1)
      while (q1 == q0) q1 = rng() % n;
  } else if (!any_q1) {
    q1 = q0;
  }
  if (t == OpTag::Coded) return coded(q0, q1, 1 + rng() % 4, 10 + rng() % 5);
  return gate(t, q0, q1);
}

const std::vector<OpTag> kAllKinds = {OpTag::Cx,     OpTag::Swap,   OpTag::SymmetricCx,
                                      OpTag::Block3, OpTag::Block2, OpTag::Coded,
                                      OpTag::OneQubit, OpTag::WaitAll};

std::vector<std::size_t> qubits_of(const Operation& g) {
  if (g.kind.tag == OpTag::OneQubit || g.kind.tag == OpTag::WaitAll) return {g.q0};
  return {g.q0, g.q1};
}

TEST(DagProperty, UnmergedDagKeepsEveryDependencyInDepthFirstOrder) {
  std::size_t checked_pairs = 0;
  for (std::uint32_t seed = 1; seed <= 1500; ++seed) {
    std::mt19937 rng(seed);
    const RandomDevice dev = random_device(rng);
    TwoQubitDAG d(false, false, dev.map, dev.n, true);
    // Incident lists against the coupling map.
    for (std::size_t p = 0; p < dev.n; ++p) {
      std::vector<std::size_t> want;
      for (std::size_t i = 0; i < dev.map.size(); ++i) {
        if (dev.map[i].first == p) want.push_back(i);
        if (dev.map[i].second == p) want.push_back(i);
      }
      const auto got = d.incident(p);
      ASSERT_EQ(std::vector<std::size_t>(got.begin(), got.end()), want) << "seed " << seed;
    }
    const std::size_t len = rng() % 40;
    std::vector<Operation> circuit;
    for (std::size_t i = 0; i < len; ++i) circuit.push_back(random_gate(rng, dev.n, false, kAllKinds));
    for (const Operation& g : circuit) d.push(g);
    ASSERT_EQ(d.graph.node_count(), len);
    ASSERT_EQ(d.cx_count, cost_sum(d));

    const V order = depth_first_topological_order(d.graph);
    ASSERT_EQ(order.size(), len);
    std::vector<std::size_t> pos(len, SIZE_MAX);
    for (std::size_t k = 0; k < order.size(); ++k) {
      const Operation& op = d.graph[order[k]];
      ASSERT_LT(op.id, len);
      // The node holds the gate pushed with this id.
      ASSERT_EQ(op.kind, circuit[op.id].kind);
      ASSERT_EQ(op.q0, circuit[op.id].q0);
      ASSERT_EQ(op.q1, circuit[op.id].q1);
      pos[op.id] = k;
    }
    for (std::size_t j = 0; j < len; ++j) {
      ASSERT_NE(pos[j], SIZE_MAX);
      for (std::size_t i = 0; i < j; ++i) {
        const auto qi = qubits_of(circuit[i]);
        const auto qj = qubits_of(circuit[j]);
        bool must = circuit[j].kind.tag == OpTag::WaitAll;
        must |= circuit[i].kind.tag == OpTag::OneQubit && circuit[j].kind.tag == OpTag::OneQubit;
        for (std::size_t a : qi)
          for (std::size_t b : qj) must |= a == b;
        if (!must) continue;
        ++checked_pairs;
        ASSERT_LT(pos[i], pos[j]) << "seed " << seed << ": gate " << i << " must precede " << j;
      }
    }
    // Executing in Kahn order drains the tracked front exactly once per gate.
    d.generations = TopologicalGenerations(d.graph);
    std::size_t removed = 0;
    while (!d.generations.ready.empty()) {
      const NodeIndex x = d.generations.ready.front();
      ASSERT_EQ(d.graph.in_degree(x), 0u) << "seed " << seed;
      d.remove_node(x);
      ++removed;
    }
    ASSERT_EQ(removed, len) << "seed " << seed;
    ASSERT_EQ(d.cx_count, 0u);
  }
  EXPECT_GT(checked_pairs, 10000u);
}

// Every gate the merging DAG handles exactly (no block absorption) is
// simulated on basis states as a signed permutation (test_support.h).

// Also checks that every qubit's `last` gate touches it and comes after every
// other gate that touches it.
void check_last(const TwoQubitDAG& d, std::size_t n, std::uint32_t seed) {
  const V order = depth_first_topological_order(d.graph);
  std::map<NodeIndex, std::size_t> pos;
  for (std::size_t k = 0; k < order.size(); ++k) pos[order[k]] = k;
  for (std::size_t q = 0; q < n; ++q) {
    const NodeIndex l = d.last.get(q);
    std::vector<NodeIndex> touching;
    for (NodeIndex x : order) {
      const auto qs = qubits_of(d.graph[x]);
      if (std::find(qs.begin(), qs.end(), q) != qs.end()) touching.push_back(x);
    }
    if (touching.empty()) {
      ASSERT_EQ(l, kNoNode) << "seed " << seed << " qubit " << q;
      continue;
    }
    ASSERT_NE(l, kNoNode) << "seed " << seed << " qubit " << q;
    ASSERT_TRUE(d.graph.contains(l));
    ASSERT_EQ(l, touching.back()) << "seed " << seed << " qubit " << q;
  }
}

TEST(DagProperty, MergingDagKeepsTheCircuitsAction) {
  const std::vector<OpTag> exact = {OpTag::Cx,   OpTag::Swap,     OpTag::SymmetricCx,
                                    OpTag::Coded, OpTag::OneQubit, OpTag::WaitAll};
  const std::vector<OpTag> swappy = {OpTag::Cx, OpTag::Swap, OpTag::Swap, OpTag::SymmetricCx};
  for (std::uint32_t seed = 1; seed <= 3000; ++seed) {
    std::mt19937 rng(seed);
    const std::size_t n = 2 + rng() % 4;
    const bool fold = seed % 2 == 0;
    TwoQubitDAG d(true, fold, line_map(n), n, false);
    const std::size_t len = rng() % 48;
    std::vector<Operation> circuit;
    const auto& kinds = seed % 3 == 0 ? swappy : exact;
    for (std::size_t i = 0; i < len; ++i) circuit.push_back(random_gate(rng, n, false, kinds));
    for (const Operation& g : circuit) d.push(g);

    ASSERT_EQ(d.cx_count, cost_sum(d)) << "seed " << seed;
    ASSERT_EQ(d.next_id >= len, true);
    // Edges always run from an older gate to a newer one.
    for (const auto& [a, b] : edge_set(d)) ASSERT_LT(d.graph[a].id, d.graph[b].id);
    check_last(d, n, seed);

    const V order = depth_first_topological_order(d.graph);
    for (unsigned b = 0; b < (1u << n); ++b) {
      Signed want{b, 1};
      for (const Operation& g : circuit) apply_gate(want, g.kind.tag, g.q0, g.q1);
      // Folded SWAPs act first: wire i then holds what wire perm[i] held.
      Signed got{0, 1};
      for (std::size_t i = 0; i < n; ++i) got.bits |= ((b >> d.perm[i]) & 1u) << i;
      for (NodeIndex x : order) {
        const Operation& op = d.graph[x];
        apply_gate(got, op.kind.tag, op.q0, op.q1);
      }
      ASSERT_EQ(got, want) << "seed " << seed << " input " << b;
    }
    if (!fold) {
      EXPECT_EQ(d.perm, identity(n));
    }
  }
}

TEST(DagProperty, MergingDagStaysConsistentForAnyKindsAndConventions) {
  for (std::uint32_t seed = 1; seed <= 3000; ++seed) {
    std::mt19937 rng(seed);
    const std::size_t n = 2 + rng() % 5;
    TwoQubitDAG d(true, seed % 2 == 0, line_map(n), n, false);
    const std::size_t len = rng() % 60;
    for (std::size_t i = 0; i < len; ++i) d.push(random_gate(rng, n, seed % 4 < 2, kAllKinds));
    ASSERT_EQ(d.cx_count, cost_sum(d)) << "seed " << seed;
    for (const auto& [a, b] : edge_set(d)) ASSERT_LT(d.graph[a].id, d.graph[b].id);
    for (std::size_t q = 0; q < n; ++q) {
      const NodeIndex l = d.last.get(q);
      if (l == kNoNode) continue;
      ASSERT_TRUE(d.graph.contains(l)) << "seed " << seed;
      const Operation& op = d.graph[l];
      ASSERT_TRUE(op.q0 == q || op.q1 == q) << "seed " << seed << " qubit " << q;
    }
    if (d.last_one_qubit != kNoNode) {
      ASSERT_TRUE(d.graph.contains(d.last_one_qubit));
      ASSERT_EQ(d.graph[d.last_one_qubit].kind.tag, OpTag::OneQubit);
    }
    EXPECT_EQ(depth_first_topological_order(d.graph).size(), d.graph.node_count());
  }
}

}  // namespace
}  // namespace corvane::routing
