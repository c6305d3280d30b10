#pragma once
// The seven tensor data types, their accepted spellings, and the one-byte
// codes that tensor blocks in shared memory carry.
#include <cstdint>
#include <string>
#include <string_view>

#include "common/error.hpp"

namespace quelt {

enum class DType : std::uint8_t { Float32, Float64, Float16, Int32, Int64, UInt8, String };

// Names are matched without regard to ASCII case. No other character
// lower-cases into a letter of a name (KELVIN SIGN alone lowers to an ASCII
// letter, 'k', which no name holds), so this accepts exactly the names that
// full Unicode lower-casing would.
//
// An unknown name fails as an argument value (the caller re-kinds it where
// the name came from elsewhere) in the DataType domain, with the text
// kUnsupportedDType followed by the name, its ASCII letters lowered. Lowering
// the rest of the name is left to the edge that shows it (python/failure.cpp).
inline constexpr std::string_view kUnsupportedDType = "Invalid input: Unsupported dtype: ";
Result<DType> parse_dtype(std::string_view text);
std::string lower_ascii(std::string_view text);

std::string_view dtype_name(DType type);
// fp16, u8 and string share code 0 with fp32 in a tensor block.
std::uint8_t shm_dtype_code(DType type);

}  // namespace quelt
