#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/fault.h"
#include "common/rng.h"

namespace corvane::rng {
namespace {

// Counts the words a caller takes, so tests can see how much a call draws.
struct CountingRng {
  ThreadRng inner;
  std::size_t u32_draws = 0;
  std::size_t u64_draws = 0;
  explicit CountingRng(std::uint64_t seed) { inner.seed(seed); }
  std::uint32_t next_u32() {
    ++u32_draws;
    return inner.next_u32();
  }
  std::uint64_t next_u64() {
    ++u64_draws;
    return inner.next_u64();
  }
};

double chi_square(const std::vector<std::size_t>& counts) {
  const double total = std::accumulate(counts.begin(), counts.end(), 0.0);
  const double expected = total / static_cast<double>(counts.size());
  double chi = 0.0;
  for (std::size_t c : counts) {
    const double d = static_cast<double>(c) - expected;
    chi += d * d / expected;
  }
  return chi;
}

// Upper 1e-9 tail of the chi-square distribution: a sound generator exceeds
// these about once in a billion runs.
constexpr double CHI2_DF2 = 41.45;
constexpr double CHI2_DF5 = 50.70;

std::array<std::uint32_t, 16> words_le(const std::array<std::uint8_t, 64>& bytes) {
  std::array<std::uint32_t, 16> w{};
  for (std::size_t i = 0; i < 16; ++i) {
    w[i] = std::uint32_t{bytes[4 * i]} | std::uint32_t{bytes[4 * i + 1]} << 8 |
           std::uint32_t{bytes[4 * i + 2]} << 16 | std::uint32_t{bytes[4 * i + 3]} << 24;
  }
  return w;
}

std::vector<std::uint32_t> draw_u32(ThreadRng& rng, std::size_t n) {
  std::vector<std::uint32_t> out(n);
  for (auto& v : out) v = rng.next_u32();
  return out;
}

TEST(RngChaCha, Rfc7539BlockVectors) {
  // RFC 7539 section 2.3.2: key 00..1f, counter 1, nonce 00000009 0000004a 00000000.
  const std::array<std::uint32_t, 16> input = {
      0x61707865, 0x3320646e, 0x79622d32, 0x6b206574, 0x03020100, 0x07060504,
      0x0b0a0908, 0x0f0e0d0c, 0x13121110, 0x17161514, 0x1b1a1918, 0x1f1e1d1c,
      0x00000001, 0x09000000, 0x4a000000, 0x00000000};
  const std::array<std::uint32_t, 16> expected = {
      0xe4e7f110, 0x15593bd1, 0x1fdd0f50, 0xc47120a3, 0xc7f4d1c7, 0x0368c033,
      0x9aaa2204, 0x4e6cd4c3, 0x466482d2, 0x09aa9f07, 0x05d7c214, 0xa2028bd9,
      0xd19c12b5, 0xb94e16de, 0xe883d0cb, 0x4e3c50a2};
  std::array<std::uint32_t, 16> out{};
  chacha20_block(input, out);
  EXPECT_EQ(out, expected);

  // RFC 7539 appendix A.1, test vector 1: all-zero key, nonce and counter.
  std::array<std::uint32_t, 16> zero_input = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};
  const std::array<std::uint8_t, 64> keystream = {
      0x76, 0xb8, 0xe0, 0xad, 0xa0, 0xf1, 0x3d, 0x90, 0x40, 0x5d, 0x6a, 0xe5, 0x53,
      0x86, 0xbd, 0x28, 0xbd, 0xd2, 0x19, 0xb8, 0xa0, 0x8d, 0xed, 0x1a, 0xa8, 0x36,
      0xef, 0xcc, 0x8b, 0x77, 0x0d, 0xc7, 0xda, 0x41, 0x59, 0x7c, 0x51, 0x57, 0x48,
      0x8d, 0x77, 0x24, 0xe0, 0x3f, 0xb8, 0xd8, 0x4a, 0x37, 0x6a, 0x43, 0xb8, 0xf4,
      0x15, 0x18, 0xa1, 0x1c, 0xc3, 0x87, 0xb6, 0x69, 0xb2, 0xee, 0x65, 0x86};
  chacha20_block(zero_input, out);
  EXPECT_EQ(out, words_le(keystream));

