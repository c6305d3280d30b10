#include "runtime/runtime.hpp"

#include "common/os_error.hpp"

namespace quelt::runtime {

namespace {

Error system_failure(OsError error) { return Error::os(ErrorKind::Runtime, error.code, std::move(error.text)); }

}  // namespace

unsigned default_worker_count() noexcept { return usable_processor_count(); }

Result<std::unique_ptr<Runtime>> Runtime::create(unsigned workers) {
    auto poller = Poller::create();
    if (!poller) return quelt::unexpected(system_failure(std::move(poller.error())));
    auto runtime = std::make_unique<Runtime>(Key{}, std::move(*poller));
    runtime->workers_.reserve(workers);
    for (unsigned i = 0; i < workers; ++i) {
        auto worker = WorkerThread::start([poller = &runtime->poller_] {
            while (poller->wait()) {
            }
        });
        // ~Runtime stops the workers that did start.
        if (!worker) return quelt::unexpected(system_failure(std::move(worker.error())));
        runtime->workers_.push_back(std::move(*worker));
    }
    return runtime;
}

Runtime::Runtime(Key, Poller poller) : poller_(std::move(poller)) {}

Runtime::~Runtime() { stop(); }

void Runtime::stop() noexcept {
    if (poller_.inherited()) {
        for (auto& worker : workers_) worker.abandon();
    } else {
        poller_.shutdown();
        for (auto& worker : workers_) worker.join();
    }
    workers_.clear();
}

}  // namespace quelt::runtime
