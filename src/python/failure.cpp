#include "python/failure.hpp"

#include <cerrno>

namespace quelt::py {
namespace {

PyObject* os_error_class(int code) {
    switch (code) {
        case ENOENT: return PyExc_FileNotFoundError;
        case EACCES:
        case EPERM: return PyExc_PermissionError;
        case ECONNREFUSED: return PyExc_ConnectionRefusedError;
        case ECONNRESET: return PyExc_ConnectionResetError;
        case ECONNABORTED: return PyExc_ConnectionAbortedError;
        case EPIPE: return PyExc_BrokenPipeError;
        case EEXIST: return PyExc_FileExistsError;
        case EAGAIN: return PyExc_BlockingIOError;
        case ETIMEDOUT: return PyExc_TimeoutError;
        case EINTR: return PyExc_InterruptedError;
        default: return PyExc_OSError;
    }
}

}  // namespace

PyObject* exception_class(ExceptionKind kind, int os_code) {
    switch (kind) {
        case ExceptionKind::TypeError: return PyExc_TypeError;
        case ExceptionKind::ValueError: return PyExc_ValueError;
        case ExceptionKind::OverflowError: return PyExc_OverflowError;
        case ExceptionKind::MemoryError: return PyExc_MemoryError;
        case ExceptionKind::RuntimeError: return PyExc_RuntimeError;
        case ExceptionKind::ConnectionError: return PyExc_ConnectionError;
        case ExceptionKind::TimeoutError: return PyExc_TimeoutError;
        case ExceptionKind::OsErrorByCode: return os_error_class(os_code);
        case ExceptionKind::AlreadySet: return nullptr;
    }
    return PyExc_RuntimeError;
}

PyObject* raise(const Failure& failure) {
    if (failure.kind == ExceptionKind::AlreadySet) return nullptr;
    PyObject* message = PyUnicode_DecodeUTF8(failure.message.data(),
                                             static_cast<Py_ssize_t>(failure.message.size()),
                                             "replace");
    if (message == nullptr) return nullptr;
    PyErr_SetObject(exception_class(failure.kind, failure.os_code), message);
    Py_DECREF(message);
    return nullptr;
}

Failure from_exchange_error(const ExchangeError& error) {
    using Kind = ExchangeError::Kind;
    switch (error.kind) {
        case Kind::Io: return {ExceptionKind::ConnectionError, error.message, error.os_code};
        case Kind::InvalidConfig:
        case Kind::InvalidInput: return {ExceptionKind::ValueError, error.message, 0};
        case Kind::Codec:
        case Kind::Server: return {ExceptionKind::RuntimeError, error.message, 0};
    }
    return {ExceptionKind::RuntimeError, error.message, 0};
}

Failure os_failure_from_exchange_error(const ExchangeError& error) {
    if (error.kind != ExchangeError::Kind::Io) return from_exchange_error(error);
    return {ExceptionKind::OsErrorByCode, error.message, error.os_code};
}

}  // namespace quelt::py
