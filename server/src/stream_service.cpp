#include "stream_service.hpp"

#include <deque>
#include <optional>
#include <vector>

#include "frame_reader.hpp"
#include "reply_frames.hpp"
#include "peer_io.hpp"
#include "transport/byte_buffer.hpp"
#include "transport/frame_header.hpp"
#include "transport/hybrid_messages.hpp"
#include "transport/inference_error.hpp"
#include "transport/record_codec.hpp"
#include "transport/tensor_packet.hpp"

namespace quelt::server {
namespace {

// Every failure is answered with this code (for a stream it is StreamError).
constexpr std::uint32_t kFailure = 1;
constexpr std::size_t kGarbageLength = 40;
constexpr std::uint32_t kTruncatedLength = 64;

enum class Next { Continue, Close };

std::string text_of(InferenceError::Kind kind, std::string message) {
    return InferenceError{kind, std::move(message), {}}.display();
}

// The fault models break the reply in a way a real server might: each says
// whether the connection survives.
Next send_fault(Peer peer, ModelKind fault, std::uint32_t success_code, bool stream) {
    std::vector<iovec> pieces;
    switch (fault) {
        case ModelKind::Reset:
            abort_connection(peer);
            return Next::Close;
        case ModelKind::Drop:
            return Next::Close;
        case ModelKind::Truncate: {
            // Announces a body and stops half-way through it.
            RawReply reply(success_code, std::vector<std::uint8_t>(kTruncatedLength / 2, 0), kTruncatedLength);
            reply.append_to(pieces);
            send_all(peer, pieces);
            return Next::Close;
        }
        case ModelKind::Garbage: {
            // A reply in step with the frames whose body does not decode; a
            // stream still ends properly after it.
            RawReply reply(success_code, std::vector<std::uint8_t>(kGarbageLength, 0xFF));
            TextReply end(wire::reply_code::kStreamEnd, {});
            reply.append_to(pieces);
            if (stream) end.append_to(pieces);
            return send_all(peer, pieces) ? Next::Continue : Next::Close;
        }
        default: return Next::Continue;
    }
}

class Exchange {
public:
    Exchange(Peer peer, const ServerOptions& options, ServedRegion* region)
        : peer_(peer), options_(options), region_(region) {}

    Next answer(const wire::RequestFrameHeader& header, std::span<const std::uint8_t> payload) {
        switch (header.message_kind) {
            case static_cast<std::uint32_t>(wire::MessageKind::Infer):
                return answer_infer(header.model_id, payload, false);
            case static_cast<std::uint32_t>(wire::MessageKind::InferStream):
                return answer_infer(header.model_id, payload, true);
            case static_cast<std::uint32_t>(wire::MessageKind::HybridInfer):
                // The hybrid exchange names places in the region: only a peer
                // of the local transport, whom the socket file's permissions
                // let in, may use it. Over TCP it does not exist.
                if (peer_.local) return answer_hybrid(payload);
                return refuse_kind(header.message_kind);
            default: return refuse_kind(header.message_kind);
        }
    }

private:
    Next refuse_kind(std::uint32_t kind) {
        return send_text(kFailure, text_of(InferenceError::Kind::InvalidInput, "unknown message kind " + std::to_string(kind)));
    }

    Next send(std::vector<iovec>& pieces) { return send_all(peer_, pieces) ? Next::Continue : Next::Close; }

    Next send_text(std::uint32_t code, std::string text) {
        std::vector<iovec>& pieces = fresh_pieces();
        TextReply reply(code, std::move(text));
        reply.append_to(pieces);
        return send(pieces);
    }

    // A stream's failure is a StreamError frame followed by the end frame.
    Next send_failure(bool stream, std::string text) {
        if (!stream) return send_text(kFailure, std::move(text));
        std::vector<iovec>& pieces = fresh_pieces();
        TextReply error(wire::reply_code::kStreamError, std::move(text));
        TextReply end(wire::reply_code::kStreamEnd, {});
        error.append_to(pieces);
        end.append_to(pieces);
        return send(pieces);
    }

    std::optional<std::string> refuse_token(const wire::DecodedRequest& request) const {
        if (!options_.token) return std::nullopt;
        if (request.options && request.options->api_token && *request.options->api_token == *options_.token)
            return std::nullopt;
        return std::string(request.options && request.options->api_token ? "Unauthorized: the API token is not valid"
                                                                          : "Unauthorized: the request carries no API token");
    }

