// The Python class LinearFunctionSynthesis.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace corvane::py {

// The class's type object, created on first call (see classes.h).
PyTypeObject* linear_function_synthesis_type();

}  // namespace corvane::py
