// QueltShmClient: inference entirely through a shared-memory region.
#include <string>

#include "python/arguments.hpp"
#include "python/shm_log.hpp"
#include "shm/shm_region.hpp"
#include "python/builtin_type.hpp"
#include "python/conversion.hpp"
#include "python/native_object.hpp"
#include "python/types.hpp"

namespace quelt::py {
namespace {

struct ShmClientState {
    shm::ShmRegion region;
};

using ShmClientObject = NativeObject<ShmClientState>;

constexpr const char* kInferNames[] = {"shape", "dtype", "data"};
constexpr Signature kInferSignature{"QueltShmClient.infer", kInferNames, 3, 3};

PyObject* infer(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto bound = bind<3>(kInferSignature, args, nargs, kwnames);
    if (!bound) return raise(bound.error());
    auto shape = to_shape((*bound)[0], "shape");
    if (!shape) return raise(shape.error());
    auto dtype = to_string((*bound)[1], "dtype");
    if (!dtype) return raise(dtype.error());
    auto data = DataArgument::from((*bound)[2], "data");
    if (!data) return raise(data.error());
    auto borrow = ShmClientObject::cast(self)->borrow.exclusive();
    if (!borrow) return raise(borrow.error());
    return raise({ExceptionKind::NotImplementedError, "shared-memory inference is not available yet", 0});
}

constexpr const char* kConstructorNames[] = {"shm_name"};
constexpr Signature kConstructorSignature{"QueltShmClient.__new__", kConstructorNames, 1, 1};

PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    auto bound = bind<1>(kConstructorSignature, args, kwargs);
    if (!bound) return raise(bound.error());
    auto name = to_string((*bound)[0], "shm_name");
    if (!name) return raise(name.error());
    auto region = shm::ShmRegion::open(std::move(*name), &shm_memory_log());
    if (!region) return raise({ExceptionKind::ConnectionError, region.error().text(), 0});
    return ShmClientObject::create(type, ShmClientState{std::move(*region)});
}

PyMethodDef methods[] = {
    {"infer", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(infer)), METH_FASTCALL | METH_KEYWORDS,
     "infer($self, shape, dtype, data)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("QueltShmClient(shm_name)\n--\n\nPyO3 wrapper for shared memory client")},
    {Py_tp_new, reinterpret_cast<void*>(construct)},
    {Py_tp_dealloc, reinterpret_cast<void*>(ShmClientObject::dealloc)},
    {Py_tp_methods, methods},
    {0, nullptr},
};

PyType_Spec spec = {"QueltShmClient", sizeof(ShmClientObject), 0, Py_TPFLAGS_DEFAULT, slots};

}  // namespace

PyObject* create_shm_client_type() { return create_builtin_type(spec); }

}  // namespace quelt::py
