// Small helpers shared by the core test suites.
#pragma once

#include <string>

#include "common/fault.h"
#include "routing/ops.h"
#include "routing/types.h"

namespace corvane::testing_support {

// The message of the Fault that f raises, or "" when it raises none.
template <class F>
std::string fault_of(F&& f) {
  try {
    f();
  } catch (const Fault& e) {
    return e.message();
  }
  return "";
}

// A basis state under the gates that combine exactly, as a signed
// permutation: CX; SWAP; the symmetric gate as CZ; a Coded gate as "flip q1
// when q0 is set, then a phase when q1 is set"; a one-qubit gate as X on q0;
// a barrier as the identity.
struct Signed {
  unsigned bits;
  int sign;
  bool operator==(const Signed&) const = default;
};

inline void apply_gate(Signed& s, routing::OpTag t, std::size_t a, std::size_t b) {
  auto bit = [&](std::size_t q) { return (s.bits >> q) & 1u; };
  switch (t) {
    case routing::OpTag::Cx:
      if (bit(a)) s.bits ^= 1u << b;
      break;
    case routing::OpTag::Swap:
      if (bit(a) != bit(b)) s.bits ^= (1u << a) | (1u << b);
      break;
    case routing::OpTag::SymmetricCx:
      if (bit(a) && bit(b)) s.sign = -s.sign;
      break;
    case routing::OpTag::Coded:
      if (bit(a)) s.bits ^= 1u << b;
      if (bit(b)) s.sign = -s.sign;
      break;
    case routing::OpTag::OneQubit:
      s.bits ^= 1u << a;
      break;
    default:
      break;
  }
}

inline routing::Operation gate(routing::OpTag t, std::size_t q0, std::size_t q1) {
  return routing::Operation{routing::OpKind(t), 0, q0, q1};
}
inline routing::Operation coded(std::size_t q0, std::size_t q1, std::size_t cx = 3,
                                std::size_t code = 10) {
  return routing::Operation{routing::OpKind::coded(cx, code), 0, q0, q1};
}

// A line of n qubits, each edge listed once, (i, i + 1).
inline routing::CouplingMap line_map(std::size_t n) {
  routing::CouplingMap m;
  for (std::size_t i = 0; i + 1 < n; ++i) m.push_back({i, i + 1});
  return m;
}

inline void apply_gate(Signed& s, const routing::Operation& g) { apply_gate(s, g.kind.tag, g.q0, g.q1); }

}  // namespace corvane::testing_support
