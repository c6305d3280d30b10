#pragma once
// I/O driver of the runtime, whose worker threads sit in wait().
//
// POSIX (poller_epoll_posix.cpp), readiness: a descriptor is registered once,
// then armed for one readiness event at a time; when that event arrives a
// worker thread runs the armed handler.
//
// Windows (poller_iocp_windows.cpp), completion: a handle is registered with
// the completion port once; every overlapped operation started on it carries
// its own handler (completion_windows.hpp), which a worker runs when the
// operation's completion packet arrives. Nothing is armed there.
//
// The streams above the driver are twins too (local_stream.hpp): each speaks
// to the driver of its own platform.
#include <cstdint>
#include <memory>

#include "common/expected.hpp"
#include "common/os_error.hpp"

namespace quelt::runtime {

enum class Interest { Read, Write };

// A descriptor on POSIX, a HANDLE on Windows.
using NativeHandle = std::intptr_t;

// An operation waiting on one descriptor. The poller calls on_ready() on a
// worker thread when the armed event arrives; the handler lives at a stable
// address until then (typically inside the suspended coroutine's frame).
class ReadyHandler {
public:
    virtual void on_ready() = 0;

protected:
    ~ReadyHandler() = default;
};

class Poller {
public:
    // Failures carry errno (GetLastError on Windows) and its text.
    static quelt::expected<Poller, OsError> create();
    Poller(Poller&&) noexcept;
    Poller& operator=(Poller&&) noexcept;
    ~Poller();

    // Registers the descriptor disarmed: nothing is delivered until arm().
    quelt::expected<void, OsError> add(NativeHandle fd);
    // One-shot: the handler runs once for the next readiness event, then the
    // descriptor is disarmed again.
    quelt::expected<void, OsError> arm(NativeHandle fd, ReadyHandler* handler, Interest interest);
    void remove(NativeHandle fd) noexcept;

    // True in a process forked from the one that made the poller. The kernel
    // object is shared with that parent, whose workers serve it, so here it is
    // neither armed, changed nor shut down (remove() and shutdown() do nothing).
    bool inherited() const noexcept;

    // Blocks until at least one event arrives and fires its waiters. Returns
    // false once shutdown() has been called; every thread in wait() returns.
    bool wait();
    void shutdown() noexcept;

private:
    struct Impl;
    explicit Poller(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace quelt::runtime
