// QueltShmClient: inference entirely through a shared-memory region. The
// request entry goes onto the region's request queue; the answer is polled
// from its response queue. The rest of the call is region_call.hpp's.
#include <chrono>
#include <cstdint>
#include <string>

#include "common/propagate.hpp"
#include "python/arguments.hpp"
#include "python/builtin_type.hpp"
#include "python/entry_guard.hpp"
#include "python/region_call.hpp"
#include "python/region_client.hpp"
#include "python/types.hpp"
#include "shm/message_block.hpp"
#include "shm/request_posting.hpp"
#include "shm/response_wait.hpp"

namespace quelt::py {
namespace {

constexpr const char* kClassName = "QueltShmClient";

// No answer can come from a region that its server left: a timed-out wait
// says so, as waiting again would only time out again.
quelt::unexpected<Error> wait_failure(const shm::ShmRegion& region, Error failure) {
    if (failure.kind == ErrorKind::Timeout)
        if (auto named = region.check_still_named(); !named) return quelt::unexpected(std::move(named.error()));
    return quelt::unexpected(std::move(failure));
}

// The answer's output block, or the server's error text.
Result<std::uint64_t> output_of(const shm::ShmRegion& region, const shm::ResponseEntry& answer) {
    if (answer.status == 0) return answer.result_offset;
    if (answer.error_offset == 0) return fail(ErrorKind::Runtime, "Unknown error");
    QUELT_TRY(text, shm::read_message_block(region.bytes(), answer.error_offset));
    // raise() decodes the text leniently: invalid UTF-8 becomes U+FFFD.
    return fail(ErrorKind::Runtime, std::string(reinterpret_cast<const char*>(text->data()), text->size()));
}

// The post-and-await step through the region's two queues.
struct ThroughQueues {
    Result<std::uint64_t> operator()(RegionClient& client, std::uint64_t request_id,
                                     const shm::SlotLease& input) const {
        QUELT_TRY(posted, shm::post_request(client.region, request_id, input));
        const auto start = std::chrono::steady_clock::now();
        // A signal handler may fork: the child's copy of this wait ends at
        // once, leaving the answer, and the slot, to the parent. The handler
        // runs inside the signal check, so the process is known only after it.
        bool forked = false;
        auto answer = shm::await_response(client.region, request_id, start, shm::spin_budget(input.size()), [&] {
            if (PyErr_CheckSignals() != 0) return false;
            forked = !client.made_here();
            return !forked;
        });
        if (forked) return quelt::unexpected(made_in_another_process(kClassName));
        if (!answer) return wait_failure(client.region, std::move(answer.error()));
        return output_of(client.region, *answer);
    }
};

using ShmClientState = RegionClientState<ThroughQueues>;
using ShmClientObject = NativeObject<ShmClientState>;

constexpr Signature kInferSignature{"QueltShmClient.infer", kRegionInferNames, 3, 3};

PyObject* infer(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return region_infer<ThroughQueues>(kInferSignature, kClassName, self, args, nargs, kwnames);
}

constexpr const char* kConstructorNames[] = {"shm_name"};
constexpr Signature kConstructorSignature{"QueltShmClient.__new__", kConstructorNames, 1, 1};

PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    auto bound = bind<1>(kConstructorSignature, args, kwargs);
    if (!bound) return raise(bound.error());
    auto name = to_string((*bound)[0], "shm_name");
    if (!name) return raise(name.error());
    auto client = RegionClient::open(std::move(*name));
    if (!client) return raise(client.error());
    return ShmClientObject::create(type, ShmClientState{std::move(*client), ThroughQueues{}});
}

PyMethodDef methods[] = {
    {"infer", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<infer>)), METH_FASTCALL | METH_KEYWORDS,
     "infer($self, shape, dtype, data)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("QueltShmClient(shm_name)\n--\n\nPyO3 wrapper for shared memory client")},
    {Py_tp_new, reinterpret_cast<void*>(guarded<construct>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(ShmClientObject::dealloc)},
    {Py_tp_methods, methods},
    {0, nullptr},
};

PyType_Spec type_spec = {"QueltShmClient", sizeof(ShmClientObject), 0, Py_TPFLAGS_DEFAULT, slots};

}  // namespace

PyObject* create_shm_client_type() { return create_builtin_type(type_spec); }

}  // namespace quelt::py
