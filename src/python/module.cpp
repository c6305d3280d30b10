// Entry point of the extension: one module, the three client classes.
#include "python/entry_guard.hpp"
#include "python/py_ref.hpp"
#include "python/python.hpp"
#include "python/types.hpp"

namespace {

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "quelt_sdk",
    nullptr,  // no module docstring
    0,
    nullptr,
};

// Single-phase initialisation: the module is built once per process and kept.
PyObject* the_module = nullptr;

bool add_type(PyObject* module, const char* name, PyObject* (*create)()) {
    quelt::py::PyRef type = quelt::py::PyRef::steal(create());
    if (!type) return false;
    // PyModule_AddObjectRef leaves our reference alone on both outcomes.
    return PyModule_AddObjectRef(module, name, type.get()) == 0;
}

PyObject* initialise_module() {
    if (the_module != nullptr) {
        PyErr_SetString(PyExc_ImportError,
                        "PyO3 modules compiled for CPython 3.8 or older may only be initialized once per "
                        "interpreter process");
        return nullptr;
    }
    quelt::py::PyRef module = quelt::py::PyRef::steal(PyModule_Create(&module_definition));
    if (!module) return nullptr;
    if (!add_type(module.get(), "QueltClient", quelt::py::create_quelt_client_type) ||
        !add_type(module.get(), "QueltShmClient", quelt::py::create_shm_client_type) ||
        !add_type(module.get(), "QueltHybridClient", quelt::py::create_hybrid_client_type))
        return nullptr;
    the_module = module.get();
    Py_INCREF(the_module);  // kept for the life of the process
    return module.release();
}

}  // namespace

PyMODINIT_FUNC PyInit_quelt_sdk() { return quelt::py::guarded<initialise_module>(); }
