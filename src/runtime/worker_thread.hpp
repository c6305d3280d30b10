#pragma once
// One worker thread of the runtime, joined when its owner is destroyed. After
// fork() the thread does not exist in the child, so an inherited handle is
// abandoned instead of joined (joining it there would be undefined).
#include <pthread.h>

#include <functional>
#include <memory>

#include "common/expected.hpp"

namespace quelt::runtime {

// The processors this process may run on (its affinity mask, which a
// container or `taskset` narrows), at least 1: more workers than that would
// only wait for each other.
unsigned usable_processor_count() noexcept;

class WorkerThread {
public:
    // Starts `body` on a new thread with every signal blocked, so that signals
    // meant for the embedding program reach one of its own threads. Failure
    // carries the error number.
    static quelt::expected<WorkerThread, int> start(std::function<void()> body);

    WorkerThread(WorkerThread&& other) noexcept;
    WorkerThread& operator=(WorkerThread&&) = delete;
    WorkerThread(const WorkerThread&) = delete;
    ~WorkerThread();

    void join() noexcept;
    // Forgets a thread that belongs to another process (the parent of a fork).
    void abandon() noexcept { joinable_ = false; }

private:
    WorkerThread(pthread_t thread, std::unique_ptr<std::function<void()>> body) noexcept
        : thread_(thread), body_(std::move(body)), joinable_(true) {}

    pthread_t thread_{};
    std::unique_ptr<std::function<void()>> body_;
    bool joinable_ = false;
};

}  // namespace quelt::runtime
