#include "models/linear_layer.h"

#include <cmath>
#include <string>

#include "common/fault.h"

namespace corvane::models {

Result<std::pair<TensorPtr, TensorPtr>> get_tensors(const TensorMap& map, std::string_view prefix) {
  const std::string weight_key = std::string(prefix) + ".weight";
  const auto weight = map.find(weight_key);
  if (weight == map.end()) return Error{"Weights " + weight_key + " not found"};
  const std::string bias_key = std::string(prefix) + ".bias";
  const auto bias = map.find(bias_key);
  if (bias == map.end()) return Error{"Bias " + bias_key + " not found"};
  return std::pair(weight->second, bias->second);
}

Result<LinearLayer> LinearLayer::from_tensor(const TensorPtr& weight, const TensorPtr& bias) {
  Result<const std::vector<float>*> w = values_of_rank(*weight, 2);
  if (!w) return std::move(w).take_error();
  Result<const std::vector<float>*> b = values_of_rank(*bias, 1);
  if (!b) return std::move(b).take_error();
  const std::size_t rows = weight->shape[0];
  if (rows == 0) index_fault(0, 0);  // the first row does not exist
  const std::size_t cols = weight->shape[1];
  return from_rows(rows, cols, **w, **b);
}

LinearLayer LinearLayer::from_rows(std::size_t rows, std::size_t cols,
                                   std::span<const float> row_major, std::vector<float> bias) {
  if (row_major.size() != rows * cols) {
    fault("Matrix init. error: the slice did not contain the right number of elements.");
  }
  std::vector<float> weights(rows * cols);
  for (std::size_t r = 0; r < rows; ++r) {
    const float* row = row_major.data() + r * cols;
    for (std::size_t c = 0; c < cols; ++c) weights[c * rows + r] = row[c];
  }
  return LinearLayer(rows, cols, std::move(weights), std::move(bias));
}

void LinearLayer::add_bias(std::vector<float>& y) const {
  if (bias_.size() != rows_) fault("Matrix addition/subtraction dimensions mismatch.");
  for (std::size_t r = 0; r < rows_; ++r) y[r] += bias_[r];
}

// The inner loop runs over outputs, so the compiler vectorises it across
// eight or sixteen outputs at a time (AVX2 or AVX-512 where the processor has
// it, chosen at load time) while each output still sums in ascending input
// order; without FMA and with -ffp-contract=off every product is rounded
// before the add, so every version gives the same bits.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define CORVANE_VECTOR_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))
#else
#define CORVANE_VECTOR_CLONES
#endif

CORVANE_VECTOR_CLONES
std::vector<float> LinearLayer::forward(std::span<const float> x) const {
  std::vector<float> y(rows_);
  if (x.size() != cols_) fault("Gemv: dimensions mismatch.");
  float* out = y.data();
  if (cols_ > 0) {
    const float* w = weights_.data();
    const float x0 = x[0];
    for (std::size_t r = 0; r < rows_; ++r) out[r] = w[r] * x0;
    for (std::size_t c = 1; c < cols_; ++c) {
      const float* col = w + c * rows_;
      const float xc = x[c];
      for (std::size_t r = 0; r < rows_; ++r) out[r] += col[r] * xc;
    }
  }
  add_bias(y);
  return y;
}

CORVANE_VECTOR_CLONES
std::vector<float> LinearLayer::forward_sparse(std::span<const float> x) const {
  std::vector<float> y(rows_);
  if (x.size() != cols_) fault("Gemv: dimensions mismatch.");
  float* out = y.data();
  for (std::size_t c = 0; c < cols_; ++c) {
    const float xc = x[c];
    if (xc == 0.0f) continue;
    const float* col = weights_.data() + c * rows_;
    for (std::size_t r = 0; r < rows_; ++r) out[r] += col[r] * xc;
  }
  add_bias(y);
  return y;
}

void tanh_in_place(std::vector<float>& v) noexcept {
  for (float& x : v) x = std::tanh(x);
}

}  // namespace corvane::models
