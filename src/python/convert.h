// Conversions between Python values and C++ values.
//
// extract<T>(obj) converts a borrowed Python object into a T, or throws
// ErrorAlreadySet with the Python error set. Supported T, nested freely:
//   std::uint64_t / std::size_t   int or anything with __index__; float is
//                                 refused (TypeError), a negative or too large
//                                 value raises OverflowError
//   std::int32_t                  the same, read as a C long; a value beyond
//                                 32 bits raises OverflowError "out of range
//                                 integral type conversion attempted"
//   double, float                 float, or what float() accepts through
//                                 __float__ / __index__; float is the double
//                                 rounded to nearest
//   std::string                   str only (UTF-8); else TypeError
//                                 "'X' object cannot be converted to 'PyString'"
//   std::vector<T>                any sequence but a str: TypeError "Can't
//                                 extract `str` to `Vec`"; a non-sequence:
//                                 "'X' object cannot be converted to 'Sequence'"
//   std::pair<A, B>,              a tuple (or subclass) of exactly that length:
//   std::tuple<Ts...>             "'X' object cannot be converted to 'PyTuple'"
//                                 or ValueError "expected tuple of length 2,
//                                 but got tuple of length 3"
//   std::unordered_map<K, V, H>   a dict (or subclass): "'X' object cannot be
//                                 converted to 'PyDict'"; each key is converted,
//                                 then its value; a later equal key replaces
//                                 the earlier value
// 'X' is the __qualname__ of the object's type. The first failing item ends
// the conversion; everything converted so far is released.
//
// to_python(value) is the other way round and returns a new reference (or
// throws ErrorAlreadySet): integers -> int, bool -> bool, double -> float,
// std::string / std::string_view -> str, std::vector -> list, std::pair /
// std::tuple -> tuple, nested freely.
#pragma once

#include <algorithm>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "python/errors.h"

