#include "python/convert.h"

#include <algorithm>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdio>
#include <utility>

namespace corvane::py::detail {

std::uint64_t extract_u64(PyObject* obj) {
  unsigned long long value = 0;
  if (PyLong_Check(obj)) {
    value = PyLong_AsUnsignedLongLong(obj);
  } else {
    // PyLong_AsUnsignedLongLong accepts only ints: go through __index__.
    Ref index = Ref::check(PyNumber_Index(obj));
    value = PyLong_AsUnsignedLongLong(index.get());
  }
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) throw_pending();
  return value;
}

std::int32_t extract_i32(PyObject* obj) {
  long value = 0;
  if (PyLong_Check(obj)) {
    value = PyLong_AsLong(obj);
  } else {
    // Before 3.10 PyLong_AsLong would truncate a float; __index__ refuses it.
    Ref index = Ref::check(PyNumber_Index(obj));
    value = PyLong_AsLong(index.get());
  }
  if (value == -1 && PyErr_Occurred() != nullptr) throw_pending();
  if (value < INT32_MIN || value > INT32_MAX) {
    raise(PyExc_OverflowError, "out of range integral type conversion attempted");
  }
  return static_cast<std::int32_t>(value);
}

double extract_f64(PyObject* obj) {
  if (PyFloat_CheckExact(obj)) return PyFloat_AS_DOUBLE(obj);
  double value = PyFloat_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred() != nullptr) throw_pending();
  return value;
}

float extract_f32(PyObject* obj) {
  const double value = extract_f64(obj);
  // Round to nearest like the hardware does, without the undefined behaviour
  // of converting an out-of-range double: beyond FLT_MAX plus half its ulp
  // (2^103) the value rounds to infinity, below it to FLT_MAX.
  if (std::isfinite(value) && std::fabs(value) > static_cast<double>(FLT_MAX)) {
    constexpr double kOverflow = static_cast<double>(FLT_MAX) + 0x1p103;
    const float magnitude = std::fabs(value) >= kOverflow ? HUGE_VALF : FLT_MAX;
    return value < 0 ? -magnitude : magnitude;
  }
  return static_cast<float>(value);
}

std::string extract_string(PyObject* obj) {
  if (!PyUnicode_Check(obj)) raise_conversion_error(obj, "PyString");
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(obj, &size);  // refuses lone surrogates
  if (data == nullptr) throw_pending();
  charge(static_cast<std::uint64_t>(size));
  return std::string(data, static_cast<std::size_t>(size));
}

void over_budget(const BudgetState& budget) {
  // Counting stops once past the limit, so only the limit is known.
  char limit[32];
  std::snprintf(limit, sizeof limit, "%.1f GiB", static_cast<double>(budget.limit) / (1ull << 30));
  raise(PyExc_MemoryError, std::string("argument '") + budget.name +
                               "': its contents would need more than the " + limit +
                               " one call may use");
}

void* suspend_budget() noexcept { return std::exchange(t_budget, nullptr); }

void resume_budget(void* saved) noexcept { t_budget = static_cast<BudgetState*>(saved); }

std::size_t sequence_size_hint(PyObject* obj) {
  if (PyUnicode_Check(obj)) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
  if (PyList_CheckExact(obj)) return static_cast<std::size_t>(PyList_GET_SIZE(obj));
  if (PyTuple_CheckExact(obj)) return static_cast<std::size_t>(PyTuple_GET_SIZE(obj));
  if (PySequence_Check(obj) == 0) raise_conversion_error(obj, "Sequence");
  // Only a hint: a lying __len__ must not make us reserve a huge block up
  // front, and a sequence without a length (TypeError) is still walked. Any
  // other error (KeyboardInterrupt, MemoryError, SystemExit, ...) ends the
  // conversion.
  constexpr Py_ssize_t kMaxHint = 4096;
  const Py_ssize_t size = PySequence_Size(obj);
  if (size < 0) {
    if (PyErr_ExceptionMatches(PyExc_TypeError) == 0) throw_pending();
    PyErr_Clear();
    return 0;
  }
  return static_cast<std::size_t>(std::min(size, kMaxHint));
}

