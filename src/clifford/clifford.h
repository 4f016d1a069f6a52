// A Clifford operator held as n × n block codes, and the gates H, S and CX
// acting on it through constant tables.
//
// The 2n × 2n symplectic matrix is cut into 2 × 2 blocks, one per (row
// qubit i, column qubit j); the block [[a, b], [c, d]] is the code
// 8a + 4b + 2c + d, so the identity block is 9 and the zero block 0.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace corvane::clifford {

using Table1 = std::array<std::uint64_t, 16>;
using Table2 = std::array<std::array<std::uint64_t, 16>, 16>;  // [first code][second code]

extern const Table1 COLUMN_H_TABLE;   // the block's two columns exchanged
extern const Table1 COLUMN_S_TABLE;   // second column added to the first
extern const Table1 ROW_H_TABLE;      // the block's two rows exchanged
extern const Table1 ROW_S_TABLE;      // first row added to the second
extern const Table1 SWAP_AD_TABLE;    // a and d exchanged
extern const Table2 COLUMN_CX_CONTROL_TABLE;  // x xor (y and 10)
extern const Table2 COLUMN_CX_TARGET_TABLE;   // y xor (x and 5)
extern const Table2 ROW_CX_CONTROL_TABLE;     // x xor (y and 3)
extern const Table2 ROW_CX_TARGET_TABLE;      // y xor (x and 12)

class Clifford {
 public:
  // Takes over the codes, cell i·n + j for block (i, j); n is the integer
  // part of the single-precision square root of the length. Cells from n·n
  // on are kept and never touched.
  explicit Clifford(std::vector<std::uint64_t> cells);

  // The n × n square is the identity (n = 0 counts as one).
  bool is_identity() const;

  // Column operations: the gate applied to the operator's block columns.
  void column_h(std::uint64_t q);
  void column_s(std::uint64_t q);
  void column_cx(std::uint64_t control, std::uint64_t target);
  // Row operations: the gate applied to the block rows.
  void row_h(std::uint64_t q);
  void row_s(std::uint64_t q);
  void row_cx(std::uint64_t control, std::uint64_t target);

  const std::vector<std::uint64_t>& cells() const noexcept { return cells_; }
  std::uint64_t n() const noexcept { return n_; }

 private:
  // Refuses a qubit beyond the state before any cell is rewritten.
  void check_qubit(std::uint64_t q) const;
  template <class Cell>
  void map_cells(std::uint64_t q, const Table1& table, Cell cell);
  template <class Cell>
  void map_pairs(std::uint64_t control, std::uint64_t target, const Table2& control_table,
                 const Table2& target_table, Cell cell);

  std::vector<std::uint64_t> cells_;
  std::uint64_t n_;
};

}  // namespace corvane::clifford
