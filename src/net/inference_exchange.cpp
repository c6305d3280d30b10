#include "net/inference_exchange.hpp"

#include "transport/frame_header.hpp"

namespace quelt::net {
namespace {

quelt::unexpected<ExchangeError> failure(ExchangeError::Kind kind, std::string message) {
    return quelt::unexpected(ExchangeError{kind, std::move(message), 0});
}

}  // namespace

ExchangeResult<wire::GatheredFrame> build_inference_frame(const InferenceCall& call, wire::MessageKind kind) {
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
    auto frame = wire::build_gathered_request_frame(call.model_id, kind, request, kBorrowFrom);
    if (!frame) return failure(ExchangeError::Kind::Codec, std::move(frame.error()));
    return std::move(*frame);
}

ExchangeResult<void> write_frame(Connection& connection, const wire::GatheredFrame& frame) {
    if (frame.pieces.empty()) return connection.write_all(frame.owned.span());
    return connection.write_all(std::span<const std::span<const std::uint8_t>>(frame.pieces));
}

ExchangeResult<ReplyTensor> infer_exchange(Connection& connection, const InferenceCall& call, wire::DataSink& sink) {
    auto frame = build_inference_frame(call, wire::MessageKind::Infer);
    if (!frame) return quelt::unexpected(frame.error());
    if (auto written = write_frame(connection, *frame); !written) return quelt::unexpected(written.error());
    auto header = read_reply_header(connection);
    if (!header) return quelt::unexpected(header.error());
    if (header->reply_code != wire::reply_code::kSuccess) {
        auto text = read_text_body(connection, header->body_length);
        if (!text) return quelt::unexpected(text.error());
        return failure(ExchangeError::Kind::Server, std::move(*text));
    }
    auto packet = read_packet_body(connection, header->body_length, sink, call.lower);
    if (!packet) return quelt::unexpected(packet.error());
    if (!*packet) return failure(ExchangeError::Kind::Codec, std::move(packet->error()));
    return std::move(**packet);
}

StreamStep next_stream_frame(Connection& connection, LowerCase lower, wire::DataSink& sink) {
    auto header = read_reply_header(connection);
    if (!header) return quelt::unexpected(std::move(header.error().message));
    if (header->body_length == 0) return std::nullopt;
    switch (header->reply_code) {
        case wire::reply_code::kStreamError: {
            auto text = read_text_body(connection, header->body_length);
            if (!text) return quelt::unexpected(std::move(text.error().message));
            return quelt::unexpected(std::move(*text));
        }
        case wire::reply_code::kStreamChunk: {
            auto packet = read_packet_body(connection, header->body_length, sink, lower);
            if (!packet) return quelt::unexpected(std::move(packet.error().message));
            if (!*packet) return quelt::unexpected(std::move(packet->error()));
            return std::optional<ReplyTensor>(std::move(**packet));
        }
        default: {  // StreamEnd, or a code the client does not know: the body is dropped
            if (auto skipped = connection.skip(header->body_length); !skipped)
                return quelt::unexpected(std::move(skipped.error().message));
            return std::nullopt;
        }
    }
}

BufferedStreamStep next_stream_frame(Connection& connection, LowerCase lower) {
    wire::BufferSink sink;
    auto step = next_stream_frame(connection, lower, sink);
    if (!step) return quelt::unexpected(std::move(step.error()));
    if (!*step) return std::nullopt;
    wire::ResolvedTensor tensor{std::move((*step)->shape), (*step)->dtype, {}, {}, false};
    ReceivedTensor received{std::move(sink.buffer), std::move(tensor)};
    received.tensor.raw = received.frame.span();
    return std::optional<ReceivedTensor>(std::move(received));
}

}  // namespace quelt::net
