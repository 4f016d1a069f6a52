#include "python/args.h"

#include <string>

namespace corvane::py {
namespace {

[[noreturn]] void too_many_positional(const char* function, std::size_t params, Py_ssize_t given) {
  raise(PyExc_TypeError, std::string(function) + "() takes " + std::to_string(params) +
                             (params == 1 ? " positional argument but " : " positional arguments but ") +
                             std::to_string(given) + (given == 1 ? " was given" : " were given"));
}

[[noreturn]] void multiple_values(const char* function, const char* param) {
  raise(PyExc_TypeError,
        std::string(function) + "() got multiple values for argument '" + param + "'");
}

[[noreturn]] void unexpected_keyword(const char* function, PyObject* key) {
  PyObject* message =
      PyUnicode_FromFormat("%s() got an unexpected keyword argument '%S'", function, key);
  if (message == nullptr) throw_pending();
  set_error_value(PyExc_TypeError, message);
  throw_pending();
}

// Places one keyword argument.
void bind_keyword(const char* function, std::span<const char* const> params, std::span<Ref> out,
                  PyObject* key, PyObject* value) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &size) : nullptr;
  if (utf8 == nullptr) {  // not a str, or not encodable: matches no parameter
    if (PyErr_Occurred() != nullptr && !pending_is_ordinary()) throw_pending();
    PyErr_Clear();
    unexpected_keyword(function, key);
  }
  const std::string_view name(utf8, static_cast<std::size_t>(size));
  for (std::size_t i = 0; i < params.size(); ++i) {
    if (name != params[i]) continue;
    if (out[i]) multiple_values(function, params[i]);
    out[i] = Ref::borrow(value);
    return;
  }
  unexpected_keyword(function, key);
}

// "... missing 3 required positional arguments: 'a', 'b', and 'c'"
void check_missing(const char* function, std::span<const char* const> params,
                   std::span<const Ref> out) {
  std::size_t missing = 0;
  for (const Ref& r : out) missing += r ? 0 : 1;
  if (missing == 0) return;
  std::string message = std::string(function) + "() missing " + std::to_string(missing) +
                        (missing == 1 ? " required positional argument: "
                                      : " required positional arguments: ");
  std::size_t listed = 0;
  for (std::size_t i = 0; i < params.size(); ++i) {
    if (out[i]) continue;
    if (listed > 0) {
      if (missing > 2) message += ',';
      message += listed + 1 == missing ? " and " : " ";
    }
    message += '\'';
    message += params[i];
    message += '\'';
    ++listed;
  }
  raise(PyExc_TypeError, message);
}

}  // namespace

namespace detail {

void bind_fastcall(const char* function, std::span<const char* const> params, std::span<Ref> out,
                   PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (static_cast<std::size_t>(nargs) > params.size()) too_many_positional(function, params.size(), nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) out[static_cast<std::size_t>(i)] = Ref::borrow(args[i]);
  if (kwnames != nullptr) {
    const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < count; ++k) {
      bind_keyword(function, params, out, PyTuple_GET_ITEM(kwnames, k), args[nargs + k]);
    }
  }
  check_missing(function, params, out);
}

void bind_tuple_dict(const char* function, std::span<const char* const> params,
                     std::span<Ref> out, PyObject* args, PyObject* kwargs) {
  const Py_ssize_t nargs = args != nullptr ? PyTuple_GET_SIZE(args) : 0;
  if (static_cast<std::size_t>(nargs) > params.size()) too_many_positional(function, params.size(), nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) {
    out[static_cast<std::size_t>(i)] = Ref::borrow(PyTuple_GET_ITEM(args, i));
  }
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    // Binding runs no Python code, so the dict cannot change meanwhile.
    while (PyDict_Next(kwargs, &pos, &key, &value) != 0) {
      bind_keyword(function, params, out, key, value);
    }
  }
  check_missing(function, params, out);
}

}  // namespace detail

void reraise_argument_error(const char* name) {
  Ref original = take_pending();
  if (!original) throw_pending();
  // Only exactly TypeError is renamed: OverflowError, ValueError and even
  // subclasses of TypeError keep their own message.
  if (Py_TYPE(original.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    restore_pending(std::move(original));
    throw ErrorAlreadySet();
  }

  Ref text = Ref::steal(PyObject_Str(original.get()));
  if (!text) {
    // str() of the message ran Python code: an interrupt there replaces the
    // TypeError; an ordinary failure is reported and the TypeError kept.
    if (!pending_is_ordinary()) throw_pending();
    PyErr_WriteUnraisable(original.get());
    text = Ref::check(PyUnicode_FromString("<unprintable TypeError object>"));
  }
  Ref message = Ref::check(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
  Ref renamed = Ref::check(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  // The new error takes over the original's cause (the original itself is
  // not chained: the message already carries it).
  PyException_SetCause(renamed.get(), PyException_GetCause(original.get()));  // steals
  set_error_value(PyExc_TypeError, renamed.release());
  throw ErrorAlreadySet();
}

}  // namespace corvane::py
