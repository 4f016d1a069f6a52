// The metrics by which Clifford synthesis ranks its attempts.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace corvane::clifford {

// ("h" | "s" | "cx", (q0, q1)); one-qubit gates carry 0 as q1.
using Gate = std::pair<std::string, std::pair<std::uint64_t, std::uint64_t>>;

class CircuitMetrics {
 public:
  explicit CircuitMetrics(std::uint64_t num_qubits) : num_qubits_(num_qubits) {}

  // Records one gate: "cx" raises the depth of both qubits (and their CX
  // depth) to one more than the larger; "h" and "s" raise their qubit's
  // depth by one; any other name is ignored. A qubit at or beyond
  // num_qubits is an index fault.
  void add_gate(const Gate& gate);

  // (CX layers, CX count, gate layers, gate count): smaller is better.
  std::array<std::uint64_t, 4> key() const noexcept {
    return {cx_layers_, cx_count_, gate_layers_, gate_count_};
  }

 private:
  // Depths are kept only for the qubits seen so far (-1 for the others), so
  // a model's huge qubit count costs nothing: this checks q against the
  // qubit count and grows both depth vectors to hold it.
  void reach(std::uint64_t q);

  std::uint64_t num_qubits_;
  std::vector<std::int64_t> gate_depth_;
  std::vector<std::int64_t> cx_depth_;
  // Every depth written is 0 or one more than a depth written before, so the
  // set of written values is 0..max and its size is max + 1.
  std::uint64_t cx_layers_ = 0;
  std::uint64_t gate_layers_ = 0;
  std::uint64_t cx_count_ = 0;
  std::uint64_t gate_count_ = 0;
};

}  // namespace corvane::clifford
