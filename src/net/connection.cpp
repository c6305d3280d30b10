#include "net/connection.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

#include "common/propagate.hpp"

namespace quelt::net {

Error io_error(const char* text) { return Error::io(text); }
Error io_error(OsError error) { return Error::os(ErrorKind::Connection, error.code, std::move(error.text)); }

Result<void> Connection::write_all(std::span<const std::uint8_t> bytes) {
    GatherPiece piece{const_cast<std::uint8_t*>(bytes.data()), bytes.size()};
    return write_pieces(std::span(&piece, 1));
}

Result<void> Connection::write_all(std::span<const std::span<const std::uint8_t>> pieces) {
    std::vector<GatherPiece> gathered;
    gathered.reserve(pieces.size());
    for (auto piece : pieces) gathered.push_back({const_cast<std::uint8_t*>(piece.data()), piece.size()});
    return write_pieces(gathered);
}

Result<void> Connection::write_socket(std::span<GatherPiece> pieces) {
    request_sent();
    auto sent = send_gathered(stream_.socket(), pieces);
    if (!sent) return quelt::unexpected(io_error(std::move(sent.error())));
    return {};
}

Result<std::size_t> Connection::receive_socket(std::uint8_t* into, std::size_t capacity) {
    SpinWindow& window = window_for_read();
    for (;;) {
        Received got = receive_spinning(stream_.socket(), into, capacity, window, sleep_);
        if (got && *got > 0) return *got;
        if (got) return quelt::unexpected(io_error(kFailedToFill));
        if (!interrupted(got.error())) return quelt::unexpected(io_error(std::move(got.error())));
    }
}

Result<void> Connection::read_exact(std::span<std::uint8_t> bytes) {
    const std::size_t early = std::min(bytes.size(), buffered());
    if (early != 0) {
        std::memcpy(bytes.data(), read_ahead_.data() + read_from_, early);
        read_from_ += early;
        bytes = bytes.subspan(early);
    }
    while (!bytes.empty()) {
        QUELT_TRY(got, receive(bytes.data(), bytes.size()));
        bytes = bytes.subspan(*got);
    }
    return {};
}

Result<std::span<const std::uint8_t>> Connection::peek_exact(std::size_t count) {
    if (buffered() < count) {
        if (read_ahead_.capacity() < kReadAheadSize) read_ahead_.reserve(kReadAheadSize);
        if (read_from_ != 0) {  // keep the waiting bytes at the front, so room follows them
            std::memmove(read_ahead_.data(), read_ahead_.data() + read_from_, buffered());
            read_to_ -= read_from_;
            read_from_ = 0;
        }
        while (read_to_ < count) {
            QUELT_TRY(got, receive(read_ahead_.data() + read_to_, kReadAheadSize - read_to_));
            read_to_ += *got;
        }
    }
    return std::span<const std::uint8_t>(read_ahead_.data() + read_from_, count);
}

Result<void> Connection::skip(std::size_t count) {
    const std::size_t early = std::min(count, buffered());
    read_from_ += early;
    count -= early;
    if (count == 0) return {};
    // Nothing is buffered now: read the rest into the read-ahead room, never
    // past the bytes that are dropped.
    if (read_ahead_.capacity() < kReadAheadSize) read_ahead_.reserve(kReadAheadSize);
    read_from_ = read_to_ = 0;
    while (count != 0) {
        QUELT_TRY(got, receive(read_ahead_.data(), std::min(count, kReadAheadSize)));
        count -= *got;
    }
    return {};
}

}  // namespace quelt::net
