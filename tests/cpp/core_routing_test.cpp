// Parallel passes, best-of selection and the forward/backward layout search.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <limits>

#include "common/argsort.h"
#include "common/fault.h"
#include "common/rng.h"
#include "test_support.h"
#include "routing/routing.h"
#include "routing_fixtures.h"

namespace corvane::routing {
namespace {

using testing_support::fault_of;

using namespace fixtures;

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();


std::vector<GateTuple> to_py(const std::vector<Operation>& ops) { return ops_to_py(ops); }

TEST(MetricsOrder, LexicographicWithPrefixesSmaller) {
  EXPECT_TRUE(metrics_less({3, 8}, {3, 9}));
  EXPECT_FALSE(metrics_less({3, 9}, {3, 9}));
  EXPECT_FALSE(metrics_less({3, 9, 0}, {3, 9}));
  EXPECT_TRUE(metrics_less({3, 9}, {3, 9, 0}));
  EXPECT_TRUE(metrics_less({}, {kMax}));
  EXPECT_FALSE(metrics_less({}, {}));
  EXPECT_FALSE(metrics_less({kMax}, {kMax}));
}

TEST(LabelMaps, ArgsortIsStableAndInvertsPermutations) {
  using V = std::vector<std::size_t>;
  EXPECT_EQ(argsort(V{2, 0, 1}), (V{1, 2, 0}));
  EXPECT_EQ(argsort(V{1, 1, 0}), (V{2, 0, 1}));
  EXPECT_EQ(argsort(V{}), V{});
  const std::vector<std::size_t> p = {3, 0, 4, 1, 2};
  EXPECT_EQ(gather_by_index(p, argsort(p)), (std::vector<std::size_t>{0, 1, 2, 3, 4}));
}

TEST(LabelMaps, GatherAndRelabelCheckTheirIndices) {
  EXPECT_EQ(gather_by_index({5, 6, 7}, {2, 0}), (std::vector<std::size_t>{7, 5}));
  EXPECT_EQ(fault_of([] { gather_by_index({5, 6}, {0, 2}); }),
            "index out of bounds: the len is 2 but the index is 2");
  std::vector<Operation> ops = {{OpTag::Cx, 0, 0, 1}, {OpTag::Swap, 1, 1, 2}};
  relabel_ops(ops, {2, 0, 1});
  EXPECT_EQ(ops[0].q0, 2u);
  EXPECT_EQ(ops[0].q1, 0u);
  EXPECT_EQ(ops[1].q0, 0u);
  EXPECT_EQ(ops[1].q1, 1u);
  EXPECT_EQ(fault_of([&] { relabel_ops(ops, {0}); }),
            "index out of bounds: the len is 1 but the index is 2");
}

class RouteLoopTest : public ::testing::Test {
 protected:
  CouplingMap cm = line(8);
  Dists d = distances(cm, 8);
  ErrMap err;
  Routing routing{false};
};

TEST_F(RouteLoopTest, NoRunsOrNoGatesGiveTheInitialBest) {
  const std::vector<Operation> ops = random_cx(8, 20, 1);
  for (const auto& [runs, circuit] :
       std::vector<std::pair<std::uint64_t, std::vector<Operation>>>{{0, ops}, {4, {}}}) {
    const RoutingResult r = routing._route_loop(circuit, runs, cm, d, err, {"n_cnots"}, 8);
    EXPECT_TRUE(r.ops.empty());
    EXPECT_EQ(r.layout, Layout::identity(8));
    EXPECT_EQ(r.metrics, std::vector<std::uint64_t>{kMax});
  }
}

TEST_F(RouteLoopTest, ASwapOnlyCircuitKeepsItsPermutation) {
  // Under folding the SWAP meets no standing gate and leaves no gate at all;
  // the pass must still report the exchange it made.
  const Routing folding{true};
  const std::vector<Operation> ops = {{OpTag::Swap, 0, 2, 3}};
  const RoutingResult r = folding._route_loop(ops, 3, cm, d, err, {"n_cnots"}, 8);
  EXPECT_TRUE(r.ops.empty());
  EXPECT_EQ(r.layout.perm, (std::vector<std::size_t>{0, 1, 3, 2, 4, 5, 6, 7}));
  EXPECT_EQ(r.metrics, std::vector<std::uint64_t>{0});
  // Without folding it is an ordinary gate.
  const RoutingResult plain = routing._route_loop(ops, 3, cm, d, err, {"n_cnots"}, 8);
  ASSERT_EQ(plain.ops.size(), 1u);
  EXPECT_EQ(plain.ops[0].kind.tag, OpTag::Swap);
}

TEST_F(RouteLoopTest, CancelledCircuitOnTheIdentityIsNotKept) {
  // Two equal CX cancel: nothing is left and nothing moved, so the pass
  // gives its initial best.
  const std::vector<Operation> ops = {{OpTag::Cx, 0, 0, 1}, {OpTag::Cx, 1, 0, 1}};
  const RoutingResult r = routing._route_loop(ops, 2, cm, d, err, {"n_cnots"}, 8);
  EXPECT_TRUE(r.ops.empty());
  EXPECT_EQ(r.metrics, std::vector<std::uint64_t>{kMax});
}

TEST_F(RouteLoopTest, BestOfRunsIsNoWorseThanAnyRun) {
  const std::vector<Operation> ops = random_cx(8, 60, 7);
  const RoutingResult best = routing._route_loop(ops, 8, cm, d, err, {"n_cnots", "layers"}, 8);
  ASSERT_FALSE(best.ops.empty());
  ASSERT_EQ(best.metrics.size(), 2u);
  // Metrics are those of the returned list.
  std::uint64_t cx = 0;
  for (const Operation& op : best.ops) cx += op.kind.cx_cost();
  EXPECT_EQ(best.metrics[0], cx);
  // Single runs are random; their median cannot beat the best of eight often.
  int better = 0;
  for (int i = 0; i < 8; ++i) {
    const RoutingResult one = routing._route_loop(ops, 1, cm, d, err, {"n_cnots", "layers"}, 8);
    better += metrics_less(one.metrics, best.metrics);
  }
  EXPECT_LT(better, 8);
}

TEST_F(RouteLoopTest, EmptyMetricNamesKeepTheFirstWorker) {
  const std::vector<Operation> ops = random_cx(8, 30, 3);
  const RoutingResult r = routing._route_loop(ops, 3, cm, d, err, {}, 8);
  EXPECT_FALSE(r.ops.empty());
  EXPECT_TRUE(r.metrics.empty());
}

TEST_F(RouteLoopTest, FailedWorkerFailsThePass) {
  const std::vector<Operation> ops = random_cx(8, 10, 3);
  EXPECT_EQ(fault_of([&] { routing._route_loop(ops, 4, cm, d, err, {"bogus"}, 8); }),
            "Thread panicked: Any { .. }");
  const std::vector<Operation> bad = {{OpTag::Cx, 0, 0, 9}};
  EXPECT_EQ(fault_of([&] { routing._route_loop(bad, 2, cm, d, err, {"noise"}, 8); }),
            "Thread panicked: Any { .. }");
}

TEST_F(RouteLoopTest, SpawnFailureWaitsForStartedWorkers) {
  const std::vector<Operation> ops = random_cx(8, 30, 3);
  testing::fail_spawn_after(1, EAGAIN);  // the second thread of the pass
  const std::string msg = fault_of([&] { routing._route_loop(ops, 5, cm, d, err, {"n_cnots"}, 8); });
  testing::fail_spawn_after(std::numeric_limits<std::size_t>::max(), 0);
  EXPECT_EQ(msg.rfind("failed to spawn thread: Os { code: 11, kind: WouldBlock, message: \"", 0), 0u)
      << msg;
  // Spawning works again.
  EXPECT_FALSE(routing._route_loop(ops, 2, cm, d, err, {"n_cnots"}, 8).ops.empty());
}

TEST_F(RouteLoopTest, EqualMetricsGoToTheEarlierRun) {
  // Seeded runs: run i of a pass routes exactly as a lone worker seeded with
  // base + i. Find a pass whose best metrics are reached by two runs with
  // different routings; the pass must return the earlier of them.
  const std::vector<Operation> ops = random_cx(8, 24, 5);
  const MetricNames names = {"n_cnots"};
  constexpr std::uint64_t kRuns = 12;
  bool found = false;
  for (std::uint64_t base = 1; base < 400 && !found; base += kRuns) {
    std::vector<RoutingResult> alone;
    for (std::uint64_t i = 0; i < kRuns; ++i) {
      rng::seed_thread_rng(base + i);
      alone.push_back(route_worker(false, ops, cm, d, err, names, 8));
    }
    std::size_t first = 0;
    for (std::size_t i = 1; i < kRuns; ++i)
      if (metrics_less(alone[i].metrics, alone[first].metrics)) first = i;
    bool tie = false;
    for (std::size_t i = first + 1; i < kRuns; ++i)
      tie |= alone[i].metrics == alone[first].metrics && alone[i].ops != alone[first].ops;
    if (!tie) continue;
    found = true;
    testing::seed_workers(base);
    const RoutingResult pass = routing._route_loop(ops, kRuns, cm, d, err, names, 8);
    testing::seed_workers(std::nullopt);
    EXPECT_EQ(pass.ops, alone[first].ops) << "base " << base;
    EXPECT_EQ(pass.layout, alone[first].layout);
  }
  EXPECT_TRUE(found) << "no pass with a tie between different routings";
}

TEST_F(RouteLoopTest, ManyRunsOfAFixedOutcomeEndAtOnce) {
  // A routing that needs no step draws nothing random, so every run gives
  // the same result: a pass of 2^63 such runs returns the first one.
  const std::vector<Operation> adjacent = {{OpTag::Cx, 0, 0, 1}, {OpTag::Cx, 1, 2, 3}};
  const RoutingResult r =
      routing._route_loop(adjacent, std::uint64_t{1} << 63, cm, d, err, {"n_cnots"}, 8);
  EXPECT_EQ(r.ops.size(), 2u);
  EXPECT_EQ(r.metrics, std::vector<std::uint64_t>{2});
  // So does a pass in which every run finds a gate that can never execute.
  const CouplingMap cut = both_ways({{0, 1}, {2, 3}});
  const RoutingResult none = routing._route_loop({{OpTag::Cx, 0, 0, 3}}, std::uint64_t{1} << 63,
                                                 cut, distances(cut, 4), err, {"n_cnots"}, 4);
  EXPECT_TRUE(none.ops.empty());
  EXPECT_EQ(none.metrics, std::vector<std::uint64_t>{kMax});
}

TEST(SpawnMessage, NamesTheOperatingSystemError) {
  EXPECT_EQ(spawn_failure_message(ENOMEM).rfind("failed to spawn thread: Os { code: 12, kind: OutOfMemory", 0),
            0u);
}

// --- route and transpile --------------------------------------------------

class CircuitRoutingTest : public ::testing::Test {
 protected:
  CircuitRouting router;
  CouplingMap cm = heavy_hex(3, 11);
  std::size_t n = num_qubits(cm);
  Dists d = distances(cm, n);
  ErrMap err;

