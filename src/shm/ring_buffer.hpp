#pragma once
// A bounded multi-producer / multi-consumer queue of fixed-size entries inside
// the shared region, coordinated only by compare-and-swap on three 64-bit
// control words (write, commit, read). Producers reserve a slot on
// write_index, fill it, then publish it on commit_index strictly in
// reservation order; consumers claim published entries on read_index. The same
// code serves both queues (40-byte requests, 48-byte responses) and both sides
// (client and server).
#include <atomic>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <type_traits>

#include "common/expected.hpp"
#include "common/spin_hint.hpp"
#include "shm/queue_layout.hpp"
#include "shm/region_bytes.hpp"
#include "shm/shm_error.hpp"

namespace quelt::shm {

static_assert(std::atomic_ref<std::uint64_t>::is_always_lock_free,
              "control words are shared between processes: they must be lock-free atomics");
static_assert(std::atomic_ref<std::uint64_t>::required_alignment == queue_layout::kAlignment);

template <class Entry>
class RingBuffer {
    static_assert(std::is_trivially_copyable_v<Entry>, "entries are copied as plain bytes");

public:
    static constexpr std::uint64_t kEntrySize = sizeof(Entry);
    static constexpr std::uint64_t kCapacity = queue_layout::kCapacity;
    static constexpr std::uint64_t kBytes = queue_layout::queue_bytes(kEntrySize);
    // Every control word sits at the start of its unit, so it keeps the
    // queue's 8-byte alignment as long as the unit size is a multiple of 8.
    static_assert(kEntrySize % queue_layout::kAlignment == 0);

    // The queue at `offset` of a region; refused (never touched) if it does
    // not lie wholly inside the region or is not 8-byte aligned.
    static Result<RingBuffer> at(std::span<std::byte> region, std::uint64_t offset) {
        const auto address = reinterpret_cast<std::uintptr_t>(region.data()) + offset;
        if (!fits(offset, kBytes, region.size()) || address % queue_layout::kAlignment != 0)
            return quelt::unexpected(invalid_region(
                "queue at offset " + std::to_string(offset) + " (" + std::to_string(kBytes) +
                " bytes, 8-byte aligned) does not fit the " + std::to_string(region.size()) + "-byte region"));
        return RingBuffer(region.data() + offset);
    }

    // Copies `entry` in and publishes it, or reports QueueFull at once
    // (nothing changed) when 1020 entries are outstanding.
    Result<void> push(const Entry& entry) const {
        std::uint64_t write = 0;
        std::uint64_t next = 0;
        for (;;) {
            // relaxed: w is only a guess that the compare-and-swap below verifies.
            write = write_index().load(std::memory_order_relaxed);
            // acquire: pairs with a consumer's release on read_index, so its copy
            // out of the slot we may be about to reuse is complete before we write it.
            const std::uint64_t read = read_index().load(std::memory_order_acquire);
            if (write >= kCapacity) return corrupt("write", write);
            next = (write + 1) % kCapacity;
            if (next == read) return quelt::unexpected(queue_full());
            // acq_rel: the reservation; acquire keeps our slot writes after it,
            // release orders it after the read_index observation above.
            if (write_index().compare_exchange_weak(write, next, std::memory_order_acq_rel,
                                                    std::memory_order_relaxed))
                break;
        }
        std::memcpy(slot(write), &entry, kEntrySize);
        return publish(write, next);
    }

    // The oldest published entry, or nothing when the queue is empty.
    Result<std::optional<Entry>> pop() const {
        // acquire: pairs with the release of the previous consumer's claim.
        std::uint64_t read = read_index().load(std::memory_order_acquire);
        for (;;) {
            // acquire: pairs with the producer's release on commit_index, making
            // the published entry's bytes visible before we copy them.
            const std::uint64_t commit = commit_index().load(std::memory_order_acquire);
            if (read >= kCapacity) return corrupt("read", read);
            if (commit >= kCapacity) return corrupt("commit", commit);
            if (read == commit) return std::optional<Entry>{};
            Entry copy;
            std::memcpy(&copy, slot(read), kEntrySize);
            // acq_rel: release hands the slot back to producers only after our
            // copy is complete; on failure (another consumer claimed it) the
            // acquire reload gives the next position to try.
            if (read_index().compare_exchange_strong(read, (read + 1) % kCapacity, std::memory_order_acq_rel,
                                                     std::memory_order_acquire))
                return copy;
        }
    }

    // How many published entries wait to be claimed, as of a moment ago
    // (other producers and consumers move on meanwhile).
    std::uint64_t published_count() const {
        const std::uint64_t commit = commit_position() % kCapacity;
        const std::uint64_t read = read_position() % kCapacity;
        return (commit + kCapacity - read) % kCapacity;
    }

    std::uint64_t write_position() const { return write_index().load(std::memory_order_acquire); }
    std::uint64_t commit_position() const { return commit_index().load(std::memory_order_acquire); }
    std::uint64_t read_position() const { return read_index().load(std::memory_order_acquire); }

private:
    explicit RingBuffer(std::byte* queue) noexcept : queue_(queue) {}

    // Publication in reservation order: wait until every earlier reservation
    // is published, i.e. commit_index reaches our slot, then move it past it.
    Result<void> publish(std::uint64_t slot_index, std::uint64_t next) const {
        std::uint64_t expected = slot_index;
        std::uint64_t retries = 0;
        // acq_rel: release makes the entry's bytes (and, through the release
        // sequence, those of every earlier producer) visible to a consumer
        // that acquires commit_index.
        while (!commit_index().compare_exchange_weak(expected, next, std::memory_order_acq_rel,
                                                     std::memory_order_relaxed)) {
            // A word that no producer could ever move to our slot would spin forever.
            if (expected >= kCapacity) return corrupt("commit", expected);
            expected = slot_index;
            ++retries;
            if (retries % 64 == 0) std::this_thread::yield();
            else spin_hint();
        }
        return {};
    }

    static quelt::unexpected<Error> corrupt(const char* word, std::uint64_t value) {
        return quelt::unexpected(invalid_region(std::string("queue ") + word + " index " +
                                                        std::to_string(value) + " is not below the capacity 1021"));
    }

    std::atomic_ref<std::uint64_t> word_at(std::uint64_t offset) const noexcept {
        return std::atomic_ref<std::uint64_t>(*reinterpret_cast<std::uint64_t*>(queue_ + offset));
    }
    std::atomic_ref<std::uint64_t> write_index() const noexcept { return word_at(queue_layout::write_index_at(kEntrySize)); }
    std::atomic_ref<std::uint64_t> commit_index() const noexcept { return word_at(queue_layout::commit_index_at(kEntrySize)); }
    std::atomic_ref<std::uint64_t> read_index() const noexcept { return word_at(queue_layout::read_index_at(kEntrySize)); }
    std::byte* slot(std::uint64_t index) const noexcept {
        return queue_ + queue_layout::slots_at(kEntrySize) + index * kEntrySize;
    }

    std::byte* queue_;
};

}  // namespace quelt::shm
