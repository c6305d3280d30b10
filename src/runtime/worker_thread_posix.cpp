#include "runtime/worker_thread.hpp"

#include <sched.h>
#include <signal.h>

#include <cerrno>
#include <thread>
#include <utility>

namespace quelt::runtime {
namespace {

void* run(void* body) {
    run_worker_body(body);
    return nullptr;
}

}  // namespace

unsigned usable_processor_count() noexcept {
    // The mask may name processors beyond the default set size on large
    // machines: grow the set until the kernel accepts its size.
    for (int processors = CPU_SETSIZE; processors <= (1 << 20); processors *= 2) {
        cpu_set_t* set = CPU_ALLOC(processors);
        if (set == nullptr) break;
        const std::size_t bytes = CPU_ALLOC_SIZE(processors);
        const bool known = ::sched_getaffinity(0, bytes, set) == 0;
        const int count = known ? CPU_COUNT_S(bytes, set) : 0;
        CPU_FREE(set);
        if (known) return count > 0 ? static_cast<unsigned>(count) : 1;
        if (errno != EINVAL) break;
    }
    const unsigned online = std::thread::hardware_concurrency();
    return online == 0 ? 1 : online;
}

quelt::expected<NativeThread, OsError> start_native_thread(void* body) {
    // The new thread inherits the creator's mask: block everything around the
    // creation and restore the creator's own mask afterwards.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    pthread_t thread;
    const int failed = pthread_create(&thread, nullptr, run, body);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (failed != 0) return quelt::unexpected(os_error(failed));
    return thread;
}

void join_native_thread(NativeThread thread) noexcept { pthread_join(thread, nullptr); }

}  // namespace quelt::runtime