namespace corvane::py {

// --- Python -> C++ ---------------------------------------------------------

template <class T>
struct FromPython;  // specialised below; an unsupported T does not compile

template <class T>
T extract(PyObject* obj) {
  return FromPython<T>::extract(obj);
}

namespace detail {
std::uint64_t extract_u64(PyObject* obj);
std::int32_t extract_i32(PyObject* obj);
double extract_f64(PyObject* obj);
float extract_f32(PyObject* obj);
std::string extract_string(PyObject* obj);

// Refuses a str or a non-sequence; returns how many items to reserve room for.
std::size_t sequence_size_hint(PyObject* obj);
// Calls fn(ctx, item) for each item of a sequence accepted above, in order.
// The item is held for the length of the call.
void walk_sequence(PyObject* obj, void (*fn)(void* ctx, PyObject* item), void* ctx);

// Refuses a non-dict; returns its size.
std::size_t dict_size(PyObject* obj);
// Calls fn(ctx, key, value) for each item. A dict resized or rekeyed
// meanwhile (by code the conversion ran) is an internal fault.
void walk_dict(PyObject* obj, void (*fn)(void* ctx, PyObject* key, PyObject* value), void* ctx);

// Refuses anything but a tuple of `length` items.
void check_tuple(PyObject* obj, std::size_t length);

// Whether reading obj's items runs no Python code (an exact list or tuple).
bool plain_sequence(PyObject* obj) noexcept;

// The byte budget of the conversions in progress on this thread (see
// ConversionBudget in args.h); null when there is none.
struct BudgetState {
  const char* name;     // the argument being converted, for the message
  std::uint64_t used;
  std::uint64_t limit;
};
inline thread_local BudgetState* t_budget = nullptr;

// MemoryError "argument '<name>': its contents would need more than the
// 3.9 GiB one call may use".
[[noreturn]] void over_budget(const BudgetState& budget);

// Charges the bytes of a value being made to the budget in force, if any:
// MemoryError naming the argument once they would go over.
inline void charge(std::uint64_t bytes) {
  BudgetState* b = t_budget;
  if (b == nullptr) return;
  if (bytes > b->limit - b->used) over_budget(*b);
  b->used += bytes;
}

inline std::uint64_t add_saturating(std::uint64_t a, std::uint64_t b) noexcept {
  return a > UINT64_MAX - b ? UINT64_MAX : a + b;
}
}  // namespace detail

// FromPython<T>::plain_bytes(obj, limit): the bytes that extract<T>(obj) will
// make, as far as they can be told without running Python code (the lists,
// tuples, dicts and strs in it, each counted as often as it is held); at
// least that much. May stop counting once the sum is past `limit`.

template <class T>
  requires(std::unsigned_integral<T> && sizeof(T) == 8)
struct FromPython<T> {
  static T extract(PyObject* obj) { return static_cast<T>(detail::extract_u64(obj)); }
  static std::uint64_t plain_bytes(PyObject*, std::uint64_t) { return 0; }
};

template <>
struct FromPython<std::int32_t> {
  static std::int32_t extract(PyObject* obj) { return detail::extract_i32(obj); }
  static std::uint64_t plain_bytes(PyObject*, std::uint64_t) { return 0; }
};

template <>
struct FromPython<double> {
  static double extract(PyObject* obj) { return detail::extract_f64(obj); }
  static std::uint64_t plain_bytes(PyObject*, std::uint64_t) { return 0; }
};

template <>
struct FromPython<float> {
  static float extract(PyObject* obj) { return detail::extract_f32(obj); }
  static std::uint64_t plain_bytes(PyObject*, std::uint64_t) { return 0; }
};

template <>
struct FromPython<std::string> {
  static std::string extract(PyObject* obj) { return detail::extract_string(obj); }
  static std::uint64_t plain_bytes(PyObject* obj, std::uint64_t) {
    // Code points: no more than the UTF-8 bytes.
    return PyUnicode_Check(obj) ? static_cast<std::uint64_t>(PyUnicode_GetLength(obj)) : 0;
  }
};

template <class T, class Alloc>
struct FromPython<std::vector<T, Alloc>> {
  using Vec = std::vector<T, Alloc>;
  static Vec extract(PyObject* obj) {
    Vec out;
    out.reserve(detail::sequence_size_hint(obj));
    detail::walk_sequence(
        obj,
        [](void* ctx, PyObject* item) {
          detail::charge(sizeof(T));
          static_cast<Vec*>(ctx)->push_back(py::extract<T>(item));
        },
        &out);
    return out;
  }
  static std::uint64_t plain_bytes(PyObject* obj, std::uint64_t limit) {
    if (!detail::plain_sequence(obj)) return 0;
    const auto size = static_cast<std::uint64_t>(PySequence_Fast_GET_SIZE(obj));
    std::uint64_t bytes = size > UINT64_MAX / sizeof(T) ? UINT64_MAX : size * sizeof(T);
    if constexpr (!std::is_arithmetic_v<T>) {
      PyObject** items = PySequence_Fast_ITEMS(obj);
      for (std::uint64_t i = 0; i < size && bytes <= limit; ++i) {
        bytes = detail::add_saturating(bytes, FromPython<T>::plain_bytes(items[i], limit - bytes));
      }
    }
    return bytes;
  }
};

template <class... Ts>
struct FromPython<std::tuple<Ts...>> {
  static std::tuple<Ts...> extract(PyObject* obj) {
    detail::check_tuple(obj, sizeof...(Ts));
    return items(obj, std::index_sequence_for<Ts...>{});
  }
  template <std::size_t... Is>
  static std::tuple<Ts...> items(PyObject* obj, std::index_sequence<Is...>) {
    // Braced initialisation converts the items left to right.
    return std::tuple<Ts...>{py::extract<Ts>(PyTuple_GET_ITEM(obj, Is))...};
  }
  static std::uint64_t plain_bytes(PyObject* obj, std::uint64_t limit) {
    if (!PyTuple_Check(obj) || PyTuple_GET_SIZE(obj) != sizeof...(Ts)) return 0;
    return sum(obj, limit, std::index_sequence_for<Ts...>{});
  }
  template <std::size_t... Is>
  static std::uint64_t sum(PyObject* obj, std::uint64_t limit, std::index_sequence<Is...>) {
    std::uint64_t bytes = 0;
    ((bytes = bytes > limit ? bytes
                            : detail::add_saturating(bytes, FromPython<Ts>::plain_bytes(
                                                                PyTuple_GET_ITEM(obj, Is), limit - bytes))),
     ...);
    return bytes;
  }
};

template <class A, class B>
struct FromPython<std::pair<A, B>> {
  static std::pair<A, B> extract(PyObject* obj) {
    detail::check_tuple(obj, 2);
    A first = py::extract<A>(PyTuple_GET_ITEM(obj, 0));
    B second = py::extract<B>(PyTuple_GET_ITEM(obj, 1));
    return {std::move(first), std::move(second)};
  }
  static std::uint64_t plain_bytes(PyObject* obj, std::uint64_t limit) {
    return FromPython<std::tuple<A, B>>::plain_bytes(obj, limit);
  }
};

template <class K, class V, class Hash, class Eq, class Alloc>
struct FromPython<std::unordered_map<K, V, Hash, Eq, Alloc>> {
  using Map = std::unordered_map<K, V, Hash, Eq, Alloc>;
  static Map extract(PyObject* obj) {
    Map out;
    out.reserve(detail::dict_size(obj));
    detail::walk_dict(
        obj,
        [](void* ctx, PyObject* key, PyObject* value) {
          K k = py::extract<K>(key);
          V v = py::extract<V>(value);
          detail::charge(kEntryBytes);
          static_cast<Map*>(ctx)->insert_or_assign(std::move(k), std::move(v));
        },
        &out);
    return out;
  }
  // An entry's node, its link and hash, and about one bucket.
  static constexpr std::uint64_t kEntryBytes = sizeof(typename Map::value_type) + 3 * sizeof(void*);
  static std::uint64_t plain_bytes(PyObject* obj, std::uint64_t limit) {
    if (!PyDict_Check(obj)) return 0;
    std::uint64_t bytes = 0;
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (bytes <= limit && PyDict_Next(obj, &pos, &key, &value) != 0) {
      bytes = detail::add_saturating(bytes, kEntryBytes);
      if (bytes > limit) break;
      bytes = detail::add_saturating(bytes, FromPython<K>::plain_bytes(key, limit - bytes));
      if (bytes > limit) break;
      bytes = detail::add_saturating(bytes, FromPython<V>::plain_bytes(value, limit - bytes));
    }
    return bytes;
  }
};

// --- Rows of a matrix, kept as far as they are read -------------------------

// What extract_rows keeps of a sequence of sequences.
struct RowLimits {
  const char* name = "";                                   // the argument, for messages
  std::size_t keep_rows = static_cast<std::size_t>(-1);    // later rows: checked, not kept
  std::size_t keep_cols = static_cast<std::size_t>(-1);    // later items of a row: likewise
  std::uint64_t budget = static_cast<std::uint64_t>(-1);   // bytes the kept rows may take
};

namespace detail {
// Bytes the kept part of obj's rows will take, counting only the rows whose
// length can be read without running Python code.
std::uint64_t kept_bytes(PyObject* obj, const RowLimits& limits, std::size_t item_size);
}  // namespace detail

// A sequence of rows, each converted as std::vector<T> would be, of which only
// the first keep_rows rows and their first keep_cols items are kept. Every
// item is still converted, so the errors are those of converting the whole;
// but a row that is the very object of an earlier row is converted once as
// long as converting has run no Python code (lists or tuples of exact ints),
// so a small object whose rows alias each other cannot cost time or memory
// by the size it pretends. Kept rows that would take more than the budget
// raise MemoryError naming the argument, before they are allocated.
template <class T>
std::vector<std::vector<T>> extract_rows(PyObject* obj, const RowLimits& limits) {
  using Row = std::vector<T>;
  constexpr std::uint64_t kRowBytes = sizeof(Row);
  struct Rows {
    const RowLimits* limits = nullptr;
    std::vector<Row> out;
    std::size_t index = 0;
    std::uint64_t bytes = 0;
    bool plain = true;  // no Python code has run: rows seen so far are unchanged
    std::unordered_map<PyObject*, std::size_t> seen;

    void charge(std::uint64_t more) {
      bytes += more;
      if (bytes > limits->budget) raise_too_large(limits->name, "its rows", bytes, limits->budget);
    }
  };
  struct Items {
    Row* out;
    std::size_t keep;
    bool plain;
  };
  const std::size_t hint = detail::sequence_size_hint(obj);
  const std::uint64_t need = detail::kept_bytes(obj, limits, sizeof(T));
  if (need > limits.budget) raise_too_large(limits.name, "its rows", need, limits.budget);
  Rows rows;
  rows.limits = &limits;
  rows.out.reserve(std::min(hint, limits.keep_rows));
  rows.plain = detail::plain_sequence(obj);
  detail::walk_sequence(
      obj,
      [](void* ctx, PyObject* row) {
        auto& r = *static_cast<Rows*>(ctx);
        const std::size_t i = r.index++;
        const bool keep = i < r.limits->keep_rows;
        if (r.plain) {
          if (auto it = r.seen.find(row); it != r.seen.end()) {
            if (keep) {  // the earlier row came first, so it was kept too
              const Row& same = r.out[it->second];
              r.charge(kRowBytes + same.size() * sizeof(T));
              r.out.push_back(same);
            }
            return;
          }
        }
        Row converted;
        Items items{&converted, keep ? r.limits->keep_cols : 0, detail::plain_sequence(row)};
        converted.reserve(std::min(detail::sequence_size_hint(row), items.keep));
        detail::walk_sequence(
            row,
            [](void* ctx2, PyObject* item) {
              auto& it = *static_cast<Items*>(ctx2);
              T value = py::extract<T>(item);
              it.plain = it.plain && PyLong_CheckExact(item);
              if (it.out->size() < it.keep) it.out->push_back(std::move(value));
            },
            &items);
        if (!items.plain) {
          r.plain = false;
          r.seen.clear();
        }
        if (keep) {
          r.charge(kRowBytes + converted.size() * sizeof(T));
          r.out.push_back(std::move(converted));
        }
        if (r.plain) r.seen.emplace(row, i);
      },
      &rows);
  return std::move(rows.out);
}

// --- C++ -> Python ---------------------------------------------------------

template <class T>
struct ToPython;  // specialised below

// A new reference to the Python form of value; throws ErrorAlreadySet.
template <class T>
PyObject* to_python(const T& value) {
  return ToPython<T>::convert(value);
}

namespace detail {
// Checks a CPython constructor's result.
inline PyObject* made(PyObject* p) {
  if (p == nullptr) throw_pending();
  return p;
}
}  // namespace detail

template <>
struct ToPython<bool> {
  static PyObject* convert(bool v) { return detail::made(PyBool_FromLong(v ? 1 : 0)); }
};

template <std::unsigned_integral T>
  requires(!std::same_as<T, bool>)
struct ToPython<T> {
  static PyObject* convert(T v) {
    return detail::made(PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(v)));
  }
};

