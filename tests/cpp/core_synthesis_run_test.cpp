// The best-of rule of the three synthesis `run`s, replayed from seeded
// generators on small models whose networks always give the same scores:
// the random symmetries (or the Gumbel noise) alone make the attempts differ.
// Each test's seed gives attempts on which a wrong rule shows (telling()).

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "clifford/circuit.h"
#include "clifford/synthesis.h"
#include "common/argsort.h"
#include "common/rng.h"
#include "linear_function/synthesis.h"
#include "models/linear_function_net.h"
#include "models/model_info.h"
#include "permutation/synthesis.h"

namespace corvane {
namespace {

models::TensorPtr tensor(std::vector<std::uint64_t> shape, std::vector<float> values) {
  return std::make_shared<const models::Tensor>(models::Tensor{std::move(shape), std::move(values)});
}

// Three dense layers of zeros whose last bias is `scores`.
models::TensorMap constant_layers(const char* const (&prefixes)[3], std::size_t inputs,
                                  const std::vector<float>& scores) {
  models::TensorMap map;
  std::size_t width = inputs;
  for (int i = 0; i < 3; ++i) {
    const std::size_t rows = i < 2 ? 2 : scores.size();
    map[std::string(prefixes[i]) + ".weight"] = tensor({rows, width}, std::vector<float>(rows * width));
    map[std::string(prefixes[i]) + ".bias"] = tensor({rows}, i < 2 ? std::vector<float>(rows) : scores);
    width = rows;
  }
  return map;
}

// The attempts of a run, replayed from a generator seeded as run's own:
// attempt(rng) makes one, score(list) gives its key or an error.
template <class List, class Key>
struct Attempts {
  std::size_t failed = 0;
  std::size_t unscored = 0;
  std::vector<std::pair<Key, List>> kept;

  template <class Attempt, class Score>
  Attempts(std::uint64_t seed, std::uint64_t runs, Attempt attempt, Score score) {
    rng::ThreadRng rng;
    rng.seed(seed);
    for (std::uint64_t i = 0; i < runs; ++i) {
      Result<List> list = attempt(rng);
      if (!list) {
        ++failed;
        continue;
      }
      Result<Key> key = score(*list);
      if (!key) {
        ++unscored;
        continue;
      }
      kept.emplace_back(*key, std::move(list).value());
    }
  }

  // The first of the least key: what run must return.
  const List& best() const {
    std::size_t b = 0;
    for (std::size_t i = 1; i < kept.size(); ++i) {
      if (kept[i].first < kept[b].first) b = i;
    }
    return kept[b].second;
  }

