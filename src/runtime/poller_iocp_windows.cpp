// Completion backend of the runtime's driver: one I/O completion port, on
// which every worker thread waits. Each completion packet goes to exactly one
// worker, which runs the handler of the operation that completed. Shutdown
// posts one packet without an operation; each worker that takes it posts it
// again for the next one and leaves.
#include <windows.h>

#include "common/unique_handle_windows.hpp"
#include "runtime/completion_windows.hpp"
#include "runtime/poller.hpp"

namespace quelt::runtime {

struct Poller::Impl {
    UniqueHandle port;
};

namespace {

constexpr ULONG_PTR kShutdownKey = 1;

}  // namespace

quelt::expected<Poller, OsError> Poller::create() {
    auto impl = std::make_unique<Impl>();
    impl->port.reset(::CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0));
    if (!impl->port) return quelt::unexpected(os_error(static_cast<int>(::GetLastError())));
    return Poller(std::move(impl));
}

Poller::Poller(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Poller::Poller(Poller&&) noexcept = default;
Poller& Poller::operator=(Poller&&) noexcept = default;
Poller::~Poller() = default;

quelt::expected<void, OsError> Poller::add(NativeHandle handle) {
    if (::CreateIoCompletionPort(reinterpret_cast<HANDLE>(handle), impl_->port.get(), 0, 0) == nullptr)
        return quelt::unexpected(os_error(static_cast<int>(::GetLastError())));
    return {};
}

// A completion port reports finished operations, not readiness: nothing is
// ever armed here, and the Windows streams never ask.
quelt::expected<void, OsError> Poller::arm(NativeHandle, ReadyHandler*, Interest) {
    return quelt::unexpected(os_error(static_cast<int>(ERROR_NOT_SUPPORTED)));
}

// Closing the handle takes it off the port.
void Poller::remove(NativeHandle) noexcept {}

bool Poller::inherited() const noexcept { return false; }

bool Poller::wait() {
    DWORD bytes = 0;
    ULONG_PTR key = 0;
    OVERLAPPED* overlapped = nullptr;
    // A failed operation also dequeues its packet (the call returns FALSE
    // with the OVERLAPPED set): its handler reads the failure itself.
    const BOOL dequeued = ::GetQueuedCompletionStatus(impl_->port.get(), &bytes, &key, &overlapped, INFINITE);
    if (overlapped != nullptr) {
        static_cast<Completion*>(overlapped)->handler->on_ready();
        return true;
    }
    if (dequeued && key == kShutdownKey) {
        ::PostQueuedCompletionStatus(impl_->port.get(), 0, kShutdownKey, nullptr);
        return false;
    }
    return dequeued != FALSE;  // the port itself failed: nothing more will come
}

void Poller::shutdown() noexcept { ::PostQueuedCompletionStatus(impl_->port.get(), 0, kShutdownKey, nullptr); }

}  // namespace quelt::runtime
