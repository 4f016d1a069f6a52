#include "python/pyclass.h"

#include <cstdio>
#include <string>

namespace corvane::py::detail {

PyTypeObject* create_type(const ClassSpec& spec, std::size_t basicsize, destructor dealloc,
                          char (&name_buffer)[kMaxQualifiedName]) {
  // A spec name without a module would leave the type without __module__;
  // "builtins." makes it read "builtins" with the bare name as __qualname__.
  // CPython keeps pointing at this text, hence the caller's static buffer.
  const int length = std::snprintf(name_buffer, kMaxQualifiedName, "builtins.%s", spec.name);
  if (length < 0 || static_cast<std::size_t>(length) >= kMaxQualifiedName) {
    corvane::fault("class name too long: " + std::string(spec.name));
  }

  PyType_Slot slots[5];
  int n = 0;
  slots[n++] = {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)};
  if (spec.doc != nullptr) slots[n++] = {Py_tp_doc, const_cast<char*>(spec.doc)};
  if (spec.methods != nullptr) slots[n++] = {Py_tp_methods, spec.methods};
  unsigned int flags = Py_TPFLAGS_DEFAULT;  // no BASETYPE: not subclassable
#ifdef Py_TPFLAGS_IMMUTABLETYPE
  // Its attributes cannot be replaced: the type is shared by every user of
  // the module in the process.
  flags |= Py_TPFLAGS_IMMUTABLETYPE;
#endif
  if (spec.tp_new != nullptr) {
    slots[n++] = {Py_tp_new, reinterpret_cast<void*>(spec.tp_new)};
  } else {
#ifdef Py_TPFLAGS_DISALLOW_INSTANTIATION
    flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION;  // no constructor: not callable
#endif
  }
  slots[n] = {0, nullptr};

  PyType_Spec type_spec = {name_buffer, static_cast<int>(basicsize), 0, flags, slots};
  return reinterpret_cast<PyTypeObject*>(Ref::check(PyType_FromSpec(&type_spec)).release());
}

PyObject* allocate(PyTypeObject* type) {
  allocfunc alloc = type->tp_alloc != nullptr ? type->tp_alloc : PyType_GenericAlloc;
  PyObject* obj = alloc(type, 0);
  if (obj == nullptr) throw_pending();  // SystemError if the allocator set nothing
  return obj;
}

void free_unconstructed(PyObject* obj) noexcept {
  PyTypeObject* type = Py_TYPE(obj);
  type->tp_free(obj);
  if ((type->tp_flags & Py_TPFLAGS_HEAPTYPE) != 0) Py_DECREF(type);
}

}  // namespace corvane::py::detail
