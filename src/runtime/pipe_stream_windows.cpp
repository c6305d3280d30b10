#include "runtime/pipe_stream.hpp"

#include <algorithm>

#include "common/propagate.hpp"
#include "common/wide_text_windows.hpp"

namespace quelt::runtime {
namespace {

// The control channel's exact open: read and write access, no sharing,
// the existing pipe, overlapped, and the server may only identify the client.
constexpr DWORD kAccess = GENERIC_READ | GENERIC_WRITE;
constexpr DWORD kShareMode = 0;
constexpr DWORD kFlags = FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;
static_assert(kFlags == 0x40110000);

// One call moves at most this much: the system's counts are 32-bit.
constexpr std::size_t kLargestCall = 1u << 30;

}  // namespace

quelt::expected<PipeStream, OsError> PipeStream::connect(Poller& poller, const std::string& path) {
    auto name = wide_name(path);
    if (!name) return quelt::unexpected(os_error(static_cast<int>(ERROR_INVALID_NAME)));
    UniqueHandle pipe(::CreateFileW(name->c_str(), kAccess, kShareMode, nullptr, OPEN_EXISTING, kFlags, nullptr));
    if (!pipe) return quelt::unexpected(os_error(static_cast<int>(::GetLastError())));
    QUELT_TRY(added, poller.add(reinterpret_cast<NativeHandle>(pipe.get())));
    const bool skips = ::SetFileCompletionNotificationModes(pipe.get(), FILE_SKIP_COMPLETION_PORT_ON_SUCCESS) != FALSE;
    return PipeStream(std::move(pipe), skips);
}

PipeStream::Operation PipeStream::read_some(std::span<std::uint8_t> buffer, SpinWindow*) noexcept {
    return Operation(*this, buffer.data(), buffer.size(), Interest::Read);
}

PipeStream::Operation PipeStream::write_some(std::span<const std::uint8_t> bytes) noexcept {
    // The buffer is only read from: WriteFile takes a const pointer.
    return Operation(*this, const_cast<std::uint8_t*>(bytes.data()), bytes.size(), Interest::Write);
}

bool PipeStream::Operation::await_suspend(std::coroutine_handle<> suspended) noexcept {
    // Everything the completing worker needs is in place before the call
    // starts: its packet may arrive before this function returns.
    suspended_ = suspended;
    driver_ = current_waker();
    completion_ = Completion{};
    completion_.handler = this;
    const auto size = static_cast<DWORD>(std::min(size_, kLargestCall));
    HANDLE pipe = stream_.pipe_.get();
    const BOOL done = interest_ == Interest::Read ? ::ReadFile(pipe, data_, size, nullptr, &completion_)
                                                  : ::WriteFile(pipe, data_, size, nullptr, &completion_);
    const DWORD code = done ? ERROR_SUCCESS : ::GetLastError();
    if (code == ERROR_IO_PENDING) return true;
    if (!done) {  // failed at once: no packet follows
        set_failure(code);
        return false;
    }
    // Finished at once. Unless the handle skips it, a packet is still on its
    // way and the OVERLAPPED must live until it is taken: wait for it.
    if (!stream_.skips_packet_on_success_) return true;
    take_result();
    return false;
}

void PipeStream::Operation::on_ready() {
    take_result();
    // Copy first: once woken, the coroutine may finish and free this operation.
    auto handle = suspended_;
    Waker* driver = driver_;
    driver->wake(handle);
}

void PipeStream::Operation::take_result() noexcept {
    DWORD moved = 0;
    if (::GetOverlappedResult(stream_.pipe_.get(), &completion_, &moved, FALSE)) {
        result_ = static_cast<std::size_t>(moved);
        return;
    }
    set_failure(::GetLastError());
}

void PipeStream::Operation::set_failure(DWORD code) noexcept {
    // A server that closed its end ends the stream, exactly like a socket.
    if (interest_ == Interest::Read && code == ERROR_BROKEN_PIPE) result_ = std::size_t{0};
    else result_ = quelt::unexpected(os_error(static_cast<int>(code)));
}

}  // namespace quelt::runtime
