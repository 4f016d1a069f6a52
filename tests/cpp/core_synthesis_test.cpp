// Clifford block encoding and gate tables, the Clifford metrics key, and the
// Gumbel choice of linear-function synthesis.

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "clifford/circuit.h"
#include "clifford/clifford.h"
#include "clifford/synthesis.h"
#include "common/rng.h"
#include "linear_function/synthesis.h"
#include "test_support.h"

namespace corvane::clifford {
namespace {

using Codes = std::vector<std::uint64_t>;
using testing_support::fault_of;

TEST(CliffordTables, MatchTheirBitRules) {
  EXPECT_EQ(COLUMN_H_TABLE, (Table1{0, 2, 1, 3, 8, 10, 9, 11, 4, 6, 5, 7, 12, 14, 13, 15}));
  EXPECT_EQ(COLUMN_S_TABLE, (Table1{0, 3, 2, 1, 12, 15, 14, 13, 8, 11, 10, 9, 4, 7, 6, 5}));
  EXPECT_EQ(ROW_H_TABLE, (Table1{0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15}));
  EXPECT_EQ(ROW_S_TABLE, (Table1{0, 1, 2, 3, 5, 4, 7, 6, 10, 11, 8, 9, 15, 14, 13, 12}));
  EXPECT_EQ(SWAP_AD_TABLE, (Table1{0, 8, 2, 10, 4, 12, 6, 14, 1, 9, 3, 11, 5, 13, 7, 15}));
  using Row = std::array<std::uint64_t, 16>;
  EXPECT_EQ(COLUMN_CX_CONTROL_TABLE[9], (Row{9, 9, 11, 11, 9, 9, 11, 11, 1, 1, 3, 3, 1, 1, 3, 3}));
  EXPECT_EQ(COLUMN_CX_TARGET_TABLE[9], (Row{1, 0, 3, 2, 5, 4, 7, 6, 9, 8, 11, 10, 13, 12, 15, 14}));
  EXPECT_EQ(ROW_CX_CONTROL_TABLE[9], (Row{9, 8, 11, 10, 9, 8, 11, 10, 9, 8, 11, 10, 9, 8, 11, 10}));
  EXPECT_EQ(ROW_CX_TARGET_TABLE[9], (Row{8, 9, 10, 11, 12, 13, 14, 15, 0, 1, 2, 3, 4, 5, 6, 7}));
}

TEST(CliffordState, IdentityTestAndGateExamples) {
  EXPECT_TRUE(Clifford({}).is_identity());
  EXPECT_TRUE(Clifford({9, 5, 7}).is_identity());
  EXPECT_FALSE(Clifford({0}).is_identity());
  EXPECT_TRUE(Clifford({9, 0, 0, 9}).is_identity());
  EXPECT_FALSE(Clifford({9, 0, 0, 8}).is_identity());

  auto apply = [](Codes cells, auto op) {
    Clifford c(std::move(cells));
    op(c);
    return c.cells();
  };
  EXPECT_EQ(apply({9}, [](Clifford& c) { c.column_h(0); }), Codes{6});
  EXPECT_EQ(apply({9}, [](Clifford& c) { c.row_h(0); }), Codes{6});
  EXPECT_EQ(apply({9}, [](Clifford& c) { c.column_s(0); }), Codes{11});
  EXPECT_EQ(apply({9}, [](Clifford& c) { c.row_s(0); }), Codes{11});
  EXPECT_EQ(apply({9, 0, 0, 9}, [](Clifford& c) { c.column_cx(0, 1); }), (Codes{9, 1, 8, 9}));
  EXPECT_EQ(apply({9, 0, 0, 9}, [](Clifford& c) { c.row_cx(0, 1); }), (Codes{9, 1, 8, 9}));
  EXPECT_EQ(apply({9, 0, 0, 9}, [](Clifford& c) { c.column_cx(1, 0); }), (Codes{9, 8, 1, 9}));
  EXPECT_EQ(apply({9, 0, 0, 9}, [](Clifford& c) { c.row_cx(1, 0); }), (Codes{9, 8, 1, 9}));
  EXPECT_EQ(apply({9, 3, 15, 12}, [](Clifford& c) { c.column_cx(0, 0); }), (Codes{0, 3, 0, 12}));
  EXPECT_EQ(apply({9, 3, 15, 12}, [](Clifford& c) { c.row_cx(0, 0); }), (Codes{0, 0, 15, 12}));

  EXPECT_EQ(fault_of([] { Clifford({9, 16, 0, 9}).column_h(1); }),
            "index out of bounds: the len is 16 but the index is 16");
  EXPECT_EQ(fault_of([] { Clifford({9, 0, 0, 9, 0}).column_s(2); }),
            "index out of bounds: the len is 2 but the index is 2");
}

TEST(CliffordState, EveryGateTwiceAndInvertTwiceIsTheIdentity) {
  std::mt19937 gen(3);
  const std::size_t n = 4;
  Codes cells(n * n);
  for (auto& c : cells) c = gen() % 16;
  const models::TransposeMap map(n);
  EXPECT_EQ(invert_view(invert_view(cells, map), map), cells);
  EXPECT_EQ(invert_view(Codes{9, 0, 0, 9}, models::TransposeMap(2)), (Codes{9, 0, 0, 9}));
  EXPECT_EQ(fault_of([&] { invert_view(Codes{9, 0, 0}, models::TransposeMap(2)); }),
            "index out of bounds: the len is 3 but the index is 3");
  for (int op = 0; op < 6; ++op) {
    Clifford c(cells);
    for (int twice = 0; twice < 2; ++twice) {
      switch (op) {
        case 0: c.column_h(1); break;
        case 1: c.column_s(2); break;
        case 2: c.column_cx(3, 0); break;
        case 3: c.row_h(1); break;
        case 4: c.row_s(2); break;
        case 5: c.row_cx(0, 3); break;
      }
    }
    EXPECT_EQ(c.cells(), cells) << "operation " << op;
  }
}

TEST(CliffordMetrics, KeyOfExamples) {
  CircuitMetrics m(2);
  m.add_gate({"h", {0, 0}});
  m.add_gate({"cx", {0, 1}});
  m.add_gate({"s", {1, 0}});
  EXPECT_EQ(m.key(), (std::array<std::uint64_t, 4>{1, 1, 3, 3}));
  // The same with the CX's qubits the other way round, first seeing qubit 1.
  CircuitMetrics swapped(2);
  swapped.add_gate({"h", {0, 0}});
  swapped.add_gate({"cx", {1, 0}});
  swapped.add_gate({"s", {0, 0}});
  EXPECT_EQ(swapped.key(), (std::array<std::uint64_t, 4>{1, 1, 3, 3}));
  CircuitMetrics hs(3);
  for (std::uint64_t q = 0; q < 3; ++q) hs.add_gate({"h", {q, 0}});
  hs.add_gate({"swap", {0, 1}});
  EXPECT_EQ(hs.key(), (std::array<std::uint64_t, 4>{0, 0, 1, 3}));
  EXPECT_EQ(fault_of([] { CircuitMetrics(2).add_gate({"cx", {0, 2}}); }),
            "index out of bounds: the len is 2 but the index is 2");
}

}  // namespace
}  // namespace corvane::clifford

