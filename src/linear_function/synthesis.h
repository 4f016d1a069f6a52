// Linear-function synthesis: CX row operations on a 0/1 matrix, chosen one
// at a time by the model's policy network under Gumbel noise, until the
// matrix is the identity.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "common/result.h"
#include "common/rng.h"
#include "linear_function/models.h"

namespace corvane::linear_function {

// Gumbel-max choice among `scores`: for each output, in order, one 32-bit
// draw r gives u = float((r >> 9) | 0x3F800000) − 1 and the noisy score
// z = s − ln(−ln u) (u = 0 gives −∞); then the first largest z. Every score
// draws, and all draws come before the choice.
template <class Rng>
std::size_t gumbel_choice(Rng& rng, std::span<const float> scores, std::vector<float>& z);

// One attempt on the n × n matrix `data` (row by row) with model `model_id`.
// Returns the (control, target) pairs, each meaning row target ^= row control,
// that bring the matrix to the identity.
//
// An attempt ends: an attempt that has evaluated 4·n² steps, and a matrix
// that no row operations can bring to the identity (singular over GF(2), or a
// cell other than 0 and 1), fail with "Solution not found in linear function
// synthesis" instead of looping for ever. Internal faults: model_id ≥ 29
// (index fault), a matrix of another size than n² that is not already the
// identity on its first n² cells.
Result<std::vector<Action>> synthesize(const std::vector<models::LinearFunctionNet>& models,
                                       std::uint64_t model_id, std::vector<float> data,
                                       rng::ThreadRng& rng);

// num_runs attempts; the first of the shortest wins. No attempts: an empty
// list. When every attempt failed to end: "No solution found in <num_runs>
// linear function synthesis runs.". Attempts draw from rng one after
// another.
Result<std::vector<Action>> run(const std::vector<models::LinearFunctionNet>& models,
                                std::uint64_t model_id, std::uint64_t num_runs,
                                const std::vector<float>& data, rng::ThreadRng& rng);

// `data` is an n × n matrix of 0.0/1.0 cells (−0.0 counts as 0.0) that is
// invertible over GF(2).
bool invertible_01(std::span<const float> data, std::size_t n);

}  // namespace corvane::linear_function

#include "linear_function/gumbel.inl"
