#pragma once
// The records of the stream protocol, as views: encoding reads the caller's
// bytes in place, and decoding hands out views into the buffer it read, so a
// tensor's bytes are copied only where they finally have to live.
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "transport/dtype.hpp"

namespace quelt::wire {

// BinaryTensorPacketPayload as written: shape, dtype name, and the data as raw
// bytes or as base64 text. The client always writes the canonical dtype name
// and raw bytes; a server may write either form.
struct TensorPacketView {
    std::span<const std::int64_t> shape;
    std::string_view dtype;
    std::optional<std::span<const std::uint8_t>> data;
    std::optional<std::string_view> data_base64;
};

struct NamedTensorView {
    std::string_view name;
    TensorPacketView tensor;
};

// RequestOptions: thirteen optional fields. The client fills only the token
// (field 6); the others exist so that a reader can skip them correctly. Field
// 6 alone is left out entirely (not even a tag byte) when absent.
struct RequestOptions {
    std::optional<std::string_view> option_1;
    std::optional<std::uint64_t> option_2;
    std::optional<std::uint8_t> option_3;
    std::optional<bool> option_4;
    std::optional<std::string_view> option_5;
    std::optional<std::string_view> api_token;
    std::optional<std::uint32_t> option_7;
    std::optional<float> option_8;
    std::optional<float> option_9;
    std::optional<std::uint32_t> option_10;
    std::optional<float> option_11;
    std::optional<std::uint64_t> option_12;
    std::optional<std::vector<std::uint32_t>> option_13;
};

// InferenceRequest (payload of message kinds 1 and 2) as written.
struct InferenceRequestView {
    TensorPacketView input;
    std::span<const NamedTensorView> additional_inputs;
    std::optional<std::string_view> session_id;
    const RequestOptions* options = nullptr;  // absent when null
};

// A BinaryTensorPacketPayload as read. The dtype name was recognised while
// reading; data and data_base64 point into the decoded buffer.
struct DecodedPacket {
    std::vector<std::int64_t> shape;
    DType dtype;
    std::optional<std::span<const std::uint8_t>> data;
    std::optional<std::string_view> data_base64;
};

// The fields of a packet that come before its data bytes: enough to know
// where the data starts and how long it is, so that a reader can put the data
// where it finally has to live.
struct PacketHead {
    std::vector<std::int64_t> shape;
    DType dtype;
    std::optional<std::uint64_t> data_length;  // absent when the packet has no `data`
};

struct DecodedNamedTensor {
    std::string_view name;
    DecodedPacket tensor;
};

// An InferenceRequest as read; every view points into the decoded buffer.
struct DecodedRequest {
    DecodedPacket input;
    std::vector<DecodedNamedTensor> additional_inputs;
    std::optional<std::string_view> session_id;
    std::optional<RequestOptions> options;
};

}  // namespace quelt::wire
