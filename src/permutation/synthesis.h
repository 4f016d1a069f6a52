// Permutation synthesis: SWAPs on a model's coupling-map edges, chosen one at
// a time by the model's policy network, until the permutation is sorted.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/result.h"
#include "common/rng.h"
#include "models/model_info.h"

namespace corvane::permutation {

using Swap = std::pair<std::uint64_t, std::uint64_t>;

// One attempt on `data` (cell i holds the value at position i). Each step
// shows the network the permutation, or its inverse, relabelled by a random
// symmetry of the model, and applies the chosen edge to the real state.
// Returns the SWAPs, or "Solution not found in permutation synthesis" once
// more than default_n_steps + 1 steps would be needed. An unknown model_id
// is the error "Model <model_id> not found".
Result<std::vector<Swap>> synthesize(const models::PermModels& models, std::string_view model_id,
                                     std::vector<std::uint64_t> data, rng::ThreadRng& rng);

// (depth, SWAP count) of a SWAP list on num_qubits qubits, or the error
// "Invalid qubit <q>" for the first SWAP naming a qubit beyond them.
Result<std::pair<std::uint64_t, std::uint64_t>> swap_metrics(const std::vector<Swap>& swaps,
                                                             std::uint64_t num_qubits);

// num_runs attempts; the one of least (depth, count) wins, the earliest among
// equals. Failed attempts are dropped (one whose metrics fail is reported on
// standard output); "No solution found in <num_runs> permutation synthesis
// runs." when none is kept. An unknown model fails before any attempt.
// Attempts draw from rng one after another.
Result<std::vector<Swap>> run(const models::PermModels& models, std::string_view model_id,
                              std::uint64_t num_runs, const std::vector<std::uint64_t>& data,
                              rng::ThreadRng& rng);

}  // namespace corvane::permutation
