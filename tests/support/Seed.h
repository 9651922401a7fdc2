#pragma once

#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <random>
#include <string>

namespace TestSupport {

// The seed of a randomised test: $FLOWTABLE_TEST_SEED when set (to replay a failure), else a
// fresh one. Printed, so that every failing run can be replayed.
inline std::uint64_t testSeed(const char* what) {
    std::uint64_t seed;
    if (const char* fixed = std::getenv("FLOWTABLE_TEST_SEED")) {
        seed = std::strtoull(fixed, nullptr, 10);
    } else {
        seed = (std::uint64_t{std::random_device{}()} << 32) | std::random_device{}();
    }
    std::cerr << what << ": seed " << seed << " (replay with FLOWTABLE_TEST_SEED=" << seed << ")\n";
    return seed;
}

}  // namespace TestSupport
