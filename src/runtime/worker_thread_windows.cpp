#include "runtime/worker_thread.hpp"

#include <windows.h>

#include <bit>
#include <thread>
#include <utility>

namespace quelt::runtime {
namespace {

void* run(void* body) {
    (*static_cast<std::function<void()>*>(body))();
    return nullptr;
}

}  // namespace

// The process's affinity mask covers its processor group, at most 64
// processors; a process that may use none of them by that account (or whose
// mask cannot be read) counts the machine's processors instead.
unsigned usable_processor_count() noexcept {
    DWORD_PTR process_mask = 0, system_mask = 0;
    if (::GetProcessAffinityMask(::GetCurrentProcess(), &process_mask, &system_mask) && process_mask != 0)
        return static_cast<unsigned>(std::popcount(static_cast<std::uint64_t>(process_mask)));
    const unsigned online = std::thread::hardware_concurrency();
    return online == 0 ? 1 : online;
}

// Windows delivers no signals to threads (console events get a thread of
// their own), so there is no mask to set up around the creation.
quelt::expected<WorkerThread, int> WorkerThread::start(std::function<void()> body) {
    auto owned = std::make_unique<std::function<void()>>(std::move(body));
    pthread_t thread;
    if (int failed = pthread_create(&thread, nullptr, run, owned.get()); failed != 0) return quelt::unexpected(failed);
    return WorkerThread(thread, std::move(owned));
}

}  // namespace quelt::runtime
