#include "python/errors.h"

#include <cstdio>
#include <string>

namespace corvane::py {

namespace detail {
void ensure_error_set() noexcept {
  if (PyErr_Occurred() == nullptr) {
    set_error(PyExc_SystemError, "attempted to fetch exception but none was set");
  }
}

void set_memory_error() noexcept { PyErr_NoMemory(); }

bool signal_raised() noexcept { return PyErr_CheckSignals() != 0; }

void flush_python_stdout() noexcept {
  Ref pending = take_pending();
  PyObject* out = PySys_GetObject("stdout");  // borrowed; null when deleted
  if (out != nullptr && out != Py_None) {
    Ref done = Ref::steal(PyObject_CallMethod(out, "flush", nullptr));
    if (!done) {
      // A closed or odd stdout must not stop the diagnostic, but Ctrl-C
      // during the flush must not be lost either: raise it again at the
      // next check.
      const bool interrupted = PyErr_ExceptionMatches(PyExc_KeyboardInterrupt) != 0;
      PyErr_Clear();
      if (interrupted) PyErr_SetInterrupt();
    }
  }
  restore_pending(std::move(pending));
}
}  // namespace detail

bool pending_is_ordinary() noexcept {
  return PyErr_ExceptionMatches(PyExc_Exception) != 0 &&
         PyErr_ExceptionMatches(PyExc_MemoryError) == 0;
}

void throw_pending() {
  detail::ensure_error_set();
  throw ErrorAlreadySet();
}

void set_error_value(PyObject* type, PyObject* value) noexcept {
  // Set directly rather than raised with PyErr_SetObject: the error then
  // carries no __context__ from whatever the caller is handling.
#if PY_VERSION_HEX >= 0x030C0000
  if (PyExceptionInstance_Check(value)) {
    PyErr_SetRaisedException(value);
    return;
  }
  PyObject* error = PyObject_CallOneArg(type, value);
  Py_DECREF(value);
  if (error != nullptr) PyErr_SetRaisedException(error);  // else the call's error is pending
#else
  Py_INCREF(type);
  PyErr_Restore(type, value, nullptr);
#endif
}

void set_error(PyObject* type, std::string_view message) noexcept {
  // "replace": a message holding invalid UTF-8 still gets through.
  PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()),
                                        "replace");
  if (text == nullptr) return;  // MemoryError is pending instead
  set_error_value(type, text);
}

Ref take_pending() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  return Ref::steal(PyErr_GetRaisedException());
#else
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return Ref();
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value != nullptr && traceback != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return Ref::steal(value);
#endif
}

void restore_pending(Ref error) noexcept {
  if (!error) return;
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(error.release());
#else
  PyObject* value = error.release();
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
  Py_INCREF(type);
  PyErr_Restore(type, value, PyException_GetTraceback(value));
#endif
}

void raise_too_large(const char* name, std::string_view what, std::uint64_t need,
                     std::uint64_t budget) {
  auto gib = [](std::uint64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f GiB", static_cast<double>(bytes) / (1ull << 30));
    return std::string(text);
  };
  raise(PyExc_MemoryError, std::string("argument '") + name + "': " + std::string(what) +
                               " would need about " + gib(need) + ", more than the " +
                               gib(budget) + " one call may use");
}

void raise(PyObject* type, std::string_view message) {
  set_error(type, message);
  throw_pending();
}

void raise_conversion_error(PyObject* obj, const char* target) {
  Ref name = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)),
                                               "__qualname__"));
  if (!name || !PyUnicode_Check(name.get())) {
    // A metaclass may compute __qualname__: only its ordinary failures fall
    // back to the placeholder.
    if (!name && !pending_is_ordinary()) throw_pending();
    PyErr_Clear();
    name = Ref::steal(PyUnicode_FromString("<failed to extract type name>"));
    if (!name) throw_pending();
  }
  PyObject* message =
      PyUnicode_FromFormat("'%U' object cannot be converted to '%s'", name.get(), target);
  if (message == nullptr) throw_pending();
  set_error_value(PyExc_TypeError, message);
  throw_pending();
}

void api_fault(std::source_location where) {
  if (PyErr_Occurred() != nullptr) PyErr_PrintEx(0);
  corvane::fault("Python API call failed", where);
}

PyObject* panic_exception_type() noexcept {
  // Kept for the life of the process; only touched with the GIL held.
  static PyObject* type = nullptr;
  if (type == nullptr) {
    PyObject* made = PyErr_NewExceptionWithDoc(
        "pyo3_runtime.PanicException",
        "The exception raised when native code of the extension hits an internal fault.\n\n"
        "Like SystemExit, it derives from BaseException so that it is not caught by\n"
        "`except Exception` and typically propagates all the way up.\n",
        PyExc_BaseException, nullptr);
    if (made == nullptr) return nullptr;
    if (type == nullptr) {
      type = made;
    } else {
      Py_DECREF(made);  // another thread made it while we were not holding the GIL
    }
  }
  return type;
}

void FaultAsPanic::raise(std::string_view message) noexcept {
  PyObject* type = panic_exception_type();
  if (type == nullptr) return;  // its creation error is pending
  set_error(type, message);
}

void FaultAsRuntimeError::raise(std::string_view) noexcept {
  set_error(PyExc_RuntimeError, "Panic error");
}

}  // namespace corvane::py
