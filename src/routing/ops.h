// Gate records of the router: one flat value per gate, its kind deciding how
// it is costed in CX gates, linked into a DAG and combined with its neighbour.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace corvane::routing {

enum class OpTag : std::uint8_t { Cx, Swap, SymmetricCx, Block3, Block2, Coded, OneQubit, WaitAll };

struct OpKind {
  OpTag tag = OpTag::Cx;
  // Only meaningful for Coded: the CX gates it stands for (3 for every gate
  // from Python, so 32 bits are plenty; a routing holds millions of these)
  // and its Python code.
  std::uint32_t coded_cx = 0;
  std::uint64_t coded_code = 0;

  constexpr OpKind() = default;
  constexpr OpKind(OpTag t) : tag(t) {}  // NOLINT: implicit on purpose
  static constexpr OpKind coded(std::uint32_t cx_count, std::uint64_t code) {
    OpKind k(OpTag::Coded);
    k.coded_cx = cx_count;
    k.coded_code = code;
    return k;
  }

  // Number of CX gates this kind stands for.
  constexpr std::size_t cx_cost() const {
    switch (tag) {
      case OpTag::Cx:
      case OpTag::SymmetricCx:
        return 1;
      case OpTag::Swap:
      case OpTag::Block3:
        return 3;
      case OpTag::Block2:
        return 2;
      case OpTag::Coded:
        return coded_cx;
      case OpTag::OneQubit:
      case OpTag::WaitAll:
        return 0;
    }
    return 0;
  }

  // The code this kind has in the Python circuit format.
  constexpr std::size_t py_code() const {
    switch (tag) {
      case OpTag::Cx: return 0;
      case OpTag::Swap: return 1;
      case OpTag::SymmetricCx: return 2;
      case OpTag::Block3: return 3;
      case OpTag::Block2: return 4;
      case OpTag::OneQubit: return 5;
      case OpTag::WaitAll: return 6;
      case OpTag::Coded: return coded_code;
    }
    return 0;
  }

  friend constexpr bool operator==(const OpKind& a, const OpKind& b) {
    if (a.tag != b.tag) return false;
    return a.tag != OpTag::Coded || (a.coded_cx == b.coded_cx && a.coded_code == b.coded_code);
  }
};

struct Operation {
  OpKind kind;
  std::size_t id = 0;
  std::size_t q0 = 0;
  std::size_t q1 = 0;

  friend constexpr bool operator==(const Operation&, const Operation&) = default;
};

// Python codes 0..6; 7, 8 and 9 name no kind, 10 and above are Coded.
inline constexpr std::array<OpTag, 7> CODE_TO_KIND = {
    OpTag::Cx,     OpTag::Swap,     OpTag::SymmetricCx, OpTag::Block3,
    OpTag::Block2, OpTag::OneQubit, OpTag::WaitAll};

// CX count every Coded gate from Python is costed at.
inline constexpr std::size_t CODED_CX_COUNT = 3;

// (code, (q0, q1)), as Python passes and receives a gate.
using GateTuple = std::pair<std::uint64_t, std::pair<std::uint64_t, std::uint64_t>>;

// Ids are list positions. Codes 7 to 9 are an index fault.
std::vector<Operation> py_to_ops(const std::vector<GateTuple>& circuit);
std::vector<GateTuple> ops_to_py(const std::vector<Operation>& ops);

// One or two operations replacing a pair that merges.
struct MergeResult {
  std::array<Operation, 2> ops;
  std::size_t len = 0;
  const Operation* begin() const { return ops.data(); }
  const Operation* end() const { return ops.data() + len; }
};

// Fuses `next` with `prev`, the gate standing before it on the same pair.
MergeResult merge_ops(const Operation& next, const Operation& prev);

}  // namespace corvane::routing
