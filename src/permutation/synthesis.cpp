#include "permutation/synthesis.h"

#include <algorithm>
#include <optional>

#include "common/argsort.h"
#include "common/fault.h"
#include "common/interrupt.h"
#include "common/first_max.h"
#include "common/output.h"

namespace corvane::permutation {
namespace {

// The error text as a quoted string literal: the form the metrics report uses.
std::string quoted(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default: out += c;
    }
  }
  return out + "\"";
}

// Cells 0..num_qubits-1 hold their own positions. Cells beyond num_qubits
// are never examined; a list shorter than num_qubits whose cells all match
// so far is an index fault at its end.
bool is_identity(const std::vector<std::uint64_t>& data, std::uint64_t num_qubits) {
  for (std::uint64_t i = 0;; ++i) {
    if (i == num_qubits) return true;
    if (at(data, i) != i) return false;
  }
}

}  // namespace

Result<std::vector<Swap>> synthesize(const models::PermModels& models, std::string_view model_id,
                                     std::vector<std::uint64_t> data, rng::ThreadRng& rng) {
  Result<const models::PermModelInfo*> found = models::get_model(models, model_id);
  if (!found) return std::move(found).take_error();
  const models::PermModelInfo& m = **found;

  std::vector<std::uint64_t> x(data.size(), 0);
  std::vector<Swap> forward;
  std::vector<Swap> inverse;
  bool inverted = false;
  for (std::uint64_t s = 0;;) {
    if (is_identity(data, m.num_qubits)) {
      std::vector<Swap> result = std::move(inverse);
      result.insert(result.end(), forward.rbegin(), forward.rend());
      return result;
    }
    if (s > m.default_n_steps) return Error{"Solution not found in permutation synthesis"};
    // A model's step limit comes from the caller and may be huge.
    interrupt::poll();

    const std::size_t p = rng::gen_index(rng, m.valid_perms.size());
    if (rng::gen_bool(rng)) {
      data = argsort(data);
      inverted = !inverted;
    }
    const std::vector<std::uint64_t>& r = m.valid_perms[p];
    const std::vector<std::uint64_t>& r_inv = m.inv_perms[p];
    for (std::size_t k = 0; k < r_inv.size(); ++k) {
      if (k >= x.size()) fault("Matrix index out of bounds.");
      const std::uint64_t value = at(data, r_inv[k]);
      x[k] = at(r, value);
    }

    const std::vector<float> logits = m.model.forward(x);
    const std::size_t a = first_max(logits);
    ++s;
    if (a == m.cmap.size()) continue;  // the no-swap action
    const auto [u, v] = at(m.cmap, a);
    if (u == v) continue;
    const std::uint64_t u2 = at(r, u);
    const std::uint64_t v2 = at(r, v);
    (inverted ? inverse : forward).emplace_back(u2, v2);
    std::swap(at(data, u2), at(data, v2));
  }
}

Result<std::pair<std::uint64_t, std::uint64_t>> swap_metrics(const std::vector<Swap>& swaps,
                                                             std::uint64_t num_qubits) {
  // Levels only for the qubits the list names, so a huge num_qubits costs nothing.
  std::uint64_t highest = 0;
  for (const auto& [a, b] : swaps) {
    if (a >= num_qubits) return Error{"Invalid qubit " + std::to_string(a)};
    if (b >= num_qubits) return Error{"Invalid qubit " + std::to_string(b)};
    highest = std::max({highest, a, b});
  }
  std::vector<std::uint64_t> level(swaps.empty() ? 0 : highest + 1, 0);
  std::uint64_t depth = 0;
  for (const auto& [a, b] : swaps) {
    const std::uint64_t d = std::max(level[a], level[b]) + 1;
    level[a] = d;
    level[b] = d;
    depth = std::max(depth, d);
  }
  return std::pair(depth, static_cast<std::uint64_t>(swaps.size()));
}

Result<std::vector<Swap>> run(const models::PermModels& models, std::string_view model_id,
                              std::uint64_t num_runs, const std::vector<std::uint64_t>& data,
                              rng::ThreadRng& rng) {
  Result<const models::PermModelInfo*> found = models::get_model(models, model_id);
  if (!found) return std::move(found).take_error();
  const std::uint64_t num_qubits = (*found)->num_qubits;

  std::optional<std::vector<Swap>> best;
  std::pair<std::uint64_t, std::uint64_t> best_score{10'000'000, 10'000'000};
  for (std::uint64_t i = 0; i < num_runs; ++i) {
    interrupt::poll();
    Result<std::vector<Swap>> attempt = synthesize(models, model_id, data, rng);
    if (!attempt) continue;
    Result<std::pair<std::uint64_t, std::uint64_t>> score = swap_metrics(*attempt, num_qubits);
    if (!score) {
      write_stdout_line("Something went wrong getting permutation metrics: " + quoted(score.error()));
      continue;
    }
    if (*score < best_score) {
      best_score = *score;
      best = std::move(attempt).value();
    }
  }
  if (!best) {
    return Error{"No solution found in " + std::to_string(num_runs) + " permutation synthesis runs."};
  }
  return std::move(*best);
}

}  // namespace corvane::permutation
