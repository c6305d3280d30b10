#pragma once
// Records of the hybrid exchange (message kind 4): the 40-byte HybridRequest
// the client sends after a 12-byte request header, and the 40-byte
// HybridResponse the server answers with after an 8-byte reply header.
// The same leading fields are the queue entries in shared memory.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "common/error.hpp"

namespace quelt {

inline constexpr std::uint32_t kHybridMessageKind = 4;
inline constexpr std::size_t kRequestHeaderSize = 24;
inline constexpr std::size_t kHybridRequestSize = 40;
inline constexpr std::size_t kResponseMetadataSize = 24;
inline constexpr std::size_t kHybridResponseSize = 40;
// model_id 0, message_kind 4, payload_length 40, then the request itself.
inline constexpr std::size_t kHybridRequestFrameSize = 12 + kHybridRequestSize;
inline constexpr std::size_t kReplyHeaderSize = 8;

struct RequestHeader {
    std::uint64_t request_id = 0;
    std::uint32_t reserved = 0;
    std::uint8_t flags[4] = {0, 0, 0, 0};
    std::uint64_t timestamp_ns = 0;

    // Stamps timestamp_ns from the wall clock; the two trailing u8 are 0.
    static RequestHeader build(std::uint64_t request_id, std::uint32_t reserved = 0, std::uint8_t first = 0,
                               std::uint8_t second = 0);
};

struct HybridRequest {
    RequestHeader header;
    std::uint64_t tensor_offset = 0;
    std::uint64_t tensor_size = 0;
};

struct ResponseMetadata {
    std::uint64_t request_id = 0;
    std::uint8_t status = 0;
    std::array<std::uint8_t, 7> reserved{};
    std::uint64_t extra = 0;
};

struct HybridResponse {
    ResponseMetadata metadata;
    std::uint64_t shm_offset = 0;
    std::uint64_t shm_size = 0;
};

struct ReplyHeader {
    std::uint32_t reply_code = 0;
    std::uint32_t body_length = 0;
};

// Wall-clock nanoseconds since 1970; a clock set before 1970 reads as 0.
std::uint64_t wall_clock_ns();

std::array<std::uint8_t, kHybridRequestSize> encode(const HybridRequest& request);
std::array<std::uint8_t, kHybridResponseSize> encode(const HybridResponse& response);
// The whole request frame, ready to hand to the kernel in one write.
std::array<std::uint8_t, kHybridRequestFrameSize> encode_request_frame(const HybridRequest& request);
std::array<std::uint8_t, kReplyHeaderSize> encode(const ReplyHeader& header);

// Decoders read from the start of `bytes` and ignore whatever follows the
// record. A short input fails with "io error: unexpected end of file".
Result<HybridRequest> decode_hybrid_request(std::span<const std::uint8_t> bytes);
Result<HybridResponse> decode_hybrid_response(std::span<const std::uint8_t> bytes);
ReplyHeader decode_reply_header(std::span<const std::uint8_t, kReplyHeaderSize> bytes);

}  // namespace quelt
