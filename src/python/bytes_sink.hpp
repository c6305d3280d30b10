#pragma once
// A DataSink whose room is a new Python bytes object: a reply's data is read
// from the socket straight into the bytes the caller gets back.
#include <new>
#include <span>

#include "python/py_ref.hpp"
#include "transport/data_sink.hpp"

namespace quelt::py {

class BytesSink final : public wire::DataSink {
public:
    std::span<std::uint8_t> allocate(std::size_t size) override {
        bytes_ = PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
        if (!bytes_) throw std::bad_alloc();
        return {reinterpret_cast<std::uint8_t*>(PyBytes_AsString(bytes_.get())), size};
    }

    // The filled bytes object (a new reference).
    PyObject* release() noexcept { return bytes_.release(); }
    PyObject* get() const noexcept { return bytes_.get(); }

private:
    PyRef bytes_;
};

}  // namespace quelt::py
