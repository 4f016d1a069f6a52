#include "python/module.h"

#include <string>

#include "python/classes.h"

namespace corvane::py {
namespace {

// The module API version single-phase modules are created with.
constexpr int kModuleApiVersion = 1013;

std::string repr_or(PyObject* obj, const char* fallback) {
  Ref text = Ref::steal(PyObject_Repr(obj));
  const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
  if (utf8 == nullptr) {
    if (!pending_is_ordinary()) throw_pending();
    PyErr_Clear();
    return fallback;
  }
  return utf8;
}

// Takes the pending error and describes it as the fault message shows it.
std::string take_error_description() {
  Ref v = take_pending();
  Ref t = Ref::borrow(v ? reinterpret_cast<PyObject*>(Py_TYPE(v.get())) : nullptr);
  Ref tb = Ref::steal(v ? PyException_GetTraceback(v.get()) : nullptr);
  return "PyErr { type: " + repr_or(t.get(), "<unknown>") +
         ", value: " + repr_or(v.get(), "<unknown>") +
         ", traceback: " + (tb ? "Some(" + repr_or(tb.get(), "<unknown>") + ")" : "None") + " }";
}

// The module's __all__ list, made empty when the module has none.
Ref module_all(PyObject* module) {
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (all) {
    if (!PyList_Check(all.get())) raise_conversion_error(all.get(), "PyList");
    return all;
  }
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_pending();
  PyErr_Clear();
  all = Ref::steal(PyList_New(0));
  if (!all) api_fault();
  if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) throw_pending();
  return all;
}

}  // namespace

void add_class(PyObject* module, const char* name, PyObject* type) {
  Ref key = Ref::steal(PyUnicode_FromString(name));
  if (!key) api_fault();
  Ref all = module_all(module);
  if (PyList_Append(all.get(), key.get()) < 0) {
    corvane::fault("could not append __name__ to __all__: " + take_error_description());
  }
  if (PyObject_SetAttr(module, key.get(), type) < 0) throw_pending();
}

void add_registered_classes(PyObject* module) {
  // The first add_class would make __all__ anyway; making it here means the
  // module lists its (possibly zero) classes in every build.
  module_all(module);
  for (const ClassEntry& entry : registered_classes()) {
    PyTypeObject* type = entry.type();
    add_class(module, entry.name, reinterpret_cast<PyObject*>(type));
  }
}

PyObject* SingleInterpreterModule::init() noexcept {
  return guard([&]() -> PyObject* {
    const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) throw_pending();
    // Recorded before anything is made, and never changed: the cached module
    // and types belong to that interpreter alone.
    std::int64_t recorded = -1;
    if (!interpreter_.compare_exchange_strong(recorded, current, std::memory_order_seq_cst) &&
        recorded != current) {
      raise(PyExc_ImportError, std::string(def_->m_name) +
                                   " does not support sub-interpreters: it can only be imported "
                                   "by the interpreter that imported it first");
    }
    if (module_ == nullptr) {
      Ref module = Ref::check(PyModule_Create2(def_, kModuleApiVersion));
      body_(module.get());  // on error the new module is released here
      if (module_ == nullptr) module_ = module.release();
    }
    Py_INCREF(module_);
    return module_;
  });
}

}  // namespace corvane::py
