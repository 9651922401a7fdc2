#pragma once

// The machine's memory floor: nanoseconds per dependent random access over a region far larger
// than every cache (a pointer chase around one random cycle, so neither prefetching nor
// parallel misses can help). A lookup in a table that does not fit in cache needs at least one
// such access, so 1e9 / floor is the best possible lookups per second for one reader.

#include <cstdint>
#include <numeric>
#include <random>
#include <vector>

#include "bench/compare/Workload.h"

namespace Compare {

inline double memoryFloorNs(std::size_t bytes = std::size_t{256} << 20,
                            std::size_t steps = 10'000'000) {
    const std::size_t n = bytes / sizeof(std::uint64_t);
    std::vector<std::uint64_t> next(n);
    std::iota(next.begin(), next.end(), 0);
    // Sattolo's shuffle: one cycle through every element.
    std::mt19937_64 rng(42);
    for (std::size_t i = n - 1; i > 0; --i) {
        std::uniform_int_distribution<std::size_t> pick(0, i - 1);
        std::swap(next[i], next[pick(rng)]);
    }
    std::uint64_t at = 0;
    for (std::size_t i = 0; i < steps / 10; ++i) at = next[at];  // warm the page tables
    const auto start = Clock::now();
    for (std::size_t i = 0; i < steps; ++i) at = next[at];
    const double seconds = secondsSince(start);
    // Keep the chase observable.
    volatile std::uint64_t sink = at;
    (void)sink;
    return seconds * 1e9 / static_cast<double>(steps);
}

}  // namespace Compare
