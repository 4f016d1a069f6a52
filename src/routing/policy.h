// The fixed network that picks each SWAP of a routing step: 128 sign inputs
// (generation g of candidate slot j at g + 8j), 256 rectified hidden units,
// one score per candidate slot. Its tables are compiled in.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "common/first_max.h"

namespace corvane::routing {

inline constexpr std::size_t POLICY_INPUTS = 128;
inline constexpr std::size_t POLICY_HIDDEN = 256;
inline constexpr std::size_t POLICY_OUTPUTS = 16;

// Row-major: W1 row i holds input i's 256 weights, W2 row i hidden unit i's
// 16 weights.
extern const float ROUTING_POLICY_B1[POLICY_HIDDEN];
extern const float ROUTING_POLICY_W1[POLICY_INPUTS * POLICY_HIDDEN];
extern const float ROUTING_POLICY_W2[POLICY_HIDDEN * POLICY_OUTPUTS];
extern const float ROUTING_POLICY_B2[POLICY_OUTPUTS];

using PolicyInput = std::array<float, POLICY_INPUTS>;
using PolicyScores = std::array<float, POLICY_OUTPUTS>;

// The inputs of output k are 8k .. 8k + 7 (generation g of candidate slot k
// at 8k + g). As only their signs count, a slot's inputs come down to one
// number, its code: the sum over g of 3^g times 0, 1 or 2 for a negative,
// zero (of either sign, or NaN) and positive input.
inline constexpr std::size_t SLOT_INPUTS = POLICY_INPUTS / POLICY_OUTPUTS;
static_assert(SLOT_INPUTS == 8, "codes are computed eight inputs at a time");
using SlotCodes = std::array<std::uint16_t, POLICY_OUTPUTS>;

// Input t's digit counts SLOT_CODE_WEIGHTS[t] times in its slot's code.
inline constexpr std::array<std::int32_t, SLOT_INPUTS> SLOT_CODE_WEIGHTS = {1,  3,   9,   27,
                                                                           81, 243, 729, 2187};
// The digit of an integer input.
constexpr std::int32_t sign_digit(std::int32_t v) noexcept { return 1 + (v > 0) - (v < 0); }
// The code of a slot whose inputs are all zero.
inline constexpr std::uint16_t ZERO_SLOT_CODE = 3280;

SlotCodes slot_codes(const PolicyInput& x) noexcept;
// One slot's code from integer inputs (those of static_cast<float>(x[i]),
// which have the same signs).
constexpr std::uint16_t slot_code(const std::array<std::int32_t, SLOT_INPUTS>& x) noexcept {
  std::int32_t code = 0;
  for (std::size_t t = 0; t < SLOT_INPUTS; ++t) code += sign_digit(x[t]) * SLOT_CODE_WEIGHTS[t];
  return static_cast<std::uint16_t>(code);
}

// A set of tables in the layout above.
struct PolicyTables {
  std::span<const float, POLICY_HIDDEN> b1;
  std::span<const float, POLICY_INPUTS * POLICY_HIDDEN> w1;
  std::span<const float, POLICY_HIDDEN * POLICY_OUTPUTS> w2;
  std::span<const float, POLICY_OUTPUTS> b2;
};

// The compiled-in tables.
PolicyTables routing_policy_tables() noexcept;

// Scores of `x` under `tables`. Only the sign of each input counts: a
// positive input adds its W1 row, a negative one subtracts it, zero of either
// sign and NaN add nothing. Hidden units are max(acc, 0) with NaN as 0. Each
// score sums hid[i] * W2[i][k] in ascending i, then adds B2[k]; that order
// is part of the result, as ties between scores are decided on exact values.
PolicyScores policy_forward(const PolicyTables& tables, const PolicyInput& x) noexcept;

// policy_forward, bit for bit, visiting only the non-zero weights of a set
// of tables (the compiled-in ones are mostly zero).
class SparsePolicy {
 public:
  explicit SparsePolicy(const PolicyTables& tables);
  PolicyScores forward(const PolicyInput& x) const noexcept;
  // The same scores, from the codes of the inputs.
  PolicyScores forward(const SlotCodes& codes) const noexcept;

 private:
  struct Weight {
    std::uint32_t index;  // input (first layer) or hidden unit (second layer)
    float weight;
  };
  // Hidden units that some output reads, each with its bias and its non-zero
  // first-layer weights in ascending input order, padded to the same count
  // (with weight 0 on an input that is always 0) so that the loops run the
  // same length every time and hold no branch to mispredict.
  std::size_t unit_count_ = 0;
  std::size_t unit_terms_ = 0;
  std::vector<float> unit_bias_;
  std::vector<Weight> w1_;  // unit_count_ * unit_terms_
  // Per output, its non-zero second-layer weights in ascending hidden order,
  // padded likewise (weight 0 of the output's zero sign on a unit that is
  // always 0).
  std::size_t out_terms_ = 0;
  std::vector<Weight> w2_;  // POLICY_OUTPUTS * out_terms_
  std::array<bool, POLICY_OUTPUTS> negative_zero_{};
  std::array<float, POLICY_OUTPUTS> b2_{};
  // When every output reads at most kTableInputs inputs: each output's score
  // for every combination of their signs, computed once the same way, so a
  // step looks its scores up. table_index_ lists each output's inputs.
  static constexpr std::size_t kTableInputs = 8;
  // Outputs with equal tables share one, which keeps the lookups in cache.
  std::size_t table_inputs_ = 0;  // 0: no table
  bool table_by_slot_ = false;     // output k reads inputs 8k .. 8k + 7, in order
  std::vector<std::uint32_t> table_index_;
  std::array<std::size_t, POLICY_OUTPUTS> table_start_{};
  std::vector<float> table_;

  float unit(std::size_t u, const float* sign) const noexcept;
  float output(std::size_t k, const float* sign, const float* hid) const noexcept;
  bool same_shape(std::size_t k, std::size_t o) const noexcept;
  void build_table();
};

// The compiled-in tables in sparse form, built at the first call (which
// throws std::bad_alloc when there is no memory for it; a later call tries
// again). A routing pass builds it before its workers start.
const SparsePolicy& routing_policy();

// policy_forward with the compiled-in tables.
PolicyScores routing_policy_forward(const PolicyInput& x);
// The same from the codes of the inputs.
PolicyScores routing_policy_forward(const SlotCodes& codes);

// Index of the first maximum: a later entry wins only when strictly
// greater, so ties go to the lower index and NaN never wins (but is kept at
// index 0). Faults on an empty span.
inline std::size_t first_maximum(std::span<const float> values) { return first_max(values); }

}  // namespace corvane::routing
