#include "python/circuit_routing.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "python/binding.h"
#include "routing/budget.h"
#include "routing/routing.h"

namespace corvane::py {
namespace {

using routing::CircuitRouting;
using Circuit = std::vector<routing::GateTuple>;

constexpr auto kNew = signature("CircuitRouting.__new__");
constexpr auto kRoute = signature("CircuitRouting.route", "circuit", "runs", "coupling_map",
                                  "dists", "err_map", "metrics_names", "num_qubits");
constexpr auto kTranspile =
    signature("CircuitRouting.transpile", "circuit", "runs", "inner_its", "its", "shots",
              "layout", "coupling_map", "dists", "err_map", "metrics_names", "num_qubits",
              "max_seconds");

// Python ints for 0..size-1, each made once per result: a routed circuit
// names the same few qubits and codes tens of thousands of times, and a
// lookup costs less than a call per item even where the interpreter shares
// its small ints.
class IntTable {
 public:
  IntTable() = default;
  IntTable(const IntTable&) = delete;
  IntTable& operator=(const IntTable&) = delete;
  ~IntTable() {
    for (std::size_t v = 0; v < made_; ++v) Py_DECREF(ints_[v]);
    PyMem_Free(ints_);
  }

  void fill(std::size_t size) {
    ints_ = PyMem_New(PyObject*, size);
    if (ints_ == nullptr) {
      PyErr_NoMemory();
      throw_pending();
    }
    for (; made_ < size; ++made_) {
      ints_[made_] = PyLong_FromSize_t(made_);
      if (ints_[made_] == nullptr) throw_pending();
    }
  }

  // A new reference to the int v; null with MemoryError pending on failure.
  PyObject* get(std::uint64_t v) const noexcept {
    if (v < made_) {
      Py_INCREF(ints_[v]);
      return ints_[v];
    }
    return PyLong_FromUnsignedLongLong(v);
  }

 private:
  PyObject** ints_ = nullptr;
  std::size_t made_ = 0;
};

// Puts `item` (a new reference, or null after a failed call) in slot i of a
// fresh tuple, which owns it from then on.
inline void set_tuple_item(PyObject* tuple, Py_ssize_t i, PyObject* item) {
  if (item == nullptr) throw_pending();
  PyTuple_SET_ITEM(tuple, i, item);
}

PyObject* ints_to_list(const std::vector<std::size_t>& values, const IntTable& ints) {
  Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(values.size())));
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyObject* item = ints.get(values[i]);
    if (item == nullptr) throw_pending();  // the unset slots are null, which list_dealloc skips
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

}  // namespace

PyObject* routed_to_python(const routing::RouteOutput& out) {
  const std::vector<routing::GateTuple>& gates = out.first;
  const routing::Layout& l = out.second;
  // The result makes two tuples a gate, and every few hundred the cyclic
  // collector would walk all that is tracked; none of them can be part of a
  // cycle, so it waits.
#if PY_VERSION_HEX >= 0x030A0000
  struct PauseCollector {
    int was_enabled = PyGC_Disable();
    ~PauseCollector() {
      if (was_enabled) PyGC_Enable();
    }
  } pause;
#endif
  // The table stops at the largest value, and is never longer than the
  // number of ints the result holds.
  std::uint64_t top = 0;
  for (const auto& [code, qubits] : gates) top = std::max({top, code, qubits.first, qubits.second});
  for (const auto* layout : {&l.perm, &l.p2v, &l.v2p})
    for (const std::size_t v : *layout) top = std::max<std::uint64_t>(top, v);
  const std::uint64_t count =
      3 * std::uint64_t{gates.size()} + l.perm.size() + l.p2v.size() + l.v2p.size();
  IntTable ints;
  if (count > 0) ints.fill(static_cast<std::size_t>(std::min(top, count - 1) + 1));

  Ref result = Ref::check(PyTuple_New(2));
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(gates.size()));
  set_tuple_item(result.get(), 0, list);
  // Each item goes into its container as soon as it is made, so a failure
  // part way leaves only null slots, which deallocation skips.
  for (std::size_t i = 0; i < gates.size(); ++i) {
    const auto& [code, qubits] = gates[i];
    PyObject* gate = PyTuple_New(2);
    if (gate == nullptr) throw_pending();
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), gate);
    set_tuple_item(gate, 0, ints.get(code));
    PyObject* pair = PyTuple_New(2);
    set_tuple_item(gate, 1, pair);
    set_tuple_item(pair, 0, ints.get(qubits.first));
    set_tuple_item(pair, 1, ints.get(qubits.second));
  }
  PyObject* layouts = PyTuple_New(3);
  set_tuple_item(result.get(), 1, layouts);
  set_tuple_item(layouts, 0, ints_to_list(l.perm, ints));
  set_tuple_item(layouts, 1, ints_to_list(l.p2v, ints));
  set_tuple_item(layouts, 2, ints_to_list(l.v2p, ints));
  return result.release();
}

