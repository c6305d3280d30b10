#pragma once
// A DataSink whose room is a new Python bytes object: a reply's data is read
// from the socket straight into the bytes the caller gets back.
#include <new>
#include <span>

#include "python/py_ref.hpp"
#include "python/result_bytes.hpp"
#include "transport/data_sink.hpp"

namespace quelt::py {

class BytesSink final : public wire::DataSink {
public:
    std::span<std::uint8_t> allocate(std::size_t size) override {
        ResultBytes result = new_result_bytes(size);
        if (!result.object) throw std::bad_alloc();
        bytes_ = std::move(result.object);
        return result.room;
    }

    // The filled bytes object (a new reference).
    PyObject* release() noexcept { return bytes_.release(); }
    PyObject* get() const noexcept { return bytes_.get(); }

private:
    PyRef bytes_;
};

}  // namespace quelt::py
