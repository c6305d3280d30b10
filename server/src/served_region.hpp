#pragma once
// The shared-memory region as the server uses it: created at start, removed
// at exit. Clients' input blocks are read from the tensor pool only. The
// identity model answers with the input block itself; every other output and
// every error text goes to the server area, which no client pool ever hands out.
//
// Where an answer goes: the server area begins with a mirror of the pool, as
// large as the pool. The answer to an input block at pool offset p is placed
// at the same offset p in the mirror when it fits in the input's own size.
// The client keeps its input slot leased until it has copied the answer, so
// no other request can have its answer placed there meanwhile, however many
// requests are in flight. Larger answers go to a small ring after the mirror.
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "common/expected.hpp"
#include "model.hpp"
#include "shm/owned_region.hpp"
#include "shm/tensor_block.hpp"

namespace quelt::server {

inline constexpr std::uint64_t kSpillAreaSize = std::uint64_t{8} << 20;

// What a model sees of an input block. The block's one-byte type code is
// lossy (fp16, uint8 and string share code 0 with float32): code 0 reads as float32.
TensorView view_of(const shm::TensorBlockView& block);

class ServedRegion {
public:
    // `total_size`, when given, is the region's size and the pool gets what
    // the layout leaves; otherwise the region is sized around `pool_size`.
    static quelt::expected<ServedRegion, std::string> create(const std::string& name, std::uint64_t pool_size,
                                                           std::optional<std::uint64_t> total_size);

    const shm::OwnedRegion& region() const noexcept { return region_; }
    std::byte* base() const noexcept { return region_.data(); }

    // The input block a client placed in its pool slot, checked to lie whole
    // inside the pool: the offset and size come from an untrusted peer.
    quelt::expected<shm::TensorBlockView, std::string> read_input(std::uint64_t offset, std::uint64_t size) const;

    // Where the answer to a valid input block (read_input) lies: the input
    // block itself for the identity model, whose output is that block's own
    // tensor unchanged, so no byte is copied (the client reads the answer
    // before it releases its slot); otherwise the block place_output writes.
    quelt::expected<std::uint64_t, std::string> place_answer(ModelKind model, std::uint64_t input_offset,
                                                           std::uint64_t input_size, const TensorOutput& output);
    // Writes the answer's block and returns its offset.
    quelt::expected<std::uint64_t, std::string> place_output(std::uint64_t input_offset, std::uint64_t input_size,
                                                           const TensorOutput& output);
    // Writes a MessageBlock and returns its offset (0, meaning "no text", if it cannot be placed).
    std::uint64_t place_error(std::uint64_t input_offset, std::uint64_t input_size, std::string_view text);

    ServedRegion(ServedRegion&&) noexcept;
    ServedRegion& operator=(ServedRegion&&) = delete;

private:
    explicit ServedRegion(shm::OwnedRegion region);
    // The input's mirror, when the input itself was valid and `size` fits in it.
    std::optional<std::uint64_t> mirror_of(std::uint64_t input_offset, std::uint64_t input_size,
                                           std::uint64_t size) const;
    std::optional<std::uint64_t> take_spill(std::uint64_t size);

    shm::OwnedRegion region_;
    std::uint64_t mirror_offset_;
    std::uint64_t spill_offset_;
    std::uint64_t spill_size_;
    std::mutex spill_lock_;
    std::uint64_t spill_next_ = 0;
};

}  // namespace quelt::server
