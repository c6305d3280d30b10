// StreamIterator: yields the chunks of one streaming inference, one reply
// frame per __next__, from a connection it owns until it is destroyed.
#include <thread>

#include "common/process_generation.hpp"
#include "net/inference_exchange.hpp"
#include "python/builtin_type.hpp"
#include "python/bytes_sink.hpp"
#include "python/conversion.hpp"
#include "python/entry_guard.hpp"
#include "python/failure.hpp"
#include "python/native_object.hpp"
#include "python/types.hpp"

namespace quelt::py {
namespace {

struct StreamIteratorState {
    net::Connection connection;
    std::thread::id owner;
    // A child made by fork() inherits the iterator, but the stream is the
    // parent's: reading it there would take the parent's chunks. Dropping
    // the child's copy only closes the child's descriptor.
    std::uint64_t generation;
    // Once the server has ended the stream, later calls end again without
    // reading: a further read would wait for frames that never come.
    bool finished = false;
    // A read cut short by an exception (memory ran out) leaves the
    // connection inside a frame, where a chunk's data could pass for frames.
    bool broken = false;
};

constexpr const char* kBrokenOff = "the stream broke off inside a frame; start a new stream";

using StreamIteratorObject = NativeObject<StreamIteratorState>;

PyObject* refuse_construction(PyTypeObject*, PyObject*, PyObject*) {
    return raise(Error::library(ErrorKind::Type, "No constructor defined for StreamIterator"));
}

PyObject* iter_self(PyObject* self) {
    Py_INCREF(self);
    return self;
}

PyObject* next_chunk(PyObject* self) {
    auto* object = StreamIteratorObject::cast(self);
    if (std::this_thread::get_id() != object->native->owner)
        return raise(Error::library(ErrorKind::Runtime,
                                    "quelt_sdk::StreamIterator is unsendable, but sent to another thread"));
    if (object->native->generation != process_generation())
        return raise(Error::library(ErrorKind::Runtime,
                                    "StreamIterator was created in another process; start a new stream after fork()"));
    auto borrow = object->borrow.exclusive();
    if (!borrow) return raise(borrow.error());
    StreamIteratorState& state = *object->native;
    if (state.finished) return nullptr;
    if (state.broken) return raise(Error::library(ErrorKind::Runtime, kBrokenOff));
    BytesSink data;
    // Cleared only if the read returns: a frame that failed as a value was
    // read whole, or the connection itself failed and keeps failing.
    state.broken = true;
    auto step = net::next_stream_frame(state.connection, data);
    state.broken = false;
    if (!step) return raise(std::move(step.error()).as(ErrorKind::Runtime));
    if (!*step) {
        state.finished = true;
        return nullptr;  // end of iteration, no exception set
    }
    return data.release();
}

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(guarded<refuse_construction>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(StreamIteratorObject::dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(guarded<iter_self>)},
    {Py_tp_iternext, reinterpret_cast<void*>(guarded<next_chunk>)},
    {0, nullptr},
};

PyType_Spec type_spec = {"StreamIterator", sizeof(StreamIteratorObject), 0, Py_TPFLAGS_DEFAULT, slots};

}  // namespace

PyTypeObject* stream_iterator_type() {
    // Lives as long as the process once created; a failed attempt is retried
    // by the next call.
    static PyObject* type = nullptr;
    if (type == nullptr) type = create_builtin_type(type_spec);
    return reinterpret_cast<PyTypeObject*>(type);
}

PyObject* create_stream_iterator(net::Connection connection) {
    PyTypeObject* type = stream_iterator_type();
    if (type == nullptr) return nullptr;
    return StreamIteratorObject::create(
        type, {std::move(connection), std::this_thread::get_id(), process_generation(), false, false});
}

}  // namespace quelt::py
