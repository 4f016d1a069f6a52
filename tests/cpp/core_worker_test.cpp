// One routing worker: lookahead, candidates, features, and whole routings.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <numeric>
#include <random>
#include <set>

#include "common/fault.h"
#include "common/rng.h"
#include "routing/env.h"
#include "routing/worker.h"
#include "routing_fixtures.h"

namespace corvane::routing {
namespace {

using namespace fixtures;

Operation cx(std::size_t a, std::size_t b) { return Operation{OpTag::Cx, 0, a, b}; }

// dag_in as a worker sets it up: every gate pushed, the front rebuilt.
TwoQubitDAG input_dag(const std::vector<Operation>& ops, const CouplingMap& cm, std::size_t n) {
  TwoQubitDAG dag(false, false, cm, n, true);
  for (const Operation& op : ops) dag.push(op);
  dag.generations = TopologicalGenerations(dag.graph);
  return dag;
}

std::set<NodeIndex> as_set(const std::vector<NodeIndex>& v) { return {v.begin(), v.end()}; }

class WorkerTest : public ::testing::Test {
 protected:
  void SetUp() override { rng::seed_thread_rng(12345); }
};

// --- lookahead -----------------------------------------------------------

TEST_F(WorkerTest, LookaheadGenerationsAndRestoredFront) {
  // 0:(0,1) 1:(2,3) | 2:(1,2) | 3:(0,1) 4:(2,3) | 5:(1,2)
  const std::vector<Operation> ops = {cx(0, 1), cx(2, 3), cx(1, 2), cx(0, 1), cx(2, 3), cx(1, 2)};
  TwoQubitDAG dag = input_dag(ops, line(4), 4);
  const auto ready_before = dag.generations.ready;
  const auto degree_before = dag.generations.in_degree;

  dag.update_lookahead();
  ASSERT_EQ(dag.lookahead.size(), 4u);
  EXPECT_EQ(as_set(dag.lookahead[0]), (std::set<NodeIndex>{0, 1}));
  EXPECT_EQ(as_set(dag.lookahead[1]), (std::set<NodeIndex>{2}));
  EXPECT_EQ(as_set(dag.lookahead[2]), (std::set<NodeIndex>{3, 4}));
  EXPECT_EQ(as_set(dag.lookahead[3]), (std::set<NodeIndex>{5}));
  EXPECT_EQ(dag.generations.ready, ready_before);
  EXPECT_EQ(dag.generations.in_degree, degree_before);
}

TEST_F(WorkerTest, LookaheadStopsAtEightGenerations) {
  std::vector<Operation> ops;
  for (int i = 0; i < 20; ++i) ops.push_back(cx(i % 2, 1 - i % 2));  // a chain
  TwoQubitDAG dag = input_dag(ops, line(2), 2);
  const auto degree_before = dag.generations.in_degree;
  dag.update_lookahead();
  ASSERT_EQ(dag.lookahead.size(), LOOKAHEAD_DEPTH);
  for (std::size_t g = 0; g < LOOKAHEAD_DEPTH; ++g)
    EXPECT_EQ(dag.lookahead[g], std::vector<NodeIndex>{static_cast<NodeIndex>(g)});
  EXPECT_EQ(dag.generations.in_degree, degree_before);
  EXPECT_EQ(dag.generations.ready, std::vector<NodeIndex>{0});
}

TEST_F(WorkerTest, LookaheadShufflesEachGeneration) {
  // Eight independent gates: over many steps every one leads generation 0.
  std::vector<Operation> ops;
  for (std::size_t i = 0; i < 8; ++i) ops.push_back(cx(2 * i, 2 * i + 1));
  TwoQubitDAG dag = input_dag(ops, line(16), 16);
  std::set<NodeIndex> firsts;
  std::vector<std::size_t> v2p(16), c;
  std::iota(v2p.begin(), v2p.end(), std::size_t{0});
  for (int step = 0; step < 200; ++step) {
    dag.update_lookahead();
    dag.swap_candidates(v2p, c);  // reads generation 0 in its shuffled order
    ASSERT_EQ(dag.lookahead.size(), 1u);
    EXPECT_EQ(as_set(dag.lookahead[0]).size(), 8u);
    firsts.insert(dag.lookahead[0][0]);
  }
  EXPECT_EQ(firsts.size(), 8u);
}

// --- candidates ----------------------------------------------------------

TEST_F(WorkerTest, CandidatesAreTheEdgesAroundTheLookahead) {
  // Line 0-1-2-3-4-5 (positions 0..9, both directions); gate (0, 2) touches
  // the edges at qubits 0 and 2.
  const CouplingMap cm = line(6);
  TwoQubitDAG dag = input_dag({cx(0, 2)}, cm, 6);
  dag.update_lookahead();
  std::vector<std::size_t> v2p(6);
  std::iota(v2p.begin(), v2p.end(), std::size_t{0});
  std::vector<std::size_t> c;
  dag.swap_candidates(v2p, c);
  // incident(0) = {0, 1}; incident(2) = {2, 3, 4, 5}.
  EXPECT_EQ(std::set<std::size_t>(c.begin(), c.end()), (std::set<std::size_t>{0, 1, 2, 3, 4, 5}));
  EXPECT_EQ(c.size(), 6u);
  // Through a layout: virtual 0 on physical 5.
  std::swap(v2p[0], v2p[5]);
  dag.swap_candidates(v2p, c);
  EXPECT_EQ(std::set<std::size_t>(c.begin(), c.end()), (std::set<std::size_t>{8, 9, 2, 3, 4, 5}));
}

TEST_F(WorkerTest, CandidatesCapAtSixteenInsideAnIncidentList) {
  // A star: qubit 0 joined to 1..20, each edge once. The gate (0, 1) gathers
  // the first sixteen edges of qubit 0 and nothing of qubit 1.
  CouplingMap cm;
  for (std::size_t i = 1; i <= 20; ++i) cm.push_back({0, i});
  TwoQubitDAG dag = input_dag({cx(0, 1), cx(5, 6)}, cm, 21);
  dag.update_lookahead();
  std::vector<std::size_t> v2p(21);
  std::iota(v2p.begin(), v2p.end(), std::size_t{0});
  for (int rep = 0; rep < 50; ++rep) {
    std::vector<std::size_t> c;
    dag.swap_candidates(v2p, c);
    ASSERT_EQ(c.size(), MAX_CANDIDATES);
    std::set<std::size_t> s(c.begin(), c.end());
    EXPECT_EQ(s.size(), MAX_CANDIDATES) << "no duplicates";
    // Whichever gate comes first, the gathering stops inside qubit 0's list:
    // the edges of 5 and 6 (positions 4 and 5) are also qubit 0's, so the
    // sixteen are always positions 0..15.
    EXPECT_EQ(*s.rbegin(), 15u);
  }
}

TEST_F(WorkerTest, CandidatesSkipDuplicates) {
  // Two gates on the same pair share every incident edge.
  const CouplingMap cm = line(3);
  TwoQubitDAG dag = input_dag({cx(0, 2), Operation{OpTag::Cx, 0, 2, 0}}, cm, 3);
  dag.update_lookahead();
  std::vector<std::size_t> v2p = {0, 1, 2};
  std::vector<std::size_t> c;
  dag.swap_candidates(v2p, c);
  EXPECT_EQ(std::set<std::size_t>(c.begin(), c.end()), (std::set<std::size_t>{0, 1, 2, 3}));
  EXPECT_EQ(c.size(), 4u);
}

// --- features ------------------------------------------------------------

class FeatureTest : public WorkerTest {
 protected:
  // Line of 6, hop distances.
  CouplingMap cm = line(6);
  Dists d = distances(cm, 6);
  std::vector<std::size_t> v2p = {0, 1, 2, 3, 4, 5};

