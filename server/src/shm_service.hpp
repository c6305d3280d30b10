#pragma once
// Serves the region's request queue: takes each RequestEntry, runs the model
// on the input block and posts exactly one ResponseEntry for it.
//
// Pick-up latency: while requests keep coming the thread spins on the queue
// with a pause hint, so a request is seen within about a microsecond; after a
// quiet spell of 2 ms it sleeps between polls, backing off up to a
// millisecond, and after a second without a request it sleeps 10 ms at a time,
// so an idle server costs next to no processor time and the first request
// after a quiet spell waits one nap at most.
#include <atomic>
#include <optional>
#include <thread>

#include "served_region.hpp"
#include "server_options.hpp"
#include "shm/queue_entries.hpp"
#include "shm/ring_buffer.hpp"

namespace quelt::server {

class ShmService {
public:
    ShmService(const ServerOptions& options, ServedRegion& region);
    ~ShmService();  // stops the thread and joins it
    ShmService(const ShmService&) = delete;
    ShmService& operator=(const ShmService&) = delete;

private:
    void run();
    std::optional<shm::RequestEntry> pop_request();
    void serve(const shm::RequestEntry& request);
    shm::ResponseEntry answer(const shm::RequestEntry& request);
    void post(const shm::ResponseEntry& response);

    const ServerOptions& options_;
    ServedRegion& region_;
    shm::RingBuffer<shm::RequestEntry> requests_;
    shm::RingBuffer<shm::ResponseEntry> responses_;
    bool queue_trouble_reported_ = false;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

}  // namespace quelt::server
