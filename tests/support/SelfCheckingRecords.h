#pragma once

// Records that prove they were read whole: each carries its key id, a generation and two
// independent checksums of (id, generation) in different words, so a copy that mixes words of
// two writes (or of two records) fails check(). One traits struct per table kind, on the library's
// table instantiations. Below them the helpers of the tests that read such records: a writer, and
// a checked iteration; and plain records of both kinds for tests that check values themselves.

#include <cstdint>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>

#include "FlowTracker/FlowTable.h"
#include "FlowTracker/FtCounters.h"
#include "Hoard/HoardReader.h"
#include "Hoard/HoardWriter.h"
#include "contracts/Basalt/Util.h"

namespace TestSupport {

inline std::uint64_t mix64(std::uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}
inline std::uint64_t checksumA(std::uint32_t id, std::uint64_t generation) {
    return mix64((std::uint64_t{id} << 32) ^ generation);
}
// Fits in 52 bits, so the counter record can carry it exactly in a double.
inline std::uint64_t checksumB(std::uint32_t id, std::uint64_t generation) {
    return mix64(generation * 0x2545F4914F6CDD1Dull + id + 0x5151) >> 12;
}

// The flow table (seed-0 hash, no queue): key srcAddr = 10.0.0.0 + id, pkts = generation,
// bytes and hwBytes the two checksums.
struct FlowRecords {
    using Ops = FlowTracking::IpFlowEntryOps;
    using Writer = Hoard::HoardWriter<Ops>;
    using Reader = Hoard::HoardReader<Ops>;
    using Key = FlowTracking::IpFlowKey;
    using Entry = Ops::Value;  // the record as its table stores it (the wrapper)
    static constexpr const char* kind = "flow";

    static Key key(std::uint32_t id) {
        return Key(Vrf::VrfIdMap::VrfId(id % 3),
                   Bridging::VlanIdOrAnyOrNone(static_cast<std::uint16_t>(id % 5)),
                   Wirekit::IpAddr::fromHostOrder(0x0A000000u + id), Wirekit::IpAddr(10, 9, 9, 9),
                   Wirekit::ipProtoTcp, static_cast<std::uint16_t>(id), 443);
    }
    static Entry make(std::uint32_t id, std::uint64_t generation) {
        Entry e(key(id));
        e.pktsIs(generation);
        e.bytesIs(checksumA(id, generation));
        e.hwBytesIs(checksumB(id, generation));
        return e;
    }
    // True when `e` is a whole record; then `id` and `generation` hold what it carries.
    static bool check(const Entry& e, std::uint32_t& id, std::uint64_t& generation) {
        id = e.key().srcAddr().value() - 0x0A000000u;
        generation = e.pkts();
        return e.key() == key(id) && e.bytes() == checksumA(id, generation) &&
               e.hwBytes() == checksumB(id, generation);
    }
};

// The counter table (the header's non-zero hash seed, a real queue): key (1 + id / 100,
// id % 100), flows = generation, expiredFlows = id, packets and lastClearedTime the checksums.
struct CounterRecords {
    using Ops = Hoard::FlowTracker::FlowGroupCounterEntryOps;
    using Writer = Hoard::HoardWriter<Ops>;
    using Reader = Hoard::HoardReader<Ops>;
    using Key = Hoard::FlowTracker::FlowGroupCounterKey;
    using Entry = Ops::Value;
    static constexpr const char* kind = "counter";

