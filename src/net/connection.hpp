#pragma once
// One open, blocking, bidirectional byte stream to the server (a TCP socket,
// or the local stream: a Unix-domain socket on POSIX, a named pipe on
// Windows), held by exactly one owner at a time: the pool, a call in
// progress, or a stream iterator. Closed when the owner lets it go. The
// system calls live in connection_io_<platform>.cpp; the buffering here is
// the same everywhere.
#include <cstdint>
#include <span>
#include <utility>

#include "common/error.hpp"
#include "common/os_error.hpp"
#include "common/spin_window.hpp"
#include "net/gathered_send.hpp"
#include "net/spinning_receive.hpp"
#include "net/stream_handle.hpp"
#include "transport/byte_buffer.hpp"

namespace quelt::net {

inline constexpr const char* kFailedToFill = "failed to fill whole buffer";

// How much one read asks for when the caller has no room of its own to read
// into (a reply header, a small body): a small reply arrives whole in the
// same read as its header.
inline constexpr std::size_t kReadAheadSize = 16 * 1024;

class Connection {
public:
    explicit Connection(StreamHandle stream) noexcept
        : stream_(std::move(stream)), sleep_(sleeping_receive_for(stream_.socket())) {}

    // Every byte, retrying short and interrupted writes. A peer that has gone
    // away is an error value, never a SIGPIPE.
    Result<void> write_all(std::span<const std::uint8_t> bytes);
    // The pieces one after another, handed to the kernel together.
    Result<void> write_all(std::span<const std::span<const std::uint8_t>> pieces);

    // Exactly bytes.size() bytes; the end of the stream first is
    // "failed to fill whole buffer". Large reads go straight into `bytes`.
    Result<void> read_exact(std::span<std::uint8_t> bytes);
    // The next `count` bytes (count <= kReadAheadSize) without consuming
    // them; the view lasts until the next read. consume() then drops them.
    Result<std::span<const std::uint8_t>> peek_exact(std::size_t count);
    void consume(std::size_t count) noexcept { read_from_ += count; }
    // Reads and drops `count` bytes.
    Result<void> skip(std::size_t count);

    // Bytes already read off the socket and not yet consumed.
    std::size_t buffered() const noexcept { return read_to_ - read_from_; }

    std::intptr_t native_handle() const noexcept { return stream_.get(); }

private:
    // The stream's own I/O (connection_io_<platform>.cpp): a socket's goes
    // through the two below, a Windows pipe's through ReadFile and WriteFile.
    Result<void> write_pieces(std::span<GatherPiece> pieces);
    Result<std::size_t> receive(std::uint8_t* into, std::size_t capacity);
    Result<void> write_socket(std::span<GatherPiece> pieces);
    Result<std::size_t> receive_socket(std::uint8_t* into, std::size_t capacity);

    // Only the first read after a request teaches the spin window: its wait
    // is how long the server takes to answer. The rest of a reply (a large
    // body, a stream's later chunks) comes at the pace the sender writes it,
    // which would teach a slow server's connection that its replies are
    // prompt; those reads spin as the window says and forget what they saw.
    void request_sent() noexcept { awaiting_reply_ = true; }
    SpinWindow& window_for_read() noexcept {
        if (std::exchange(awaiting_reply_, false)) return spin_;
        untaught_ = spin_;
        return untaught_;
    }

    StreamHandle stream_;
    // Bytes read but not yet consumed: a read may take more than the frame it
    // was made for when the server has already sent the next one (a stream);
    // those bytes wait here for the next read, exactly as they would have
    // waited in the socket, so the connection still ends every exchange at a
    // frame boundary.
    wire::ByteBuffer read_ahead_;
    std::size_t read_from_ = 0;
    std::size_t read_to_ = 0;
    // How long a read spins for bytes about to arrive, learnt from this
    // connection's replies, and how it sleeps once it stops spinning.
    SpinWindow spin_;
    SleepingReceive sleep_;
    bool awaiting_reply_ = true;
    SpinWindow untaught_;  // the copy a continuation read uses
};

// The stream layer's own failure, and a system failure (errno on POSIX, the
// GetLastError or WSAGetLastError code on Windows).
Error io_error(const char* text);
Error io_error(OsError error);

}  // namespace quelt::net
