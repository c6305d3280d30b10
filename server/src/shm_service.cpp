#include "shm_service.hpp"

#include <chrono>
#include <optional>

#include <cstdio>

#include "common/spin_hint.hpp"
#include "shm/region_bytes.hpp"
#include "shm/ring_buffer.hpp"
#include "shm/tensor_block.hpp"

namespace quelt::server {
namespace {

using Clock = std::chrono::steady_clock;

// How long the thread keeps spinning after the last request before it sleeps.
constexpr auto kSpinWindow = std::chrono::milliseconds(2);
constexpr std::uint64_t kSpinsPerYield = 64;
constexpr auto kFirstNap = std::chrono::microseconds(20);
constexpr auto kShortNap = std::chrono::milliseconds(1);
// After this long without a request the server is idle: it sleeps in long
// naps, so it costs next to nothing, and the first request after the quiet
// spell waits at most one nap (the clients wait 5 s).
constexpr auto kIdleAfter = std::chrono::seconds(1);
constexpr auto kIdleNap = std::chrono::milliseconds(10);
// A client stops waiting after about 6 seconds; an answer that cannot be
// posted for that long is of no use to anyone.
constexpr auto kPostPatience = std::chrono::seconds(6);

template <class Entry>
shm::RingBuffer<Entry> queue_at(const ServedRegion& region, std::uint64_t offset) {
    // The server laid the region out itself, so its queues are where it put them.
    return *shm::RingBuffer<Entry>::at(region.region().bytes(), offset);
}

}  // namespace

ShmService::ShmService(const ServerOptions& options, ServedRegion& region)
    : options_(options),
      region_(region),
      requests_(queue_at<shm::RequestEntry>(region, region.region().layout().request_queue_offset)),
      responses_(queue_at<shm::ResponseEntry>(region, region.region().layout().response_queue_offset)),
      thread_([this] { run(); }) {}

std::optional<shm::RequestEntry> ShmService::pop_request() {
    auto popped = requests_.pop();
    if (popped) return *popped;
    // Clients share the queue's control words; one that scribbled over them
    // must not make the server spin on errors. Reported once.
    if (!queue_trouble_reported_) {
        std::fprintf(stderr, "quelt-refserver: request queue unusable: %s\n", popped.error().text.c_str());
        queue_trouble_reported_ = true;
    }
    return std::nullopt;
}

ShmService::~ShmService() {
    stopping_.store(true, std::memory_order_relaxed);
    thread_.join();
}

void ShmService::run() {
    auto last_request = Clock::now();
    auto nap = kFirstNap;
    bool napping = false;
    std::uint64_t spins = 0;
    while (!stopping_.load(std::memory_order_relaxed)) {
        if (auto request = pop_request()) {
            serve(*request);
            last_request = Clock::now();
            nap = kFirstNap;
            napping = false;
            spins = 0;
            continue;
        }
        if (napping) {
            std::this_thread::sleep_for(nap);
            nap = Clock::now() - last_request >= kIdleAfter ? std::chrono::microseconds(kIdleNap)
                                                            : std::min<std::chrono::microseconds>(nap * 2, kShortNap);
            continue;
        }
        // A spinning pass is a pop and a pause; reading the clock on every
        // pass would double it, and so the time to notice a request. The
        // clock is read only when the thread also yields.
        if (++spins % kSpinsPerYield != 0) {
            spin_hint();
            continue;
        }
        // Now and then the processor is offered to other ready threads: on a
        // busy machine the client may be waiting for this very core.
        std::this_thread::yield();
        napping = Clock::now() - last_request >= kSpinWindow;
    }
}

void ShmService::serve(const shm::RequestEntry& request) {
    const ModelKind model = options_.shm_model;
    // On the queue the faults become answers a broken server might post.
    switch (model) {
        case ModelKind::Reset:
        case ModelKind::Drop: return;  // never answered: the client times out
        default: break;
    }
    post(answer(request));
}

shm::ResponseEntry ShmService::answer(const shm::RequestEntry& request) {
    shm::ResponseEntry response;
    response.request_id = request.request_id;
    auto failed = [&](const std::string& text) {
        response.status = 1;
        response.error_offset = region_.place_error(request.tensor_offset, request.tensor_size, text);
        return response;
    };
    const ModelKind model = options_.shm_model;
    if (model == ModelKind::Garbage) {
        response.result_offset = region_.region().size() + 4096;  // outside the region
        return response;
    }
    auto input = region_.read_input(request.tensor_offset, request.tensor_size);
    if (!input) return failed(input.error());
    if (model == ModelKind::Identity) {
        // The answer is the input block itself, as place_answer would find:
        // nothing to run, and no output object to make on the way.
        response.result_offset = request.tensor_offset;
        response.server_word_16 = shm::tensor_block_size(input->data.size());
        return response;
    }
    auto output = run_model(model, view_of(*input), options_.models);
    if (!output) return failed(output.error());
    auto placed = region_.place_answer(model, request.tensor_offset, request.tensor_size, *output);
    if (!placed) return failed(placed.error());
    if (model == ModelKind::Truncate) {
        // The block claims more data than the region holds after it.
        shm::store(region_.base() + *placed + shm::tensor_block_field::data_len, region_.region().size());
    }
    response.result_offset = *placed;
    response.server_word_16 = shm::tensor_block_size(output->data().size());
    return response;
}

void ShmService::post(const shm::ResponseEntry& response) {
    if (responses_.push(response)) return;
    const auto give_up = Clock::now() + kPostPatience;
    // A full response queue means clients are not collecting: wait for room a while.
    while (!responses_.push(response)) {
        if (stopping_.load(std::memory_order_relaxed) || Clock::now() > give_up) return;
        std::this_thread::sleep_for(kFirstNap);
    }
}

}  // namespace quelt::server
