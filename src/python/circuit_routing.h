// The Python class CircuitRouting.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "routing/routing.h"

namespace corvane::py {

PyTypeObject* circuit_routing_type();

// A routing's result as route and transpile return it: (gates, (perm, p2v,
// v2p)), gates a list of (code, (q0, q1)) tuples, the layouts lists of ints.
// A new reference; throws ErrorAlreadySet (MemoryError) when out of memory.
PyObject* routed_to_python(const routing::RouteOutput& out);

}  // namespace corvane::py
