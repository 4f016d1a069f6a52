#include "models/catalogue.h"

#include "common/fault.h"

namespace corvane::models {

std::string model_key(std::string_view models_path, std::string_view name) {
  std::string key;
  key.reserve(models_path.size() + name.size() + 13);
  key.append(models_path).append("/").append(name).append(".safetensors");
  return key;
}

const EmbeddedFile* find_file(std::span<const EmbeddedFile> table, std::string_view key) noexcept {
  for (const EmbeddedFile& f : table) {
    if (f.path == key) return &f;
  }
  return nullptr;
}

Result<TensorMap> load_model(std::span<const EmbeddedFile> table, std::string_view models_path,
                             std::string_view name) {
  const EmbeddedFile* file = find_file(table, model_key(models_path, name));
  if (file == nullptr) fault(std::string(kUnwrapNone));
  return load_buffer(file->bytes);
}

}  // namespace corvane::models
