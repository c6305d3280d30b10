// A shared-memory client with nothing but the protocol: the least any client
// of a running reference server must do per call, in C++ without Python.
// Each call leases a pool slot, writes the tensor block, pushes the request
// entry, spins on the response queue, copies the output block's data into a
// fresh buffer (as a client returning a new object must) and releases the
// slot. It separates what the server's turnaround adds to the spin floor from
// what a Python client adds on top.
//
//   quelt-bench-shm-client --shm-name NAME --bytes B --iterations N [--warmup W] [--max-seconds S]
//                          [--control SOCKET_PATH [--wait library|spin]]
//
// With --control the request goes as the hybrid client's control frame over
// the server's Unix socket instead of the queue, through the same library
// code the Python hybrid client uses: what that client costs without Python.
// With --wait spin the frame goes out with one send() and the reply is polled
// for with a non-blocking recv() in a loop with the processor's spin hint:
// the least a hybrid call can take against this server.
//
// Every call is timed on its own, with one clock reading before and after, as
// the Python cases are.
#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "bench_args.hpp"
#include "common/spin_hint.hpp"
#include "common/unique_fd.hpp"
#include "runtime/control_exchange.hpp"
#include "runtime/runtime.hpp"
#include "sample_output.hpp"
#include "shm/input_staging.hpp"
#include "shm/region_queues.hpp"
#include "shm/response_wait.hpp"
#include "shm/shm_region.hpp"
#include "shm/tensor_block.hpp"
#include "shm/tensor_pool.hpp"
#include "transport/hybrid_messages.hpp"

namespace {

using quelt::bench::Arguments;
namespace shm = quelt::shm;

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "error: %s\n", what.c_str());
    std::exit(1);
}

