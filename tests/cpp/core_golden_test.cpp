// Seeded routings of a fixed corpus, compared with recorded results: changes
// meant to make routing faster must leave every decision as it was. Each
// line of data/routing_golden.txt holds one case's gate count, metrics and a
// digest of its gate list and layout. To record them afresh (only after a
// change that is meant to alter decisions), run the test with
// CORVANE_WRITE_GOLDEN set to the file to write.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <sstream>
#include <string>

#include "common/rng.h"
#include "routing/routing.h"
#include "routing/worker.h"
#include "routing_fixtures.h"

namespace corvane::routing {
namespace {

using namespace fixtures;

struct Digest {
  std::uint64_t h = 1469598103934665603ull;  // FNV-1a
  void add(std::uint64_t v) {
    for (int i = 0; i < 8; ++i) {
      h ^= (v >> (8 * i)) & 0xFF;
      h *= 1099511628211ull;
    }
  }
};

std::string summary(const std::vector<Operation>& ops, const Layout& layout,
                    const std::vector<std::uint64_t>& metrics) {
  Digest d;
  for (const Operation& op : ops) {
    d.add(op.kind.py_code());
    d.add(op.kind.cx_cost());
    d.add(op.q0);
    d.add(op.q1);
  }
  for (const auto* v : {&layout.perm, &layout.p2v, &layout.v2p}) {
    d.add(v->size());
    for (const std::size_t x : *v) d.add(x);
  }
  std::ostringstream out;
  out << "gates=" << ops.size() << " metrics=";
  for (std::size_t i = 0; i < metrics.size(); ++i) out << (i ? "," : "") << metrics[i];
  out << " digest=" << std::hex << d.h;
  return out.str();
}

// Every gate kind, on random pairs (one-qubit gates and barriers with their
// own conventions for the second qubit).
std::vector<Operation> mixed(std::size_t n, std::size_t gates, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<Operation> ops = random_cx(n, gates, seed);
  for (Operation& op : ops) {
    switch (rng() % 12) {
      case 0: op.kind = OpTag::Swap; break;
      case 1: op.kind = OpTag::SymmetricCx; break;
      case 2: op.kind = OpTag::Block3; break;
      case 3: op.kind = OpTag::Block2; break;
      case 4: op.kind = OpKind::coded(CODED_CX_COUNT, 10 + rng() % 5); break;
      case 5: op.kind = OpTag::OneQubit, op.q1 = op.q0; break;
      case 6: op.kind = OpTag::WaitAll; break;
      default: break;
    }
  }
  return ops;
}

ErrMap errors_of(const CouplingMap& cm) {
  ErrMap err;
  for (std::size_t i = 0; i < cm.size(); ++i) err[cm[i]] = 0.00001 * static_cast<double>(1 + i % 17);
  return err;
}

struct Case {
  std::string name;
  std::function<std::string()> run;
};

std::vector<Case> corpus() {
  const MetricNames names = {"n_cnots", "layers", "noise"};
  std::vector<Case> cases;
  struct Device {
    std::string name;
    CouplingMap cm;
  };
  const std::vector<Device> devices = {{"line-20", line(20)},     {"grid-5x5", grid(5, 5)},
                                       {"hh-37", heavy_hex(3, 11)}, {"line-65", line(65)},
                                       {"grid-8x8", grid(8, 8)},  {"hh-127", heavy_hex(7, 15)}};
  for (const Device& dev : devices) {
    const std::size_t n = num_qubits(dev.cm);
    const std::vector<std::pair<std::string, std::vector<Operation>>> circuits = {
        {"random", random_cx(n, n > 60 ? 700 : 300, 7)},
        {"qft", qft_cx(std::min<std::size_t>(n, 24))},
        {"mixed", mixed(n, 300, 11)}};
    for (const auto& [cname, ops] : circuits) {
      for (const bool fold : {false, true}) {
        const std::string name = dev.name + "/" + cname + (fold ? "/fold" : "");
        cases.push_back({name + "/worker", [=] {
                           rng::seed_thread_rng(1000 + ops.size());
                           const RoutingResult r = route_worker(fold, ops, dev.cm,
                                                                distances(dev.cm, n),
                                                                errors_of(dev.cm), names, n);
                           return summary(r.ops, r.layout, r.metrics) +
                                  " steps=" + std::to_string(r.steps);
                         }});
      }
      cases.push_back({dev.name + "/" + cname + "/pass", [=] {
                         testing::seed_workers(77);
                         const RoutingResult r = Routing{false}._route_loop(
                             ops, 5, dev.cm, distances(dev.cm, n), errors_of(dev.cm), names, n);
                         testing::seed_workers(std::nullopt);
                         return summary(r.ops, r.layout, r.metrics);
                       }});
    }
  }
  // The layout search, every pass seeded.
  const CouplingMap hh = heavy_hex(3, 11);
  const std::size_t n = num_qubits(hh);
  std::vector<std::vector<std::uint64_t>> layouts(2, std::vector<std::uint64_t>(n));
  for (std::size_t j = 0; j < n; ++j) layouts[0][j] = j, layouts[1][j] = (j * 5) % n;
  for (const auto& [cname, ops] : std::vector<std::pair<std::string, std::vector<Operation>>>{
           {"random", random_cx(n, 200, 3)}, {"mixed", mixed(n, 150, 4)}}) {
    cases.push_back({"hh-37/" + cname + "/transpile", [=] {
                       testing::seed_workers(5);
                       const RouteOutput out = CircuitRouting{}.transpile(
                           ops_to_py(ops), 3, 4, 2, 2, layouts, hh, distances(hh, n), errors_of(hh),
                           names, n, 600);
                       testing::seed_workers(std::nullopt);
                       std::vector<Operation> gates;
                       for (const auto& [code, q] : out.first) {
                         const OpKind kind = code < 7 ? OpKind(CODE_TO_KIND[code])
                                                      : OpKind::coded(CODED_CX_COUNT, code);
                         gates.push_back(Operation{kind, 0, q.first, q.second});
                       }
                       return summary(gates, out.second, {});
                     }});
  }
  // Distances that mislead the policy until the worker gives up.
  cases.push_back({"line-6/misleading/worker", [] {
                     rng::seed_thread_rng(3);
                     const RoutingResult r =
                         route_worker(false, {Operation{OpTag::Cx, 0, 1, 4}}, line(6),
                                      misleading_line6_distances(), ErrMap{}, {"n_cnots"}, 6);
                     return summary(r.ops, r.layout, r.metrics) + " steps=" + std::to_string(r.steps);
                   }});
  return cases;
}

std::string golden_path() { return std::string(CORVANE_SOURCE_ROOT) + "tests/cpp/data/routing_golden.txt"; }

TEST(RoutingGolden, SeededDecisionsAreUnchanged) {
  const std::vector<Case> cases = corpus();
  if (const char* out_path = std::getenv("CORVANE_WRITE_GOLDEN")) {
    std::ofstream out(out_path);
    for (const Case& c : cases) out << c.name << ' ' << c.run() << '\n';
    GTEST_SKIP() << "recorded " << cases.size() << " cases in " << out_path;
  }
  std::ifstream in(golden_path());
  ASSERT_TRUE(in) << golden_path();
  std::map<std::string, std::string> recorded;
  for (std::string line; std::getline(in, line);) {
    const std::size_t space = line.find(' ');
    if (space != std::string::npos) recorded[line.substr(0, space)] = line.substr(space + 1);
  }
  ASSERT_EQ(recorded.size(), cases.size());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(recorded.count(c.name));
    EXPECT_EQ(c.run(), recorded[c.name]);
  }
}

}  // namespace
}  // namespace corvane::routing
