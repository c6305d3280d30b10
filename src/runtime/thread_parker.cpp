#include "runtime/thread_parker.hpp"

namespace quelt::runtime {
namespace {

thread_local Waker* this_thread_driver = nullptr;

}  // namespace

Waker* current_waker() noexcept { return this_thread_driver; }

DriverScope::DriverScope(Waker* driver) noexcept : previous_(this_thread_driver) { this_thread_driver = driver; }
DriverScope::~DriverScope() { this_thread_driver = previous_; }

void ThreadParker::wake(std::coroutine_handle<> suspended) {
    // Notifying under the lock: once the lock is released the parked thread
    // may return and destroy this parker, so nothing may touch it after that.
    std::lock_guard lock(mutex_);
    ready_ = suspended;
    woken_.notify_one();
}

std::coroutine_handle<> ThreadParker::park() {
    std::unique_lock lock(mutex_);
    woken_.wait(lock, [this] { return static_cast<bool>(ready_); });
    auto handle = ready_;
    ready_ = {};
    return handle;
}

}  // namespace quelt::runtime
