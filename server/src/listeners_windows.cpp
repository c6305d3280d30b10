// Listening on Windows: a Winsock TCP socket, and the named pipe. A pipe
// client can only connect to an instance that waits for it, and one that
// finds none fails at once with "all pipe instances are busy"; so a few
// instances always wait (kWaitingInstances), and each one that a client takes
// is replaced straight away.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <atomic>
#include <optional>
#include <system_error>
#include <thread>

#include "common/os_error.hpp"
#include "common/unique_handle_windows.hpp"
#include "common/wide_text_windows.hpp"
#include "listeners.hpp"
#include "net/winsock_windows.hpp"
#include "peer_io.hpp"

namespace quelt::server {
namespace {

constexpr int kBacklog = 512;
constexpr std::size_t kWaitingInstances = 4;
constexpr DWORD kPipeBuffer = 64 * 1024;

quelt::unexpected<std::string> failure(const std::string& what, int code) {
    return quelt::unexpected("cannot listen on " + what + ": " + os_error_text(code));
}

// A pipe is closed without disconnecting it first: the client still reads
// what was written, then the end of the stream (ERROR_BROKEN_PIPE), where a
// disconnect would drop the unread bytes and fail its reads instead.
void close_peer(Peer peer) {
    if (peer.local) {
        ::CloseHandle(reinterpret_cast<HANDLE>(peer.handle));
    } else {
        ::closesocket(static_cast<SOCKET>(peer.handle));
    }
}

// Each accepted connection runs on a thread of its own, which may outlive
// the listeners (stopping only ends accepting): it holds the service and
// the registry, nothing of the listener.
void start_connection(Peer peer, const StreamService& service, ConnectionRegistry& registry) {
    if (!registry.add(peer)) {
        close_peer(peer);
        return;
    }
    try {
        std::thread([&service, &registry, peer] {
            service.serve(peer);
            // Unregistered before it is closed, so shutdown never touches a reused handle.
            registry.remove(peer);
            close_peer(peer);
        }).detach();
    } catch (const std::system_error&) {
        registry.remove(peer);
        close_peer(peer);
    }
}

std::string address_text(const sockaddr_storage& address) {
    char host[INET6_ADDRSTRLEN] = "?";
    std::uint16_t port = 0;
    if (address.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
        ::inet_ntop(AF_INET6, &v6.sin6_addr, host, sizeof host);
        port = ntohs(v6.sin6_port);
        return "[" + std::string(host) + "]:" + std::to_string(port);
    }
    const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
    ::inet_ntop(AF_INET, &v4.sin_addr, host, sizeof host);
    port = ntohs(v4.sin_port);
    return std::string(host) + ":" + std::to_string(port);
}

class TcpListener {
public:
    static quelt::expected<std::unique_ptr<TcpListener>, std::string> open(const TcpAddress& address) {
        const std::string wanted = "tcp " + address.host + ":" + std::to_string(address.port);
        if (int failed = net::ensure_winsock()) return failure(wanted, failed);
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
        addrinfo* found = nullptr;
        if (int error = ::getaddrinfo(address.host.c_str(), std::to_string(address.port).c_str(), &hints, &found))
            return failure(wanted, error);
        int last_error = WSAEADDRNOTAVAIL;
        for (addrinfo* candidate = found; candidate; candidate = candidate->ai_next) {
            SOCKET socket = ::WSASocketW(candidate->ai_family, candidate->ai_socktype, candidate->ai_protocol, nullptr,
                                         0, WSA_FLAG_NO_HANDLE_INHERIT);
            if (socket == INVALID_SOCKET) {
                last_error = ::WSAGetLastError();
                continue;
            }
            if (::bind(socket, candidate->ai_addr, static_cast<int>(candidate->ai_addrlen)) != 0 ||
                ::listen(socket, kBacklog) != 0) {
                last_error = ::WSAGetLastError();
                ::closesocket(socket);
                continue;
            }
            sockaddr_storage bound{};
            int length = sizeof bound;
            ::getsockname(socket, reinterpret_cast<sockaddr*>(&bound), &length);
            ::freeaddrinfo(found);
            return std::unique_ptr<TcpListener>(new TcpListener(socket, "tcp " + address_text(bound)));
        }
        ::freeaddrinfo(found);
        return failure(wanted, last_error);
    }

    ~TcpListener() {
        stop();
        if (socket_ != INVALID_SOCKET) ::closesocket(socket_);
    }

    const std::string& description() const { return description_; }

    void start(const StreamService& service, ConnectionRegistry& registry) {
        thread_ = std::thread([this, &service, &registry] { run(service, registry); });
    }

    // Closing the socket ends the blocked accept().
    void stop() {
        if (!thread_.joinable()) return;
        stopping_ = true;
        ::closesocket(std::exchange(socket_, INVALID_SOCKET));
        thread_.join();
    }

private:
    TcpListener(SOCKET socket, std::string description) : socket_(socket), description_(std::move(description)) {}

