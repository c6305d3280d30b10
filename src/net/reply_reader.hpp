#pragma once
// Reads the parts of a reply frame off a connection. A tensor packet's data
// goes straight from the socket into the caller's DataSink; every body is
// read to its last byte, whatever it holds, so the connection is left at the
// next frame.
#include <cstdint>
#include <string>
#include <vector>

#include "common/expected.hpp"
#include "net/connection.hpp"
#include "transport/data_sink.hpp"
#include "transport/dtype.hpp"
#include "transport/frame_header.hpp"

namespace quelt::net {

// A reply tensor's shape and type; its data bytes are in the DataSink.
struct ReplyTensor {
    std::vector<std::int64_t> shape;
    DType dtype;
};

// A body that was read whole but does not decode: the decoder's failure.
using PacketResult = Result<ReplyTensor>;

// How much of a packet's data is taken into memory before its bytes have
// arrived: a length the server announces but never sends cannot exhaust
// memory. Beyond it, the data is gathered as it comes in until the rest fits.
inline constexpr std::size_t kDataUpFrontLimit = 64u << 20;

Result<wire::ReplyFrameHeader> read_reply_header(Connection& connection);

// The body as raw bytes (a server's error text).
Result<std::string> read_text_body(Connection& connection, std::size_t length);

// The body as a BinaryTensorPacketPayload, resolved: the data (raw, or
// decoded from base64) ends up in `sink`. An I/O failure anywhere in the body
// is the error; otherwise the decoder's verdict on the whole body.
Result<PacketResult> read_packet_body(Connection& connection, std::size_t length, wire::DataSink& sink);

}  // namespace quelt::net
