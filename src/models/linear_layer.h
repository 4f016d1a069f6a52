// Dense layers of 32-bit floats and their construction from a decoded model
// file.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "common/result.h"
#include "models/safetensors.h"

namespace corvane::models {

// The weight and bias tensors of the layer with the given prefix ("0", "2",
// ...): "<prefix>.weight" and "<prefix>.bias". The weight is looked up first;
// errors "Weights <key> not found" / "Bias <key> not found".
Result<std::pair<TensorPtr, TensorPtr>> get_tensors(const TensorMap& map, std::string_view prefix);

class LinearLayer {
 public:
  // Builds the layer from a two-dimensional weight [rows, cols] and a
  // one-dimensional bias. A tensor of another rank is an error (the weight's
  // reported first); a weight without rows is an internal fault. The bias's
  // length is not compared with the rows here (forward faults on it).
  static Result<LinearLayer> from_tensor(const TensorPtr& weight, const TensorPtr& bias);

  // Builds from a row-major weight matrix; used by the network loaders that
  // transform the file's values first.
  static LinearLayer from_rows(std::size_t rows, std::size_t cols, std::span<const float> row_major,
                               std::vector<float> bias);

  // weights · x + bias, without activation. Each output sums its products in
  // ascending input order, every product rounded to float before it is added.
  // Faults: "Gemv: dimensions mismatch." when x has not `cols()` values,
  // "Matrix addition/subtraction dimensions mismatch." when the bias has not
  // `rows()` values.
  std::vector<float> forward(std::span<const float> x) const;

  // The same, skipping inputs that are exactly zero: identical values for
  // finite weights, far cheaper on sparse inputs.
  std::vector<float> forward_sparse(std::span<const float> x) const;

  std::size_t rows() const noexcept { return rows_; }
  std::size_t cols() const noexcept { return cols_; }
  // Column c: the rows() weights that input c meets, contiguous.
  std::span<const float> column(std::size_t c) const noexcept {
    return {weights_.data() + c * rows_, rows_};
  }
  const std::vector<float>& bias() const noexcept { return bias_; }
  void set_bias(std::vector<float> bias) { bias_ = std::move(bias); }

 private:
  LinearLayer(std::size_t rows, std::size_t cols, std::vector<float> weights, std::vector<float> bias)
      : rows_(rows), cols_(cols), weights_(std::move(weights)), bias_(std::move(bias)) {}

  void add_bias(std::vector<float>& y) const;

  std::size_t rows_ = 0;
  std::size_t cols_ = 0;
  std::vector<float> weights_;  // column by column: element (r, c) at c * rows_ + r
  std::vector<float> bias_;
};

// tanhf over every value, in place.
void tanh_in_place(std::vector<float>& v) noexcept;

}  // namespace corvane::models
