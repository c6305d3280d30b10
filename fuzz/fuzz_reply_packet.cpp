// A unary reply body or a stream chunk is a BinaryTensorPacketPayload written
// by the server. Whatever it holds, decoding must fail with a user-facing
// text or give a packet that resolves to exactly one data source; a packet
// that decodes must survive being written again and read back.
#include <algorithm>
#include <string>
#include <vector>

#include "fuzz_input.hpp"
#include "transport/base64.hpp"
#include "transport/record_codec.hpp"
#include "transport/tensor_packet.hpp"

namespace {

bool known_decoder_message(const std::string& message) {
    return message == "io error: unexpected end of file" || message == "io error: " ||
           message.starts_with("string is not valid utf8: ") ||
           message.starts_with("tag for enum is not valid, found ") ||
           message.starts_with("Invalid input: Unsupported dtype: ");
}

bool known_resolve_message(const std::string& message) {
    return message == "binary tensor payload must include `data` or `data_base64`" ||
           message == "binary tensor payload must include only one of `data` or `data_base64`" ||
           message.starts_with("Invalid symbol ") || message.starts_with("Invalid last symbol ") ||
           message.starts_with("Invalid input length: ") || message == "Invalid padding";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace quelt;
    std::span<const std::uint8_t> body(data, size);

    auto packet = wire::decode_packet(body);
    if (!packet) {
        fuzz::require(known_decoder_message(packet.error().text), "decoder message", packet.error().text);
        return 0;
    }
    // Every view points inside the body.
    auto inside = [&](const void* p, std::size_t n) {
        auto* at = static_cast<const std::uint8_t*>(p);
        return n == 0 || (at >= data && at + n <= data + size);
    };
    if (packet->data) fuzz::require(inside(packet->data->data(), packet->data->size()), "data view");
    if (packet->data_base64)
        fuzz::require(inside(packet->data_base64->data(), packet->data_base64->size()), "base64 view");
    fuzz::require(packet->shape.size() * 8 <= size, "shape longer than the body");

    wire::TensorPacketView again{packet->shape, dtype_name(packet->dtype), packet->data, packet->data_base64};
    wire::DecodedPacket copy = *packet;
    auto resolved = wire::resolve_packet(std::move(copy));
    if (!resolved) {
        fuzz::require(known_resolve_message(resolved.error().text), "resolve message", resolved.error().text);
        fuzz::require(!(packet->data && !packet->data_base64), "raw data refused");
    } else {
        fuzz::require(packet->data.has_value() != packet->data_base64.has_value(), "exactly one data source");
        fuzz::require(resolved->shape == packet->shape && resolved->dtype == packet->dtype, "resolved tensor");
        if (packet->data) {
            auto bytes = resolved->bytes();
            fuzz::require(std::equal(bytes.begin(), bytes.end(), packet->data->begin(), packet->data->end()),
                          "raw data changed");
        } else {
            auto direct = wire::decode_base64(*packet->data_base64);
            fuzz::require(direct.has_value() && *direct == resolved->decoded, "base64 data changed");
        }
    }

    // Written again (canonical dtype name) and read back: the same packet.
    wire::ByteBuffer encoded = wire::encode_packet(again);
    fuzz::require(encoded.size() == wire::encoded_packet_size(again), "encoded size");
    auto reread = wire::decode_packet(encoded.span());
    fuzz::require(reread.has_value(), "re-encoded packet does not decode");
    fuzz::require(reread->shape == packet->shape && reread->dtype == packet->dtype, "shape or dtype changed");
    auto same = [](const auto& a, const auto& b) {
        return a.has_value() == b.has_value() && (!a || std::ranges::equal(*a, *b));
    };
    fuzz::require(same(reread->data, packet->data) && same(reread->data_base64, packet->data_base64),
                  "data fields changed");
    return 0;
}
