// Raw ping-pong over a Unix or TCP loopback socket with the frame sizes of one
// `infer`: the request is a 12-byte header plus the payload, the reply an
// 8-byte header plus the body. The echo peer is a forked child doing the least
// a server can do: read the frame, write a prepared reply with one writev.
// The measuring side does the least a client can do: one write per request,
// greedy reads, and the reply body lands in a buffer of its own (fresh per
// call by default, as a client returning a new object must provide).
//
//   quelt-bench-socket --transport unix|tcp --request-payload P --reply-body B
//                      --iterations N [--max-iterations M --budget-ms T]
//                      [--warmup W] [--reply-buffer fresh|warm] [--wait block|spin]
//                      [--peer-cpu C]
//
// At least N round trips are timed; with a budget, more follow until T
// milliseconds have passed (at most M), so a floor is sampled over as long a
// stretch of time as the client it is compared with.
//
// With --wait spin both sides poll their socket without sleeping (a
// non-blocking recv in a loop with the processor's spin hint): the round trip
// of two processes that never wait for a wake-up, the least a client can take
// when its peer is awake. Such a pair needs two processors: --peer-cpu pins
// the echo peer to one of its own.
//
// With --connect unix:PATH or tcp:HOST:PORT and --request-file F it sends the
// frame stored in F to a running server instead (no peer is forked), which
// separates what a server adds from what a client adds.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bench_args.hpp"
#include "common/spin_hint.hpp"
#include "common/unique_fd.hpp"
#include "peer_cpu.hpp"
#include "sample_output.hpp"

namespace {

using quelt::UniqueFd;
using quelt::bench::Arguments;

constexpr std::size_t kScratchBytes = 64 * 1024;

[[noreturn]] void die(const char* what) {
    std::fprintf(stderr, "error: %s: %s\n", what, std::strerror(errno));
    std::exit(1);
}

std::uint32_t load_u32(const std::uint8_t* bytes) {
    std::uint32_t value;
    std::memcpy(&value, bytes, 4);  // the wire is little-endian, like every host this runs on
    return value;
}

void write_frame(int fd, const void* header, std::size_t header_len, const void* body, std::size_t body_len) {
    iovec parts[2] = {{const_cast<void*>(header), header_len}, {const_cast<void*>(body), body_len}};
    int count = body_len ? 2 : 1;
    iovec* next = parts;
    while (count > 0) {
        ssize_t sent = ::writev(fd, next, count);
        if (sent < 0) {
            if (errno == EINTR) continue;
            die("writev");
        }
        auto left = static_cast<std::size_t>(sent);
        while (count > 0 && left >= next->iov_len) {
            left -= next->iov_len;
            ++next;
            --count;
        }
        if (count > 0) {
            next->iov_base = static_cast<std::uint8_t*>(next->iov_base) + left;
            next->iov_len -= left;
        }
    }
}

// How a reader waits for bytes: asleep in recv(), or polling without sleeping.
enum class Wait { Block, Spin };

// Reads at least `need` bytes into buffer[have..capacity); returns the new fill.
// Zero means the peer closed before a frame began.
std::size_t read_at_least(int fd, std::uint8_t* buffer, std::size_t have, std::size_t need, std::size_t capacity,
                          Wait wait) {
    const int flags = wait == Wait::Spin ? MSG_DONTWAIT : 0;
    while (have < need) {
        ssize_t got = ::recv(fd, buffer + have, capacity - have, flags);
        if (got < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                quelt::spin_hint();
                continue;
            }
            if (errno == EINTR) continue;
            die("recv");
        }
        if (got == 0) {
            if (have == 0) return 0;
            std::fprintf(stderr, "error: peer closed inside a frame\n");
            std::exit(1);
        }
        have += static_cast<std::size_t>(got);
    }
    return have;
}

void set_no_delay(int fd) {
    int on = 1;
    if (::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0) die("setsockopt TCP_NODELAY");
}

// The echo peer: answers every request frame with the prepared reply.
void serve(int listener, bool tcp, std::size_t reply_body, Wait wait) {
    UniqueFd connection(::accept(listener, nullptr, nullptr));
    if (!connection) die("accept");
    if (tcp) set_no_delay(connection.get());
    std::vector<std::uint8_t> scratch(kScratchBytes);
    std::vector<std::uint8_t> payload;
    std::vector<std::uint8_t> body(reply_body, 0x5a);
    std::uint8_t header[8] = {};
    auto body_length = static_cast<std::uint32_t>(reply_body);
    std::memcpy(header + 4, &body_length, 4);
    for (;;) {
        std::size_t have = read_at_least(connection.get(), scratch.data(), 0, 12, scratch.size(), wait);
        if (have == 0) return;
        std::size_t payload_len = load_u32(scratch.data() + 8);
        std::size_t in_scratch = std::min(have - 12, payload_len);
        if (payload.size() < payload_len) payload.resize(payload_len);
        std::memcpy(payload.data(), scratch.data() + 12, in_scratch);
        if (have - 12 > payload_len) {
            std::fprintf(stderr, "error: client sent bytes beyond its frame\n");
            std::exit(1);
        }
        read_at_least(connection.get(), payload.data(), in_scratch, payload_len, payload_len, wait);
        write_frame(connection.get(), header, sizeof header, body.data(), body.size());
    }
}

