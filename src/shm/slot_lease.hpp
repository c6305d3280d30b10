#pragma once
// A pool slot held for the length of one request: released exactly once,
// when the lease goes away, whichever way the request ends.
#include <cstdint>
#include <utility>

#include "shm/tensor_pool.hpp"

namespace quelt::shm {

class SlotLease {
public:
    SlotLease(TensorPool& pool, std::uint64_t offset, std::uint64_t size) noexcept
        : pool_(&pool), offset_(offset), size_(size) {}
    SlotLease(SlotLease&& other) noexcept
        : pool_(std::exchange(other.pool_, nullptr)), offset_(other.offset_), size_(other.size_) {}
    SlotLease& operator=(SlotLease&&) = delete;
    SlotLease(const SlotLease&) = delete;
    SlotLease& operator=(const SlotLease&) = delete;
    ~SlotLease() {
        if (pool_ != nullptr) pool_->release(offset_);  // the result says nothing the caller can act on
    }

    std::uint64_t offset() const noexcept { return offset_; }
    // The bytes asked of the pool: the tensor block's size.
    std::uint64_t size() const noexcept { return size_; }

private:
    TensorPool* pool_;
    std::uint64_t offset_;
    std::uint64_t size_;
};

}  // namespace quelt::shm
