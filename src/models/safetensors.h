// Decoding model files in the safetensors format: an 8-byte little-endian
// header length N, N bytes of JSON mapping each tensor name to its "dtype",
// "shape" and "data_offsets", then the tensor data.
//
// Every buffer is treated as untrusted: a file that does not follow the
// format (truncated, offsets out of range, overlapping or leaving gaps, sizes
// that disagree with shapes, element types other than F32) gives an error
// text, never an out-of-range read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/result.h"

namespace corvane::models {

// A decoded F32 tensor: its dimensions and its values in row-major order.
struct Tensor {
  std::vector<std::uint64_t> shape;
  std::vector<float> data;
};

// Tensors are shared, immutable handles, so a layer may keep one without
// copying it again.
using TensorPtr = std::shared_ptr<const Tensor>;
using TensorMap = std::unordered_map<std::string, TensorPtr>;

// Decodes a whole file, copying every tensor out of `bytes` (nothing refers
// to the buffer afterwards).
Result<TensorMap> load_buffer(std::span<const unsigned char> bytes);

// "[2, 3]": a shape as error texts show it.
std::string shape_text(const std::vector<std::uint64_t>& shape);

// The tensor's values when it has exactly `rank` dimensions, else the error
// "unexpected rank, expected: R, got: r ([shape])".
Result<const std::vector<float>*> values_of_rank(const Tensor& t, std::size_t rank);

}  // namespace corvane::models
