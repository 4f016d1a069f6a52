#include "models/clifford_net.h"

#include <limits>

#include "common/fault.h"
#include "models/catalogue.h"

namespace corvane::models {
namespace {

constexpr const char* kIndexFault = "Matrix index out of bounds.";

}  // namespace

Result<CliffordNet> CliffordNet::load(std::string_view models_path, std::string_view name,
                                      std::uint64_t n) {
  Result<TensorMap> map = load_model(clifford_files(), models_path, name);
  if (!map) return std::move(map).take_error();
  return from_tensors(*map, n);
}

Result<CliffordNet> CliffordNet::from_tensors(const TensorMap& map, std::uint64_t n) {
  auto conv = get_tensors(map, "0");
  if (!conv) return std::move(conv).take_error();
  // The weight is read flattened, whatever its shape; the bias must be a vector.
  const std::vector<float>& w = conv->first->data;
  Result<const std::vector<float>*> b = values_of_rank(*conv->second, 1);
  if (!b) return std::move(b).take_error();

  CliffordInputLayer input;
  input.code_table.assign(256, 0.0f);
  if (w.size() < 64) fault(kIndexFault);
  for (unsigned v = 0; v < 16; ++v) {
    for (unsigned j = 0; j < 16; ++j) {
      for (unsigned bit = 0; bit < 4; ++bit) {
        if ((v >> bit) & 1u) input.code_table[v * 16 + j] += w[j * 4 + bit];
      }
    }
  }

  const std::vector<float>& conv_bias = **b;
  if (conv_bias.size() < 16) fault(kIndexFault);
  input.channel_bias.resize(16);
  for (unsigned j = 0; j < 16; ++j) {
    const float centre = -0.5f * input.code_table[15 * 16 + j];
    input.channel_bias[j] = conv_bias[j] + centre;
  }

  std::vector<LinearLayer> layers;
  for (const char* prefix : {"3", "5", "7"}) {
    auto tensors = get_tensors(map, prefix);
    if (!tensors) return std::move(tensors).take_error();
    Result<LinearLayer> layer = LinearLayer::from_tensor(tensors->first, tensors->second);
    if (!layer) return std::move(layer).take_error();
    layers.push_back(std::move(layer).value());
  }

  // n·n wraps like the 64-bit product it is; 16 channels per cell.
  const std::uint64_t cells = n * n;
  const std::size_t width = layers[0].cols();
  if (cells <= std::numeric_limits<std::uint64_t>::max() / 16 && 16 * cells == width) {
    input.bias.resize(width);
    for (std::size_t j = 0; j < 16; ++j) {
      for (std::uint64_t k = 0; k < cells; ++k) input.bias[j * cells + k] = input.channel_bias[j];
    }
  }
  return CliffordNet(std::move(input), n, std::move(layers));
}

std::vector<float> CliffordNet::forward(std::span<const std::uint64_t> view) const {
  // The checks of the cells come first, whatever the sizes.
  for (std::size_t k = 0; k < view.size(); ++k) {
    const std::uint64_t code = view[k];
    if (code == 0) continue;
    if (num_qubits_ == 0) fault("attempt to divide by zero");
    // Every code of 16 or more is out of the table (no wrapping of code·16),
    // and a cell beyond n² has no channel positions.
    if (code >= 16 || k >= num_cells_) fault(kIndexFault);
  }
  // No bias was made when 16·n² differs from the first layer's width: that
  // layer's dimension check fails, as it would on the full-size input.
  if (input_.bias.empty() && layers_[0].cols() != 0) fault("Gemv: dimensions mismatch.");

  std::vector<float> x = input_.bias;
  for (std::size_t k = 0; k < view.size(); ++k) {
    const std::uint64_t code = view[k];
    if (code == 0) continue;
    for (std::size_t j = 0; j < 16; ++j) x[j * num_cells_ + k] += input_.code_table[code * 16 + j];
  }
  for (float& v : x) {
    if (!(v > 0.0f)) v = 0.0f;
  }
  // Most inputs of the first dense layer are zero after the ReLU.
  std::vector<float> h = layers_[0].forward_sparse(x);
  tanh_in_place(h);
  h = layers_[1].forward(h);
  tanh_in_place(h);
  return layers_[2].forward(h);
}

}  // namespace corvane::models
