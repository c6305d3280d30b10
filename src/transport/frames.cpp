#include "transport/frames.hpp"

#include <cstring>

#include "transport/record_codec.hpp"

namespace quelt::wire {
namespace {

Error too_large(std::uint64_t body_size, const char* what) {
    return Error::wire(std::string(what) + " of " + std::to_string(body_size) +
                       " bytes is too large: a frame carries at most 4294967295 bytes");
}

template <std::size_t HeaderSize>
Result<ByteBuffer> frame_buffer(std::uint64_t body_size, const char* what) {
    if (body_size > kMaxFrameBody) return quelt::unexpected(too_large(body_size, what));
    return ByteBuffer::uninitialised(HeaderSize + static_cast<std::size_t>(body_size));
}

}  // namespace

Result<ByteBuffer> build_request_frame(std::uint32_t model_id, MessageKind kind,
                                                           const InferenceRequestView& request) {
    const std::uint64_t payload_size = encoded_request_size(request);
    auto frame = frame_buffer<RequestFrameHeader::kSize>(payload_size, "request payload");
    if (!frame) return frame;
    auto bytes = frame->span();
    RequestFrameHeader{model_id, static_cast<std::uint32_t>(kind), static_cast<std::uint32_t>(payload_size)}
        .write(bytes.first<RequestFrameHeader::kSize>());
    encode_inference_request(request, bytes.subspan(RequestFrameHeader::kSize));
    return frame;
}

Result<GatheredFrame> build_gathered_request_frame(std::uint32_t model_id, MessageKind kind,
                                                                       const InferenceRequestView& request,
                                                                       std::size_t borrow_from) {
    const GatheredSize size = gathered_request_size(request, borrow_from);
    if (size.size > kMaxFrameBody)
        return quelt::unexpected(too_large(size.size, "request payload"));
    auto owned = ByteBuffer::uninitialised(RequestFrameHeader::kSize + static_cast<std::size_t>(size.owned));
    GatheredFrame frame{std::move(owned), {}};
    auto bytes = frame.owned.span();
    RequestFrameHeader{model_id, static_cast<std::uint32_t>(kind), static_cast<std::uint32_t>(size.size)}
        .write(bytes.first<RequestFrameHeader::kSize>());
    GatherWriter writer(bytes, RequestFrameHeader::kSize, borrow_from, frame.pieces);
    encode_inference_request(request, writer);
    return frame;
}

Result<ByteBuffer> build_packet_reply(std::uint32_t reply_code, const TensorPacketView& packet) {
    const std::uint64_t body_size = encoded_packet_size(packet);
    auto frame = frame_buffer<ReplyFrameHeader::kSize>(body_size, "reply body");
    if (!frame) return frame;
    auto bytes = frame->span();
    ReplyFrameHeader{reply_code, static_cast<std::uint32_t>(body_size)}.write(bytes.first<ReplyFrameHeader::kSize>());
    encode_packet(packet, bytes.subspan(ReplyFrameHeader::kSize));
    return frame;
}

Result<ByteBuffer> build_text_reply(std::uint32_t reply_code, std::string_view text) {
    auto frame = frame_buffer<ReplyFrameHeader::kSize>(text.size(), "reply body");
    if (!frame) return frame;
    auto bytes = frame->span();
    ReplyFrameHeader{reply_code, static_cast<std::uint32_t>(text.size())}.write(bytes.first<ReplyFrameHeader::kSize>());
    if (!text.empty()) std::memcpy(bytes.data() + ReplyFrameHeader::kSize, text.data(), text.size());
    return frame;
}

}  // namespace quelt::wire
