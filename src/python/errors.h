// Python references, pending Python errors, and the guard that stands between
// C++ code and the interpreter.
//
// The rules every binding function follows:
//  - A CPython call that fails leaves a Python error pending; the C++ code
//    then throws ErrorAlreadySet and lets it travel to the guard.
//  - An internal fault (corvane::Fault) or any other C++ exception reaching
//    the guard becomes a Python exception (pyo3_runtime.PanicException by
//    default); no C++ exception ever crosses into the interpreter.
//  - Running out of memory (std::bad_alloc, or std::length_error from a size
//    no container can hold) is MemoryError, not a fault.
//  - For the length of a guarded call, the core's interrupt::poll() runs the
//    interpreter's signal handlers; when one raises, the core throws
//    interrupt::Interrupted and the handler's exception (KeyboardInterrupt by
//    default) is what the call raises.
//  - For the length of a guarded call, a diagnostic line the core writes to
//    file descriptor 1 first flushes sys.stdout, so that it follows whatever
//    the caller printed before it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <exception>
#include <new>
#include <source_location>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "common/fault.h"
#include "common/interrupt.h"
#include "common/output.h"

namespace corvane::py {

// Thrown when a Python error is pending and must propagate to the caller.
// Whoever throws it has made sure the error indicator is set.
struct ErrorAlreadySet : std::exception {
  const char* what() const noexcept override { return "a Python exception is pending"; }
};

// Throws ErrorAlreadySet. Should a CPython call have failed without setting
// an error, SystemError "attempted to fetch exception but none was set" is
// raised instead, so a pending error is always there for the caller.
[[noreturn]] void throw_pending();

// Sets `type(message)` as the pending error (the instance is made when the
// interpreter first needs it, and gets no implicit __context__). Never throws.
void set_error(PyObject* type, std::string_view message) noexcept;

// Makes type(value) the pending error, taking over the reference to value
// (an exception instance, or the argument to make one with); no implicit
// __context__ is attached. Never throws.
void set_error_value(PyObject* type, PyObject* value) noexcept;

// set_error, then throw ErrorAlreadySet.
[[noreturn]] void raise(PyObject* type, std::string_view message);

// MemoryError "argument '<name>': <what> would need about 37.3 GiB, more than
// the 11.5 GiB one call may use": an argument that describes more than the
// machine can hold, refused before anything is allocated for it.
[[noreturn]] void raise_too_large(const char* name, std::string_view what, std::uint64_t need,
                                  std::uint64_t budget);

// TypeError "'<qualname of obj's type>' object cannot be converted to
// '<target>'": the message of every failed type check.
[[noreturn]] void raise_conversion_error(PyObject* obj, const char* target);

// With a Python error pending: whether it is an ordinary failure (an
// Exception other than MemoryError) that a fallback may clear and replace.
// KeyboardInterrupt, SystemExit, MemoryError and the like must propagate.
bool pending_is_ordinary() noexcept;

// A CPython call that cannot fail in a sound process did fail (a string or
// list could not be made): print the Python error, then raise the internal
// fault "Python API call failed".
[[noreturn]] void api_fault(std::source_location where = std::source_location::current());

// Move-only owner of one strong reference (or of nothing).
class Ref {
 public:
  Ref() noexcept = default;
  Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      PyObject* old = p_;
      p_ = other.p_;
      other.p_ = nullptr;
      Py_XDECREF(old);
    }
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(p_); }

  // Takes over a new reference (may be null).
  static Ref steal(PyObject* p) noexcept { return Ref(p); }
  // Takes a new reference to a borrowed one (may be null).
  static Ref borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return Ref(p);
  }
  // Takes over the result of a CPython call: null means it failed, so throw.
  static Ref check(PyObject* p) {
    if (p == nullptr) throw_pending();
    return Ref(p);
  }

  PyObject* get() const noexcept { return p_; }
  // Gives up ownership: the caller now holds the reference.
  PyObject* release() noexcept {
    PyObject* p = p_;
    p_ = nullptr;
    return p;
  }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  explicit Ref(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

// Takes the pending error off the indicator as an exception instance (with
// its traceback); empty when none is pending.
Ref take_pending() noexcept;
// Makes a taken error pending again, as it was.
void restore_pending(Ref error) noexcept;

// pyo3_runtime.PanicException: a direct subclass of BaseException (so a bare
// `except Exception` does not swallow it), made once per process. Borrowed;
// null with a Python error set if it could not be made.
PyObject* panic_exception_type() noexcept;

// What a guard raises for an internal fault or another C++ exception. A
// policy is a type with `static void raise(std::string_view message) noexcept`
// that leaves a Python error pending.
struct FaultAsPanic {  // PanicException(message): the default everywhere
  static void raise(std::string_view message) noexcept;
};
struct FaultAsRuntimeError {  // RuntimeError("Panic error"): the message is dropped
  static void raise(std::string_view message) noexcept;
};

namespace detail {
// MemoryError as the pending error.
void set_memory_error() noexcept;
// The check interrupt::poll() runs: the interpreter's signal handlers; true
// when one raised (its exception is then pending).
bool signal_raised() noexcept;
// The flush hook of write_stdout_line: sys.stdout.flush(), best effort; a
// pending error survives it.
void flush_python_stdout() noexcept;
}  // namespace detail

// Runs f() and returns its result. ErrorAlreadySet and Interrupted (whose
// Python error is pending) pass through as ErrorAlreadySet; std::bad_alloc
// and std::length_error become MemoryError; a Fault (already reported on
// stderr when it was raised) or any other C++ exception (reported here) is
// turned into a Python error by Policy and then thrown on as
// ErrorAlreadySet. Nest it to give part of a call a different policy:
//   guard([&] { ...convert...; return to_python(catch_faults<FaultAsRuntimeError>(work)); })
template <class Policy = FaultAsPanic, class F>
decltype(auto) catch_faults(F&& f) {
  try {
    return std::forward<F>(f)();
  } catch (const ErrorAlreadySet&) {
    throw;
  } catch (const interrupt::Interrupted&) {
    throw ErrorAlreadySet();
  } catch (const std::bad_alloc&) {
    detail::set_memory_error();
  } catch (const std::length_error&) {
    detail::set_memory_error();
  } catch (const corvane::Fault& fault) {
    Policy::raise(fault.message());
  } catch (const std::exception& e) {
    Policy::raise(corvane::report_foreign_exception(&e));
  } catch (...) {
    Policy::raise(corvane::report_foreign_exception(nullptr));
  }
  throw ErrorAlreadySet();
}

namespace detail {
void ensure_error_set() noexcept;

// Set aside the conversion budget of an enclosing call on this thread (see
// ConversionBudget in args.h), and put it back: Python code that a
// conversion runs may call into the module again, and what that call
// converts is not the enclosing call's.
void* suspend_budget() noexcept;
void resume_budget(void* saved) noexcept;
class BudgetShield {
 public:
  BudgetShield() noexcept : saved_(suspend_budget()) {}
  ~BudgetShield() { resume_budget(saved_); }
  BudgetShield(const BudgetShield&) = delete;
  BudgetShield& operator=(const BudgetShield&) = delete;

 private:
  void* saved_;
};
}  // namespace detail

// The boundary of every function the interpreter calls. f returns a new
// reference (PyObject* or Ref); the guard returns it, or null with the Python
// error pending when f threw. Nothing escapes.
template <class Policy = FaultAsPanic, class F>
PyObject* guard(F&& f) noexcept {
  const detail::BudgetShield shield;
  const interrupt::Scope interruptible(&detail::signal_raised);
  const output::FlushScope flushing(&detail::flush_python_stdout);
  try {
    PyObject* result = nullptr;
    if constexpr (std::is_same_v<std::decay_t<decltype(f())>, Ref>) {
      result = catch_faults<Policy>(std::forward<F>(f)).release();
    } else {
      result = catch_faults<Policy>(std::forward<F>(f));
    }
    if (result == nullptr) detail::ensure_error_set();
    return result;
  } catch (...) {  // only ErrorAlreadySet gets here
    detail::ensure_error_set();
    return nullptr;
  }
}

}  // namespace corvane::py
