#pragma once
// A single-permit lock for coroutines. Waiters queue in the order they asked
// and the permit is handed straight to the first of them on unlock, so nobody
// can barge in ahead of a waiter. A waiter occupies no thread: its coroutine
// is suspended and its driver is woken when the permit is its own.
#include <coroutine>
#include <cstddef>
#include <mutex>
#include <utility>

#include "runtime/waker.hpp"

namespace quelt::runtime {

class AsyncMutex {
public:
    class Guard {
    public:
        explicit Guard(AsyncMutex* mutex) noexcept : mutex_(mutex) {}
        Guard(Guard&& other) noexcept : mutex_(std::exchange(other.mutex_, nullptr)) {}
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;
        Guard& operator=(Guard&&) = delete;
        ~Guard() {
            if (mutex_ != nullptr) mutex_->unlock();
        }

    private:
        AsyncMutex* mutex_;
    };

    // `co_await mutex.lock()` yields a Guard that holds the permit.
    class LockAwaiter {
    public:
        explicit LockAwaiter(AsyncMutex& mutex) noexcept : mutex_(mutex) {}
        bool await_ready() noexcept { return mutex_.try_lock(); }
        bool await_suspend(std::coroutine_handle<> suspended) noexcept;
        Guard await_resume() noexcept { return Guard(&mutex_); }

    private:
        friend class AsyncMutex;
        AsyncMutex& mutex_;
        std::coroutine_handle<> suspended_;
        Waker* driver_ = nullptr;
        LockAwaiter* next_ = nullptr;
    };

    AsyncMutex() = default;
    AsyncMutex(const AsyncMutex&) = delete;
    AsyncMutex& operator=(const AsyncMutex&) = delete;

    LockAwaiter lock() noexcept { return LockAwaiter(*this); }
    bool try_lock() noexcept;
    void unlock() noexcept;
    std::size_t waiting() const noexcept;

private:
    mutable std::mutex state_;
    bool held_ = false;
    // Intrusive FIFO of waiters; each node lives in its suspended coroutine.
    LockAwaiter* head_ = nullptr;
    LockAwaiter* tail_ = nullptr;
    std::size_t waiting_ = 0;
};

}  // namespace quelt::runtime
