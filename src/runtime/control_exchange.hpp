#pragma once
// The hybrid client's control channel: one local stream per client,
// opened by the first exchange and kept for the client's life, guarded by a
// FIFO async lock. One exchange writes the 52-byte request frame and reads
// the reply (reply_code, body_length, body).
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "common/error.hpp"
#include "common/spin_window.hpp"
#include "runtime/async_mutex.hpp"
#include "runtime/runtime.hpp"
#include "runtime/task.hpp"
#include "runtime/local_stream.hpp"
#include "transport/hybrid_messages.hpp"

namespace quelt::runtime {

// A failed exchange: a system error (os_code is errno, or GetLastError on
// Windows), the stream's own "early eof" / "write zero", the server's text,
// or a reply that does not decode.
using ControlResult = Result<HybridResponse>;

class ControlChannel {
public:
    // `socket_path` exactly as the caller gave it: the named pipe on Windows;
    // on POSIX a "\\.\pipe\NAME" path names <tmp>/NAME.sock, anything else
    // is used as the socket's path.
    ControlChannel(Runtime& runtime, std::string socket_path);
    ControlChannel(const ControlChannel&) = delete;
    ControlChannel& operator=(const ControlChannel&) = delete;

    // Run with Runtime::block_on. A failed exchange keeps the connection: if
    // the server closed it, later exchanges fail as well. Only a failed open
    // leaves the channel unconnected, so that the next exchange tries again.
    Task<ControlResult> exchange(HybridRequest request);

    bool connected() const noexcept { return stream_.has_value(); }

private:
    using Failure = quelt::unexpected<Error>;

    Result<void> open();
    Task<Result<void>> write_all(std::span<const std::uint8_t> bytes);
    Task<Result<void>> read_exact(std::span<std::uint8_t> buffer);
    // Reads a body of `length` bytes, keeping at most `keep` of them.
    Task<Result<std::string>> read_body(std::uint32_t length, std::size_t keep);
    Task<Result<std::size_t>> fill_inbox();

    Runtime& runtime_;
    std::string socket_path_;
    AsyncMutex lock_;
    std::optional<LocalStream> stream_;
    // Read-ahead: the reply header and body usually arrive together and are
    // taken with one system call. Bytes beyond the current reply (only a
    // misbehaving server sends them) stay here for the next exchange, exactly
    // as an unbuffered reader would have met them.
    std::array<std::uint8_t, 64> inbox_{};
    std::size_t inbox_begin_ = 0;
    std::size_t inbox_end_ = 0;
    // How long a reply read spins before it waits for the poller, learnt
    // from this channel's replies.
    SpinWindow reply_spin_;
    bool awaiting_reply_ = false;  // set once a request is written, until its first read
};

}  // namespace quelt::runtime
