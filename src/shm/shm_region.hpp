#pragma once
// A client's view of a region that the server created: opened by name, header
// validated, mapped until the object is destroyed. The client never resizes,
// unlinks or writes the header.
#include <cstdint>
#include <span>
#include <string>

#include "common/expected.hpp"
#include "shm/info_log.hpp"
#include "shm/region_header.hpp"
#include "shm/shared_mapping.hpp"
#include "shm/shm_error.hpp"

namespace quelt::shm {

// Bytes of the region that hold the tensor pool, checked to lie inside it.
struct PoolArea {
    std::uint64_t offset;
    std::uint64_t size;
};

class ShmRegion {
public:
    // Opens, maps and validates (magic first, then version); on success sends
    // "Connected to shared memory region '{name}' of size {size} bytes" to
    // `log` if it is enabled for information.
    static Result<ShmRegion> open(std::string name, InfoLog* log = nullptr);

    const std::string& name() const noexcept { return name_; }
    std::byte* data() const noexcept { return mapping_.data(); }
    std::uint64_t size() const noexcept { return mapping_.size(); }
    std::span<std::byte> bytes() const noexcept { return mapping_.bytes(); }
    // Which object is mapped: a server that restarts makes a new one under the old name.
    const SharedMapping& mapping() const noexcept { return mapping_; }
    // Fails (Replaced or Removed) when the region's name no longer shows the
    // mapped object: a server that restarted serves another region, and
    // offsets sent to it would name bytes this client never sees. A few
    // system calls: for the moments a connection opens or a call fails.
    Result<void> check_still_named() const;

    // The queue offsets are read from the header at every use, and checked
    // (inside the region, 8-byte aligned) before they are handed out.
    Result<std::uint64_t> request_queue_offset() const;
    Result<std::uint64_t> response_queue_offset() const;
    // The pool placement, read from the header and checked against the region.
    Result<PoolArea> pool_area() const;

private:
    ShmRegion(std::string name, SharedMapping mapping) : name_(std::move(name)), mapping_(std::move(mapping)) {}
    Result<std::uint64_t> queue_offset(std::size_t field, std::uint64_t entry_size,
                                                        const char* which) const;

    std::string name_;
    SharedMapping mapping_;
};

}  // namespace quelt::shm
