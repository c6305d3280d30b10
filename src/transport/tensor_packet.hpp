#pragma once
// A decoded BinaryTensorPacketPayload becomes a tensor: exactly one of `data`
// and `data_base64` must carry its bytes.
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "common/error.hpp"
#include "transport/dtype.hpp"
#include "transport/records.hpp"

namespace quelt::wire {

struct ResolvedTensor {
    std::vector<std::int64_t> shape;
    DType dtype;
    // Raw data stays a view into the decoded buffer; base64 text is decoded
    // into a vector of its own.
    std::span<const std::uint8_t> raw;
    std::vector<std::uint8_t> decoded;
    bool from_base64 = false;

    std::span<const std::uint8_t> bytes() const noexcept {
        return from_base64 ? std::span<const std::uint8_t>(decoded) : raw;
    }
};

Result<ResolvedTensor> resolve_packet(DecodedPacket packet);

}  // namespace quelt::wire
