#include "runtime/worker_thread.hpp"

#include <signal.h>

#include <utility>

namespace quelt::runtime {
namespace {

void* run(void* body) {
    (*static_cast<std::function<void()>*>(body))();
    return nullptr;
}

}  // namespace

quelt::expected<WorkerThread, int> WorkerThread::start(std::function<void()> body) {
    auto owned = std::make_unique<std::function<void()>>(std::move(body));
    // The new thread inherits the creator's mask: block everything around the
    // creation and restore the creator's own mask afterwards.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    pthread_t thread;
    int failed = pthread_create(&thread, nullptr, run, owned.get());
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (failed != 0) return quelt::unexpected(failed);
    return WorkerThread(thread, std::move(owned));
}

WorkerThread::WorkerThread(WorkerThread&& other) noexcept
    : thread_(other.thread_), body_(std::move(other.body_)), joinable_(std::exchange(other.joinable_, false)) {}

WorkerThread::~WorkerThread() { join(); }

void WorkerThread::join() noexcept {
    if (!joinable_) return;
    pthread_join(thread_, nullptr);
    joinable_ = false;
}

}  // namespace quelt::runtime