    static Key key(std::uint32_t id) {
        return Key(FlowTracking::FtId(1 + id / 100),
                   FlowTracking::TemplateId(static_cast<std::uint16_t>(id % 100)));
    }
    static Entry make(std::uint32_t id, std::uint64_t generation) {
        return Entry(key(id),
                     Hoard::FlowTracker::FlowEntry(generation, id, checksumA(id, generation),
                                                   static_cast<double>(checksumB(id, generation))));
    }
    static bool check(const Entry& e, std::uint32_t& id, std::uint64_t& generation) {
        const auto& f = e.flowEntry();
        id = static_cast<std::uint32_t>(f.expiredFlows());
        generation = f.flows();
        return f.expiredFlows() <= 0xFFFFFFFFu && e.key() == key(id) &&
               f.packets() == checksumA(id, generation) &&
               f.lastClearedTime() == static_cast<double>(checksumB(id, generation));
    }
};

// The reversed hash a reader orders records by: an iteration returns strictly increasing
// (rhash, key) pairs.
template <class Records>
std::uint32_t orderHash(const typename Records::Ops& ops, const typename Records::Key& key) {
    return Basalt::Util::reverse(ops.hash(key));
}

inline std::shared_ptr<Basalt::Platform::DebugHandler> recordsDebug() {
    return Basalt::Platform::getDebugHandler("SelfCheckingRecords");
}

inline Hoard::MapDescriptor recordsDescriptor() {
    Hoard::MapDescriptor d;
    d.slotLimit = 1u << 16;
    return d;
}

// The initialized writer of `table`, holding ids [0, count) of generation 1.
template <class Records>
std::unique_ptr<typename Records::Writer> newWriter(
    const std::string& table, std::uint32_t count = 0,
    const Hoard::MapDescriptor& d = recordsDescriptor()) {
    auto w = std::make_unique<typename Records::Writer>(recordsDebug(), table, d,
                                                        typename Records::Ops(), "Test");
    if (!w->initialize("test")) throw std::runtime_error("cannot write " + table);
    for (std::uint32_t id = 0; id < count; ++id) w->write(Records::make(id, 1), true);
    return w;
}

// An initialized reader of `table`.
template <class Records, class Ops = typename Records::Ops>
std::unique_ptr<Hoard::HoardReader<Ops>> newReader(const std::string& table) {
    auto r = std::make_unique<Hoard::HoardReader<Ops>>(recordsDebug(), table, Ops());
    if (!r->initialize("test")) throw std::runtime_error("cannot read " + table);
    return r;
}

template <class Entry>
std::string show(const Entry& e) {
    std::ostringstream os;
    os << e;
    return os.str();
}

// Looks id up in `table` (a writer or a reader): the generation of its record, 0 when there is
// none (every record written has one). Throws when the record found is torn or another id's.
template <class Records, class Table>
std::uint64_t generationOf(Table& table, std::uint32_t id) {
    bool found = false;
    typename Records::Entry v;
    table.lookup(Records::key(id), found, &v);
    std::uint32_t got = 0;
    std::uint64_t generation = 0;
    if (!found || (Records::check(v, got, generation) && got == id)) return generation;
    throw std::runtime_error("lookup of id " + std::to_string(id) + " returned a torn or foreign " +
                             show(v));
}

// Iterates `table` (a writer or a reader) the usual way: the key passed to next() lives in the
// value next() overwrites. Checks that every record is whole and that (rhash, key) strictly
// increases, and calls visit(id, generation) on each, which returns "" to go on. Returns "" or
// the first failure.
template <class Records, class Table, class Visit>
std::string walk(Table& table, std::uint32_t maxSteps, Visit&& visit) {
    typename Records::Entry v;
    Hoard::IterHint hint;
    std::uint32_t steps = 0, previousOrder = 0;
    typename Records::Key previousKey{};
    for (bool more = table.first(v, hint); more; more = table.next(v.key(), v, hint)) {
        if (++steps > maxSteps) return "an iteration does not end";
        std::uint32_t id = 0;
        std::uint64_t generation = 0;
        if (!Records::check(v, id, generation))
            return "iteration returned a torn record " + show(v);
        const std::uint32_t order = orderHash<Records>(table.ops(), v.key());
        if (steps > 1 && !(previousOrder < order ||
                           (previousOrder == order && Records::Ops::less(previousKey, v.key())))) {
            return "iteration out of order or repeating at id " + std::to_string(id);
        }
        previousOrder = order;
        previousKey = v.key();
        if (std::string failure = visit(id, generation); !failure.empty()) return failure;
    }
    return "";
}

// Plain records, as the tables store them: flow i (the key of FlowRecords::key(i), pkts =
// generation, bytes = i * 1000 + generation) and counter group i (the key of
// CounterRecords::key(i), flows = generation, expiredFlows = i, packets = i * 7).
inline FlowRecords::Entry flowEntry(std::uint32_t i, std::uint64_t generation = 0) {
    FlowRecords::Entry e(FlowRecords::key(i));
    e.pktsIs(generation);
    e.bytesIs(i * 1000ull + generation);
    return e;
}

inline CounterRecords::Entry groupEntry(std::uint32_t i, std::uint64_t generation = 0) {
    return CounterRecords::Entry(CounterRecords::key(i),
                                 Hoard::FlowTracker::FlowEntry(generation, i, i * 7ull, 0.0));
}

}  // namespace TestSupport
