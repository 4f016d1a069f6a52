// Routing metrics: CX counts, CX depth and the noise figure that ranks a
// routing, with its name lookup and faults; the hash of error-map keys.

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <unordered_set>
#include <vector>

#include <gtest/gtest.h>

#include "common/fault.h"
#include "common/hash.h"
#include "test_support.h"
#include "routing/metrics.h"
#include "routing/ops.h"
#include "routing/types.h"

namespace corvane::routing::metrics {
namespace {

using testing_support::fault_of;

using Values = std::vector<std::uint64_t>;

const MetricNames kAll = {"noise", "layers", "cnot_layers", "n_cnots", "n_gates"};

using testing_support::gate;

Values measure(std::size_t n, const std::vector<Operation>& ops, const ErrMap& err,
               const MetricNames& names = kAll) {
  CircuitMetrics m(n, names, err);
  for (const Operation& op : ops) m.apply(op);
  return m.get_metrics();
}


TEST(MetricsValues, EmptyCircuitIsAllZero) {
  EXPECT_EQ(measure(4, {}, {}), (Values{0, 0, 0, 0, 0}));
  EXPECT_EQ(measure(0, {}, {}), (Values{0, 0, 0, 0, 0}));
}

TEST(MetricsValues, SwapWithOnePercentErrorOnItsPair) {
  const ErrMap err = {{{0, 1}, 0.01}};
  CircuitMetrics m(2, kAll, err);
  m.apply(gate(OpTag::Swap, 0, 1));
  const double want = (1.0 - 0.01) * ((1.0 - 0.01) * ((1.0 - 0.01) * 1.0));
  EXPECT_EQ(m.fidelity(), want);
  EXPECT_EQ(m.get_metrics(), (Values{29701, 3, 3, 3, 3}));
}

TEST(MetricsValues, ReversedPairHasNoRate) {
  const ErrMap err = {{{1, 0}, 0.01}};
  CircuitMetrics m(2, kAll, err);
  m.apply(gate(OpTag::Swap, 0, 1));
  EXPECT_EQ(m.fidelity(), 1.0);
  EXPECT_EQ(m.get_metrics(), (Values{0, 3, 3, 3, 3}));
}

TEST(MetricsValues, RatesMultiplyPerRecordedCx) {
  const ErrMap err = {{{0, 1}, 0.5}, {{1, 2}, 0.25}, {{2, 1}, 0.75}};
  CircuitMetrics m(3, {"noise"}, err);
  m.apply(gate(OpTag::Cx, 0, 1));
  m.apply(gate(OpTag::Block2, 1, 2));
  m.apply(gate(OpTag::SymmetricCx, 2, 0));  // no rate: unchanged
  EXPECT_EQ(m.fidelity(), 0.5 * 0.75 * 0.75);
  EXPECT_EQ(m.get_metrics(), Values{718750});
}

TEST(MetricsValues, FullErrorRateAndRatesAboveOne) {
  EXPECT_EQ(measure(2, {gate(OpTag::Cx, 0, 1)}, {{{0, 1}, 1.0}}, {"noise"}), Values{1000000});
  EXPECT_EQ(measure(2, {gate(OpTag::Cx, 0, 1)}, {{{0, 1}, 1.5}}, {"noise"}), Values{1500000});
  // Two factors of -0.5 multiply back to a fidelity of 0.25.
  EXPECT_EQ(measure(2, {gate(OpTag::Cx, 0, 1), gate(OpTag::Cx, 0, 1)}, {{{0, 1}, 1.5}},
                    {"noise"}),
            Values{750000});
}

TEST(MetricsValues, LayersCountCxDepth) {
  EXPECT_EQ(measure(4, {gate(OpTag::Cx, 0, 1), gate(OpTag::Cx, 2, 3)}, {}),
            (Values{0, 1, 1, 2, 2}));
  EXPECT_EQ(measure(4, {gate(OpTag::Cx, 0, 1), gate(OpTag::Cx, 1, 2)}, {}),
            (Values{0, 2, 2, 2, 2}));
  // A gate on fresh qubits does not deepen the circuit.
  EXPECT_EQ(measure(4, {gate(OpTag::Cx, 0, 1), gate(OpTag::Cx, 1, 2), gate(OpTag::Cx, 0, 3)}, {},
                    {"layers"}),
            Values{2});
  // A SWAP is three layers; a CX after it on one of its qubits is a fourth.
  EXPECT_EQ(measure(4, {gate(OpTag::Swap, 0, 1), gate(OpTag::Cx, 2, 3), gate(OpTag::Cx, 1, 2)},
                    {}, {"layers", "cnot_layers", "n_cnots"}),
            (Values{4, 4, 5}));
}

TEST(MetricsValues, GateOnOneQubitStillDeepensIt) {
  EXPECT_EQ(measure(3, {gate(OpTag::Swap, 1, 1), gate(OpTag::Cx, 0, 1)}, {{{1, 1}, 0.5}}),
            (Values{875000, 4, 4, 4, 4}));
}

TEST(MetricsValues, EachKindRecordsItsCxCost) {
  const std::vector<std::pair<Operation, std::uint64_t>> cases = {
      {gate(OpTag::Cx, 0, 1), 1},       {gate(OpTag::Swap, 0, 1), 3},
      {gate(OpTag::SymmetricCx, 0, 1), 1}, {gate(OpTag::Block3, 0, 1), 3},
      {gate(OpTag::Block2, 0, 1), 2},   {Operation{OpKind::coded(5, 77), 0, 0, 1}, 5},
      {gate(OpTag::OneQubit, 0, 1), 0}, {gate(OpTag::WaitAll, 0, 1), 0}};
  for (const auto& [op, cost] : cases) {
    const Values v = measure(2, {op}, {{{0, 1}, 0.5}});
    const std::uint64_t noise = cost == 0 ? 0 : static_cast<std::uint64_t>(
                                                    (1.0 - std::pow(0.5, static_cast<double>(cost))) * 1e6);
    EXPECT_EQ(v, (Values{noise, cost, cost, cost, cost})) << static_cast<int>(op.kind.tag);
  }
}

TEST(MetricsValues, ZeroCostGatesChangeNothingEvenOffTheQubitRange) {
  // Nothing is recorded, so nothing is indexed either.
  EXPECT_EQ(measure(2, {gate(OpTag::OneQubit, 7, 9), gate(OpTag::WaitAll, 8, 8)}, {}),
            (Values{0, 0, 0, 0, 0}));
}

TEST(MetricsNames, CaseDoesNotMatter) {
  const std::vector<Operation> ops = {gate(OpTag::Swap, 0, 1), gate(OpTag::Cx, 1, 2)};
  const ErrMap err = {{{1, 2}, 0.1}};
  EXPECT_EQ(measure(3, ops, err, {"N_GATES", "N_Gates", "n_gates"}), (Values{4, 4, 4}));
  EXPECT_EQ(measure(3, ops, err, {"NOISE", "Layers", "CNOT_LAYERS", "N_Cnots"}),
            measure(3, ops, err, {"noise", "layers", "cnot_layers", "n_cnots"}));
}

TEST(MetricsNames, ValuesFollowTheCallersOrderAndRepeat) {
  const std::vector<Operation> ops = {gate(OpTag::Cx, 0, 1)};
  const ErrMap err = {{{0, 1}, 0.25}};
  EXPECT_EQ(measure(2, ops, err, {"n_cnots", "noise"}), (Values{1, 250000}));
  EXPECT_EQ(measure(2, ops, err, {"noise", "n_cnots", "noise", "noise"}),
            (Values{250000, 1, 250000, 250000}));
}

TEST(MetricsNames, NoNamesGiveAnEmptyList) {
  EXPECT_TRUE(measure(2, {gate(OpTag::Cx, 0, 1)}, {}, {}).empty());
}

TEST(MetricsNames, UnknownNameFaultsOnlyWhenValuesAreAsked) {
  const std::string impossible = "This should be impossible";
  for (const MetricNames& names :
       std::vector<MetricNames>{{" noise"}, {"noise "}, {"depth"}, {""}, {"n_cnots", "sixth"},
                                {"NOİSE"}, {"layers", "noise", "nosie"}}) {
    CircuitMetrics m(2, names, {});  // construction accepts any name
    m.apply(gate(OpTag::Cx, 0, 1));
    EXPECT_EQ(fault_of([&] { (void)m.get_metrics(); }), impossible) << names.back();
  }
  // Also for an empty circuit.
  CircuitMetrics empty(2, {"gates"}, {});
  EXPECT_EQ(fault_of([&] { (void)empty.get_metrics(); }), impossible);
}

TEST(MetricsFaults, QubitBeyondCountIsAnIndexFault) {
  CircuitMetrics m(3, kAll, {});
  EXPECT_EQ(fault_of([&] { m.cx(3, 0); }), "index out of bounds: the len is 3 but the index is 3");
  EXPECT_EQ(fault_of([&] { m.cx(0, 5); }), "index out of bounds: the len is 3 but the index is 5");
  EXPECT_EQ(fault_of([&] { m.cx(8, 9); }), "index out of bounds: the len is 3 but the index is 8");
  EXPECT_EQ(fault_of([&] { m.apply(gate(OpTag::Swap, 1, 4)); }),
            "index out of bounds: the len is 3 but the index is 4");
  CircuitMetrics none(0, kAll, {});
  EXPECT_EQ(fault_of([&] { none.cx(0, 0); }),
            "index out of bounds: the len is 0 but the index is 0");
}

TEST(MetricsErrMap, LaterChangesToTheCallersMapDoNotCount) {
  ErrMap err = {{{0, 1}, 0.5}};
  CircuitMetrics m(2, {"noise"}, err);
  err[{0, 1}] = 0.9;
  err[{1, 0}] = 0.9;
  m.apply(gate(OpTag::Cx, 0, 1));
  m.apply(gate(OpTag::Cx, 1, 0));
  EXPECT_EQ(m.get_metrics(), Values{500000});
}

TEST(MetricsNoise, TruncatesAndSaturates) {
  EXPECT_EQ(noise_value(1.0), 0u);
  EXPECT_EQ(noise_value(0.5), 500000u);
  EXPECT_EQ(noise_value(0.0), 1000000u);
  EXPECT_EQ(noise_value(1.0 - 0.0000003), 0u);   // 0.3 truncates to 0
  EXPECT_EQ(noise_value(0.9999985), 1u);         // 1.5 truncates to 1
  EXPECT_EQ(noise_value(std::nan("")), 0u);
  EXPECT_EQ(noise_value(2.0), 0u);  // negative product
  EXPECT_EQ(noise_value(std::numeric_limits<double>::infinity()), 0u);
  const std::uint64_t top = std::numeric_limits<std::uint64_t>::max();
  EXPECT_EQ(noise_value(-std::numeric_limits<double>::infinity()), top);
  EXPECT_EQ(noise_value(-1e300), top);
  // 2^44 * 10^6 is exact and below 2^64; 2^45 * 10^6 is above it.
  EXPECT_EQ(noise_value(1.0 - 17592186044416.0), 17592186044416000000u);
  EXPECT_EQ(noise_value(1.0 - 35184372088832.0), top);
}

TEST(PairHash, MixesBothHalves) {
  PairHash hash;
  std::unordered_set<std::size_t> seen;
  std::unordered_set<std::size_t> low_bits;
  for (std::uint64_t a = 0; a < 64; ++a) {
    for (std::uint64_t b = 0; b < 64; ++b) {
      seen.insert(hash(std::pair{a, b}));
      low_bits.insert(hash(std::pair{a, b}) & 0xfff);
    }
  }
  EXPECT_EQ(seen.size(), 64u * 64u);
  // 4096 keys into 4096 buckets: a good mix fills well over half of them.
  EXPECT_GT(low_bits.size(), 2200u);
}

}  // namespace
}  // namespace corvane::routing::metrics
