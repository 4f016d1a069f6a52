// Binding a call's arguments to parameter names, then converting them.
//
// Every parameter is required and may be given by position or by keyword.
// A call goes in three steps, in this order:
//   1. bind(): match positional and keyword arguments to the names. A surplus
//      positional, an unknown or duplicated keyword, or a missing argument is
//      a TypeError worded like CPython's own, e.g.
//        "CircuitRouting.route() missing 1 required positional argument: 'num_qubits'"
//      No argument has been looked at yet.
//   2. the caller checks `self` (see PyClass::borrow in pyclass.h);
//   3. convert<Ts...>(): convert the arguments in signature order with
//      extract<T> (convert.h). The first failure is raised and the rest are not
//      examined. A failure whose class is exactly TypeError is raised again as
//      TypeError "argument '<name>': <message>" (keeping its __cause__); any
//      other class (OverflowError, ValueError, ...) passes unchanged.
//
// Example, a METH_FASTCALL | METH_KEYWORDS method:
//   constexpr auto kRun = py::signature("LinearFunctionSynthesis.run", "model_id", "num_runs", "data");
//   PyObject* run(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
//     return py::guard([&] {
//       auto bound = py::bind(kRun, args, nargs, kwnames);
//       const LinearFunctionSynthesis& me = kClass.borrow(self);
//       auto [model_id, num_runs, data] =
//           py::convert<std::uint64_t, std::uint64_t, std::vector<float>>(kRun, bound);
//       return py::to_python(me.run(model_id, num_runs, data));
//     });
//   }
// A constructor (tp_new) binds its (args, kwargs) with the other overload of
// bind(); by convention its signature is named "<Class>.__new__".
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <tuple>
#include <utility>

#include "python/convert.h"
#include "python/errors.h"

namespace corvane::py {

// A function's name for messages ("CircuitRouting.route") and its parameters.
template <std::size_t N>
struct Signature {
  const char* function;
  std::array<const char*, N> params;
};

template <class... Names>
constexpr Signature<sizeof...(Names)> signature(const char* function, Names... params) {
  return {function, {params...}};
}

// One owned reference per parameter, in signature order.
template <std::size_t N>
struct BoundArgs {
  std::array<Ref, N> values;
  PyObject* operator[](std::size_t i) const noexcept { return values[i].get(); }
};

namespace detail {
void bind_fastcall(const char* function, std::span<const char* const> params, std::span<Ref> out,
                   PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
void bind_tuple_dict(const char* function, std::span<const char* const> params,
                     std::span<Ref> out, PyObject* args, PyObject* kwargs);
}  // namespace detail

// METH_FASTCALL | METH_KEYWORDS: args holds nargs positional values followed
// by one value per name in the kwnames tuple (which may be null).
template <std::size_t N>
BoundArgs<N> bind(const Signature<N>& sig, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames) {
  BoundArgs<N> bound;
  detail::bind_fastcall(sig.function, sig.params, bound.values, args, nargs, kwnames);
  return bound;
}

// tp_new: a tuple of positional values and a dict of keywords (may be null).
template <std::size_t N>
BoundArgs<N> bind(const Signature<N>& sig, PyObject* args, PyObject* kwargs) {
  BoundArgs<N> bound;
  detail::bind_tuple_dict(sig.function, sig.params, bound.values, args, kwargs);
  return bound;
}

// Called with a conversion error of argument `name` pending: re-raises a
// TypeError with the argument-name prefix, leaves any other error as it is,
// and throws ErrorAlreadySet.
[[noreturn]] void reraise_argument_error(const char* name);

// f(), a conversion of the argument `name`, with its failure attributed to
// that argument.
template <class F>
decltype(auto) convert_arg_with(const char* name, F&& f) {
  try {
    return std::forward<F>(f)();
  } catch (const ErrorAlreadySet&) {
    reraise_argument_error(name);
  }
}

// extract<T>(value), with a failure attributed to the argument `name`.
template <class T>
T convert_arg(const char* name, PyObject* value) {
  return convert_arg_with(name, [&] { return extract<T>(value); });
}

// A byte budget shared by the arguments converted through it, for data in
// which a few bytes of Python can describe gigabytes (one list or str held
// many times over). An argument whose lists, tuples, dicts and strs alone
// describe more than is left is refused before it is converted; otherwise
// each vector item, string byte and dict entry is charged as it is made. Over
// budget: MemoryError "argument '<name>': its contents would need more than ...".
class ConversionBudget {
 public:
  explicit ConversionBudget(std::uint64_t bytes) noexcept : state_{"", 0, bytes} {}
  ConversionBudget(const ConversionBudget&) = delete;
  ConversionBudget& operator=(const ConversionBudget&) = delete;

  // convert_arg<T>(name, value) under the budget.
  template <class T>
  T convert(const char* name, PyObject* value) {
    state_.name = name;
    const std::uint64_t left = state_.limit - state_.used;
    const std::uint64_t described = FromPython<T>::plain_bytes(value, left);
    if (described > left) detail::over_budget(state_);
    struct Scope {
      detail::BudgetState* saved;
      ~Scope() { detail::t_budget = saved; }
    } scope{std::exchange(detail::t_budget, &state_)};
    return convert_arg<T>(name, value);
  }

 private:
  detail::BudgetState state_;
};

namespace detail {
template <class... Ts, std::size_t N, std::size_t... Is>
std::tuple<Ts...> convert_all(const Signature<N>& sig, const BoundArgs<N>& args,
                              std::index_sequence<Is...>) {
  // Braced initialisation converts strictly left to right; if one throws, the
  // values already made are destroyed.
  return std::tuple<Ts...>{convert_arg<Ts>(sig.params[Is], args[Is])...};
}
}  // namespace detail

// Converts every bound argument, the i-th into the i-th type.
template <class... Ts, std::size_t N>
std::tuple<Ts...> convert(const Signature<N>& sig, const BoundArgs<N>& args) {
  static_assert(sizeof...(Ts) == N, "one type per parameter");
  return detail::convert_all<Ts...>(sig, args, std::index_sequence_for<Ts...>{});
}

}  // namespace corvane::py