    void run(const StreamService& service, ConnectionRegistry& registry) {
        const SOCKET listening = socket_;
        while (!stopping_) {
            SOCKET accepted = ::accept(listening, nullptr, nullptr);
            if (accepted == INVALID_SOCKET) {
                if (stopping_) return;
                ::Sleep(10);  // out of resources, or a client that gave up: try again
                continue;
            }
            BOOL on = TRUE;
            ::setsockopt(accepted, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
            start_connection(Peer{static_cast<std::intptr_t>(accepted), false}, service, registry);
        }
    }

    SOCKET socket_;
    std::string description_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

// One pipe instance waiting for its client, with the overlapped connect in flight.
struct WaitingInstance {
    UniqueHandle pipe;
    UniqueHandle connected{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    OVERLAPPED overlapped{};
};

class PipeListener {
public:
    static quelt::expected<std::unique_ptr<PipeListener>, std::string> open(const std::string& path) {
        const std::string what = "pipe " + path;
        auto name = wide_name(path);
        if (!name) return failure(what, ERROR_INVALID_NAME);
        std::unique_ptr<PipeListener> listener(new PipeListener(std::move(*name), what));
        // The first instance claims the name: a second server fails here.
        for (std::size_t i = 0; i < kWaitingInstances; ++i) {
            auto& instance = listener->waiting_[i];
            if (DWORD code = listener->listen(instance, i == 0); code != 0) {
                if (code == ERROR_ACCESS_DENIED && i == 0)
                    return quelt::unexpected("cannot listen on " + what + ": another server is listening there");
                return failure(what, static_cast<int>(code));
            }
        }
        return listener;
    }

    ~PipeListener() { stop(); }

    const std::string& description() const { return description_; }

    void start(const StreamService& service, ConnectionRegistry& registry) {
        thread_ = std::thread([this, &service, &registry] { run(service, registry); });
    }

    void stop() {
        if (!thread_.joinable()) return;
        ::SetEvent(stop_.get());
        thread_.join();
    }

private:
    PipeListener(std::wstring name, std::string description)
        : name_(std::move(name)), description_(std::move(description)) {}

    // A fresh instance, with its connect started. 0, or the failure's code.
    DWORD listen(WaitingInstance& instance, bool first) {
        const DWORD open_mode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
        instance.pipe.reset(::CreateNamedPipeW(name_.c_str(), open_mode,
                                               PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
                                               PIPE_UNLIMITED_INSTANCES, kPipeBuffer, kPipeBuffer, 0, nullptr));
        if (!instance.pipe) return ::GetLastError();
        instance.overlapped = OVERLAPPED{};
        instance.overlapped.hEvent = instance.connected.get();
        ::ResetEvent(instance.connected.get());
        if (::ConnectNamedPipe(instance.pipe.get(), &instance.overlapped)) {
            ::SetEvent(instance.connected.get());
            return 0;
        }
        const DWORD code = ::GetLastError();
        // A client that came between creation and connect is connected already.
        if (code == ERROR_PIPE_CONNECTED) ::SetEvent(instance.connected.get());
        else if (code != ERROR_IO_PENDING) return code;
        return 0;
    }

    void run(const StreamService& service, ConnectionRegistry& registry) {
        HANDLE events[kWaitingInstances + 1];
        for (;;) {
            for (std::size_t i = 0; i < kWaitingInstances; ++i) events[i] = waiting_[i].connected.get();
            events[kWaitingInstances] = stop_.get();
            const DWORD woken = ::WaitForMultipleObjects(kWaitingInstances + 1, events, FALSE, INFINITE);
            if (woken >= WAIT_OBJECT_0 + kWaitingInstances) break;  // stopping, or the wait failed
            WaitingInstance& instance = waiting_[woken - WAIT_OBJECT_0];
            DWORD ignored = 0;
            if (::GetOverlappedResult(instance.pipe.get(), &instance.overlapped, &ignored, FALSE) ||
                ::GetLastError() == ERROR_PIPE_CONNECTED)
                start_connection(Peer{reinterpret_cast<std::intptr_t>(instance.pipe.release()), true}, service, registry);
            // Replace the instance; if that fails, wait a little and try again.
            while (listen(instance, false) != 0)
                if (::WaitForSingleObject(stop_.get(), 10) == WAIT_OBJECT_0) return cancel_waiting();
        }
        cancel_waiting();
    }

    void cancel_waiting() {
        for (auto& instance : waiting_) {
            if (!instance.pipe) continue;
            DWORD ignored = 0;
            if (::CancelIoEx(instance.pipe.get(), &instance.overlapped))
                ::GetOverlappedResult(instance.pipe.get(), &instance.overlapped, &ignored, TRUE);
            instance.pipe.reset();
        }
    }

    std::wstring name_;
    std::string description_;
    WaitingInstance waiting_[kWaitingInstances];
    UniqueHandle stop_{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    std::thread thread_;
};

}  // namespace

struct Listeners::Impl {
    std::unique_ptr<TcpListener> tcp;
    std::unique_ptr<PipeListener> pipe;
};

quelt::expected<std::unique_ptr<Listeners>, std::string> Listeners::open(const ServerOptions& options) {
    auto impl = std::make_unique<Impl>();
    if (options.tcp) {
        auto listener = TcpListener::open(*options.tcp);
        if (!listener) return quelt::unexpected(listener.error());
        impl->tcp = std::move(*listener);
    }
    if (options.unix_path) {
        auto listener = PipeListener::open(*options.unix_path);
        if (!listener) return quelt::unexpected(listener.error());
        impl->pipe = std::move(*listener);
    }
    return std::make_unique<Listeners>(std::move(impl));
}

Listeners::Listeners(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

Listeners::~Listeners() { stop_accepting(); }

std::vector<std::string> Listeners::descriptions() const {
    std::vector<std::string> lines;
    if (impl_->tcp) lines.push_back(impl_->tcp->description());
    if (impl_->pipe) lines.push_back(impl_->pipe->description());
    return lines;
}

void Listeners::start(const StreamService& service, ConnectionRegistry& registry) {
    if (impl_->tcp) impl_->tcp->start(service, registry);
    if (impl_->pipe) impl_->pipe->start(service, registry);
}

void Listeners::stop_accepting() {
    if (impl_->tcp) impl_->tcp->stop();
    if (impl_->pipe) impl_->pipe->stop();
}

}  // namespace quelt::server
