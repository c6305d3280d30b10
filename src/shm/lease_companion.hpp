#pragma once
// The operating-system side of the slot leases that client processes share.
//
// Beside every region lies a small companion object that each client process
// maps: it holds one lease word per pool slot and a table of process cells
// (lease_table.hpp says what the bytes mean). A process claims a cell with a
// lock that the kernel holds for it and drops when the process ends, however
// it ends; asking whether a cell is locked tells a live owner from a dead
// one. This header is the whole platform interface: lease_companion_posix.cpp
// implements it with a POSIX shared-memory object "<region>.leases" and
// open-file-description locks; another platform adds its own twin.
//
// The companion is named after the region (lease_table_name.hpp). On POSIX it
// is used only if it is one that every user of the region object shares and
// that no one controls who could not write the region anyway: see open().
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "common/expected.hpp"
#include "shm/shared_mapping.hpp"
#include "shm/shm_error.hpp"

namespace quelt::shm {

class LeaseCompanion {
public:
    // Opens the companion of the region `region_name` (mapped as `region`),
    // creating it if no process has yet; a new companion can be opened by
    // whoever may open the region. Makes it at least `bytes` long, never
    // shorter (other processes may use more of it), with the space reserved
    // so that touching it later cannot fail, and maps those bytes; bytes never
    // written read as zero. Fails with a Platform error naming the companion,
    // also (POSIX) when the companion found may be written by someone who may
    // not write the region, or is not the one that the region object's other
    // users have open (a region seen through another name or another
    // /dev/shm, as in a container).
    static Result<LeaseCompanion> open(std::string_view region_name, const SharedMapping& region,
                                                        std::uint64_t bytes);
    // Removes the companions of regions that are gone, where this process may
    // and no process has them open; only files that begin with one of
    // `format_marks` are companions. Best effort, so that they do not pile up
    // where servers ended without removing them (POSIX; Windows keeps them in
    // the user's own temporary directory and leaves them).
    static void remove_abandoned(std::span<const std::uint64_t> format_marks) noexcept;
    // Removes the companion's name: the server does this when it removes its
    // region. Processes that have it open keep using it.
    static void remove(std::string_view region_name) noexcept;

    LeaseCompanion(LeaseCompanion&&) noexcept;
    LeaseCompanion& operator=(LeaseCompanion&&) = delete;
    LeaseCompanion(const LeaseCompanion&) = delete;
    LeaseCompanion& operator=(const LeaseCompanion&) = delete;
    // Unmaps, and gives up the cell this process claimed through this object.
    ~LeaseCompanion();

    // The mapped bytes, 8-byte aligned, shared with every process that has
    // the companion open.
    std::span<std::byte> bytes() const noexcept;

    // Claims cell `cell` for this process unless another process holds it:
    // true if claimed. The claim lasts until this object is destroyed or the
    // process ends. In a child made by fork() the claims of the parent are
    // not the child's: the child opens the companion anew and claims its own.
    Result<bool> try_claim(std::uint32_t cell);
    // True if a process holds cell `cell` (this process's own claims are not
    // asked about). A failure to find out answers true: a slot is then left
    // held rather than taken from a live owner.
    bool claimed_by_another(std::uint32_t cell) const noexcept;

    // The platform's state: named here only so that its file can keep a
    // list of the open ones.
    struct Platform;

private:
    explicit LeaseCompanion(std::unique_ptr<Platform> platform) noexcept;
    std::unique_ptr<Platform> platform_;
};

}  // namespace quelt::shm
