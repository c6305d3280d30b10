#include "runtime/worker_thread.hpp"

#include <utility>

#include "common/propagate.hpp"

namespace quelt::runtime {

void run_worker_body(void* body) { (*static_cast<std::function<void()>*>(body))(); }

// Starting and joining a thread are the platform's (worker_thread_posix.cpp,
// worker_thread_windows.cpp); owning the body and the thread is the same everywhere.
quelt::expected<WorkerThread, OsError> WorkerThread::start(std::function<void()> body) {
    auto owned = std::make_unique<std::function<void()>>(std::move(body));
    QUELT_TRY(thread, start_native_thread(owned.get()));
    return WorkerThread(*thread, std::move(owned));
}

WorkerThread::WorkerThread(WorkerThread&& other) noexcept
    : thread_(other.thread_), body_(std::move(other.body_)), joinable_(std::exchange(other.joinable_, false)) {}

WorkerThread::~WorkerThread() { join(); }

void WorkerThread::join() noexcept {
    if (!joinable_) return;
    join_native_thread(thread_);
    joinable_ = false;
}

}  // namespace quelt::runtime
