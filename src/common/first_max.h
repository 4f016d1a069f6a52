// The choice rule of every policy output.
#pragma once

#include <cstddef>
#include <span>

#include "common/fault.h"

namespace corvane {

// Index of the first largest value: a later value replaces the running
// maximum only when strictly greater, so ties go to the lower index, a NaN
// never wins and a NaN at index 0 is kept. Empty: internal fault.
inline std::size_t first_max(std::span<const float> v) {
  if (v.empty()) fault("The input vector must not be empty.");
  std::size_t best = 0;
  for (std::size_t i = 1; i < v.size(); ++i) {
    if (v[i] > v[best]) best = i;
  }
  return best;
}

}  // namespace corvane
