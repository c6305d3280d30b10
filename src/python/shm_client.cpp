// QueltShmClient: inference entirely through a shared-memory region. The
// input tensor goes into a leased pool slot, a request entry onto the request
// queue; the answer is polled from the response queue. The call holds the
// interpreter lock throughout, as every call of this module does.
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "common/process_generation.hpp"
#include "python/arguments.hpp"
#include "python/builtin_type.hpp"
#include "python/conversion.hpp"
#include "python/entry_guard.hpp"
#include "python/native_object.hpp"
#include "python/result_bytes.hpp"
#include "python/shm_log.hpp"
#include "python/types.hpp"
#include "shm/input_staging.hpp"
#include "shm/message_block.hpp"
#include "shm/region_queues.hpp"
#include "shm/answer_routing.hpp"
#include "shm/response_wait.hpp"
#include "shm/shared_pools.hpp"
#include "shm/shm_region.hpp"
#include "shm/tensor_block.hpp"

namespace quelt::py {
namespace {

struct ShmClientState {
    // Shared with this process's other clients of the region.
    std::shared_ptr<shm::TensorPool> pool;
    shm::ShmRegion region;
    // Known to this process's answer routing while the object lives.
    shm::OwnRequestNumbers numbers;
    // The process that made the client. A child made by fork() refuses it:
    // its slots and its waits are the parent's.
    std::uint64_t generation;
};

using ShmClientObject = NativeObject<ShmClientState>;

Error runtime_error(std::string message) { return Error::library(ErrorKind::Runtime, std::move(message)); }

constexpr const char* kMadeInAnotherProcess =
    "QueltShmClient was created in another process; create a new client after fork()";

// No answer can come from a region that its server left: a timed-out wait
// says so, as waiting again would only time out again.
Error wait_failure(const shm::ShmRegion& region, Error failure) {
    if (failure.kind == ErrorKind::Timeout)
        if (auto named = region.check_still_named(); !named) return std::move(named.error());
    return failure;
}

// Nanoseconds since 1970 by the wall clock; a clock set before 1970 gives 0.
std::uint64_t wall_clock_ns() {
    const auto since_epoch = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::system_clock::now().time_since_epoch());
    return since_epoch.count() < 0 ? 0 : static_cast<std::uint64_t>(since_epoch.count());
}

// The answer turned into the call's result: the output block's bytes, or the
// server's error text.
PyObject* result_of(const shm::ShmRegion& region, const shm::ResponseEntry& answer) {
    if (answer.status == 0) {
        auto data = shm::read_tensor_data(region.bytes(), answer.result_offset);
        if (!data) return raise(data.error());
        return result_bytes_copy(*data);
    }
    if (answer.error_offset == 0) return raise(runtime_error("Unknown error"));
    auto text = shm::read_message_block(region.bytes(), answer.error_offset);
    if (!text) return raise(text.error());
    // raise() decodes the text leniently: invalid UTF-8 becomes U+FFFD.
    return raise(runtime_error(std::string(reinterpret_cast<const char*>(text->data()), text->size())));
}

// The lease releases the input slot when this returns, whichever way it ends.
PyObject* run_inference(ShmClientState& client, const std::vector<std::int64_t>& shape, const std::string& dtype,
                        const DataArgument& data) {
    if (client.generation != process_generation()) return raise(runtime_error(kMadeInAnotherProcess));
    // Taken before anything can fail: a failing call still uses up its number.
    const std::uint64_t request_id = client.numbers.take();

    auto lease = shm::stage_input(client.region.bytes(), *client.pool, shape, dtype, data.bytes());
    if (!lease) return raise(lease.error());

    const shm::RequestEntry request{request_id, 0, wall_clock_ns(), lease->offset(), lease->size()};
    auto queue = shm::request_queue(client.region);
    if (!queue) return raise(queue.error());
    if (auto pushed = queue->push(request); !pushed) return raise(pushed.error());

    const auto start = std::chrono::steady_clock::now();
    // A signal handler may fork: the child's copy of this wait ends at once,
    // leaving the answer, and the slot, to the parent. The handler runs inside
    // the signal check, so the process is known only after it.
    auto answer = shm::await_response(client.region, request_id, start, shm::spin_budget(lease->size()), [&] {
        if (PyErr_CheckSignals() != 0) return false;
        if (client.generation == process_generation()) return true;
        raise(runtime_error(kMadeInAnotherProcess));
        return false;
    });
    if (!answer) return raise(wait_failure(client.region, std::move(answer.error())));
    return result_of(client.region, *answer);
}

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
    auto* object = ShmClientObject::cast(self);
    auto borrow = object->borrow.exclusive();
    if (!borrow) return raise(borrow.error());
    return run_inference(*object->native, *shape, *dtype, *data);
}

constexpr const char* kConstructorNames[] = {"shm_name"};
constexpr Signature kConstructorSignature{"QueltShmClient.__new__", kConstructorNames, 1, 1};

Result<ShmClientState> open_client(std::string name) {
    auto region = shm::ShmRegion::open(std::move(name), &shm_memory_log());
    if (!region) return quelt::unexpected(std::move(region.error()).as(ErrorKind::Connection));
    // The pool is placed once, from the header as it is now; it must lie inside the mapping.
    auto pool = shm::shared_pool(*region);
    if (!pool) return quelt::unexpected(std::move(pool.error()).as(ErrorKind::Connection));
    return ShmClientState{std::move(*pool), std::move(*region), shm::OwnRequestNumbers(), process_generation()};
}

PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    auto bound = bind<1>(kConstructorSignature, args, kwargs);
    if (!bound) return raise(bound.error());
    auto name = to_string((*bound)[0], "shm_name");
    if (!name) return raise(name.error());
    auto client = open_client(std::move(*name));
    if (!client) return raise(client.error());
    return ShmClientObject::create(type, std::move(*client));
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