struct Listener {
    UniqueFd fd;
    sockaddr_storage address{};
    socklen_t length = 0;
};

Listener listen_unix(const std::string& path) {
    Listener listener;
    listener.fd = UniqueFd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!listener.fd) die("socket");
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) Arguments::usage_error("socket path too long");
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    ::unlink(path.c_str());
    if (::bind(listener.fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) die("bind");
    std::memcpy(&listener.address, &address, sizeof address);
    listener.length = sizeof address;
    return listener;
}

Listener listen_tcp() {
    Listener listener;
    listener.fd = UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!listener.fd) die("socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listener.fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) die("bind");
    socklen_t length = sizeof address;
    if (::getsockname(listener.fd.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) die("getsockname");
    std::memcpy(&listener.address, &address, sizeof address);
    listener.length = sizeof address;
    return listener;
}

struct FreeDeleter {
    void operator()(std::uint8_t* bytes) const { std::free(bytes); }
};
using Block = std::unique_ptr<std::uint8_t, FreeDeleter>;

Block allocate(std::size_t bytes) {
    Block block(static_cast<std::uint8_t*>(std::malloc(bytes ? bytes : 1)));
    if (!block) die("malloc");
    return block;
}

class PingPong {
public:
    PingPong(int fd, std::vector<std::uint8_t> request_frame, std::size_t reply_body, bool fresh, Wait wait)
        : fd_(fd), reply_body_(reply_body), fresh_(fresh), wait_(wait), request_(std::move(request_frame)),
          scratch_(kScratchBytes), warm_(allocate(reply_body)) {}

    // One request/reply; the body's bytes end in a buffer owned by the caller's side.
    void round_trip() {
        write_frame(fd_, request_.data(), request_.size(), nullptr, 0);
        std::size_t have = read_at_least(fd_, scratch_.data(), 0, 8, scratch_.size(), wait_);
        if (have == 0) {
            std::fprintf(stderr, "error: peer closed\n");
            std::exit(1);
        }
        std::uint32_t code = load_u32(scratch_.data());
        std::size_t body = load_u32(scratch_.data() + 4);
        if (code != 0 || body != reply_body_ || have - 8 > body) {
            std::fprintf(stderr, "error: reply code %u with a body of %zu bytes, expected 0 and %zu\n", code, body,
                         reply_body_);
            std::exit(1);
        }
        Block fresh;
        std::uint8_t* target = warm_.get();
        if (fresh_) {
            fresh = allocate(body);
            target = fresh.get();
        }
        std::memcpy(target, scratch_.data() + 8, have - 8);
        read_at_least(fd_, target, have - 8, body, body, wait_);
        if (body) last_byte_seen = target[body - 1];  // keeps the reads observable
    }

private:
    int fd_;
    std::size_t reply_body_;
    bool fresh_;
    Wait wait_;
    std::vector<std::uint8_t> request_;
    std::vector<std::uint8_t> scratch_;
    Block warm_;
    volatile std::uint8_t last_byte_seen = 0;
};

std::vector<std::uint8_t> synthetic_frame(std::size_t payload) {
    std::vector<std::uint8_t> frame(12 + payload, 0xa5);
    std::uint32_t header[3] = {0, 1, static_cast<std::uint32_t>(payload)};  // model 0, kind 1
    std::memcpy(frame.data(), header, sizeof header);
    return frame;
}

std::vector<std::uint8_t> frame_from_file(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) die("open request file");
    std::vector<std::uint8_t> frame;
    std::uint8_t chunk[65536];
    std::size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) frame.insert(frame.end(), chunk, chunk + got);
    std::fclose(file);
    if (frame.size() < 12 || load_u32(frame.data() + 8) != frame.size() - 12) {
        Arguments::usage_error("request file does not hold one request frame");
    }
    return frame;
}

// "unix:PATH" or "tcp:HOST:PORT" of a running server.
UniqueFd connect_to(const std::string& target) {
    if (target.rfind("unix:", 0) == 0) {
        UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::string path = target.substr(5);
        if (path.size() >= sizeof address.sun_path) Arguments::usage_error("socket path too long");
        std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
        if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) die("connect");
        return fd;
    }
    auto colon = target.rfind(':');
    if (target.rfind("tcp:", 0) != 0 || colon <= 4) Arguments::usage_error("--connect is unix:PATH or tcp:HOST:PORT");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(std::strtoul(target.c_str() + colon + 1, nullptr, 10)));
    if (::inet_pton(AF_INET, target.substr(4, colon - 4).c_str(), &address.sin_addr) != 1) {
        Arguments::usage_error("--connect needs a numeric IPv4 host");
    }
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) die("connect");
    set_no_delay(fd.get());
    return fd;
}

