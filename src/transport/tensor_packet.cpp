#include "transport/tensor_packet.hpp"

#include "common/propagate.hpp"
#include "transport/base64.hpp"

namespace quelt::wire {

Result<ResolvedTensor> resolve_packet(DecodedPacket packet) {
    ResolvedTensor tensor{std::move(packet.shape), packet.dtype, {}, {}, false};
    if (packet.data && packet.data_base64)
        return quelt::unexpected(Error::wire("binary tensor payload must include only one of `data` or `data_base64`"));
    if (packet.data) {
        tensor.raw = *packet.data;
        return tensor;
    }
    if (!packet.data_base64)
        return quelt::unexpected(Error::wire("binary tensor payload must include `data` or `data_base64`"));
    QUELT_TRY(decoded, decode_base64(*packet.data_base64));
    tensor.decoded = std::move(*decoded);
    tensor.from_base64 = true;
    return tensor;
}

}  // namespace quelt::wire
