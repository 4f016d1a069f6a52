#include "clifford/circuit.h"

#include <algorithm>

#include "common/fault.h"

namespace corvane::clifford {

void CircuitMetrics::reach(std::uint64_t q) {
  if (q >= num_qubits_) index_fault(num_qubits_, q);
  if (q >= gate_depth_.size()) {
    gate_depth_.resize(q + 1, -1);
    cx_depth_.resize(q + 1, -1);
  }
}

void CircuitMetrics::add_gate(const Gate& gate) {
  const auto [q0, q1] = gate.second;
  if (gate.first == "cx") {
    reach(q0);
    reach(q1);
    const std::int64_t d = std::max(gate_depth_[q0], gate_depth_[q1]) + 1;
    const std::int64_t cd = std::max(cx_depth_[q0], cx_depth_[q1]) + 1;
    ++cx_count_;
    ++gate_count_;
    gate_depth_[q0] = gate_depth_[q1] = d;
    cx_depth_[q0] = cx_depth_[q1] = cd;
    cx_layers_ = std::max(cx_layers_, static_cast<std::uint64_t>(cd) + 1);
    gate_layers_ = std::max(gate_layers_, static_cast<std::uint64_t>(d) + 1);
  } else if (gate.first == "h" || gate.first == "s") {
    reach(q0);
    ++gate_count_;
    const std::int64_t d = ++gate_depth_[q0];
    gate_layers_ = std::max(gate_layers_, static_cast<std::uint64_t>(d) + 1);
  }
}

}  // namespace corvane::clifford
