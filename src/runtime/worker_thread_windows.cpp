#include "runtime/worker_thread.hpp"

#include <utility>

namespace quelt::runtime {
namespace {

void* run(void* body) {
    (*static_cast<std::function<void()>*>(body))();
    return nullptr;
}

}  // namespace

// Windows delivers no signals to threads (console events get a thread of
// their own), so there is no mask to set up around the creation.
quelt::expected<WorkerThread, int> WorkerThread::start(std::function<void()> body) {
    auto owned = std::make_unique<std::function<void()>>(std::move(body));
    pthread_t thread;
    if (int failed = pthread_create(&thread, nullptr, run, owned.get()); failed != 0) return quelt::unexpected(failed);
    return WorkerThread(thread, std::move(owned));
}

}  // namespace quelt::runtime
