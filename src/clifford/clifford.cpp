#include "clifford/clifford.h"

#include <cmath>

#include "common/fault.h"

namespace corvane::clifford {
namespace {

// Bits of a code: a = 8, b = 4, c = 2, d = 1.
constexpr std::uint64_t bit(std::uint64_t v, int shift) { return (v >> shift) & 1u; }
constexpr std::uint64_t code(std::uint64_t a, std::uint64_t b, std::uint64_t c, std::uint64_t d) {
  return 8 * a + 4 * b + 2 * c + d;
}

template <class F>
constexpr Table1 make1(F f) {
  Table1 t{};
  for (std::uint64_t v = 0; v < 16; ++v) t[v] = f(bit(v, 3), bit(v, 2), bit(v, 1), bit(v, 0));
  return t;
}

template <class F>
constexpr Table2 make2(F f) {
  Table2 t{};
  for (std::uint64_t x = 0; x < 16; ++x) {
    for (std::uint64_t y = 0; y < 16; ++y) t[x][y] = f(x, y);
  }
  return t;
}

}  // namespace

constexpr Table1 COLUMN_H_TABLE_V = make1([](auto a, auto b, auto c, auto d) { return code(b, a, d, c); });
constexpr Table1 COLUMN_S_TABLE_V = make1([](auto a, auto b, auto c, auto d) { return code(a ^ b, b, c ^ d, d); });
constexpr Table1 ROW_H_TABLE_V = make1([](auto a, auto b, auto c, auto d) { return code(c, d, a, b); });
constexpr Table1 ROW_S_TABLE_V = make1([](auto a, auto b, auto c, auto d) { return code(a, b, c ^ a, d ^ b); });
constexpr Table1 SWAP_AD_TABLE_V = make1([](auto a, auto b, auto c, auto d) { return code(d, b, c, a); });

const Table1 COLUMN_H_TABLE = COLUMN_H_TABLE_V;
const Table1 COLUMN_S_TABLE = COLUMN_S_TABLE_V;
const Table1 ROW_H_TABLE = ROW_H_TABLE_V;
const Table1 ROW_S_TABLE = ROW_S_TABLE_V;
const Table1 SWAP_AD_TABLE = SWAP_AD_TABLE_V;
const Table2 COLUMN_CX_CONTROL_TABLE = make2([](auto x, auto y) { return x ^ (y & 10u); });
const Table2 COLUMN_CX_TARGET_TABLE = make2([](auto x, auto y) { return y ^ (x & 5u); });
const Table2 ROW_CX_CONTROL_TABLE = make2([](auto x, auto y) { return x ^ (y & 3u); });
const Table2 ROW_CX_TARGET_TABLE = make2([](auto x, auto y) { return y ^ (x & 12u); });

static_assert(COLUMN_H_TABLE_V[9] == 6 && COLUMN_S_TABLE_V[9] == 11);
static_assert(ROW_H_TABLE_V[9] == 6 && ROW_S_TABLE_V[9] == 11 && SWAP_AD_TABLE_V[9] == 9);

namespace {

// Table lookups with every index checked: a code above 15 is an index fault.
std::uint64_t look(const Table1& t, std::uint64_t v) { return at(t, v); }
std::uint64_t look(const Table2& t, std::uint64_t x, std::uint64_t y) { return at(at(t, x), y); }

std::uint64_t side_of(std::size_t len) {
  const float root = std::sqrt(static_cast<float>(len));
  // Saturating truncation toward zero.
  if (!(root >= 0.0f)) return 0;
  if (root >= 18446744073709551616.0f) return UINT64_MAX;
  return static_cast<std::uint64_t>(root);
}

}  // namespace

Clifford::Clifford(std::vector<std::uint64_t> cells) : cells_(std::move(cells)), n_(side_of(cells_.size())) {}

bool Clifford::is_identity() const {
  for (std::uint64_t i = 0; i < n_; ++i) {
    for (std::uint64_t j = 0; j < n_; ++j) {
      if (at(cells_, j * n_ + i) != (i == j ? 9u : 0u)) return false;
    }
  }
  return true;
}

void Clifford::check_qubit(std::uint64_t q) const {
  if (q >= n_) index_fault(n_, q);
}

// One-qubit gates rewrite the n cells of a block column (cell(j) = j·n + q)
// or a block row (cell(j) = q·n + j) through a table.
template <class Cell>
void Clifford::map_cells(std::uint64_t q, const Table1& table, Cell cell) {
  check_qubit(q);
  for (std::uint64_t j = 0; j < n_; ++j) {
    std::uint64_t& v = at(cells_, cell(j));
    v = look(table, v);
  }
}

// CX rewrites the control's cell, then the target's from the new control
// cell (they are one cell when control == target).
template <class Cell>
void Clifford::map_pairs(std::uint64_t control, std::uint64_t target, const Table2& control_table,
                         const Table2& target_table, Cell cell) {
  check_qubit(control);
  check_qubit(target);
  for (std::uint64_t j = 0; j < n_; ++j) {
    std::uint64_t& c = at(cells_, cell(control, j));
    c = look(control_table, c, at(cells_, cell(target, j)));
    std::uint64_t& t = at(cells_, cell(target, j));
    t = look(target_table, c, t);
  }
}

void Clifford::column_h(std::uint64_t q) {
  map_cells(q, COLUMN_H_TABLE, [&](std::uint64_t j) { return j * n_ + q; });
}
void Clifford::column_s(std::uint64_t q) {
  map_cells(q, COLUMN_S_TABLE, [&](std::uint64_t j) { return j * n_ + q; });
}
void Clifford::column_cx(std::uint64_t control, std::uint64_t target) {
  map_pairs(control, target, COLUMN_CX_CONTROL_TABLE, COLUMN_CX_TARGET_TABLE,
            [&](std::uint64_t q, std::uint64_t j) { return j * n_ + q; });
}
void Clifford::row_h(std::uint64_t q) {
  map_cells(q, ROW_H_TABLE, [&](std::uint64_t j) { return q * n_ + j; });
}
void Clifford::row_s(std::uint64_t q) {
  map_cells(q, ROW_S_TABLE, [&](std::uint64_t j) { return q * n_ + j; });
}
void Clifford::row_cx(std::uint64_t control, std::uint64_t target) {
  map_pairs(control, target, ROW_CX_CONTROL_TABLE, ROW_CX_TARGET_TABLE,
            [&](std::uint64_t q, std::uint64_t j) { return q * n_ + j; });
}

}  // namespace corvane::clifford
