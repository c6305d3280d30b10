#pragma once
// Timing and the JSON line every baseline program prints: named arrays of
// per-round-trip durations in nanoseconds, which the runner turns into
// medians and percentiles itself (so every figure is computed one way).
#include <time.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace quelt::bench {

inline std::uint64_t now_ns() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000u + static_cast<std::uint64_t>(now.tv_nsec);
}

// Processor time (user + system) this process has used so far: a figure of
// what a round trip costs the measuring side besides its latency.
inline std::uint64_t cpu_ns() {
    timespec used{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &used);
    return static_cast<std::uint64_t>(used.tv_sec) * 1'000'000'000u + static_cast<std::uint64_t>(used.tv_nsec);
}

// Processor time per call of a stretch of `calls` calls that began at `since`.
inline double cpu_ns_per_call(std::uint64_t since, std::uint64_t calls) {
    return calls ? static_cast<double>(cpu_ns() - since) / static_cast<double>(calls) : 0.0;
}

using Series = std::pair<std::string, std::vector<double>>;

inline void print_series(const std::vector<Series>& all) {
    std::string line = "{";
    for (std::size_t i = 0; i < all.size(); ++i) {
        if (i) line += ", ";
        line += "\"" + all[i].first + "\": [";
        for (std::size_t k = 0; k < all[i].second.size(); ++k) {
            char number[32];
            std::snprintf(number, sizeof number, k ? ",%.1f" : "%.1f", all[i].second[k]);
            line += number;
        }
        line += "]";
    }
    line += "}\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

}  // namespace quelt::bench
