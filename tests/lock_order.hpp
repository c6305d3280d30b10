#pragma once
// The async lock under real contention: one thread holds it while five more
// queue up, one after another; the order in which the five then get it.
// Shared by runtime_check.cpp (POSIX) and windows/windows_check.cpp.
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "runtime/async_mutex.hpp"
#include "runtime/runtime.hpp"

namespace lock_order {

using quelt::runtime::AsyncMutex;
using quelt::runtime::Task;

// Polled rather than waited for with atomic wait(): libstdc++ 12 can lose
// its wake-up where it has no futex (mingw-w64), and the check hangs then.
inline void await_flag(const std::atomic<bool>& flag) {
    while (!flag) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

inline Task<int> hold_until(AsyncMutex& mutex, std::atomic<bool>& held, std::atomic<bool>& release) {
    auto guard = co_await mutex.lock();
    held = true;
    await_flag(release);
    co_return 0;
}

inline Task<int> take_in_turn(AsyncMutex& mutex, std::vector<int>& order, int who) {
    auto guard = co_await mutex.lock();
    order.push_back(who);  // the lock itself protects `order`
    co_return who;
}

// Waiters 1 to 5 in the order they were granted the lock; `mutex` is free again afterwards.
inline std::vector<int> grant_order(quelt::runtime::Runtime& runtime, AsyncMutex& mutex) {
    std::atomic<bool> held = false, release = false;
    std::vector<int> order;
    std::thread holder([&] { runtime.block_on(hold_until(mutex, held, release)); });
    await_flag(held);
    std::vector<std::thread> waiters;
    for (int who = 1; who <= 5; ++who) {
        waiters.emplace_back([&, who] { runtime.block_on(take_in_turn(mutex, order, who)); });
        while (mutex.waiting() < static_cast<std::size_t>(who)) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    release = true;
    holder.join();
    for (auto& waiter : waiters) waiter.join();
    return order;
}

}  // namespace lock_order
