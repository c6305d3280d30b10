#pragma once
// The inference exchanges of the stream protocol on one connection: a unary
// call (message kind 1) and a stream (kind 2) whose reply frames are read one
// at a time.
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "net/connection.hpp"
#include "transport/dtype.hpp"
#include "transport/frame_header.hpp"
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
    LowerCase lower = lower_ascii;
};

// A reply's tensor; its raw data is a view into `frame`.
struct ReceivedTensor {
    wire::ByteBuffer frame;
    wire::ResolvedTensor tensor;
};

// The request frame, built in one buffer. InvalidInput for an unknown main
// dtype; Codec for a payload too large for its frame.
ExchangeResult<wire::ByteBuffer> build_inference_frame(const InferenceCall& call, wire::MessageKind kind);

// Kind 1: write the request, read the one reply. A non-zero reply code fails
// with Server (the body as text); a body that does not decode, with Codec.
ExchangeResult<ReceivedTensor> infer_exchange(Connection& connection, const InferenceCall& call);

// What the next frame of a stream gave.
using StreamStep = std::expected<std::optional<ReceivedTensor>, std::string>;

// Reads one reply frame of a stream: a chunk, the end (nullopt), or a failure
// whose text is the I/O error, the server's error text, or the decoder's.
StreamStep next_stream_frame(Connection& connection, LowerCase lower);

}  // namespace quelt::net
