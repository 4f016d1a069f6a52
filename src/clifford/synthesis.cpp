#include "clifford/synthesis.h"

#include <algorithm>
#include <array>
#include <optional>
#include <string>

#include "clifford/clifford.h"
#include "common/fault.h"
#include "common/interrupt.h"
#include "common/first_max.h"

namespace corvane::clifford {

Gate from_op_to_gate(const models::Op& op) {
  switch (op.tag) {
    case models::Op::CX: return {"cx", {op.q0, op.q1}};
    case models::Op::S: return {"s", {op.q0, 0}};
    default: return {"h", {op.q0, 0}};
  }
}

std::vector<std::uint64_t> invert_view(const std::vector<std::uint64_t>& view,
                                       const models::TransposeMap& map) {
  std::vector<std::uint64_t> out;
  // Every entry of the map below n² is a distinct cell, so a view shorter
  // than the map faults within its own length: the output stays that small.
  out.reserve(static_cast<std::size_t>(std::min<unsigned __int128>(map.size(), view.size())));
  for (std::uint64_t k = 0; k < map.size(); ++k) {
    out.push_back(at(SWAP_AD_TABLE, at(view, map[k])));
  }
  return out;
}

Result<std::vector<Gate>> synthesize(const models::CliffordModels& models, std::string_view model_id,
                                     std::vector<std::uint64_t> circuit, rng::ThreadRng& rng) {
  Result<const models::CliffordModelInfo*> found = models::get_model(models, model_id);
  if (!found) return std::move(found).take_error();
  const models::CliffordModelInfo& m = **found;

  Clifford state(std::move(circuit));
  std::vector<Gate> forward;
  std::vector<Gate> inverse;
  std::vector<std::uint64_t> view;
  for (std::uint64_t s = 0;; ++s) {
    if (state.is_identity()) {
      forward.insert(forward.end(), std::make_move_iterator(inverse.rbegin()),
                     std::make_move_iterator(inverse.rend()));
      return forward;
    }
    if (s > m.default_n_steps) return Error{"Solution not found in clifford synthesis"};
    // A model's step limit comes from the caller and may be huge.
    interrupt::poll();

    const std::size_t p = rng::gen_index(rng, m.valid_perms.size());
    const bool inverted = rng::gen_bool(rng);
    const std::vector<std::uint64_t>& perm = m.valid_perms[p];
    view.resize(perm.size());
    for (std::size_t k = 0; k < perm.size(); ++k) view[k] = at(state.cells(), perm[k]);
    const std::vector<float> logits =
        m.model.forward(inverted ? invert_view(view, m.transpose_map) : view);
    const std::size_t a = first_max(logits);
    if (a == m.gates.size()) continue;  // the no-gate action

    const std::vector<std::uint64_t>& actions = at(m.act_perms, p);
    const models::Op& g = at(m.gates, at(actions, a));
    const std::uint64_t tag = g.tag;
    if (tag == models::Op::CX) {
      inverted ? state.row_cx(g.q0, g.q1) : state.column_cx(g.q0, g.q1);
    } else if (tag == models::Op::S) {
      inverted ? state.row_s(g.q0) : state.column_s(g.q0);
    } else {
      inverted ? state.row_h(g.q0) : state.column_h(g.q0);
    }
    (inverted ? inverse : forward).push_back(from_op_to_gate(g));
  }
}

Result<std::vector<Gate>> run(const models::CliffordModels& models, std::string_view model_id,
                              std::uint64_t num_runs, const std::vector<std::uint64_t>& circuit,
                              rng::ThreadRng& rng) {
  Result<const models::CliffordModelInfo*> found = models::get_model(models, model_id);
  if (!found) return std::move(found).take_error();
  const std::uint64_t num_qubits = (*found)->num_qubits;

  std::optional<std::vector<Gate>> best;
  std::array<std::uint64_t, 4> best_key{10000, 10000, 10000, 10000};
  for (std::uint64_t i = 0; i < num_runs; ++i) {
    interrupt::poll();
    Result<std::vector<Gate>> attempt = synthesize(models, model_id, circuit, rng);
    if (!attempt) continue;
    CircuitMetrics metrics(num_qubits);
    for (const Gate& g : *attempt) metrics.add_gate(g);
    if (metrics.key() < best_key) {
      best_key = metrics.key();
      best = std::move(attempt).value();
    }
  }
  if (!best) {
    return Error{"No solution found in " + std::to_string(num_runs) + " clifford synthesis runs."};
  }
  return std::move(*best);
}

}  // namespace corvane::clifford
