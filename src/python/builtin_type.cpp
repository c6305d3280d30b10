#include "python/builtin_type.hpp"

#include "python/py_ref.hpp"

namespace quelt::py {
namespace {

// warnings.catch_warnings() with DeprecationWarning ignored, for one scope.
class QuietDeprecations {
public:
    QuietDeprecations() {
        PyRef warnings = PyRef::steal(PyImport_ImportModule("warnings"));
        if (warnings) manager_ = PyRef::steal(PyObject_CallMethod(warnings.get(), "catch_warnings", nullptr));
        if (manager_) entered_ = PyRef::steal(PyObject_CallMethod(manager_.get(), "__enter__", nullptr));
        if (entered_)
            PyRef::steal(PyObject_CallMethod(warnings.get(), "simplefilter", "sO", "ignore", PyExc_DeprecationWarning));
        PyErr_Clear();  // without the filter the type is still made, only noisily
    }
    QuietDeprecations(const QuietDeprecations&) = delete;
    QuietDeprecations& operator=(const QuietDeprecations&) = delete;
    ~QuietDeprecations() {
        if (!entered_) return;
        PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
        PyErr_Fetch(&type, &value, &traceback);
        PyRef::steal(PyObject_CallMethod(manager_.get(), "__exit__", "OOO", Py_None, Py_None, Py_None));
        PyErr_Clear();
        PyErr_Restore(type, value, traceback);
    }

private:
    PyRef manager_;
    PyRef entered_;
};

}  // namespace

PyObject* create_builtin_type(PyType_Spec& type_spec) {
    PyRef type;
    {
        QuietDeprecations quiet;
        type = PyRef::steal(PyType_FromSpec(&type_spec));
    }
    if (!type) return nullptr;
    PyRef module_name = PyRef::steal(PyUnicode_InternFromString("builtins"));
    if (!module_name || PyObject_SetAttrString(type.get(), "__module__", module_name.get()) != 0) return nullptr;
    return type.release();
}

}  // namespace quelt::py
