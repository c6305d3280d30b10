#include "shm_service.hpp"

#include <chrono>
#include <optional>

#include "shm/region_bytes.hpp"
#include "shm/tensor_block.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace quelt::server {
namespace {

using Clock = std::chrono::steady_clock;

// How long the thread keeps spinning after the last request before it sleeps.
constexpr auto kSpinWindow = std::chrono::milliseconds(2);
constexpr auto kFirstNap = std::chrono::microseconds(20);
constexpr auto kLongestNap = std::chrono::milliseconds(1);
// A client stops waiting after about 6 seconds; an answer that cannot be
// posted for that long is of no use to anyone.
constexpr auto kPostPatience = std::chrono::seconds(6);

void pause_hint() {
#if defined(__x86_64__) || defined(__i386__)
    _mm_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

std::optional<shm::RequestEntry> pop_request(ServedRegion&) { return std::nullopt; }
bool push_response(ServedRegion&, const shm::ResponseEntry&) { return true; }

}  // namespace

ShmService::ShmService(const ServerOptions& options, ServedRegion& region)
    : options_(options), region_(region), thread_([this] { run(); }) {}

ShmService::~ShmService() {
    stopping_.store(true, std::memory_order_relaxed);
    thread_.join();
}

void ShmService::run() {
    auto last_request = Clock::now();
    auto nap = kFirstNap;
    while (!stopping_.load(std::memory_order_relaxed)) {
        if (auto request = pop_request(region_)) {
            serve(*request);
            last_request = Clock::now();
            nap = kFirstNap;
            continue;
        }
        if (Clock::now() - last_request < kSpinWindow) {
            pause_hint();
            continue;
        }
        std::this_thread::sleep_for(nap);
        nap = std::min<std::chrono::microseconds>(nap * 2, kLongestNap);
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
    auto output = run_model(model, view_of(*input), options_.models);
    if (!output) return failed(output.error());
    auto placed = region_.place_output(request.tensor_offset, request.tensor_size, *output);
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
    const auto give_up = Clock::now() + kPostPatience;
    // A full response queue means clients are not collecting: wait for room a while.
    while (!push_response(region_, response)) {
        if (stopping_.load(std::memory_order_relaxed) || Clock::now() > give_up) return;
        std::this_thread::sleep_for(kFirstNap);
    }
}

}  // namespace quelt::server
