#include "net/reply_reader.hpp"

#include <algorithm>
#include <cstring>

#include "common/propagate.hpp"
#include "transport/record_codec.hpp"
#include "transport/record_reader.hpp"
#include "transport/tensor_packet.hpp"

namespace quelt::net {
namespace {

// Room taken before any of a long run of bytes has arrived.
constexpr std::size_t kGrowFrom = 1u << 20;
// The first read of a large packet's head when nothing of it is buffered.
constexpr std::size_t kSmallestHead = 64;

// Reads until `buffer` holds `total` bytes, growing only as bytes arrive: its
// room is at most twice what has come in (or the first MiB).
Result<void> read_growing(Connection& connection, wire::ByteBuffer& buffer, std::size_t total) {
    while (buffer.size() < total) {
        const std::size_t have = buffer.size();
        buffer.resize(std::min(total, std::max(have * 2, kGrowFrom)));
        if (auto read = connection.read_exact(buffer.span().subspan(have)); !read) return read;
    }
    return {};
}

wire::ByteBuffer copy_of(std::span<const std::uint8_t> bytes) {
    auto buffer = wire::ByteBuffer::uninitialised(bytes.size());
    if (!bytes.empty()) std::memcpy(buffer.data(), bytes.data(), bytes.size());
    return buffer;
}

// A failure found before the end of the body: the rest of the body is read
// first, and an I/O failure there is what the caller sees.
Result<PacketResult> fail_after(Connection& connection, std::size_t unread, Error failure) {
    QUELT_TRY(skipped, connection.skip(unread));
    return PacketResult(quelt::unexpected(std::move(failure)));
}

// A partial body can fail to decode only for want of bytes; with the whole
// body present the same failure is final.
bool wants_more(const Error& error) {
    return error.text == wire::kUnexpectedEof || error.text == wire::kStringPastEnd;
}

// Applies the packet rules; data that is not in the sink yet (the small-body
// path, or base64) is copied there.
PacketResult resolve_into(wire::DecodedPacket packet, wire::DataSink& sink, bool data_in_sink) {
    QUELT_TRY(tensor, wire::resolve_packet(std::move(packet)));
    if (!data_in_sink) {
        auto bytes = tensor->bytes();
        auto room = sink.allocate(bytes.size());
        if (!bytes.empty()) std::memcpy(room.data(), bytes.data(), bytes.size());
    }
    return ReplyTensor{std::move(tensor->shape), tensor->dtype};
}

PacketResult decode_whole(std::span<const std::uint8_t> body, wire::DataSink& sink) {
    QUELT_TRY(packet, wire::decode_packet(body));
    return resolve_into(std::move(*packet), sink, false);
}

// The data bytes of a large packet: those already read (`early`), then the
// rest straight from the socket into the sink. Room for data whose bytes have
// not arrived is taken only up to kDataUpFrontLimit; anything beyond is
// gathered as it comes in.
Result<std::span<std::uint8_t>> read_data(Connection& connection, std::size_t length,
                                                  std::span<const std::uint8_t> early, wire::DataSink& sink) {
    std::span<const std::uint8_t> arrived = early.first(std::min(length, early.size()));
    wire::ByteBuffer staged;
    if (length - arrived.size() > kDataUpFrontLimit) {
        staged = copy_of(arrived);
        QUELT_TRY(read, read_growing(connection, staged, length - kDataUpFrontLimit));
        arrived = staged.span();
    }
    auto room = sink.allocate(length);
    if (!arrived.empty()) std::memcpy(room.data(), arrived.data(), arrived.size());
    QUELT_TRY(read, connection.read_exact(room.subspan(arrived.size())));
    return room;
}

// A body larger than one read-ahead: the head is read in growing steps until
// it decodes, the data goes into the sink, and the rest (the base64 field and
// any trailing bytes) is read and decoded last.
Result<PacketResult> read_large_packet(Connection& connection, std::size_t length, wire::DataSink& sink) {
    // A head is usually a few dozen bytes, already read with the frame's
    // header: start with what is there and read more only if it is short.
    auto head = wire::ByteBuffer::uninitialised(std::min(length, std::max(connection.buffered(), kSmallestHead)));
    QUELT_TRY(head_read, connection.read_exact(head.span()));
    std::optional<wire::PacketHead> parsed;
    std::size_t offset = 0;
    while (!parsed) {
        wire::RecordReader reader(head.span());
        auto decoded = wire::read_packet_head(reader);
        if (decoded) {
            parsed = std::move(*decoded);
            offset = head.size() - reader.remaining();
        } else if (head.size() == length || !wants_more(decoded.error())) {
            return fail_after(connection, length - head.size(), std::move(decoded.error()));
        } else {
            const std::size_t have = head.size();
            head.resize(std::min(length, have * 2));
            QUELT_TRY(more, connection.read_exact(head.span().subspan(have)));
        }
    }

    const std::size_t after_head = length - offset;
    std::span<const std::uint8_t> early = head.span().subspan(offset);
    std::optional<std::span<const std::uint8_t>> data;
    std::size_t tail_length = after_head;
    if (parsed->data_length) {
        if (*parsed->data_length > after_head)
            return fail_after(connection, length - head.size(), Error::wire(std::string(wire::kUnexpectedEof)));
        const auto data_length = static_cast<std::size_t>(*parsed->data_length);
        QUELT_TRY(room, read_data(connection, data_length, early, sink));
        data = *room;
        early = early.subspan(std::min(data_length, early.size()));
        tail_length -= data_length;
    }
    auto tail = copy_of(early);
    QUELT_TRY(tail_read, read_growing(connection, tail, tail_length));
    wire::RecordReader reader(tail.span());
    auto base64 = wire::read_packet_base64(reader);
    if (!base64) return PacketResult(quelt::unexpected(std::move(base64.error())));
    return resolve_into({std::move(parsed->shape), parsed->dtype, data, *base64}, sink, data.has_value());
}

}  // namespace

Result<wire::ReplyFrameHeader> read_reply_header(Connection& connection) {
    constexpr std::size_t kSize = wire::ReplyFrameHeader::kSize;
    QUELT_TRY(bytes, connection.peek_exact(kSize));
    const auto header = wire::ReplyFrameHeader::read(bytes->first<kSize>());
    connection.consume(kSize);
    return header;
}

Result<std::string> read_text_body(Connection& connection, std::size_t length) {
    if (length <= kReadAheadSize) {
        QUELT_TRY(body, connection.peek_exact(length));
        std::string text(reinterpret_cast<const char*>(body->data()), body->size());
        connection.consume(length);
        return text;
    }
    wire::ByteBuffer body;
    QUELT_TRY(read, read_growing(connection, body, length));
    return std::string(reinterpret_cast<const char*>(body.data()), body.size());
}

Result<PacketResult> read_packet_body(Connection& connection, std::size_t length, wire::DataSink& sink) {
    if (length > kReadAheadSize) return read_large_packet(connection, length, sink);
    QUELT_TRY(body, connection.peek_exact(length));
    PacketResult result = decode_whole(*body, sink);
    connection.consume(length);
    return result;
}

}  // namespace quelt::net
