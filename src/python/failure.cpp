#include "python/failure.hpp"

#include <algorithm>
#include <cerrno>

#include "python/py_ref.hpp"
#include "transport/dtype.hpp"

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

// Full Unicode lower-casing through the interpreter's str.lower; the text as
// it is if the interpreter cannot do it.
std::string python_lower(std::string_view text) {
    PyRef str = PyRef::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
    PyRef lowered = str ? PyRef::steal(PyObject_CallMethod(str.get(), "lower", nullptr)) : PyRef();
    Py_ssize_t length = 0;
    const char* utf8 = lowered ? PyUnicode_AsUTF8AndSize(lowered.get(), &length) : nullptr;
    if (utf8 == nullptr) {
        PyErr_Clear();
        return std::string(text);
    }
    return std::string(utf8, static_cast<size_t>(length));
}

// An unsupported data-type name is shown lowered the way str.lower lowers it.
// Below this edge only its ASCII letters were, which str.lower leaves as they
// are now, so only a name with other characters needs the interpreter.
std::string shown_text(const Error& failure) {
    if (failure.domain != ErrorDomain::DataType || !failure.text.starts_with(kUnsupportedDType)) return failure.text;
    const std::string_view name = std::string_view(failure.text).substr(kUnsupportedDType.size());
    const bool ascii = std::all_of(name.begin(), name.end(), [](unsigned char c) { return c < 0x80; });
    return ascii ? failure.text : std::string(kUnsupportedDType) + python_lower(name);
}

}  // namespace

PyObject* exception_class(ErrorKind kind, int os_code) {
    switch (kind) {
        case ErrorKind::Type: return PyExc_TypeError;
        case ErrorKind::Value: return PyExc_ValueError;
        case ErrorKind::Overflow: return PyExc_OverflowError;
        case ErrorKind::Memory: return PyExc_MemoryError;
        case ErrorKind::Runtime: return PyExc_RuntimeError;
        case ErrorKind::Connection: return PyExc_ConnectionError;
        case ErrorKind::Timeout: return PyExc_TimeoutError;
        case ErrorKind::Os: return os_error_class(os_code);
        case ErrorKind::Raised: return nullptr;
    }
    return PyExc_RuntimeError;
}

PyObject* raise(const Error& failure) {
    if (failure.kind == ErrorKind::Raised) return nullptr;
    const std::string text = shown_text(failure);
    PyObject* message = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
    if (message == nullptr) return nullptr;
    PyErr_SetObject(exception_class(failure.kind, failure.os_code), message);
    Py_DECREF(message);
    return nullptr;
}

}  // namespace quelt::py
