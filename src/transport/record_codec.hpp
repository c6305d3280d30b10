#pragma once
// Record encoding of the stream protocol, in both directions, with no I/O.
//
// Server side: decode_inference_request() reads the payload of a kind 1 or 2
// request (its input, named tensors, session id and RequestOptions with the
// api_token); encode_packet() / encoded_packet_size() write the
// BinaryTensorPacketPayload that a success or chunk reply carries, and
// reply_frame.hpp builds whole reply frames from it.
// Client side: encode_inference_request() writes the request payload;
// decode_packet() reads a reply body (tensor_packet.hpp then resolves its
// data). Frame headers are in frame_header.hpp.
#include <cstdint>
#include <span>

#include "transport/byte_buffer.hpp"
#include "transport/dtype.hpp"
#include "transport/record_reader.hpp"
#include "transport/record_writer.hpp"
#include "transport/records.hpp"

namespace quelt::wire {

// Exact encoded sizes, computed without writing.
std::uint64_t encoded_packet_size(const TensorPacketView& packet);
std::uint64_t encoded_request_size(const InferenceRequestView& request);

// Fill `out`, whose size must be the encoded size, and return the bytes
// written (equal to that size).
std::size_t encode_packet(const TensorPacketView& packet, std::span<std::uint8_t> out);
std::size_t encode_inference_request(const InferenceRequestView& request, std::span<std::uint8_t> out);

// The request payload in pieces (record_writer.hpp): its encoded size and
// the part of it that goes into the frame's own buffer, then the encoding.
struct GatheredSize {
    std::uint64_t size = 0;
    std::uint64_t owned = 0;
};
GatheredSize gathered_request_size(const InferenceRequestView& request, std::size_t borrow_from);
void encode_inference_request(const InferenceRequestView& request, GatherWriter& writer);

// One buffer of exactly the encoded size.
ByteBuffer encode_packet(const TensorPacketView& packet);
ByteBuffer encode_inference_request(const InferenceRequestView& request);

// Decoders read one record from the front of `bytes`; trailing bytes are
// ignored. A packet's dtype name is recognised the moment it is read, so an
// unknown name fails before the fields after it are looked at.
Result<DecodedPacket> decode_packet(std::span<const std::uint8_t> bytes);
Result<DecodedRequest> decode_inference_request(std::span<const std::uint8_t> bytes);
Result<RequestOptions> decode_request_options(std::span<const std::uint8_t> bytes);

// Readers for records nested in larger ones.
Result<DecodedPacket> read_packet(RecordReader& reader);
// A packet in three steps, for a reader that keeps the data bytes elsewhere:
// the head (shape, dtype, the data's tag and length), then the data bytes
// themselves (not read here), then the base64 field. read_packet is exactly
// these three in a row.
Result<PacketHead> read_packet_head(RecordReader& reader);
Result<std::optional<std::string_view>> read_packet_base64(RecordReader& reader);
Result<RequestOptions> read_request_options(RecordReader& reader);

}  // namespace quelt::wire
