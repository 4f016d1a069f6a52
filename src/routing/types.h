// Value types that the router takes from its caller.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/hash.h"

namespace corvane::routing {

// Device edges between physical qubits; an edge's position is its SWAP action.
using CouplingMap = std::vector<std::pair<std::uint64_t, std::uint64_t>>;
// dists[p][r]: distance between physical qubits p and r.
using Dists = std::vector<std::vector<std::int32_t>>;
// Error rate per ordered pair of physical qubits.
using ErrMap = std::unordered_map<std::pair<std::uint64_t, std::uint64_t>, double, PairHash>;
using MetricNames = std::vector<std::string>;

// What get_dists_max_value() returns: a pair with no path between them.
inline constexpr std::int32_t DISTS_MAX_VALUE = 2147483647;

}  // namespace corvane::routing
