#pragma once
// One worker thread of the runtime, joined when its owner is destroyed. After
// fork() the thread does not exist in the child, so an inherited handle is
// abandoned instead of joined (joining it there would be undefined).
#include <functional>
#include <memory>

#include "common/expected.hpp"
#include "common/os_error.hpp"
#include "runtime/native_thread.hpp"

namespace quelt::runtime {

// The processors this process may run on (its affinity mask, which a
// container or `taskset` narrows), at least 1: more workers than that would
// only wait for each other.
unsigned usable_processor_count() noexcept;

class WorkerThread {
public:
    // Starts `body` on a new thread. On POSIX every signal is blocked in it,
    // so that signals meant for the embedding program reach one of its own
    // threads.
    static quelt::expected<WorkerThread, OsError> start(std::function<void()> body);

    WorkerThread(WorkerThread&& other) noexcept;
    WorkerThread& operator=(WorkerThread&&) = delete;
    WorkerThread(const WorkerThread&) = delete;
    ~WorkerThread();

    void join() noexcept;
    // Forgets a thread that belongs to another process (the parent of a fork).
    void abandon() noexcept { joinable_ = false; }

private:
    WorkerThread(NativeThread thread, std::unique_ptr<std::function<void()>> body) noexcept
        : thread_(thread), body_(std::move(body)), joinable_(true) {}

    NativeThread thread_{};
    std::unique_ptr<std::function<void()>> body_;
    bool joinable_ = false;
};

// The system's part (worker_thread_<platform>.cpp): a thread that calls
// run_worker_body(body), and the wait for its end, which also lets its
// handle go.
quelt::expected<NativeThread, OsError> start_native_thread(void* body);
void join_native_thread(NativeThread thread) noexcept;
// Runs the std::function<void()> at `body` (worker_thread.cpp).
void run_worker_body(void* body);

}  // namespace quelt::runtime
