#pragma once

// A minimal table writer for index tests: it owns a slot file, a bucket file and the index, and
// links records the way the table writer does (value, rhash and status first, then the new
// slot's link, then its predecessor's link), so readers and validators see realistic files.

#include <memory>
#include <string>

#include "FlowTracker/FtCounterTypes.h"
#include "Hoard/WriterHashMap.h"
#include "contracts/HoardBase/BucketTable.h"
#include "contracts/HoardBase/Hash.h"

namespace TestSupport {

using CounterKey = Hoard::FlowTracker::FlowGroupCounterKey;
using CounterEntry = Hoard::FlowTracker::FlowGroupCounterEntry;

// Key operations whose hash keeps only `mask` bits, so tests can force equal hashes.
struct MaskedOps : Hoard::KeyOps<CounterKey, CounterEntry, false> {
    std::uint32_t mask = 0xFFFFFFFFu;
    std::uint32_t hash(const CounterKey& k) const {
        return Hoard::KeyOps<CounterKey, CounterEntry, false>::hash(k) & mask;
    }
};

inline CounterEntry counterEntry(std::uint32_t i) {
    return CounterEntry(CounterKey(FlowTracking::FtId(i), FlowTracking::TemplateId(i % 7)),
                        Hoard::FlowTracker::FlowEntry(i, 0, i * 3ull, 0.0));
}

class IndexDriver {
  public:
    using Index = Hoard::WriterHashMap<MaskedOps>;
    using Slots = Hoard::SlotWriterTable<CounterEntry>;

    IndexDriver(const std::string& tableName, std::uint32_t maxSize = 1u << 16,
                bool shrinkBuckets = true, std::uint32_t fenix = 1)
        : debug(Basalt::Platform::getDebugHandler("IndexDriver")),
          root(debug, tableName, true),
          rootReady((root.ensureDirectory(), true)),
          slots(debug, root, "Hoard::FlowTracker::FlowGroupCounterEntry", "IndexDriver", maxSize,
                false, true, counters, [this](std::uint32_t s) { ops.hashSeedIs(s); }),
          buckets(debug, root),
          index(debug, slots, buckets, ops, counters, shrinkBuckets) {
        slots.attach(fenix);
        buckets.attach(fenix);
        index.attach();
    }

    // Inserts or overwrites; returns the slot.
    std::uint32_t write(const CounterEntry& e) {
        const std::uint32_t h = index.hash(e.key());
        std::uint64_t* prev = nullptr;
        std::uint32_t curr = 0;
        if (index.find(e.key(), index.bucketOf(h), prev, curr, h)) {
            auto& slot = slots.slots()[curr];
            Hoard::storeSlotValue(slot, e);
            Mem::Atomics::storeRelease(slot.head.status,
                                       slot.head.status + Hoard::SlotTable::writeStep);
            return curr;
        }
        const std::uint32_t index_ = slots.alloc(h);
        // alloc may have grown (and remapped) the file: find the insertion point again.
        index.find(e.key(), index.bucketOf(h), prev, curr, h);
        auto& slot = slots.slots()[index_];
        Hoard::storeSlotValue(slot, e);
        Mem::Atomics::storeRelease(
            slot.head.status,
            (slot.head.status + Hoard::SlotTable::writeStep) | Hoard::SlotTable::occupied);
        const Hoard::SlotLink p = Hoard::SlotLink::load(*prev);
        const Hoard::SlotLink own = Hoard::SlotLink::load(slot.head.link);
        Hoard::SlotLink::store(slot.head.link, Hoard::SlotLink{own.seq + 4, p.next});
        Hoard::SlotLink::store(*prev, Hoard::SlotLink{p.seq + 4, index_});
        index.maybeGrow();
        return index_;
    }

    bool remove(const CounterKey& key) {
        const std::uint32_t h = index.hash(key);
        std::uint64_t* prev = nullptr;
        std::uint32_t curr = 0;
        if (!index.find(key, index.bucketOf(h), prev, curr, h)) return false;
        auto& slot = slots.slots()[curr];
        const Hoard::SlotLink p = Hoard::SlotLink::load(*prev);
        const Hoard::SlotLink own = Hoard::SlotLink::load(slot.head.link);
        Hoard::SlotLink::store(*prev, Hoard::SlotLink{p.seq + 4, own.next});
        Mem::Atomics::storeRelease(slot.head.status,
                                   slot.head.status & ~Hoard::SlotTable::occupied);
        auto* hd = slots.header();
        Hoard::SlotLink::store(slot.head.link, Hoard::SlotLink{own.seq + 4, hd->freeSlots});
        Mem::Atomics::storeRelease(hd->freeSlots, curr);
        Mem::Atomics::storeRelease(hd->occupiedSlots, hd->occupiedSlots - 1);
        index.maybeShrink();
        return true;
    }

    std::shared_ptr<Basalt::Platform::DebugHandler> debug;
    Mem::RootPath root;
    bool rootReady;
    Hoard::Writer::Counters counters;
    MaskedOps ops;
    Slots slots;
    Hoard::BucketWriterTable buckets;
    Index index;
};

}  // namespace TestSupport