  Features run(const std::vector<Operation>& ops, const std::vector<std::size_t>& candidates) {
    TwoQubitDAG dag = input_dag(ops, cm, 6);
    dag.update_lookahead();
    return dag.features(candidates, cm, v2p, d);
  }
};

// Positions in line(6): 2i is (i, i+1), 2i+1 is (i+1, i).
TEST_F(FeatureTest, EachRuleMeasuresTheDistanceGained) {
  // Gate (1, 4), distance 3.
  const std::vector<Operation> gate = {cx(1, 4)};
  // Rule 1, p0 = a: SWAP (1, 2) moves qubit 1 to 2: 3 - 2 = +1.
  EXPECT_EQ(run(gate, {2})[0], 1.0f);
  // Rule 2, p0 = b: SWAP (2, 1) again moves qubit 1 towards 4: +1.
  EXPECT_EQ(run(gate, {3})[0], 1.0f);
  // Rule 1 away from the partner: SWAP (1, 0): 3 - 4 = -1.
  EXPECT_EQ(run(gate, {1})[0], -1.0f);
  // Rules 3 and 4 on the second qubit: (4, 3) gains, (4, 5) loses.
  EXPECT_EQ(run(gate, {7})[0], 1.0f);
  EXPECT_EQ(run(gate, {6})[0], 1.0f);
  EXPECT_EQ(run(gate, {8})[0], -1.0f);
  EXPECT_EQ(run(gate, {9})[0], -1.0f);
}

TEST_F(FeatureTest, GatesOnOrOffTheEdgeAddNothing) {
  // (2, 3) lies on edge position 4/5; (0, 5) touches neither end of it.
  const Features on = run({cx(2, 3)}, {4, 5});
  EXPECT_EQ(on[0], 0.0f);
  EXPECT_EQ(on[8], 0.0f);
  const Features off = run({cx(0, 5)}, {4});
  EXPECT_EQ(off[0], 0.0f);
}

TEST_F(FeatureTest, SlotsAndGenerationsLandInTheirRows) {
  // Generation 0: (1, 4); generation 1: (4, 1) behind it. Slot 0: SWAP
  // (1, 2), slot 1: SWAP (0, 1).
  const Features x = run({cx(1, 4), cx(4, 1)}, {2, 0});
  EXPECT_EQ(x[0 + 8 * 0], 1.0f);
  EXPECT_EQ(x[1 + 8 * 0], 1.0f);
  EXPECT_EQ(x[0 + 8 * 1], -1.0f);
  EXPECT_EQ(x[1 + 8 * 1], -1.0f);
  for (std::size_t i = 0; i < FEATURE_COUNT; ++i) {
    if (i == 0 || i == 1 || i == 8 || i == 9) continue;
    EXPECT_EQ(x[i], 0.0f) << "entry " << i;
  }
}

TEST_F(FeatureTest, TermsOfOneGenerationAddUp) {
  // Both front gates gain from SWAP (2, 3): (2, 5) by 3 - 2 and (0, 3) by
  // 3 - 2, through its second qubit.
  const Features x = run({cx(2, 5), cx(0, 3)}, {4});
  EXPECT_EQ(x[0], 2.0f);
}

TEST_F(FeatureTest, DifferencesWrapInThirtyTwoBits) {
  // dists[a][p1] = INT32_MIN and dists[b][p1] = 1: the difference wraps to
  // INT32_MAX before it becomes a float.
  d[1][4] = std::numeric_limits<std::int32_t>::min();
  d[2][4] = 1;
  const Features x = run({cx(1, 4)}, {2});
  EXPECT_EQ(x[0], static_cast<float>(std::numeric_limits<std::int32_t>::max()));
}

TEST_F(FeatureTest, OneQubitGateUsesItsSecondQubit) {
  const Features x = run({Operation{OpTag::OneQubit, 0, 1, 4}}, {2});
  EXPECT_EQ(x[0], 1.0f);
}

// The features kept by coupler, found from the gates on each candidate's
// qubits, against the plain visit of every looked-ahead gate, over routings
// in which SWAPs move qubits and executed gates change the front: gates of
// every kind, a one-qubit gate with a far second qubit, a self-loop coupler,
// a coupler listed twice.
TEST_F(WorkerTest, FeaturesFromQubitsEqualTheGenerationSums) {
  std::mt19937 gen(99);
  CouplingMap cm = grid(3, 4);
  cm.push_back({5, 5});
  cm.push_back({6, 2});
  cm.push_back({2, 6});
  const std::size_t n = 12;
  const Dists d = distances(cm, n);
  std::size_t compared = 0;
  for (int trial = 0; trial < 20; ++trial) {
    std::vector<Operation> ops = random_cx(n, 40, 500 + trial);
    for (Operation& op : ops) {
      const unsigned k = gen() % 10;
      if (k == 0) op.kind = OpTag::OneQubit, op.q1 = gen() % 2 ? op.q0 : op.q1;
      if (k == 1) op.kind = OpTag::WaitAll;
      if (k == 2) op.q1 = op.q0;
    }
    TwoQubitDAG dag = input_dag(ops, cm, n);
    if (trial % 2 == 0) dag.freeze_successors();  // as a worker's input DAG
    dag.set_distance_bound(d);
    std::vector<std::size_t> v2p(n), p2v(n), c;
    std::iota(v2p.begin(), v2p.end(), std::size_t{0});
    p2v = v2p;
    while (dag.graph.node_count() > 0) {
      dag.update_lookahead();
      dag.swap_candidates(v2p, c);
      IntFeatures fast;
      ASSERT_TRUE(dag.features_from_qubits(c, cm, v2p, p2v, fast));
      const Features plain = dag.features(c, cm, v2p, d);
      Features fast_as_floats;
      std::copy(fast.begin(), fast.end(), fast_as_floats.begin());
      ASSERT_EQ(fast_as_floats, plain) << "trial " << trial;
      SlotCodes codes;
      ASSERT_TRUE(dag.feature_codes(c, cm, v2p, p2v, codes));
      ASSERT_EQ(codes, slot_codes(plain)) << "trial " << trial;
      ++compared;
      // A step executes a gate, or swaps, or (as a worker's) swaps and then
      // executes; the features must follow either way.
      const unsigned kind = gen() % 8;
      if (kind < 3) dag.remove_node(dag.generations.ready.front());  // as if executed
      if (kind >= 2 && !c.empty()) {
        const auto [a, b] = cm[c[gen() % c.size()]];
        std::swap(p2v[a], p2v[b]);
        v2p[p2v[a]] = a;
        v2p[p2v[b]] = b;
        dag.swapped(a, b, v2p, p2v);
      }
    }
  }
  EXPECT_GT(compared, 500u);
}

TEST_F(FeatureTest, QubitBeyondTheLayoutFaults) {
  TwoQubitDAG dag = input_dag({cx(1, 9)}, cm, 6);
  dag.update_lookahead();
  try {
    (void)dag.features({2}, cm, v2p, d);
    FAIL() << "expected a fault";
  } catch (const Fault& f) {
    EXPECT_EQ(f.message(), "index out of bounds: the len is 6 but the index is 9");
  }
}

// --- whole routings ------------------------------------------------------

RoutingResult route(const std::vector<Operation>& ops, const CouplingMap& cm, std::size_t n,
                    bool swap_as_perm = false, const MetricNames& names = {"n_cnots"}) {
  const Dists d = distances(cm, n);
  return route_worker(swap_as_perm, ops, cm, d, ErrMap{}, names, n);
}

void expect_implements(const RoutingResult& r, const std::vector<Operation>& ops,
                       const CouplingMap& cm, std::size_t n) {
  ASSERT_FALSE(r.ops.empty());
  EXPECT_TRUE(all_on_edges(r.ops, cm));
  EXPECT_TRUE(is_permutation_pair(r.layout.p2v, r.layout.v2p));
  // The folded SWAPs make the start: caller j starts on argsort(perm)[j].
  std::vector<std::size_t> initial(n);
  for (std::size_t p = 0; p < n; ++p) initial[r.layout.perm[p]] = p;
  EXPECT_EQ(simulate_routed(r.ops, n, initial, r.layout.v2p), simulate_virtual(ops, n));
}

TEST_F(WorkerTest, EmptyCircuitMakesNoStep) {
  const RoutingResult r = route({}, line(4), 4);
  EXPECT_TRUE(r.ops.empty());
  EXPECT_EQ(r.steps, 0u);
  EXPECT_EQ(r.layout, Layout::identity(4));
  EXPECT_EQ(r.metrics, std::vector<std::uint64_t>{0});
}

TEST_F(WorkerTest, AdjacentCircuitMakesNoStep) {
  const std::vector<Operation> ops = {cx(0, 1), cx(1, 2), cx(2, 3), cx(1, 0)};
  const RoutingResult r = route(ops, line(4), 4);
  EXPECT_EQ(r.steps, 0u);
  EXPECT_EQ(r.ops.size(), 4u);
  EXPECT_EQ(r.layout, Layout::identity(4));
  expect_implements(r, ops, line(4), 4);
}

TEST_F(WorkerTest, RoutesRandomCircuitsOnLineGridAndHeavyHex) {
  struct Device {
    const char* name;
    CouplingMap cm;
  };
  const std::vector<Device> devices = {
      {"line", line(12)}, {"grid", grid(4, 5)}, {"heavy-hex", heavy_hex(3, 11)}};
  for (const Device& dev : devices) {
    const std::size_t n = num_qubits(dev.cm);
    for (std::uint32_t seed = 1; seed <= 6; ++seed) {
      const std::vector<Operation> ops = random_cx(n, 150, seed);
      for (const bool fold : {false, true}) {
        const RoutingResult r = route(ops, dev.cm, n, fold);
        SCOPED_TRACE(std::string(dev.name) + " seed " + std::to_string(seed));
        expect_implements(r, ops, dev.cm, n);
        if (!fold) {
          EXPECT_EQ(r.layout.perm, Layout::identity(n).perm);
        }
      }
    }
  }
}

TEST_F(WorkerTest, RoutesLargeHeavyHexCircuitsToCompletion) {
  const CouplingMap cm = heavy_hex(7, 15);
  const std::size_t n = num_qubits(cm);
  ASSERT_EQ(n, 127u);
  const std::vector<Operation> ops = random_cx(n, 400, 99);
  const RoutingResult r = route(ops, cm, n);
  expect_implements(r, ops, cm, n);
  const std::vector<Operation> qft = qft_cx(27);
  const RoutingResult rq = route(qft, cm, n);
  expect_implements(rq, qft, cm, n);
}

TEST_F(WorkerTest, MetricsComeFromTheFinalGateList) {
  const std::vector<Operation> ops = random_cx(8, 40, 5);
  const RoutingResult r = route(ops, line(8), 8, false, {"n_cnots", "n_gates", "layers"});
  std::uint64_t cx_total = 0;
  for (const Operation& op : r.ops) cx_total += op.kind.cx_cost();
  ASSERT_EQ(r.metrics.size(), 3u);
  EXPECT_EQ(r.metrics[0], cx_total);
  EXPECT_EQ(r.metrics[1], cx_total);
  EXPECT_GT(r.metrics[2], 0u);
}

TEST_F(WorkerTest, UnknownMetricFaultsAtTheEndEvenForAnEmptyCircuit) {
  try {
    (void)route({}, line(3), 3, false, {"depth"});
    FAIL() << "expected a fault";
  } catch (const Fault& f) {
    EXPECT_EQ(f.message(), "This should be impossible");
  }
}

TEST_F(WorkerTest, FinishedAndWorthKeeping) {
  EXPECT_FALSE(worth_keeping(route({}, line(4), 4))) << "an empty circuit carries nothing";
  const RoutingResult folded = route({Operation{OpTag::Swap, 0, 1, 2}}, line(4), 4, true);
  EXPECT_TRUE(folded.finished);
  EXPECT_TRUE(folded.ops.empty());
  EXPECT_EQ(folded.layout.perm, (std::vector<std::size_t>{0, 2, 1, 3}));
  EXPECT_TRUE(worth_keeping(folded));
  EXPECT_TRUE(worth_keeping(route({cx(0, 1)}, line(4), 4)));
}

TEST_F(WorkerTest, StepCapReturnsAnEmptyGateList) {
  const CouplingMap cm = line(10);
  const Dists d = distances(cm, 10);
  const std::vector<Operation> ops = {cx(0, 9), cx(1, 8)};
  const RoutingResult r = route_worker_capped(false, ops, cm, d, ErrMap{}, {"n_cnots"}, 10, 2);
  EXPECT_TRUE(r.ops.empty());
  EXPECT_FALSE(r.finished);
  EXPECT_FALSE(worth_keeping(r));
  EXPECT_EQ(r.steps, 2u);
  EXPECT_EQ(r.metrics, std::vector<std::uint64_t>{0});
  EXPECT_TRUE(is_permutation_pair(r.layout.p2v, r.layout.v2p));
}

TEST_F(WorkerTest, HopelessInputsEndAtOnce) {
  using clock = std::chrono::steady_clock;
  struct Case {
    const char* name;
    CouplingMap cm;
    std::size_t n;
    std::vector<Operation> ops;
    bool cut = false;  // every distance between distinct qubits 2147483647
  };
  const std::vector<Case> cases = {
      {"two components", both_ways({{0, 1}, {2, 3}}), 4, {cx(0, 1), cx(0, 3)}},
      {"isolated qubit", line(3), 4, {cx(0, 3)}},
      {"unreachable distance", line(2), 2, {cx(0, 1)}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Dists d = distances(c.cm, c.n);
    if (c.cut)
      for (std::size_t p = 0; p < c.n; ++p)
        for (std::size_t r = 0; r < c.n; ++r)
          if (p != r) d[p][r] = DISTS_MAX_VALUE;
    const auto start = clock::now();
    const RoutingResult r = route_worker(false, c.ops, c.cm, d, ErrMap{}, {"n_cnots"}, c.n);
    EXPECT_LT(clock::now() - start, std::chrono::seconds(1));
    EXPECT_TRUE(r.ops.empty());
    EXPECT_EQ(r.metrics, std::vector<std::uint64_t>{0});
  }
}

TEST_F(WorkerTest, MisleadingDistancesEndAfterTheStallLimit) {
  // On a line of 6, distances that grow closer as qubits move apart, with
  // (2, 3) the only executable pair: the policy pushes the gate's qubits to
  // the ends and keeps them there. The worker gives up without executing it.
  const CouplingMap cm = line(6);
  const Dists d = misleading_line6_distances();
  const std::vector<Operation> ops = {cx(1, 4)};
  const auto start = std::chrono::steady_clock::now();
  const RoutingResult r = route_worker(false, ops, cm, d, ErrMap{}, {"n_cnots"}, 6);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
  EXPECT_FALSE(r.finished);
  EXPECT_TRUE(r.ops.empty());
  EXPECT_EQ(r.steps, stall_limit(cm, d, 6));
}

TEST(StallLimit, GrowsWithTheDeviceAndIgnoresUnreachablePairs) {
  EXPECT_EQ(stall_limit(line(6), distances(line(6), 6), 6), 1024u);
  const CouplingMap big = grid(40, 40);
  // 16 * 1600 qubits * 78 hops
  EXPECT_EQ(stall_limit(big, distances(big, 1600), 1600), 16u * 1600u * 78u);
  Dists cut = distances(line(4), 4);
  cut[0][3] = DISTS_MAX_VALUE;
  EXPECT_EQ(stall_limit(line(4), cut, 4), 1024u);
  EXPECT_EQ(stall_limit({}, {}, 0), 1024u);
}

TEST(StallLimit, BoundedByTheDescribedDevice) {
  // Neither a huge num_qubits nor a huge distance stretches the limit past
  // what the 40 qubits with couplers and distances can need.
  const CouplingMap cm = grid(5, 8);
  Dists d = distances(cm, 40);
  const std::uint64_t own = stall_limit(cm, d, 40);
  EXPECT_EQ(stall_limit(cm, d, 100'000), own);
  d[0][39] = 1'000'000;
  EXPECT_EQ(stall_limit(cm, d, 100'000), 16u * 40u * 40u);
  // Qubits without a row of distances are not part of the device.
  d.resize(10);
  EXPECT_LT(stall_limit(cm, d, 40), own);
}

TEST_F(WorkerTest, ReachableAcrossComponentsIsNotHopeless) {
  // Qubits 0 and 3 live in different components, but dists says 1 between
  // physical 1 and 2: qubit 0 can move to 1 and qubit 3 to 2.
  const CouplingMap cm = both_ways({{0, 1}, {2, 3}});
  Dists d = distances(cm, 4);
  d[1][2] = d[2][1] = 1;
  const std::vector<Operation> ops = {cx(0, 3)};
  const RoutingResult r = route_worker(false, ops, cm, d, ErrMap{}, {"n_cnots"}, 4);
  ASSERT_FALSE(r.ops.empty());
  EXPECT_EQ(r.ops.back().kind.tag, OpTag::Cx);
  EXPECT_TRUE(is_permutation_pair(r.layout.p2v, r.layout.v2p));
}

TEST_F(WorkerTest, QubitBeyondNFaultsRatherThanEndingQuietly) {
  const CouplingMap cm = line(3);
  const Dists d = distances(cm, 3);
  try {
    (void)route_worker(false, {cx(0, 7)}, cm, d, ErrMap{}, {"n_cnots"}, 3);
    FAIL() << "expected a fault";
  } catch (const Fault& f) {
    EXPECT_EQ(f.message(), "index out of bounds: the len is 3 but the index is 7");
  }
}

}  // namespace
}  // namespace corvane::routing