namespace corvane::linear_function {
namespace {

// Replays a fixed list of 32-bit draws.
struct Draws {
  std::vector<std::uint32_t> values;
  std::size_t next = 0;
  std::uint32_t next_u32() { return values.at(next++); }
  std::uint64_t next_u64() { return next_u32(); }
};

TEST(Gumbel, DrawsEveryScoreAndTakesTheFirstMaximum) {
  std::vector<float> z;
  // r >> 9 == 0 gives u = 0: that output's noisy score is -inf.
  Draws zero{{0, 0x80000000u, 0x80000000u}};
  EXPECT_EQ(gumbel_choice(zero, std::vector<float>{100.0f, 0.0f, 0.0f}, z), 1u);
  EXPECT_EQ(zero.next, 3u);
  EXPECT_EQ(z[0], -std::numeric_limits<float>::infinity());
  EXPECT_EQ(z[1], z[2]);  // equal draws and scores tie: the lower index wins

  // The same draws give the same choice; u = 1 − 2^-23 gives a large noise.
  Draws a{{0xFFFFFFFFu, 0x40000000u}}, b{{0xFFFFFFFFu, 0x40000000u}};
  std::vector<float> za, zb;
  EXPECT_EQ(gumbel_choice(a, std::vector<float>{0.0f, 0.0f}, za), gumbel_choice(b, std::vector<float>{0.0f, 0.0f}, zb));
  EXPECT_EQ(za, zb);
  const float u = 0.25f;  // 0x40000000 >> 9 is 2^21: a quarter of the mantissa's range
  EXPECT_FLOAT_EQ(za[1], -std::log(-std::log(u)));

  Draws nan{{1u << 31, 1u << 31}};
  EXPECT_EQ(gumbel_choice(nan, std::vector<float>{NAN, 5.0f}, z), 0u);
}

TEST(LinearFunction, RankCheck) {
  EXPECT_TRUE(invertible_01(std::vector<float>{1, 1, 0, 1}, 2));
  EXPECT_TRUE(invertible_01(std::vector<float>{-0.0f, 1, 1, 0}, 2));
  EXPECT_FALSE(invertible_01(std::vector<float>{1, 1, 1, 1}, 2));
  EXPECT_FALSE(invertible_01(std::vector<float>{1, 0, 0, 2}, 2));
  EXPECT_FALSE(invertible_01(std::vector<float>{1, 0, 0, NAN}, 2));
}

}  // namespace
}  // namespace corvane::linear_function
