// The Gumbel-max choice (see synthesis.h).
#pragma once

#include <bit>
#include <cmath>

#include "common/first_max.h"

namespace corvane::linear_function {

template <class Rng>
std::size_t gumbel_choice(Rng& rng, std::span<const float> scores, std::vector<float>& z) {
  z.resize(scores.size());
  for (std::size_t k = 0; k < scores.size(); ++k) {
    const std::uint32_t r = rng.next_u32();
    const float u = std::bit_cast<float>((r >> 9) | 0x3F800000u) - 1.0f;
    const float g = std::log(-std::log(u));
    z[k] = scores[k] - g;
  }
  return first_max(z);
}

}  // namespace corvane::linear_function
