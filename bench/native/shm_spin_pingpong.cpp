// The floor of any shared-memory round trip: a 40-byte request entry and a
// 48-byte answer handed between two processes through one 64-bit flag in a
// shared mapping, both sides spinning with the processor's pause hint. The
// flag counts hand-overs: odd values publish a request, even values an answer.
// Round trips are timed in batches (one clock read per round trip would
// weigh on a figure this small); each sample is a batch's mean.
//
// On a loaded machine a spinning pair can lose its processors for whole
// scheduler ticks, so the run also stops after --max-seconds (keeping at
// least ten batches).
//
//   quelt-bench-shm-spin --iterations N [--batch B] [--warmup W] [--max-seconds S] [--peer-cpu C]
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "bench_args.hpp"
#include "common/spin_hint.hpp"
#include "peer_cpu.hpp"
#include "sample_output.hpp"

namespace {

using quelt::bench::Arguments;

constexpr std::uint64_t kStop = ~std::uint64_t{0};

// Flag, request and answer on separate cache lines, as a queue's control
// word and its slots would be.
struct alignas(64) Exchange {
    std::atomic<std::uint64_t> flag;
    alignas(64) std::uint8_t request[40];
    alignas(64) std::uint8_t answer[48];
};
static_assert(std::atomic<std::uint64_t>::is_always_lock_free);

std::uint64_t wait_for(const std::atomic<std::uint64_t>& flag, std::uint64_t wanted) {
    for (;;) {
        std::uint64_t seen = flag.load(std::memory_order_acquire);
        if (seen == wanted || seen == kStop) return seen;
        quelt::spin_hint();
    }
}

void answer_requests(Exchange& exchange) {
    std::uint8_t entry[40];
    for (std::uint64_t turn = 1;; turn += 2) {
        if (wait_for(exchange.flag, turn) == kStop) return;
        std::memcpy(entry, exchange.request, sizeof entry);
        std::memcpy(exchange.answer, entry, 8);  // the answer names the request's number
        std::memset(exchange.answer + 8, 0, sizeof exchange.answer - 8);
        exchange.flag.store(turn + 1, std::memory_order_release);
    }
}

class Requester {
public:
    explicit Requester(Exchange& exchange) : exchange_(exchange) {}

    void round_trip() {
        std::uint64_t number = turn_;
        std::memcpy(entry_, &number, 8);
        std::memcpy(exchange_.request, entry_, sizeof entry_);
        exchange_.flag.store(turn_, std::memory_order_release);
        wait_for(exchange_.flag, turn_ + 1);
        std::memcpy(answer_, exchange_.answer, sizeof answer_);
        if (std::memcmp(answer_, &number, 8) != 0) {
            std::fprintf(stderr, "error: answer for another request\n");
            std::exit(1);
        }
        turn_ += 2;
    }

private:
    Exchange& exchange_;
    std::uint64_t turn_ = 1;
    std::uint8_t entry_[40] = {};
    std::uint8_t answer_[48] = {};
};

}  // namespace

int main(int argc, char** argv) {
    Arguments arguments(argc, argv);
    std::uint64_t iterations = arguments.number("iterations", 20000);
    std::uint64_t batch = arguments.number("batch", 100);
    std::uint64_t warmup = arguments.number("warmup", 1000);
    std::uint64_t max_ns = arguments.number("max-seconds", 60) * 1'000'000'000u;
    if (batch == 0) Arguments::usage_error("--batch must be at least 1");

    void* shared = ::mmap(nullptr, sizeof(Exchange), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (shared == MAP_FAILED) {
        std::perror("mmap");
        return 1;
    }
    auto* exchange = new (shared) Exchange{};
    pid_t peer = ::fork();
    if (peer < 0) {
        std::perror("fork");
        return 1;
    }
    if (peer == 0) {
        quelt::bench::pin_to_cpu(arguments.cpu("peer-cpu"));
        answer_requests(*exchange);
        std::_Exit(0);
    }

    Requester requester(*exchange);
    for (std::uint64_t i = 0; i < warmup; ++i) requester.round_trip();
    std::vector<double> samples;
    samples.reserve(iterations / batch + 1);
    const std::uint64_t began = quelt::bench::now_ns();
    const std::uint64_t cpu_began = quelt::bench::cpu_ns();
    for (std::uint64_t done = 0; done < iterations; done += batch) {
        std::uint64_t start = quelt::bench::now_ns();
        for (std::uint64_t i = 0; i < batch; ++i) requester.round_trip();
        std::uint64_t end = quelt::bench::now_ns();
        samples.push_back(static_cast<double>(end - start) / static_cast<double>(batch));
        if (end - began > max_ns && samples.size() >= 10) break;
    }
    const double cpu = quelt::bench::cpu_ns_per_call(cpu_began, samples.size() * batch);
    exchange->flag.store(kStop, std::memory_order_release);
    ::waitpid(peer, nullptr, 0);
    ::munmap(shared, sizeof(Exchange));
    quelt::bench::print_series({{"samples_ns", std::move(samples)}, {"cpu_ns_per_call", {cpu}}});
    return 0;
}
