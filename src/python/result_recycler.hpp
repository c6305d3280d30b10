#pragma once
// Results of a few hundred kilobytes to a few megabytes, made again and again
// by one client. The C library maps each such result afresh from the kernel
// (its threshold for mapping follows the sizes freed, so a result the size of
// the last one is mapped anew) and unmaps it when it is freed: every call
// faults in and clears pages, which costs more than the copy into them.
//
// A client therefore keeps its last two such results. Once the caller has let
// go of one (the client holds the only reference left), the next result of
// the same size is written into it instead of into new memory. The object
// comes back with its cached hash cleared: to the caller it is a new bytes
// object like any other. Only results from kRecycledFrom to kRecycledUpTo are
// kept, so a client holds at most two of them beyond their use.
#include <array>
#include <cstddef>
#include <span>

#include "python/py_ref.hpp"

namespace quelt::py {

inline constexpr std::size_t kRecycledFrom = 128u << 10;
inline constexpr std::size_t kRecycledUpTo = 16u << 20;

class ResultRecycler {
public:
    // A bytes object holding a copy of `data` (new reference, or null with
    // the Python error set). Called with the interpreter lock held.
    PyObject* copy(std::span<const std::byte> data);

private:
    // A kept result of `size` bytes that nobody else holds, or null.
    PyObject* reusable(std::size_t size) const noexcept;
    void keep(PyObject* result) noexcept;

    std::array<PyRef, 2> kept_;
    std::size_t next_ = 0;  // the one replaced when both are still in use
};

}  // namespace quelt::py
