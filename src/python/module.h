// The module entry: creating the module once, for one interpreter, and
// registering the classes.
#pragma once

#include <atomic>
#include <cstdint>

#include "python/errors.h"

namespace corvane::py {

// Lists `name` in the module's __all__ (created empty when the module has
// none; an __all__ that is not a list is a TypeError), then sets the module
// attribute `name` to `type`. Throws ErrorAlreadySet; a failure to make the
// name string or to append to the list is an internal fault.
void add_class(PyObject* module, const char* name, PyObject* type);

// The module function: makes sure __all__ exists, then adds every registered
// class (classes.h) in order and stops at the first error.
void add_registered_classes(PyObject* module);

// The state behind a single-phase PyInit_* function. The first import records
// its interpreter; an import from any other interpreter fails with
// ImportError. The first successful import keeps the module, and later calls
// (a re-import after `del sys.modules[...]`) return that same module without
// running the body again. A failing body releases the module and leaves
// nothing cached, so the next import starts afresh. Static storage only: it
// is never destroyed, so nothing is released after the interpreter is gone.
class SingleInterpreterModule {
 public:
  using Body = void (*)(PyObject* module);  // fills the module; throws on error

  constexpr SingleInterpreterModule(PyModuleDef* def, Body body) noexcept
      : def_(def), body_(body) {}
  SingleInterpreterModule(const SingleInterpreterModule&) = delete;
  SingleInterpreterModule& operator=(const SingleInterpreterModule&) = delete;

  // The PyInit_* result: a new reference, or null with the error set.
  PyObject* init() noexcept;

 private:
  PyModuleDef* def_;
  Body body_;
  std::atomic<std::int64_t> interpreter_{-1};
  PyObject* module_ = nullptr;  // one reference, held for the life of the process
};

}  // namespace corvane::py
