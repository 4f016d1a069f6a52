#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <utility>

namespace corvane {

// Hash for pairs of integers (coupling-map edges, error-map keys).
struct PairHash {
  template <class A, class B>
  std::size_t operator()(const std::pair<A, B>& p) const noexcept {
    std::uint64_t h = static_cast<std::uint64_t>(std::hash<A>{}(p.first));
    h ^= static_cast<std::uint64_t>(std::hash<B>{}(p.second)) + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
    // Final avalanche so that small consecutive integers spread over buckets.
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdULL;
    h ^= h >> 33;
    return static_cast<std::size_t>(h);
  }
};

}  // namespace corvane