  // Checks that `out` implements `ops` with caller qubit j starting on
  // argsort(perm)[j] and ending on v2p[j].
  void expect_implements(const RouteOutput& out, const std::vector<Operation>& ops) {
    std::vector<Operation> routed;
    for (const auto& [code, q] : out.first)
      routed.push_back(Operation{CODE_TO_KIND.at(code), 0, q.first, q.second});
    ASSERT_FALSE(routed.empty());
    EXPECT_TRUE(all_on_edges(routed, cm));
    const Layout& l = out.second;
    ASSERT_EQ(l.perm.size(), n);
    const std::vector<std::size_t> initial = argsort(l.perm);
    EXPECT_EQ(simulate_routed(routed, n, initial, l.v2p), simulate_virtual(ops, n));
  }
};

TEST_F(CircuitRoutingTest, RouteKeepsTheIdentityPermutation) {
  const std::vector<Operation> ops = random_cx(n, 120, 11);
  const RouteOutput out = router.route(to_py(ops), 4, cm, d, err, {"n_cnots"}, n);
  EXPECT_EQ(out.second.perm, Layout::identity(n).perm);
  EXPECT_TRUE(is_permutation_pair(out.second.p2v, out.second.v2p));
  expect_implements(out, ops);
}

TEST_F(CircuitRoutingTest, RouteFaultsOnGateCodesSevenToNine) {
  for (std::uint64_t code : {7, 8, 9}) {
    const std::vector<GateTuple> circuit = {{0, {0, 1}}, {code, {1, 2}}};
    EXPECT_EQ(fault_of([&] { router.route(circuit, 2, cm, d, err, {"n_cnots"}, n); }),
              "index out of bounds: the len is 7 but the index is " + std::to_string(code));
  }
}

TEST_F(CircuitRoutingTest, TranspileResultImplementsTheCircuit) {
  for (std::uint32_t seed = 1; seed <= 4; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    const std::vector<Operation> ops = random_cx(n, 100, seed);
    // Two shots: the identity and a reversed layout.
    std::vector<std::vector<std::uint64_t>> layout(2, std::vector<std::uint64_t>(n));
    for (std::size_t j = 0; j < n; ++j) {
      layout[0][j] = j;
      layout[1][j] = n - 1 - j;
    }
    for (std::uint64_t inner : {1, 2, 3, 4}) {
      SCOPED_TRACE("inner_its " + std::to_string(inner));
      const RouteOutput out =
          router.transpile(to_py(ops), 2, inner, 2, 2, layout, cm, d, err, {"n_cnots", "layers"}, n, 60);
      expect_implements(out, ops);
      EXPECT_EQ(argsort(argsort(out.second.perm)), out.second.perm);
    }
  }
}

// Small lines fold many SWAPs into perm, in every kind of pass; among these
// runs some forward passes after the first improve the best with a perm that
// is not its own inverse, which is where reading perm the wrong way round
// would show.
TEST(TranspileLayouts, EveryPassKindReportsItsLayoutsRight) {
  int routed_runs = 0;
  CircuitRouting router;
  for (const std::size_t n : {5, 8}) {
    const CouplingMap cm = line(n);
    const Dists d = distances(cm, n);
    const std::vector<std::vector<std::uint64_t>> layout = {Layout::identity(n).perm};
    for (std::uint32_t seed = 200; seed <= 300; ++seed) {
      testing::seed_workers(seed);
      const std::vector<Operation> ops = random_cx(n, 2 + seed % 6, seed);
      for (const std::uint64_t inner : {3, 5}) {
        const RouteOutput out = router.transpile(to_py(ops), 1, inner, 3, 1, layout, cm, d, {},
                                                 {"layers", "n_cnots"}, n, 60);
        std::vector<Operation> routed;
        for (const auto& [code, q] : out.first)
          routed.push_back(Operation{CODE_TO_KIND.at(code), 0, q.first, q.second});
        if (routed.empty()) continue;  // no gate left after cancellations
        ++routed_runs;
        ASSERT_EQ(simulate_routed(routed, n, argsort(out.second.perm), out.second.v2p),
                  simulate_virtual(ops, n))
            << "n " << n << " seed " << seed << " inner_its " << inner;
      }
    }
  }
  testing::seed_workers(std::nullopt);
  EXPECT_GT(routed_runs, 300);
}

TEST_F(CircuitRoutingTest, TranspileOfSwapsOnlyReportsThePermutation) {
  const std::vector<Operation> ops = {{OpTag::Swap, 0, 0, 1}, {OpTag::Swap, 1, 1, 2}};
  const RouteOutput out = router.transpile(to_py(ops), 2, 3, 1, 1, {Layout::identity(n).perm}, cm, d,
                                           err, {"n_cnots"}, n, 60);
  EXPECT_TRUE(out.first.empty());
  // No gate: caller j starts on argsort(perm)[j] and ends on v2p[j], and
  // between the two sits exactly the permutation of the circuit.
  const std::vector<std::size_t> start = argsort(out.second.perm);
  EXPECT_EQ(simulate_routed({}, n, start, out.second.v2p), simulate_virtual(ops, n));
}

TEST_F(CircuitRoutingTest, TranspileNothingToDoGivesIdentities) {
  const std::vector<Operation> ops = random_cx(n, 20, 2);
  const std::vector<std::vector<std::uint64_t>> layout = {Layout::identity(n).perm};
  const Layout id = Layout::identity(n);
  for (const auto& [runs, inner, its, shots] :
       std::vector<std::tuple<int, int, int, int>>{{0, 2, 2, 1}, {2, 0, 2, 1}, {2, 2, 0, 1}, {2, 2, 2, 0}}) {
    const RouteOutput out =
        router.transpile(to_py(ops), runs, inner, its, shots, layout, cm, d, err, {"n_cnots"}, n, 60);
    EXPECT_TRUE(out.first.empty());
    EXPECT_EQ(out.second, id);
  }
}

TEST_F(CircuitRoutingTest, TranspileAdjacentCircuitOnIdentityLayout) {
  // Every gate on a coupling edge: pass 0 inserts nothing and nothing later
  // is strictly better.
  std::vector<Operation> ops;
  for (std::size_t i = 0; i < cm.size(); i += 2) ops.push_back({OpTag::Cx, 0, cm[i].first, cm[i].second});
  const RouteOutput out = router.transpile(to_py(ops), 2, 4, 2, 1, {Layout::identity(n).perm}, cm, d,
                                           err, {"n_cnots"}, n, 60);
  EXPECT_EQ(out.first.size(), ops.size());
  EXPECT_EQ(out.second, Layout::identity(n));
}

TEST_F(CircuitRoutingTest, TranspileStopsAfterThePassThatExceedsTheTime) {
  const std::vector<Operation> ops = random_cx(n, 40, 5);
  const auto start = std::chrono::steady_clock::now();
  // A million passes would take far longer than a second; max_seconds 0
  // ends the search after the first.
  const RouteOutput out = router.transpile(to_py(ops), 1, 1'000'000, 1, 1, {Layout::identity(n).perm},
                                           cm, d, err, {"n_cnots"}, n, 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  expect_implements(out, ops);
}

TEST_F(CircuitRoutingTest, TranspileIterationsWithoutPassesEndAtOnce) {
  const std::vector<Operation> ops = random_cx(n, 10, 5);
  const auto start = std::chrono::steady_clock::now();
  const RouteOutput out = router.transpile(to_py(ops), 4, 0, kMax, 3, {Layout::identity(n).perm,
                                           Layout::identity(n).perm, Layout::identity(n).perm},
                                           cm, d, err, {"n_cnots"}, n, 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  EXPECT_TRUE(out.first.empty());
  EXPECT_EQ(out.second, Layout::identity(n));
  // Shots still look up their layouts.
  EXPECT_EQ(fault_of([&] {
              router.transpile(to_py(ops), 4, 0, kMax, 2, {Layout::identity(n).perm}, cm, d, err,
                               {"n_cnots"}, n, 0);
            }),
            "index out of bounds: the len is 1 but the index is 1");
}

TEST_F(CircuitRoutingTest, TranspileFaults) {
  const std::vector<Operation> ops = random_cx(n, 10, 5);
  const std::vector<std::vector<std::uint64_t>> one = {Layout::identity(n).perm};
  // A shot beyond the layouts, after the earlier shots ran.
  EXPECT_EQ(fault_of([&] {
              router.transpile(to_py(ops), 1, 1, 1, 2, one, cm, d, err, {"n_cnots"}, n, 60);
            }),
            "index out of bounds: the len is 1 but the index is 1");
  // A layout shorter than n.
  std::vector<std::vector<std::uint64_t>> short_layout = {std::vector<std::uint64_t>(n + 5, 0)};
  short_layout[0].resize(n - 1);
  for (std::size_t j = 0; j + 1 < n; ++j) short_layout[0][j] = j;
  const std::vector<GateTuple> small = {{0, {0, 1}}};
  EXPECT_EQ(fault_of([&] {
              router.transpile(small, 1, 1, 1, 1, short_layout, cm, d, err, {"n_cnots"}, n, 60);
            }),
            "index out of bounds: the len is " + std::to_string(n - 1) + " but the index is " +
                std::to_string(n - 1));
  // A circuit qubit beyond the shot's layout.
  const std::vector<GateTuple> far = {{0, {0, n + 3}}};
  EXPECT_EQ(fault_of([&] { router.transpile(far, 1, 1, 1, 1, one, cm, d, err, {"n_cnots"}, n, 60); }),
            "index out of bounds: the len is " + std::to_string(n) + " but the index is " +
                std::to_string(n + 3));
  // A failing worker.
  EXPECT_EQ(fault_of([&] { router.transpile(to_py(ops), 2, 1, 1, 1, one, cm, d, err, {"x"}, n, 60); }),
            "Thread panicked: Any { .. }");
}

}  // namespace
}  // namespace corvane::routing
