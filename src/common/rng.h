// Per-thread random source: a ChaCha20 keystream generator seeded from the
// operating system, reseeded after every 64 KiB of output and in a forked
// child, so no two threads or processes share a stream. Results drawn from it
// are not reproducible; C++ tests can pin a thread's stream with
// seed_thread_rng().
#pragma once

#include <array>
#include <atomic>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <ranges>
#include <span>
#include <type_traits>
#include <utility>

#include "common/fault.h"

namespace corvane::rng {

namespace detail {

// Bumped in every forked child; a generator whose remembered value differs
// reseeds before its next draw.
extern std::atomic<std::uint64_t> g_fork_epoch;

}  // namespace detail

// Rounds per block: full-strength ChaCha20, so the block function can be
// checked against the RFC 7539 test vectors.
inline constexpr int CHACHA_ROUNDS = 20;

// One ChaCha20 block (the generator uses the eight-block form below): 20
// rounds over `input`, then `input` added back. Words 0-3 are the constants,
// 4-11 the key, 12-15 counter and nonce, in the word order of RFC 7539.
void chacha20_block(const std::array<std::uint32_t, 16>& input,
                    std::array<std::uint32_t, 16>& output) noexcept;

// Four consecutive blocks at once, the 64-bit counter in words 12-13 taking
// the values c, c+1, c+2, c+3: output[16*b + w] is word w of block b, so the
// 64 words are the keystream in order.
void chacha20_blocks4(const std::array<std::uint32_t, 16>& input,
                      std::array<std::uint32_t, 64>& output) noexcept;

// Eight consecutive blocks, counter c to c+7, laid out as above: the same
// 128 words as the four-block form at c and then at c+4. Computed eight
// lanes wide with AVX2 where the processor has it.
void chacha20_blocks8(const std::array<std::uint32_t, 16>& input,
                      std::array<std::uint32_t, 128>& output) noexcept;

// Whether chacha20_blocks8 takes the AVX2 path on this machine.
bool wide_blocks_available() noexcept;

class ThreadRng {
 public:
  // Keystream buffered per refill: eight blocks. RESEED_BYTES is a whole
  // number of refills, so reseeding falls at the same word of the stream
  // whatever the refill size.
  static constexpr std::size_t BUFFER_WORDS = 128;
  // Output after which an OS-seeded generator takes fresh entropy.
  static constexpr std::uint64_t RESEED_BYTES = 64 * 1024;
  static_assert(RESEED_BYTES % (BUFFER_WORDS * 4) == 0);

  // Unseeded: the first draw seeds from the operating system.
  constexpr ThreadRng() noexcept = default;
  ThreadRng(const ThreadRng&) = delete;  // a copy would repeat the stream
  ThreadRng& operator=(const ThreadRng&) = delete;

  std::uint32_t next_u32() {
    if (epoch_ != detail::g_fork_epoch.load(std::memory_order_relaxed)) [[unlikely]] {
      on_new_epoch();
    }
    if (index_ >= BUFFER_WORDS) [[unlikely]] refill();
    return buffer_[index_++];
  }

  std::uint64_t next_u64() {
    const std::uint64_t lo = next_u32();
    const std::uint64_t hi = next_u32();
    return (hi << 32) | lo;
  }

  // Deterministic stream derived from `seed`; no periodic or fork reseeding
  // until seed() is called again.
  void seed(std::uint64_t seed) noexcept;

  // Fresh key from the operating system; leaves deterministic mode.
  void reseed_from_os();

  bool deterministic() const noexcept { return deterministic_; }

 private:
  void on_new_epoch();
  void refill();

  std::array<std::uint32_t, BUFFER_WORDS> buffer_{};
  std::array<std::uint32_t, 8> key_{};
  std::uint64_t counter_ = 0;          // block counter, words 12-13
  std::uint64_t bytes_since_seed_ = 0;
  std::uint64_t epoch_ = 0;            // 0 never matches: first draw seeds
  std::size_t index_ = BUFFER_WORDS;
  bool deterministic_ = false;
  bool keyed_ = false;
};

// The calling thread's generator, made at the thread's first call (which
// throws std::bad_alloc when it cannot be) and freed when the thread ends.
// Cheap, but hot loops should hold the reference rather than call this per
// draw.
ThreadRng& thread_rng();

// Tests only: makes the calling thread's generator a deterministic stream.
void seed_thread_rng(std::uint64_t seed);

template <class Rng>
concept RandomSource = requires(Rng& r) {
  { r.next_u32() } -> std::same_as<std::uint32_t>;
  { r.next_u64() } -> std::same_as<std::uint64_t>;
};

// Uniform in [0, n) by widening multiply with rejection, so no value is
// favoured. Ranges that fit 32 bits draw 32-bit words.
template <RandomSource Rng>
std::size_t gen_index(Rng& rng, std::size_t n) {
  if (n == 0) fault("cannot sample empty range");
  if (n <= 0xFFFF'FFFFu) {
    const auto range = static_cast<std::uint32_t>(n);
    std::uint64_t m = std::uint64_t{rng.next_u32()} * range;
    auto low = static_cast<std::uint32_t>(m);
    if (low < range) {
      const std::uint32_t threshold = (0u - range) % range;  // 2^32 mod range
      while (low < threshold) {
        m = std::uint64_t{rng.next_u32()} * range;
        low = static_cast<std::uint32_t>(m);
      }
    }
    return static_cast<std::size_t>(m >> 32);
  }
  __extension__ using u128 = unsigned __int128;
  const auto range = static_cast<std::uint64_t>(n);
  u128 m = u128{rng.next_u64()} * range;
  auto low = static_cast<std::uint64_t>(m);
  if (low < range) {
    const std::uint64_t threshold = (0u - range) % range;  // 2^64 mod range
    while (low < threshold) {
      m = u128{rng.next_u64()} * range;
      low = static_cast<std::uint64_t>(m);
    }
  }
  return static_cast<std::size_t>(m >> 64);
}

// True when the top bit of the next 32-bit word is set.
template <RandomSource Rng>
bool gen_bool(Rng& rng) {
  return (rng.next_u32() >> 31) != 0;
}

// Fisher-Yates from the back: entry i trades places with one of 0..=i.
// Fewer than two entries draw nothing.
template <RandomSource Rng, class T>
void shuffle(Rng& rng, std::span<T> items) {
  for (std::size_t i = items.size(); i > 1; --i) {
    const std::size_t j = gen_index(rng, i);
    using std::swap;
    swap(items[i - 1], items[j]);
  }
}

// Convenience for vectors and arrays.
template <RandomSource Rng, std::ranges::contiguous_range R>
  requires std::ranges::sized_range<R> &&
           (!std::is_const_v<std::remove_reference_t<std::ranges::range_reference_t<R>>>)
void shuffle(Rng& rng, R& items) {
  shuffle(rng, std::span<std::ranges::range_value_t<R>>(std::ranges::data(items),
                                                         std::ranges::size(items)));
}

}  // namespace corvane::rng
