#pragma once
// A Python object that owns one C++ value. The value is constructed in place
// after allocation and destroyed in tp_dealloc, so its destructor releases
// whatever it holds (sockets, mappings, threads).
#include <memory>
#include <optional>

#include "python/borrow_flag.hpp"
#include "python/python.hpp"

namespace quelt::py {

template <class Native>
struct NativeObject {
    PyObject_HEAD
    BorrowFlag borrow;
    std::optional<Native> native;

    static NativeObject* cast(PyObject* self) { return reinterpret_cast<NativeObject*>(self); }

    // Allocates an instance of `type` holding `value`; nullptr on failure.
    static PyObject* create(PyTypeObject* type, Native&& value) {
        auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
        PyObject* self = alloc(type, 0);
        if (self == nullptr) return nullptr;
        auto* object = cast(self);
        std::construct_at(&object->borrow);
        std::construct_at(&object->native, std::move(value));
        return self;
    }

    static void dealloc(PyObject* self) {
        PyTypeObject* type = Py_TYPE(self);
        auto* object = cast(self);
        std::destroy_at(&object->native);
        std::destroy_at(&object->borrow);
        auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
        free_slot(self);
        Py_DECREF(type);  // heap types are referenced by their instances
    }
};

}  // namespace quelt::py
