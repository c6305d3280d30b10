#include "python/arguments.hpp"

#include <cstring>
#include <vector>

#include "python/py_ref.hpp"

namespace quelt::py {
namespace {

std::string quoted_list(const std::vector<std::string>& names) {
    // 'a'; 'a' and 'b'; 'a', 'b', and 'c' -- as the interpreter lists them.
    std::string text;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0) text += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        text += "'" + names[i] + "'";
    }
    return text;
}

Error type_error(std::string message) { return Error::library(ErrorKind::Type, std::move(message)); }

Error too_many_positional(const Signature& s, Py_ssize_t given) {
    std::string expected = s.required == s.positional
                               ? std::to_string(s.positional)
                               : "from " + std::to_string(s.required) + " to " + std::to_string(s.positional);
    std::string noun = (s.positional == 1 && s.required == 1) ? " positional argument" : " positional arguments";
    std::string verb = given == 1 ? " was given" : " were given";
    return type_error(std::string(s.qualified_name) + "() takes " + expected + noun + " but " +
                      std::to_string(given) + verb);
}

Error missing(const Signature& s, const std::vector<std::string>& names) {
    std::string count = std::to_string(names.size());
    // Every required parameter of this module may be passed by position.
    std::string kind = " required positional argument";
    return type_error(std::string(s.qualified_name) + "() missing " + count + kind +
                      (names.size() == 1 ? "" : "s") + ": " + quoted_list(names));
}

// Places one keyword argument; `position` is how many were given by position.
Result<void> place_keyword(const Signature& s, PyObject* key, PyObject* value, size_t position,
                           std::span<PyObject*> out) {
    Py_ssize_t length = 0;
    const char* name = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &length) : nullptr;
    if (name == nullptr) {
        PyErr_Clear();
        return quelt::unexpected(type_error("keywords must be strings"));
    }
    for (size_t i = 0; i < s.names.size(); ++i) {
        if (std::strlen(s.names[i]) != static_cast<size_t>(length) ||
            std::memcmp(s.names[i], name, length) != 0)
            continue;
        if (out[i] != nullptr || i < position)
            return quelt::unexpected(type_error(std::string(s.qualified_name) +
                                              "() got multiple values for argument '" + s.names[i] + "'"));
        out[i] = value;
        return {};
    }
    return quelt::unexpected(type_error(std::string(s.qualified_name) +
                                      "() got an unexpected keyword argument '" +
                                      std::string(name, length) + "'"));
}

Result<void> check_required(const Signature& s, std::span<PyObject*> out) {
    std::vector<std::string> absent;
    for (size_t i = 0; i < s.required; ++i)
        if (out[i] == nullptr) absent.emplace_back(s.names[i]);
    if (!absent.empty()) return quelt::unexpected(missing(s, absent));
    return {};
}

}  // namespace

Result<void> bind_arguments(const Signature& s, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames, std::span<PyObject*> out) {
    if (static_cast<size_t>(nargs) > s.positional) return quelt::unexpected(too_many_positional(s, nargs));
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    Py_ssize_t keywords = kwnames ? PyTuple_Size(kwnames) : 0;
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        auto placed = place_keyword(s, PyTuple_GetItem(kwnames, k), args[nargs + k], nargs, out);
        if (!placed) return placed;
    }
    return check_required(s, out);
}

Result<void> bind_arguments(const Signature& s, PyObject* args, PyObject* kwargs,
                            std::span<PyObject*> out) {
    Py_ssize_t nargs = args ? PyTuple_Size(args) : 0;
    if (static_cast<size_t>(nargs) > s.positional) return quelt::unexpected(too_many_positional(s, nargs));
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GetItem(args, i);
    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject *key = nullptr, *value = nullptr;
        while (PyDict_Next(kwargs, &position, &key, &value)) {
            auto placed = place_keyword(s, key, value, nargs, out);
            if (!placed) return placed;
        }
    }
    return check_required(s, out);
}

}  // namespace quelt::py
