#include "runtime/unix_stream.hpp"

#include <sched.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <cstring>

#include "common/pipe_path.hpp"
#include "common/propagate.hpp"

namespace quelt::runtime {

quelt::expected<UnixStream, OsError> UnixStream::connect(Poller& poller, const std::string& pipe_path) {
    const std::string path = pipe_socket_path(pipe_path);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    // A NUL inside the path would silently name another socket.
    if (path.find('\0') != std::string::npos) return quelt::unexpected(os_error(EINVAL));
    if (path.size() >= sizeof address.sun_path) return quelt::unexpected(os_error(ENAMETOOLONG));
    std::memcpy(address.sun_path, path.data(), path.size());

    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd) return quelt::unexpected(os_error(errno));
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return quelt::unexpected(os_error(errno));
    QUELT_TRY(added, poller.add(fd.get()));
    return UnixStream(poller, std::move(fd));
}

UnixStream::~UnixStream() {
    if (fd_) poller_->remove(fd_.get());
}

UnixStream::Operation UnixStream::read_some(std::span<std::uint8_t> buffer, SpinWindow* spin) noexcept {
    return Operation(*this, buffer.data(), buffer.size(), Interest::Read, spin);
}

UnixStream::Operation UnixStream::write_some(std::span<const std::uint8_t> bytes) noexcept {
    // The buffer is only read from: send() takes a const pointer.
    return Operation(*this, const_cast<std::uint8_t*>(bytes.data()), bytes.size(), Interest::Write);
}

bool UnixStream::Operation::await_ready() noexcept {
    // On one processor the peer often runs inside our write (woken with
    // precedence), so its answer is already here: try before yielding.
    if (attempt()) return true;
    if (spin_ == nullptr) return false;
    const SpinWindow::Duration spin = spin_->next_spin();
    const auto began = std::chrono::steady_clock::now();
    if (spin == SpinWindow::Duration::zero()) {
        sleeping_since_ = began;
        return false;
    }
    // Yielding rather than pausing lets a peer on the same processor answer at
    // once, instead of after the spin has run out.
    const auto deadline = began + spin;
    do {
        ::sched_yield();
        if (attempt()) {
            spin_->learn(std::chrono::steady_clock::now() - began);
            return true;
        }
    } while (std::chrono::steady_clock::now() < deadline);
    sleeping_since_ = began;  // the wait goes on asleep; its whole length is learnt on resuming
    return false;
}

IoResult UnixStream::Operation::await_resume() noexcept {
    if (sleeping_since_) spin_->learn(std::chrono::steady_clock::now() - *sleeping_since_);
    return result_;
}

bool UnixStream::Operation::attempt() noexcept {
    for (;;) {
        ssize_t moved = interest_ == Interest::Read
                            ? ::recv(stream_.fd_.get(), data_, size_, MSG_DONTWAIT)
                            : ::send(stream_.fd_.get(), data_, size_, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (moved >= 0) {
            result_ = static_cast<std::size_t>(moved);
            return true;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return false;
        result_ = quelt::unexpected(os_error(errno));
        return true;
    }
}

bool UnixStream::Operation::await_suspend(std::coroutine_handle<> suspended) noexcept {
    suspended_ = suspended;
    driver_ = current_waker();
    auto armed = stream_.poller_->arm(stream_.fd_.get(), this, interest_);
    if (armed) return true;
    result_ = quelt::unexpected(std::move(armed.error()));
    return false;
}

void UnixStream::Operation::on_ready() {
    if (!attempt()) {
        // Readiness was spurious: wait for the next event.
        auto armed = stream_.poller_->arm(stream_.fd_.get(), this, interest_);
        if (armed) return;
        result_ = quelt::unexpected(std::move(armed.error()));
    }
    // Copy first: once woken, the coroutine may finish and free this operation.
    auto handle = suspended_;
    Waker* driver = driver_;
    driver->wake(handle);
}

}  // namespace quelt::runtime
