#include "routing/ops.h"

#include "common/fault.h"

namespace corvane::routing {

std::vector<Operation> py_to_ops(const std::vector<GateTuple>& circuit) {
  std::vector<Operation> ops;
  ops.reserve(circuit.size());
  for (std::size_t i = 0; i < circuit.size(); ++i) {
    const auto& [code, qubits] = circuit[i];
    OpKind kind;
    if (code >= 10) {
      kind = OpKind::coded(CODED_CX_COUNT, code);
    } else if (code < CODE_TO_KIND.size()) {
      kind = CODE_TO_KIND[code];
    } else {
      index_fault(CODE_TO_KIND.size(), code);
    }
    ops.push_back(Operation{kind, i, qubits.first, qubits.second});
  }
  return ops;
}

std::vector<GateTuple> ops_to_py(const std::vector<Operation>& ops) {
  std::vector<GateTuple> out;
  out.reserve(ops.size());
  for (const Operation& op : ops) out.push_back({op.kind.py_code(), {op.q0, op.q1}});
  return out;
}

MergeResult merge_ops(const Operation& next, const Operation& prev) {
  MergeResult r;
  const bool cx_swap = (next.kind.tag == OpTag::Cx && prev.kind.tag == OpTag::Swap) ||
                       (next.kind.tag == OpTag::Swap && prev.kind.tag == OpTag::Cx);
  if (next.kind.tag == OpTag::Block3) {
    r.ops[0] = next;
    r.len = 1;
  } else if (cx_swap) {
    // CX then SWAP on one pair equals two CX gates in opposite directions.
    r.ops[0] = Operation{OpTag::Cx, prev.id, next.q0, next.q1};
    r.ops[1] = Operation{OpTag::Cx, next.id, next.q1, next.q0};
    r.len = 2;
  } else if (next.kind.tag == OpTag::Block2 || prev.kind.tag == OpTag::Block2) {
    r.ops[0] = Operation{OpTag::Block3, prev.id, next.q0, next.q1};
    r.len = 1;
  } else {
    // Never asked for by the DAG; keep the newer gate, as a Block3 would.
    r.ops[0] = next;
    r.len = 1;
  }
  return r;
}

}  // namespace corvane::routing
