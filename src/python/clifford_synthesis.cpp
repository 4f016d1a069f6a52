#include "python/clifford_synthesis.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "clifford/synthesis.h"
#include "python/binding.h"
#include "routing/budget.h"

namespace corvane::py {
namespace {

struct CliffordSynthesis {
  models::CliffordModels models;
};

using Codes = std::vector<std::uint64_t>;

constexpr auto kNew = signature("CliffordSynthesis.__new__", "model_info", "act_gates",
                                "valid_perms", "act_perms", "models_path");
constexpr auto kSynthesize = signature("CliffordSynthesis.synthesize", "model_id", "circuit");
constexpr auto kRun = signature("CliffordSynthesis.run", "model_id", "num_runs", "circuit");

PyObject* new_clifford_synthesis(PyTypeObject* subtype, PyObject* args, PyObject* kwargs);
PyObject* synthesize(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* run(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

PyMethodDef kMethods[] = {
    {"synthesize", method_cast(&synthesize), METH_FASTCALL | METH_KEYWORDS,
     "synthesize($self, model_id, circuit)\n--\n\n"},
    {"run", method_cast(&run), METH_FASTCALL | METH_KEYWORDS,
     "run($self, model_id, num_runs, circuit)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr}};

constinit PyClass<CliffordSynthesis> kClass(
    {.name = "CliffordSynthesis",
     .doc = "CliffordSynthesis(model_info, act_gates, valid_perms, act_perms, models_path)\n--\n\n",
     .methods = kMethods,
     .tp_new = &new_clifford_synthesis});

PyObject* new_clifford_synthesis(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
  return guard([&] {
    const auto bound = bind(kNew, args, kwargs);
    // The records hold up to twice what is converted (copies); in signature
    // order, the first failure ends the call.
    ConversionBudget budget(routing::memory_budget() / 2);
    const auto& p = kNew.params;
    auto model_info = budget.convert<std::vector<models::ModelDescription>>(p[0], bound[0]);
    auto act_gates = budget.convert<models::ByName<models::ActGates>>(p[1], bound[1]);
    auto valid_perms = budget.convert<models::ByName<models::Perms>>(p[2], bound[2]);
    auto act_perms = budget.convert<models::ByName<models::Perms>>(p[3], bound[3]);
    auto models_path = budget.convert<std::string>(p[4], bound[4]);
    models::CliffordModels models = models::get_clifford_models_from_python(
        std::move(model_info), std::move(act_gates), std::move(valid_perms), std::move(act_perms),
        std::move(models_path));
    return kClass.create(subtype, CliffordSynthesis{std::move(models)});
  });
}

PyObject* synthesize(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    const auto bound = bind(kSynthesize, args, nargs, kwnames);
    const CliffordSynthesis& me = kClass.borrow(self);
    auto [model_id, circuit] = convert<std::string, Codes>(kSynthesize, bound);
    return result_or_raise(
        clifford::synthesize(me.models, model_id, std::move(circuit), rng::thread_rng()));
  });
}

PyObject* run(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    const auto bound = bind(kRun, args, nargs, kwnames);
    const CliffordSynthesis& me = kClass.borrow(self);
    const auto [model_id, num_runs, circuit] = convert<std::string, std::uint64_t, Codes>(kRun, bound);
    return result_or_raise(
        clifford::run(me.models, model_id, num_runs, circuit, rng::thread_rng()));
  });
}

}  // namespace

PyTypeObject* clifford_synthesis_type() { return kClass.type(); }

}  // namespace corvane::py
