// The module's entry point: the interpreter calls PyInit_corvane_rs on import.
#include "python/binding.h"

namespace {

PyModuleDef g_definition = {
    PyModuleDef_HEAD_INIT,
    "corvane_rs",
    "Native routing and synthesis core of the corvane quantum-circuit compiler.",
    0,        // no per-module state
    nullptr,  // no module-level functions
    nullptr,  // single-phase initialisation: no slots
    nullptr,
    nullptr,
    nullptr,
};

constinit corvane::py::SingleInterpreterModule g_module(&g_definition,
                                                       &corvane::py::add_registered_classes);

}  // namespace

// The only exported symbol (PyMODINIT_FUNC gives it default visibility).
PyMODINIT_FUNC PyInit_corvane_rs() { return g_module.init(); }
