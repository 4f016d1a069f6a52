#include "models/safetensors.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <limits>
#include <string_view>
#include <utility>

#include <nlohmann/json.hpp>

namespace corvane::models {
namespace {

static_assert(std::endian::native == std::endian::little,
              "tensor data is little-endian and copied as it is");

using nlohmann::json;

Error invalid(std::string detail) { return Error{"invalid model file: " + std::move(detail)}; }

// The element types the format knows; only F32 is decoded.
constexpr std::array<std::string_view, 15> kKnownDtypes = {
    "BOOL", "U8", "I8", "F8_E5M2", "F8_E4M3", "I16", "U16", "F16",
    "BF16", "I32", "U32", "F32",  "F64",     "I64", "U64"};

struct Entry {
  std::string name;
  std::vector<std::uint64_t> shape;
  std::uint64_t begin = 0;
  std::uint64_t end = 0;
};

bool read_unsigned(const json& j, std::uint64_t& out) {
  if (!j.is_number_unsigned()) return false;
  out = j.get<std::uint64_t>();
  return true;
}

Result<Entry> read_entry(const std::string& name, const json& info) {
  if (!info.is_object()) return invalid("tensor '" + name + "' is not described by an object");
  const auto dtype = info.find("dtype");
  const auto shape = info.find("shape");
  const auto offsets = info.find("data_offsets");
  if (dtype == info.end()) return invalid("tensor '" + name + "' has no \"dtype\"");
  if (shape == info.end()) return invalid("tensor '" + name + "' has no \"shape\"");
  if (offsets == info.end()) return invalid("tensor '" + name + "' has no \"data_offsets\"");

  if (!dtype->is_string()) return invalid("tensor '" + name + "' has a \"dtype\" that is not a string");
  const auto& type = dtype->get_ref<const std::string&>();
  if (std::find(kKnownDtypes.begin(), kKnownDtypes.end(), type) == kKnownDtypes.end()) {
    return invalid("tensor '" + name + "' has the unknown dtype \"" + type + "\"");
  }
  if (type != "F32") {
    return invalid("tensor '" + name + "' has dtype " + type + "; only F32 is supported");
  }

  Entry e;
  e.name = name;
  if (!shape->is_array()) return invalid("tensor '" + name + "' has a \"shape\" that is not a list");
  for (const json& d : *shape) {
    std::uint64_t dim = 0;
    if (!read_unsigned(d, dim)) {
      return invalid("tensor '" + name + "' has a dimension that is not an unsigned integer");
    }
    e.shape.push_back(dim);
  }
  if (!offsets->is_array() || offsets->size() != 2 || !read_unsigned((*offsets)[0], e.begin) ||
      !read_unsigned((*offsets)[1], e.end) || e.end < e.begin) {
    return invalid("tensor '" + name + "' has \"data_offsets\" that are not [begin, end]");
  }

  // Elements times 4 bytes must be exactly the range, without overflow.
  std::uint64_t bytes = sizeof(float);
  for (std::uint64_t dim : e.shape) {
    if (dim != 0 && bytes > std::numeric_limits<std::uint64_t>::max() / dim) {
      return invalid("tensor '" + name + "' has a shape too large to hold");
    }
    bytes *= dim;
  }
  if (bytes != e.end - e.begin) {
    return invalid("tensor '" + name + "' of shape " + shape_text(e.shape) + " needs " +
                   std::to_string(bytes) + " bytes but its data_offsets span " +
                   std::to_string(e.end - e.begin));
  }
  return e;
}

}  // namespace

std::string shape_text(const std::vector<std::uint64_t>& shape) {
  std::string out = "[";
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (i > 0) out += ", ";
    out += std::to_string(shape[i]);
  }
  return out + "]";
}

Result<const std::vector<float>*> values_of_rank(const Tensor& t, std::size_t rank) {
  if (t.shape.size() != rank) {
    return Error{"unexpected rank, expected: " + std::to_string(rank) + ", got: " +
                 std::to_string(t.shape.size()) + " (" + shape_text(t.shape) + ")"};
  }
  return &t.data;
}

Result<TensorMap> load_buffer(std::span<const unsigned char> bytes) {
  if (bytes.size() < 8) return invalid("shorter than its 8-byte header length");
  std::uint64_t header_len = 0;
  std::memcpy(&header_len, bytes.data(), 8);
  if (header_len > bytes.size() - 8) {
    return invalid("header length " + std::to_string(header_len) + " exceeds the " +
                   std::to_string(bytes.size() - 8) + " bytes that follow it");
  }
  const auto* header_begin = bytes.data() + 8;
  const json header = json::parse(header_begin, header_begin + header_len, nullptr,
                                  /*allow_exceptions=*/false);
  if (header.is_discarded()) return invalid("header is not valid JSON");
  if (!header.is_object()) return invalid("header is not a JSON object");

  std::vector<Entry> entries;
  entries.reserve(header.size());
  for (const auto& [name, info] : header.items()) {
    if (name == "__metadata__") {
      if (!info.is_object()) return invalid("\"__metadata__\" is not an object");
      for (const auto& [key, value] : info.items()) {
        if (!value.is_string()) return invalid("metadata '" + key + "' is not a string");
      }
      continue;
    }
    Result<Entry> e = read_entry(name, info);
    if (!e) return std::move(e).take_error();
    entries.push_back(std::move(e).value());
  }

  // The tensors must tile the data exactly: no gaps, no overlaps, nothing
  // beyond the end and nothing left over.
  const std::uint64_t data_len = bytes.size() - 8 - header_len;
  std::vector<const Entry*> by_offset;
  by_offset.reserve(entries.size());
  for (const Entry& e : entries) by_offset.push_back(&e);
  std::sort(by_offset.begin(), by_offset.end(), [](const Entry* a, const Entry* b) {
    return std::pair(a->begin, a->end) < std::pair(b->begin, b->end);
  });
  std::uint64_t expected = 0;
  for (const Entry* e : by_offset) {
    if (e->begin != expected) {
      return invalid("tensor '" + e->name + "' starts at byte " + std::to_string(e->begin) +
                     " of the data, not at " + std::to_string(expected));
    }
    expected = e->end;
  }
  if (expected != data_len) {
    return invalid("the tensors cover " + std::to_string(expected) + " bytes of data but the file holds " +
                   std::to_string(data_len));
  }

  const unsigned char* data = header_begin + header_len;
  TensorMap out;
  out.reserve(entries.size());
  for (Entry& e : entries) {
    auto t = std::make_shared<Tensor>();
    t->data.resize((e.end - e.begin) / sizeof(float));
    if (!t->data.empty()) std::memcpy(t->data.data(), data + e.begin, e.end - e.begin);
    t->shape = std::move(e.shape);
    out.insert_or_assign(std::move(e.name), std::move(t));
  }
  return out;
}

}  // namespace corvane::models
