#include "python/classes.h"

#include <initializer_list>

#include "python/circuit_routing.h"

namespace corvane::py {
namespace {

// Add each class here as it is written, keeping this order:
//   {"CircuitRouting", &circuit_routing_type},
//   {"CliffordSynthesis", &clifford_synthesis_type},
//   {"PermutationSynthesis", &permutation_synthesis_type},
//   {"LinearFunctionSynthesis", &linear_function_synthesis_type},
// where each function is declared in the class's own header.
constexpr std::initializer_list<ClassEntry> kClasses = {
    {"CircuitRouting", &circuit_routing_type},
};

}  // namespace

std::span<const ClassEntry> registered_classes() noexcept {
  return {kClasses.begin(), kClasses.size()};
}

}  // namespace corvane::py