namespace {

PyObject* new_circuit_routing(PyTypeObject* subtype, PyObject* args, PyObject* kwargs);
PyObject* route(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* transpile(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* get_dists_max_value(PyObject*, PyObject*);

PyMethodDef kMethods[] = {
    {"get_dists_max_value", method_cast(&get_dists_max_value), METH_NOARGS | METH_STATIC,
     "get_dists_max_value()\n--\n\n"},
    {"route", method_cast(&route), METH_FASTCALL | METH_KEYWORDS,
     "route($self, circuit, runs, coupling_map, dists, err_map, metrics_names, num_qubits)\n--\n\n"},
    {"transpile", method_cast(&transpile), METH_FASTCALL | METH_KEYWORDS,
     "transpile($self, circuit, runs, inner_its, its, shots, layout, coupling_map, dists, "
     "err_map, metrics_names, num_qubits, max_seconds)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr}};

constinit PyClass<CircuitRouting> kClass({.name = "CircuitRouting",
                                          .doc = "CircuitRouting()\n--\n\n",
                                          .methods = kMethods,
                                          .tp_new = &new_circuit_routing});

PyObject* new_circuit_routing(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
  return guard([&] {
    (void)bind(kNew, args, kwargs);
    return kClass.create(subtype, CircuitRouting{});
  });
}

PyObject* get_dists_max_value(PyObject*, PyObject*) {
  return guard([] { return to_python(routing::DISTS_MAX_VALUE); });
}

// num_qubits read ahead of its turn, when it is an int: what is kept of dists
// depends on it. Reading an int runs no Python code; a value that does not
// convert gives no bound here and fails in its own turn.
std::uint64_t qubits_bound(PyObject* num_qubits) {
  if (!PyLong_Check(num_qubits)) return UINT64_MAX;
  const unsigned long long n = PyLong_AsUnsignedLongLong(num_qubits);
  if (n == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
    PyErr_Clear();
    return UINT64_MAX;
  }
  return n;
}

// Distances between qubits at or beyond num_qubits are never read: they are
// checked but not kept.
routing::Dists convert_dists(const char* name, PyObject* dists, std::uint64_t n,
                             std::uint64_t budget) {
  const auto keep = static_cast<std::size_t>(std::min<std::uint64_t>(n, SIZE_MAX));
  return convert_arg_with(name, [&] {
    return extract_rows<std::int32_t>(dists, RowLimits{name, keep, keep, budget});
  });
}

// The length of a list or tuple (0 for anything else): what a circuit will
// cost can be told before it is converted.
std::uint64_t plain_length(PyObject* obj) {
  return detail::plain_sequence(obj) ? static_cast<std::uint64_t>(PySequence_Fast_GET_SIZE(obj)) : 0;
}

// Refuses a call whose routing would need more memory than a call may use,
// naming the argument that asks for most of it.
void check_call_memory(std::uint64_t gates, std::uint64_t edges, std::uint64_t n,
                       std::uint64_t budget) {
  const std::uint64_t need = routing::worker_memory(gates, edges, n) +
                             std::min(routing::result_memory(gates, n), UINT64_MAX / 2);
  if (need <= budget) return;
  const std::uint64_t by_qubits = routing::worker_memory(0, 0, n);
  const std::uint64_t by_gates = routing::worker_memory(gates, 0, 0);
  const std::uint64_t by_edges = routing::worker_memory(0, edges, 0);
  if (by_qubits >= by_gates && by_qubits >= by_edges)
    raise_too_large("num_qubits", "routing " + std::to_string(n) + " qubits", need, budget);
  if (by_gates >= by_edges)
    raise_too_large("circuit", "routing " + std::to_string(gates) + " gates", need, budget);
  raise_too_large("coupling_map", "routing with " + std::to_string(edges) + " couplers", need,
                  budget);
}

PyObject* route(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    const auto bound = bind(kRoute, args, nargs, kwnames);
    const CircuitRouting& me = kClass.borrow(self);
    const std::uint64_t budget = routing::memory_budget();
    const auto& p = kRoute.params;
    // In signature order; the first failure ends the call.
    check_call_memory(plain_length(bound[0]), 0, 0, budget);
    const auto circuit = convert_arg<Circuit>(p[0], bound[0]);
    const auto runs = convert_arg<std::uint64_t>(p[1], bound[1]);
    const auto coupling_map = convert_arg<routing::CouplingMap>(p[2], bound[2]);
    const auto dists = convert_dists(p[3], bound[3], qubits_bound(bound[6]), budget);
    const auto err_map = convert_arg<routing::ErrMap>(p[4], bound[4]);
    const auto metrics_names = convert_arg<routing::MetricNames>(p[5], bound[5]);
    const auto num_qubits = convert_arg<std::uint64_t>(p[6], bound[6]);
    check_call_memory(circuit.size(), coupling_map.size(), num_qubits, budget);
    const routing::RouteOutput out =
        me.route(circuit, runs, coupling_map, dists, err_map, metrics_names, num_qubits);
    return routed_to_python(out);
  });
}

PyObject* transpile(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    const auto bound = bind(kTranspile, args, nargs, kwnames);
    const CircuitRouting& me = kClass.borrow(self);
    const std::uint64_t budget = routing::memory_budget();
    const auto& p = kTranspile.params;
    // In signature order; the first failure ends the call.
    check_call_memory(plain_length(bound[0]), 0, 0, budget);
    const auto circuit = convert_arg<Circuit>(p[0], bound[0]);
    const auto runs = convert_arg<std::uint64_t>(p[1], bound[1]);
    const auto inner_its = convert_arg<std::uint64_t>(p[2], bound[2]);
    const auto its = convert_arg<std::uint64_t>(p[3], bound[3]);
    const auto shots = convert_arg<std::uint64_t>(p[4], bound[4]);
    // Layouts beyond the shots are never read, nor the entries of a layout
    // beyond both num_qubits and the circuit's qubits: checked, not kept.
    std::uint64_t qubits = qubits_bound(bound[10]);
    for (const auto& gate : circuit)
      for (const std::uint64_t q : {gate.second.first, gate.second.second})
        qubits = std::max(qubits, q == UINT64_MAX ? q : q + 1);
    const auto keep_layouts = static_cast<std::size_t>(std::min<std::uint64_t>(shots, SIZE_MAX));
    const auto keep_entries = static_cast<std::size_t>(std::min<std::uint64_t>(qubits, SIZE_MAX));
    const auto layout = convert_arg_with(p[5], [&] {
      return extract_rows<std::uint64_t>(bound[5],
                                         RowLimits{p[5], keep_layouts, keep_entries, budget});
    });
    const auto coupling_map = convert_arg<routing::CouplingMap>(p[6], bound[6]);
    const auto dists = convert_dists(p[7], bound[7], qubits_bound(bound[10]), budget);
    const auto err_map = convert_arg<routing::ErrMap>(p[8], bound[8]);
    const auto metrics_names = convert_arg<routing::MetricNames>(p[9], bound[9]);
    const auto num_qubits = convert_arg<std::uint64_t>(p[10], bound[10]);
    const auto max_seconds = convert_arg<std::uint64_t>(p[11], bound[11]);
    check_call_memory(circuit.size(), coupling_map.size(), num_qubits, budget);
    // Every fault of the search, a worker's included, is "Panic error".
    const routing::RouteOutput out = catch_faults<FaultAsRuntimeError>([&] {
      return me.transpile(circuit, runs, inner_its, its, shots, layout, coupling_map, dists,
                          err_map, metrics_names, num_qubits, max_seconds);
    });
    return routed_to_python(out);
  });
}

}  // namespace

PyTypeObject* circuit_routing_type() { return kClass.type(); }

}  // namespace corvane::py
