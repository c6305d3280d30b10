// The reference server decodes every request payload a peer sends, so the
// request decoder faces arbitrary bytes too. A request that decodes must be
// written again (with canonical dtype names) and read back unchanged.
#include <algorithm>
#include <string>
#include <vector>

#include "fuzz_input.hpp"
#include "transport/record_codec.hpp"

namespace {

using namespace quelt;

wire::TensorPacketView view_of(const wire::DecodedPacket& packet) {
    return {packet.shape, dtype_name(packet.dtype), packet.data, packet.data_base64};
}

bool same_packet(const wire::DecodedPacket& a, const wire::DecodedPacket& b) {
    auto same = [](const auto& x, const auto& y) {
        return x.has_value() == y.has_value() && (!x || std::ranges::equal(*x, *y));
    };
    return a.shape == b.shape && a.dtype == b.dtype && same(a.data, b.data) && same(a.data_base64, b.data_base64);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::span<const std::uint8_t> payload(data, size);
    (void)wire::decode_request_options(payload);

    auto request = wire::decode_inference_request(payload);
    if (!request) return 0;
    // The token field is left out entirely when absent, so options without a
    // token have no encoded form that reads back (the client never writes one).
    if (request->options && !request->options->api_token) return 0;

    std::vector<wire::NamedTensorView> named;
    named.reserve(request->additional_inputs.size());
    for (const auto& input : request->additional_inputs) named.push_back({input.name, view_of(input.tensor)});
    wire::InferenceRequestView view{view_of(request->input), named, request->session_id,
                                    request->options ? &*request->options : nullptr};

    wire::ByteBuffer encoded = wire::encode_inference_request(view);
    fuzz::require(encoded.size() == wire::encoded_request_size(view), "encoded size");
    auto reread = wire::decode_inference_request(encoded.span());
    fuzz::require(reread.has_value(), "re-encoded request does not decode");
    fuzz::require(same_packet(reread->input, request->input), "input changed");
    fuzz::require(reread->additional_inputs.size() == request->additional_inputs.size(), "named inputs lost");
    for (std::size_t i = 0; i < named.size(); ++i) {
        fuzz::require(reread->additional_inputs[i].name == request->additional_inputs[i].name, "name changed");
        fuzz::require(same_packet(reread->additional_inputs[i].tensor, request->additional_inputs[i].tensor),
                      "named input changed");
    }
    fuzz::require(reread->session_id == request->session_id, "session id changed");
    fuzz::require(reread->options.has_value() == request->options.has_value(), "options presence changed");
    if (request->options)
        fuzz::require(reread->options->api_token == request->options->api_token, "token changed");
    return 0;
}
