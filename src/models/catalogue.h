// The model files compiled into the module: the permutation and Clifford
// files found by their exact path, the linear-function files by index.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "common/result.h"
#include "models/safetensors.h"

namespace corvane::models {

struct EmbeddedFile {
  std::string_view path;  // "/models/<dir>/<name>.safetensors"; a bare name for indexed files
  std::span<const unsigned char> bytes;
};

std::span<const EmbeddedFile> permutation_files() noexcept;
std::span<const EmbeddedFile> clifford_files() noexcept;
std::span<const EmbeddedFile> linear_function_files() noexcept;  // by model id

// "<models_path>/<name>.safetensors", joined as it is.
std::string model_key(std::string_view models_path, std::string_view name);

// The entry whose path equals key byte for byte, or null.
const EmbeddedFile* find_file(std::span<const EmbeddedFile> table, std::string_view key) noexcept;

// Finds the file of `name` in `table` and decodes it. A key that matches no
// file is an internal fault ("called `Option::unwrap()` on a `None` value");
// a decoding error is returned.
Result<TensorMap> load_model(std::span<const EmbeddedFile> table, std::string_view models_path,
                             std::string_view name);

}  // namespace corvane::models
