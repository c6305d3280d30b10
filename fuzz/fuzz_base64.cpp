// Base64 text arrives from the server inside reply packets. Decoding accepts
// only canonical text, so whatever decodes must encode back to the very same
// text; and every failure is one of the four texts users see.
#include <string>

#include "fuzz_input.hpp"
#include "transport/base64.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace quelt;
    std::string_view text(reinterpret_cast<const char*>(data), size);

    auto decoded = wire::decode_base64(text);
    if (decoded) {
        fuzz::require(decoded->size() == size / 4 * 3 - (size && text.back() == '=') -
                                              (size > 1 && text[size - 2] == '='),
                      "decoded length");
        fuzz::require(wire::encode_base64(*decoded) == text, "decoded text is not canonical", text);
    } else {
        const std::string& message = decoded.error().text;
        bool known = message.starts_with("Invalid symbol ") || message.starts_with("Invalid last symbol ") ||
                     message.starts_with("Invalid input length: ") || message == "Invalid padding";
        fuzz::require(known, "unknown message", message);
        fuzz::require(size % 4 != 0 || !message.starts_with("Invalid input length"), "length of a 4k text");
    }

    // Any bytes survive the trip through their own encoding.
    std::string encoded = wire::encode_base64(fuzz::as_bytes(text));
    fuzz::require(encoded.size() == (size + 2) / 3 * 4, "encoded length");
    auto back = wire::decode_base64(encoded);
    fuzz::require(back.has_value() && std::string_view(reinterpret_cast<const char*>(back->data()), back->size()) == text,
                  "round trip", encoded);
    return 0;
}
