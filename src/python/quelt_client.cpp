// QueltClient: the socket client's Python face.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "common/propagate.hpp"
#include "net/connection_pool.hpp"
#include "net/endpoint.hpp"
#include "net/inference_exchange.hpp"
#include "python/arguments.hpp"
#include "python/builtin_type.hpp"
#include "python/bytes_sink.hpp"
#include "python/conversion.hpp"
#include "python/entry_guard.hpp"
#include "python/native_object.hpp"
#include "python/py_ref.hpp"
#include "python/types.hpp"

namespace quelt::py {
namespace {

constexpr std::uint64_t kDefaultMaxPoolSize = 8;

struct QueltClientState {
    // Holds the transport; idle connections close with the client.
    std::unique_ptr<net::ConnectionPool> pool;
    std::optional<std::string> api_token;
};

using QueltClientObject = NativeObject<QueltClientState>;

struct InferArguments {
    std::uint32_t model_id;
    std::vector<std::int64_t> shape;
    std::string dtype;
    DataArgument data;
    std::vector<NamedTensorArgument> additional_inputs;
    std::optional<std::string> session_id;
};

constexpr const char* kInferNames[] = {"model_id", "shape", "dtype", "data", "additional_inputs", "session_id"};
constexpr Signature kInferSignature{"QueltClient.infer", kInferNames, 6, 4};
constexpr Signature kInferTensorSignature{"QueltClient.infer_tensor", kInferNames, 6, 4};
constexpr Signature kInferStreamSignature{"QueltClient.infer_stream", kInferNames, 6, 4};

Result<InferArguments> convert_infer_arguments(const Signature& signature, PyObject* const* args,
                                               Py_ssize_t nargs, PyObject* kwnames) {
    QUELT_TRY(bound, bind<6>(signature, args, nargs, kwnames));
    auto& a = *bound;
    QUELT_TRY(model_id, to_u32(a[0], "model_id"));
    QUELT_TRY(shape, to_shape(a[1], "shape"));
    QUELT_TRY(dtype, to_string(a[2], "dtype"));
    QUELT_TRY(data, DataArgument::from(a[3], "data"));
    QUELT_TRY(additional, to_additional_inputs(a[4], "additional_inputs"));
    QUELT_TRY(session, to_optional_string(a[5], "session_id"));
    return InferArguments{*model_id,          std::move(*shape),      std::move(*dtype),
                          std::move(*data),   std::move(*additional), std::move(*session)};
}

// Additional inputs are checked before any connection is taken; each then
// travels under its canonical dtype name.
Result<std::vector<wire::NamedTensorView>> checked_additional_inputs(const std::vector<NamedTensorArgument>& inputs) {
    std::vector<wire::NamedTensorView> views;
    views.reserve(inputs.size());
    for (const NamedTensorArgument& input : inputs) {
        QUELT_TRY(dtype, parse_dtype(input.tensor.dtype));
        views.push_back({input.name,
                         {input.tensor.shape, dtype_name(*dtype), input.tensor.data.bytes(), std::nullopt}});
    }
    return views;
}

net::InferenceCall make_call(const InferArguments& a, const QueltClientState& state,
                             std::span<const wire::NamedTensorView> additional_inputs) {
    net::InferenceCall call;
    call.model_id = a.model_id;
    call.shape = a.shape;
    call.dtype = a.dtype;
    call.data = a.data.bytes();
    call.additional_inputs = additional_inputs;
    if (a.session_id) call.session_id = *a.session_id;
    if (state.api_token) call.api_token = *state.api_token;
    return call;
}

PyObject* bytes_of(const net::ReplyTensor&, BytesSink& data) { return data.release(); }

PyObject* tensor_tuple(const net::ReplyTensor& received, BytesSink& data) {
    const auto& shape = received.shape;
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(shape.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < shape.size(); ++i) {
        PyObject* dimension = PyLong_FromLongLong(shape[i]);
        if (dimension == nullptr) return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), dimension);  // steals
    }
    std::string_view name = dtype_name(received.dtype);
    PyRef dtype = PyRef::steal(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
    if (!dtype) return nullptr;
    return PyTuple_Pack(3, data.get(), list.get(), dtype.get());
}

// One unary call: check, run through the pool with its single retry, and
// turn the reply into the Python result `build` makes.
template <class Build>
PyObject* unary_call(PyObject* self, const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, Build build) {
    auto arguments = convert_infer_arguments(signature, args, nargs, kwnames);
    if (!arguments) return raise(arguments.error());
    auto* object = QueltClientObject::cast(self);
    auto borrow = object->borrow.shared();
    if (!borrow) return raise(borrow.error());
    auto additional = checked_additional_inputs(arguments->additional_inputs);
    if (!additional) return raise(additional.error());
    const QueltClientState& state = *object->native;
    const net::InferenceCall call = make_call(*arguments, state, *additional);
    BytesSink data;
    auto received = state.pool->with_connection(
        [&](net::Connection& connection) { return net::infer_exchange(connection, call, data); });
    if (!received) return raise(received.error());
    return build(*received, data);
}

PyObject* infer(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return unary_call(self, kInferSignature, args, nargs, kwnames, bytes_of);
}

PyObject* infer_tensor(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return unary_call(self, kInferTensorSignature, args, nargs, kwnames, tensor_tuple);
}

// The stream gets a connection of its own, never pooled; once its request is
// written the iterator owns it.
PyObject* infer_stream(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto arguments = convert_infer_arguments(kInferStreamSignature, args, nargs, kwnames);
    if (!arguments) return raise(arguments.error());
    auto* object = QueltClientObject::cast(self);
    auto borrow = object->borrow.shared();
    if (!borrow) return raise(borrow.error());
    auto additional = checked_additional_inputs(arguments->additional_inputs);
    if (!additional) return raise(additional.error());
    const QueltClientState& state = *object->native;
    auto connection = net::connect(state.pool->transport());
    if (!connection) return raise(connection.error());
    auto frame = net::build_inference_frame(make_call(*arguments, state, *additional),
                                            wire::MessageKind::InferStream);
    if (!frame) return raise(frame.error());
    // A failed write of a stream request raises the OSError subclass of its
    // system error.
    if (auto written = net::write_frame(*connection, *frame); !written)
        return raise(std::move(written).error().as(ErrorKind::Os));
    return create_stream_iterator(std::move(*connection));
}

PyObject* text(const std::string& value) {
    return PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size()));
}

