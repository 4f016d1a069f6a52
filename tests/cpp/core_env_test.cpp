// The routing environment: executing front gates whose physical qubits are
// adjacent, inserting SWAPs, keeping the layout, and reading the routed
// circuit back in topological order.

#include <algorithm>
#include <cstdint>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "common/fault.h"
#include "test_support.h"
#include "routing/dag.h"
#include "routing/env.h"
#include "routing/graph.h"
#include "routing/types.h"
#include "routing_devices.h"

namespace corvane::routing {
namespace {

using testing_support::fault_of;
using testing_support::Signed;
using testing_support::apply_gate;
using testing_support::coded;
using testing_support::gate;
using testing_support::line_map;
// Hop distances over the edges in either direction; no path is DISTS_MAX_VALUE.
using fixtures::distances;

using V = std::vector<NodeIndex>;
using Pair = std::pair<std::size_t, std::size_t>;

CouplingMap complete_map(std::size_t n) {
  CouplingMap m;
  for (std::size_t a = 0; a < n; ++a)
    for (std::size_t b = a + 1; b < n; ++b) m.push_back({a, b});
  return m;
}

// As a routing worker prepares its environment.
void load(Env& env, const std::vector<Operation>& ops, bool fold) {
  for (const Operation& op : ops) env.dag_in.push(op);
  env.dag_in.generations = TopologicalGenerations(env.dag_in.graph);
  env.dag_out.flag_swap_as_perm = fold;
}

std::vector<Operation> out_nodes(const Env& env) {
  std::vector<Operation> out;
  env.dag_out.graph.for_each_node([&](NodeIndex x) { out.push_back(env.dag_out.graph[x]); });
  return out;
}

// Kind and qubits of the routed gates, in the order read out.
std::vector<std::pair<OpTag, Pair>> routed(const Env& env) {
  std::vector<std::pair<OpTag, Pair>> out;
  for (const Operation& op : env.ordered_operations()) out.push_back({op.kind.tag, {op.q0, op.q1}});
  return out;
}
using Routed = std::vector<std::pair<OpTag, Pair>>;

bool inverse(const Env& env) {
  if (env.p2v.size() != env.v2p.size()) return false;
  for (std::size_t p = 0; p < env.p2v.size(); ++p)
    if (env.p2v[p] >= env.v2p.size() || env.v2p[env.p2v[p]] != p) return false;
  return true;
}

// --- construction -----------------------------------------------------------

TEST(EnvSetup, StartsWithIdentityLayoutAndTheTwoDagFlavours) {
  const CouplingMap m = line_map(5);
  Env env(m, 5);
  EXPECT_EQ(env.p2v, (std::vector<std::size_t>{0, 1, 2, 3, 4}));
  EXPECT_EQ(env.v2p, env.p2v);
  EXPECT_FALSE(env.dag_in.flag_merge);
  EXPECT_FALSE(env.dag_in.flag_swap_as_perm);
  EXPECT_TRUE(env.dag_in.flag_track_front);
  EXPECT_TRUE(env.dag_out.flag_merge);
  EXPECT_TRUE(env.dag_out.flag_swap_as_perm);
  EXPECT_FALSE(env.dag_out.flag_track_front);
  EXPECT_EQ(env.dag_out.num_qubits(), 5u);
}

TEST(EnvSetup, CouplingEdgeBeyondQubitCountFails) {
  EXPECT_EQ(fault_of([] { Env env({{0, 1}, {1, 3}}, 3); }),
            "index out of bounds: the len is 3 but the index is 3");
}

// --- execute_operations -------------------------------------------------------

TEST(EnvExecute, EmptyCircuitLeavesEverythingEmpty) {
  const CouplingMap m = line_map(3);
  Env env(m, 3);
  load(env, {}, false);
  env.execute_operations(distances(m, 3));
  EXPECT_EQ(env.dag_out.graph.node_count(), 0u);
  EXPECT_TRUE(env.ordered_operations().empty());
  EXPECT_TRUE(env.dag_in.generations.ready.empty());
}

TEST(EnvExecute, GateOnOneVirtualQubitExecutesAtOnce) {
  const CouplingMap m = line_map(4);
  Env env(m, 4);
  load(env, {gate(OpTag::Cx, 3, 3), gate(OpTag::OneQubit, 0, 0), gate(OpTag::WaitAll, 1, 1)},
       false);
  env.execute_operations(distances(m, 4));
  EXPECT_EQ(env.dag_in.graph.node_count(), 0u);
  EXPECT_EQ(env.dag_out.graph.node_count(), 3u);
}

TEST(EnvExecute, OneQubitGatesAreTestedOnTheirSecondQubitToo) {
  const CouplingMap m = line_map(4);
  Env env(m, 4);
  load(env, {gate(OpTag::OneQubit, 0, 3), gate(OpTag::WaitAll, 2, 0)}, false);
  env.execute_operations(distances(m, 4));
  EXPECT_EQ(env.dag_out.graph.node_count(), 0u);
  EXPECT_EQ(env.dag_in.graph.node_count(), 2u);
  EXPECT_EQ(env.dag_in.generations.ready, V{0});
}

TEST(EnvExecute, UnreachablePairNeverExecutesNegativeDistanceAlways) {
  const CouplingMap m = line_map(4);
  Dists d(4, std::vector<std::int32_t>(4, 0));
  d[0][1] = DISTS_MAX_VALUE;
  d[2][3] = -5;
  d[3][2] = std::numeric_limits<std::int32_t>::min();
  d[1][2] = 2;
  Env env(m, 4);
  load(env, {gate(OpTag::Cx, 0, 1), gate(OpTag::Cx, 2, 3), gate(OpTag::Cx, 3, 2)}, false);
  for (int call = 0; call < 3; ++call) env.execute_operations(d);
  EXPECT_EQ(routed(env), (Routed{{OpTag::Cx, {2, 3}}, {OpTag::Cx, {3, 2}}}));
  EXPECT_EQ(env.dag_in.graph.node_count(), 1u);
  EXPECT_EQ(env.dag_in.generations.ready, V{0});
}

TEST(EnvExecute, DistanceOneIsTheLimit) {
  const CouplingMap m = line_map(4);
  Dists d(4, std::vector<std::int32_t>(4, 2));
  d[0][1] = 1;
  Env env(m, 4);
  load(env, {gate(OpTag::Cx, 0, 1), gate(OpTag::Cx, 2, 3)}, false);
  env.execute_operations(d);
  EXPECT_EQ(routed(env), (Routed{{OpTag::Cx, {0, 1}}}));
  EXPECT_EQ(env.dag_in.generations.ready, V{1});
}

TEST(EnvExecute, ReleasedGateIsExaminedAfterTheRestOfTheFront) {
  const CouplingMap m = line_map(4);
  Env env(m, 4);
  // Gate 2 waits for gate 0; both execute in one call, gate 1 in between.
  load(env, {gate(OpTag::Cx, 0, 1), gate(OpTag::Cx, 2, 3), gate(OpTag::Cx, 1, 0)}, false);
  env.execute_operations(distances(m, 4));
  EXPECT_EQ(env.dag_in.graph.node_count(), 0u);
  EXPECT_TRUE(env.dag_in.generations.ready.empty());
  std::map<Pair, std::size_t> id;
  for (const Operation& op : out_nodes(env)) id[{op.q0, op.q1}] = op.id;
  ASSERT_EQ(id.size(), 3u);
  EXPECT_EQ(id[(Pair{0, 1})], 0u);
  EXPECT_EQ(id[(Pair{2, 3})], 1u);
  EXPECT_EQ(id[(Pair{1, 0})], 2u);
}

TEST(EnvExecute, SuccessorsAreReleasedNewestEdgeFirst) {
  const CouplingMap m = complete_map(4);
  Env env(m, 4);
  load(env, {gate(OpTag::Cx, 0, 1), gate(OpTag::Cx, 0, 2), gate(OpTag::Cx, 1, 3)}, false);
  env.execute_operations(distances(m, 4));
  std::map<Pair, std::size_t> id;
  for (const Operation& op : out_nodes(env)) id[{op.q0, op.q1}] = op.id;
  ASSERT_EQ(id.size(), 3u);
  EXPECT_EQ(id[(Pair{0, 1})], 0u);
  EXPECT_EQ(id[(Pair{1, 3})], 1u);
  EXPECT_EQ(id[(Pair{0, 2})], 2u);
}

TEST(EnvExecute, ReleasedGateThatCannotExecuteStaysReady) {
  const CouplingMap m = line_map(5);
  const Dists d = distances(m, 5);
  Env env(m, 5);
  // Gates 1 and 2 wait for gate 0 and then need qubits at distance 2.
  load(env, {gate(OpTag::Cx, 0, 1), gate(OpTag::Cx, 0, 2), gate(OpTag::Cx, 4, 1)}, false);
  env.execute_operations(d);
  EXPECT_EQ(routed(env), (Routed{{OpTag::Cx, {0, 1}}}));
  EXPECT_EQ(env.dag_in.generations.ready, (V{2, 1}));  // released newest edge first
  EXPECT_EQ(env.dag_in.graph.node_count(), 2u);
  env.execute_operations(d);  // nothing moves without a SWAP
  EXPECT_EQ(env.dag_out.graph.node_count(), 1u);
  EXPECT_EQ(env.dag_in.generations.ready, (V{2, 1}));

  // SWAP physical 1 and 2: virtual 2 now sits next to virtual 0.
  env.candidates = {1};
  env.apply_swap(0, m);
  EXPECT_EQ(env.p2v, (std::vector<std::size_t>{0, 2, 1, 3, 4}));
  EXPECT_EQ(env.v2p, (std::vector<std::size_t>{0, 2, 1, 3, 4}));
  env.execute_operations(d);
  EXPECT_EQ(env.dag_in.graph.node_count(), 1u);
  EXPECT_EQ(env.dag_in.generations.ready, V{2});
  // Gates land on physical qubits.
  EXPECT_EQ(routed(env), (Routed{{OpTag::Cx, {0, 1}}, {OpTag::Swap, {1, 2}}, {OpTag::Cx, {0, 1}}}));

  env.candidates = {3};
  env.apply_swap(0, m);  // virtual 4 to physical 3, next to virtual 1 on physical 2
  env.execute_operations(d);
  EXPECT_EQ(env.dag_in.graph.node_count(), 0u);
  EXPECT_TRUE(env.dag_in.generations.ready.empty());
  EXPECT_EQ(routed(env), (Routed{{OpTag::Swap, {3, 4}},
                                 {OpTag::Cx, {0, 1}},
                                 {OpTag::Swap, {1, 2}},
                                 {OpTag::Cx, {3, 2}},
                                 {OpTag::Cx, {0, 1}}}));
}

TEST(EnvExecute, CodedGateKeepsCountAndCodeOnTheWayOut) {
  const CouplingMap m = line_map(2);
  Env env(m, 2);
  load(env, {Operation{OpKind::coded(7, 4242), 0, 1, 0}}, false);
  env.execute_operations(distances(m, 2));
  const auto ops = env.ordered_operations();
  ASSERT_EQ(ops.size(), 1u);
  EXPECT_EQ(ops[0].kind, OpKind::coded(7, 4242));
  EXPECT_EQ(env.dag_out.cx_count, 7u);
}

TEST(EnvExecute, OutputDagSimplifiesWhatArrives) {
  const CouplingMap m = line_map(3);
  Env env(m, 3);
  load(env, {gate(OpTag::Cx, 0, 1), gate(OpTag::Cx, 0, 1), gate(OpTag::Swap, 1, 2)}, true);
  env.execute_operations(distances(m, 3));
  // The two CX cancel and the SWAP then meets nothing: it folds.
  EXPECT_EQ(env.dag_out.graph.node_count(), 0u);
  EXPECT_EQ(env.dag_out.perm, (std::vector<std::size_t>{0, 2, 1}));
  EXPECT_EQ(env.dag_in.graph.node_count(), 0u);
  // A gate SWAP is a circuit gate, not a layout change.
  EXPECT_EQ(env.p2v, (std::vector<std::size_t>{0, 1, 2}));
}

TEST(EnvExecute, IndexFaults) {
  const CouplingMap m = line_map(4);
  {
    Env env(m, 4);
    load(env, {gate(OpTag::Cx, 0, 5)}, false);
    EXPECT_EQ(fault_of([&] { env.execute_operations(distances(m, 4)); }),
              "index out of bounds: the len is 4 but the index is 5");
  }
  {
    Env env(m, 4);
    load(env, {gate(OpTag::Cx, 7, 0)}, false);
    EXPECT_EQ(fault_of([&] { env.execute_operations(distances(m, 4)); }),
              "index out of bounds: the len is 4 but the index is 7");
  }
  {
    Env env(m, 4);
    load(env, {gate(OpTag::Cx, 2, 3)}, false);
    Dists short_rows = distances(m, 4);
    short_rows.resize(2);
    EXPECT_EQ(fault_of([&] { env.execute_operations(short_rows); }),
              "index out of bounds: the len is 2 but the index is 2");
  }
  {
    Env env(m, 4);
    load(env, {gate(OpTag::Cx, 0, 3)}, false);
    Dists short_row = distances(m, 4);
    short_row[0].resize(1);
    EXPECT_EQ(fault_of([&] { env.execute_operations(short_row); }),
              "index out of bounds: the len is 1 but the index is 3");
  }
}

// --- apply_swap ---------------------------------------------------------------

TEST(EnvSwap, EmptySlotChangesNothing) {
  const CouplingMap m = line_map(4);
  Env env(m, 4);
  env.candidates = {0, 2};
  env.apply_swap(2, m);
  env.apply_swap(1000, m);
  EXPECT_EQ(env.p2v, (std::vector<std::size_t>{0, 1, 2, 3}));
  EXPECT_EQ(env.v2p, env.p2v);
  EXPECT_EQ(env.dag_out.next_id, 0u);
  EXPECT_EQ(env.dag_out.perm, env.p2v);
  env.candidates.clear();
  env.apply_swap(0, m);
  EXPECT_EQ(env.dag_out.next_id, 0u);
}

TEST(EnvSwap, SlotNamesACouplingMapPosition) {
  const CouplingMap m = {{0, 1}, {3, 2}, {1, 2}};
  Env env(m, 4);
  load(env, {}, false);
  env.candidates = {2, 1};
  env.apply_swap(1, m);  // coupling_map[1] = (3, 2)
  EXPECT_EQ(env.p2v, (std::vector<std::size_t>{0, 1, 3, 2}));
  EXPECT_EQ(routed(env), (Routed{{OpTag::Swap, {3, 2}}}));
  env.apply_swap(0, m);  // (1, 2)
  EXPECT_EQ(env.p2v, (std::vector<std::size_t>{0, 3, 1, 2}));
  EXPECT_EQ(env.v2p, (std::vector<std::size_t>{0, 2, 3, 1}));
  EXPECT_EQ(env.dag_out.cx_count, 6u);
}

TEST(EnvSwap, LayoutChangesEvenWhenTheSwapLeavesNoGate) {
  const CouplingMap m = line_map(3);
  {
    Env env(m, 3);
    load(env, {}, false);
    env.candidates = {0};
    env.apply_swap(0, m);
    EXPECT_EQ(env.p2v, (std::vector<std::size_t>{1, 0, 2}));
    env.apply_swap(0, m);  // cancels against the first in dag_out
    EXPECT_EQ(env.dag_out.graph.node_count(), 0u);
    EXPECT_EQ(env.dag_out.cx_count, 0u);
    EXPECT_EQ(env.p2v, (std::vector<std::size_t>{0, 1, 2}));
    env.apply_swap(0, m);
    EXPECT_EQ(env.p2v, (std::vector<std::size_t>{1, 0, 2}));
  }
  {
    Env env(m, 3);
    load(env, {}, true);
    env.candidates = {1};
    env.apply_swap(0, m);  // folded into dag_out's perm
    EXPECT_EQ(env.dag_out.graph.node_count(), 0u);
    EXPECT_EQ(env.dag_out.perm, (std::vector<std::size_t>{0, 2, 1}));
    EXPECT_EQ(env.p2v, (std::vector<std::size_t>{0, 2, 1}));
    EXPECT_EQ(env.v2p, (std::vector<std::size_t>{0, 2, 1}));
  }
}

TEST(EnvSwap, LayoutStaysInverseOverManyRandomSwaps) {
  std::mt19937 rng(7);
  const std::size_t n = 9;
  const CouplingMap m = complete_map(n);
  Env env(m, n);
  load(env, {}, true);
  std::vector<std::size_t> model(n);
  for (std::size_t i = 0; i < n; ++i) model[i] = i;
  for (int step = 0; step < 5000; ++step) {
    env.candidates.clear();
    const std::size_t k = 1 + rng() % MAX_CANDIDATES;
    for (std::size_t j = 0; j < k; ++j) env.candidates.push_back(rng() % m.size());
    const std::size_t action = rng() % (MAX_CANDIDATES + 1);
    if (action < k) std::swap(model[m[env.candidates[action]].first], model[m[env.candidates[action]].second]);
    env.apply_swap(action, m);
    ASSERT_TRUE(inverse(env)) << step;
    ASSERT_EQ(env.p2v, model) << step;
  }
  EXPECT_EQ(env.dag_out.cx_count, 3 * env.dag_out.graph.node_count());
}

TEST(EnvSwap, IndexFaults) {
  const CouplingMap m = line_map(4);
  Env env(m, 4);
  load(env, {}, false);
  env.candidates = {7};
  EXPECT_EQ(fault_of([&] { env.apply_swap(0, m); }),
            "index out of bounds: the len is 3 but the index is 7");
  env.candidates = {0};
  const CouplingMap wide = {{0, 9}};
  EXPECT_EQ(fault_of([&] { env.apply_swap(0, wide); }),
            "index out of bounds: the len is 4 but the index is 9");
  const CouplingMap wide0 = {{6, 1}};
  EXPECT_EQ(fault_of([&] { env.apply_swap(0, wide0); }),
            "index out of bounds: the len is 4 but the index is 6");
  EXPECT_TRUE(inverse(env));
}

// --- ordered_operations -------------------------------------------------------

TEST(EnvOrder, ChainComesOutInChainOrder) {
  const CouplingMap m = line_map(5);
  Env env(m, 5);
  load(env, {gate(OpTag::Cx, 3, 4), gate(OpTag::Cx, 2, 3), gate(OpTag::Cx, 1, 2),
             gate(OpTag::Cx, 0, 1)},
       false);
  env.execute_operations(distances(m, 5));
  EXPECT_EQ(routed(env), (Routed{{OpTag::Cx, {3, 4}},
                                 {OpTag::Cx, {2, 3}},
                                 {OpTag::Cx, {1, 2}},
                                 {OpTag::Cx, {0, 1}}}));
}

TEST(EnvOrder, IndependentGatesComeOutHighestSlotFirst) {
  const CouplingMap m = line_map(4);
  Env env(m, 4);
  load(env, {gate(OpTag::Cx, 0, 1), gate(OpTag::Cx, 2, 3)}, false);
  env.execute_operations(distances(m, 4));
  EXPECT_EQ(routed(env), (Routed{{OpTag::Cx, {2, 3}}, {OpTag::Cx, {0, 1}}}));
}

TEST(EnvOrder, OldestSuccessorIsExploredFirstAndFinishesLast) {
  const CouplingMap m = line_map(6);
  Env env(m, 6);
  env.dag_out.push(gate(OpTag::Cx, 0, 1));  // 0
  env.dag_out.push(gate(OpTag::Cx, 0, 2));  // 1, after 0
  env.dag_out.push(gate(OpTag::Cx, 1, 3));  // 2, after 0
  env.dag_out.push(gate(OpTag::Cx, 4, 5));  // 3
  EXPECT_EQ(depth_first_topological_order(env.dag_out.graph), (V{3, 0, 2, 1}));
  const auto ops = env.ordered_operations();
  ASSERT_EQ(ops.size(), 4u);
  EXPECT_EQ(ops[0].id, 3u);
  EXPECT_EQ(ops[1].id, 0u);
  EXPECT_EQ(ops[2].id, 2u);
  EXPECT_EQ(ops[3].id, 1u);
}

TEST(EnvOrder, ReusedSlotsAreVisitedByIndexNotAge) {
  const CouplingMap m = line_map(6);
  Env env(m, 6);
  env.dag_out.flag_swap_as_perm = false;
  env.dag_out.push(gate(OpTag::Cx, 0, 1));  // slot 0
  env.dag_out.push(gate(OpTag::Cx, 2, 3));  // slot 1
  env.dag_out.push(gate(OpTag::Cx, 0, 1));  // cancels slot 0
  env.dag_out.push(gate(OpTag::Cx, 4, 5));  // reuses slot 0
  env.dag_out.push(gate(OpTag::Cx, 3, 4));  // slot 2, after slots 1 and 0
  EXPECT_EQ(routed(env), (Routed{{OpTag::Cx, {2, 3}}, {OpTag::Cx, {4, 5}}, {OpTag::Cx, {3, 4}}}));
}

TEST(EnvOrder, CycleIsAFault) {
  const CouplingMap m = line_map(4);
  Env env(m, 4);
  env.dag_out.push(gate(OpTag::Cx, 2, 3));  // 0, no cycle through it
  env.dag_out.push(gate(OpTag::Cx, 0, 1));  // 1
  env.dag_out.push(gate(OpTag::Cx, 1, 0));  // 2, after 1
  env.dag_out.graph.add_edge(2, 1);         // what push never makes
  const std::string ill = "The circuit is ill formed! This should not be reached.";
  EXPECT_EQ(fault_of([&] { (void)env.ordered_operations(); }), ill);
  EXPECT_EQ(fault_of([&] { (void)depth_first_topological_order(env.dag_out.graph); }), ill);
}

// --- random routings ------------------------------------------------------------

// The gates the output DAG simplifies exactly, simulated on basis states as
// a signed permutation: CX; SWAP; the symmetric gate as CZ; a Coded gate as
// "flip q1 when q0 is set, then a phase when q1 is set"; a one-qubit gate as
// X on q0; a barrier as the identity.

// A connected random device: a random tree plus a few extra edges, in random
// order and orientation.
CouplingMap random_connected(std::mt19937& rng, std::size_t n) {
  CouplingMap m;
  for (std::size_t i = 1; i < n; ++i) {
    const std::size_t j = rng() % i;
    if (rng() % 2) m.push_back({i, j}); else m.push_back({j, i});
  }
  const std::size_t extra = rng() % (n + 1);
  for (std::size_t k = 0; k < extra; ++k) {
    const std::size_t a = rng() % n, b = rng() % n;
    if (a != b) m.push_back({a, b});
  }
  std::shuffle(m.begin(), m.end(), rng);
  return m;
}

Operation random_gate(std::mt19937& rng, std::size_t n, const std::vector<OpTag>& kinds) {
  const OpTag t = kinds[rng() % kinds.size()];
  const std::size_t q0 = rng() % n;
  std::size_t q1 = q0;
  if (t != OpTag::OneQubit && t != OpTag::WaitAll)
    while (q1 == q0) q1 = rng() % n;
  if (t == OpTag::Coded) return Operation{OpKind::coded(3, 10 + rng() % 3), 0, q0, q1};
  return gate(t, q0, q1);
}

struct RoutingRun {
  std::size_t swaps = 0;
  bool finished = false;
};

// Routes greedily: SWAP the first waiting gate's first qubit one step along
// a shortest path towards its second qubit.
RoutingRun route_greedily(Env& env, const CouplingMap& m, const Dists& d) {
  RoutingRun run;
  for (int step = 0; step < 10000; ++step) {
    env.execute_operations(d);
    // Between steps the front holds only gates that cannot execute.
    for (const NodeIndex x : env.dag_in.generations.ready) {
      const Operation& op = env.dag_in.graph[x];
      EXPECT_GT(d[env.v2p[op.q0]][env.v2p[op.q1]], 1);
      EXPECT_EQ(env.dag_in.graph.in_degree(x), 0u);
    }
    if (env.dag_in.graph.node_count() == 0) {
      run.finished = true;
      return run;
    }
    if (env.dag_in.generations.ready.empty()) return run;
    const Operation& x = env.dag_in.graph[env.dag_in.generations.ready.front()];
    const std::size_t p0 = env.v2p[x.q0], p1 = env.v2p[x.q1];
    std::size_t chosen = SIZE_MAX;
    for (const std::size_t e : env.dag_in.incident(p0)) {
      const std::size_t r = m[e].first == p0 ? m[e].second : m[e].first;
      if (d[r][p1] < d[p0][p1]) {
        chosen = e;
        break;
      }
    }
    if (chosen == SIZE_MAX) return run;
    // A few other candidates around it; the action names the chosen slot.
    env.candidates = {(chosen + 1) % m.size(), chosen, (chosen + 2) % m.size()};
    env.apply_swap(1, m);
    ++run.swaps;
    if (!inverse(env)) return run;
  }
  return run;
}

TEST(EnvProperty, GreedyRoutingKeepsTheCircuitsActionOnTheDevice) {
  const std::vector<OpTag> kinds = {OpTag::Cx,   OpTag::Swap,     OpTag::SymmetricCx,
                                    OpTag::Coded, OpTag::OneQubit, OpTag::WaitAll};
  std::size_t total_swaps = 0;
  for (std::uint32_t seed = 1; seed <= 1200; ++seed) {
    std::mt19937 rng(seed);
    const std::size_t n = 2 + rng() % 6;
    const CouplingMap m = random_connected(rng, n);
    const Dists d = distances(m, n);
    const bool fold = seed % 2 == 0;
    std::vector<Operation> circuit;
    const std::size_t len = rng() % 50;
    for (std::size_t i = 0; i < len; ++i) circuit.push_back(random_gate(rng, n, kinds));

    Env env(m, n);
    load(env, circuit, fold);
    const RoutingRun run = route_greedily(env, m, d);
    ASSERT_TRUE(run.finished) << "seed " << seed;
    ASSERT_TRUE(inverse(env)) << "seed " << seed;
    total_swaps += run.swaps;

    const std::vector<Operation> out = env.ordered_operations();
    ASSERT_EQ(out.size(), env.dag_out.graph.node_count());
    std::size_t cost = 0;
    for (const Operation& op : out) {
      cost += op.kind.cx_cost();
      if (op.q0 == op.q1) continue;
      ASSERT_LE(d[op.q0][op.q1], 1) << "seed " << seed << ": gate off the device";
    }
    ASSERT_EQ(cost, env.dag_out.cx_count) << "seed " << seed;
    if (!fold) {
      ASSERT_EQ(env.dag_out.perm, env.dag_in.perm);
    }

    // Folded SWAPs act first; virtual qubit q ends on physical v2p[q].
    for (unsigned b = 0; b < (1u << n); ++b) {
      Signed want{b, 1};
      for (const Operation& g : circuit) apply_gate(want, g);
      Signed got{0, 1};
      for (std::size_t i = 0; i < n; ++i) got.bits |= ((b >> env.dag_out.perm[i]) & 1u) << i;
      for (const Operation& g : out) apply_gate(got, g);
      Signed seen{0, got.sign};
      for (std::size_t q = 0; q < n; ++q) seen.bits |= ((got.bits >> env.v2p[q]) & 1u) << q;
      ASSERT_EQ(seen, want) << "seed " << seed << " input " << b;
    }
  }
  EXPECT_GT(total_swaps, 1000u);
}

TEST(EnvProperty, UnmergedOutputHoldsEveryGateAndEveryInsertedSwap) {
  const std::vector<OpTag> kinds = {OpTag::Cx,     OpTag::SymmetricCx, OpTag::Block3,
                                    OpTag::Block2, OpTag::Coded,       OpTag::OneQubit,
                                    OpTag::WaitAll};
  for (std::uint32_t seed = 1; seed <= 800; ++seed) {
    std::mt19937 rng(seed);
    const std::size_t n = 2 + rng() % 7;
    const CouplingMap m = random_connected(rng, n);
    const Dists d = distances(m, n);
    std::vector<Operation> circuit;
    const std::size_t len = rng() % 60;
    for (std::size_t i = 0; i < len; ++i) circuit.push_back(random_gate(rng, n, kinds));
    Env env(m, n);
    load(env, circuit, false);
    env.dag_out.flag_merge = false;
    const RoutingRun run = route_greedily(env, m, d);
    ASSERT_TRUE(run.finished) << "seed " << seed;
    const std::vector<Operation> out = env.ordered_operations();
    ASSERT_EQ(out.size(), len + run.swaps) << "seed " << seed;

    // Replaying the output with the inserted SWAPs as relabelings gives back
    // each virtual qubit's gate sequence.
    std::vector<std::size_t> p2v(n);
    for (std::size_t i = 0; i < n; ++i) p2v[i] = i;
    std::map<std::size_t, std::vector<std::pair<OpTag, Pair>>> got, want;
    auto touch = [](std::map<std::size_t, std::vector<std::pair<OpTag, Pair>>>& seq,
                    const Operation& g, std::size_t a, std::size_t b) {
      seq[a].push_back({g.kind.tag, {a, b}});
      if (b != a) seq[b].push_back({g.kind.tag, {a, b}});
    };
    for (const Operation& g : circuit) touch(want, g, g.q0, g.q1);
    std::size_t swaps = 0;
    for (const Operation& g : out) {
      if (g.kind.tag == OpTag::Swap) {
        std::swap(p2v[g.q0], p2v[g.q1]);
        ++swaps;
        continue;
      }
      touch(got, g, p2v[g.q0], p2v[g.q1]);
    }
    ASSERT_EQ(swaps, run.swaps);
    ASSERT_EQ(got, want) << "seed " << seed;
    for (std::size_t p = 0; p < n; ++p) ASSERT_EQ(env.p2v[p], p2v[p]) << "seed " << seed;
  }
}

}  // namespace
}  // namespace corvane::routing
