#pragma once

// What every system in the comparison is measured on: the records (a flow table of IpFlowEntry,
// 24-byte key and 136-byte value, and the engine's counter table), the random keys, and the
// statistics of repeated runs. Nothing here knows which system it drives.

#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <cstdint>
#include <random>
#include <string>
#include <unordered_set>
#include <vector>

#include "FlowTracker/FlowTableTypes.h"
#include "FlowTracker/FtCounterTypes.h"

namespace Compare {

using Clock = std::chrono::steady_clock;

inline double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A new empty directory named `prefix` + six random characters (mkdtemp), e.g. under /dev/shm
// so that every system keeps its files in the same kind of memory.
inline std::string freshDirectory(const std::string& prefix) {
    std::string templ = prefix + "XXXXXX";
    if (::mkdtemp(templ.data()) == nullptr) throw std::runtime_error("mkdtemp " + templ + " failed");
    return templ;
}

// The flow records: 24-byte keys drawn at random (addresses, ports, VRF, VLAN), values whose
// counters carry a generation so that an update really changes the record.
struct FlowRecords {
    using Key = FlowTracking::IpFlowKey;
    using Value = FlowTracking::IpFlowEntry;
    static constexpr const char* name = "IpFlowEntry";

    static Key randomKey(std::mt19937_64& rng) {
        const std::uint64_t a = rng(), b = rng();
        return Key(Vrf::VrfIdMap::VrfId(static_cast<std::uint32_t>(a % 4)),
                   Bridging::VlanIdOrAnyOrNone(static_cast<std::uint16_t>(1 + (a >> 8) % 4000)),
                   Wirekit::IpAddr::fromHostOrder(static_cast<std::uint32_t>(b)),
                   Wirekit::IpAddr::fromHostOrder(static_cast<std::uint32_t>(b >> 32)),
                   (a >> 20) % 2 ? Wirekit::ipProtoTcp : Wirekit::ipProtoUdp,
                   static_cast<std::uint16_t>(a >> 24), static_cast<std::uint16_t>(a >> 40));
    }
    static Value make(const Key& key, std::uint64_t generation) {
        Value v(key);
        v.pktsIs(generation);
        v.bytesIs(generation * 1500);
        return v;
    }
    static std::uint64_t generationOf(const Value& v) { return v.pkts(); }
};

// The counter records: an 8-byte key (tracker id, flow group) and a 40-byte value.
struct CounterRecords {
    using Key = Hoard::FlowTracker::FlowGroupCounterKey;
    using Value = Hoard::FlowTracker::FlowGroupCounterEntry;
    static constexpr const char* name = "FlowGroupCounterEntry";

    static Key randomKey(std::mt19937_64& rng) {
        const std::uint64_t a = rng();
        return Key(FlowTracking::FtId(static_cast<std::uint32_t>(a)),
                   FlowTracking::TemplateId(static_cast<std::uint32_t>(a >> 32)));
    }
    static Value make(const Key& key, std::uint64_t generation) {
        return Value(key, Hoard::FlowTracker::FlowEntry(generation, generation * 3,
                                                        generation * 1500, 0.0));
    }
};

// `n` keys to insert and `n` other keys that are never inserted, each list in its own random
// order; `order` is a third order over the present keys for updates and lookups, so no
// operation walks the table in insertion order.
template <class Rec>
struct Keys {
    std::vector<typename Rec::Key> present;
    std::vector<typename Rec::Key> absent;
    std::vector<typename Rec::Key> order;

    Keys(std::size_t n, std::uint64_t seed) {
        std::mt19937_64 rng(seed);
        struct Hasher {
            std::size_t operator()(const typename Rec::Key& k) const { return k.hash(0x9e3779b9u); }
        };
        std::unordered_set<typename Rec::Key, Hasher> seen;
        seen.reserve(2 * n);
        std::vector<typename Rec::Key> all;
        all.reserve(2 * n);
        while (all.size() < 2 * n) {
            const typename Rec::Key k = Rec::randomKey(rng);
            if (seen.insert(k).second) all.push_back(k);
        }
        present.assign(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(n));
        absent.assign(all.begin() + static_cast<std::ptrdiff_t>(n), all.end());
        order = present;
        std::shuffle(order.begin(), order.end(), rng);
    }
};

// The median, minimum and maximum of one measurement over the runs.
struct Stats {
    double median = 0, min = 0, max = 0;
    bool valid = false;

    static Stats of(std::vector<double> samples) {
        Stats s;
        if (samples.empty()) return s;
        std::sort(samples.begin(), samples.end());
        const std::size_t m = samples.size();
        s.median = m % 2 ? samples[m / 2] : (samples[m / 2 - 1] + samples[m / 2]) / 2;
        s.min = samples.front();
        s.max = samples.back();
        s.valid = true;
        return s;
    }
};

}  // namespace Compare
