#include "models/perm_net.h"

#include <cmath>

#include "common/fault.h"
#include "models/catalogue.h"

namespace corvane::models {

Result<PermNet> PermNet::load(std::string_view models_path, std::string_view name) {
  Result<TensorMap> map = load_model(permutation_files(), models_path, name);
  if (!map) return std::move(map).take_error();
  return from_tensors(*map);
}

Result<PermNet> PermNet::from_tensors(const TensorMap& map) {
  auto input_tensors = get_tensors(map, "0");
  if (!input_tensors) return std::move(input_tensors).take_error();
  Result<LinearLayer> input = LinearLayer::from_tensor(input_tensors->first, input_tensors->second);
  if (!input) return std::move(input).take_error();

  // Row sums, column by column in ascending order, then halved.
  const std::size_t rows = input->rows();
  std::vector<float> s(rows, 0.0f);
  for (std::size_t c = 0; c < input->cols(); ++c) {
    const std::span<const float> col = input->column(c);
    for (std::size_t r = 0; r < rows; ++r) s[r] = s[r] + col[r];
  }
  for (float& v : s) v = 0.5f * v;
  const std::vector<float>& b = input->bias();
  if (b.size() != rows) fault("Matrix addition/subtraction dimensions mismatch.");
  std::vector<float> shifted(rows);
  for (std::size_t r = 0; r < rows; ++r) shifted[r] = b[r] - s[r];
  input->set_bias(std::move(shifted));

  std::vector<LinearLayer> layers;
  for (const char* prefix : {"2", "4"}) {
    auto tensors = get_tensors(map, prefix);
    if (!tensors) return std::move(tensors).take_error();
    Result<LinearLayer> layer = LinearLayer::from_tensor(tensors->first, tensors->second);
    if (!layer) return std::move(layer).take_error();
    layers.push_back(std::move(layer).value());
  }
  return PermNet(std::move(input).value(), std::move(layers));
}

std::vector<float> PermNet::forward(std::span<const std::uint64_t> x) const {
  const std::vector<float>& bias = input_.bias();
  std::vector<float> h(bias.size(), 0.0f);
  const std::size_t n = x.size();
  const std::size_t width = input_.cols();
  for (std::size_t k = 0; k < n; ++k) {
    // k·n + x[k] in 128 bits: a huge x[k] must not wrap back into range.
    __extension__ using u128 = unsigned __int128;
    const u128 c = u128{k} * n + x[k];
    if (c >= width) fault("Matrix slicing out of bounds.");
    const std::span<const float> col = input_.column(static_cast<std::size_t>(c));
    // h may be longer than a column only if the bias were; both come from
    // the same checked layer, so they agree.
    for (std::size_t r = 0; r < col.size(); ++r) h[r] += col[r];
  }
  for (std::size_t r = 0; r < h.size(); ++r) h[r] += bias[r];
  tanh_in_place(h);
  if (layers_.empty()) index_fault(0, 0);
  for (std::size_t i = 0; i + 1 < layers_.size(); ++i) {
    h = layers_[i].forward(h);
    tanh_in_place(h);
  }
  return layers_.back().forward(h);
}

}  // namespace corvane::models
