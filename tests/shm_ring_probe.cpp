// Drives the region code from separate processes for the queue tests: the
// Python side cannot compare-and-swap, so every concurrent producer and
// consumer is one of these processes.
//
//   shm_ring_probe create NAME POOL_SIZE          create a region, print its layout, keep it until stdin closes
//   shm_ring_probe push NAME QUEUE ID [COUNT]     push COUNT entries (id ID, seq 0..COUNT-1), waiting while full
//   shm_ring_probe try-push NAME QUEUE ID         push once; print "ok" or the error text
//   shm_ring_probe pop NAME QUEUE COUNTER TOTAL   pop until TOTAL entries were taken by all consumers together
//   shm_ring_probe try-pop NAME QUEUE             pop once; print "ID SEQ", "empty" or the error text
//   shm_ring_probe pool OFFSET SIZE OP...         build a tensor pool with the default sizes; print its
//                                                 layout and largest slot, then run each OP: aN allocates
//                                                 N bytes (prints the offset or "none"), rN releases
//                                                 offset N (prints true or false), wN waits N ms
//   shm_ring_probe leases NAME OP...              two pools over region NAME's shared leases, each with a
//                                                 process cell of its own, as two processes have them: OP
//                                                 is wN (wait N ms) or a pool number and an operation: +
//                                                 opens the pool, - closes it (leases
//                                                 still held, as if its process died), aN and rN as above
//   shm_ring_probe threads NAME THREADS COUNT     one process, one mapping of a new region NAME with four
//                                                 pool slots: THREADS producers push COUNT entries each and
//                                                 lease a slot around every push, filling it and checking
//                                                 that nobody else wrote it; THREADS consumers pop them all;
//                                                 prints "ok" if every entry came out exactly once
//
// QUEUE is "request" or "response"; an entry carries (ID, SEQ) in the fields
// request_id and tensor_offset / result_offset. COUNTER is the region offset
// of a u64 the consumers share to know when everything has been taken.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "shm/owned_region.hpp"
#include "shm/region_queues.hpp"
#include "shm/shared_pools.hpp"
#include "shm/tensor_pool.hpp"

using namespace quelt::shm;

namespace {

[[noreturn]] void die(const std::string& message) {
    std::fprintf(stderr, "%s\n", message.c_str());
    std::exit(2);
}

std::uint64_t number(const char* text) { return std::strtoull(text, nullptr, 10); }

template <class Entry>
Entry make_entry(std::uint64_t id, std::uint64_t seq) {
    Entry entry{};
    entry.request_id = id;
    if constexpr (std::is_same_v<Entry, RequestEntry>) entry.tensor_offset = seq;
    else entry.result_offset = seq;
    return entry;
}

template <class Entry>
std::uint64_t seq_of(const Entry& entry) {
    if constexpr (std::is_same_v<Entry, RequestEntry>) return entry.tensor_offset;
    else return entry.result_offset;
}

template <class Entry>
RingBuffer<Entry> queue_of(const ShmRegion& region) {
    auto queue = [&] {
        if constexpr (std::is_same_v<Entry, RequestEntry>) return request_queue(region);
        else return response_queue(region);
    }();
    if (!queue) die(queue.error().text);
    return *queue;
}

template <class Entry>
int run(std::string_view command, const ShmRegion& region, char** args, int nargs) {
    const RingBuffer<Entry> queue = queue_of<Entry>(region);
    if (command == "push") {
        const std::uint64_t id = number(args[0]);
        const std::uint64_t count = nargs > 1 ? number(args[1]) : 1;
        std::uint64_t full = 0;
        for (std::uint64_t seq = 0; seq < count;) {
            auto pushed = queue.push(make_entry<Entry>(id, seq));
            if (pushed) { ++seq; continue; }
            if (pushed.error().text != kQueueFull) die(pushed.error().text);
            ++full;
            std::this_thread::yield();
        }
        std::printf("pushed %llu full %llu\n", (unsigned long long)count, (unsigned long long)full);
        return 0;
    }
    if (command == "try-push") {
        auto pushed = queue.push(make_entry<Entry>(number(args[0]), 0));
        std::printf("%s\n", pushed ? "ok" : pushed.error().text.c_str());
        return 0;
    }
    if (command == "try-pop") {
        auto popped = queue.pop();
        if (!popped) std::printf("%s\n", popped.error().text.c_str());
        else if (!*popped) std::printf("empty\n");
        else std::printf("%llu %llu\n", (unsigned long long)(*popped)->request_id,
                         (unsigned long long)seq_of(**popped));
        return 0;
    }
    if (command == "pop") {
        const std::uint64_t counter_offset = number(args[0]);
        const std::uint64_t total = number(args[1]);
        if (!fits(counter_offset, 8, region.size()) || counter_offset % 8 != 0) die("bad counter offset");
        std::atomic_ref<std::uint64_t> taken(*reinterpret_cast<std::uint64_t*>(region.data() + counter_offset));
        std::string out;
        while (taken.load(std::memory_order_acquire) < total) {
            auto popped = queue.pop();
            if (!popped) die(popped.error().text);
            if (!*popped) { std::this_thread::yield(); continue; }
            out += std::to_string((*popped)->request_id) + " " + std::to_string(seq_of(**popped)) + "\n";
            taken.fetch_add(1, std::memory_order_acq_rel);
        }
        std::fwrite(out.data(), 1, out.size(), stdout);
        return 0;
    }
    die("unknown command");
}

}  // namespace

