// Connection I/O on Windows: a TCP socket goes through the socket I/O that
// POSIX uses too (its reads spin briefly first); the named pipe through
// ReadFile and WriteFile. A pipe whose server closed it reports
// ERROR_BROKEN_PIPE on read: that is the end of the stream, as on a socket.
#include <winsock2.h>
#include <windows.h>

#include <algorithm>

#include "net/connection.hpp"

namespace quelt::net {
namespace {

// One call moves at most this much: the system's counts are 32-bit.
constexpr std::size_t kLargestCall = 1u << 30;

HANDLE pipe_of(const StreamHandle& stream) { return reinterpret_cast<HANDLE>(stream.get()); }

quelt::unexpected<Error> last_error() {
    return quelt::unexpected(io_error(os_error(static_cast<int>(::GetLastError()))));
}

Result<void> write_pipe(const StreamHandle& stream, const std::uint8_t* data, std::size_t size) {
    while (size != 0) {
        DWORD written = 0;
        if (!::WriteFile(pipe_of(stream), data, static_cast<DWORD>(std::min(size, kLargestCall)), &written, nullptr))
            return last_error();
        if (written == 0) return quelt::unexpected(io_error(kFailedToWrite));
        data += written;
        size -= written;
    }
    return {};
}

}  // namespace

void StreamHandle::close() noexcept {
    if (valid()) {
        if (kind_ == Kind::Socket) close_socket(socket());
        else ::CloseHandle(reinterpret_cast<HANDLE>(value_));
    }
    value_ = kNone;
}

Result<void> Connection::write_pieces(std::span<GatherPiece> pieces) {
    if (stream_.kind() == StreamHandle::Kind::Socket) return write_socket(pieces);
    request_sent();
    for (const GatherPiece& piece : pieces) {
        auto written = write_pipe(stream_, static_cast<const std::uint8_t*>(piece.iov_base), piece.iov_len);
        if (!written) return written;
    }
    return {};
}

Result<std::size_t> Connection::receive(std::uint8_t* into, std::size_t capacity) {
    if (stream_.kind() == StreamHandle::Kind::Socket) return receive_socket(into, capacity);
    DWORD got = 0;
    if (!::ReadFile(pipe_of(stream_), into, static_cast<DWORD>(std::min(capacity, kLargestCall)), &got, nullptr)) {
        if (::GetLastError() == ERROR_BROKEN_PIPE) return quelt::unexpected(io_error(kFailedToFill));
        return last_error();
    }
    if (got == 0) return quelt::unexpected(io_error(kFailedToFill));
    return static_cast<std::size_t>(got);
}

}  // namespace quelt::net
