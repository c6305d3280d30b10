// QueltHybridClient: tensors through shared memory, requests over a local socket.
//
// One infer call: take the next request number, lease a pool slot, write the
// input tensor block into it, send the 52-byte control frame and block on the
// client's own runtime until the reply arrives, then copy the output tensor
// out of the region. The slot is released exactly once on every path after
// it was leased. The interpreter lock stays held throughout.
#include <memory>
#include <string>

#include "common/propagate.hpp"
#include "python/arguments.hpp"
#include "python/builtin_type.hpp"
#include "python/conversion.hpp"
#include "python/entry_guard.hpp"
#include "python/native_object.hpp"
#include "python/py_ref.hpp"
#include "python/result_bytes.hpp"
#include "python/shm_log.hpp"
#include "python/types.hpp"
#include "runtime/control_exchange.hpp"
#include "runtime/runtime.hpp"
#include "shm/input_staging.hpp"
#include "shm/request_numbers.hpp"
#include "shm/shared_pools.hpp"
#include "shm/shm_region.hpp"
#include "shm/tensor_block.hpp"
#include "transport/dtype.hpp"
#include "transport/hybrid_messages.hpp"

namespace quelt::py {
namespace {

struct HybridClientState {
    // Destroyed in reverse order: the control connection leaves the runtime's
    // poller before the runtime's workers are joined, and the region is
    // unmapped last.
    shm::ShmRegion region;
    // Shared with this process's other clients of the region.
    std::shared_ptr<shm::TensorPool> pool;
    std::unique_ptr<runtime::Runtime> runtime;
    std::unique_ptr<runtime::ControlChannel> control;
    std::uint64_t next_request_id;
};

using HybridClientObject = NativeObject<HybridClientState>;

Result<PyRef> run_infer(HybridClientState& client, const std::vector<std::int64_t>& shape, const std::string& dtype,
                        std::span<const std::uint8_t> data) {
    // After fork() the runtime's workers and its kernel objects are the
    // parent's; using them here would disturb the parent's client.
    if (!client.runtime->usable_here())
        return fail(ErrorKind::Runtime,
                    "QueltHybridClient was created in another process; create a new client after fork()");
    const std::uint64_t request_id = client.next_request_id++;
    // A server that restarted serves a new region under the old name: offsets
    // into the region mapped here would name bytes it never sees, and its
    // answer's offset bytes this client never wrote. So the region is checked
    // before each connection opens (an open connection breaks when its server
    // ends, and a broken connection is never opened again).
    if (!client.control->connected()) {
        QUELT_TRY(named, client.region.check_still_named());
    }
    QUELT_TRY(slot, shm::stage_input(client.region.bytes(), *client.pool, shape, dtype, data));

    const HybridRequest request{RequestHeader::build(request_id), slot->offset(), slot->size()};
    runtime::ControlResult reply = client.runtime->block_on(client.control->exchange(request));
    if (!reply) {
        // A connection that broke because its server restarted says only
        // "early eof" or "Broken pipe"; the region tells why.
        QUELT_TRY(named, client.region.check_still_named());
        return quelt::unexpected(std::move(reply.error()).as(ErrorKind::Runtime));
    }

    // The reply's metadata and shm_size are not consulted: the output's
    // length is the block's own data_len, checked to lie inside the mapping.
    QUELT_TRY(output, shm::read_tensor_data(client.region.bytes(), reply->shm_offset));
    PyRef bytes = PyRef::steal(result_bytes_copy(*output));
    if (!bytes) return pending();
    return bytes;
}

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
    auto* object = HybridClientObject::cast(self);
    auto borrow = object->borrow.exclusive();
    if (!borrow) return raise(borrow.error());
    auto result = run_infer(*object->native, *shape, *dtype, data->bytes());
    if (!result) return raise(result.error());
    return result->release();
}

Result<HybridClientState> build_client(std::string shm_name, std::string socket_path) {
    auto region = shm::ShmRegion::open(std::move(shm_name), &shm_memory_log());
    if (!region) return quelt::unexpected(std::move(region.error()).as(ErrorKind::Connection));
    auto pool = shm::shared_pool(*region);
    if (!pool) return quelt::unexpected(std::move(pool.error()).as(ErrorKind::Connection));
    QUELT_TRY(runtime, runtime::Runtime::create());
    auto control = std::make_unique<runtime::ControlChannel>(**runtime, std::move(socket_path));
    return HybridClientState{std::move(*region), std::move(*pool), std::move(*runtime), std::move(control),
                             shm::first_request_number()};
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
    auto client = build_client(std::move(*name), std::move(*socket_path));
    if (!client) return raise(client.error());
    return HybridClientObject::create(type, std::move(*client));
}

PyMethodDef methods[] = {
    {"infer", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<infer>)), METH_FASTCALL | METH_KEYWORDS,
     "infer($self, shape, dtype, data)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("QueltHybridClient(shm_name, socket_path)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(guarded<construct>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(HybridClientObject::dealloc)},
    {Py_tp_methods, methods},
    {0, nullptr},
};

PyType_Spec type_spec = {"QueltHybridClient", sizeof(HybridClientObject), 0, Py_TPFLAGS_DEFAULT, slots};

}  // namespace

PyObject* create_hybrid_client_type() { return create_builtin_type(type_spec); }

}  // namespace quelt::py