int run_pool(char** args, int nargs) {
    const int first_op = 2;
    TensorPool pool = TensorPool::build(number(args[0]), number(args[1]));
    std::printf("%s\n%llu\n", pool.layout().c_str(), (unsigned long long)pool.largest_slot());
    for (int i = first_op; i < nargs; ++i) {
        const std::uint64_t value = number(args[i] + 1);
        if (args[i][0] == 'w') {
            std::this_thread::sleep_for(std::chrono::milliseconds(value));
        } else if (args[i][0] == 'a') {
            auto offset = pool.allocate(value);
            if (offset) std::printf("%llu\n", (unsigned long long)*offset);
            else std::printf("none\n");
        } else {
            std::printf("%s\n", pool.release(value) ? "true" : "false");
        }
    }
    return 0;
}

int run_leases(const ShmRegion& region, char** args, int nargs) {
    auto area = region.pool_area();
    if (!area) die(area.error().text);
    const std::vector<SlotClassLayout> layout = TensorPool::plan(area->offset, area->size);
    std::optional<TensorPool> pools[3];
    for (int i = 0; i < nargs; ++i) {
        const char* op = args[i];
        if (op[0] == 'w') {
            std::this_thread::sleep_for(std::chrono::milliseconds(number(op + 1)));
            continue;
        }
        std::optional<TensorPool>& pool = pools[op[0] == '2' ? 2 : 1];
        const std::uint64_t value = number(op + 2);
        if (op[1] == '+') {
            auto leases = LeaseTable::open_shared(region, TensorPool::slot_count(layout));
            if (!leases) die(leases.error().text);
            pool.emplace(layout, std::move(*leases));
        } else if (op[1] == '-') {
            pool.reset();
        } else if (op[1] == 'a') {
            auto offset = pool->allocate(value);
            if (offset) std::printf("%llu\n", (unsigned long long)*offset);
            else std::printf("none\n");
        } else {
            std::printf("%s\n", pool->release(value) ? "true" : "false");
        }
    }
    return 0;
}

// A slot held by one thread only: fill it with the thread's byte, give the
// others a chance to run, then find it unchanged. Two holders of one slot
// show up as a changed byte here (and as a data race under ThreadSanitizer).
bool hold_slot(TensorPool& pool, const ShmRegion& region, unsigned char mark) {
    constexpr std::uint64_t kBytes = 4096;
    std::optional<std::uint64_t> offset;
    while (!(offset = pool.allocate(kBytes))) std::this_thread::yield();
    std::byte* slot = region.data() + *offset;
    std::memset(slot, mark, kBytes);
    std::this_thread::yield();
    bool intact = true;
    for (std::uint64_t i = 0; i < kBytes; ++i) intact = intact && slot[i] == std::byte{mark};
    return pool.release(*offset) && intact;
}

