#pragma once
// Creates a heap type whose name is the bare class name. Such types report
// the interpreter's "builtins" as their module; the interpreter warns about
// bare names while the type is made, so the warning is silenced for that call.
#include "python/python.hpp"

namespace quelt::py {

// New reference, or nullptr with the error set.
PyObject* create_builtin_type(PyType_Spec& type_spec);

}  // namespace quelt::py
