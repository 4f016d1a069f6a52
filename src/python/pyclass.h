// Python classes whose instances hold one C++ value.
//
// A class is described by a ClassSpec and owned by a PyClass<T> object of
// static storage duration, which creates the type on first use and keeps it
// for the life of the process:
//
//   PyObject* new_routing(PyTypeObject* subtype, PyObject* args, PyObject* kwargs);
//   PyObject* route(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
//   PyObject* get_dists_max_value(PyObject*, PyObject*);
//
//   PyMethodDef kMethods[] = {
//       {"get_dists_max_value", py::method_cast(&get_dists_max_value), METH_NOARGS | METH_STATIC,
//        "get_dists_max_value()\n--\n\n"},
//       {"route", py::method_cast(&route), METH_FASTCALL | METH_KEYWORDS,
//        "route($self, circuit, runs, coupling_map, dists, err_map, metrics_names, num_qubits)\n--\n\n"},
//       {nullptr, nullptr, 0, nullptr}};
//   constinit py::PyClass<CircuitRouting> kClass({.name = "CircuitRouting",
//                                                 .doc = "CircuitRouting()\n--\n\n",
//                                                 .methods = kMethods,
//                                                 .tp_new = &new_routing});
//   PyTypeObject* circuit_routing_type() { return kClass.type(); }   // for classes.cpp
//
// In tp_new: guard, bind(sig, args, kwargs), convert, build the value, then
// `return kClass.create(subtype, std::move(value));`. In a method:
// `const CircuitRouting& me = kClass.borrow(self);` after binding.
//
// Every type has the same form: named "builtins.<name>" (so __module__ is
// "builtins" and __qualname__ the bare name), the doc exactly the text
// signature, not subclassable, no __dict__, and (where the interpreter
// supports it) no attribute can be set on the type.
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

#include "python/errors.h"

namespace corvane::py {

struct ClassSpec {
  const char* name = nullptr;          // bare class name, "CircuitRouting"
  const char* doc = nullptr;           // the text signature: "CircuitRouting()\n--\n\n"
  PyMethodDef* methods = nullptr;      // null-terminated, static storage; may be null
  newfunc tp_new = nullptr;            // the constructor
};

// The object layout: the header, then the C++ value.
template <class T>
struct Instance {
  PyObject_HEAD
  T value;
};

// Casts any C function of the CPython calling conventions to the type that
// PyMethodDef stores (through void(*)(), which -Wcast-function-type allows).
template <class R, class... A>
PyCFunction method_cast(R (*f)(A...)) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

namespace detail {
inline constexpr std::size_t kMaxQualifiedName = 128;

// Creates the heap type "builtins.<spec.name>"; its name is written into
// name_buffer, which must live as long as the type. Throws ErrorAlreadySet.
PyTypeObject* create_type(const ClassSpec& spec, std::size_t basicsize, destructor dealloc,
                          char (&name_buffer)[kMaxQualifiedName]);

// A fresh object of the type from its tp_alloc slot (the generic allocator
// when empty), header set and the rest zeroed. Throws ErrorAlreadySet.
PyObject* allocate(PyTypeObject* type);
// Undoes allocate() for an object whose value was never constructed.
void free_unconstructed(PyObject* obj) noexcept;
}  // namespace detail

template <class T>
class PyClass {
  static_assert(alignof(T) <= alignof(std::max_align_t), "Python's allocator gives no more");

 public:
  constexpr explicit PyClass(ClassSpec spec) noexcept : spec_(spec) {}
  PyClass(const PyClass&) = delete;
  PyClass& operator=(const PyClass&) = delete;

  // The type object, created on first call (with the GIL held). Borrowed: it
  // is kept for the life of the process. Throws ErrorAlreadySet.
  PyTypeObject* type() {
    if (type_ == nullptr) {
      PyTypeObject* made = detail::create_type(spec_, sizeof(Instance<T>), &dealloc, name_);
      // Creating a type can run Python code (a collection), so another thread
      // may have got here first: keep the first one.
      if (type_ == nullptr) {
        type_ = made;
      } else {
        Py_DECREF(made);
      }
    }
    return type_;
  }

  // The value held by `self`; TypeError "'X' object cannot be converted to
  // '<name>'" when self is not an instance.
  const T& borrow(PyObject* self) {
    PyTypeObject* own = type();
    if (!PyObject_TypeCheck(self, own)) raise_conversion_error(self, spec_.name);
    return reinterpret_cast<Instance<T>*>(self)->value;
  }

  // A new instance of `subtype` (tp_new's first argument) holding value.
  // A failed allocation raises the pending error, or SystemError when none.
  PyObject* create(PyTypeObject* subtype, T value) {
    PyObject* obj = detail::allocate(subtype);
    try {
      ::new (static_cast<void*>(&reinterpret_cast<Instance<T>*>(obj)->value)) T(std::move(value));
    } catch (...) {
      detail::free_unconstructed(obj);
      throw;
    }
    return obj;
  }

  const char* name() const noexcept { return spec_.name; }

 private:
  static void dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    std::destroy_at(&reinterpret_cast<Instance<T>*>(self)->value);
    type->tp_free(self);
    Py_DECREF(type);  // instances of heap types hold a reference to their type
  }

  ClassSpec spec_;
  PyTypeObject* type_ = nullptr;
  char name_[detail::kMaxQualifiedName] = {};
};

}  // namespace corvane::py
