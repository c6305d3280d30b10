#include "transport/hybrid_messages.hpp"

#include <chrono>

#include "transport/little_endian.hpp"

namespace quelt {
namespace {

constexpr const char* kShortRecord = "io error: unexpected end of file";

template <class T>
void put(std::uint8_t*& out, T value) {
    wire::store_le(out, value);
    out += sizeof value;
}

template <class T>
T take(const std::uint8_t*& in) {
    T value = wire::load_le<T>(in);
    in += sizeof value;
    return value;
}

void put_request(std::uint8_t*& out, const HybridRequest& request) {
    put(out, request.header.request_id);
    put(out, request.header.reserved);
    for (std::uint8_t flag : request.header.flags) put(out, flag);
    put(out, request.header.timestamp_ns);
    put(out, request.tensor_offset);
    put(out, request.tensor_size);
}

}  // namespace

std::uint64_t wall_clock_ns() {
    auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch).count();
    return ns < 0 ? 0 : static_cast<std::uint64_t>(ns);
}

RequestHeader RequestHeader::build(std::uint64_t request_id, std::uint32_t reserved, std::uint8_t first,
                                   std::uint8_t second) {
    return RequestHeader{request_id, reserved, {first, second, 0, 0}, wall_clock_ns()};
}

std::array<std::uint8_t, kHybridRequestSize> encode(const HybridRequest& request) {
    std::array<std::uint8_t, kHybridRequestSize> bytes;
    std::uint8_t* out = bytes.data();
    put_request(out, request);
    return bytes;
}

std::array<std::uint8_t, kHybridRequestFrameSize> encode_request_frame(const HybridRequest& request) {
    std::array<std::uint8_t, kHybridRequestFrameSize> bytes;
    std::uint8_t* out = bytes.data();
    put<std::uint32_t>(out, 0);
    put<std::uint32_t>(out, kHybridMessageKind);
    put<std::uint32_t>(out, static_cast<std::uint32_t>(kHybridRequestSize));
    put_request(out, request);
    return bytes;
}

std::array<std::uint8_t, kHybridResponseSize> encode(const HybridResponse& response) {
    std::array<std::uint8_t, kHybridResponseSize> bytes;
    std::uint8_t* out = bytes.data();
    put(out, response.metadata.request_id);
    put(out, response.metadata.status);
    for (std::uint8_t byte : response.metadata.reserved) put(out, byte);
    put(out, response.metadata.extra);
    put(out, response.shm_offset);
    put(out, response.shm_size);
    return bytes;
}

std::array<std::uint8_t, kReplyHeaderSize> encode(const ReplyHeader& header) {
    std::array<std::uint8_t, kReplyHeaderSize> bytes;
    std::uint8_t* out = bytes.data();
    put(out, header.reply_code);
    put(out, header.body_length);
    return bytes;
}

Result<HybridRequest> decode_hybrid_request(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < kHybridRequestSize) return quelt::unexpected(Error::wire(kShortRecord));
    const std::uint8_t* in = bytes.data();
    HybridRequest request;
    request.header.request_id = take<std::uint64_t>(in);
    request.header.reserved = take<std::uint32_t>(in);
    for (std::uint8_t& flag : request.header.flags) flag = take<std::uint8_t>(in);
    request.header.timestamp_ns = take<std::uint64_t>(in);
    request.tensor_offset = take<std::uint64_t>(in);
    request.tensor_size = take<std::uint64_t>(in);
    return request;
}

Result<HybridResponse> decode_hybrid_response(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < kHybridResponseSize) return quelt::unexpected(Error::wire(kShortRecord));
    const std::uint8_t* in = bytes.data();
    HybridResponse response;
    response.metadata.request_id = take<std::uint64_t>(in);
    response.metadata.status = take<std::uint8_t>(in);
    for (std::uint8_t& byte : response.metadata.reserved) byte = take<std::uint8_t>(in);
    response.metadata.extra = take<std::uint64_t>(in);
    response.shm_offset = take<std::uint64_t>(in);
    response.shm_size = take<std::uint64_t>(in);
    return response;
}

ReplyHeader decode_reply_header(std::span<const std::uint8_t, kReplyHeaderSize> bytes) {
    const std::uint8_t* in = bytes.data();
    ReplyHeader header;
    header.reply_code = take<std::uint32_t>(in);
    header.body_length = take<std::uint32_t>(in);
    return header;
}

}  // namespace quelt
