#include "shm/owned_region.hpp"

#include <atomic>
#include <utility>

#include "common/propagate.hpp"
#include "shm/lease_companion.hpp"
#include "shm/queue_entries.hpp"
#include "shm/queue_layout.hpp"
#include "shm/region_bytes.hpp"
#include "shm/region_header.hpp"

namespace quelt::shm {
namespace {

quelt::unexpected<Error> bad_layout(const std::string& what) {
    return quelt::unexpected(invalid_region("layout: " + what));
}

Result<void> check_layout(const RegionLayout& layout) {
    const auto queue_fits = [&](std::uint64_t offset, std::uint64_t entry_size) {
        return offset >= kRegionHeaderSize && offset % queue_layout::kAlignment == 0 &&
               fits(offset, queue_layout::queue_bytes(entry_size), layout.region_size);
    };
    if (!queue_fits(layout.request_queue_offset, sizeof(RequestEntry))) return bad_layout("request queue misplaced");
    if (!queue_fits(layout.response_queue_offset, sizeof(ResponseEntry))) return bad_layout("response queue misplaced");
    if (!fits(layout.tensor_pool_offset, layout.tensor_pool_size, layout.region_size))
        return bad_layout("tensor pool outside the region");
    if (!fits(layout.server_area_offset, layout.server_area_size, layout.region_size))
        return bad_layout("server area outside the region");
    return {};
}

// Three equal control words make an empty queue.
void initialise_queue(std::byte* queue, std::uint64_t entry_size) {
    for (std::uint64_t word : {queue_layout::write_index_at(entry_size), queue_layout::commit_index_at(entry_size),
                               queue_layout::read_index_at(entry_size)})
        std::atomic_ref<std::uint64_t>(*reinterpret_cast<std::uint64_t*>(queue + word))
            .store(0, std::memory_order_relaxed);
}

}  // namespace

Result<OwnedRegion> OwnedRegion::create(std::string name, const RegionLayout& layout) {
    QUELT_TRY(checked, check_layout(layout));
    QUELT_TRY(mapping, SharedMapping::create_exclusive(name, layout.region_size));
    OwnedRegion region(std::move(name), std::move(*mapping), layout);

    std::byte* base = region.data();
    initialise_queue(base + layout.request_queue_offset, sizeof(RequestEntry));
    initialise_queue(base + layout.response_queue_offset, sizeof(ResponseEntry));
    RegionHeader header;
    header.magic = 0;  // published last, below
    header.request_queue_offset = layout.request_queue_offset;
    header.response_queue_offset = layout.response_queue_offset;
    header.tensor_pool_offset = layout.tensor_pool_offset;
    header.tensor_pool_size = layout.tensor_pool_size;
    header.write(base);
    // The magic goes in last: a client that opens the region while it is
    // still being set up is refused instead of reading half a header.
    std::atomic_ref<std::uint32_t>(*reinterpret_cast<std::uint32_t*>(base + header_field::magic))
        .store(kRegionMagic, std::memory_order_release);
    return region;
}

OwnedRegion::OwnedRegion(std::string name, SharedMapping mapping, const RegionLayout& layout)
    : name_(std::move(name)), mapping_(std::move(mapping)), layout_(layout), owns_name_(true) {}

OwnedRegion::OwnedRegion(OwnedRegion&& other) noexcept
    : name_(std::move(other.name_)),
      mapping_(std::move(other.mapping_)),
      layout_(other.layout_),
      owns_name_(std::exchange(other.owns_name_, false)) {}

OwnedRegion& OwnedRegion::operator=(OwnedRegion&& other) noexcept {
    if (this != &other) {
        unlink_name();
        name_ = std::move(other.name_);
        mapping_ = std::move(other.mapping_);
        layout_ = other.layout_;
        owns_name_ = std::exchange(other.owns_name_, false);
    }
    return *this;
}

OwnedRegion::~OwnedRegion() { unlink_name(); }

void OwnedRegion::unlink_name() noexcept {
    if (owns_name_) remove_names(name_);
    owns_name_ = false;
}

void OwnedRegion::remove_names(std::string_view name) noexcept {
    // The region's name first: from then on no client can open the region
    // and then find the companion gone (and make a new one that the clients
    // still running do not share).
    SharedMapping::unlink(name);
    LeaseCompanion::remove(name);
}

}  // namespace quelt::shm
