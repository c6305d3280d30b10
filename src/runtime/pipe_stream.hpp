#pragma once
// Client end of a named pipe, opened for overlapped I/O and registered with
// the runtime's completion port (Windows build only; the POSIX twin is
// unix_stream.hpp). read_some and write_some start one overlapped call on the
// caller's thread inside the suspension, so the completion can never race
// ahead of the suspended coroutine; a call that finishes at once continues
// without suspending. Failures carry the GetLastError code.
#include <coroutine>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "common/expected.hpp"
#include "common/spin_window.hpp"
#include "common/unique_handle_windows.hpp"
#include "runtime/completion_windows.hpp"
#include "runtime/poller.hpp"
#include "runtime/waker.hpp"

namespace quelt::runtime {

using IoResult = quelt::expected<std::size_t, OsError>;

class PipeStream {
    class Operation;

public:
    // Opens the existing pipe at once: a pipe that is missing or has no free
    // instance is a failure, never waited for.
    static quelt::expected<PipeStream, OsError> connect(Poller& poller, const std::string& path);

    PipeStream(PipeStream&& other) noexcept = default;
    PipeStream& operator=(PipeStream&&) = delete;

    // `co_await` gives the number of bytes moved; reading 0 means the end of
    // the stream (the server closed its end). The spin window is the POSIX
    // twin's: a completion port has no readiness to spin on, so it is left
    // untouched here.
    Operation read_some(std::span<std::uint8_t> buffer, SpinWindow* spin = nullptr) noexcept;
    Operation write_some(std::span<const std::uint8_t> bytes) noexcept;

private:
    PipeStream(UniqueHandle pipe, bool skips_packet_on_success) noexcept
        : pipe_(std::move(pipe)), skips_packet_on_success_(skips_packet_on_success) {}

    class Operation final : public ReadyHandler {
    public:
        Operation(PipeStream& stream, std::uint8_t* data, std::size_t size, Interest interest) noexcept
            : stream_(stream), data_(data), size_(size), interest_(interest) {}
        bool await_ready() noexcept { return false; }
        bool await_suspend(std::coroutine_handle<> suspended) noexcept;
        IoResult await_resume() noexcept { return result_; }
        void on_ready() override;

    private:
        void take_result() noexcept;
        void set_failure(DWORD code) noexcept;

        PipeStream& stream_;
        std::uint8_t* data_;
        std::size_t size_;
        Interest interest_;
        Completion completion_{};
        IoResult result_{0};
        std::coroutine_handle<> suspended_;
        Waker* driver_ = nullptr;
    };

    UniqueHandle pipe_;
    // FILE_SKIP_COMPLETION_PORT_ON_SUCCESS took: a call that succeeds at once
    // posts no packet. Without it every call's packet must be waited for.
    bool skips_packet_on_success_;
};

}  // namespace quelt::runtime
