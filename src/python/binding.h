// The binding layer between the interpreter and the C++ core: everything a
// Python class of this module is written with.
//
//   errors.h   ErrorAlreadySet, Ref (owned reference), set_error / raise,
//              pyo3_runtime.PanicException, guard() and catch_faults() with
//              their fault policies FaultAsPanic / FaultAsRuntimeError
//   convert.h  extract<T>(obj) and to_python(value)
//   args.h     signature(), bind() (fastcall and tp_new forms), convert<Ts...>()
//   pyclass.h  PyClass<T>: a lazily created heap type holding one C++ value,
//              its constructor helper create() and self check borrow()
//   result.h   result_or_raise(): a synthesis result, or its error as RuntimeError
//   module.h   add_class(), SingleInterpreterModule (the PyInit_* state)
//   classes.h  the registry of the module's classes
//
// A method, start to end (see args.h and pyclass.h for the pieces):
//   PyObject* route(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
//     return py::guard([&] {                             // faults -> PanicException
//       auto bound = py::bind(kRoute, args, nargs, kwnames);   // TypeError on bad counts/names
//       const CircuitRouting& me = kClass.borrow(self);         // TypeError on a foreign self
//       auto [circuit, runs, ...] = py::convert<Circuit, std::uint64_t, ...>(kRoute, bound);
//       return py::to_python(me.route(std::move(circuit), runs, ...));
//     });
//   }
// Inside a guard, a part that must report faults differently is wrapped in
// catch_faults<Policy>(...), e.g. transpile's work with FaultAsRuntimeError.
#pragma once

#include "python/args.h"
#include "python/classes.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/module.h"
#include "python/pyclass.h"
#include "python/result.h"
