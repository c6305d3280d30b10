#pragma once
// The Python edge of the library's failures: the one table from an Error's
// kind (and, for Os, its os_code) to the exception class it raises. The
// exception object itself is built only when the boundary raises it.
#include <string>

#include "common/error.hpp"
#include "python/python.hpp"

namespace quelt::py {

inline quelt::unexpected<Error> fail(ErrorKind kind, std::string text) {
    return quelt::unexpected(Error::library(kind, std::move(text)));
}

// The exception class that a failure of this kind raises (nullptr for Raised).
PyObject* exception_class(ErrorKind kind, int os_code = 0);

// Sets the interpreter's error indicator from the failure; always returns
// nullptr so that callers can `return raise(...)`.
PyObject* raise(const Error& failure);

// The interpreter's pending exception as a failure value.
inline quelt::unexpected<Error> pending() { return quelt::unexpected(Error::raised()); }

}  // namespace quelt::py
