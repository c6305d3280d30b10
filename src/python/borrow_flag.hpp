#pragma once
// Per-object borrow flag: any number of shared borrows, or one exclusive
// borrow. A conflicting borrow fails at once instead of waiting (a signal
// handler that re-enters a waiting call must not deadlock).
#include <atomic>
#include <cstdint>
#include <optional>
#include <utility>

#include "python/failure.hpp"

namespace quelt::py {

class BorrowFlag {
public:
    class Guard {
    public:
        Guard(Guard&& other) noexcept : flag_(std::exchange(other.flag_, nullptr)), exclusive_(other.exclusive_) {}
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;
        Guard& operator=(Guard&&) = delete;
        ~Guard() {
            if (flag_ == nullptr) return;
            if (exclusive_) flag_->state_.store(0, std::memory_order_release);
            else flag_->state_.fetch_sub(1, std::memory_order_release);
        }

    private:
        friend class BorrowFlag;
        Guard(BorrowFlag* flag, bool exclusive) : flag_(flag), exclusive_(exclusive) {}
        BorrowFlag* flag_;
        bool exclusive_;
    };

    Result<Guard> shared() {
        std::int64_t current = state_.load(std::memory_order_relaxed);
        do {
            if (current == kExclusive) return fail(ErrorKind::Runtime, "Already mutably borrowed");
        } while (!state_.compare_exchange_weak(current, current + 1, std::memory_order_acquire));
        return Guard(this, false);
    }

    Result<Guard> exclusive() {
        std::int64_t expected = 0;
        if (!state_.compare_exchange_strong(expected, kExclusive, std::memory_order_acquire))
            return fail(ErrorKind::Runtime, "Already borrowed");
        return Guard(this, true);
    }

private:
    static constexpr std::int64_t kExclusive = -1;
    std::atomic<std::int64_t> state_{0};
};

}  // namespace quelt::py
