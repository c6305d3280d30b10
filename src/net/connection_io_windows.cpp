// Connection I/O on Windows: Winsock calls for a TCP socket (whose reads
// spin briefly first, as on POSIX), ReadFile and WriteFile for the named pipe. A pipe whose server closed it reports
// ERROR_BROKEN_PIPE on read: that is the end of the stream, as on a socket.
#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <climits>
#include <vector>

#include "common/os_error.hpp"
#include "net/connection.hpp"

namespace quelt::net {
namespace {

// One call moves at most this much: the system's counts are 32-bit.
constexpr std::size_t kLargestCall = 1u << 30;

SOCKET socket_of(const StreamHandle& stream) { return static_cast<SOCKET>(stream.get()); }
HANDLE pipe_of(const StreamHandle& stream) { return reinterpret_cast<HANDLE>(stream.get()); }

quelt::unexpected<Error> last_socket_error() { return quelt::unexpected(io_error_from_errno(::WSAGetLastError())); }
quelt::unexpected<Error> last_error() {
    return quelt::unexpected(io_error_from_errno(static_cast<int>(::GetLastError())));
}

// Bytes accepted by one write: at least 1, or a failure.
Result<std::size_t> write_some(const StreamHandle& stream, const std::uint8_t* data, std::size_t size) {
    const std::size_t offered = std::min(size, kLargestCall);
    if (stream.kind() == StreamHandle::Kind::Socket) {
        const int sent = ::send(socket_of(stream), reinterpret_cast<const char*>(data), static_cast<int>(offered), 0);
        if (sent == SOCKET_ERROR) return last_socket_error();
        if (sent == 0) return quelt::unexpected(io_error(kFailedToWrite));
        return static_cast<std::size_t>(sent);
    }
    DWORD written = 0;
    if (!::WriteFile(pipe_of(stream), data, static_cast<DWORD>(offered), &written, nullptr)) return last_error();
    if (written == 0) return quelt::unexpected(io_error(kFailedToWrite));
    return static_cast<std::size_t>(written);
}

}  // namespace

void StreamHandle::close() noexcept {
    if (valid()) {
        if (kind_ == Kind::Socket) ::closesocket(static_cast<SOCKET>(value_));
        else ::CloseHandle(reinterpret_cast<HANDLE>(value_));
    }
    value_ = kNone;
}

Error io_error_from_errno(int code) { return Error::os(ErrorKind::Connection, code, os_error_text(code)); }
Error io_error(const char* text) { return Error::io(text); }

Result<void> Connection::write_all(std::span<const std::uint8_t> bytes) {
    request_sent();
    while (!bytes.empty()) {
        auto sent = write_some(stream_, bytes.data(), bytes.size());
        if (!sent) return quelt::unexpected(sent.error());
        bytes = bytes.subspan(*sent);
    }
    return {};
}

Result<void> Connection::write_all(std::span<const std::span<const std::uint8_t>> pieces) {
    request_sent();
    if (stream_.kind() == StreamHandle::Kind::Pipe || pieces.size() == 1) {
        for (auto piece : pieces)
            if (auto written = write_all(piece); !written) return written;
        return {};
    }
    // A socket takes the pieces in one gathering call, like sendmsg.
    std::vector<WSABUF> buffers;
    buffers.reserve(pieces.size());
    for (auto piece : pieces) {
        for (std::size_t at = 0; at < piece.size(); at += kLargestCall)
            buffers.push_back({static_cast<ULONG>(std::min(kLargestCall, piece.size() - at)),
                               reinterpret_cast<char*>(const_cast<std::uint8_t*>(piece.data() + at))});
    }
    std::size_t first = 0;
    while (first < buffers.size()) {
        DWORD sent = 0;
        if (::WSASend(socket_of(stream_), buffers.data() + first, static_cast<DWORD>(buffers.size() - first), &sent, 0,
                      nullptr, nullptr) != 0)
            return last_socket_error();
        if (sent == 0) return quelt::unexpected(io_error(kFailedToWrite));
        std::size_t left = sent;
        while (left != 0 && left >= buffers[first].len) left -= buffers[first++].len;
        if (left != 0) {
            buffers[first].buf += left;
            buffers[first].len -= static_cast<ULONG>(left);
        }
    }
    return {};
}

Result<std::size_t> Connection::receive(std::uint8_t* into, std::size_t capacity) {
    const std::size_t wanted = std::min(capacity, kLargestCall);
    if (stream_.kind() == StreamHandle::Kind::Socket) {
        const ssize_t got = receive_spinning(static_cast<int>(stream_.get()), into, wanted, window_for_read(), sleep_);
        if (got < 0) return last_socket_error();
        if (got == 0) return quelt::unexpected(io_error(kFailedToFill));
        return static_cast<std::size_t>(got);
    }
    DWORD got = 0;
    if (!::ReadFile(pipe_of(stream_), into, static_cast<DWORD>(wanted), &got, nullptr)) {
        if (::GetLastError() == ERROR_BROKEN_PIPE) return quelt::unexpected(io_error(kFailedToFill));
        return last_error();
    }
    if (got == 0) return quelt::unexpected(io_error(kFailedToFill));
    return static_cast<std::size_t>(got);
}

}  // namespace quelt::net
