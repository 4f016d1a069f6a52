// Gate records: Python codes in and out, CX costs, and the pairwise merge.

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/fault.h"
#include "routing/ops.h"

namespace corvane::routing {
namespace {

using Circuit = std::vector<GateTuple>;

// Runs py_to_ops and returns the fault text, or "" when it did not fault.
std::string py_to_ops_fault(const Circuit& c) {
  try {
    (void)py_to_ops(c);
  } catch (const Fault& f) {
    return f.message();
  }
  return "";
}

TEST(OpsCodes, EmptyCircuitRoundTrips) {
  EXPECT_TRUE(py_to_ops({}).empty());
  EXPECT_TRUE(ops_to_py({}).empty());
}

TEST(OpsCodes, EachKnownCodeMapsToItsKindAndBack) {
  const std::vector<std::pair<std::uint64_t, OpTag>> table = {
      {0, OpTag::Cx},     {1, OpTag::Swap},     {2, OpTag::SymmetricCx}, {3, OpTag::Block3},
      {4, OpTag::Block2}, {5, OpTag::OneQubit}, {6, OpTag::WaitAll}};
  Circuit c;
  for (const auto& [code, tag] : table) c.push_back({code, {code + 1, code + 2}});
  const auto ops = py_to_ops(c);
  ASSERT_EQ(ops.size(), table.size());
  for (std::size_t i = 0; i < ops.size(); ++i) {
    EXPECT_EQ(ops[i].kind.tag, table[i].second) << "code " << table[i].first;
    EXPECT_EQ(ops[i].q0, table[i].first + 1);
    EXPECT_EQ(ops[i].q1, table[i].first + 2);
  }
  EXPECT_EQ(ops_to_py(ops), c);
}

TEST(OpsCodes, CodeToKindTableHasSevenEntriesInCodeOrder) {
  ASSERT_EQ(CODE_TO_KIND.size(), 7u);
  EXPECT_EQ(CODE_TO_KIND[0], OpTag::Cx);
  EXPECT_EQ(CODE_TO_KIND[1], OpTag::Swap);
  EXPECT_EQ(CODE_TO_KIND[2], OpTag::SymmetricCx);
  EXPECT_EQ(CODE_TO_KIND[3], OpTag::Block3);
  EXPECT_EQ(CODE_TO_KIND[4], OpTag::Block2);
  EXPECT_EQ(CODE_TO_KIND[5], OpTag::OneQubit);
  EXPECT_EQ(CODE_TO_KIND[6], OpTag::WaitAll);
}

TEST(OpsCodes, CxCostOfEveryKind) {
  EXPECT_EQ(OpKind(OpTag::Cx).cx_cost(), 1u);
  EXPECT_EQ(OpKind(OpTag::Swap).cx_cost(), 3u);
  EXPECT_EQ(OpKind(OpTag::SymmetricCx).cx_cost(), 1u);
  EXPECT_EQ(OpKind(OpTag::Block3).cx_cost(), 3u);
  EXPECT_EQ(OpKind(OpTag::Block2).cx_cost(), 2u);
  EXPECT_EQ(OpKind(OpTag::OneQubit).cx_cost(), 0u);
  EXPECT_EQ(OpKind(OpTag::WaitAll).cx_cost(), 0u);
  // A Coded gate answers its own count, whatever its code.
  EXPECT_EQ(OpKind::coded(7, 12).cx_cost(), 7u);
  EXPECT_EQ(OpKind::coded(0, 10).cx_cost(), 0u);
}

TEST(OpsCodes, CodedGatesCostThreeAndKeepTheirCode) {
  const std::uint64_t far = std::uint64_t{1} << 40;
  const std::uint64_t top = UINT64_MAX;
  const Circuit c = {{10, {0, 1}}, {far, {3, 2}}, {11, {5, 5}}, {top, {1, 0}}};
  const auto ops = py_to_ops(c);
  ASSERT_EQ(ops.size(), 4u);
  for (const auto& op : ops) {
    EXPECT_EQ(op.kind.tag, OpTag::Coded);
    EXPECT_EQ(op.kind.cx_cost(), 3u);
  }
  EXPECT_EQ(ops[0].kind.coded_code, 10u);
  EXPECT_EQ(ops[1].kind.coded_code, far);
  EXPECT_EQ(ops[3].kind.coded_code, top);
  EXPECT_EQ(ops_to_py(ops), c);
}

TEST(OpsCodes, OneQubitAndWaitAllKeepBothQubits) {
  const Circuit c = {{5, {2, 2}}, {6, {3, 3}}, {5, {4, 9}}, {6, {0, 7}}};
  const auto ops = py_to_ops(c);
  ASSERT_EQ(ops.size(), 4u);
  EXPECT_EQ(ops[0].kind.tag, OpTag::OneQubit);
  EXPECT_EQ(ops[1].kind.tag, OpTag::WaitAll);
  EXPECT_EQ(ops[2].q1, 9u);
  EXPECT_EQ(ops[3].q1, 7u);
  EXPECT_EQ(ops_to_py(ops), c);
}

TEST(OpsCodes, IdsAreListPositionsWhateverTheCodes) {
  Circuit c;
  const std::uint64_t codes[] = {6, 0, 10, 5, 3, 1, 1000, 2, 4};
  for (std::uint64_t code : codes) c.push_back({code, {1, 2}});
  const auto ops = py_to_ops(c);
  ASSERT_EQ(ops.size(), c.size());
  for (std::size_t i = 0; i < ops.size(); ++i) EXPECT_EQ(ops[i].id, i);
}

TEST(OpsCodes, QubitsAreCopiedUncheckedAndIdsDroppedOnTheWayOut) {
  const std::uint64_t big = std::uint64_t{1} << 50;
  const auto ops = py_to_ops({{0, {big, big + 1}}});
  ASSERT_EQ(ops.size(), 1u);
  EXPECT_EQ(ops[0].q0, big);
  EXPECT_EQ(ops[0].q1, big + 1);
  // The id of a record (here one a DAG might have given) never reaches Python.
  const std::vector<Operation> routed = {{OpTag::Swap, 77, 4, 2}, {OpKind::coded(5, 42), 3, 1, 0}};
  const Circuit expected = {{1, {4, 2}}, {42, {1, 0}}};
  EXPECT_EQ(ops_to_py(routed), expected);
}

TEST(OpsCodes, CodesSevenToNineFaultWithTheIndexMessage) {
  for (std::uint64_t code : {7u, 8u, 9u}) {
    const std::string expected =
        "index out of bounds: the len is 7 but the index is " + std::to_string(code);
    EXPECT_EQ(py_to_ops_fault({{code, {0, 1}}}), expected);
    // Also as the last item of a long list of valid gates.
    Circuit c;
    for (std::size_t i = 0; i < 5000; ++i) c.push_back({i % 7, {i % 5, (i + 1) % 5}});
    c.push_back({code, {0, 1}});
    EXPECT_EQ(py_to_ops_fault(c), expected);
  }
}

TEST(OpsCodes, FirstBadCodeIsTheOneReported) {
  EXPECT_EQ(py_to_ops_fault({{0, {0, 1}}, {9, {0, 1}}, {7, {0, 1}}}),
            "index out of bounds: the len is 7 but the index is 9");
  // 10 is the first code that is no longer a fault.
  EXPECT_EQ(py_to_ops_fault({{10, {0, 1}}}), "");
}

Operation op(OpTag t, std::size_t id, std::size_t q0, std::size_t q1) {
  return Operation{OpKind(t), id, q0, q1};
}

TEST(OpsMerge, CxAfterSwapGivesTwoOppositeCx) {
  const auto r = merge_ops(op(OpTag::Cx, 5, 0, 1), op(OpTag::Swap, 2, 1, 0));
  ASSERT_EQ(r.len, 2u);
  EXPECT_EQ(r.ops[0].kind.tag, OpTag::Cx);
  EXPECT_EQ(r.ops[0].q0, 0u);
  EXPECT_EQ(r.ops[0].q1, 1u);
  EXPECT_EQ(r.ops[1].kind.tag, OpTag::Cx);
  EXPECT_EQ(r.ops[1].q0, 1u);
  EXPECT_EQ(r.ops[1].q1, 0u);
}

TEST(OpsMerge, SwapAfterCxAlsoGivesTwoCxOnTheNewQubits) {
  const auto r = merge_ops(op(OpTag::Swap, 5, 3, 2), op(OpTag::Cx, 2, 2, 3));
  ASSERT_EQ(r.len, 2u);
  EXPECT_EQ(r.ops[0], (Operation{OpTag::Cx, r.ops[0].id, 3, 2}));
  EXPECT_EQ(r.ops[1], (Operation{OpTag::Cx, r.ops[1].id, 2, 3}));
}

TEST(OpsMerge, Block2WithAnyNeighbourBecomesOneBlock3OnTheNewQubits) {
  // A Swap after a Block2, and a Block2 after each kind of neighbour.
  auto r = merge_ops(op(OpTag::Swap, 4, 0, 1), op(OpTag::Block2, 1, 1, 0));
  ASSERT_EQ(r.len, 1u);
  EXPECT_EQ(r.ops[0].kind.tag, OpTag::Block3);
  EXPECT_EQ(r.ops[0].q0, 0u);
  EXPECT_EQ(r.ops[0].q1, 1u);
  for (OpTag prev : {OpTag::Cx, OpTag::Swap, OpTag::SymmetricCx, OpTag::Block2, OpTag::Coded,
                     OpTag::OneQubit, OpTag::WaitAll}) {
    r = merge_ops(op(OpTag::Block2, 9, 6, 2), op(prev, 3, 2, 6));
    ASSERT_EQ(r.len, 1u) << static_cast<int>(prev);
    EXPECT_EQ(r.ops[0].kind.tag, OpTag::Block3);
    EXPECT_EQ(r.ops[0].q0, 6u);
    EXPECT_EQ(r.ops[0].q1, 2u);
  }
  for (OpTag next : {OpTag::Cx, OpTag::SymmetricCx, OpTag::Coded}) {
    r = merge_ops(op(next, 9, 4, 5), op(OpTag::Block2, 3, 5, 4));
    ASSERT_EQ(r.len, 1u);
    EXPECT_EQ(r.ops[0].kind.tag, OpTag::Block3);
    EXPECT_EQ(r.ops[0].q0, 4u);
    EXPECT_EQ(r.ops[0].q1, 5u);
  }
}

TEST(OpsMerge, Block3AfterAnythingIsThatBlock3) {
  for (OpTag prev : {OpTag::Cx, OpTag::Swap, OpTag::SymmetricCx, OpTag::Block3, OpTag::Block2,
                     OpTag::Coded, OpTag::OneQubit, OpTag::WaitAll}) {
    const auto r = merge_ops(op(OpTag::Block3, 8, 1, 3), op(prev, 2, 3, 1));
    ASSERT_EQ(r.len, 1u) << static_cast<int>(prev);
    EXPECT_EQ(r.ops[0].kind.tag, OpTag::Block3);
    EXPECT_EQ(r.ops[0].q0, 1u);
    EXPECT_EQ(r.ops[0].q1, 3u);
  }
}

TEST(OpsMerge, Block3RuleComesBeforeTheBlock2Rule) {
  // A Block3 meeting a Block2 keeps the new Block3's own qubits.
  const auto r = merge_ops(op(OpTag::Block3, 1, 7, 8), op(OpTag::Block2, 0, 8, 7));
  ASSERT_EQ(r.len, 1u);
  EXPECT_EQ(r.ops[0].kind.tag, OpTag::Block3);
  EXPECT_EQ(r.ops[0].q0, 7u);
}

}  // namespace
}  // namespace corvane::routing
