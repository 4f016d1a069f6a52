#include "common/rng.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/random.h>
#include <sys/syscall.h>
#include <unistd.h>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define CORVANE_WIDE_CHACHA 1
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>

#include "common/thread_exit.h"

namespace corvane::rng {

namespace detail {
std::atomic<std::uint64_t> g_fork_epoch{1};
}  // namespace detail

namespace {

constexpr std::array<std::uint32_t, 4> SIGMA = {0x61707865u, 0x3320646eu, 0x79622d32u,
                                                0x6b206574u};  // "expand 32-byte k"

constexpr std::uint32_t rotl(std::uint32_t v, int c) noexcept {
  return (v << c) | (v >> (32 - c));
}

inline void quarter_round(std::array<std::uint32_t, 16>& x, int a, int b, int c, int d) noexcept {
  x[a] += x[b]; x[d] ^= x[a]; x[d] = rotl(x[d], 16);
  x[c] += x[d]; x[b] ^= x[c]; x[b] = rotl(x[b], 12);
  x[a] += x[b]; x[d] ^= x[a]; x[d] = rotl(x[d], 8);
  x[c] += x[d]; x[b] ^= x[c]; x[b] = rotl(x[b], 7);
}

// Four blocks side by side, one per lane, so the rounds run as SSE/NEON
// vector operations without target-specific code.
typedef std::uint32_t u32x4 __attribute__((vector_size(16)));

inline u32x4 rotl4(u32x4 v, int c) noexcept { return (v << c) | (v >> (32 - c)); }

inline void quarter_round4(u32x4* x, int a, int b, int c, int d) noexcept {
  x[a] += x[b]; x[d] ^= x[a]; x[d] = rotl4(x[d], 16);
  x[c] += x[d]; x[b] ^= x[c]; x[b] = rotl4(x[b], 12);
  x[a] += x[b]; x[d] ^= x[a]; x[d] = rotl4(x[d], 8);
  x[c] += x[d]; x[b] ^= x[c]; x[b] = rotl4(x[b], 7);
}

#ifdef CORVANE_WIDE_CHACHA
// Eight blocks side by side, one per 32-bit lane of a 256-bit register, for
// processors with AVX2; chosen at run time, so the build needs no -mavx2.
#define CORVANE_AVX2 __attribute__((target("avx2"), always_inline)) inline

template <int C>
CORVANE_AVX2 __m256i rotl8(__m256i v) {
  if constexpr (C == 16) {
    const __m256i m = _mm256_setr_epi8(2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13,
                                       2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13);
    return _mm256_shuffle_epi8(v, m);
  } else if constexpr (C == 8) {
    const __m256i m = _mm256_setr_epi8(3, 0, 1, 2, 7, 4, 5, 6, 11, 8, 9, 10, 15, 12, 13, 14,
                                       3, 0, 1, 2, 7, 4, 5, 6, 11, 8, 9, 10, 15, 12, 13, 14);
    return _mm256_shuffle_epi8(v, m);
  } else {
    return _mm256_or_si256(_mm256_slli_epi32(v, C), _mm256_srli_epi32(v, 32 - C));
  }
}

CORVANE_AVX2 void quarter_round8(__m256i& a, __m256i& b, __m256i& c, __m256i& d) {
  a = _mm256_add_epi32(a, b); d = rotl8<16>(_mm256_xor_si256(d, a));
  c = _mm256_add_epi32(c, d); b = rotl8<12>(_mm256_xor_si256(b, c));
  a = _mm256_add_epi32(a, b); d = rotl8<8>(_mm256_xor_si256(d, a));
  c = _mm256_add_epi32(c, d); b = rotl8<7>(_mm256_xor_si256(b, c));
}

// Words w..w+7 of the eight blocks, lane b of s[i] being word w+i of block
// b, transposed so each block's eight words are stored together.
CORVANE_AVX2 void store_transposed8(const __m256i* s, std::uint32_t* out) {
  const __m256i t0 = _mm256_unpacklo_epi32(s[0], s[1]), t1 = _mm256_unpackhi_epi32(s[0], s[1]);
  const __m256i t2 = _mm256_unpacklo_epi32(s[2], s[3]), t3 = _mm256_unpackhi_epi32(s[2], s[3]);
  const __m256i t4 = _mm256_unpacklo_epi32(s[4], s[5]), t5 = _mm256_unpackhi_epi32(s[4], s[5]);
  const __m256i t6 = _mm256_unpacklo_epi32(s[6], s[7]), t7 = _mm256_unpackhi_epi32(s[6], s[7]);
  // u[k] holds words w..w+3 (u[k]) or w+4..w+7 (u[4+k]) of block k in its
  // low half and of block k+4 in its high half.
  const __m256i u[8] = {
      _mm256_unpacklo_epi64(t0, t2), _mm256_unpackhi_epi64(t0, t2),
      _mm256_unpacklo_epi64(t1, t3), _mm256_unpackhi_epi64(t1, t3),
      _mm256_unpacklo_epi64(t4, t6), _mm256_unpackhi_epi64(t4, t6),
      _mm256_unpacklo_epi64(t5, t7), _mm256_unpackhi_epi64(t5, t7)};
  for (int k = 0; k < 4; ++k) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 16 * k),
                        _mm256_permute2x128_si256(u[k], u[4 + k], 0x20));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 16 * (k + 4)),
                        _mm256_permute2x128_si256(u[k], u[4 + k], 0x31));
  }
}

