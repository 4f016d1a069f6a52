#include "linear_function/synthesis.h"

#include <cmath>
#include <cstring>
#include <string>

#include "common/fault.h"
#include "common/interrupt.h"

namespace corvane::linear_function {
namespace {

constexpr const char* kNotFound = "Solution not found in linear function synthesis";

bool is_identity(const std::vector<float>& data, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j < n; ++j) {
      if (at(data, i * n + j) != (i == j ? 1.0f : 0.0f)) return false;
    }
  }
  return true;
}

}  // namespace

bool invertible_01(std::span<const float> data, std::size_t n) {
  if (data.size() != n * n || n > 64) return false;
  std::vector<std::uint64_t> rows(n, 0);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j < n; ++j) {
      const float v = data[i * n + j];
      if (v == 1.0f) {
        rows[i] |= std::uint64_t{1} << j;
      } else if (v != 0.0f) {
        return false;  // NaN included
      }
    }
  }
  // Gaussian elimination over GF(2).
  for (std::size_t col = 0; col < n; ++col) {
    const std::uint64_t bit = std::uint64_t{1} << col;
    std::size_t pivot = col;
    while (pivot < n && (rows[pivot] & bit) == 0) ++pivot;
    if (pivot == n) return false;
    std::swap(rows[col], rows[pivot]);
    for (std::size_t r = 0; r < n; ++r) {
      if (r != col && (rows[r] & bit) != 0) rows[r] ^= rows[col];
    }
  }
  return true;
}

Result<std::vector<Action>> synthesize(const std::vector<models::LinearFunctionNet>& models,
                                       std::uint64_t model_id, std::vector<float> data,
                                       rng::ThreadRng& rng) {
  if (model_id >= models.size()) index_fault(models.size(), model_id);
  const models::LinearFunctionNet& network = models[model_id];
  const std::size_t n = LINEAR_FUNCTION_N_QUBITS.at(model_id);
  const auto& actions = LINEAR_FUNCTION_ACTIONS.at(model_id);
  // Every move the embedded policies can draw brings the matrix closer to the
  // identity, and they end far inside this bound (at most 110 steps measured
  // at n = 9, against 324).
  const std::size_t step_bound = 4 * n * n;

  std::vector<Action> result;
  std::vector<float> z;
  for (std::size_t steps = 0;; ++steps) {
    if (is_identity(data, n)) return result;
    if (data.size() != n * n) {
      fault(std::string(kUnwrapErr) + ": shape mismatch in reshape, " + std::to_string(data.size()) +
            " elements cannot have the shape [1, " + std::to_string(n * n) + "]");
    }
    // A matrix the row operations cannot sort would never pass the identity test.
    if (steps == 0 && !invertible_01(data, n)) return Error{kNotFound};
    if (steps == step_bound) return Error{kNotFound};

    const std::vector<float> scores = network.forward(data);
    const std::size_t a = gumbel_choice(rng, scores, z);
    const auto [c, t] = at(actions, a);
    if (c == t) continue;  // the no-op
    result.emplace_back(c, t);
    for (std::size_t j = 0; j < n; ++j) {
      data[t * n + j] = std::fabs(data[c * n + j] - data[t * n + j]);
    }
  }
}

Result<std::vector<Action>> run(const std::vector<models::LinearFunctionNet>& models,
                                std::uint64_t model_id, std::uint64_t num_runs,
                                const std::vector<float>& data, rng::ThreadRng& rng) {
  std::vector<Action> best;
  std::size_t best_len = 10'000'000;
  std::uint64_t unfinished = 0;
  for (std::uint64_t i = 0; i < num_runs; ++i) {
    interrupt::poll();
    Result<std::vector<Action>> attempt = synthesize(models, model_id, data, rng);
    if (!attempt) {
      ++unfinished;
      continue;
    }
    if (attempt->size() < best_len) {
      best_len = attempt->size();
      best = std::move(attempt).value();
    }
  }
  if (num_runs > 0 && unfinished == num_runs) {
    return Error{"No solution found in " + std::to_string(num_runs) +
                 " linear function synthesis runs."};
  }
  return best;
}

}  // namespace corvane::linear_function
