#pragma once
// The slot leases of one region, shared by every client process that has the
// region open. They live in the region's lease companion (lease_companion.hpp),
// never in the region itself, whose layout belongs to the server:
//
//   offset 0                 u64 format mark: 0 in a new companion, set once
//   offset 64                u64 incarnation of each of the kCells process cells
//   offset 64 + 8 * kCells   u64 lease word of each slot of the pool
//
// A process claims one free cell (a kernel-held lock) and counts that cell's
// incarnation up; the cell and the incarnation are its owner mark. A lease
// word is 0 for a free slot, otherwise the owner mark of its holder:
//
//   bit 63 set   bits 62..12 incarnation   bits 11..0 cell
//
// Taking a slot is one compare-and-swap of its word: from 0, or, once no free
// slot is left, from a lease whose owner has ended (its cell was claimed
// anew, or nobody holds it). A lease never expires: however long its owner's
// call lasts, and whatever another process's clock says, a live owner keeps
// it until it gives it back. Giving it back is one compare-and-swap from
// exactly the word written back to 0. No call makes a system call while free
// slots are left.
#include <cstdint>
#include <memory>
#include <optional>

#include "common/expected.hpp"
#include "shm/lease_companion.hpp"
#include "shm/shm_error.hpp"

namespace quelt::shm {

class ShmRegion;

class LeaseTable {
public:
    static constexpr std::uint32_t kCells = 4096;

    // The region's shared table with room for `slots` lease words, with a
    // cell claimed for this process.
    static Result<std::unique_ptr<LeaseTable>> open_shared(const ShmRegion& region,
                                                                            std::uint64_t slots);
    // Words that only this process sees, for tools and tests without a region.
    static std::unique_ptr<LeaseTable> private_to_process(std::uint64_t slots);

    LeaseTable(const LeaseTable&) = delete;
    LeaseTable& operator=(const LeaseTable&) = delete;

    // Which held slots a take may claim besides free ones.
    enum class Reclaim {
        Nothing,
        EndedOwners,  // leases of processes that have ended (a system call per owner asked about)
    };
    // Leases slot `index` if it is free or `reclaim` allows taking it from its
    // holder. Returns the word written, which the release needs, or nothing if
    // the slot was not taken.
    std::optional<std::uint64_t> try_take(std::uint64_t index, Reclaim reclaim);
    // Frees slot `index` if it still holds `word`.
    void give_back(std::uint64_t index, std::uint64_t word) noexcept;
    // False in a child made by fork(): the cell and the leases are the parent's.
    bool usable_here() const noexcept;

private:
    LeaseTable(std::optional<LeaseCompanion> companion, std::uint64_t* words, std::uint32_t cell,
               std::uint64_t incarnation);
    std::uint64_t owner_mark() const noexcept;
    bool owner_ended(std::uint64_t word) const noexcept;

    std::optional<LeaseCompanion> companion_;  // none: private to this process
    std::unique_ptr<std::uint64_t[]> private_words_;
    std::uint64_t* words_;
    std::uint64_t* incarnations_ = nullptr;
    std::uint32_t cell_;
    std::uint64_t incarnation_;
    std::uint64_t generation_;
};

}  // namespace quelt::shm
