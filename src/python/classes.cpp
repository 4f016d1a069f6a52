#include "python/classes.h"

#include <initializer_list>

#include "python/circuit_routing.h"
#include "python/clifford_synthesis.h"
#include "python/linear_function_synthesis.h"
#include "python/permutation_synthesis.h"

namespace corvane::py {
namespace {

// The order in which the module adds them (and lists them in __all__).
constexpr std::initializer_list<ClassEntry> kClasses = {
    {"CircuitRouting", &circuit_routing_type},
    {"CliffordSynthesis", &clifford_synthesis_type},
    {"PermutationSynthesis", &permutation_synthesis_type},
    {"LinearFunctionSynthesis", &linear_function_synthesis_type},
};

}  // namespace

std::span<const ClassEntry> registered_classes() noexcept {
  return {kClasses.begin(), kClasses.size()};
}

}  // namespace corvane::py
