#pragma once
// The inference exchanges of the stream protocol on one connection: a unary
// call (message kind 1) and a stream (kind 2) whose reply frames are read one
// at a time.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "common/expected.hpp"
#include "net/connection.hpp"
#include "net/reply_reader.hpp"
#include "transport/data_sink.hpp"
#include "transport/dtype.hpp"
#include "transport/frame_header.hpp"
#include "transport/frames.hpp"
#include "transport/records.hpp"
#include "transport/tensor_packet.hpp"

namespace quelt::net {

struct InferenceCall {
    std::uint32_t model_id = 0;
    std::span<const std::int64_t> shape;
    std::string_view dtype;  // the caller's spelling; recognised by the exchange
    std::span<const std::uint8_t> data;
    // Already checked: each carries its canonical dtype name.
    std::span<const wire::NamedTensorView> additional_inputs;
    std::optional<std::string_view> session_id;
    std::optional<std::string_view> api_token;
};

// Byte fields from this size on are sent from the caller's memory rather
// than copied into the frame; smaller requests go out as one buffer.
inline constexpr std::size_t kBorrowFrom = 64 * 1024;

// The request frame, ready for Connection::write_all. It reads the call's
// large byte fields in place, so the call's memory must outlive it.
// InvalidInput for an unknown main dtype; Codec for a payload too large for
// its frame.
Result<wire::GatheredFrame> build_inference_frame(const InferenceCall& call, wire::MessageKind kind);
Result<void> write_frame(Connection& connection, const wire::GatheredFrame& frame);

// Kind 1: write the request, read the one reply; the output's data goes into
// `sink`. A non-zero reply code fails with Server (the body as text); a body
// that does not decode, with Codec.
Result<ReplyTensor> infer_exchange(Connection& connection, const InferenceCall& call, wire::DataSink& sink);

// What the next frame of a stream gave: a chunk (its data in the sink), the
// end (nullopt), or a failure: the I/O error, the server's error text, or the
// decoder's.
using StreamStep = Result<std::optional<ReplyTensor>>;
StreamStep next_stream_frame(Connection& connection, wire::DataSink& sink);

// A chunk with its data in a buffer of its own: `tensor.bytes()` is a view
// into `frame`.
struct ReceivedTensor {
    wire::ByteBuffer frame;
    wire::ResolvedTensor tensor;
};
using BufferedStreamStep = Result<std::optional<ReceivedTensor>>;
BufferedStreamStep next_stream_frame(Connection& connection);

}  // namespace quelt::net
