#include "clifford/circuit.h"

#include <algorithm>

#include "common/fault.h"

namespace corvane::clifford {

std::int64_t& CircuitMetrics::depth(std::vector<std::int64_t>& v, std::uint64_t q) {
  if (q >= num_qubits_) index_fault(num_qubits_, q);
  if (q >= v.size()) v.resize(q + 1, -1);
  return v[q];
}

void CircuitMetrics::add_gate(const Gate& gate) {
  const auto [q0, q1] = gate.second;
  if (gate.first == "cx") {
    const std::int64_t d = std::max(depth(gate_depth_, q0), depth(gate_depth_, q1)) + 1;
    const std::int64_t cd = std::max(depth(cx_depth_, q0), depth(cx_depth_, q1)) + 1;
    ++cx_count_;
    ++gate_count_;
    depth(gate_depth_, q0) = d;
    depth(gate_depth_, q1) = d;
    depth(cx_depth_, q0) = cd;
    depth(cx_depth_, q1) = cd;
    cx_layers_ = std::max(cx_layers_, static_cast<std::uint64_t>(cd) + 1);
    gate_layers_ = std::max(gate_layers_, static_cast<std::uint64_t>(d) + 1);
  } else if (gate.first == "h" || gate.first == "s") {
    std::int64_t& d = depth(gate_depth_, q0);
    ++gate_count_;
    d += 1;
    gate_layers_ = std::max(gate_layers_, static_cast<std::uint64_t>(d) + 1);
  }
}

}  // namespace corvane::clifford
