#include "python/linear_function_synthesis.h"

#include <cstdint>
#include <utility>
#include <vector>

#include "linear_function/models.h"
#include "linear_function/synthesis.h"
#include "python/binding.h"

namespace corvane::py {
namespace {

struct LinearFunctionSynthesis {
  std::vector<models::LinearFunctionNet> models;
};

using Matrix = std::vector<float>;

constexpr auto kNew = signature("LinearFunctionSynthesis.__new__");
constexpr auto kSynthesize = signature("LinearFunctionSynthesis.synthesize", "model_id", "data");
constexpr auto kRun = signature("LinearFunctionSynthesis.run", "model_id", "num_runs", "data");

PyObject* new_linear_function_synthesis(PyTypeObject* subtype, PyObject* args, PyObject* kwargs);
PyObject* synthesize(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* run(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

PyMethodDef kMethods[] = {
    {"synthesize", method_cast(&synthesize), METH_FASTCALL | METH_KEYWORDS,
     "synthesize($self, model_id, data)\n--\n\n"},
    {"run", method_cast(&run), METH_FASTCALL | METH_KEYWORDS,
     "run($self, model_id, num_runs, data)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr}};

constinit PyClass<LinearFunctionSynthesis> kClass({.name = "LinearFunctionSynthesis",
                                                   .doc = "LinearFunctionSynthesis()\n--\n\n",
                                                   .methods = kMethods,
                                                   .tp_new = &new_linear_function_synthesis});

PyObject* new_linear_function_synthesis(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
  return guard([&] {
    (void)bind(kNew, args, kwargs);
    return kClass.create(subtype, LinearFunctionSynthesis{linear_function::load_networks()});
  });
}

PyObject* synthesize(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    const auto bound = bind(kSynthesize, args, nargs, kwnames);
    const LinearFunctionSynthesis& me = kClass.borrow(self);
    auto [model_id, data] = convert<std::uint64_t, Matrix>(kSynthesize, bound);
    return result_or_raise(
        linear_function::synthesize(me.models, model_id, std::move(data), rng::thread_rng()));
  });
}

PyObject* run(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    const auto bound = bind(kRun, args, nargs, kwnames);
    const LinearFunctionSynthesis& me = kClass.borrow(self);
    const auto [model_id, num_runs, data] = convert<std::uint64_t, std::uint64_t, Matrix>(kRun, bound);
    return result_or_raise(
        linear_function::run(me.models, model_id, num_runs, data, rng::thread_rng()));
  });
}

}  // namespace

PyTypeObject* linear_function_synthesis_type() { return kClass.type(); }

}  // namespace corvane::py
