#include "net/spinning_receive.hpp"

#include <chrono>

namespace quelt::net {
namespace {

using Clock = std::chrono::steady_clock;

// Sleeps at once, as a plain blocking read does, and notes how long the bytes took.
Received sleep_and_learn(NativeSocket socket, std::uint8_t* into, std::size_t capacity, SpinWindow& window,
                         SleepingReceive sleep, Clock::time_point began) {
    Received got = sleep(socket, into, capacity);
    window.learn(Clock::now() - began);
    return got;
}

bool arrived(const Received& got) { return !got || *got != spin_calls::kNothingYet; }

}  // namespace

Received receive_spinning(NativeSocket socket, std::uint8_t* into, std::size_t capacity, SpinWindow& window,
                          SleepingReceive sleep) {
    const SpinWindow::Duration spin = window.next_spin();
    // Replies come late on this connection: sleep at once.
    if (spin == SpinWindow::Duration::zero())
        return sleep_and_learn(socket, into, capacity, window, sleep, Clock::now());
    // Bytes already there (the rest of a reply, say) say nothing of how long
    // this peer takes: only a read that has to wait teaches the window.
    Received got = spin_calls::receive_now(socket, into, capacity);
    if (arrived(got)) return got;
    const auto began = Clock::now();
    const auto deadline = began + spin;
    do {
        spin_calls::yield_processor();
        got = spin_calls::receive_if_readable(socket, into, capacity);
        if (arrived(got)) {
            window.learn(Clock::now() - began);
            return got;
        }
    } while (Clock::now() < deadline);
    return sleep_and_learn(socket, into, capacity, window, sleep, began);
}

}  // namespace quelt::net
