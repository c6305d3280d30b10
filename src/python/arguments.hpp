#pragma once
// Binds a call's positional and keyword arguments to a method's parameters,
// with the interpreter's own wording for missing, duplicate and unexpected
// arguments.
#include <array>
#include <span>
#include <string>

#include "common/propagate.hpp"
#include "python/failure.hpp"
#include "python/py_ref.hpp"

namespace quelt::py {

struct Signature {
    const char* qualified_name;             // "QueltClient.infer"
    std::span<const char* const> names;     // every parameter, in order
    size_t positional;                      // how many may be passed by position
    size_t required;                        // the first `required` must be given
};

// One strong reference per parameter, nullptr where the caller gave none. The
// arguments are held for the whole call: code that runs while they are read
// (an __index__, a __len__) may empty the caller's own containers, for
// example the keyword dict that a constructor was called with.
template <size_t N>
class BoundArguments {
public:
    explicit BoundArguments(const std::array<PyObject*, N>& given) {
        for (size_t i = 0; i < N; ++i) held_[i] = PyRef::borrow(given[i]);
    }
    PyObject* operator[](size_t i) const { return held_[i].get(); }

private:
    std::array<PyRef, N> held_;
};

// METH_FASTCALL | METH_KEYWORDS calling convention.
Result<void> bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames, std::span<PyObject*> out);
// tp_new calling convention.
Result<void> bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs,
                            std::span<PyObject*> out);

template <size_t N>
Result<BoundArguments<N>> bind(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    std::array<PyObject*, N> out{};
    QUELT_TRY(bound, bind_arguments(signature, args, nargs, kwnames, out));
    return BoundArguments<N>(out);
}

template <size_t N>
Result<BoundArguments<N>> bind(const Signature& signature, PyObject* args, PyObject* kwargs) {
    std::array<PyObject*, N> out{};
    QUELT_TRY(bound, bind_arguments(signature, args, kwargs, out));
    return BoundArguments<N>(out);
}

}  // namespace quelt::py
