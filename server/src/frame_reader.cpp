#include "frame_reader.hpp"

#include <algorithm>
#include <cstring>

#include "peer_io.hpp"

namespace quelt::server {
namespace {

constexpr std::size_t kInitialCapacity = 64 * 1024;

}  // namespace

bool FrameReader::next(RequestFrame& frame) {
    if (begin_ == end_) begin_ = end_ = 0;
    if (!fill(wire::RequestFrameHeader::kSize)) return false;
    frame.header = wire::RequestFrameHeader::read(
        std::span<const std::uint8_t, wire::RequestFrameHeader::kSize>(buffer_.data() + begin_, wire::RequestFrameHeader::kSize));
    const std::size_t total = wire::RequestFrameHeader::kSize + std::size_t{frame.header.payload_length};
    if (!fill(total)) return false;
    frame.payload = {buffer_.data() + begin_ + wire::RequestFrameHeader::kSize, frame.header.payload_length};
    begin_ += total;
    return true;
}

bool FrameReader::fill(std::size_t count) {
    while (end_ - begin_ < count) {
        make_room(count);
        // A client waiting for its reply sends the next request within
        // microseconds: spinning for it spares a sleep and a wake-up per call.
        const std::size_t got = receive_some(peer_, buffer_.data() + end_, buffer_.size() - end_, spin_);
        if (got == 0) return false;
        end_ += got;
    }
    return true;
}

void FrameReader::make_room(std::size_t count) {
    if (buffer_.size() - begin_ >= count && end_ < buffer_.size()) return;
    // Keep the unread bytes at the front, then grow ahead of the bytes that
    // arrived (at most doubling), never straight to the announced size.
    if (begin_ > 0) {
        std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
    }
    if (end_ < buffer_.size() && buffer_.size() >= std::min(count, kInitialCapacity)) return;
    const std::size_t grown = std::max({kInitialCapacity, std::min(count, 2 * buffer_.size()), end_ + 1});
    buffer_.resize(grown);
}

}  // namespace quelt::server
