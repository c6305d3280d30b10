#pragma once
// The one failure value of the library, from the system calls up to the
// Python edge. `kind` fixes the exception the caller gets (python/failure.cpp
// holds the table), `domain` says which layer failed, `os_code` is the
// system's error number where one caused the failure (0 otherwise), and
// `text` is shown to the caller as is.
//
// Failures are cold: an Error is built and moved only on the failure path,
// so the success path of an expected<T, Error> carries no extra cost.
#include <cstdint>
#include <string>

#include "common/expected.hpp"

namespace quelt {

enum class ErrorKind : std::uint8_t {
    Type,        // an argument of the wrong type
    Value,       // an argument of the right type but a refused value
    Overflow,    // a number out of its range
    Memory,      // memory ran out
    Runtime,     // the call failed: a reply, the server, the region, ...
    Connection,  // the connection could not be made or broke
    Timeout,     // a deadline passed
    Os,          // a system failure shown as its own class, chosen by os_code
    Raised,      // the interpreter already holds the exception (a signal handler's, ...)
};

enum class ErrorDomain : std::uint8_t {
    Os,            // a system call; os_code is its error number
    Io,            // the stream layer's own texts ("failed to fill whole buffer", ...)
    Argument,      // a value the caller passed
    Wire,          // a frame or record that does not decode
    DataType,      // an unsupported data-type name: the text ends in the name
    Server,        // the server's own failure text
    SharedMemory,  // the region, its queues or its tensor pool
    Library,       // the library's own checks: arguments it converts, an object's state, ...
    Interpreter,   // the interpreter reported it
};

struct Error {
    ErrorDomain domain;
    ErrorKind kind;
    int os_code = 0;
    std::string text;

    // A system call failed with `code`; `text` is its os_error_text.
    static Error os(ErrorKind kind, int code, std::string text) {
        return {ErrorDomain::Os, kind, code, std::move(text)};
    }
    // The stream layer's own failure, with no system error behind it.
    static Error io(std::string text) { return {ErrorDomain::Io, ErrorKind::Connection, 0, std::move(text)}; }
    // A value the caller passed is refused.
    static Error invalid_value(std::string text) { return {ErrorDomain::Argument, ErrorKind::Value, 0, std::move(text)}; }
    // A frame or record that does not decode; the server's own text.
    static Error wire(std::string text) { return {ErrorDomain::Wire, ErrorKind::Runtime, 0, std::move(text)}; }
    static Error server(std::string text) { return {ErrorDomain::Server, ErrorKind::Runtime, 0, std::move(text)}; }
    static Error shared_memory(std::string text) {
        return {ErrorDomain::SharedMemory, ErrorKind::Runtime, 0, std::move(text)};
    }
    static Error library(ErrorKind kind, std::string text) { return {ErrorDomain::Library, kind, 0, std::move(text)}; }
    static Error raised() { return {ErrorDomain::Interpreter, ErrorKind::Raised, 0, {}}; }

    // The same failure, raised as another class (a constructor reports a
    // region it cannot use as a failed connection, ...).
    Error as(ErrorKind other) && {
        kind = other;
        return std::move(*this);
    }
};

template <class T>
using Result = quelt::expected<T, Error>;

}  // namespace quelt
