// The linear-function policy network: the n × n 0/1 matrix, row by row, ->
// 512 -> tanh -> 256 -> tanh -> 2n − 1 scores.
#pragma once

#include <cstddef>
#include <span>
#include <utility>
#include <vector>

#include "models/linear_layer.h"
#include "models/safetensors.h"

namespace corvane::models {

class LinearFunctionNet {
 public:
  // Decodes embedded linear-function file `index` and builds its network. A
  // file that does not decode is the internal fault "Error loading model:
  // <error>".
  static LinearFunctionNet load(std::size_t index);

  // Builds from decoded tensors "0", "2" and "4". A missing tensor is the
  // internal fault "called `Option::unwrap()` on a `None` value"; a layer
  // that cannot be built, "called `Result::unwrap()` on an `Err` value:
  // <error>".
  static LinearFunctionNet from_tensors(const TensorMap& map);

  // Scores for x: tanh after every layer but the last.
  std::vector<float> forward(std::span<const float> x) const;

 private:
  explicit LinearFunctionNet(std::vector<LinearLayer> layers) : layers_(std::move(layers)) {}

  std::vector<LinearLayer> layers_;  // "0", "2", "4"
};

}  // namespace corvane::models
