// The hybrid control channel: the client decodes the server's HybridResponse
// and the reference server decodes the client's HybridRequest, both from
// bytes that the peer chose. A record decodes exactly when 40 bytes are there,
// and decoding then re-encoding gives back those 40 bytes.
#include <algorithm>

#include "fuzz_input.hpp"
#include "transport/hybrid_messages.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace quelt;
    std::span<const std::uint8_t> bytes(data, size);

    auto response = decode_hybrid_response(bytes);
    auto request = decode_hybrid_request(bytes);
    if (size < kHybridResponseSize) {
        fuzz::require(!response && response.error().text == "io error: unexpected end of file", "short response");
        fuzz::require(!request && request.error().text == "io error: unexpected end of file", "short request");
        return 0;
    }
    fuzz::require(response.has_value() && request.has_value(), "40 bytes must decode");
    auto response_again = encode(*response);
    auto request_again = encode(*request);
    fuzz::require(std::equal(response_again.begin(), response_again.end(), data), "response round trip");
    fuzz::require(std::equal(request_again.begin(), request_again.end(), data), "request round trip");

    if (size >= kReplyHeaderSize) {
        ReplyHeader header = decode_reply_header(bytes.first<kReplyHeaderSize>());
        auto header_again = encode(header);
        fuzz::require(std::equal(header_again.begin(), header_again.end(), data), "reply header round trip");
    }
    return 0;
}
