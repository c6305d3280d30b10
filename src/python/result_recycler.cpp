#include "python/result_recycler.hpp"

#include <cstring>

#include "python/result_bytes.hpp"

namespace quelt::py {
namespace {

// A bytes object caches its hash in the word right before its first byte.
Py_hash_t* cached_hash(PyObject* bytes) noexcept {
    return reinterpret_cast<Py_hash_t*>(PyBytes_AsString(bytes)) - 1;
}

// Whether this interpreter keeps that cache where cached_hash() looks: a new
// object holds -1 there, and its hash once computed. Where it does not,
// results are never reused, since a stale hash would be a wrong answer.
bool hash_cache_found() {
    static const bool found = [] {
        PyRef probe = PyRef::steal(PyBytes_FromStringAndSize("result", 6));
        if (!probe || *cached_hash(probe.get()) != -1) {
            PyErr_Clear();
            return false;
        }
        const Py_hash_t hash = PyObject_Hash(probe.get());
        if (hash == -1) {
            PyErr_Clear();
            return false;
        }
        return *cached_hash(probe.get()) == hash;
    }();
    return found;
}

bool recycled_size(std::size_t size) noexcept { return size >= kRecycledFrom && size <= kRecycledUpTo; }

}  // namespace

PyObject* ResultRecycler::reusable(std::size_t size) const noexcept {
    for (const PyRef& kept : kept_) {
        if (kept && Py_REFCNT(kept.get()) == 1 && static_cast<std::size_t>(PyBytes_Size(kept.get())) == size)
            return kept.get();
    }
    return nullptr;
}

void ResultRecycler::keep(PyObject* result) noexcept {
    // An empty place first, then one whose result nobody holds any more.
    for (PyRef& kept : kept_) {
        if (!kept || Py_REFCNT(kept.get()) == 1) {
            kept = PyRef::borrow(result);
            return;
        }
    }
    kept_[next_] = PyRef::borrow(result);
    next_ = (next_ + 1) % kept_.size();
}

PyObject* ResultRecycler::copy(std::span<const std::byte> data) {
    if (!recycled_size(data.size()) || !hash_cache_found()) return result_bytes_copy(data);
    if (PyObject* result = reusable(data.size())) {
        std::memcpy(PyBytes_AsString(result), data.data(), data.size());
        *cached_hash(result) = -1;
        Py_INCREF(result);
        return result;
    }
    PyObject* result = result_bytes_copy(data);
    if (result) keep(result);
    return result;
}

}  // namespace quelt::py
