#pragma once
// The failure of one QueltClient operation. The kind fixes the Python
// exception class at the boundary; the message is shown to the user as is.
#include <string>

#include "common/expected.hpp"

namespace quelt {

struct ExchangeError {
    enum class Kind { Io = 0, InvalidConfig = 1, InvalidInput = 2, Codec = 3, Server = 4 };
    Kind kind;
    std::string message;
    // errno of an Io failure that came from the system; 0 for the I/O layer's
    // own texts ("failed to fill whole buffer", ...). Streams use it to pick
    // the matching OSError subclass.
    int os_code = 0;

    static ExchangeError invalid_config(std::string text) {
        return {Kind::InvalidConfig, std::move(text), 0};
    }
};

template <class T>
using ExchangeResult = quelt::expected<T, ExchangeError>;

}  // namespace quelt
