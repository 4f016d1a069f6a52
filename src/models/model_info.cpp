#include "models/model_info.h"

#include "common/argsort.h"
#include "common/fault.h"
#include "common/interrupt.h"
#include "common/output.h"

namespace corvane::models {
namespace {

const std::string* find_key(const ModelDescription& d, const char* key) {
  const auto it = d.find(key);
  return it == d.end() ? nullptr : &it->second;
}

template <class V>
const V* find_entry(const ByName<V>& map, const std::string& name) {
  const auto it = map.find(name);
  return it == map.end() ? nullptr : &it->second;
}

// A required integer key: its parsed value, or the text to report.
Result<std::uint64_t> integer_key(const ModelDescription& d, const char* key, const char* missing) {
  const std::string* text = find_key(d, key);
  if (text == nullptr) return Error{missing};
  return parse_u64(*text);
}

// The walk: each description in order; one without "model_name" prints
// "Error getting model_name"; one whose steps fail prints "Error loading
// model infor for <name>: <error>"; one whose steps succeed is stored, a
// later record of the same name replacing an earlier one.
template <class Record, class Steps>
std::unordered_map<std::string, Record> walk(std::vector<ModelDescription> model_info, Steps steps) {
  std::unordered_map<std::string, Record> out;
  for (ModelDescription& d : model_info) {
    // A caller may describe thousands of models, each decoded in turn.
    interrupt::poll();
    const ModelDescription description = std::move(d);
    const std::string* name = find_key(description, "model_name");
    if (name == nullptr) {
      write_stdout_line("Error getting model_name");
      continue;
    }
    Result<Record> record = steps(*name, description);
    if (!record) {
      write_stdout_line("Error loading model infor for " + *name + ": " + record.error());
      continue;
    }
    out.insert_or_assign(*name, std::move(record).value());
  }
  return out;
}

}  // namespace

Result<std::uint64_t> parse_u64(std::string_view text) {
  if (text.empty()) return Error{"cannot parse integer from empty string"};
  std::size_t i = 0;
  if (text[0] == '+') {
    i = 1;
    if (text.size() == 1) return Error{"invalid digit found in string"};
  }
  std::uint64_t value = 0;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c < '0' || c > '9') return Error{"invalid digit found in string"};
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return Error{"number too large to fit in target type"};
    value = value * 10 + digit;
  }
  return value;
}

PermModels get_perm_models_from_python(std::vector<ModelDescription> model_info, ByName<Edges> cmap,
                                       ByName<Perms> valid_perms, std::string models_path) {
  return walk<PermModelInfo>(std::move(model_info), [&](const std::string& name,
                                                        const ModelDescription& d)
                                                        -> Result<PermModelInfo> {
    // The network comes first (an unknown path faults before any key is
    // read), but its error is reported only once every key has passed.
    Result<PermNet> net = PermNet::load(models_path, name);

    const Edges* edges = find_entry(cmap, name);
    if (edges == nullptr) return Error{"Mising coupling map"};
    const Perms* perms = find_entry(valid_perms, name);
    if (perms == nullptr) return Error{"Mising valid perms"};
    Perms inv_perms;
    inv_perms.reserve(perms->size());
    for (const auto& p : *perms) inv_perms.push_back(argsort(p));
    Result<std::uint64_t> qubits = integer_key(d, "qubits", "Mising num qubits");
    if (!qubits) return std::move(qubits).take_error();
    const std::string* topology = find_key(d, "topology");
    const std::string* hash = find_key(d, "coupling_map_hash");
    if (hash == nullptr) return Error{"Missing coupling map hash"};
    Result<std::uint64_t> steps = integer_key(d, "default_n_steps", "Missing default_n_steps");
    if (!steps) return std::move(steps).take_error();
    if (!net) return std::move(net).take_error();

    return PermModelInfo{.topology = topology != nullptr ? *topology : std::string(),
                         .cmap = *edges,
                         .valid_perms = *perms,
                         .inv_perms = std::move(inv_perms),
                         .coupling_map_hash = *hash,
                         .model = std::move(net).value(),
                         .num_qubits = *qubits,
                         .default_n_steps = *steps};
  });
}

CliffordModels get_clifford_models_from_python(std::vector<ModelDescription> model_info,
                                               ByName<ActGates> act_gates, ByName<Perms> valid_perms,
                                               ByName<Perms> act_perms, std::string models_path) {
  return walk<CliffordModelInfo>(std::move(model_info), [&](const std::string& name,
                                                            const ModelDescription& d)
                                                            -> Result<CliffordModelInfo> {
    Result<std::uint64_t> qubits = integer_key(d, "qubits", "Mising num qubits");
    if (!qubits) return std::move(qubits).take_error();
    const ActGates* gate_list = find_entry(act_gates, name);
    if (gate_list == nullptr) return Error{"Mising action gates"};
    std::vector<Op> gates;
    gates.reserve(gate_list->size());
    for (const auto& [gate_name, qubit_list] : *gate_list) {
      if (gate_name == "h" || gate_name == "s") {
        gates.push_back({gate_name == "h" ? Op::H : Op::S, at(qubit_list, 0), 0});
      } else {
        const std::uint64_t control = at(qubit_list, 0);
        gates.push_back({Op::CX, control, at(qubit_list, 1)});
      }
    }
    const Perms* actions = find_entry(act_perms, name);
    if (actions == nullptr) return Error{"Mising action permutations"};
    const Perms* perms = find_entry(valid_perms, name);
    if (perms == nullptr) return Error{"Mising valid permutations"};
    const std::string* topology = find_key(d, "topology");
    Result<std::uint64_t> steps = integer_key(d, "default_n_steps", "Missing default_n_steps");
    if (!steps) return std::move(steps).take_error();
    Result<CliffordNet> net = CliffordNet::load(models_path, name, *qubits);
    if (!net) return std::move(net).take_error();

    return CliffordModelInfo{.topology = topology != nullptr ? *topology : std::string(),
                             .gates = std::move(gates),
                             .valid_perms = *perms,
                             .act_perms = *actions,
                             .transpose_map = TransposeMap(*qubits),
                             .model = std::move(net).value(),
                             .num_qubits = *qubits,
                             .default_n_steps = *steps};
  });
}

}  // namespace corvane::models
