#pragma once
// The seven tensor data types, their accepted spellings, and the one-byte
// codes that tensor blocks in shared memory carry.
#include <cstdint>
#include <string>
#include <string_view>

#include "common/expected.hpp"

namespace quelt {

enum class DType : std::uint8_t { Float32, Float64, Float16, Int32, Int64, UInt8, String };

// Display text of the invalid-input kind: "Invalid input: Unsupported dtype: {lowered}".
struct UnsupportedDType {
    std::string lowered;
    std::string message() const { return "Invalid input: Unsupported dtype: " + lowered; }
};

// Lower-cases a data-type name. The Python layer passes the interpreter's own
// full Unicode str.lower; code without an interpreter lowers ASCII only, which
// matches the same names (no non-ASCII character lowers into one of them).
using LowerCase = std::string (*)(std::string_view);
std::string lower_ascii(std::string_view text);

quelt::expected<DType, UnsupportedDType> parse_dtype(std::string_view text, LowerCase lower = lower_ascii);
std::string_view dtype_name(DType type);
// fp16, u8 and string share code 0 with fp32 in a tensor block.
std::uint8_t shm_dtype_code(DType type);

}  // namespace quelt
