#include "python/permutation_synthesis.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "permutation/synthesis.h"
#include "python/binding.h"
#include "routing/budget.h"

namespace corvane::py {
namespace {

struct PermutationSynthesis {
  models::PermModels models;
};

using Data = std::vector<std::uint64_t>;

constexpr auto kNew = signature("PermutationSynthesis.__new__", "model_info", "cmap",
                                "valid_perms", "models_path");
constexpr auto kSynthesize = signature("PermutationSynthesis.synthesize", "model_id", "data");
constexpr auto kRun = signature("PermutationSynthesis.run", "model_id", "num_runs", "data");

PyObject* new_permutation_synthesis(PyTypeObject* subtype, PyObject* args, PyObject* kwargs);
PyObject* synthesize(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* run(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

PyMethodDef kMethods[] = {
    {"synthesize", method_cast(&synthesize), METH_FASTCALL | METH_KEYWORDS,
     "synthesize($self, model_id, data)\n--\n\n"},
    {"run", method_cast(&run), METH_FASTCALL | METH_KEYWORDS,
     "run($self, model_id, num_runs, data)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr}};

constinit PyClass<PermutationSynthesis> kClass(
    {.name = "PermutationSynthesis",
     .doc = "PermutationSynthesis(model_info, cmap, valid_perms, models_path)\n--\n\n",
     .methods = kMethods,
     .tp_new = &new_permutation_synthesis});

PyObject* new_permutation_synthesis(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
  return guard([&] {
    const auto bound = bind(kNew, args, kwargs);
    // The records hold up to three times what is converted (a copy, and the
    // inverse of each permutation); in signature order, the first failure
    // ends the call.
    ConversionBudget budget(routing::memory_budget() / 3);
    const auto& p = kNew.params;
    auto model_info = budget.convert<std::vector<models::ModelDescription>>(p[0], bound[0]);
    auto cmap = budget.convert<models::ByName<models::Edges>>(p[1], bound[1]);
    auto valid_perms = budget.convert<models::ByName<models::Perms>>(p[2], bound[2]);
    auto models_path = budget.convert<std::string>(p[3], bound[3]);
    models::PermModels models = models::get_perm_models_from_python(
        std::move(model_info), std::move(cmap), std::move(valid_perms), std::move(models_path));
    return kClass.create(subtype, PermutationSynthesis{std::move(models)});
  });
}

PyObject* synthesize(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    const auto bound = bind(kSynthesize, args, nargs, kwnames);
    const PermutationSynthesis& me = kClass.borrow(self);
    auto [model_id, data] = convert<std::string, Data>(kSynthesize, bound);
    return result_or_raise(
        permutation::synthesize(me.models, model_id, std::move(data), rng::thread_rng()));
  });
}

PyObject* run(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    const auto bound = bind(kRun, args, nargs, kwnames);
    const PermutationSynthesis& me = kClass.borrow(self);
    const auto [model_id, num_runs, data] = convert<std::string, std::uint64_t, Data>(kRun, bound);
    return result_or_raise(
        permutation::run(me.models, model_id, num_runs, data, rng::thread_rng()));
  });
}

}  // namespace

PyTypeObject* permutation_synthesis_type() { return kClass.type(); }

}  // namespace corvane::py
