#pragma once
// Factories of the module's heap types. Each returns a new reference to the
// type object, or nullptr with the interpreter's error set.
#include "net/connection.hpp"
#include "python/python.hpp"

namespace quelt::py {

PyObject* create_quelt_client_type();
PyObject* create_shm_client_type();
PyObject* create_hybrid_client_type();

// Created on first use and kept for the life of the process; never a module
// attribute. Borrowed reference, or nullptr with the error set.
PyTypeObject* stream_iterator_type();

// A StreamIterator that owns `connection` (its request already written) and
// belongs to the calling thread. New reference, or nullptr with the error set.
PyObject* create_stream_iterator(net::Connection connection);

}  // namespace quelt::py
