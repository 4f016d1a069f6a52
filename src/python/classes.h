// The Python classes of the module, in the order the module adds them.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <span>

namespace corvane::py {

struct ClassEntry {
  const char* name;  // the attribute name, also listed in __all__
  // The class's type object, created on first call and kept for the life of
  // the process (a borrowed reference). Throws ErrorAlreadySet if it cannot
  // be created; typically `[] { return kClass.type(); }` of a PyClass.
  PyTypeObject* (*type)();
};

// CircuitRouting, CliffordSynthesis, PermutationSynthesis and
// LinearFunctionSynthesis, in that order.
std::span<const ClassEntry> registered_classes() noexcept;

}  // namespace corvane::py
