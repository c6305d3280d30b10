#pragma once
// The creator's side of a region (the server): creates the named object,
// writes the header, initialises both queues, and removes the name again when
// the owner is destroyed, with the lease companion that the clients made
// beside it. Clients never use this.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "common/expected.hpp"
#include "shm/region_layout.hpp"
#include "shm/shared_mapping.hpp"
#include "shm/shm_error.hpp"

namespace quelt::shm {

class OwnedRegion {
public:
    // Fails if an object of that name exists already ("Creating the shared
    // memory failed, os error 17"): a live server's region is never taken over.
    static Result<OwnedRegion> create(std::string name, const RegionLayout& layout);

    OwnedRegion(OwnedRegion&& other) noexcept;
    OwnedRegion& operator=(OwnedRegion&& other) noexcept;
    OwnedRegion(const OwnedRegion&) = delete;
    OwnedRegion& operator=(const OwnedRegion&) = delete;
    ~OwnedRegion();

    // Removes the region's name and its lease companion's; mappings stay valid.
    static void remove_names(std::string_view name) noexcept;

    const std::string& name() const noexcept { return name_; }
    const RegionLayout& layout() const noexcept { return layout_; }
    std::byte* data() const noexcept { return mapping_.data(); }
    std::uint64_t size() const noexcept { return mapping_.size(); }
    std::span<std::byte> bytes() const noexcept { return mapping_.bytes(); }

private:
    OwnedRegion(std::string name, SharedMapping mapping, const RegionLayout& layout);
    void unlink_name() noexcept;

    std::string name_;
    SharedMapping mapping_;
    RegionLayout layout_;
    bool owns_name_ = false;
};

}  // namespace quelt::shm
