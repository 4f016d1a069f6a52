// The 29 linear-function models, addressed by model id: their qubit counts,
// their action rows (network output k names entry k: a CX (control, target)
// on the model's tree, the last output (0, 0) the no-op) and their networks.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "models/linear_function_net.h"

namespace corvane::linear_function {

inline constexpr std::size_t NUM_MODELS = 29;
inline constexpr std::size_t NUM_ACTIONS = 17;

using Action = std::pair<std::uint64_t, std::uint64_t>;

extern const std::array<std::uint64_t, NUM_MODELS> LINEAR_FUNCTION_N_QUBITS;
extern const std::array<std::array<Action, NUM_ACTIONS>, NUM_MODELS> LINEAR_FUNCTION_ACTIONS;

// All 29 networks, decoded afresh from the embedded files, in model order.
std::vector<models::LinearFunctionNet> load_networks();

}  // namespace corvane::linear_function