int run_threads(const std::string& name, unsigned threads, std::uint64_t count) {
    auto owned = OwnedRegion::create(name, default_region_layout(1 << 20, 1 << 20));
    if (!owned) die(owned.error().text);
    auto region = ShmRegion::open(name);
    if (!region) die(region.error().text);
    const RequestQueue queue = queue_of<RequestEntry>(*region);
    const std::uint64_t total = threads * count;
    std::vector<std::atomic<std::uint32_t>> seen(total);
    std::atomic<std::uint64_t> taken{0}, faults{0};
    std::vector<std::thread> workers;
    for (unsigned t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            auto pool = shared_pool(*region);
            if (!pool) die(pool.error().text);
            for (std::uint64_t seq = 0; seq < count;) {
                if (!hold_slot(**pool, *region, static_cast<unsigned char>(t + 1))) faults.fetch_add(1);
                auto pushed = queue.push(make_entry<RequestEntry>(t, seq));
                if (pushed) ++seq;
                else if (pushed.error().text != kQueueFull) die(pushed.error().text);
                else std::this_thread::yield();
            }
        });
        workers.emplace_back([&] {
            while (taken.load() < total) {
                auto popped = queue.pop();
                if (!popped) die(popped.error().text);
                if (!*popped) { std::this_thread::yield(); continue; }
                const std::uint64_t id = (*popped)->request_id, seq = seq_of(**popped);
                if (id >= threads || seq >= count) faults.fetch_add(1);
                else seen[id * count + seq].fetch_add(1);
                taken.fetch_add(1);
            }
        });
    }
    for (auto& worker : workers) worker.join();
    for (auto& times : seen) if (times.load() != 1) faults.fetch_add(1);
    if (faults.load() == 0) std::printf("ok\n");
    else std::printf("%llu faults\n", (unsigned long long)faults.load());
    return 0;
}

int main(int argc, char** argv) {
    if (argc < 3) die("usage: see the top of shm_ring_probe.cpp");
    const std::string_view command = argv[1];
    if (command == "pool") {
        if (argc < 4) die("pool needs OFFSET and SIZE");
        return run_pool(argv + 2, argc - 2);
    }
    if (command == "leases") {
        auto region = ShmRegion::open(argv[2]);
        if (!region) die(region.error().text);
        return run_leases(*region, argv + 3, argc - 3);
    }
    if (command == "threads") {
        if (argc < 5) die("threads needs NAME, THREADS and COUNT");
        return run_threads(argv[2], static_cast<unsigned>(number(argv[3])), number(argv[4]));
    }
    if (command == "create") {
        auto layout = default_region_layout(number(argv[3]), 1 << 20);
        auto region = OwnedRegion::create(argv[2], layout);
        if (!region) die(region.error().text);
        std::printf("ready %llu %llu %llu %llu %llu %llu\n", (unsigned long long)layout.request_queue_offset,
                    (unsigned long long)layout.response_queue_offset, (unsigned long long)layout.tensor_pool_offset,
                    (unsigned long long)layout.tensor_pool_size, (unsigned long long)layout.server_area_offset,
                    (unsigned long long)region->size());
        std::fflush(stdout);
        std::string line;
        std::getline(std::cin, line);  // the region lives until the test closes our stdin
        return 0;
    }
    if (argc < 4) die("missing queue");
    auto region = ShmRegion::open(argv[2]);
    if (!region) die(region.error().text);
    const std::string_view queue = argv[3];
    if (queue == "request") return run<RequestEntry>(command, *region, argv + 4, argc - 4);
    if (queue == "response") return run<ResponseEntry>(command, *region, argv + 4, argc - 4);
    die("queue must be request or response");
}
