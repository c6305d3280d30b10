// epoll backend of the runtime's poller. Every worker thread waits on the one
// epoll instance; descriptors are armed EPOLLONESHOT, so an event goes to
// exactly one worker. Shutdown makes an eventfd readable and never drains it,
// so every worker sees it (level-triggered) and leaves.
#include <sys/epoll.h>
#include <sys/eventfd.h>

#include <unistd.h>

#include <cerrno>

#include "common/process_generation.hpp"
#include "common/propagate.hpp"
#include "common/unique_fd.hpp"
#include "runtime/poller.hpp"

namespace quelt::runtime {

struct Poller::Impl {
    UniqueFd epoll;
    UniqueFd shutdown_event;
    std::uint64_t owner = process_generation();
};

namespace {

constexpr int kBatch = 16;

// The kernel orders an epoll_ctl() before the epoll_wait() that reports its
// event, so whatever a thread wrote before arming a handler is visible to the
// worker that runs it. ThreadSanitizer does not model that hand-over for
// EPOLL_CTL_MOD (the arm of every wait after the first) and would report the
// handler's own state as raced; these tell it about exactly that edge and
// nothing else. They compile to nothing in other builds.
#if defined(__SANITIZE_THREAD__)
#define QUELT_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define QUELT_THREAD_SANITIZER 1
#endif
#endif
#ifdef QUELT_THREAD_SANITIZER
extern "C" void __tsan_acquire(void* address);
extern "C" void __tsan_release(void* address);
void handing_over(void* handler) noexcept { if (handler != nullptr) __tsan_release(handler); }
void taking_over(void* handler) noexcept { if (handler != nullptr) __tsan_acquire(handler); }
#else
void handing_over(void*) noexcept {}
void taking_over(void*) noexcept {}
#endif

class IgnoreEvent final : public ReadyHandler {
public:
    void on_ready() override {}
} ignore_event;

quelt::expected<void, OsError> control(int epoll, int op, int fd, std::uint32_t events, void* data) {
    epoll_event event{};
    event.events = events;
    event.data.ptr = data;
    handing_over(data);
    if (::epoll_ctl(epoll, op, fd, &event) != 0) return quelt::unexpected(os_error(errno));
    return {};
}

}  // namespace

quelt::expected<Poller, OsError> Poller::create() {
    auto impl = std::make_unique<Impl>();
    impl->epoll.reset(::epoll_create1(EPOLL_CLOEXEC));
    if (!impl->epoll) return quelt::unexpected(os_error(errno));
    impl->shutdown_event.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!impl->shutdown_event) return quelt::unexpected(os_error(errno));
    // data.ptr == nullptr marks the shutdown event.
    QUELT_TRY(added, control(impl->epoll.get(), EPOLL_CTL_ADD, impl->shutdown_event.get(), EPOLLIN, nullptr));
    return Poller(std::move(impl));
}

Poller::Poller(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Poller::Poller(Poller&&) noexcept = default;
Poller& Poller::operator=(Poller&&) noexcept = default;
Poller::~Poller() = default;

quelt::expected<void, OsError> Poller::add(NativeHandle fd) {
    // The kernel always adds EPOLLERR and EPOLLHUP, so a hang-up before the
    // first arm() is delivered once, to a handler that ignores it.
    return control(impl_->epoll.get(), EPOLL_CTL_ADD, static_cast<int>(fd), EPOLLONESHOT, &ignore_event);
}

quelt::expected<void, OsError> Poller::arm(NativeHandle fd, ReadyHandler* handler, Interest interest) {
    std::uint32_t events = (interest == Interest::Read ? EPOLLIN | EPOLLRDHUP : EPOLLOUT) | EPOLLONESHOT;
    return control(impl_->epoll.get(), EPOLL_CTL_MOD, static_cast<int>(fd), events, handler);
}

bool Poller::inherited() const noexcept { return process_generation() != impl_->owner; }

void Poller::remove(NativeHandle fd) noexcept {
    if (inherited()) return;
    epoll_event ignored{};
    ::epoll_ctl(impl_->epoll.get(), EPOLL_CTL_DEL, static_cast<int>(fd), &ignored);
}

bool Poller::wait() {
    epoll_event events[kBatch];
    int count = ::epoll_wait(impl_->epoll.get(), events, kBatch, -1);
    if (count < 0) return errno == EINTR;  // interrupted: wait again; anything else is fatal
    bool keep_running = true;
    for (int i = 0; i < count; ++i) {
        if (events[i].data.ptr == nullptr) {
            keep_running = false;
        } else {
            taking_over(events[i].data.ptr);
            static_cast<ReadyHandler*>(events[i].data.ptr)->on_ready();
        }
    }
    return keep_running;
}

void Poller::shutdown() noexcept {
    if (inherited()) return;
    std::uint64_t one = 1;
    // Only fails if the counter would overflow, which one write cannot cause.
    [[maybe_unused]] auto written = ::write(impl_->shutdown_event.get(), &one, sizeof one);
}

}  // namespace quelt::runtime
