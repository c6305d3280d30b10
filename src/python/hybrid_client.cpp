// QueltHybridClient: tensors through shared memory, requests over a local
// socket. The 52-byte control frame goes to the server over the client's
// control connection, and the call blocks on the client's own runtime until
// the reply arrives. The rest of the call is region_call.hpp's.
#include <memory>
#include <string>

#include "common/propagate.hpp"
#include "python/arguments.hpp"
#include "python/builtin_type.hpp"
#include "python/entry_guard.hpp"
#include "python/region_call.hpp"
#include "python/region_client.hpp"
#include "python/types.hpp"
#include "runtime/control_exchange.hpp"
#include "runtime/runtime.hpp"
#include "transport/hybrid_messages.hpp"

namespace quelt::py {
namespace {

constexpr const char* kClassName = "QueltHybridClient";

// The post-and-await step over the control connection. Destroyed in reverse
// order: the connection leaves the runtime's poller before the runtime's
// workers are joined.
struct ThroughControlChannel {
    std::unique_ptr<runtime::Runtime> runtime;
    std::unique_ptr<runtime::ControlChannel> control;

    // A server that restarted serves a new region under the old name: offsets
    // into the region mapped here would name bytes it never sees, and its
    // answer's offset bytes this client never wrote. So the region is checked
    // before each connection opens (an open connection breaks when its server
    // ends, and a broken connection is never opened again), and before the
    // input is staged, so that this failure comes first.
    Result<void> check_reachable(const RegionClient& client) const {
        if (control->connected()) return {};
        return client.region.check_still_named();
    }

    Result<std::uint64_t> operator()(RegionClient& client, std::uint64_t request_id, const shm::SlotLease& input) {
        const HybridRequest request{RequestHeader::build(request_id), input.offset(), input.size()};
        runtime::ControlResult reply = runtime->block_on(control->exchange(request));
        if (!reply) {
            // A connection that broke because its server restarted says only
            // "early eof" or "Broken pipe"; the region tells why.
            QUELT_TRY(named, client.region.check_still_named());
            return quelt::unexpected(std::move(reply.error()).as(ErrorKind::Runtime));
        }
        // The reply's metadata and shm_size are not consulted: the output
        // block's own data_len says its length.
        return reply->shm_offset;
    }
};

using HybridClientState = RegionClientState<ThroughControlChannel>;
using HybridClientObject = NativeObject<HybridClientState>;

constexpr Signature kInferSignature{"QueltHybridClient.infer", kRegionInferNames, 3, 3};

PyObject* infer(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return region_infer<ThroughControlChannel>(kInferSignature, kClassName, self, args, nargs, kwnames);
}

Result<HybridClientState> build_client(std::string shm_name, std::string socket_path) {
    QUELT_TRY(client, RegionClient::open(std::move(shm_name)));
    QUELT_TRY(runtime, runtime::Runtime::create());
    auto control = std::make_unique<runtime::ControlChannel>(**runtime, std::move(socket_path));
    return HybridClientState{std::move(*client), ThroughControlChannel{std::move(*runtime), std::move(control)}};
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
