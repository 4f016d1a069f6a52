// The Python class CircuitRouting.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace corvane::py {

PyTypeObject* circuit_routing_type();

}  // namespace corvane::py