void walk_sequence(PyObject* obj, void (*fn)(void*, PyObject*), void* ctx) {
  if (PyList_CheckExact(obj)) {
    // Same steps as the list iterator: the size is read again each time and
    // the item is held, since converting an item may run code that changes
    // the list.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(obj); ++i) {
      Ref item = Ref::borrow(PyList_GET_ITEM(obj, i));
      fn(ctx, item.get());
    }
    return;
  }
  if (PyTuple_CheckExact(obj)) {  // immutable, and held by whoever holds obj
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(obj); ++i) fn(ctx, PyTuple_GET_ITEM(obj, i));
    return;
  }
  Ref iter = Ref::check(PyObject_GetIter(obj));
  while (Ref item = Ref::steal(PyIter_Next(iter.get()))) fn(ctx, item.get());
  if (PyErr_Occurred() != nullptr) throw_pending();
}

std::size_t dict_size(PyObject* obj) {
  if (!PyDict_Check(obj)) raise_conversion_error(obj, "PyDict");
  return static_cast<std::size_t>(PyDict_GET_SIZE(obj));
}

void walk_dict(PyObject* obj, void (*fn)(void*, PyObject*, PyObject*), void* ctx) {
  // Converting a key or value may run code that changes the dict; walking on
  // would then skip or repeat items, so that is an internal fault.
  const Py_ssize_t size = PyDict_GET_SIZE(obj);
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  for (Py_ssize_t left = size;; --left) {
    if (PyDict_GET_SIZE(obj) != size) corvane::fault("dictionary changed size during iteration");
    const bool more = PyDict_Next(obj, &pos, &key, &value) != 0;
    if (more != (left > 0)) corvane::fault("dictionary keys changed during iteration");
    if (!more) return;
    Ref k = Ref::borrow(key);
    Ref v = Ref::borrow(value);
    fn(ctx, k.get(), v.get());
  }
}

bool plain_sequence(PyObject* obj) noexcept {
  return PyList_CheckExact(obj) || PyTuple_CheckExact(obj);
}

std::uint64_t kept_bytes(PyObject* obj, const RowLimits& limits, std::size_t item_size) {
  if (!plain_sequence(obj)) return 0;
  const Py_ssize_t size = PySequence_Fast_GET_SIZE(obj);
  PyObject** rows = PySequence_Fast_ITEMS(obj);
  const auto kept = static_cast<Py_ssize_t>(
      std::min<std::uint64_t>(static_cast<std::uint64_t>(size), limits.keep_rows));
  std::uint64_t bytes = 0;
  for (Py_ssize_t i = 0; i < kept; ++i) {
    std::uint64_t items = 0;
    if (plain_sequence(rows[i])) {
      items = std::min<std::uint64_t>(static_cast<std::uint64_t>(PySequence_Fast_GET_SIZE(rows[i])),
                                      limits.keep_cols);
    }
    // One row's bytes fit (Python holds its items); the sum over aliased
    // rows need not.
    const std::uint64_t row = sizeof(std::vector<char>) + items * item_size;
    bytes = bytes > UINT64_MAX - row ? UINT64_MAX : bytes + row;
  }
  return bytes;
}

void check_tuple(PyObject* obj, std::size_t length) {
  if (!PyTuple_Check(obj)) raise_conversion_error(obj, "PyTuple");
  const auto got = static_cast<std::size_t>(PyTuple_GET_SIZE(obj));
  if (got != length) {
    raise(PyExc_ValueError, "expected tuple of length " + std::to_string(length) +
                                ", but got tuple of length " + std::to_string(got));
  }
}

}  // namespace corvane::py::detail
