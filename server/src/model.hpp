#pragma once
// The built-in models of the reference server, chosen by model id over the
// stream protocol and by --shm-model for the shared-memory paths. The fault
// models do no computing: each transport breaks its own reply in their name.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/expected.hpp"
#include "transport/dtype.hpp"

namespace quelt::server {

enum class ModelKind { Identity, Sum, Stream, Error, Slow, Truncate, Reset, Garbage, Drop };

struct ModelInfo {
    ModelKind kind;
    std::uint32_t id;
    std::string_view name;
    std::string_view summary;
    bool fault;
};

std::span<const ModelInfo> all_models();
const ModelInfo* model_by_id(std::uint32_t id);
const ModelInfo* model_by_name(std::string_view name);
const ModelInfo& model_info(ModelKind kind);

struct ModelSettings {
    std::size_t stream_chunks = 4;
    std::chrono::milliseconds slow_delay{200};
};

struct TensorView {
    std::span<const std::int64_t> shape;
    DType dtype;
    std::span<const std::uint8_t> data;
};

// A model's output. Models that pass their input through borrow its bytes
// (no copy is made); the others own theirs.
struct TensorOutput {
    std::vector<std::int64_t> shape;
    DType dtype = DType::Float32;
    std::vector<std::uint8_t> storage;
    std::span<const std::uint8_t> borrowed;
    bool owns = false;

    std::span<const std::uint8_t> data() const { return owns ? std::span<const std::uint8_t>(storage) : borrowed; }

    static TensorOutput borrowing(const TensorView& input);
    static TensorOutput owning(std::vector<std::int64_t> shape, DType dtype, std::vector<std::uint8_t> bytes);
};

// Failures are the texts the server answers with.
using ModelResult = quelt::expected<TensorOutput, std::string>;

// Runs a computing model (identity, sum, error, slow; stream answers a unary
// request like identity). Fault models are the caller's business.
ModelResult run_model(ModelKind kind, const TensorView& input, const ModelSettings& settings);

// The stream model's chunks: the elements split into at most `chunks` runs of
// nearly equal length, each a one-dimensional tensor of the input's type.
std::vector<TensorOutput> split_into_chunks(const TensorView& input, std::size_t chunks);

std::size_t element_size(DType dtype);

inline constexpr std::string_view kModelNotLoaded = "Model not loaded";
inline constexpr std::string_view kErrorModelText = "Inference error: the error model always fails";

}  // namespace quelt::server
