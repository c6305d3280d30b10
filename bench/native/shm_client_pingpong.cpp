// A shared-memory client with nothing but the protocol: the least any client
// of a running reference server must do per call, in C++ without Python.
// Each call leases a pool slot, writes the tensor block, pushes the request
// entry, spins on the response queue, copies the output block's data into a
// fresh buffer (as a client returning a new object must) and releases the
// slot. It separates what the server's turnaround adds to the spin floor from
// what a Python client adds on top.
//
//   quelt-bench-shm-client --shm-name NAME --bytes B --iterations N [--warmup W] [--max-seconds S]
//                          [--control SOCKET_PATH]
//
// With --control the request goes as the hybrid client's control frame over
// the server's Unix socket instead of the queue, through the same library
// code the Python hybrid client uses: what that client costs without Python.
//
// Every call is timed on its own, with one clock reading before and after, as
// the Python cases are.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "bench_args.hpp"
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

class Caller {
public:
    Caller(shm::ShmRegion region, shm::TensorPool pool, std::uint64_t bytes, const std::string& control_path)
        : region_(std::move(region)), pool_(std::move(pool)), data_(bytes, 0x5A), shape_{std::int64_t(bytes / 4)} {
        if (control_path.empty()) return;
        auto runtime = quelt::runtime::Runtime::create();
        if (!runtime) fail(runtime.error());
        runtime_ = std::move(*runtime);
        control_ = std::make_unique<quelt::runtime::ControlChannel>(*runtime_, control_path);
    }

    void call() {
        const std::uint64_t request_id = next_request_id_++;
        auto lease = shm::stage_input(region_.bytes(), pool_, shape_, "float32", quelt::lower_ascii, data_);
        if (!lease) fail(lease.error().message);
        const std::uint64_t result_offset = control_ ? exchange(request_id, *lease) : queue_call(request_id, *lease);
        auto output = shm::read_tensor_data(region_.bytes(), result_offset);
        if (!output) fail(output.error().text());
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

    // The request as a control frame over the socket, as the hybrid client sends it.
    std::uint64_t exchange(std::uint64_t request_id, const shm::SlotLease& lease) {
        const quelt::HybridRequest request{quelt::RequestHeader::build(request_id), lease.offset(), lease.size()};
        auto reply = runtime_->block_on(control_->exchange(request));
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
    if (!region) fail(region.error().text());
    auto area = region->pool_area();
    if (!area) fail(area.error().text());
    auto pool = shm::TensorPool::build(area->offset, area->size);
    Caller caller(std::move(*region), std::move(pool), bytes, arguments.text("control", ""));

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
