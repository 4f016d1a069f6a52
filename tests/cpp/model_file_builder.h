// Builds model files in memory for the model-store tests.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace corvane::testing_support {

struct TensorSpec {
  std::string name;
  std::vector<std::uint64_t> shape;
  std::vector<float> values;
};

// A well-formed file holding the tensors in the given order.
inline std::vector<unsigned char> model_file(const std::vector<TensorSpec>& tensors) {
  std::string header = "{";
  std::uint64_t offset = 0;
  for (std::size_t i = 0; i < tensors.size(); ++i) {
    const TensorSpec& t = tensors[i];
    std::string shape;
    for (std::size_t d = 0; d < t.shape.size(); ++d) {
      if (d > 0) shape.append(",");
      shape.append(std::to_string(t.shape[d]));
    }
    const std::uint64_t end = offset + 4 * t.values.size();
    if (i > 0) header.append(",");
    header.append("\"").append(t.name).append("\":{\"dtype\":\"F32\",\"shape\":[").append(shape);
    header.append("],\"data_offsets\":[").append(std::to_string(offset)).append(",");
    header.append(std::to_string(end)).append("]}");
    offset = end;
  }
  header += "}";
  while (header.size() % 8 != 0) header += ' ';
  std::vector<unsigned char> out(8 + header.size() + offset);
  const std::uint64_t len = header.size();
  std::memcpy(out.data(), &len, 8);
  std::memcpy(out.data() + 8, header.data(), header.size());
  unsigned char* data = out.data() + 8 + header.size();
  for (const TensorSpec& t : tensors) {
    if (t.values.empty()) continue;  // memcpy wants real pointers, even for 0 bytes
    std::memcpy(data, t.values.data(), 4 * t.values.size());
    data += 4 * t.values.size();
  }
  return out;
}

// A file with exactly this header text (no padding added) and data bytes.
inline std::vector<unsigned char> raw_file(const std::string& header, std::size_t data_bytes) {
  std::vector<unsigned char> out(8 + header.size() + data_bytes, 0);
  const std::uint64_t len = header.size();
  std::memcpy(out.data(), &len, 8);
  std::memcpy(out.data() + 8, header.data(), header.size());
  return out;
}

}  // namespace corvane::testing_support