template <std::signed_integral T>
struct ToPython<T> {
  static PyObject* convert(T v) { return detail::made(PyLong_FromLongLong(static_cast<long long>(v))); }
};

template <>
struct ToPython<double> {
  static PyObject* convert(double v) { return detail::made(PyFloat_FromDouble(v)); }
};

template <>
struct ToPython<std::string_view> {
  static PyObject* convert(std::string_view v) {
    return detail::made(PyUnicode_FromStringAndSize(v.data(), static_cast<Py_ssize_t>(v.size())));
  }
};

template <>
struct ToPython<std::string> {
  static PyObject* convert(const std::string& v) { return ToPython<std::string_view>::convert(v); }
};

template <class T, class Alloc>
  requires(!std::same_as<T, bool>)  // vector<bool> has no element references
struct ToPython<std::vector<T, Alloc>> {
  static PyObject* convert(const std::vector<T, Alloc>& v) {
    Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(v.size())));
    Py_ssize_t i = 0;
    for (const T& item : v) PyList_SET_ITEM(list.get(), i++, to_python(item));  // steals
    return list.release();
  }
};

namespace detail {
template <class Tuple, std::size_t... Is>
PyObject* tuple_to_python(const Tuple& t, std::index_sequence<Is...>) {
  Ref tuple = Ref::check(PyTuple_New(static_cast<Py_ssize_t>(sizeof...(Is))));
  // An empty slot left by a failure is fine: tuple_dealloc skips nulls.
  (PyTuple_SET_ITEM(tuple.get(), Is, to_python(std::get<Is>(t))), ...);
  return tuple.release();
}
}  // namespace detail

template <class A, class B>
struct ToPython<std::pair<A, B>> {
  static PyObject* convert(const std::pair<A, B>& v) {
    return detail::tuple_to_python(v, std::make_index_sequence<2>{});
  }
};

template <class... Ts>
struct ToPython<std::tuple<Ts...>> {
  static PyObject* convert(const std::tuple<Ts...>& v) {
    return detail::tuple_to_python(v, std::index_sequence_for<Ts...>{});
  }
};

}  // namespace corvane::py
