#include "python/entry_guard.hpp"

#include <exception>
#include <new>

namespace quelt::py {

PyObject* raise_escaped_exception() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unexpected native exception");
    }
    return nullptr;
}

}  // namespace quelt::py
