// The 29 linear-function models, addressed by model id: their qubit counts,
// their action rows (network output k names entry k: a CX (control, target)
// on the model's tree, the last output (0, 0) the no-op) and their networks
// n² -> 512 -> tanh -> 256 -> tanh -> 2n − 1.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "models/linear_layer.h"
#include "models/safetensors.h"

namespace corvane::linear_function {

inline constexpr std::size_t NUM_MODELS = 29;
inline constexpr std::size_t NUM_ACTIONS = 17;

using Action = std::pair<std::uint64_t, std::uint64_t>;

extern const std::array<std::uint64_t, NUM_MODELS> LINEAR_FUNCTION_N_QUBITS;
extern const std::array<std::array<Action, NUM_ACTIONS>, NUM_MODELS> LINEAR_FUNCTION_ACTIONS;

using Network = std::vector<models::LinearLayer>;

// The dense layer "<prefix>.weight" / "<prefix>.bias" of a decoded file; a
// missing tensor is the internal fault "called `Option::unwrap()` on a
// `None` value".
models::LinearLayer generate_linear(const models::TensorMap& map, std::string_view prefix);

// All 29 networks, decoded afresh from the embedded files, in model order.
// A file that does not decode is the internal fault "Error loading model: ...".
std::vector<Network> load_networks();

// h1 = tanh(W0·x + b0), h2 = tanh(W2·h1 + b2), scores = W4·h2 + b4 (for any
// number of layers: tanh after all but the last). No layers: internal fault.
std::vector<float> linear_forward(const Network& layers, std::span<const float> x);

}  // namespace corvane::linear_function