__attribute__((target("avx2"))) void chacha20_blocks8_avx2(
    const std::array<std::uint32_t, 16>& input, std::array<std::uint32_t, 128>& output) noexcept {
  __m256i start[16];
  for (std::size_t w = 0; w < 16; ++w) start[w] = _mm256_set1_epi32(static_cast<int>(input[w]));
  const std::uint64_t counter = std::uint64_t{input[12]} | std::uint64_t{input[13]} << 32;
  alignas(32) std::uint32_t lo[8], hi[8];
  for (std::uint32_t lane = 0; lane < 8; ++lane) {
    const std::uint64_t c = counter + lane;
    lo[lane] = static_cast<std::uint32_t>(c);
    hi[lane] = static_cast<std::uint32_t>(c >> 32);
  }
  start[12] = _mm256_load_si256(reinterpret_cast<const __m256i*>(lo));
  start[13] = _mm256_load_si256(reinterpret_cast<const __m256i*>(hi));
  __m256i x[16];
  for (std::size_t w = 0; w < 16; ++w) x[w] = start[w];
  for (int r = 0; r < CHACHA_ROUNDS; r += 2) {
    quarter_round8(x[0], x[4], x[8], x[12]);
    quarter_round8(x[1], x[5], x[9], x[13]);
    quarter_round8(x[2], x[6], x[10], x[14]);
    quarter_round8(x[3], x[7], x[11], x[15]);
    quarter_round8(x[0], x[5], x[10], x[15]);
    quarter_round8(x[1], x[6], x[11], x[12]);
    quarter_round8(x[2], x[7], x[8], x[13]);
    quarter_round8(x[3], x[4], x[9], x[14]);
  }
  for (std::size_t w = 0; w < 16; ++w) x[w] = _mm256_add_epi32(x[w], start[w]);
  store_transposed8(x, output.data());
  store_transposed8(x + 8, output.data() + 8);
}
#undef CORVANE_AVX2
#endif

void fork_child_handler() noexcept {
  detail::g_fork_epoch.fetch_add(1, std::memory_order_relaxed);
}

void register_fork_handler() {
  // A function-local static rather than std::call_once, whose thread-local
  // state lives in the C++ library. A fault leaves it to the next call.
  [[maybe_unused]] static const bool registered = [] {
    if (::pthread_atfork(nullptr, nullptr, &fork_child_handler) != 0) {
      fault("could not register the fork handler of thread_rng");
    }
    return true;
  }();
}

// Reads exactly `len` bytes of OS entropy; returns errno on failure, 0 on success.
int os_entropy(void* dest, std::size_t len) noexcept {
  auto* out = static_cast<unsigned char*>(dest);
  std::size_t got = 0;
  bool use_getrandom = true;
  while (got < len) {
    const ssize_t n = ::getrandom(out + got, len - got, 0);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    use_getrandom = false;  // ENOSYS (old kernel) or blocked by a seccomp filter
    break;
  }
  if (use_getrandom) return 0;

  const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno != 0 ? errno : EIO;
  got = 0;
  int err = 0;
  while (got < len) {
    const ssize_t n = ::read(fd, out + got, len - got);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      err = n < 0 ? errno : EIO;
      break;
    }
  }
  ::close(fd);
  return err;
}

