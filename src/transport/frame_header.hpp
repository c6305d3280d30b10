#pragma once
// Frame headers of the stream protocol. A request frame is a 12-byte header
// (model_id, message_kind, payload_length, each u32 little-endian) and the
// payload; a reply frame is an 8-byte header (reply_code, body_length) and
// the body.
#include <cstdint>
#include <span>

#include "transport/little_endian.hpp"

namespace quelt::wire {

enum class MessageKind : std::uint32_t { Infer = 1, InferStream = 2, HybridInfer = 4 };

namespace reply_code {
inline constexpr std::uint32_t kSuccess = 0;  // unary exchanges: anything else is an error text
inline constexpr std::uint32_t kStreamError = 1;
inline constexpr std::uint32_t kStreamChunk = 2;
inline constexpr std::uint32_t kStreamEnd = 3;
}  // namespace reply_code

// Largest payload or body a frame can announce.
inline constexpr std::uint64_t kMaxFrameBody = UINT32_MAX;

struct RequestFrameHeader {
    static constexpr std::size_t kSize = 12;
    std::uint32_t model_id = 0;
    std::uint32_t message_kind = 0;
    std::uint32_t payload_length = 0;

    void write(std::span<std::uint8_t, kSize> out) const noexcept {
        store_le(out.data(), model_id);
        store_le(out.data() + 4, message_kind);
        store_le(out.data() + 8, payload_length);
    }
    static RequestFrameHeader read(std::span<const std::uint8_t, kSize> in) noexcept {
        return {load_le<std::uint32_t>(in.data()), load_le<std::uint32_t>(in.data() + 4),
                load_le<std::uint32_t>(in.data() + 8)};
    }
};

struct ReplyFrameHeader {
    static constexpr std::size_t kSize = 8;
    std::uint32_t reply_code = 0;
    std::uint32_t body_length = 0;

    void write(std::span<std::uint8_t, kSize> out) const noexcept {
        store_le(out.data(), reply_code);
        store_le(out.data() + 4, body_length);
    }
    static ReplyFrameHeader read(std::span<const std::uint8_t, kSize> in) noexcept {
        return {load_le<std::uint32_t>(in.data()), load_le<std::uint32_t>(in.data() + 4)};
    }
};

}  // namespace quelt::wire
