#include "models/linear_function_net.h"

#include <string>

#include "common/fault.h"
#include "models/catalogue.h"

namespace corvane::models {

LinearFunctionNet LinearFunctionNet::load(std::size_t index) {
  const std::span<const EmbeddedFile> files = linear_function_files();
  Result<TensorMap> map = load_buffer(at(files, index).bytes);
  if (!map) fault("Error loading model: " + map.error());
  return from_tensors(*map);
}

LinearFunctionNet LinearFunctionNet::from_tensors(const TensorMap& map) {
  std::vector<LinearLayer> layers;
  for (const char* prefix : {"0", "2", "4"}) {
    auto tensors = get_tensors(map, prefix);
    if (!tensors) fault(std::string(kUnwrapNone));
    Result<LinearLayer> layer = LinearLayer::from_tensor(tensors->first, tensors->second);
    if (!layer) fault(std::string(kUnwrapErr) + ": " + layer.error());
    layers.push_back(std::move(layer).value());
  }
  return LinearFunctionNet(std::move(layers));
}

std::vector<float> LinearFunctionNet::forward(std::span<const float> x) const {
  // The input is a 0/1 matrix: skipping its zeros leaves every sum as it is.
  std::vector<float> h = layers_[0].forward_sparse(x);
  for (std::size_t i = 1; i < layers_.size(); ++i) {
    tanh_in_place(h);
    h = layers_[i].forward(h);
  }
  return h;
}

}  // namespace corvane::models
