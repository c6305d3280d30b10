// QueltHybridClient: tensors through shared memory, requests over a local socket.
#include <string>

#include "python/arguments.hpp"
#include "python/builtin_type.hpp"
#include "python/conversion.hpp"
#include "python/native_object.hpp"
#include "python/types.hpp"

namespace quelt::py {
namespace {

struct HybridClientState {
    std::string shm_name;
    std::string socket_path;
};

using HybridClientObject = NativeObject<HybridClientState>;

constexpr const char* kInferNames[] = {"shape", "dtype", "data"};
constexpr Signature kInferSignature{"QueltHybridClient.infer", kInferNames, 3, 3};

PyObject* infer(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto bound = bind<3>(kInferSignature, args, nargs, kwnames);
    if (!bound) return raise(bound.error());
    auto shape = to_shape((*bound)[0], "shape");
    if (!shape) return raise(shape.error());
    auto dtype = to_string((*bound)[1], "dtype");
    if (!dtype) return raise(dtype.error());
    auto data = DataArgument::from((*bound)[2], "data");
    if (!data) return raise(data.error());
    auto borrow = HybridClientObject::cast(self)->borrow.exclusive();
    if (!borrow) return raise(borrow.error());
    return raise({ExceptionKind::NotImplementedError, "hybrid inference is not available yet", 0});
}

constexpr const char* kConstructorNames[] = {"shm_name", "socket_path"};
constexpr Signature kConstructorSignature{"QueltHybridClient.__new__", kConstructorNames, 2, 2};

PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    auto bound = bind<2>(kConstructorSignature, args, kwargs);
    if (!bound) return raise(bound.error());
    auto name = to_string((*bound)[0], "shm_name");
    if (!name) return raise(name.error());
    auto socket_path = to_string((*bound)[1], "socket_path");
    if (!socket_path) return raise(socket_path.error());
    return HybridClientObject::create(type, HybridClientState{std::move(*name), std::move(*socket_path)});
}

PyMethodDef methods[] = {
    {"infer", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(infer)), METH_FASTCALL | METH_KEYWORDS,
     "infer($self, shape, dtype, data)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("QueltHybridClient(shm_name, socket_path)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(construct)},
    {Py_tp_dealloc, reinterpret_cast<void*>(HybridClientObject::dealloc)},
    {Py_tp_methods, methods},
    {0, nullptr},
};

PyType_Spec spec = {"QueltHybridClient", sizeof(HybridClientObject), 0, Py_TPFLAGS_DEFAULT, slots};

}  // namespace

PyObject* create_hybrid_client_type() { return create_builtin_type(spec); }

}  // namespace quelt::py
