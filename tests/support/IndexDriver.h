#pragma once

// A minimal counter-table writer for index tests (WriterHashMapTest, HoardDamageTest): it owns a
// slot file, a bucket file and the index, and links records in the table writer's store order
// (value, rhash and status, then the new slot's link, then its predecessor's), so readers and
// validators see realistic files.

#include <memory>
#include <optional>
#include <string>

#include "Hoard/WriterHashMap.h"
#include "contracts/HoardBase/BucketTable.h"
#include "contracts/HoardBase/Hash.h"
#include "tests/support/SelfCheckingRecords.h"

namespace TestSupport {

// Counter-table key operations whose hash keeps only `mask` bits, so tests can force equal hashes.
struct MaskedOps : Hoard::KeyOps<CounterRecords::Key, CounterRecords::Entry, false> {
    std::uint32_t mask = 0xFFFFFFFFu;
    std::uint32_t hash(const CounterRecords::Key& k) const {
        return Hoard::KeyOps<CounterRecords::Key, CounterRecords::Entry, false>::hash(k) & mask;
    }
};

class IndexDriver {
  public:
    using Slots = Hoard::SlotWriterTable<CounterRecords::Entry>;

    explicit IndexDriver(const std::string& tableName)
        : debug(Basalt::Platform::getDebugHandler("IndexDriver")),
          root(debug, tableName, true),
          rootReady((root.ensureDirectory(), true)),
          slots(debug, root, "Hoard::FlowTracker::FlowGroupCounterEntry", "IndexDriver", 1u << 16,
                false, true, counters, [this](std::uint32_t s) { ops.hashSeedIs(s); }),
          buckets(debug, root),
          index(debug, slots, buckets, ops, counters, true) {
        slots.attach(1);
        buckets.attach(1);
        index.attach();
    }

    // Inserts or overwrites; returns the slot.
    std::uint32_t write(const CounterRecords::Entry& e) {
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

    // Removes key's record; returns the slot it freed, nothing when there was none.
    std::optional<std::uint32_t> remove(const CounterRecords::Key& key) {
        const std::uint32_t h = index.hash(key);
        std::uint64_t* prev = nullptr;
        std::uint32_t curr = 0;
        if (!index.find(key, index.bucketOf(h), prev, curr, h)) return std::nullopt;
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
        return curr;
    }

    std::shared_ptr<Basalt::Platform::DebugHandler> debug;
    Mem::RootPath root;
    bool rootReady;
    Hoard::Writer::Counters counters;
    MaskedOps ops;
    Slots slots;
    Hoard::BucketWriterTable buckets;
    Hoard::WriterHashMap<MaskedOps> index;
};

}  // namespace TestSupport