  // A wrong rule shows on these attempts: one is dropped, the last kept one
  // is worse than the best, and the last one as good as the best is another
  // list.
  bool telling() const {
    if (failed + unscored == 0 || kept.empty()) return false;
    const List& b = best();
    std::size_t first = 0;
    while (kept[first].second != b) ++first;
    std::size_t last_tie = first;
    for (std::size_t i = first + 1; i < kept.size(); ++i) {
      if (kept[i].first == kept[first].first) last_tie = i;
    }
    return kept[last_tie].second != b && kept[first].first < kept.back().first;
  }
};

// Four cells, one edge (0, 1) that the network always takes, and every
// relabelling of the cells, so each step swaps a random pair.
models::PermModels perm_models(std::uint64_t num_qubits, std::uint64_t steps) {
  models::Perms perms;
  std::vector<std::uint64_t> p = {0, 1, 2, 3};
  do perms.push_back(p);
  while (std::next_permutation(p.begin(), p.end()));
  models::Perms inverses;
  for (const auto& r : perms) inverses.push_back(argsort(r));
  const models::TensorMap map = constant_layers({"0", "2", "4"}, 16, {1, 0});
  models::PermModels out;
  out.emplace("m", models::PermModelInfo{.topology = "",
                                         .cmap = {{0, 1}},
                                         .valid_perms = std::move(perms),
                                         .inv_perms = std::move(inverses),
                                         .coupling_map_hash = "",
                                         .model = models::PermNet::from_tensors(map).value(),
                                         .num_qubits = num_qubits,
                                         .default_n_steps = steps});
  return out;
}

TEST(PermutationRun, KeepsTheFirstOfTheLeastDepthAndCount) {
  // Only cells 0 to 2 count, so a SWAP at qubit 3 fails the metrics.
  const models::PermModels models = perm_models(3, 5);
  const std::vector<std::uint64_t> data = {1, 2, 0, 3};
  const std::uint64_t runs = 16;

  const std::uint64_t seed = 167;
  const Attempts<std::vector<permutation::Swap>, std::pair<std::uint64_t, std::uint64_t>> attempts(
      seed, runs, [&](rng::ThreadRng& r) { return permutation::synthesize(models, "m", data, r); },
      [](const auto& swaps) { return permutation::swap_metrics(swaps, 3); });
  ASSERT_TRUE(attempts.telling());
  ASSERT_GT(attempts.unscored, 0u);

  rng::ThreadRng rng;
  rng.seed(seed);
  testing::internal::CaptureStdout();
  const auto got = permutation::run(models, "m", runs, data, rng);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(got.value(), attempts.best());
  std::string expected_out;
  for (std::size_t i = 0; i < attempts.unscored; ++i) {
    expected_out += "Something went wrong getting permutation metrics: \"Invalid qubit 3\"\n";
  }
  EXPECT_EQ(out, expected_out);

  // Nothing kept: every attempt past its step limit (one step, and a 3-cycle
  // that no single SWAP sorts), or no attempt at all.
  const models::PermModels one_step = perm_models(4, 0);
  EXPECT_EQ(permutation::run(one_step, "m", 3, data, rng).error(),
            "No solution found in 3 permutation synthesis runs.");
  EXPECT_EQ(permutation::run(models, "m", 0, data, rng).error(),
            "No solution found in 0 permutation synthesis runs.");
}

// One qubit whose gates H and S the symmetries choose between at random.
models::CliffordModels clifford_models(std::uint64_t steps) {
  models::TensorMap map = constant_layers({"3", "5", "7"}, 16, {1, 0, -1});
  map["0.weight"] = tensor({64}, std::vector<float>(64));
  map["0.bias"] = tensor({16}, std::vector<float>(16));
  models::CliffordModels out;
  out.emplace("m", models::CliffordModelInfo{.topology = "",
                                             .gates = {{models::Op::H, 0, 0}, {models::Op::S, 0, 0}},
                                             .valid_perms = {{0}, {0}},
                                             .act_perms = {{0, 1}, {1, 0}},
                                             .transpose_map = models::TransposeMap(1),
                                             .model = models::CliffordNet::from_tensors(map, 1).value(),
                                             .num_qubits = 1,
                                             .default_n_steps = steps});
  return out;
}

TEST(CliffordRun, KeepsTheFirstOfTheLeastKey) {
  const models::CliffordModels models = clifford_models(4);
  const std::vector<std::uint64_t> hsh = {13};  // H·S·H = S·H·S
  const std::uint64_t runs = 16;

  const std::uint64_t seed = 185;
  const Attempts<std::vector<clifford::Gate>, std::array<std::uint64_t, 4>> attempts(
      seed, runs, [&](rng::ThreadRng& r) { return clifford::synthesize(models, "m", hsh, r); },
      [](const auto& gates) {
        clifford::CircuitMetrics metrics(1);
        for (const clifford::Gate& g : gates) metrics.add_gate(g);
        return Result(metrics.key());
      });
  ASSERT_TRUE(attempts.telling());

  rng::ThreadRng rng;
  rng.seed(seed);
  EXPECT_EQ(clifford::run(models, "m", runs, hsh, rng).value(), attempts.best());

  // One step cannot undo H·S·H.
  EXPECT_EQ(clifford::run(clifford_models(0), "m", 3, hsh, rng).error(),
            "No solution found in 3 clifford synthesis runs.");
  EXPECT_EQ(clifford::run(models, "m", 0, hsh, rng).error(),
            "No solution found in 0 clifford synthesis runs.");
}

TEST(LinearFunctionRun, KeepsTheFirstOfTheShortest) {
  // Model 0 (three qubits, four tree edges and the no-op): the edges score
  // alike, so the Gumbel noise picks one at random at each step.
  std::vector<models::LinearFunctionNet> nets;
  nets.push_back(models::LinearFunctionNet::from_tensors(
      constant_layers({"0", "2", "4"}, 9, {0, 0, 0, 0, -100})));
  const std::vector<float> data = {1, 0, 0, 0, 1, 0, 1, 1, 1};  // row 2 ^= rows 0 and 1
  const std::uint64_t runs = 16;

  const std::uint64_t seed = 167;
  const Attempts<std::vector<linear_function::Action>, std::size_t> attempts(
      seed, runs, [&](rng::ThreadRng& r) { return linear_function::synthesize(nets, 0, data, r); },
      [](const auto& pairs) { return Result(pairs.size()); });
  ASSERT_TRUE(attempts.telling());

  rng::ThreadRng rng;
  rng.seed(seed);
  EXPECT_EQ(linear_function::run(nets, 0, runs, data, rng).value(), attempts.best());

  // No attempt: the empty list; every attempt failing: the error.
  EXPECT_TRUE(linear_function::run(nets, 0, 0, data, rng).value().empty());
  const std::vector<float> singular = {1, 1, 0, 1, 1, 0, 0, 0, 1};
  EXPECT_EQ(linear_function::run(nets, 0, 3, singular, rng).error(),
            "No solution found in 3 linear function synthesis runs.");
}

}  // namespace
}  // namespace corvane
