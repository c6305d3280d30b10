#include "transport/record_codec.hpp"

#include "common/propagate.hpp"
#include "transport/record_writer.hpp"

namespace quelt::wire {
namespace {

template <class Sink>
void write_packet(RecordWriter<Sink>& w, const TensorPacketView& packet) {
    w.u64(packet.shape.size());
    for (std::int64_t dimension : packet.shape) w.i64(dimension);
    w.string(packet.dtype);
    w.optional(packet.data, [&](std::span<const std::uint8_t> data) { w.bytes(data); });
    w.optional(packet.data_base64, [&](std::string_view text) { w.string(text); });
}

template <class Sink>
void write_options(RecordWriter<Sink>& w, const RequestOptions& o) {
    auto text = [&](std::string_view v) { w.string(v); };
    auto f32 = [&](float v) { w.f32(v); };
    auto u32 = [&](std::uint32_t v) { w.u32(v); };
    auto u64 = [&](std::uint64_t v) { w.u64(v); };
    w.optional(o.option_1, text);
    w.optional(o.option_2, u64);
    w.optional(o.option_3, [&](std::uint8_t v) { w.u8(v); });
    w.optional(o.option_4, [&](bool v) { w.boolean(v); });
    w.optional(o.option_5, text);
    // The token is the one field left out entirely, tag and all, when absent.
    if (o.api_token) w.optional(o.api_token, text);
    w.optional(o.option_7, u32);
    w.optional(o.option_8, f32);
    w.optional(o.option_9, f32);
    w.optional(o.option_10, u32);
    w.optional(o.option_11, f32);
    w.optional(o.option_12, u64);
    w.optional(o.option_13, [&](const std::vector<std::uint32_t>& values) {
        w.u64(values.size());
        for (std::uint32_t value : values) w.u32(value);
    });
}

template <class Sink>
void write_request(RecordWriter<Sink>& w, const InferenceRequestView& request) {
    write_packet(w, request.input);
    w.u64(request.additional_inputs.size());
    for (const NamedTensorView& named : request.additional_inputs) {
        w.string(named.name);
        write_packet(w, named.tensor);
    }
    w.optional(request.session_id, [&](std::string_view id) { w.string(id); });
    w.u8(request.options != nullptr ? 1 : 0);
    if (request.options != nullptr) write_options(w, *request.options);
}

template <class Record, class Write>
std::uint64_t measure(const Record& record, Write write) {
    SizeCounter counter;
    RecordWriter<SizeCounter> w{counter};
    write(w, record);
    return counter.size();
}

template <class Record, class Write>
std::size_t fill(const Record& record, std::span<std::uint8_t> out, Write write) {
    BufferWriter writer(out);
    RecordWriter<BufferWriter> w{writer};
    write(w, record);
    return static_cast<std::size_t>(writer.position() - out.data());
}

constexpr auto kPacket = [](auto& w, const TensorPacketView& p) { write_packet(w, p); };
constexpr auto kRequest = [](auto& w, const InferenceRequestView& r) { write_request(w, r); };

template <class T, class Read>
Result<std::optional<T>> read_optional(RecordReader& reader, Read read) {
    QUELT_TRY(present, reader.option_tag());
    if (!*present) return std::optional<T>{};
    QUELT_TRY(value, read());
    return std::optional<T>(std::move(*value));
}

}  // namespace

std::uint64_t encoded_packet_size(const TensorPacketView& packet) { return measure(packet, kPacket); }
std::uint64_t encoded_request_size(const InferenceRequestView& request) { return measure(request, kRequest); }

std::size_t encode_packet(const TensorPacketView& packet, std::span<std::uint8_t> out) {
    return fill(packet, out, kPacket);
}

std::size_t encode_inference_request(const InferenceRequestView& request, std::span<std::uint8_t> out) {
    return fill(request, out, kRequest);
}

GatheredSize gathered_request_size(const InferenceRequestView& request, std::size_t borrow_from) {
    GatherCounter counter(borrow_from);
    RecordWriter<GatherCounter> w{counter};
    write_request(w, request);
    return {counter.size(), counter.owned_size()};
}

void encode_inference_request(const InferenceRequestView& request, GatherWriter& writer) {
    RecordWriter<GatherWriter> w{writer};
    write_request(w, request);
    writer.finish();
}

ByteBuffer encode_packet(const TensorPacketView& packet) {
    auto buffer = ByteBuffer::uninitialised(static_cast<std::size_t>(encoded_packet_size(packet)));
    encode_packet(packet, buffer.span());
    return buffer;
}

ByteBuffer encode_inference_request(const InferenceRequestView& request) {
    auto buffer = ByteBuffer::uninitialised(static_cast<std::size_t>(encoded_request_size(request)));
    encode_inference_request(request, buffer.span());
    return buffer;
}

Result<PacketHead> read_packet_head(RecordReader& reader) {
    QUELT_TRY(shape, reader.i64_sequence());
    QUELT_TRY(dtype_text, reader.string());
    // A name the peer sent: a failure of the exchange, not of an argument.
    auto dtype = parse_dtype(*dtype_text);
    if (!dtype) return quelt::unexpected(std::move(dtype).error().as(ErrorKind::Runtime));
    QUELT_TRY(data_length, read_optional<std::uint64_t>(reader, [&] { return reader.u64(); }));
    return PacketHead{std::move(*shape), *dtype, *data_length};
}

Result<std::optional<std::string_view>> read_packet_base64(RecordReader& reader) {
    return read_optional<std::string_view>(reader, [&] { return reader.string(); });
}

Result<DecodedPacket> read_packet(RecordReader& reader) {
    QUELT_TRY(head, read_packet_head(reader));
    std::optional<std::span<const std::uint8_t>> data;
    if (head->data_length) {
        QUELT_TRY(bytes, reader.raw(*head->data_length));
        data = *bytes;
    }
    QUELT_TRY(data_base64, read_packet_base64(reader));
    return DecodedPacket{std::move(head->shape), head->dtype, data, *data_base64};
}

Result<RequestOptions> read_request_options(RecordReader& r) {
    auto text = [&] { return r.string(); };
    auto u32 = [&] { return r.u32(); };
    auto u64 = [&] { return r.u64(); };
    auto f32 = [&] { return r.f32(); };
    RequestOptions o;
    QUELT_TRY(option_1, read_optional<std::string_view>(r, text));
    QUELT_TRY(option_2, read_optional<std::uint64_t>(r, u64));
    QUELT_TRY(option_3, read_optional<std::uint8_t>(r, [&] { return r.u8(); }));
    QUELT_TRY(option_4, read_optional<bool>(r, [&] { return r.boolean(); }));
    QUELT_TRY(option_5, read_optional<std::string_view>(r, text));
    QUELT_TRY(api_token, read_optional<std::string_view>(r, text));
    QUELT_TRY(option_7, read_optional<std::uint32_t>(r, u32));
    QUELT_TRY(option_8, read_optional<float>(r, f32));
    QUELT_TRY(option_9, read_optional<float>(r, f32));
    QUELT_TRY(option_10, read_optional<std::uint32_t>(r, u32));
    QUELT_TRY(option_11, read_optional<float>(r, f32));
    QUELT_TRY(option_12, read_optional<std::uint64_t>(r, u64));
    QUELT_TRY(option_13, read_optional<std::vector<std::uint32_t>>(r, [&] { return r.u32_sequence(); }));
    return RequestOptions{*option_1, *option_2, *option_3,  *option_4,  *option_5,  *api_token,           *option_7,
                          *option_8, *option_9, *option_10, *option_11, *option_12, std::move(*option_13)};
}

Result<DecodedPacket> decode_packet(std::span<const std::uint8_t> bytes) {
    RecordReader reader(bytes);
    return read_packet(reader);
}

Result<RequestOptions> decode_request_options(std::span<const std::uint8_t> bytes) {
    RecordReader reader(bytes);
    return read_request_options(reader);
}

Result<DecodedRequest> decode_inference_request(std::span<const std::uint8_t> bytes) {
    RecordReader reader(bytes);
    QUELT_TRY(input, read_packet(reader));
    QUELT_TRY(count, reader.u64());
    std::vector<DecodedNamedTensor> additional;
    additional.reserve(RecordReader::capped_reservation(*count, sizeof(DecodedNamedTensor)));
    for (std::uint64_t i = 0; i < *count; ++i) {
        QUELT_TRY(name, reader.string());
        QUELT_TRY(tensor, read_packet(reader));
        additional.push_back({*name, std::move(*tensor)});
    }
    QUELT_TRY(session_id, read_optional<std::string_view>(reader, [&] { return reader.string(); }));
    QUELT_TRY(options, read_optional<RequestOptions>(reader, [&] { return read_request_options(reader); }));
    return DecodedRequest{std::move(*input), std::move(additional), *session_id, std::move(*options)};
}

}  // namespace quelt::wire
