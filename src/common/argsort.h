// The stable argsort that the layout search, the permutation records and
// permutation synthesis share.
#pragma once

#include <algorithm>
#include <numeric>
#include <vector>

namespace corvane {

// The positions 0..v.size()-1 sorted stably by ascending v value (equal
// values keep their order); for a permutation, its inverse.
template <class T>
std::vector<T> argsort(const std::vector<T>& v) {
  std::vector<T> order(v.size());
  std::iota(order.begin(), order.end(), T{0});
  std::stable_sort(order.begin(), order.end(), [&](T a, T b) { return v[a] < v[b]; });
  return order;
}

}  // namespace corvane