  // The four-block form the generator uses: lane b is block counter + b,
  // carrying from word 12 into word 13.
  std::array<std::uint32_t, 64> four{};
  chacha20_blocks4(input, four);
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), four.begin()));
  std::array<std::uint32_t, 16> carry_input = input;
  carry_input[12] = 0xFFFF'FFFE;
  chacha20_blocks4(carry_input, four);
  for (std::uint32_t b = 0; b < 4; ++b) {
    std::array<std::uint32_t, 16> single = carry_input;
    const std::uint64_t counter = 0xFFFF'FFFEull + b + (std::uint64_t{input[13]} << 32);
    single[12] = static_cast<std::uint32_t>(counter);
    single[13] = static_cast<std::uint32_t>(counter >> 32);
    chacha20_block(single, out);
    EXPECT_TRUE(std::equal(out.begin(), out.end(), four.begin() + 16 * b)) << "block " << b;
  }
  // RFC 7539 appendix A.1, test vector 2: as vector 1 with counter 1.
  const std::array<std::uint8_t, 64> keystream2 = {
      0x9f, 0x07, 0xe7, 0xbe, 0x55, 0x51, 0x38, 0x7a, 0x98, 0xba, 0x97, 0x7c, 0x73,
      0x2d, 0x08, 0x0d, 0xcb, 0x0f, 0x29, 0xa0, 0x48, 0xe3, 0x65, 0x69, 0x12, 0xc6,
      0x53, 0x3e, 0x32, 0xee, 0x7a, 0xed, 0x29, 0xb7, 0x21, 0x76, 0x9c, 0xe6, 0x4e,
      0x43, 0xd5, 0x71, 0x33, 0xb0, 0x74, 0xd8, 0x39, 0xd5, 0x31, 0xed, 0x1f, 0x28,
      0x51, 0x0a, 0xfb, 0x45, 0xac, 0xe1, 0x0a, 0x1f, 0x4b, 0x79, 0x4d, 0x6f};
  chacha20_blocks4(zero_input, four);
  const auto w1 = words_le(keystream), w2 = words_le(keystream2);
  EXPECT_TRUE(std::equal(w1.begin(), w1.end(), four.begin()));
  EXPECT_TRUE(std::equal(w2.begin(), w2.end(), four.begin() + 16));
}

// Words 12-13 of `input` set to the 64-bit block counter c.
std::array<std::uint32_t, 16> at_counter(std::array<std::uint32_t, 16> input, std::uint64_t c) {
  input[12] = static_cast<std::uint32_t>(c);
  input[13] = static_cast<std::uint32_t>(c >> 32);
  return input;
}

TEST(RngChaCha, EightBlockFormIsTwoFourBlockForms) {
  std::array<std::uint32_t, 16> input = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};
  for (std::uint32_t w = 4; w < 16; ++w) input[w] = 0x9e3779b9u * w;
  // Counters whose lanes carry into word 13 at every lane, and wrap at 2^64.
  for (const std::uint64_t c : {0ull, 8ull, 0xFFFF'FFF8ull, 0xFFFF'FFF9ull, 0xFFFF'FFFCull,
                                0xFFFF'FFFFull, 0x1234'5678'FFFF'FFFBull, ~0ull - 5}) {
    std::array<std::uint32_t, 128> eight{};
    chacha20_blocks8(at_counter(input, c), eight);
    std::array<std::uint32_t, 64> first{}, second{};
    chacha20_blocks4(at_counter(input, c), first);
    chacha20_blocks4(at_counter(input, c + 4), second);
    EXPECT_TRUE(std::equal(first.begin(), first.end(), eight.begin())) << "counter " << c;
    EXPECT_TRUE(std::equal(second.begin(), second.end(), eight.begin() + 64)) << "counter " << c;
  }
  RecordProperty("wide_path", wide_blocks_available() ? "avx2" : "portable");
}

