#include "shm/shm_region.hpp"

#include <atomic>
#include <cstdint>

#include "common/propagate.hpp"
#include "shm/queue_entries.hpp"
#include "shm/queue_layout.hpp"
#include "shm/region_bytes.hpp"

namespace quelt::shm {

Result<ShmRegion> ShmRegion::open(std::string name, InfoLog* log) {
    QUELT_TRY(mapping, SharedMapping::open_existing(name));
    // A mapping is at least one page, so the 40 header bytes are always inside it.
    // Acquire: the server stores the magic last, with release, so a region
    // opened while it is being made shows the queue and pool offsets it
    // wrote before. A plain read would not order them on a weakly ordered
    // processor (aarch64), where the offsets could still read as zero.
    const std::uint32_t magic = std::atomic_ref<std::uint32_t>(
        *reinterpret_cast<std::uint32_t*>(mapping->data() + header_field::magic)).load(std::memory_order_acquire);
    if (magic != kRegionMagic) return quelt::unexpected(invalid_magic());
    const RegionHeader header = RegionHeader::read(mapping->data());
    if (header.version != kRegionVersion) return quelt::unexpected(version_mismatch());
    ShmRegion region(std::move(name), std::move(*mapping));
    if (log != nullptr && log->info_enabled())
        log->info("Connected to shared memory region '" + region.name_ + "' of size " +
                  std::to_string(region.size()) + " bytes");
    return region;
}

Result<void> ShmRegion::check_still_named() const {
    switch (mapping_.standing_of(name_)) {
        case NameStanding::Same: return {};
        case NameStanding::Replaced: return quelt::unexpected(region_replaced(name_));
        case NameStanding::Removed: return quelt::unexpected(region_removed(name_));
    }
    return {};
}

Result<std::uint64_t> ShmRegion::queue_offset(std::size_t field, std::uint64_t entry_size,
                                                               const char* which) const {
    const auto offset = load<std::uint64_t>(data() + field);
    if (offset % queue_layout::kAlignment != 0 || !fits(offset, queue_layout::queue_bytes(entry_size), size()))
        return quelt::unexpected(invalid_region(
            std::string(which) + " queue at offset " + std::to_string(offset) + " (" +
            std::to_string(queue_layout::queue_bytes(entry_size)) + " bytes, 8-byte aligned) does not fit the " +
            std::to_string(size()) + "-byte region"));
    return offset;
}

Result<std::uint64_t> ShmRegion::request_queue_offset() const {
    return queue_offset(header_field::request_queue_offset, sizeof(RequestEntry), "request");
}

Result<std::uint64_t> ShmRegion::response_queue_offset() const {
    return queue_offset(header_field::response_queue_offset, sizeof(ResponseEntry), "response");
}

Result<PoolArea> ShmRegion::pool_area() const {
    const RegionHeader header = RegionHeader::read(data());
    if (!fits(header.tensor_pool_offset, header.tensor_pool_size, size()))
        return quelt::unexpected(invalid_region(
            "tensor pool at offset " + std::to_string(header.tensor_pool_offset) + " with " +
            std::to_string(header.tensor_pool_size) + " bytes does not fit the " + std::to_string(size()) +
            "-byte region"));
    // Input blocks written over the header or a queue would wreck the control
    // words the next push spins on, so such a pool is refused outright.
    auto overlaps = [&](std::uint64_t offset, std::uint64_t length) {
        const std::uint64_t end = offset > UINT64_MAX - length ? UINT64_MAX : offset + length;
        return header.tensor_pool_size != 0 && header.tensor_pool_offset < end &&
               offset < header.tensor_pool_offset + header.tensor_pool_size;
    };
    const struct {
        const char* what;
        std::uint64_t offset;
        std::uint64_t length;
    } fixed_parts[] = {
        {"the region header", 0, kRegionHeaderSize},
        {"the request queue", header.request_queue_offset, queue_layout::queue_bytes(sizeof(RequestEntry))},
        {"the response queue", header.response_queue_offset, queue_layout::queue_bytes(sizeof(ResponseEntry))},
    };
    for (const auto& part : fixed_parts)
        if (overlaps(part.offset, part.length))
            return quelt::unexpected(invalid_region(
                "tensor pool at offset " + std::to_string(header.tensor_pool_offset) + " with " +
                std::to_string(header.tensor_pool_size) + " bytes overlaps " + part.what + " at offset " +
                std::to_string(part.offset)));
    return PoolArea{header.tensor_pool_offset, header.tensor_pool_size};
}

}  // namespace quelt::shm
