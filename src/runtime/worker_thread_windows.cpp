#include "runtime/worker_thread.hpp"

#include <windows.h>
#include <process.h>

#include <bit>
#include <cstdlib>
#include <thread>
#include <type_traits>

namespace quelt::runtime {
namespace {

static_assert(std::is_same_v<NativeThread, HANDLE>);

unsigned __stdcall run(void* body) {
    run_worker_body(body);
    return 0;
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
// _beginthreadex rather than CreateThread: the thread runs C runtime code.
quelt::expected<NativeThread, OsError> start_native_thread(void* body) {
    const std::uintptr_t thread = ::_beginthreadex(nullptr, 0, run, body, 0, nullptr);
    if (thread == 0) return quelt::unexpected(os_error(static_cast<int>(_doserrno)));  // the system's code
    return reinterpret_cast<HANDLE>(thread);
}

void join_native_thread(NativeThread thread) noexcept {
    ::WaitForSingleObject(thread, INFINITE);
    ::CloseHandle(thread);
}

}  // namespace quelt::runtime
