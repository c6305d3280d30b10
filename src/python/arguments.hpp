#pragma once
// Binds a call's positional and keyword arguments to a method's parameters,
// with the interpreter's own wording for missing, duplicate and unexpected
// arguments.
#include <array>
#include <span>
#include <string>

#include "python/failure.hpp"

namespace quelt::py {

struct Signature {
    const char* qualified_name;             // "QueltClient.infer"
    std::span<const char* const> names;     // every parameter, in order
    size_t positional;                      // how many may be passed by position
    size_t required;                        // the first `required` must be given
};

// Borrowed references, one per parameter; nullptr where the caller gave none.
template <size_t N>
using BoundArguments = std::array<PyObject*, N>;

// METH_FASTCALL | METH_KEYWORDS calling convention.
Result<void> bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames, std::span<PyObject*> out);
// tp_new calling convention.
Result<void> bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs,
                            std::span<PyObject*> out);

template <size_t N>
Result<BoundArguments<N>> bind(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    BoundArguments<N> out{};
    if (auto bound = bind_arguments(signature, args, nargs, kwnames, out); !bound)
        return quelt::unexpected(bound.error());
    return out;
}

template <size_t N>
Result<BoundArguments<N>> bind(const Signature& signature, PyObject* args, PyObject* kwargs) {
    BoundArguments<N> out{};
    if (auto bound = bind_arguments(signature, args, kwargs, out); !bound)
        return quelt::unexpected(bound.error());
    return out;
}

}  // namespace quelt::py
