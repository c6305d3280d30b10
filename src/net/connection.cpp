#include "net/connection.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

namespace quelt::net {

ExchangeError io_error_from_errno(int code) { return {ExchangeError::Kind::Io, os_error_text(code), code}; }
ExchangeError io_error(const char* text) { return {ExchangeError::Kind::Io, text, 0}; }
ExchangeError io_error(OsError error) { return {ExchangeError::Kind::Io, std::move(error.text), error.code}; }

ExchangeResult<void> Connection::write_all(std::span<const std::uint8_t> bytes) {
    GatherPiece piece{const_cast<std::uint8_t*>(bytes.data()), bytes.size()};
    return write_pieces(std::span(&piece, 1));
}

ExchangeResult<void> Connection::write_all(std::span<const std::span<const std::uint8_t>> pieces) {
    std::vector<GatherPiece> gathered;
    gathered.reserve(pieces.size());
    for (auto piece : pieces) gathered.push_back({const_cast<std::uint8_t*>(piece.data()), piece.size()});
    return write_pieces(gathered);
}

ExchangeResult<void> Connection::write_socket(std::span<GatherPiece> pieces) {
    request_sent();
    auto sent = send_gathered(stream_.socket(), pieces);
    if (!sent) return quelt::unexpected(io_error(std::move(sent.error())));
    return {};
}

ExchangeResult<std::size_t> Connection::receive_socket(std::uint8_t* into, std::size_t capacity) {
    SpinWindow& window = window_for_read();
    for (;;) {
        Received got = receive_spinning(stream_.socket(), into, capacity, window, sleep_);
        if (got && *got > 0) return *got;
        if (got) return quelt::unexpected(io_error(kFailedToFill));
        if (!interrupted(got.error())) return quelt::unexpected(io_error(std::move(got.error())));
    }
}

ExchangeResult<void> Connection::read_exact(std::span<std::uint8_t> bytes) {
    const std::size_t early = std::min(bytes.size(), buffered());
    if (early != 0) {
        std::memcpy(bytes.data(), read_ahead_.data() + read_from_, early);
        read_from_ += early;
        bytes = bytes.subspan(early);
    }
    while (!bytes.empty()) {
        auto got = receive(bytes.data(), bytes.size());
        if (!got) return quelt::unexpected(got.error());
        bytes = bytes.subspan(*got);
    }
    return {};
}

ExchangeResult<std::span<const std::uint8_t>> Connection::peek_exact(std::size_t count) {
    if (buffered() < count) {
        if (read_ahead_.capacity() < kReadAheadSize) read_ahead_.reserve(kReadAheadSize);
        if (read_from_ != 0) {  // keep the waiting bytes at the front, so room follows them
            std::memmove(read_ahead_.data(), read_ahead_.data() + read_from_, buffered());
            read_to_ -= read_from_;
            read_from_ = 0;
        }
        while (read_to_ < count) {
            auto got = receive(read_ahead_.data() + read_to_, kReadAheadSize - read_to_);
            if (!got) return quelt::unexpected(got.error());
            read_to_ += *got;
        }
    }
    return std::span<const std::uint8_t>(read_ahead_.data() + read_from_, count);
}

ExchangeResult<void> Connection::skip(std::size_t count) {
    const std::size_t early = std::min(count, buffered());
    read_from_ += early;
    count -= early;
    if (count == 0) return {};
    // Nothing is buffered now: read the rest into the read-ahead room, never
    // past the bytes that are dropped.
    if (read_ahead_.capacity() < kReadAheadSize) read_ahead_.reserve(kReadAheadSize);
    read_from_ = read_to_ = 0;
    while (count != 0) {
        auto got = receive(read_ahead_.data(), std::min(count, kReadAheadSize));
        if (!got) return quelt::unexpected(got.error());
        count -= *got;
    }
    return {};
}

}  // namespace quelt::net
