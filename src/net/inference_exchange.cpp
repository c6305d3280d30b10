#include "net/inference_exchange.hpp"

#include "transport/frame_header.hpp"
#include "transport/frames.hpp"
#include "transport/record_codec.hpp"

namespace quelt::net {
namespace {

std::unexpected<ExchangeError> failure(ExchangeError::Kind kind, std::string message) {
    return std::unexpected(ExchangeError{kind, std::move(message), 0});
}

std::string body_text(const ReplyFrame& reply) {
    auto body = reply.body();
    return std::string(reinterpret_cast<const char*>(body.data()), body.size());
}

// Decodes a success or chunk body into its tensor; the failure is the
// decoder's or the packet rules' message.
std::expected<ReceivedTensor, std::string> receive_tensor(ReplyFrame reply, LowerCase lower) {
    auto packet = wire::decode_packet(reply.body(), lower);
    if (!packet) return std::unexpected(std::move(packet.error().message));
    auto tensor = wire::resolve_packet(std::move(*packet));
    if (!tensor) return std::unexpected(std::move(tensor.error()));
    return ReceivedTensor{std::move(reply.bytes), std::move(*tensor)};
}

}  // namespace

ExchangeResult<wire::ByteBuffer> build_inference_frame(const InferenceCall& call, wire::MessageKind kind) {
    auto dtype = parse_dtype(call.dtype, call.lower);
    if (!dtype) return failure(ExchangeError::Kind::InvalidInput, dtype.error().message());
    wire::RequestOptions options;
    if (call.api_token) options.api_token = *call.api_token;
    const wire::InferenceRequestView request{
        {call.shape, dtype_name(*dtype), call.data, std::nullopt},
        call.additional_inputs,
        call.session_id,
        call.api_token ? &options : nullptr,
    };
    auto frame = wire::build_request_frame(call.model_id, kind, request);
    if (!frame) return failure(ExchangeError::Kind::Codec, std::move(frame.error()));
    return std::move(*frame);
}

ExchangeResult<ReceivedTensor> infer_exchange(Connection& connection, const InferenceCall& call) {
    auto frame = build_inference_frame(call, wire::MessageKind::Infer);
    if (!frame) return std::unexpected(frame.error());
    if (auto written = connection.write_all(frame->span()); !written) return std::unexpected(written.error());
    auto reply = connection.read_reply();
    if (!reply) return std::unexpected(reply.error());
    if (reply->reply_code != wire::reply_code::kSuccess)
        return failure(ExchangeError::Kind::Server, body_text(*reply));
    auto received = receive_tensor(std::move(*reply), call.lower);
    if (!received) return failure(ExchangeError::Kind::Codec, std::move(received.error()));
    return std::move(*received);
}

StreamStep next_stream_frame(Connection& connection, LowerCase lower) {
    auto reply = connection.read_reply();
    if (!reply) return std::unexpected(std::move(reply.error().message));
    if (reply->body().empty()) return std::nullopt;
    switch (reply->reply_code) {
        case wire::reply_code::kStreamError: return std::unexpected(body_text(*reply));
        case wire::reply_code::kStreamChunk: {
            auto received = receive_tensor(std::move(*reply), lower);
            if (!received) return std::unexpected(std::move(received.error()));
            return std::optional<ReceivedTensor>(std::move(*received));
        }
        default: return std::nullopt;  // StreamEnd, or a code the client does not know
    }
}

}  // namespace quelt::net
