#pragma once
// Client end of a Unix-domain stream socket, non-blocking, driven by the
// runtime. read_some and write_some first try the system call at once and
// only when it would block arm the poller; the worker that sees readiness
// finishes the call and wakes the caller. Failures carry errno. Never raises
// SIGPIPE.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <coroutine>
#include <optional>
#include <span>
#include <string>

#include "common/expected.hpp"
#include "common/spin_window.hpp"
#include "common/unique_fd.hpp"
#include "runtime/poller.hpp"
#include "runtime/waker.hpp"

namespace quelt::runtime {

using IoResult = quelt::expected<std::size_t, OsError>;

class UnixStream {
    class Operation;

public:
    // Connects at once: a socket that does not accept right now (missing,
    // refused, backlog full) is a failure, never waited for. A pipe path
    // "\\.\pipe\NAME" names the socket <tmp>/NAME.sock; any other path is
    // the socket's own.
    static quelt::expected<UnixStream, OsError> connect(Poller& poller, const std::string& path);

    UnixStream(UnixStream&& other) noexcept = default;
    UnixStream& operator=(UnixStream&&) = delete;
    ~UnixStream();

    // `co_await` gives the number of bytes moved; reading 0 means end of stream.
    // With a `spin` window, a read that would block keeps retrying for as long
    // as the window allows before it waits for the poller: a peer that answers
    // within microseconds is met without waking any thread. Each retry yields
    // the processor, so a peer on the same processor runs meanwhile. The
    // window learns from how the read ended.
    Operation read_some(std::span<std::uint8_t> buffer, SpinWindow* spin = nullptr) noexcept;
    Operation write_some(std::span<const std::uint8_t> bytes) noexcept;

    int fd() const noexcept { return fd_.get(); }

private:
    UnixStream(Poller& poller, UniqueFd fd) noexcept : poller_(&poller), fd_(std::move(fd)) {}

    class Operation final : public ReadyHandler {
    public:
        Operation(UnixStream& stream, std::uint8_t* data, std::size_t size, Interest interest,
                  SpinWindow* spin = nullptr) noexcept
            : stream_(stream), data_(data), size_(size), interest_(interest), spin_(spin) {}
        bool await_ready() noexcept;
        bool await_suspend(std::coroutine_handle<> suspended) noexcept;
        IoResult await_resume() noexcept;
        void on_ready() override;

    private:
        // Runs the system call once (repeating on EINTR); false if it would block.
        bool attempt() noexcept;

        UnixStream& stream_;
        std::uint8_t* data_;
        std::size_t size_;
        Interest interest_;
        SpinWindow* spin_;
        // When the read began to wait without spinning (the window paused).
        std::optional<std::chrono::steady_clock::time_point> sleeping_since_;
        IoResult result_{0};
        std::coroutine_handle<> suspended_;
        Waker* driver_ = nullptr;
    };

    Poller* poller_;
    UniqueFd fd_;
};

}  // namespace quelt::runtime
