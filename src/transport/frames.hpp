#pragma once
// Whole frames in one buffer, header first, ready for a single write.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.hpp"
#include "transport/byte_buffer.hpp"
#include "transport/frame_header.hpp"
#include "transport/records.hpp"

namespace quelt::wire {

// Request frame of kind 1 or 2. A payload of 4 GiB or more cannot be
// announced in the 32-bit length and is refused before anything is built:
// "request payload of N bytes is too large: a frame carries at most
// 4294967295 bytes" (a reply body likewise, named "reply body").
Result<ByteBuffer> build_request_frame(std::uint32_t model_id, MessageKind kind,
                                                           const InferenceRequestView& request);

// A request frame handed to the kernel as it lies: the header, every value
// and the small byte fields in one buffer of its own, the large byte fields
// (a tensor's data, from `borrow_from` bytes on) read in place from the
// request's memory, which must outlive the frame. When nothing is borrowed,
// `pieces` is empty and `owned` is the whole frame.
struct GatheredFrame {
    ByteBuffer owned;
    std::vector<std::span<const std::uint8_t>> pieces;  // wire order
};

Result<GatheredFrame> build_gathered_request_frame(std::uint32_t model_id, MessageKind kind,
                                                                       const InferenceRequestView& request,
                                                                       std::size_t borrow_from);

// Reply frames a server sends: a packet body (code 0 or a stream chunk), or a
// text body (an error, or a stream end).
Result<ByteBuffer> build_packet_reply(std::uint32_t reply_code, const TensorPacketView& packet);
Result<ByteBuffer> build_text_reply(std::uint32_t reply_code, std::string_view text);

}  // namespace quelt::wire
