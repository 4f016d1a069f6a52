// The permutation policy network: n² one-hot inputs -> 512 -> tanh -> 256 ->
// tanh -> one logit per action.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "common/result.h"
#include "models/linear_layer.h"
#include "models/safetensors.h"

namespace corvane::models {

class PermNet {
 public:
  // Finds "<models_path>/<name>.safetensors" among the embedded permutation
  // files (an unknown path is an internal fault) and builds the network.
  static Result<PermNet> load(std::string_view models_path, std::string_view name);

  // Builds the network from decoded tensors "0", "2" and "4". The input
  // layer's bias is shifted by half its row sums, so that adding one weight
  // column per cell equals multiplying by the ±0.5 one-hot encoding.
  static Result<PermNet> from_tensors(const TensorMap& map);

  // Logits for x, where x[k] is the value of cell k: cell k selects input
  // column k·n + x[k] with n = x.size(). A column beyond the input width is
  // the fault "Matrix slicing out of bounds.".
  std::vector<float> forward(std::span<const std::uint64_t> x) const;

 private:
  PermNet(LinearLayer input, std::vector<LinearLayer> layers)
      : input_(std::move(input)), layers_(std::move(layers)) {}

  LinearLayer input_;  // bias already shifted
  std::vector<LinearLayer> layers_;
};

}  // namespace corvane::models