std::uint64_t splitmix64(std::uint64_t& state) noexcept {
  std::uint64_t z = (state += 0x9e3779b97f4a7c15u);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
  return z ^ (z >> 31);
}

// The generator lives on the heap: a thread-local pointer is all that every
// thread carries (the module's thread-local storage is reserved in every
// thread of the process), and the generator is made where a lack of memory
// is an exception.
constinit thread_local ThreadRng* t_rng = nullptr;

void free_thread_rng(void* rng) noexcept {
  t_rng = nullptr;
  delete static_cast<ThreadRng*>(rng);
}

ThreadRng& new_thread_rng() {
  auto rng = std::make_unique<ThreadRng>();
  at_thread_exit(&free_thread_rng, rng.get());
  t_rng = rng.release();
  return *t_rng;
}

}  // namespace

void chacha20_block(const std::array<std::uint32_t, 16>& input,
                    std::array<std::uint32_t, 16>& output) noexcept {
  std::array<std::uint32_t, 16> x = input;
  for (int r = 0; r < CHACHA_ROUNDS; r += 2) {
    quarter_round(x, 0, 4, 8, 12);
    quarter_round(x, 1, 5, 9, 13);
    quarter_round(x, 2, 6, 10, 14);
    quarter_round(x, 3, 7, 11, 15);
    quarter_round(x, 0, 5, 10, 15);
    quarter_round(x, 1, 6, 11, 12);
    quarter_round(x, 2, 7, 8, 13);
    quarter_round(x, 3, 4, 9, 14);
  }
  for (std::size_t i = 0; i < 16; ++i) output[i] = x[i] + input[i];
}

void chacha20_blocks4(const std::array<std::uint32_t, 16>& input,
                      std::array<std::uint32_t, 64>& output) noexcept {
  u32x4 start[16];
  for (std::size_t w = 0; w < 16; ++w) start[w] = u32x4{input[w], input[w], input[w], input[w]};
  const std::uint64_t counter = std::uint64_t{input[12]} | std::uint64_t{input[13]} << 32;
  for (std::uint32_t lane = 0; lane < 4; ++lane) {
    const std::uint64_t c = counter + lane;
    start[12][lane] = static_cast<std::uint32_t>(c);
    start[13][lane] = static_cast<std::uint32_t>(c >> 32);
  }
  u32x4 x[16];
  for (std::size_t w = 0; w < 16; ++w) x[w] = start[w];
  for (int r = 0; r < CHACHA_ROUNDS; r += 2) {
    quarter_round4(x, 0, 4, 8, 12);
    quarter_round4(x, 1, 5, 9, 13);
    quarter_round4(x, 2, 6, 10, 14);
    quarter_round4(x, 3, 7, 11, 15);
    quarter_round4(x, 0, 5, 10, 15);
    quarter_round4(x, 1, 6, 11, 12);
    quarter_round4(x, 2, 7, 8, 13);
    quarter_round4(x, 3, 4, 9, 14);
  }
  for (std::size_t w = 0; w < 16; ++w) {
    const u32x4 sum = x[w] + start[w];
    for (std::size_t lane = 0; lane < 4; ++lane) output[16 * lane + w] = sum[lane];
  }
}

bool wide_blocks_available() noexcept {
#ifdef CORVANE_WIDE_CHACHA
  static const bool avx2 = [] {
    __builtin_cpu_init();  // may run before the constructor that would do it
    return __builtin_cpu_supports("avx2") != 0;
  }();
  return avx2;
#else
  return false;
#endif
}

void chacha20_blocks8(const std::array<std::uint32_t, 16>& input,
                      std::array<std::uint32_t, 128>& output) noexcept {
#ifdef CORVANE_WIDE_CHACHA
  if (wide_blocks_available()) {
    chacha20_blocks8_avx2(input, output);
    return;
  }
#endif
  std::array<std::uint32_t, 64> half;
  chacha20_blocks4(input, half);
  std::copy(half.begin(), half.end(), output.begin());
  std::array<std::uint32_t, 16> next = input;
  const std::uint64_t counter = (std::uint64_t{input[12]} | std::uint64_t{input[13]} << 32) + 4;
  next[12] = static_cast<std::uint32_t>(counter);
  next[13] = static_cast<std::uint32_t>(counter >> 32);
  chacha20_blocks4(next, half);
  std::copy(half.begin(), half.end(), output.begin() + 64);
}