TEST(RngStream, SeededStreamsReproduceAcrossReseedBoundary) {
  // 160 KiB of output: well past the point where an OS-seeded generator
  // would take fresh entropy, which a seeded one must not.
  constexpr std::size_t n = 40'000;
  seed_thread_rng(42);
  const auto first = draw_u32(thread_rng(), n);
  seed_thread_rng(42);
  const auto again = draw_u32(thread_rng(), n);
  EXPECT_EQ(first, again);

  ThreadRng standalone;
  standalone.seed(42);
  EXPECT_EQ(draw_u32(standalone, n), first);

  seed_thread_rng(43);
  const auto other = draw_u32(thread_rng(), n);
  std::size_t same = 0;
  for (std::size_t i = 0; i < n; ++i) same += first[i] == other[i];
  EXPECT_LT(same, 5u);

  thread_rng().reseed_from_os();
}

TEST(RngStream, UnseededThreadsDiffer) {
  std::array<std::array<std::uint64_t, 8>, 2> seen{};
  std::array<bool, 2> deterministic{true, true};
  auto body = [&](std::size_t t) {
    for (auto& v : seen[t]) v = thread_rng().next_u64();
    deterministic[t] = thread_rng().deterministic();
  };
  std::thread t0(body, 0), t1(body, 1);
  t0.join();
  t1.join();
  EXPECT_NE(seen[0], seen[1]);
  EXPECT_FALSE(deterministic[0]);
  EXPECT_FALSE(deterministic[1]);
}

