#include "runtime/async_mutex.hpp"

namespace quelt::runtime {

bool AsyncMutex::try_lock() noexcept {
    std::lock_guard lock(state_);
    if (held_) return false;
    held_ = true;
    return true;
}

bool AsyncMutex::LockAwaiter::await_suspend(std::coroutine_handle<> suspended) noexcept {
    std::lock_guard lock(mutex_.state_);
    if (!mutex_.held_) {
        // Released between await_ready and now: take it without suspending.
        mutex_.held_ = true;
        return false;
    }
    suspended_ = suspended;
    driver_ = current_waker();
    if (mutex_.tail_ != nullptr) mutex_.tail_->next_ = this;
    else mutex_.head_ = this;
    mutex_.tail_ = this;
    ++mutex_.waiting_;
    return true;
}

void AsyncMutex::unlock() noexcept {
    std::coroutine_handle<> next;
    Waker* driver = nullptr;
    {
        std::lock_guard lock(state_);
        LockAwaiter* first = head_;
        if (first == nullptr) {
            held_ = false;
            return;
        }
        // The permit passes to the first waiter; held_ stays true.
        head_ = first->next_;
        if (head_ == nullptr) tail_ = nullptr;
        --waiting_;
        next = first->suspended_;
        driver = first->driver_;
    }
    driver->wake(next);
}

std::size_t AsyncMutex::waiting() const noexcept {
    std::lock_guard lock(state_);
    return waiting_;
}

}  // namespace quelt::runtime
