// StreamIterator: yields the chunks of one streaming inference.
#include "python/builtin_type.hpp"
#include "python/failure.hpp"
#include "python/native_object.hpp"
#include "python/types.hpp"

namespace quelt::py {
namespace {

struct StreamIteratorState {};

using StreamIteratorObject = NativeObject<StreamIteratorState>;

PyObject* refuse_construction(PyTypeObject*, PyObject*, PyObject*) {
    return raise({ExceptionKind::TypeError, "No constructor defined for StreamIterator", 0});
}

PyObject* iter_self(PyObject* self) {
    Py_INCREF(self);
    return self;
}

PyObject* next_chunk(PyObject* self) {
    auto borrow = StreamIteratorObject::cast(self)->borrow.exclusive();
    if (!borrow) return raise(borrow.error());
    return nullptr;  // end of iteration
}

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(refuse_construction)},
    {Py_tp_dealloc, reinterpret_cast<void*>(StreamIteratorObject::dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(iter_self)},
    {Py_tp_iternext, reinterpret_cast<void*>(next_chunk)},
    {0, nullptr},
};

PyType_Spec spec = {"StreamIterator", sizeof(StreamIteratorObject), 0, Py_TPFLAGS_DEFAULT, slots};

}  // namespace

PyTypeObject* stream_iterator_type() {
    static PyObject* type = create_builtin_type(spec);  // lives as long as the process
    return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace quelt::py
