#pragma once
// Reply frames laid out as pieces for one sendmsg: a tensor's bytes are sent
// from where they lie (the request buffer, the region, a model's output)
// instead of being copied into a frame buffer first.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/expected.hpp"
#include "gather.hpp"
#include "model.hpp"
#include "transport/byte_buffer.hpp"
#include "transport/frame_header.hpp"

namespace quelt::server {

// Code 0 or a stream chunk: a BinaryTensorPacketPayload with raw data.
class PacketReply {
public:
    // Fails when the body would not fit the frame's 32-bit length.
    static quelt::expected<PacketReply, std::string> build(std::uint32_t reply_code, const TensorOutput& output);
    void append_to(std::vector<iovec>& pieces);

private:
    std::array<std::uint8_t, wire::ReplyFrameHeader::kSize> header_{};
    // The packet's bytes up to and including the data's length word.
    wire::ByteBuffer head_;
    std::span<const std::uint8_t> data_;
    // The absent data_base64 field.
    std::uint8_t tail_ = 0;
};

// A reply whose body is a text (an error, or none at all for a stream end).
class TextReply {
public:
    TextReply(std::uint32_t reply_code, std::string text);
    void append_to(std::vector<iovec>& pieces);

private:
    std::array<std::uint8_t, wire::ReplyFrameHeader::kSize> header_{};
    std::string text_;
};

// Any fixed bytes (hybrid responses, fault replies).
class RawReply {
public:
    RawReply(std::uint32_t reply_code, std::vector<std::uint8_t> body, std::uint32_t announced_length);
    RawReply(std::uint32_t reply_code, std::vector<std::uint8_t> body)
        : RawReply(reply_code, body, static_cast<std::uint32_t>(body.size())) {}
    void append_to(std::vector<iovec>& pieces);

private:
    std::array<std::uint8_t, wire::ReplyFrameHeader::kSize> header_{};
    std::vector<std::uint8_t> body_;
};

}  // namespace quelt::server