void ThreadRng::seed(std::uint64_t seed) noexcept {
  std::uint64_t state = seed;
  for (std::size_t i = 0; i < key_.size(); i += 2) {
    const std::uint64_t v = splitmix64(state);
    key_[i] = static_cast<std::uint32_t>(v);
    key_[i + 1] = static_cast<std::uint32_t>(v >> 32);
  }
  counter_ = 0;
  bytes_since_seed_ = 0;
  index_ = BUFFER_WORDS;
  deterministic_ = true;
  keyed_ = true;
  epoch_ = detail::g_fork_epoch.load(std::memory_order_relaxed);
}

void ThreadRng::reseed_from_os() {
  register_fork_handler();
  // Read the epoch before the entropy: a fork in between shows as a newer
  // epoch in the child, which then reseeds once more.
  const std::uint64_t epoch = detail::g_fork_epoch.load(std::memory_order_relaxed);
  std::array<std::uint32_t, 8> fresh{};
  const int err = os_entropy(fresh.data(), sizeof(fresh));
  if (err != 0) {
    if (!keyed_) {
      fault("could not initialize thread_rng: " + std::string(std::strerror(err)));
    }
    // Keep a working generator, but never continue the old stream as it
    // was: a forked child must still part from its parent. Mix the process,
    // thread and clock into a key drawn from the current stream.
    const std::uint64_t pid = static_cast<std::uint64_t>(::getpid());
    const std::uint64_t tid = static_cast<std::uint64_t>(::syscall(SYS_gettid));
    const std::uint64_t now = static_cast<std::uint64_t>(
        std::chrono::steady_clock::now().time_since_epoch().count());
    std::uint64_t mix = pid ^ (tid << 21) ^ (now * 0x9e3779b97f4a7c15u);
    for (std::size_t i = 0; i < fresh.size(); i += 2) {
      if (index_ >= BUFFER_WORDS) refill();
      const std::uint64_t v = splitmix64(mix);
      fresh[i] = buffer_[index_++] ^ static_cast<std::uint32_t>(v);
      if (index_ >= BUFFER_WORDS) refill();
      fresh[i + 1] = buffer_[index_++] ^ static_cast<std::uint32_t>(v >> 32);
    }
  }
  key_ = fresh;
  counter_ = 0;
  bytes_since_seed_ = 0;
  index_ = BUFFER_WORDS;
  deterministic_ = false;
  keyed_ = true;
  epoch_ = epoch;
}

void ThreadRng::on_new_epoch() {
  if (deterministic_) {
    epoch_ = detail::g_fork_epoch.load(std::memory_order_relaxed);
  } else {
    reseed_from_os();
  }
}

void ThreadRng::refill() {
  if (!deterministic_ && bytes_since_seed_ >= RESEED_BYTES) {
    bytes_since_seed_ = 0;  // a failed reseed must not retry on every refill
    reseed_from_os();
  }
  std::array<std::uint32_t, 16> input{};
  std::copy(SIGMA.begin(), SIGMA.end(), input.begin());
  std::copy(key_.begin(), key_.end(), input.begin() + 4);
  // The 64-bit block counter fills words 12-13; 14-15 (the stream id) stay 0.
  input[12] = static_cast<std::uint32_t>(counter_);
  input[13] = static_cast<std::uint32_t>(counter_ >> 32);
  static_assert(BUFFER_WORDS == 128, "one refill is eight blocks");
  chacha20_blocks8(input, buffer_);
  counter_ += 8;
  bytes_since_seed_ += sizeof(buffer_);
  index_ = 0;
}

ThreadRng& thread_rng() {
  ThreadRng* rng = t_rng;
  return rng != nullptr ? *rng : new_thread_rng();
}

void seed_thread_rng(std::uint64_t seed) { thread_rng().seed(seed); }

}  // namespace corvane::rng
