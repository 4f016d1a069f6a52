#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <utility>

namespace corvane {

// Hash for pairs of integers (error-map keys; std::hash has none): both
// halves are mixed, so pairs of small integers (whose std::hash is the
// identity) spread well.
struct PairHash {
  template <class A, class B>
  std::size_t operator()(const std::pair<A, B>& p) const noexcept {
    std::uint64_t h = mix(static_cast<std::uint64_t>(std::hash<A>{}(p.first)) +
                          0x9e3779b97f4a7c15ULL);
    return static_cast<std::size_t>(mix(h ^ static_cast<std::uint64_t>(std::hash<B>{}(p.second))));
  }
  // The splitmix64 finalizer.
  static constexpr std::uint64_t mix(std::uint64_t x) noexcept {
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
  }
};

}  // namespace corvane
