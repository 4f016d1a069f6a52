// The Clifford policy network: a 1x1 convolution of each cell's 4-bit block
// code into 16 channels (held as a table per code), ReLU, then three dense
// layers with tanh between them.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "common/result.h"
#include "models/linear_layer.h"
#include "models/safetensors.h"

namespace corvane::models {

// The convolution over the four centred bit planes, folded: entry v·16 + j
// of the table is what code v adds to channel j; channel_bias[j] is channel
// j's constant, the centring included, the same for every cell.
struct CliffordInputLayer {
  std::vector<float> code_table;    // 256 values
  std::vector<float> channel_bias;  // 16 values
  // channel_bias spread over the cells, channel-major (entry j·n² + k). Only
  // made when it fits the first dense layer: for any other n no forward pass
  // can succeed, and an absurd n must not allocate 16·n² floats.
  std::vector<float> bias;
};

class CliffordNet {
 public:
  // Finds "<models_path>/<name>.safetensors" among the embedded Clifford
  // files (an unknown path is an internal fault) and builds the network for
  // n qubits.
  static Result<CliffordNet> load(std::string_view models_path, std::string_view name,
                                  std::uint64_t n);

  // Builds from decoded tensors "0" (the convolution), "3", "5" and "7".
  // Fewer than 64 weights or 16 biases in "0" is the internal fault "Matrix
  // index out of bounds.".
  static Result<CliffordNet> from_tensors(const TensorMap& map, std::uint64_t n);

  // Scores for the block codes of `view`, in cell order.
  std::vector<float> forward(std::span<const std::uint64_t> view) const;

  const CliffordInputLayer& input() const noexcept { return input_; }
  const std::vector<LinearLayer>& layers() const noexcept { return layers_; }

 private:
  CliffordNet(CliffordInputLayer input, std::uint64_t n, std::vector<LinearLayer> layers)
      : input_(std::move(input)), num_qubits_(n), num_cells_(n * n), layers_(std::move(layers)) {}

  CliffordInputLayer input_;
  std::uint64_t num_qubits_;
  std::uint64_t num_cells_;
  std::vector<LinearLayer> layers_;  // "3", "5", "7"
};

}  // namespace corvane::models
