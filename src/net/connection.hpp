#pragma once
// One open, blocking, bidirectional byte stream to the server (a TCP or
// Unix-domain socket), held by exactly one owner at a time: the pool, a call
// in progress, or a stream iterator. Closed when the owner lets it go.
#include <cstdint>
#include <span>
#include <vector>

#include "common/unique_fd.hpp"
#include "transport/byte_buffer.hpp"
#include "transport/exchange_error.hpp"
#include "transport/frame_header.hpp"

namespace quelt::net {

inline constexpr const char* kFailedToFill = "failed to fill whole buffer";
inline constexpr const char* kFailedToWrite = "failed to write whole buffer";

// One reply frame as read: its code, and the whole frame (header, then body)
// in the buffer the socket filled.
struct ReplyFrame {
    std::uint32_t reply_code = 0;
    wire::ByteBuffer bytes;

    std::span<const std::uint8_t> body() const noexcept {
        return bytes.span().subspan(wire::ReplyFrameHeader::kSize);
    }
};

class Connection {
public:
    explicit Connection(UniqueFd socket) noexcept : socket_(std::move(socket)) {}

    // Every byte, retrying short and interrupted writes. A peer that has gone
    // away is an error value, never a SIGPIPE.
    ExchangeResult<void> write_all(std::span<const std::uint8_t> bytes);
    // Exactly bytes.size() bytes; the end of the stream first is
    // "failed to fill whole buffer".
    ExchangeResult<void> read_exact(std::span<std::uint8_t> bytes);
    // The 8-byte reply header, then exactly body_length bytes. A small reply
    // usually arrives in the same read as its header. The buffer grows as
    // bytes arrive beyond a modest first allocation, so a length the server
    // announces but never sends cannot exhaust memory.
    ExchangeResult<ReplyFrame> read_reply();

    int native_handle() const noexcept { return socket_.get(); }

private:
    // Bytes already read past the end of the previous frame come first.
    ExchangeResult<std::size_t> receive_some(std::uint8_t* into, std::size_t capacity);
    UniqueFd socket_;
    // The first read of a reply may take more than its frame when the server
    // has already sent the next one (a stream); those bytes wait here for the
    // next read, exactly as they would have waited in the socket.
    std::vector<std::uint8_t> read_ahead_;
};

// How much the first read of a reply asks for: header and body at once for
// small replies.
inline constexpr std::size_t kFirstReadSize = 16 * 1024;

// How much of an announced body is allocated before any of it has arrived.
// Larger bodies grow (doubling) as their bytes actually come in.
inline constexpr std::size_t kBodyUpFrontLimit = (64u << 20) + (1u << 20);

ExchangeError io_error_from_errno(int code);
ExchangeError io_error(const char* text);

}  // namespace quelt::net
