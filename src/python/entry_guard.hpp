#pragma once
// The last barrier between C++ and the interpreter: every function that the
// interpreter calls (constructors, methods, iterator slots, module init) is
// registered through `guarded<F>`, so no C++ exception can unwind into the
// interpreter's C frames (which would end the process in std::terminate).
// std::bad_alloc becomes MemoryError, anything else RuntimeError.
#include "python/python.hpp"

namespace quelt::py {

// Sets the Python exception for the C++ exception being handled; returns nullptr.
PyObject* raise_escaped_exception() noexcept;

template <auto Entry>
struct EntryGuard;

template <class... Args, PyObject* (*Entry)(Args...)>
struct EntryGuard<Entry> {
    static PyObject* call(Args... args) noexcept {
        try {
            return Entry(args...);
        } catch (...) {
            return raise_escaped_exception();
        }
    }
};

// `Entry` with the barrier around it, as a plain function pointer for a slot or
// method table.
template <auto Entry>
inline constexpr auto guarded = &EntryGuard<Entry>::call;

}  // namespace quelt::py
