#include "runtime/worker_thread.hpp"

#include <utility>

namespace quelt::runtime {

// Starting a thread is the platform's (worker_thread_posix.cpp,
// worker_thread_windows.cpp); owning and joining it is the same everywhere.
WorkerThread::WorkerThread(WorkerThread&& other) noexcept
    : thread_(other.thread_), body_(std::move(other.body_)), joinable_(std::exchange(other.joinable_, false)) {}

WorkerThread::~WorkerThread() { join(); }

void WorkerThread::join() noexcept {
    if (!joinable_) return;
    pthread_join(thread_, nullptr);
    joinable_ = false;
}

}  // namespace quelt::runtime
