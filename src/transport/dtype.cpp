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

char lower_ascii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool same_ignoring_ascii_case(std::string_view name, std::string_view text) {
    if (name.size() != text.size()) return false;
    for (std::size_t i = 0; i < name.size(); ++i)
        if (lower_ascii(text[i]) != name[i]) return false;
    return true;
}

}  // namespace

std::string lower_ascii(std::string_view text) {
    std::string lowered(text);
    for (char& c : lowered) c = lower_ascii(c);
    return lowered;
}

Result<DType> parse_dtype(std::string_view text) {
    for (const auto& [name, type] : kNames)
        if (same_ignoring_ascii_case(name, text)) return type;
    return quelt::unexpected(
        Error{ErrorDomain::DataType, ErrorKind::Value, 0, std::string(kUnsupportedDType) + lower_ascii(text)});
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