// The control frames over a plain socket, polled for without sleeping.
class PollingControl {
public:
    explicit PollingControl(const std::string& path) : fd_(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (!fd_ || path.size() >= sizeof address.sun_path) fail("cannot make a socket for " + path);
        std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
        if (::connect(fd_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            fail("connect " + path + ": " + std::strerror(errno));
    }

    std::uint64_t exchange(const quelt::HybridRequest& request) {
        const auto frame = quelt::encode_request_frame(request);
        if (::send(fd_.get(), frame.data(), frame.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(frame.size()))
            fail("short send of the control frame");
        std::uint8_t reply[quelt::kReplyHeaderSize + quelt::kHybridResponseSize];
        std::size_t have = 0;
        while (have < sizeof reply) {
            const ssize_t got = ::recv(fd_.get(), reply + have, sizeof reply - have, MSG_DONTWAIT);
            if (got > 0) {
                have += static_cast<std::size_t>(got);
            } else if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
                quelt::spin_hint();
            } else {
                fail("the server closed the control connection");
            }
        }
        const auto header = quelt::decode_reply_header(std::span(reply).first<quelt::kReplyHeaderSize>());
        if (header.reply_code != 0 || header.body_length != quelt::kHybridResponseSize) fail("a failed reply");
        auto response = quelt::decode_hybrid_response(std::span(reply).subspan(quelt::kReplyHeaderSize));
        if (!response) fail(response.error().text);
        return response->shm_offset;
    }

private:
    quelt::UniqueFd fd_;
};

class Caller {
public:
    Caller(shm::ShmRegion region, shm::TensorPool pool, std::uint64_t bytes, const std::string& control_path,
           bool polling)
        : region_(std::move(region)), pool_(std::move(pool)), data_(bytes, 0x5A), shape_{std::int64_t(bytes / 4)} {
        if (control_path.empty()) return;
        if (polling) {
            polling_ = std::make_unique<PollingControl>(control_path);
            return;
        }
        auto runtime = quelt::runtime::Runtime::create();
        if (!runtime) fail(runtime.error().text);
        runtime_ = std::move(*runtime);
        control_ = std::make_unique<quelt::runtime::ControlChannel>(*runtime_, control_path);
    }

    void call() {
        const std::uint64_t request_id = next_request_id_++;
        auto lease = shm::stage_input(region_.bytes(), pool_, shape_, "float32", data_);
        if (!lease) fail(lease.error().text);
        const std::uint64_t result_offset = polling_  ? polling_->exchange(hybrid_request(request_id, *lease))
                                            : control_ ? exchange(request_id, *lease)
                                                       : queue_call(request_id, *lease);
        auto output = shm::read_tensor_data(region_.bytes(), result_offset);
        if (!output) fail(output.error().text);
        // Like a Python bytes object: a fresh allocation of the output's size.
        auto result = std::make_unique_for_overwrite<std::byte[]>(output->size());
        std::memcpy(result.get(), output->data(), output->size());
        sink_ ^= output->empty() ? 0 : static_cast<unsigned>(result[0]);
    }

    unsigned sink() const { return sink_; }

private:
    // The request through the queues; the offset of the answer's output block.
    std::uint64_t queue_call(std::uint64_t request_id, const shm::SlotLease& lease) {
        const shm::RequestEntry request{request_id, 0, 0, lease.offset(), lease.size()};
        auto queue = shm::request_queue(region_);
        if (!queue || !queue->push(request)) fail("request queue unusable or full");
        auto answer = shm::await_response(region_, request_id, std::chrono::steady_clock::now(),
                                          shm::spin_budget(lease.size()), [] { return true; });
        if (!answer || answer->status != 0) fail("no answer or a failed one");
        return answer->result_offset;
    }

    static quelt::HybridRequest hybrid_request(std::uint64_t request_id, const shm::SlotLease& lease) {
        return {quelt::RequestHeader::build(request_id), lease.offset(), lease.size()};
    }

    // The request as a control frame over the socket, as the hybrid client sends it.
    std::uint64_t exchange(std::uint64_t request_id, const shm::SlotLease& lease) {
        auto reply = runtime_->block_on(control_->exchange(hybrid_request(request_id, lease)));
        if (!reply) fail(reply.error().text);
        return reply->shm_offset;
    }


    shm::ShmRegion region_;
    shm::TensorPool pool_;
    std::vector<std::uint8_t> data_;
    std::vector<std::int64_t> shape_;
    std::uint64_t next_request_id_ = 1;
    unsigned sink_ = 0;
    // Destroyed before the runtime: the channel leaves the runtime's poller first.
    std::unique_ptr<quelt::runtime::Runtime> runtime_;
    std::unique_ptr<quelt::runtime::ControlChannel> control_;
    std::unique_ptr<PollingControl> polling_;
};

}  // namespace

int main(int argc, char** argv) {
    Arguments arguments(argc, argv);
    const std::string name = arguments.text("shm-name", "");
    const std::uint64_t bytes = arguments.number("bytes", 64);
    const std::uint64_t iterations = arguments.number("iterations", 20000);
    const std::uint64_t warmup = arguments.number("warmup", 1000);
    const std::uint64_t max_ns = arguments.number("max-seconds", 60) * 1'000'000'000u;
    if (name.empty()) Arguments::usage_error("--shm-name is required");

    auto region = shm::ShmRegion::open(name);
    if (!region) fail(region.error().text);
    auto area = region->pool_area();
    if (!area) fail(area.error().text);
    auto pool = shm::TensorPool::build(area->offset, area->size);
    const std::string wait = arguments.text("wait", "library");
    if (wait != "library" && wait != "spin") Arguments::usage_error("--wait is library or spin");
    Caller caller(std::move(*region), std::move(pool), bytes, arguments.text("control", ""), wait == "spin");

    for (std::uint64_t i = 0; i < warmup; ++i) caller.call();
    std::vector<double> samples;
    samples.reserve(iterations);
    const std::uint64_t began = quelt::bench::now_ns();
    const std::uint64_t cpu_began = quelt::bench::cpu_ns();
    for (std::uint64_t i = 0; i < iterations; ++i) {
        const std::uint64_t start = quelt::bench::now_ns();
        caller.call();
        const std::uint64_t end = quelt::bench::now_ns();
        samples.push_back(static_cast<double>(end - start));
        if (end - began > max_ns && samples.size() >= 100) break;
    }
    std::fprintf(stderr, "%s", caller.sink() == 0x100 ? "\n" : "");  // keeps the copies observable
    const double cpu = quelt::bench::cpu_ns_per_call(cpu_began, samples.size());
    quelt::bench::print_series({{"samples_ns", std::move(samples)}, {"cpu_ns_per_call", {cpu}}});
    return 0;
}
