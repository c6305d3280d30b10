#include "runtime/runtime.hpp"

#include <pthread.h>
#include <signal.h>

#include <system_error>

#include "common/os_error.hpp"

namespace quelt::runtime {
namespace {

// Workers start with every signal blocked, so that signals meant for the
// interpreter (Ctrl+C) are always delivered to one of its own threads.
class BlockAllSignals {
public:
    BlockAllSignals() noexcept {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &previous_);
    }
    ~BlockAllSignals() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }

private:
    sigset_t previous_;
};

}  // namespace

unsigned default_worker_count() noexcept {
    unsigned processors = std::thread::hardware_concurrency();
    return processors == 0 ? 1 : processors;
}

std::expected<std::unique_ptr<Runtime>, std::string> Runtime::create(unsigned workers) {
    auto poller = Poller::create();
    if (!poller) return std::unexpected(os_error_text(poller.error()));
    auto runtime = std::make_unique<Runtime>(Key{}, std::move(*poller));
    try {
        runtime->workers_.reserve(workers);
        BlockAllSignals masked;
        for (unsigned i = 0; i < workers; ++i)
            runtime->workers_.emplace_back([poller = &runtime->poller_] {
                while (poller->wait()) {
                }
            });
    } catch (const std::system_error& error) {
        // ~Runtime stops the workers that did start.
        return std::unexpected(os_error_text(error.code().value()));
    }
    return runtime;
}

Runtime::Runtime(Key, Poller poller) : poller_(std::move(poller)) {}

Runtime::~Runtime() { stop(); }

void Runtime::stop() noexcept {
    poller_.shutdown();
    for (auto& worker : workers_) worker.join();
    workers_.clear();
}

}  // namespace quelt::runtime
