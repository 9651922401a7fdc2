#pragma once

// Random flow keys, flow records and counter records. Every attribute takes a value from its
// whole range (unnamed enumerators and non-finite times included), so texts and comparisons are
// exercised beyond the values the agent usually stores.

#include <bit>
#include <cstdint>
#include <random>

#include "FlowTracker/FlowTableTypes.h"
#include "FlowTracker/FtCounterTypes.h"

namespace TestSupport {

// A double from all bit patterns but NaN (a NaN record is unequal to itself).
inline double randomTime(std::mt19937_64& rng) {
    for (;;) {
        const double d = std::bit_cast<double>(rng());
        if (d == d) return d;
    }
}

// Random bytes, a third of them zero (so addresses have the zero runs "::" compresses), then
// random valid values where not every byte pattern is one: times and booleans.
template <class Record>
Record randomRecord(std::mt19937_64& rng) {
    static_assert(std::is_trivially_copyable_v<Record>);
    Record r;
    auto* bytes = reinterpret_cast<unsigned char*>(&r);
    for (std::size_t i = 0; i < sizeof r; ++i) {
        bytes[i] = rng() % 3 ? static_cast<unsigned char>(rng()) : 0;
    }
    if constexpr (requires { r.entryExportedIs(true); }) {
        r.startTimeIs(randomTime(rng));
        r.lastPktTimeIs(randomTime(rng));
        r.entryExportedIs(rng() % 2);
    } else if constexpr (requires { r.flowEntryIs(Hoard::FlowTracker::FlowEntry()); }) {
        r.flowEntryIs(Hoard::FlowTracker::FlowEntry(rng(), rng(), rng(), randomTime(rng)));
    } else if constexpr (requires { r.lastClearedTimeIs(0.0); }) {
        r.lastClearedTimeIs(randomTime(rng));
    }
    return r;
}

}  // namespace TestSupport
