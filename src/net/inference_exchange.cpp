#include "net/inference_exchange.hpp"

#include "common/propagate.hpp"
#include "transport/frame_header.hpp"

namespace quelt::net {
Result<wire::GatheredFrame> build_inference_frame(const InferenceCall& call, wire::MessageKind kind) {
    QUELT_TRY(dtype, parse_dtype(call.dtype));
    wire::RequestOptions options;
    if (call.api_token) options.api_token = *call.api_token;
    const wire::InferenceRequestView request{
        {call.shape, dtype_name(*dtype), call.data, std::nullopt},
        call.additional_inputs,
        call.session_id,
        call.api_token ? &options : nullptr,
    };
    QUELT_TRY(frame, wire::build_gathered_request_frame(call.model_id, kind, request, kBorrowFrom));
    return std::move(*frame);
}

Result<void> write_frame(Connection& connection, const wire::GatheredFrame& frame) {
    if (frame.pieces.empty()) return connection.write_all(frame.owned.span());
    return connection.write_all(std::span<const std::span<const std::uint8_t>>(frame.pieces));
}

Result<ReplyTensor> infer_exchange(Connection& connection, const InferenceCall& call, wire::DataSink& sink) {
    QUELT_TRY(frame, build_inference_frame(call, wire::MessageKind::Infer));
    QUELT_TRY(written, write_frame(connection, *frame));
    QUELT_TRY(header, read_reply_header(connection));
    if (header->reply_code != wire::reply_code::kSuccess) {
        QUELT_TRY(text, read_text_body(connection, header->body_length));
        return quelt::unexpected(Error::server(std::move(*text)));
    }
    QUELT_TRY(packet, read_packet_body(connection, header->body_length, sink));
    if (!*packet) return quelt::unexpected(std::move(packet->error()));
    return std::move(**packet);
}

StreamStep next_stream_frame(Connection& connection, wire::DataSink& sink) {
    QUELT_TRY(header, read_reply_header(connection));
    if (header->body_length == 0) return std::nullopt;
    switch (header->reply_code) {
        case wire::reply_code::kStreamError: {
            QUELT_TRY(text, read_text_body(connection, header->body_length));
            return quelt::unexpected(Error::server(std::move(*text)));
        }
        case wire::reply_code::kStreamChunk: {
            QUELT_TRY(packet, read_packet_body(connection, header->body_length, sink));
            if (!*packet) return quelt::unexpected(std::move(packet->error()));
            return std::optional<ReplyTensor>(std::move(**packet));
        }
        default: {  // StreamEnd, or a code the client does not know: the body is dropped
            QUELT_TRY(skipped, connection.skip(header->body_length));
            return std::nullopt;
        }
    }
}

BufferedStreamStep next_stream_frame(Connection& connection) {
    wire::BufferSink sink;
    QUELT_TRY(step, next_stream_frame(connection, sink));
    if (!*step) return std::nullopt;
    wire::ResolvedTensor tensor{std::move((*step)->shape), (*step)->dtype, {}, {}, false};
    ReceivedTensor received{std::move(sink.buffer), std::move(tensor)};
    received.tensor.raw = received.frame.span();
    return std::optional<ReceivedTensor>(std::move(received));
}

}  // namespace quelt::net
