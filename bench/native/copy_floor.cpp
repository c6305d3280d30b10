// The least copying a shared-memory client must do for one large tensor: one
// memcpy of the caller's bytes into warm shared memory, then one allocation of
// the output's size and a copy into it (the new result object). The
// allocation goes through malloc, as the interpreter's does, so whatever the
// allocator hands out (fresh pages straight from the kernel, whose first
// touch costs a page fault each, or recycled heap) is measured, not assumed.
// The two halves are reported apart as well, with the cost of first-touching
// freshly mapped pages for reference. A second floor leaves the page faults
// out: the same copy in, then a copy into a warm buffer that is reused, the
// copies no client can avoid.
//
//   quelt-bench-copy --bytes N --iterations K [--warmup W]
#include <sys/mman.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "bench_args.hpp"
#include "sample_output.hpp"

namespace {

using quelt::bench::Arguments;

constexpr std::size_t kBlockHeader = 80;

struct Mapping {
    explicit Mapping(std::size_t bytes) : size(bytes) {
        address = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (address == MAP_FAILED) {
            std::perror("mmap");
            std::exit(1);
        }
    }
    ~Mapping() { ::munmap(address, size); }
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;
    std::uint8_t* bytes() const { return static_cast<std::uint8_t*>(address); }

    void* address;
    std::size_t size;
};

volatile std::uint8_t last_byte_seen;

double copy_out_to_fresh_allocation(const std::uint8_t* source, std::size_t bytes) {
    std::uint64_t start = quelt::bench::now_ns();
    auto* result = static_cast<std::uint8_t*>(std::malloc(bytes ? bytes : 1));
    if (!result) {
        std::perror("malloc");
        std::exit(1);
    }
    std::memcpy(result, source, bytes);
    double elapsed = static_cast<double>(quelt::bench::now_ns() - start);
    if (bytes) last_byte_seen = result[bytes - 1];
    std::free(result);  // released outside the timing, like a result dropped after the call
    return elapsed;
}

double first_touch_of_fresh_pages(const std::uint8_t* source, std::size_t bytes) {
    void* fresh = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (fresh == MAP_FAILED) {
        std::perror("mmap");
        std::exit(1);
    }
    std::uint64_t start = quelt::bench::now_ns();
    std::memcpy(fresh, source, bytes);
    double elapsed = static_cast<double>(quelt::bench::now_ns() - start);
    ::munmap(fresh, bytes);
    return elapsed;
}

}  // namespace

int main(int argc, char** argv) {
    Arguments arguments(argc, argv);
    std::size_t bytes = arguments.number("bytes", 4u << 20);
    std::uint64_t iterations = arguments.number("iterations", 20);
    std::uint64_t warmup = arguments.number("warmup", 3);
    if (bytes == 0) Arguments::usage_error("--bytes must be at least 1");

    std::vector<std::uint8_t> input(bytes, 0x3c);
    Mapping slot(bytes + kBlockHeader);
    std::memset(slot.bytes(), 0, slot.size);  // warm: every page of the slot is resident and mapped

    std::vector<std::uint8_t> reused(bytes, 0x11);  // warm: written once, before any timing

    std::vector<double> total, copy_in, copy_out, fresh_touch, warm_out, warm_total;
    std::uint64_t cpu_timed = 0;
    for (std::uint64_t i = 0; i < warmup + iterations; ++i) {
        const std::uint64_t cpu_began = quelt::bench::cpu_ns();
        std::uint64_t start = quelt::bench::now_ns();
        std::memcpy(slot.bytes() + kBlockHeader, input.data(), bytes);
        double in = static_cast<double>(quelt::bench::now_ns() - start);
        double out = copy_out_to_fresh_allocation(slot.bytes() + kBlockHeader, bytes);
        if (i >= warmup) cpu_timed += quelt::bench::cpu_ns() - cpu_began;
        start = quelt::bench::now_ns();
        std::memcpy(reused.data(), slot.bytes() + kBlockHeader, bytes);
        double warm = static_cast<double>(quelt::bench::now_ns() - start);
        last_byte_seen = reused[bytes - 1];
        double touch = first_touch_of_fresh_pages(input.data(), bytes);
        if (i < warmup) continue;
        copy_in.push_back(in);
        copy_out.push_back(out);
        total.push_back(in + out);
        fresh_touch.push_back(touch);
        warm_out.push_back(warm);
        warm_total.push_back(in + warm);
    }
    quelt::bench::print_series({{"samples_ns", std::move(total)},
                                {"copy_in_ns", std::move(copy_in)},
                                {"alloc_copy_out_ns", std::move(copy_out)},
                                {"fresh_page_copy_ns", std::move(fresh_touch)},
                                {"copy_out_warm_ns", std::move(warm_out)},
                                {"warm_samples_ns", std::move(warm_total)},
                                {"cpu_ns_per_call", {static_cast<double>(cpu_timed) / static_cast<double>(iterations)}}});
    return 0;
}
