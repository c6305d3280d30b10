#include "python/result_bytes.hpp"

#include <cstring>

#include "common/fresh_memory.hpp"

namespace quelt::py {

ResultBytes new_result_bytes(std::size_t size) {
    PyRef object = PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
    if (!object) return {};
    std::span<std::uint8_t> room(reinterpret_cast<std::uint8_t*>(PyBytes_AsString(object.get())), size);
    prepare_fresh_fill(room);
    return {std::move(object), room};
}

PyObject* result_bytes_copy(std::span<const std::byte> data) {
    ResultBytes result = new_result_bytes(data.size());
    if (!result.object) return nullptr;
    if (!data.empty()) std::memcpy(result.room.data(), data.data(), data.size());
    return result.object.release();
}

}  // namespace quelt::py
