// Per-model records built from the model descriptions that Python passes to
// the synthesis classes, and the rules their parsers share: the walk over
// the descriptions with its two report lines, the integer rule and the
// insertion rule.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/result.h"
#include "models/clifford_net.h"
#include "models/perm_net.h"

namespace corvane::models {

using ModelDescription = std::unordered_map<std::string, std::string>;
using Edges = std::vector<std::pair<std::uint64_t, std::uint64_t>>;
using Perms = std::vector<std::vector<std::uint64_t>>;
using ActGates = std::vector<std::pair<std::string, std::vector<std::uint64_t>>>;

template <class V>
using ByName = std::unordered_map<std::string, V>;

// A whole text as an unsigned 64-bit decimal: an optional leading "+", then
// one or more ASCII digits. Errors "cannot parse integer from empty string",
// "invalid digit found in string", "number too large to fit in target type".
Result<std::uint64_t> parse_u64(std::string_view text);

struct PermModelInfo {
  std::string topology;
  Edges cmap;
  Perms valid_perms;
  Perms inv_perms;
  std::string coupling_map_hash;
  PermNet model;
  std::uint64_t num_qubits = 0;
  std::uint64_t default_n_steps = 0;
};

// An action gate of a Clifford model.
struct Op {
  enum Tag : std::uint64_t { H = 0, S = 1, CX = 2 };
  std::uint64_t tag = H;
  std::uint64_t q0 = 0;  // the qubit of H and S, the control of CX
  std::uint64_t q1 = 0;  // the target of CX
};

// The cell map of the transposed n × n view: entry i·n + j holds j·n + i.
// Computed on demand, so a huge n in a description costs nothing until a
// view of that size exists.
class TransposeMap {
 public:
  TransposeMap() = default;
  explicit TransposeMap(std::uint64_t n) : n_(n) {}
  // n·n entries, in 128 bits so that it cannot wrap.
  unsigned __int128 size() const noexcept { return static_cast<unsigned __int128>(n_) * n_; }
  // Entry k (k < size()).
  std::uint64_t operator[](std::uint64_t k) const noexcept { return (k % n_) * n_ + k / n_; }
  std::uint64_t n() const noexcept { return n_; }

 private:
  std::uint64_t n_ = 0;
};

struct CliffordModelInfo {
  std::string topology;
  std::vector<Op> gates;
  Perms valid_perms;
  Perms act_perms;
  TransposeMap transpose_map;
  CliffordNet model;
  std::uint64_t num_qubits = 0;
  std::uint64_t default_n_steps = 0;
};

using PermModels = std::unordered_map<std::string, PermModelInfo>;
using CliffordModels = std::unordered_map<std::string, CliffordModelInfo>;

// The record stored under exactly model_id, or the error "Model <model_id>
// not found".
template <class Record>
Result<const Record*> get_model(const std::unordered_map<std::string, Record>& models,
                                std::string_view model_id) {
  const auto it = models.find(std::string(model_id));
  if (it == models.end()) return Error{"Model " + std::string(model_id) + " not found"};
  return &it->second;
}

// Builds a record per description; descriptions that cannot be used are
// reported on standard output and skipped. A model name that names no
// embedded file, and a model file whose input layer cannot be built, are
// internal faults.
PermModels get_perm_models_from_python(std::vector<ModelDescription> model_info, ByName<Edges> cmap,
                                       ByName<Perms> valid_perms, std::string models_path);

// The same for Clifford models; an action gate whose qubit list is too short
// for it is an internal fault too.
CliffordModels get_clifford_models_from_python(std::vector<ModelDescription> model_info,
                                               ByName<ActGates> act_gates, ByName<Perms> valid_perms,
                                               ByName<Perms> act_perms, std::string models_path);

}  // namespace corvane::models
