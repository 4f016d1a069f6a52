#include "python/circuit_routing.h"

#include <cstdint>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "python/binding.h"
#include "routing/routing.h"

namespace corvane::py {
namespace {

using routing::CircuitRouting;
using Circuit = std::vector<routing::GateTuple>;
using LayoutList = std::vector<std::vector<std::uint64_t>>;

constexpr auto kNew = signature("CircuitRouting.__new__");
constexpr auto kRoute = signature("CircuitRouting.route", "circuit", "runs", "coupling_map",
                                  "dists", "err_map", "metrics_names", "num_qubits");
constexpr auto kTranspile =
    signature("CircuitRouting.transpile", "circuit", "runs", "inner_its", "its", "shots",
              "layout", "coupling_map", "dists", "err_map", "metrics_names", "num_qubits",
              "max_seconds");

// (gate list, (perm, p2v, v2p)) as Python sees it.
PyObject* result_to_python(const routing::RouteOutput& out) {
  const routing::Layout& l = out.second;
  return to_python(std::make_pair(out.first, std::tie(l.perm, l.p2v, l.v2p)));
}

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

PyObject* route(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    const auto bound = bind(kRoute, args, nargs, kwnames);
    const CircuitRouting& me = kClass.borrow(self);
    const auto [circuit, runs, coupling_map, dists, err_map, metrics_names, num_qubits] =
        convert<Circuit, std::uint64_t, routing::CouplingMap, routing::Dists, routing::ErrMap,
                routing::MetricNames, std::uint64_t>(kRoute, bound);
    const routing::RouteOutput out =
        me.route(circuit, runs, coupling_map, dists, err_map, metrics_names, num_qubits);
    return result_to_python(out);
  });
}

PyObject* transpile(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    const auto bound = bind(kTranspile, args, nargs, kwnames);
    const CircuitRouting& me = kClass.borrow(self);
    const auto [circuit, runs, inner_its, its, shots, layout, coupling_map, dists, err_map,
                metrics_names, num_qubits, max_seconds] =
        convert<Circuit, std::uint64_t, std::uint64_t, std::uint64_t, std::uint64_t, LayoutList,
                routing::CouplingMap, routing::Dists, routing::ErrMap, routing::MetricNames,
                std::uint64_t, std::uint64_t>(kTranspile, bound);
    // Every fault of the search, a worker's included, is "Panic error".
    const routing::RouteOutput out = catch_faults<FaultAsRuntimeError>([&] {
      return me.transpile(circuit, runs, inner_its, its, shots, layout, coupling_map, dists,
                          err_map, metrics_names, num_qubits, max_seconds);
    });
    return result_to_python(out);
  });
}

}  // namespace

PyTypeObject* circuit_routing_type() { return kClass.type(); }

}  // namespace corvane::py