PyObject* protocol(PyObject* self, PyObject*) {
    return text(QueltClientObject::cast(self)->native->pool->transport().protocol());
}

PyObject* endpoint(PyObject* self, PyObject*) {
    return text(QueltClientObject::cast(self)->native->pool->transport().endpoint());
}

constexpr const char* kConstructorNames[] = {"endpoint", "protocol", "host", "port", "socket_path",
                                             "pipe_name", "max_pool_size", "api_token"};
constexpr Signature kConstructorSignature{"QueltClient.__new__", kConstructorNames, 1, 0};

Result<QueltClientState> convert_constructor_arguments(PyObject* args, PyObject* kwargs) {
    QUELT_TRY(bound, bind<8>(kConstructorSignature, args, kwargs));
    auto& a = *bound;
    net::EndpointArguments endpoint;
    QUELT_TRY(endpoint_text, to_optional_string(a[0], "endpoint"));
    QUELT_TRY(protocol_text, to_optional_string(a[1], "protocol"));
    QUELT_TRY(host, to_optional_string(a[2], "host"));
    QUELT_TRY(port, to_optional_u16(a[3], "port"));
    QUELT_TRY(socket_path, to_optional_string(a[4], "socket_path"));
    QUELT_TRY(pipe_name, to_optional_string(a[5], "pipe_name"));
    std::uint64_t max_pool_size = kDefaultMaxPoolSize;
    if (a[6] != nullptr) {
        QUELT_TRY(size, to_u64(a[6], "max_pool_size"));
        max_pool_size = *size;
    }
    QUELT_TRY(api_token, to_optional_string(a[7], "api_token"));

    QUELT_TRY(transport, net::resolve_transport({std::move(*endpoint_text), std::move(*protocol_text),
                                             std::move(*host), *port, std::move(*socket_path),
                                             std::move(*pipe_name)}));
    return QueltClientState{std::make_unique<net::ConnectionPool>(std::move(*transport), max_pool_size),
                            std::move(*api_token)};
}

PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    auto state = convert_constructor_arguments(args, kwargs);
    if (!state) return raise(state.error());
    return QueltClientObject::create(type, std::move(*state));
}

PyMethodDef methods[] = {
    {"protocol", guarded<protocol>, METH_NOARGS, "protocol($self)\n--\n\n"},
    {"endpoint", guarded<endpoint>, METH_NOARGS, "endpoint($self)\n--\n\n"},
    {"infer", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<infer>)), METH_FASTCALL | METH_KEYWORDS,
     "infer($self, model_id, shape, dtype, data, additional_inputs=None, session_id=None)\n--\n\n"},
    {"infer_tensor", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<infer_tensor>)),
     METH_FASTCALL | METH_KEYWORDS,
     "infer_tensor($self, model_id, shape, dtype, data, additional_inputs=None, session_id=None)\n--\n\n"
     "Like `infer` but returns `(data, shape, dtype)` so the caller knows\n"
     "how to interpret the output bytes without hardcoding dimensions.\n"
     "Essential for models whose output shape varies (diffusion, video, TTS)."},
    {"infer_stream", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<infer_stream>)),
     METH_FASTCALL | METH_KEYWORDS,
     "infer_stream($self, model_id, shape, dtype, data, additional_inputs=None, session_id=None)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("QueltClient(endpoint=None, *, protocol=None, host=None, port=None, "
                                  "socket_path=None, pipe_name=None, max_pool_size=..., api_token=None)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(guarded<construct>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(QueltClientObject::dealloc)},
    {Py_tp_methods, methods},
    {0, nullptr},
};

PyType_Spec type_spec = {"QueltClient", sizeof(QueltClientObject), 0, Py_TPFLAGS_DEFAULT, slots};

}  // namespace

PyObject* create_quelt_client_type() { return create_builtin_type(type_spec); }

}  // namespace quelt::py