    Next answer_infer(std::uint32_t model_id, std::span<const std::uint8_t> payload, bool stream) {
        auto request = wire::decode_inference_request(payload);
        if (!request)
            return send_failure(stream, text_of(InferenceError::Kind::InvalidInput,
                                                "the request does not decode: " + request.error().text));
        if (auto refusal = refuse_token(*request)) return send_failure(stream, std::move(*refusal));
        const ModelInfo* model = model_by_id(model_id);
        auto fault = options_.fault ? options_.fault
                     : model && model->fault ? std::optional(model->kind)
                                             : std::nullopt;
        if (fault)
            return send_fault(peer_, *fault, stream ? wire::reply_code::kStreamChunk : wire::reply_code::kSuccess, stream);
        if (!model) return send_failure(stream, std::string(kModelNotLoaded));

        auto input = wire::resolve_packet(std::move(request->input));
        if (!input) return send_failure(stream, text_of(InferenceError::Kind::InvalidInput, std::move(input.error().text)));
        TensorView view{input->shape, input->dtype, input->bytes()};
        if (stream && model->kind == ModelKind::Stream)
            return send_chunks(split_into_chunks(view, options_.models.stream_chunks));
        auto output = run_model(model->kind, view, options_.models);
        if (!output) return send_failure(stream, std::move(output.error()));
        if (!stream) return send_packet(wire::reply_code::kSuccess, *output);
        std::vector<TensorOutput> single;
        single.push_back(std::move(*output));
        return send_chunks(single);
    }

    Next send_packet(std::uint32_t code, const TensorOutput& output) {
        auto reply = PacketReply::build(code, output);
        if (!reply) return send_text(kFailure, std::move(reply.error()));
        std::vector<iovec>& pieces = fresh_pieces();
        reply->append_to(pieces);
        return send(pieces);
    }

    // All chunks and the end frame go to the kernel together.
    Next send_chunks(const std::vector<TensorOutput>& chunks) {
        std::deque<PacketReply> replies;  // the pieces point into these: they must not move
        std::vector<iovec>& pieces = fresh_pieces();
        pieces.reserve(chunks.size() * 4 + 1);
        for (const TensorOutput& chunk : chunks) {
            auto reply = PacketReply::build(wire::reply_code::kStreamChunk, chunk);
            if (!reply) return send_failure(true, std::move(reply.error()));
            replies.push_back(std::move(*reply));
            replies.back().append_to(pieces);
        }
        TextReply end(wire::reply_code::kStreamEnd, {});
        end.append_to(pieces);
        return send(pieces);
    }

    Next answer_hybrid(std::span<const std::uint8_t> payload) {
        auto request = decode_hybrid_request(payload);
        if (!request)
            return send_text(kFailure, text_of(InferenceError::Kind::InvalidInput,
                                               "the hybrid request does not decode: " + request.error().text));
        if (!region_)
            return send_text(kFailure, text_of(InferenceError::Kind::ModelNotLoaded, {}) +
                                           " (this server has no shared-memory region)");
        const ModelKind model = options_.fault ? *options_.fault : options_.shm_model;
        if (model_info(model).fault) return send_fault(peer_, model, wire::reply_code::kSuccess, false);

        auto input = region_->read_input(request->tensor_offset, request->tensor_size);
        if (!input) return send_text(kFailure, std::move(input.error()));
        auto view = view_of(*input);
        auto output = run_model(model, view, options_.models);
        if (!output) return send_text(kFailure, std::move(output.error()));
        auto placed = region_->place_answer(model, request->tensor_offset, request->tensor_size, *output);
        if (!placed) return send_text(kFailure, std::move(placed.error()));

        HybridResponse response;
        response.metadata.request_id = request->header.request_id;
        response.shm_offset = *placed;
        response.shm_size = shm::tensor_block_size(output->data().size());
        auto body = encode(response);
        std::vector<iovec>& pieces = fresh_pieces();
        RawReply reply(wire::reply_code::kSuccess, std::vector<std::uint8_t>(body.begin(), body.end()));
        reply.append_to(pieces);
        return send(pieces);
    }

    // One list of pieces per connection, reused by every reply: a reply is
    // sent before the next one is built, and the list keeps its capacity.
    std::vector<iovec>& fresh_pieces() {
        pieces_.clear();
        return pieces_;
    }

    Peer peer_;
    const ServerOptions& options_;
    ServedRegion* region_;
    std::vector<iovec> pieces_;
};

}  // namespace

void StreamService::serve(Peer peer) const {
    FrameReader frames(peer);
    Exchange exchange(peer, options_, region_);
    RequestFrame frame;
    while (frames.next(frame)) {
        if (exchange.answer(frame.header, frame.payload) == Next::Close) return;
    }
}

}  // namespace quelt::server
