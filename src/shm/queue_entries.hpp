#pragma once
// The fixed-size records that travel through the two queues. They are copied
// into and out of the region byte for byte (fields little-endian, host order
// on the supported hosts: see region_bytes.hpp).
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "shm/region_bytes.hpp"

namespace quelt::shm {

// Posted by a client for each inference request.
struct RequestEntry {
    std::uint64_t request_id = 0;
    std::uint64_t reserved = 0;       // always 0
    std::uint64_t timestamp_ns = 0;   // wall clock, nanoseconds since 1970
    std::uint64_t tensor_offset = 0;  // the input TensorBlock in a pool slot
    std::uint64_t tensor_size = 0;    // 80 + data length
};

// Posted by the server for each request it answers. The words the client does
// not read are the server's own (it may use them for sizes or timings).
struct ResponseEntry {
    std::uint64_t request_id = 0;
    std::uint8_t status = 0;  // 0 = success
    std::uint8_t server_bytes[7] = {};
    std::uint64_t server_word_16 = 0;
    std::uint64_t result_offset = 0;  // on success: the output TensorBlock
    std::uint64_t server_word_32 = 0;
    std::uint64_t error_offset = 0;   // on failure: a MessageBlock, 0 for none
};

static_assert(std::is_trivially_copyable_v<RequestEntry> && std::is_standard_layout_v<RequestEntry>);
static_assert(sizeof(RequestEntry) == 40);
static_assert(offsetof(RequestEntry, timestamp_ns) == 16 && offsetof(RequestEntry, tensor_offset) == 24 &&
              offsetof(RequestEntry, tensor_size) == 32);

static_assert(std::is_trivially_copyable_v<ResponseEntry> && std::is_standard_layout_v<ResponseEntry>);
static_assert(sizeof(ResponseEntry) == 48);
static_assert(offsetof(ResponseEntry, status) == 8 && offsetof(ResponseEntry, server_word_16) == 16 &&
              offsetof(ResponseEntry, result_offset) == 24 && offsetof(ResponseEntry, server_word_32) == 32 &&
              offsetof(ResponseEntry, error_offset) == 40);

}  // namespace quelt::shm
