#include "shm/lease_table.hpp"

#include <atomic>
#include <string>

#include "common/process_generation.hpp"
#include "common/propagate.hpp"
#include "common/random_bits.hpp"
#include "shm/shm_region.hpp"

namespace quelt::shm {
namespace {

// "QLTLEAS2": a companion laid out as lease_table.hpp describes. ("QLTLEAS1"
// tables let leases expire by the clock: a client of that kind would take
// this kind's leases, so neither uses the other's table.)
constexpr std::uint64_t kFormatMark = 0x32534145'4c544c51ULL;
constexpr std::uint64_t kExpiringFormatMark = 0x31534145'4c544c51ULL;
constexpr std::uint64_t kIncarnationsOffset = 64;
constexpr std::uint64_t kWordsOffset = kIncarnationsOffset + 8 * LeaseTable::kCells;
// More words than any pool that fits in an address space has slots.
constexpr std::uint64_t kMostSlots = std::uint64_t{1} << 40;

constexpr unsigned kCellBits = 12;
constexpr std::uint64_t kHeld = std::uint64_t{1} << 63;  // no lease word is 0, whatever its owner mark
// 51 bits: a cell is not claimed 2^51 times, so a dead owner's mark never
// comes round again as a live one's.
constexpr std::uint64_t kIncarnationMask = (kHeld - 1) >> kCellBits;
static_assert(LeaseTable::kCells == std::uint64_t{1} << kCellBits);

std::atomic_ref<std::uint64_t> shared_word(std::uint64_t* word) { return std::atomic_ref<std::uint64_t>(*word); }

std::uint32_t cell_of(std::uint64_t word) { return static_cast<std::uint32_t>(word & (LeaseTable::kCells - 1)); }
std::uint64_t incarnation_of(std::uint64_t word) { return (word >> kCellBits) & kIncarnationMask; }

std::string region_text(const ShmRegion& region) { return "of region '" + region.name() + "'"; }

}  // namespace

LeaseTable::LeaseTable(std::optional<LeaseCompanion> companion, std::uint64_t* words, std::uint32_t cell,
                       std::uint64_t incarnation)
    : companion_(std::move(companion)),
      words_(words),
      cell_(cell),
      incarnation_(incarnation),
      generation_(process_generation()) {}

Result<std::unique_ptr<LeaseTable>> LeaseTable::open_shared(const ShmRegion& region,
                                                                             std::uint64_t slots) {
    if (slots > kMostSlots)
        return quelt::unexpected(invalid_region("a pool of " + std::to_string(slots) + " slots"));
    const std::uint64_t known_marks[] = {kFormatMark, kExpiringFormatMark};
    LeaseCompanion::remove_abandoned(known_marks);
    QUELT_TRY(companion, LeaseCompanion::open(region.name(), region.mapping(), kWordsOffset + 8 * slots));
    std::byte* base = companion->bytes().data();

    std::uint64_t mark = 0;
    shared_word(reinterpret_cast<std::uint64_t*>(base))
        .compare_exchange_strong(mark, kFormatMark, std::memory_order_acq_rel);
    if (mark != 0 && mark != kFormatMark)
        return quelt::unexpected(platform_error("the slot lease table " + region_text(region) +
                                                    " has a format this client does not know"));

    // Any free cell will do; starting at a random one keeps processes that
    // start together from contending for the same first cells.
    const auto start = static_cast<std::uint32_t>(random_bits() % kCells);
    for (std::uint32_t k = 0; k < kCells; ++k) {
        const std::uint32_t cell = (start + k) % kCells;
        QUELT_TRY(claimed, companion->try_claim(cell));
        if (!*claimed) continue;
        // Counting the incarnation up marks every lease of this cell's earlier
        // owners as theirs, not this process's: those owners have ended.
        auto* incarnations = reinterpret_cast<std::uint64_t*>(base + kIncarnationsOffset);
        const std::uint64_t incarnation = shared_word(incarnations + cell).fetch_add(1, std::memory_order_acq_rel) + 1;
        auto* words = reinterpret_cast<std::uint64_t*>(base + kWordsOffset);
        std::unique_ptr<LeaseTable> table(new LeaseTable(std::move(*companion), words, cell, incarnation));
        table->incarnations_ = incarnations;
        return table;
    }
    return quelt::unexpected(platform_error("all " + std::to_string(kCells) +
                                                " process cells of the slot lease table " + region_text(region) +
                                                " are taken"));
}

std::unique_ptr<LeaseTable> LeaseTable::private_to_process(std::uint64_t slots) {
    auto words = std::make_unique<std::uint64_t[]>(slots);  // zeroed: every slot free
    std::unique_ptr<LeaseTable> table(new LeaseTable(std::nullopt, words.get(), 0, 1));
    table->private_words_ = std::move(words);
    return table;
}

bool LeaseTable::usable_here() const noexcept { return generation_ == process_generation(); }

std::uint64_t LeaseTable::owner_mark() const noexcept {
    return kHeld | ((incarnation_ & kIncarnationMask) << kCellBits) | cell_;
}

bool LeaseTable::owner_ended(std::uint64_t word) const noexcept {
    if (!companion_) return false;  // a private table's leases are all this process's
    const std::uint32_t cell = cell_of(word);
    if (cell == cell_) return incarnation_of(word) != (incarnation_ & kIncarnationMask);
    // The cell was claimed anew since: its owner at the time is gone.
    const std::uint64_t now_there = shared_word(incarnations_ + cell).load(std::memory_order_acquire);
    if ((now_there & kIncarnationMask) != incarnation_of(word)) return true;
    return !companion_->claimed_by_another(cell);
}

std::optional<std::uint64_t> LeaseTable::try_take(std::uint64_t index, Reclaim reclaim) {
    auto word = shared_word(words_ + index);
    std::uint64_t seen = word.load(std::memory_order_acquire);
    const bool takeable = seen == 0 || (reclaim == Reclaim::EndedOwners && owner_ended(seen));
    if (!takeable) return std::nullopt;
    const std::uint64_t mine = owner_mark();
    // Acquire: the slot's previous holder has finished with its bytes (the
    // answer it read from there included) before this process writes them.
    if (!word.compare_exchange_strong(seen, mine, std::memory_order_acq_rel)) return std::nullopt;
    return mine;
}

void LeaseTable::give_back(std::uint64_t index, std::uint64_t word) noexcept {
    std::uint64_t expected = word;
    shared_word(words_ + index).compare_exchange_strong(expected, 0, std::memory_order_release,
                                                        std::memory_order_relaxed);
}

}  // namespace quelt::shm
