#include "runtime/control_exchange.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

#include "common/os_error.hpp"

namespace quelt::runtime {
namespace {

Error system_failure(OsError error) { return Error::os(ErrorKind::Connection, error.code, std::move(error.text)); }

// Bodies are read in pieces of at most this size, so a server that announces
// 4 GiB and sends little cannot make the client allocate 4 GiB up front.
constexpr std::size_t kBodyChunk = 1 << 20;

}  // namespace

ControlChannel::ControlChannel(Runtime& runtime, std::string socket_path)
    : runtime_(runtime), socket_path_(std::move(socket_path)) {}

Result<void> ControlChannel::open() {
    auto stream = LocalStream::connect(runtime_.poller(), socket_path_);
    if (!stream)
        return Failure(Error::os(ErrorKind::Connection, stream.error().code,
                                 "Failed to open named pipe '" + socket_path_ + "': " + stream.error().text));
    stream_.emplace(std::move(*stream));
    inbox_begin_ = inbox_end_ = 0;
    return {};
}

Task<Result<void>> ControlChannel::write_all(std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        IoResult written = co_await stream_->write_some(bytes);
        if (!written) co_return Failure(system_failure(std::move(written.error())));
        if (*written == 0) co_return Failure(Error::io("write zero"));
        bytes = bytes.subspan(*written);
    }
    co_return Result<void>{};
}

Task<Result<std::size_t>> ControlChannel::fill_inbox() {
    // Only the first read of a reply teaches the window (see net/connection.hpp).
    SpinWindow untaught = reply_spin_;
    SpinWindow* window = std::exchange(awaiting_reply_, false) ? &reply_spin_ : &untaught;
    IoResult received = co_await stream_->read_some(inbox_, window);
    if (!received) co_return Failure(system_failure(std::move(received.error())));
    if (*received == 0) co_return Failure(Error::io("early eof"));
    inbox_begin_ = 0;
    inbox_end_ = *received;
    co_return *received;
}

Task<Result<void>> ControlChannel::read_exact(std::span<std::uint8_t> buffer) {
    while (!buffer.empty()) {
        if (inbox_begin_ == inbox_end_) {
            if (buffer.size() >= inbox_.size()) {
                // Large remainder: straight into the caller's buffer.
                IoResult received = co_await stream_->read_some(buffer);
                if (!received) co_return Failure(system_failure(std::move(received.error())));
                if (*received == 0) co_return Failure(Error::io("early eof"));
                buffer = buffer.subspan(*received);
                continue;
            }
            auto filled = co_await fill_inbox();
            if (!filled) co_return Failure(std::move(filled.error()));
        }
        std::size_t taken = std::min(buffer.size(), inbox_end_ - inbox_begin_);
        std::memcpy(buffer.data(), inbox_.data() + inbox_begin_, taken);
        inbox_begin_ += taken;
        buffer = buffer.subspan(taken);
    }
    co_return Result<void>{};
}

Task<Result<std::string>> ControlChannel::read_body(std::uint32_t length, std::size_t keep) {
    std::string kept;
    std::array<std::uint8_t, 4096> discard;
    std::size_t remaining = length;
    while (remaining > 0) {
        std::span<std::uint8_t> piece;
        if (kept.size() < keep) {
            std::size_t size = std::min({remaining, keep - kept.size(), kBodyChunk});
            std::size_t at = kept.size();
            kept.resize(at + size);
            piece = std::span(reinterpret_cast<std::uint8_t*>(kept.data()) + at, size);
        } else {
            piece = std::span(discard).first(std::min(remaining, discard.size()));
        }
        auto read = co_await read_exact(piece);
        if (!read) co_return Failure(std::move(read.error()));
        remaining -= piece.size();
    }
    co_return kept;
}

Task<ControlResult> ControlChannel::exchange(HybridRequest request) {
    AsyncMutex::Guard held = co_await lock_.lock();
    if (!stream_) {
        if (auto opened = open(); !opened) co_return Failure(std::move(opened.error()));
    }

    // The peer reads 0, 4, 40 and the 40-byte request: one buffer, one write.
    const auto frame = encode_request_frame(request);
    if (auto written = co_await write_all(frame); !written) co_return Failure(std::move(written.error()));
    awaiting_reply_ = true;

    std::array<std::uint8_t, kReplyHeaderSize> header_bytes;
    if (auto read = co_await read_exact(header_bytes); !read) co_return Failure(std::move(read.error()));
    const ReplyHeader header = decode_reply_header(header_bytes);

    // A success body is a HybridResponse; anything after it is not needed.
    const bool success = header.reply_code == 0;
    auto body = co_await read_body(header.body_length, success ? kHybridResponseSize : header.body_length);
    if (!body) co_return Failure(std::move(body.error()));

    if (!success) co_return Failure(Error::server(std::move(*body)));
    auto response = decode_hybrid_response(std::span(reinterpret_cast<const std::uint8_t*>(body->data()), body->size()));
    if (!response) co_return Failure(std::move(response.error()));
    co_return *response;
}

}  // namespace quelt::runtime
