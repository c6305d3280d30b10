#include "model.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <optional>
#include <thread>

namespace quelt::server {
namespace {

constexpr std::array<ModelInfo, 9> kModels{{
    {ModelKind::Identity, 0, "identity", "echoes the input tensor unchanged", false},
    {ModelKind::Sum, 1, "sum", "float32 input: the sum of all elements, shape [1]", false},
    {ModelKind::Stream, 2, "stream", "streams the input back in --stream-chunks chunks, then ends the stream", false},
    {ModelKind::Error, 3, "error", "always fails with \"Inference error: the error model always fails\"", false},
    {ModelKind::Slow, 4, "slow", "waits --slow-ms milliseconds, then echoes the input", false},
    {ModelKind::Truncate, 5, "truncate", "fault: the reply stops half-way and the connection closes", true},
    {ModelKind::Reset, 6, "reset", "fault: the connection is reset (TCP) or just closed (Unix)", true},
    {ModelKind::Garbage, 7, "garbage", "fault: a success reply whose body is garbage bytes", true},
    {ModelKind::Drop, 8, "drop", "fault: the request is never answered (a socket is closed)", true},
}};

// The number of elements a shape holds; none when a dimension is negative
// or the product overflows.
std::optional<std::uint64_t> element_count(std::span<const std::int64_t> shape) {
    std::uint64_t count = 1;
    for (std::int64_t dimension : shape) {
        if (dimension < 0) return std::nullopt;
        const auto extent = static_cast<std::uint64_t>(dimension);
        if (extent != 0 && count > std::numeric_limits<std::uint64_t>::max() / extent) return std::nullopt;
        count *= extent;
    }
    return count;
}

std::string shape_text(std::span<const std::int64_t> shape) {
    std::string text = "[";
    for (std::size_t i = 0; i < shape.size(); ++i) text += (i ? ", " : "") + std::to_string(shape[i]);
    return text + "]";
}

TensorOutput sum_of(std::span<const std::uint8_t> data) {
    // Accumulated in double so long inputs keep their precision.
    double total = 0;
    for (std::size_t at = 0; at + 4 <= data.size(); at += 4) {
        float element;
        std::memcpy(&element, data.data() + at, 4);
        total += element;
    }
    float result = static_cast<float>(total);
    std::vector<std::uint8_t> bytes(4);
    std::memcpy(bytes.data(), &result, 4);
    return TensorOutput::owning({1}, DType::Float32, std::move(bytes));
}

ModelResult sum_model(const TensorView& input) {
    if (input.dtype != DType::Float32)
        return quelt::unexpected("Invalid input: the sum model takes float32 data, not " +
                               std::string(dtype_name(input.dtype)));
    if (input.data.size() % 4 != 0)
        return quelt::unexpected("Invalid input: " + std::to_string(input.data.size()) +
                               " bytes are not a whole number of float32 elements");
    // The shared-memory clients label uint8, float16 and string tensors as
    // float32 too: data that is not 4 bytes per element of its shape is not
    // float32, whatever its label says, and summing it would be a wrong answer.
    const auto elements = element_count(input.shape);
    if (!elements || *elements > input.data.size() / 4 || *elements * 4 != input.data.size())
        return quelt::unexpected("Invalid input: the sum model takes float32 data, 4 bytes per element, but shape " +
                               shape_text(input.shape) + " comes with " + std::to_string(input.data.size()) +
                               " bytes (uint8, float16 and string tensors sent through shared memory arrive "
                               "labelled float32)");
    return sum_of(input.data);
}

}  // namespace

std::span<const ModelInfo> all_models() { return kModels; }

const ModelInfo* model_by_id(std::uint32_t id) {
    auto found = std::ranges::find(kModels, id, &ModelInfo::id);
    return found == kModels.end() ? nullptr : &*found;
}

const ModelInfo* model_by_name(std::string_view name) {
    auto found = std::ranges::find(kModels, name, &ModelInfo::name);
    return found == kModels.end() ? nullptr : &*found;
}

const ModelInfo& model_info(ModelKind kind) { return *std::ranges::find(kModels, kind, &ModelInfo::kind); }

TensorOutput TensorOutput::borrowing(const TensorView& input) {
    TensorOutput output;
    output.shape.assign(input.shape.begin(), input.shape.end());
    output.dtype = input.dtype;
    output.borrowed = input.data;
    return output;
}

TensorOutput TensorOutput::owning(std::vector<std::int64_t> shape, DType dtype, std::vector<std::uint8_t> bytes) {
    TensorOutput output;
    output.shape = std::move(shape);
    output.dtype = dtype;
    output.storage = std::move(bytes);
    output.owns = true;
    return output;
}

std::size_t element_size(DType dtype) {
    switch (dtype) {
        case DType::Float64:
        case DType::Int64: return 8;
        case DType::Float32:
        case DType::Int32: return 4;
        case DType::Float16: return 2;
        case DType::UInt8:
        case DType::String: return 1;
    }
    return 1;
}

ModelResult run_model(ModelKind kind, const TensorView& input, const ModelSettings& settings) {
    switch (kind) {
        case ModelKind::Sum: return sum_model(input);
        case ModelKind::Error: return quelt::unexpected(std::string(kErrorModelText));
        case ModelKind::Slow: std::this_thread::sleep_for(settings.slow_delay); break;
        default: break;
    }
    return TensorOutput::borrowing(input);
}

std::vector<TensorOutput> split_into_chunks(const TensorView& input, std::size_t chunks) {
    const std::size_t width = element_size(input.dtype);
    // A trailing partial element travels with the last chunk rather than being lost.
    const std::size_t elements = input.data.size() / width;
    std::vector<TensorOutput> result;
    if (input.data.empty() || chunks == 0) return result;
    const std::size_t count = std::max<std::size_t>(1, std::min(chunks, elements));
    std::size_t begin = 0;
    for (std::size_t i = 0; i < count; ++i) {
        std::size_t end_element = elements * (i + 1) / count;
        std::size_t end = (i + 1 == count) ? input.data.size() : end_element * width;
        TensorView piece{{}, input.dtype, input.data.subspan(begin, end - begin)};
        TensorOutput chunk = TensorOutput::borrowing(piece);
        chunk.shape = {static_cast<std::int64_t>((end - begin) / width)};
        result.push_back(std::move(chunk));
        begin = end;
    }
    return result;
}

}  // namespace quelt::server
