#include "reply_frames.hpp"

#include "transport/little_endian.hpp"
#include "transport/record_codec.hpp"

namespace quelt::server {
namespace {

constexpr std::size_t kLengthWord = 8;

void add(std::vector<iovec>& pieces, const void* data, std::size_t size) {
    if (size > 0) pieces.push_back({const_cast<void*>(data), size});
}

}  // namespace

quelt::expected<PacketReply, std::string> PacketReply::build(std::uint32_t reply_code, const TensorOutput& output) {
    PacketReply reply;
    reply.data_ = output.data();
    // The record codec writes the packet with empty data; the data's length
    // word is then set to the real length and the data sent after it.
    wire::TensorPacketView packet{output.shape, dtype_name(output.dtype), std::span<const std::uint8_t>{},
                                  std::nullopt};
    const std::uint64_t empty_size = wire::encoded_packet_size(packet);
    const std::uint64_t body_size = empty_size + reply.data_.size();
    if (body_size > wire::kMaxFrameBody)
        return quelt::unexpected("Resource exhausted: an output of " + std::to_string(body_size) +
                               " bytes does not fit a reply frame");
    reply.head_ = wire::encode_packet(packet);
    reply.head_.resize(empty_size - 1);
    wire::store_le(reply.head_.data() + reply.head_.size() - kLengthWord, std::uint64_t{reply.data_.size()});
    wire::ReplyFrameHeader{reply_code, static_cast<std::uint32_t>(body_size)}.write(reply.header_);
    return reply;
}

void PacketReply::append_to(std::vector<iovec>& pieces) {
    add(pieces, header_.data(), header_.size());
    add(pieces, head_.data(), head_.size());
    add(pieces, data_.data(), data_.size());
    add(pieces, &tail_, 1);
}

TextReply::TextReply(std::uint32_t reply_code, std::string text) : text_(std::move(text)) {
    wire::ReplyFrameHeader{reply_code, static_cast<std::uint32_t>(text_.size())}.write(header_);
}

void TextReply::append_to(std::vector<iovec>& pieces) {
    add(pieces, header_.data(), header_.size());
    add(pieces, text_.data(), text_.size());
}

RawReply::RawReply(std::uint32_t reply_code, std::vector<std::uint8_t> body, std::uint32_t announced_length)
    : body_(std::move(body)) {
    wire::ReplyFrameHeader{reply_code, announced_length}.write(header_);
}

void RawReply::append_to(std::vector<iovec>& pieces) {
    add(pieces, header_.data(), header_.size());
    add(pieces, body_.data(), body_.size());
}

}  // namespace quelt::server