struct Repetitions {
    std::uint64_t warmup;
    std::uint64_t at_least;
    std::uint64_t at_most;
    std::uint64_t budget_ns;
};

// The samples, and the measuring side's processor time per round trip (the
// echo peer is another process and not counted).
std::vector<quelt::bench::Series> measure(PingPong& pingpong, const Repetitions& repetitions) {
    for (std::uint64_t i = 0; i < repetitions.warmup; ++i) pingpong.round_trip();
    std::vector<double> samples;
    samples.reserve(repetitions.at_least);
    const std::uint64_t began = quelt::bench::now_ns();
    const std::uint64_t cpu_began = quelt::bench::cpu_ns();
    while (samples.size() < repetitions.at_most) {
        std::uint64_t start = quelt::bench::now_ns();
        pingpong.round_trip();
        std::uint64_t end = quelt::bench::now_ns();
        samples.push_back(static_cast<double>(end - start));
        if (samples.size() >= repetitions.at_least && end - began >= repetitions.budget_ns) break;
    }
    const double cpu = quelt::bench::cpu_ns_per_call(cpu_began, samples.size());
    return {{"samples_ns", std::move(samples)}, {"cpu_ns_per_call", {cpu}}};
}

}  // namespace

int main(int argc, char** argv) {
    Arguments arguments(argc, argv);
    std::string transport = arguments.text("transport", "unix");
    if (transport != "unix" && transport != "tcp") Arguments::usage_error("--transport is unix or tcp");
    bool tcp = transport == "tcp";
    std::size_t request_payload = arguments.number("request-payload", 49);
    std::size_t reply_body = arguments.number("reply-body", 39);
    if (request_payload > UINT32_MAX || reply_body > UINT32_MAX) Arguments::usage_error("frames are below 4 GiB");
    Repetitions repetitions;
    repetitions.at_least = arguments.number("iterations", 1000);
    repetitions.at_most = std::max(repetitions.at_least, arguments.number("max-iterations", repetitions.at_least));
    repetitions.budget_ns = arguments.number("budget-ms", 0) * 1'000'000u;
    repetitions.warmup = arguments.number("warmup", 100);
    std::string buffer_mode = arguments.text("reply-buffer", "fresh");
    if (buffer_mode != "fresh" && buffer_mode != "warm") Arguments::usage_error("--reply-buffer is fresh or warm");
    bool fresh = buffer_mode == "fresh";
    std::string wait_mode = arguments.text("wait", "block");
    if (wait_mode != "block" && wait_mode != "spin") Arguments::usage_error("--wait is block or spin");
    Wait wait = wait_mode == "spin" ? Wait::Spin : Wait::Block;
    long peer_cpu = arguments.cpu("peer-cpu");
    ::signal(SIGPIPE, SIG_IGN);

    std::string server = arguments.text("connect", "");
    if (!server.empty()) {
        std::string request_file = arguments.text("request-file", "");
        if (request_file.empty()) Arguments::usage_error("--connect needs --request-file");
        UniqueFd connection = connect_to(server);
        PingPong pingpong(connection.get(), frame_from_file(request_file), reply_body, fresh, wait);
        quelt::bench::print_series(measure(pingpong, repetitions));
        return 0;
    }

    std::string path = arguments.text(
        "socket", (std::filesystem::temp_directory_path() / ("quelt-bench-" + std::to_string(::getpid()) + ".sock")).string());
    Listener listener = tcp ? listen_tcp() : listen_unix(path);
    if (::listen(listener.fd.get(), 1) != 0) die("listen");

    pid_t peer = ::fork();
    if (peer < 0) die("fork");
    if (peer == 0) {
        quelt::bench::pin_to_cpu(peer_cpu);
        serve(listener.fd.get(), tcp, reply_body, wait);
        std::_Exit(0);
    }
    listener.fd.reset();

    UniqueFd connection(::socket(tcp ? AF_INET : AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!connection) die("socket");
    if (::connect(connection.get(), reinterpret_cast<sockaddr*>(&listener.address), listener.length) != 0) die("connect");
    if (!tcp) ::unlink(path.c_str());
    if (tcp) set_no_delay(connection.get());

    PingPong pingpong(connection.get(), synthetic_frame(request_payload), reply_body, fresh, wait);
    std::vector<quelt::bench::Series> series = measure(pingpong, repetitions);
    connection.reset();
    int status = 0;
    ::waitpid(peer, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "error: echo peer failed\n");
        return 1;
    }
    quelt::bench::print_series(series);
    return 0;
}
