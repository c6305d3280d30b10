#pragma once
// The driver behind block_on: the calling thread sleeps here until a reactor
// thread or a lock holder hands back the coroutine it suspended.
#include <condition_variable>
#include <coroutine>
#include <mutex>

#include "runtime/waker.hpp"

namespace quelt::runtime {

class ThreadParker final : public Waker {
public:
    void wake(std::coroutine_handle<> suspended) override;
    // Sleeps until wake() has been called, then returns its coroutine.
    std::coroutine_handle<> park();

private:
    std::mutex mutex_;
    std::condition_variable woken_;
    // One operation runs per block_on, so at most one coroutine is suspended.
    std::coroutine_handle<> ready_;
};

// Makes a parker the current thread's driver for its lifetime.
class DriverScope {
public:
    explicit DriverScope(Waker* driver) noexcept;
    ~DriverScope();
    DriverScope(const DriverScope&) = delete;
    DriverScope& operator=(const DriverScope&) = delete;

private:
    Waker* previous_;
};

}  // namespace quelt::runtime
