#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "common/fault.h"
#include "routing/policy.h"

namespace corvane::routing {
namespace {

constexpr float NaN = std::numeric_limits<float>::quiet_NaN();
constexpr float Inf = std::numeric_limits<float>::infinity();

std::array<std::uint32_t, POLICY_OUTPUTS> bits(const PolicyScores& s) {
  std::array<std::uint32_t, POLICY_OUTPUTS> b{};
  for (std::size_t k = 0; k < POLICY_OUTPUTS; ++k) b[k] = std::bit_cast<std::uint32_t>(s[k]);
  return b;
}

// Owned random tables, values of mixed magnitude so that any change in the
// order of additions shows in the low bits.
struct RandomTables {
  std::vector<float> b1, w1, w2, b2;
  explicit RandomTables(std::uint32_t seed)
      : b1(POLICY_HIDDEN), w1(POLICY_INPUTS * POLICY_HIDDEN), w2(POLICY_HIDDEN * POLICY_OUTPUTS),
        b2(POLICY_OUTPUTS) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> d(-0.6f, 0.6f);
    for (auto* t : {&b1, &w1, &w2, &b2}) {
      for (float& v : *t) v = d(gen) * std::ldexp(1.0f, static_cast<int>(gen() % 9) - 4);
    }
  }
  PolicyTables view() const {
    return {std::span<const float, POLICY_HIDDEN>(b1.data(), POLICY_HIDDEN),
            std::span<const float, POLICY_INPUTS * POLICY_HIDDEN>(w1.data(), w1.size()),
            std::span<const float, POLICY_HIDDEN * POLICY_OUTPUTS>(w2.data(), w2.size()),
            std::span<const float, POLICY_OUTPUTS>(b2.data(), POLICY_OUTPUTS)};
  }
};

// Straightforward evaluation, one output at a time, in the defined order.
PolicyScores reference_forward(const PolicyTables& t, const PolicyInput& x) {
  std::array<float, POLICY_HIDDEN> hid{};
  for (std::size_t h = 0; h < POLICY_HIDDEN; ++h) {
    float acc = t.b1[h];
    for (std::size_t i = 0; i < POLICY_INPUTS; ++i) {
      if (x[i] > 0) acc = acc + t.w1[i * POLICY_HIDDEN + h];
      if (x[i] < 0) acc = acc - t.w1[i * POLICY_HIDDEN + h];
    }
    hid[h] = std::isnan(acc) ? 0.0f : std::max(acc, 0.0f);
  }
  PolicyScores out{};
  for (std::size_t k = 0; k < POLICY_OUTPUTS; ++k) {
    float s = hid[0] * t.w2[k];
    for (std::size_t i = 1; i < POLICY_HIDDEN; ++i) s = s + hid[i] * t.w2[i * POLICY_OUTPUTS + k];
    out[k] = s + t.b2[k];
  }
  return out;
}

PolicyInput random_signs(std::mt19937& gen, bool with_odd_zeros) {
  PolicyInput x{};
  std::uniform_real_distribution<float> mag(0.5f, 40.0f);
  for (float& v : x) {
    switch (gen() % (with_odd_zeros ? 5 : 3)) {
      case 0: v = mag(gen); break;
      case 1: v = -mag(gen); break;
      case 2: v = 0.0f; break;
      case 3: v = -0.0f; break;
      default: v = NaN; break;
    }
  }
  return x;
}

TEST(PolicyForward, MatchesReferenceOrderBitForBit) {
  for (std::uint32_t seed = 1; seed <= 5; ++seed) {
    const RandomTables tables(seed);
    std::mt19937 gen(seed * 7919u);
    for (int n = 0; n < 40; ++n) {
      const PolicyInput x = random_signs(gen, true);
      EXPECT_EQ(bits(policy_forward(tables.view(), x)), bits(reference_forward(tables.view(), x)))
          << "seed " << seed << " pattern " << n;
    }
  }
}

// Mostly zero tables, zeros of both signs, as the sparse evaluation meets
// them: its scores are those of the dense one, signs of zero included.
TEST(PolicyForward, SparseMatchesDenseBitForBit) {
  for (std::uint32_t seed = 1; seed <= 6; ++seed) {
    RandomTables tables(seed);
    std::mt19937 gen(seed * 31u);
    for (auto* t : {&tables.b1, &tables.w1, &tables.w2, &tables.b2})
      for (float& v : *t)
        if (gen() % 10 < (seed % 2 == 0 ? 9u : 6u)) v = gen() % 2 ? 0.0f : -0.0f;
    if (seed == 3)  // every second-layer weight with its sign bit set
      for (float& v : tables.w2) v = -std::fabs(v);
    const SparsePolicy sparse(tables.view());
    for (int n = 0; n < 200; ++n) {
      const PolicyInput x = random_signs(gen, n % 2 == 1);
      ASSERT_EQ(bits(sparse.forward(x)), bits(policy_forward(tables.view(), x)))
          << "seed " << seed << " pattern " << n;
    }
  }
}

// Outputs that compute alike share one table of scores; one that differs
// from the others in a single weight or bias, however slightly, must keep
// its own. The compiled design, with one output perturbed at a time.
TEST(PolicyForward, LookupTablesAreSharedOnlyByAlikeOutputs) {
  const PolicyTables compiled = routing_policy_tables();
  auto copy = [](auto span) { return std::vector<float>(span.begin(), span.end()); };
  std::mt19937 gen(4242);
  for (int change = 0; change < 4; ++change) {
    RandomTables tables(1);
    tables.b1 = copy(compiled.b1);
    tables.w1 = copy(compiled.w1);
    tables.w2 = copy(compiled.w2);
    tables.b2 = copy(compiled.b2);
    const std::size_t k = 3 + 4 * static_cast<std::size_t>(change);  // the output changed
    // Output k reads hidden units 16k .. 16k + 15, and unit 16k + 8 reads
    // inputs 8k and 8k + 1.
    const std::size_t unit = 16 * k + 8;
    switch (change) {
      case 0: tables.b2[k] = std::nextafter(tables.b2[k], 1.0f); break;
      case 1: tables.b1[unit] = std::nextafter(tables.b1[unit], 0.0f); break;
      case 2: tables.w1[(8 * k) * POLICY_HIDDEN + unit] *= 0.75f; break;
      default: tables.w2[unit * POLICY_OUTPUTS + k] *= -1.0f; break;
    }
    const SparsePolicy sparse(tables.view());
    for (int n = 0; n < 300; ++n) {
      const PolicyInput x = random_signs(gen, n % 2 == 1);
      const auto expected = bits(reference_forward(tables.view(), x));
      ASSERT_EQ(bits(sparse.forward(x)), expected) << "change " << change << " pattern " << n;
      ASSERT_EQ(bits(sparse.forward(slot_codes(x))), expected) << "change " << change;
    }
  }
}

// The codes of the inputs give the scores of the inputs: through the lookup
// tables, and through the evaluation the codes stand for otherwise.
TEST(PolicyForward, CodesGiveTheScoresOfTheirInputs) {
  std::mt19937 gen(77);
  const RandomTables tables(9);  // dense: no lookup table
  const SparsePolicy sparse(tables.view());
  for (int n = 0; n < 300; ++n) {
    const PolicyInput x = random_signs(gen, n % 2 == 1);
    const SlotCodes codes = slot_codes(x);
    for (std::size_t k = 0; k < POLICY_OUTPUTS; ++k) {
      std::array<std::int32_t, SLOT_INPUTS> ints{};
      for (std::size_t t = 0; t < SLOT_INPUTS; ++t) {
        const float v = x[SLOT_INPUTS * k + t];
        ints[t] = v > 0.0f ? 5 : v < 0.0f ? -3 : 0;
      }
      ASSERT_EQ(slot_code(ints), codes[k]) << "pattern " << n << " slot " << k;
    }
    ASSERT_EQ(bits(routing_policy_forward(codes)), bits(routing_policy_forward(x))) << n;
    ASSERT_EQ(bits(sparse.forward(codes)), bits(sparse.forward(x))) << n;
  }
  PolicyInput zero{};
  for (const std::uint16_t code : slot_codes(zero)) EXPECT_EQ(code, ZERO_SLOT_CODE);
}

// The compiled tables are evaluated sparsely; the scores must be those of
// the straightforward evaluation, bit for bit.
TEST(PolicyForward, CompiledTablesMatchReferenceBitForBit) {
  std::mt19937 gen(17);
  for (int rep = 0; rep < 2000; ++rep) {
    const PolicyInput x = random_signs(gen, rep % 2 == 1);
    ASSERT_EQ(bits(routing_policy_forward(x)), bits(reference_forward(routing_policy_tables(), x)))
        << "rep " << rep;
  }
}

TEST(PolicyForward, AllZeroInputGivesBiasThroughSecondLayer) {
  // W2^T * max(B1, 0) + B2, with the compiled tables and with random ones.
  auto expected_for = [](const PolicyTables& t) {
    PolicyScores e{};
    for (std::size_t k = 0; k < POLICY_OUTPUTS; ++k) {
      float s = std::max(t.b1[0], 0.0f) * t.w2[k];
      for (std::size_t i = 1; i < POLICY_HIDDEN; ++i) {
        s = s + std::max(t.b1[i], 0.0f) * t.w2[i * POLICY_OUTPUTS + k];
      }
      e[k] = s + t.b2[k];
    }
    return e;
  };
  const PolicyInput zero{};
  EXPECT_EQ(routing_policy_forward(zero), expected_for(routing_policy_tables()));
  const RandomTables tables(42);
  EXPECT_EQ(bits(policy_forward(tables.view(), zero)), bits(expected_for(tables.view())));
}

TEST(PolicyForward, OnlySignsCountAndOddZerosSkip) {
  const RandomTables tables(3);
  std::mt19937 gen(11);
  for (int n = 0; n < 50; ++n) {
    const PolicyInput x = random_signs(gen, false);
    PolicyInput scaled = x, odd_zeros = x;
    for (std::size_t i = 0; i < POLICY_INPUTS; ++i) {
      scaled[i] = x[i] * static_cast<float>(1 + gen() % 1000) * 1e-3f;
      if (x[i] == 0.0f) odd_zeros[i] = (gen() % 2) ? -0.0f : NaN;
    }
    scaled[n % POLICY_INPUTS] = std::copysign(Inf, x[n % POLICY_INPUTS]);
    if (x[n % POLICY_INPUTS] == 0.0f) scaled[n % POLICY_INPUTS] = 0.0f;
    const auto expected = bits(policy_forward(tables.view(), x));
    EXPECT_EQ(bits(policy_forward(tables.view(), scaled)), expected);
    EXPECT_EQ(bits(policy_forward(tables.view(), odd_zeros)), expected);
    EXPECT_EQ(bits(routing_policy_forward(scaled)), bits(routing_policy_forward(x)));
    EXPECT_EQ(bits(routing_policy_forward(odd_zeros)), bits(routing_policy_forward(x)));
  }
}

TEST(PolicyForward, NotANumberHiddenUnitCountsAsZero) {
  RandomTables tables(8);
  const PolicyInput zero{};
  tables.b1[17] = -1.0f;  // rectified to 0
  const auto expected = bits(policy_forward(tables.view(), zero));
  tables.b1[17] = NaN;
  EXPECT_EQ(bits(policy_forward(tables.view(), zero)), expected);
  // inf - inf on the first layer is NaN as well.
  tables.b1[17] = Inf;
  tables.w1[5 * POLICY_HIDDEN + 17] = Inf;
  PolicyInput x{};
  x[5] = -1.0f;
  const auto with_nan = policy_forward(tables.view(), x);
  tables.b1[17] = -1.0f;
  tables.w1[5 * POLICY_HIDDEN + 17] = 0.0f;
  EXPECT_EQ(bits(with_nan), bits(policy_forward(tables.view(), x)));
}

// Slot j's score under the hand-set design, from the signs of its inputs.
double design_score(const PolicyInput& x, std::size_t slot) {
  const float* f = x.data() + 8 * slot;
  const bool front = f[0] > 0;
  double s = front ? 2.0 : 0.0;
  for (int g = 1; g < 8; ++g) {
    if (f[g] > 0) s += std::ldexp(1.0, -g);
    if (front && f[g] < 0) s -= std::ldexp(1.0, -(g + 1));
  }
  return s;
}

TEST(PolicyTables, CompiledDesignScoresExactly) {
  constexpr double front_min = 2.0 - (0.5 - 1.0 / 256);  // 1.50390625
  constexpr double other_max = 1.0 - 1.0 / 128;          // 0.9921875
  std::mt19937 gen(2718);
  bool saw_front_min = false, saw_other_max = false;
  for (int n = 0; n < 4000; ++n) {
    PolicyInput x = random_signs(gen, true);
    // Some all-zero slots, and some slots at the extreme patterns.
    for (std::size_t j = 0; j < POLICY_OUTPUTS; ++j) {
      switch (gen() % 8) {
        case 0: for (int g = 0; g < 8; ++g) x[8 * j + g] = 0.0f; break;
        case 1: for (int g = 0; g < 8; ++g) x[8 * j + g] = g == 0 ? 3.0f : -1.0f; break;
        case 2: for (int g = 0; g < 8; ++g) x[8 * j + g] = g == 0 ? -2.0f : 1.0f; break;
        default: break;
      }
    }
    const PolicyScores s = routing_policy_forward(x);
    for (std::size_t j = 0; j < POLICY_OUTPUTS; ++j) {
      const double expected = design_score(x, j);
      ASSERT_EQ(static_cast<double>(s[j]), expected) << "pattern " << n << " slot " << j;
      bool all_zero = true;
      for (int g = 0; g < 8; ++g) all_zero = all_zero && !(x[8 * j + g] > 0 || x[8 * j + g] < 0);
      if (x[8 * j] > 0) {
        EXPECT_GE(s[j], front_min);
        saw_front_min = saw_front_min || s[j] == front_min;
      } else {
        EXPECT_LE(s[j], other_max);
        EXPECT_GE(s[j], 0.0f);
        saw_other_max = saw_other_max || s[j] == other_max;
      }
      if (all_zero) {
        EXPECT_EQ(std::bit_cast<std::uint32_t>(s[j]), 0u);  // +0.0 exactly
      }
    }
  }
  // The bounds are tight: both extremes were produced.
  EXPECT_TRUE(saw_front_min);
  EXPECT_TRUE(saw_other_max);
}

TEST(PolicyTables, FrontShorteningCandidateWinsOverLowerSlots) {
  PolicyInput x{};
  // Slot 2 improves every lookahead generation but not the front layer;
  // slot 9 improves only the front layer and worsens everything else.
  for (int g = 1; g < 8; ++g) x[8 * 2 + g] = 1.0f;
  x[8 * 9] = 1.0f;
  for (int g = 1; g < 8; ++g) x[8 * 9 + g] = -1.0f;
  const PolicyScores s = routing_policy_forward(x);
  EXPECT_EQ(first_maximum(s), 9u);
  // Equal patterns are exact ties, won by the lower slot.
  for (int g = 0; g < 8; ++g) x[8 * 4 + g] = x[8 * 9 + g] * 5.0f;
  EXPECT_EQ(first_maximum(routing_policy_forward(x)), 4u);
}

TEST(PolicyFirstMaximum, TiesNaNAndEmpty) {
  struct Case {
    std::vector<float> v;
    std::size_t expected;
  };
  const Case cases[] = {
      {{1.0f}, 0},
      {{1.0f, 3.0f, 3.0f, 2.0f}, 1},
      {{2.0f, 2.0f, 2.0f}, 0},
      {{-0.0f, 0.0f}, 0},
      {{NaN, 5.0f, 7.0f}, 0},
      {{1.0f, NaN, 2.0f, NaN}, 2},
      {{-Inf, -Inf, -1.0f}, 2},
      {{-1.0f, Inf, NaN, Inf}, 1},
  };
  for (const Case& c : cases) EXPECT_EQ(first_maximum(c.v), c.expected);
  try {
    (void)first_maximum(std::span<const float>());
    FAIL() << "no fault";
  } catch (const Fault& f) {
    EXPECT_EQ(f.message(), "The input vector must not be empty.");
  }
}

}  // namespace
}  // namespace corvane::routing
