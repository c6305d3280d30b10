#pragma once
// A failure on its way to Python: the exception class and the message are
// fixed when the native call fails; the exception object itself is built only
// when the boundary raises it.
#include <string>

#include "common/expected.hpp"
#include "python/python.hpp"
#include "transport/exchange_error.hpp"

namespace quelt::py {

enum class ExceptionKind {
    TypeError,
    ValueError,
    OverflowError,
    MemoryError,
    RuntimeError,
    ConnectionError,
    TimeoutError,
    // The OSError subclass that matches `os_code` (ConnectionResetError, ...).
    OsErrorByCode,
    // An exception already set in the interpreter (a signal handler's, ...).
    AlreadySet,
};

struct Failure {
    ExceptionKind kind;
    std::string message;
    int os_code = 0;

    static Failure already_set() { return {ExceptionKind::AlreadySet, {}, 0}; }
};

template <class T>
using Result = quelt::expected<T, Failure>;

inline quelt::unexpected<Failure> fail(ExceptionKind kind, std::string message) {
    return quelt::unexpected(Failure{kind, std::move(message), 0});
}

// The exception class that a failure of this kind raises.
PyObject* exception_class(ExceptionKind kind, int os_code = 0);

// Sets the interpreter's error indicator from the failure; always returns
// nullptr so that callers can `return raise(...)`.
PyObject* raise(const Failure& failure);

// QueltClient's failure kinds and their Python exceptions: Io ->
// ConnectionError, InvalidConfig and InvalidInput -> ValueError, Codec and
// Server -> RuntimeError.
Failure from_exchange_error(const ExchangeError& error);

// A failed write of a stream request raises the OSError subclass of its errno.
Failure os_failure_from_exchange_error(const ExchangeError& error);

// Turns the interpreter's pending exception into a failure value.
inline quelt::unexpected<Failure> pending() { return quelt::unexpected(Failure::already_set()); }

}  // namespace quelt::py
