// Clifford synthesis: H, S and CX gates on a model's qubits, chosen one at a
// time by the model's policy network, until the operator is the identity.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "clifford/circuit.h"
#include "common/result.h"
#include "common/rng.h"
#include "models/model_info.h"

namespace corvane::clifford {

// The gate tuple of an action gate: ("h", (q, 0)), ("s", (q, 0)) or ("cx", (c, t)).
Gate from_op_to_gate(const models::Op& op);

// The view of the inverse operator: out[k] = SWAP_AD_TABLE[view[map[k]]] for
// every entry of the transpose map.
std::vector<std::uint64_t> invert_view(const std::vector<std::uint64_t>& view,
                                       const models::TransposeMap& map);

// One attempt on the block codes `circuit`. Each step shows the network the
// operator (or, at random, its inverse) under a random symmetry of the
// model, maps the chosen action back and applies it to the real state: to
// block columns in the normal view, to block rows in the inverted one.
// Returns the forward gates followed by the inverted view's gates in reverse,
// or "Solution not found in clifford synthesis" after default_n_steps + 1
// steps. An unknown model_id is the error "Model <model_id> not found".
Result<std::vector<Gate>> synthesize(const models::CliffordModels& models, std::string_view model_id,
                                     std::vector<std::uint64_t> circuit, rng::ThreadRng& rng);

// num_runs attempts; the least CircuitMetrics key wins, the earliest among
// equals; "No solution found in <num_runs> clifford synthesis runs." when
// none is kept. An unknown model fails before any attempt. Attempts draw
// from rng one after another.
Result<std::vector<Gate>> run(const models::CliffordModels& models, std::string_view model_id,
                              std::uint64_t num_runs, const std::vector<std::uint64_t>& circuit,
                              rng::ThreadRng& rng);

}  // namespace corvane::clifford
