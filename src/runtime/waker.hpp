#pragma once
// Whoever drives a suspended coroutine. The reactor and the async mutex never
// resume a coroutine themselves: they hand it back to its driver, so an
// operation always continues on the thread that runs block_on.
#include <coroutine>

namespace quelt::runtime {

class Waker {
public:
    // Called from any thread, at most once per suspension. After it returns
    // the caller must not touch the waker again: the driver may be gone.
    virtual void wake(std::coroutine_handle<> suspended) = 0;

protected:
    ~Waker() = default;
};

// The driver of the coroutine running on this thread (set by block_on).
Waker* current_waker() noexcept;

}  // namespace quelt::runtime
