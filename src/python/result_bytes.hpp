#pragma once
// New bytes objects for results: the room is prepared for being filled whole
// (see common/fresh_memory.hpp) before the data goes in.
#include <cstddef>
#include <cstdint>
#include <span>

#include "python/py_ref.hpp"

namespace quelt::py {

// A bytes object of `size` bytes of unspecified content, and its room; a
// null reference with the Python error set when there is no memory.
struct ResultBytes {
    PyRef object;
    std::span<std::uint8_t> room;
};
ResultBytes new_result_bytes(std::size_t size);

// A new bytes object holding a copy of `data` (new reference, or null with
// the Python error set).
PyObject* result_bytes_copy(std::span<const std::byte> data);

}  // namespace quelt::py
