#include "transport/dtype.hpp"

#include <array>
#include <utility>

namespace quelt {
namespace {

constexpr std::array<std::pair<std::string_view, DType>, 14> kNames{{
    {"float32", DType::Float32}, {"fp32", DType::Float32}, {"float64", DType::Float64},
    {"fp64", DType::Float64},    {"float16", DType::Float16}, {"fp16", DType::Float16},
    {"int32", DType::Int32},     {"i32", DType::Int32},     {"int64", DType::Int64},
    {"i64", DType::Int64},       {"uint8", DType::UInt8},   {"u8", DType::UInt8},
    {"string", DType::String},   {"utf8", DType::String},
}};

}  // namespace

std::string lower_ascii(std::string_view text) {
    std::string lowered(text);
    for (char& c : lowered)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return lowered;
}

quelt::expected<DType, UnsupportedDType> parse_dtype(std::string_view text, LowerCase lower) {
    // Names mostly arrive in their own (lower) case, which lowering leaves
    // as it is: those need no lowered copy.
    for (const auto& [name, type] : kNames)
        if (name == text) return type;
    std::string lowered = lower(text);
    for (const auto& [name, type] : kNames)
        if (name == lowered) return type;
    return quelt::unexpected(UnsupportedDType{std::move(lowered)});
}

std::string_view dtype_name(DType type) {
    switch (type) {
        case DType::Float32: return "float32";
        case DType::Float64: return "float64";
        case DType::Float16: return "float16";
        case DType::Int32: return "int32";
        case DType::Int64: return "int64";
        case DType::UInt8: return "uint8";
        case DType::String: return "string";
    }
    return "float32";
}

std::uint8_t shm_dtype_code(DType type) {
    switch (type) {
        case DType::Float64: return 1;
        case DType::Int32: return 2;
        case DType::Int64: return 3;
        default: return 0;
    }
}

}  // namespace quelt