// Draws four words in a forked child and four in the parent, after both
// inherited the same buffered keystream.
std::pair<std::array<std::uint64_t, 4>, std::array<std::uint64_t, 4>> draws_across_fork() {
  (void)thread_rng().next_u32();  // leave keystream buffered
  int fds[2];
  if (::pipe(fds) != 0) ADD_FAILURE() << "pipe failed";
  const pid_t pid = ::fork();
  if (pid == 0) {
    std::array<std::uint64_t, 4> child{};
    for (auto& v : child) v = thread_rng().next_u64();
    ssize_t written = ::write(fds[1], child.data(), sizeof(child));
    ::_exit(written == static_cast<ssize_t>(sizeof(child)) ? 0 : 1);
  }
  std::array<std::uint64_t, 4> parent{}, child{};
  for (auto& v : parent) v = thread_rng().next_u64();
  ::close(fds[1]);
  std::size_t got = 0;
  auto* out = reinterpret_cast<char*>(child.data());
  while (got < sizeof(child)) {
    const ssize_t n = ::read(fds[0], out + got, sizeof(child) - got);
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(got, sizeof(child));
  return {parent, child};
}

TEST(RngStream, ForkedChildLeavesParentStream) {
  thread_rng().reseed_from_os();
  const auto [parent, child] = draws_across_fork();
  // Not a single word shared, not even from the inherited buffer.
  for (std::uint64_t p : parent) {
    for (std::uint64_t c : child) EXPECT_NE(p, c);
  }

  // A seeded stream stays deterministic across fork.
  seed_thread_rng(1234);
  const auto [seeded_parent, seeded_child] = draws_across_fork();
  EXPECT_EQ(seeded_parent, seeded_child);
  thread_rng().reseed_from_os();
}

TEST(RngGenIndex, EdgeRangesStayInRangeAndPickDrawWidth) {
  CountingRng rng(7);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(gen_index(rng, 1), 0u);

  std::array<std::size_t, 2> two{};
  for (int i = 0; i < 1000; ++i) {
    const std::size_t v = gen_index(rng, 2);
    ASSERT_LT(v, 2u);
    ++two[v];
  }
  EXPECT_GT(two[0], 400u);
  EXPECT_GT(two[1], 400u);
  EXPECT_EQ(rng.u64_draws, 0u);

  struct Case {
    std::uint64_t n;
    bool wide;
  };
  const Case cases[] = {{0xFFFF'FFFFull, false},
                        {0x1'0000'0000ull, true},
                        {std::numeric_limits<std::uint64_t>::max(), true}};
  for (const Case& c : cases) {
    CountingRng r(11);
    std::uint64_t top = 0;
    for (int i = 0; i < 2000; ++i) {
      const std::uint64_t v = gen_index(r, c.n);
      ASSERT_LT(v, c.n);
      top = std::max(top, v);
    }
    // The upper half of the range is reached.
    EXPECT_GE(top, c.n / 2) << c.n;
    EXPECT_EQ(r.u32_draws == 0, c.wide) << c.n;
    EXPECT_EQ(r.u64_draws == 0, !c.wide) << c.n;
  }
}

TEST(RngGenIndex, UnbiasedOnSkewedAndSmallRanges) {
  // 3 * 2^30 takes 32-bit draws, and 2^32 is not a multiple of it: `x % n`
  // would put half the mass in the lowest third, an unrejected
  // multiply-shift half of it on values divisible by 3.
  constexpr std::size_t skewed = std::size_t{3} << 30;
  constexpr int draws = 60'000;
  seed_thread_rng(2024);
  ThreadRng& rng = thread_rng();
  std::vector<std::size_t> by_third(3), by_residue(3);
  for (int i = 0; i < draws; ++i) {
    const std::size_t v = gen_index(rng, skewed);
    ASSERT_LT(v, skewed);
    ++by_third[v >> 30];
    ++by_residue[v % 3];
  }
  EXPECT_LT(chi_square(by_third), CHI2_DF2);
  EXPECT_LT(chi_square(by_residue), CHI2_DF2);

  std::vector<std::size_t> six(6);
  for (int i = 0; i < draws; ++i) ++six[gen_index(rng, 6)];
  EXPECT_LT(chi_square(six), CHI2_DF5);
  thread_rng().reseed_from_os();
}

TEST(RngGenIndex, EmptyRangeFaults) {
  ThreadRng rng;
  try {
    (void)gen_index(rng, 0);
    FAIL() << "no fault";
  } catch (const Fault& f) {
    EXPECT_EQ(f.message(), "cannot sample empty range");
  }
}

TEST(RngGenBool, FollowsTopBitAndIsBalanced) {
  ThreadRng a, b;
  a.seed(5);
  b.seed(5);
  int trues = 0;
  for (int i = 0; i < 20'000; ++i) {
    const bool v = gen_bool(a);
    ASSERT_EQ(v, b.next_u32() >= 0x8000'0000u);
    trues += v;
  }
  EXPECT_GT(trues, 9'000);
  EXPECT_LT(trues, 11'000);
}

TEST(RngShuffle, ThreeItemsVisitEveryPermutationEvenly) {
  seed_thread_rng(99);
  ThreadRng& rng = thread_rng();
  std::vector<std::size_t> counts(6);
  std::array<int, 3> perm{};
  for (int i = 0; i < 60'000; ++i) {
    perm = {0, 1, 2};
    shuffle(rng, std::span<int>(perm));
    // Lehmer code of the permutation: 0..5.
    const int a = perm[0], b = perm[1];
    const std::size_t code = static_cast<std::size_t>(a * 2 + (b > a ? b - 1 : b));
    ++counts[code];
  }
  for (std::size_t c : counts) EXPECT_GT(c, 0u);
  EXPECT_LT(chi_square(counts), CHI2_DF5);
  thread_rng().reseed_from_os();
}

TEST(RngShuffle, ShortListsDrawNothingAndVectorsShuffleInPlace) {
  CountingRng a(77);
  ThreadRng b;
  b.seed(77);
  std::vector<int> none;
  std::vector<int> one = {5};
  shuffle(a, none);
  shuffle(a, std::span<int>(one));
  EXPECT_EQ(one, std::vector<int>{5});
  EXPECT_EQ(a.u32_draws + a.u64_draws, 0u);
  EXPECT_EQ(a.next_u64(), b.next_u64());

  // n entries take n - 1 draws of 32 bits (no rejection is likely here),
  // and the entries are only rearranged.
  std::vector<int> many(16);
  std::iota(many.begin(), many.end(), 0);
  CountingRng c(3);
  shuffle(c, many);
  EXPECT_EQ(c.u32_draws, 15u);
  EXPECT_EQ(c.u64_draws, 0u);
  std::vector<int> sorted = many;
  std::sort(sorted.begin(), sorted.end());
  std::vector<int> expected(16);
  std::iota(expected.begin(), expected.end(), 0);
  EXPECT_EQ(sorted, expected);
  EXPECT_NE(many, expected);
}

}  // namespace
}  // namespace corvane::rng
