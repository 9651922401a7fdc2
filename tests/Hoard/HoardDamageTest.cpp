// The writer's index, driven by IndexDriver: order by (rhash, key) holds through bucket doubling
// and halving (across changes: HoardReaderTest's ReusedSlotTest). Damage to the index walk, the
// free list, the queue or the slot file's size is named by the validator's first finding, and a
// reader in another process reports it as corruption, never a crash, a hang or a foreign record.
// (HoardctlTest validates a damaged table on read-only mappings: the validator writes nothing.)

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Hoard/Validator.h"
#include "Hoard/WriterHashMap.h"
#include "contracts/Herald/HeraldWriter.h"
#include "contracts/HoardBase/BucketTable.h"
#include "contracts/HoardBase/Hash.h"
#include "tests/support/Processes.h"
#include "tests/support/SelfCheckingRecords.h"
#include "tests/support/ShmRoot.h"

namespace {

using namespace TestSupport;
using Herald::HeraldView;
using Hoard::HeraldPos;
using Hoard::SlotLink;
using Hoard::SlotTable;
using Queue = Herald::HeraldWriter<std::uint32_t, HeraldPos>;

// Counter-table key operations whose hash keeps only `mask` bits, so tests can force equal hashes.
struct MaskedOps : Hoard::KeyOps<CounterRecords::Key, CounterRecords::Entry, false> {
    std::uint32_t mask = 0xFFFFFFFFu;
    std::uint32_t hash(const CounterRecords::Key& k) const {
        return Hoard::KeyOps<CounterRecords::Key, CounterRecords::Entry, false>::hash(k) & mask;
    }
};

// A minimal counter-table writer: a slot file, a bucket file and the index, linking records in
// the table writer's store order (value, rhash and status, then the new slot's link, then its
// predecessor's), so readers and validators see realistic files.
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
            Mem::Atomics::storeRelease(slot.head.status, slot.head.status + SlotTable::writeStep);
            return curr;
        }
        const std::uint32_t index_ = slots.alloc(h);
        // alloc may have grown (and remapped) the file: find the insertion point again.
        index.find(e.key(), index.bucketOf(h), prev, curr, h);
        auto& slot = slots.slots()[index_];
        Hoard::storeSlotValue(slot, e);
        Mem::Atomics::storeRelease(slot.head.status,
                                   (slot.head.status + SlotTable::writeStep) | SlotTable::occupied);
        const SlotLink p = SlotLink::load(*prev);
        const SlotLink own = SlotLink::load(slot.head.link);
        SlotLink::store(slot.head.link, SlotLink{own.seq + 4, p.next});
        SlotLink::store(*prev, SlotLink{p.seq + 4, index_});
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
        const SlotLink p = SlotLink::load(*prev);
        const SlotLink own = SlotLink::load(slot.head.link);
        SlotLink::store(*prev, SlotLink{p.seq + 4, own.next});
        Mem::Atomics::storeRelease(slot.head.status, slot.head.status & ~SlotTable::occupied);
        auto* hd = slots.header();
        SlotLink::store(slot.head.link, SlotLink{own.seq + 4, hd->freeSlots});
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

// The ids of the records, in iteration order.
std::vector<std::uint32_t> iterate(IndexDriver& d) {
    std::vector<std::uint32_t> out;
    CounterRecords::Entry e;
    Hoard::IterHint hint;
    for (bool more = d.index.first(0, e, hint); more; more = d.index.next(e.key(), e, hint)) {
        out.push_back(static_cast<std::uint32_t>(e.flowEntry().expiredFlows()));
        if (out.size() > d.slots.capacity()) break;
    }
    return out;
}

// With distinct hashes, and with only four hashes for 300 keys: every record is found, iteration is
// sorted by (rhash, key) through bucket doubling and halving, and two buckets never shrink.
TEST(WriterHashMapTest, IterationStaysSortedByRhashAndKeyWhileBucketsDoubleAndHalve) {
    ShmRoot shm;
    for (const std::uint32_t mask : {0xFFFFFFFFu, 0x3u}) {
        SCOPED_TRACE(mask);
        IndexDriver d("t/index-" + std::to_string(mask));
        d.ops.mask = mask;
        for (std::uint32_t i = 1; i <= 300; ++i) {
            d.write(CounterRecords::make(i, 1));
            EXPECT_TRUE(i > 3 || d.index.numBuckets() == (i < 3 ? 2u : 4u)) << i;  // grows at N + 1
        }
        bool found = false;
        for (std::uint32_t i = 1; i <= 300; ++i) {
            const CounterRecords::Entry* v = d.index.lookup(CounterRecords::key(i), found);
            ASSERT_TRUE(found && *v == CounterRecords::make(i, 1)) << i;
        }
        const auto full = iterate(d);
        ASSERT_EQ(full.size(), 300u);
        for (std::size_t i = 1; i < full.size(); ++i) {
            const auto a = CounterRecords::key(full[i - 1]), b = CounterRecords::key(full[i]);
            const auto ra = Basalt::Util::reverse(d.index.hash(a));
            const auto rb = Basalt::Util::reverse(d.index.hash(b));
            ASSERT_TRUE(ra < rb || (ra == rb && a < b)) << i;
        }
        // Removing down to 20 records halves the buckets; the survivors keep their order.
        for (std::uint32_t i = 21; i <= 300; ++i) ASSERT_TRUE(d.remove(CounterRecords::key(i)));
        EXPECT_LT(d.index.numBuckets(), 128u);
        std::vector<std::uint32_t> expected;
        std::ranges::copy_if(full, std::back_inserter(expected), [](auto id) { return id <= 20; });
        EXPECT_EQ(iterate(d), expected);
        for (std::uint32_t i = 1; i <= 20; ++i) ASSERT_TRUE(d.remove(CounterRecords::key(i)));
        EXPECT_EQ(d.index.numBuckets(), 2u);
        EXPECT_EQ(d.index.shrinkThreshold(), 0u);
        EXPECT_TRUE(iterate(d).empty());
    }
}

// ---- Damaged tables -----------------------------------------------------------------------------

constexpr const char* tableName = "t/validated";
constexpr std::uint32_t fenix = 1;

// The table the recipes break: IndexDriver plus a queue told of every write and removal. 70
// records and 58 free slots of 128; the queue's ring of 64 holds the last 24 removals of ids
// 71..100 (six are lapped) and the overwrites of ids 1..40; the positions of ids 41..70 are
// lapped. Undamaged, it passes the validator. A fenix file lets readers attach.
struct Victim {
    Victim() : d(tableName), herald(d.debug, d.root, 64) {
        herald.attach(fenix);
        SharedMem::FenixFile(d.debug, d.root).write(SharedMem::FenixId(fenix));
        for (auto k = 1u; k <= 100; ++k) write(k);
        for (auto k = 71u; k <= 100; ++k) herald.notify(d.remove(CounterRecords::key(k)).value());
        for (auto k = 1u; k <= 40; ++k) write(k);
        CounterRecords::Entry e;
        Hoard::IterHint hint;
        for (bool more = d.index.first(0, e, hint); more; more = d.index.next(e.key(), e, hint)) {
            if (!order.empty() && hint.bucket == bucketOf.back() && a == b) {
                a = order.back();
                b = hint.slot;
            }
            order.push_back(hint.slot);
            bucketOf.push_back(hint.bucket);
        }
        for (std::uint32_t i = header().freeSlots; i != SlotLink::endOfList; i = next(i)) {
            freeList.push_back(i);
        }
        auto inRing = [this](std::uint32_t s) { return view().inWindow(view().slotPosition(s)); };
        std::ranges::copy_if(order, std::back_inserter(ringed), inRing);
        std::ranges::copy_if(freeList, std::back_inserter(ringedFree), inRing);
        const auto notifiedFree = std::ranges::count_if(freeList, [this](std::uint32_t s) {
            return view().slotPosition(s) != Hoard::noHeraldPos;
        });
        EXPECT_TRUE(a != b && ringed.size() >= 2 && ringed.size() < 70 && !ringedFree.empty() &&
                    static_cast<std::size_t>(notifiedFree) > ringedFree.size());
    }
    void write(std::uint32_t id) { herald.notify(d.write(CounterRecords::make(id, 1))); }
    SlotTable::Header& header() { return *d.slots.header(); }
    std::uint32_t capacity() { return d.slots.capacity(); }
    IndexDriver::Slots::Slot& slot(std::uint32_t i) { return d.slots.slots()[i]; }
    template <class Q>
    Hoard::Validator<MaskedOps, Q> validator(const Q& queue) {
        return {d.debug, tableName, d.slots, d.buckets, d.index, queue};
    }
    std::uint32_t next(std::uint32_t slot) {
        return SlotLink::load(this->slot(slot).head.link).next;
    }
    void link(std::uint32_t slot, std::uint32_t next) {
        auto& word = this->slot(slot).head.link;
        SlotLink::store(word, SlotLink{SlotLink::load(word).seq + 4, next});
    }
    std::uint32_t bucketOfKey(const CounterRecords::Key& key) {
        return d.index.bucketOf(d.index.hash(key));
    }

    // The queue's file, through the writer's own read-write mapping.
    HeraldView view() const { return herald.view(); }
    unsigned char* ring() {
        return const_cast<unsigned char*>(static_cast<const unsigned char*>(view().base())) +
               HeraldView::headerSize;
    }
    // Makes the cell of position `p` a live notification `seq` of `slot`.
    void cellIs(HeraldPos p, std::uint32_t slot, HeraldPos seq = 0) {
        reinterpret_cast<std::uint64_t*>(ring())[view().indexOf(p)] =
            HeraldView::Cell::encode(seq ? seq : p, slot, false);
    }
    HeraldPos& position(std::uint32_t slot) {
        return reinterpret_cast<HeraldPos*>(ring() +
                                            view().ringSize() * HeraldView::cellSize)[slot];
    }
    // Rewrites the first bucket entry whose target satisfies `which`; returns its bucket.
    std::uint32_t rebucket(bool (*which)(std::uint32_t), std::uint32_t to) {
        std::uint32_t bucket = 0;
        while (!which(SlotLink::load(d.buckets.entry(bucket)).next)) ++bucket;
        d.buckets.linkIs(bucket, SlotLink{1000, to});
        return bucket;
    }
    std::string cutSlots(std::size_t bytes) {
        ::truncate(d.slots.fileName().c_str(), static_cast<off_t>(bytes));
        return "";
    }

    IndexDriver d;
    Queue herald;
    std::vector<std::uint32_t> order;       // occupied slots in iteration order
    std::vector<std::uint32_t> bucketOf;    // the bucket of each
    std::vector<std::uint32_t> freeList;    // free slots in list order
    std::vector<std::uint32_t> ringed;      // occupied slots, in order, positioned in the ring
    std::vector<std::uint32_t> ringedFree;  // free slots, in list order, positioned in the ring
    std::uint32_t a = 0, b = 0;             // two records of one run, b following a
    // Set by next()'s search rows: the key a hintless next() starts from, the report it gives.
    std::optional<CounterRecords::Key> probe;
    std::string probeReport;
};

// The table's queue, with its own check switched off when `ownCheck` is false, so that the
// validator's cross checks meet damage that the queue's check would report first.
struct QueueUnderTest {
    static constexpr bool isDummy = false;
    bool validate(std::uint32_t f, std::uint32_t mostSlots, std::string& error) const {
        return !ownCheck || queue.validate(f, mostSlots, error);
    }
    HeraldView view() const { return queue.view(); }
    const Queue& queue;
    bool ownCheck;
};

std::string str(std::uint64_t n) { return std::to_string(n); }

// What a reader in another process makes of the damage; every row that runs one also requires
// that nothing crashes, hangs, or returns a torn or foreign record.
enum ReaderSees {
    notRun,       // the damage is in what readers never read
    lookups,      // some lookup of the damaged run raises, and both iterations do
    iterations,   // both iterations raise (lookups stop at bucket markers)
    nextsSearch,  // the hintless next() from the probe raises the probe's report
    refused,      // initialize refuses the table
};

struct Damage {
    const char* name;
    // The validator's first finding starts with it, then the text the recipe returns; nullptr
    // for a cut slot file, which would fault the validator's own mappings.
    const char* finding;
    bool queueOwnCheck;
    ReaderSees reader;
    std::function<std::string(Victim&)> recipe;
};

// clang-format off
const Damage damages[] = {
    // The index walk: every record once, in its own bucket with its own rhash, up to the count.
    {"LoopInARun", "Validator::markOccupied() duplicate slot: ", true, lookups,
     [](Victim& v) { v.link(v.b, v.a); return str(v.a); }},
    {"SlotLinkingToItself", "Validator::markOccupied() duplicate slot: ", true, lookups,
     [](Victim& v) { v.link(v.a, v.a); return str(v.a); }},
    {"LinkBeyondTheSlots", "SlotWriter::Slots::operator[] out-of-range index: ", true, lookups,
     [](Victim& v) { v.link(v.a, v.capacity() + 7); return str(v.capacity() + 7); }},
    {"BucketEntryBeyondTheSlots", "BucketWriter::validate() bucket:", true, lookups,
     [](Victim& v) { const std::uint32_t b = v.rebucket(SlotLink::isSlot, 0x7FFFFFF0u);
                     return str(b) + " next slot:" + str(0x7FFFFFF0u) + " out of range"; }},
    {"BucketMarkerBeyondTheBuckets", "BucketWriter::validate() bucket:", true, iterations,
     [](Victim& v) { const std::uint32_t n = v.d.index.numBuckets();
                     const std::uint32_t b = v.rebucket(SlotLink::isBucketMarker,
                                                        SlotLink::bucketMarker(n + 3));
                     return str(b) + " next bucket:" + str(n + 3) + " out of range"; }},
    {"LinkedSlotNotOccupied", "WriterHashMap::next() slot: ", true, lookups,
     [](Victim& v) { v.slot(v.b).head.status &= ~SlotTable::occupied;
                     return str(v.b) + " not marked as occupied"; }},
    {"KeyInTheWrongBucket", "WriterHashMap::first() corrupt key detected, slot: ", true, notRun,
     [](Victim& v) { std::uint32_t k = 1000;
                     while (v.bucketOfKey(CounterRecords::key(k)) == v.bucketOf[0]) ++k;
                     Hoard::storeSlotValue(v.slot(v.order[0]), CounterRecords::make(k, 1));
                     return str(v.order[0]) + " when there are numBuckets: " +
                            str(v.d.index.numBuckets()); }},
    // next() whose hint no longer holds searches its key's run again (the slow path); that
    // search reports a run a damaged file leads astray, as a lookup does, instead of iterating.
    {"NextsSearchMeetsAKeyOfAnotherBucket", "WriterHashMap::next() corrupt key detected, slot: ",
     true, nextsSearch,
     [](Victim& v) { v.probe = v.slot(v.a).value.key();
                     v.probeReport = "HoardReader::doNext() corrupt key detected. key:";
                     // Another bucket under half the count too: the rhash order still holds.
                     const std::uint32_t half = v.d.index.numBuckets() / 2 - 1;
                     std::uint32_t k = 1000;
                     while ((v.bucketOfKey(CounterRecords::key(k)) & half) ==
                            (v.bucketOfKey(*v.probe) & half)) ++k;
                     Hoard::storeSlotValue(v.slot(v.b), CounterRecords::make(k, 1));
                     return str(v.b); }},
    {"RunEndsInAMarkerToItsOwnBucket", "WriterHashMap::verifyNextBucket() has bucket: ", true,
     nextsSearch,
     [](Victim& v) { std::size_t i = 0;
                     while (!SlotLink::isBucketMarker(v.next(v.order[i]))) ++i;
                     const std::string own = str(v.bucketOf[i]);
                     v.link(v.order[i], SlotLink::bucketMarker(v.bucketOf[i]));
                     v.probe = v.slot(v.order[i]).value.key();
                     v.probeReport = "HoardReader::verifyNextBucket() has bucket:" + own +
                                     " with next bucket:" + own;
                     return own + " with next bucket: " + own; }},
    // Bucket 0 comes first in the order, so no run ends in a marker to it: a reader that
    // followed one would start the iteration over (found by fuzzing the readers).
    {"LastRunEndsInAMarkerToBucketZero", "BucketWriter::validate() bucket:", true, iterations,
     [](Victim& v) { const std::uint32_t last = v.d.buckets.count() - 1;  // an empty run
                     v.d.buckets.linkIs(last, SlotLink{1000, SlotLink::bucketMarker(0)});
                     return str(last) + " next bucket:0, expected the end of the table"; }},
    // A record whose rhash is not its key's (found by fuzzing the readers: a lookaside copy of
    // another key): a hintless next() from its key must not return it again.
    {"RecordStoresAnotherRhash", "WriterHashMap::next() corrupt rhash detected, slot: ", true,
     nextsSearch,
     [](Victim& v) { v.slot(v.b).head.rhash += 1;
                     v.probe = v.slot(v.b).value.key();
                     v.probeReport = "HoardReader::doNext() corrupt rhash detected, slot:" + str(v.b);
                     return str(v.b); }},
    {"HeaderCountsOneRecordTooFew", "Validator::walkOccupiedSlots() walkedSlots:", true, notRun,
     [](Victim& v) { const auto n = v.header().occupiedSlots--;
                     return str(n) + " is greater than header->occupiedSlots:" + str(n - 1); }},
    // The slot file's size.
    {"EmptySlotFile", nullptr, true, refused, [](Victim& v) { return v.cutSlots(0); }},
    {"SlotFileCutInsideTheHeader", nullptr, true, refused,
     [](Victim& v) { return v.cutSlots(100); }},
    {"SlotFileCutAfterTenSlots", nullptr, true, refused,
     [](Victim& v) { return v.cutSlots(sizeof(SlotTable::Header) + 11 * sizeof(v.slot(0))); }},
    // The free list: bounded by the slot count, each slot once, none of them a record.
    {"FreeListLoops", "Validator::walkFreeSlots() duplicate freeSlot detected: ", true, notRun,
     [](Victim& v) { v.link(v.freeList.back(), v.freeList[0]); return str(v.freeList[0]); }},
    {"FreeListBeyondNumSlots",
     "Validator::walkFreeSlots() corrupted free slot detected with out of bound index: ", true,
     notRun,
     [](Victim& v) { v.link(v.freeList[3], v.capacity() + 5); return str(v.capacity() + 5); }},
    {"FreeListAtNumSlots", "SlotWriter::Slots::operator[] out-of-range index: ", true, notRun,
     [](Victim& v) { v.link(v.freeList[3], v.capacity()); return str(v.capacity()); }},
    {"SlotBothFreeAndLinked",
     "Validator::walkFreeSlots() corrupted free slot not marked as empty: ", true, notRun,
     [](Victim& v) { v.link(v.freeList[3], v.order[0]); return str(v.order[0]); }},
    // The queue against the slots: the queue's own check runs first, the cross checks after it.
    {"NotificationForTheWrongSlotMeetsTheQueuesOwnCheck", "herald cell ", true, notRun,
     [](Victim& v) { const HeraldPos p = v.position(v.ringed[0]); v.cellIs(p, v.ringed[1]);
                     return str(v.view().indexOf(p)) + " sequence " + str(p) + " slot " +
                            str(v.ringed[1]) + " live"; }},
    {"NotificationForTheWrongSlot", "Validator::markOccupied() slot:", false, notRun,
     [](Victim& v) { const HeraldPos p = v.position(v.ringed[0]); v.cellIs(p, v.ringed[1]);
                     return str(v.ringed[0]) + " bad notification:" + str(p); }},
    // ringed[1] is walked after ringed[0].
    {"DuplicateHeraldPosition", "Validator::markOccupied() slot:", false, notRun,
     [](Victim& v) { const HeraldPos p = v.position(v.ringed[1]) = v.position(v.ringed[0]);
                     return str(v.ringed[1]) + " duplicate herald position:" + str(p); }},
    {"OccupiedSlotPositionBeyondTheSequence", "Validator::markOccupied() slot:", false, notRun,
     [](Victim& v) { const HeraldPos p = v.position(v.order[0]) = v.view().sequence() + 9;
                     return str(v.order[0]) + " bad herald index:" + str(p); }},
    {"OccupiedSlotOnADeletedNotification", "Validator::doValidate() occupied slot:", false, notRun,
     [](Victim& v) { const HeraldPos p = std::exchange(v.position(v.ringed[0]), 1);  // lapped
                     return str(v.ringed[0]) + " on deleted notification:" + str(p); }},
    {"ActiveTombstone", "Validator::doValidate() active tombstone pos:", true, notRun,
     [](Victim& v) { v.herald.tombstone(v.order[0]); return str(v.view().sequence()); }},
    {"NotificationOutsideTheWindow", "Validator::doValidate() corral pos:", false, notRun,
     [](Victim& v) { const std::uint32_t s = v.ringed[0];
                     const HeraldPos p = std::exchange(v.position(s), 1);
                     v.cellIs(p, s, p - 64);
                     return str(p) + " seq:" + str(p - 64) + " slot:" + str(s) +
                            " heraldPos:" + str(p); }},
    {"LiveNotificationOfASlotRecordingAnother", "Validator::doValidate() herald pos:", false,
     notRun,
     [](Victim& v) { const std::uint32_t f = v.ringedFree[0];
                     const HeraldPos p = std::exchange(v.position(f), Hoard::noHeraldPos);
                     return str(p) + " has slot:" + str(f) + " seq:" + str(p) +
                            " with wrong heraldSlot:0"; }},
    {"FreeSlotPositionBeyondTheSequence", "Validator::walkFreeSlots() slot index: ", false, notRun,
     [](Victim& v) { const HeraldPos p = v.position(v.freeList[0]) = v.view().sequence() + 9;
                     return str(v.freeList[0]) + " has out of range herald slot:" + str(p); }},
    {"FreeSlotNotificationForAnotherSlot", "Validator::walkFreeSlots() slot index: ", false,
     notRun,
     [](Victim& v) { const std::uint32_t f = v.ringedFree[0]; v.cellIs(v.position(f), v.order[0]);
                     return str(f) + " has slot:" + str(v.order[0]) + " with wrong herald slot:" +
                            str(v.position(f)); }},
};
// clang-format on

// A failing row is named by its name, not by its bytes.
void PrintTo(const Damage& d, std::ostream* os) { *os << d.name; }

// The corruption reports of the reader process, by operation. Thread safety: written by that
// process only, read by the test after it exited.
struct Seen {
    std::atomic<std::uint32_t> initialized{0}, next{0}, lookups{0}, iterations{0};
};

// The reader initializes, runs the probe, looks many ids up (the records and absent ids enough
// to fall behind the damage in any run) and iterates twice; each operation answers or raises
// corruption, counted in `seen` (report.fail("") records nothing).
bool readDamaged(const Victim& v, Seen& seen, ChildReport& report) {
    CounterRecords::Reader r(recordsDebug(), tableName, {});
    if (!r.initialize("damaged")) return true;
    seen.initialized = 1;
    auto attempt = [&](std::atomic<std::uint32_t>& reports, auto&& op) -> std::string {
        try {
            op();
            return "";
        } catch (const Basalt::CorruptionDetectedException& e) {
            ++reports;
            return e.what();
        }
    };
    CounterRecords::Entry e;
    Hoard::IterHint none;  // no hint: the step searches the run
    const std::string probed =
        !v.probe ? "" : attempt(seen.next, [&] { r.next(*v.probe, e, none); });
    if (probed.rfind(v.probeReport, 0) != 0) report.fail("next() reported " + probed);
    for (std::uint32_t id = 0; id < 20000; ++id) {
        attempt(seen.lookups, [&] { generationOf<CounterRecords>(r, id); });  // throws if torn
    }
    auto any = [](std::uint32_t, std::uint64_t) { return ""; };
    for (int pass = 0; pass < 2; ++pass) {
        attempt(seen.iterations, [&] { report.fail(walk<CounterRecords>(r, 200, any)); });
    }
    return report.text[0] == 0;
}

// Runs readDamaged in a process and checks what it saw against `want`.
void readDamagedIn(const Victim& v, ReaderSees want) {
    if (want == notRun) return;
    SharedPage<Seen> seen;
    Processes p;
    p.start("reader", [&](ChildReport& report) { return readDamaged(v, *seen, report); });
    ASSERT_EQ(p.wait(0), "");
    EXPECT_EQ(seen->initialized != 0, want != refused) << "initialized";
    EXPECT_TRUE(want != lookups || seen->lookups >= 1u) << "no lookup reported it";
    EXPECT_TRUE((want != lookups && want != iterations) || seen->iterations == 2u)
        << seen->iterations << " iterations reported it";
    EXPECT_TRUE(want != nextsSearch || seen->next == 1u);
}

class HoardDamageTest : public ::testing::TestWithParam<Damage> {
  protected:
    ShmRoot shm;
};

TEST_P(HoardDamageTest, IsTheValidatorsFirstFindingAndAReadersCorruption) {
    const Damage& damage = GetParam();
    Victim v;
    const QueueUnderTest queue{v.herald, damage.queueOwnCheck};
    ASSERT_TRUE(v.validator(queue).validate(fenix)) << "undamaged";
    const std::string expected = (damage.finding ? damage.finding : "") + damage.recipe(v);
    if (damage.finding) {
        auto validator = v.validator(queue);
        EXPECT_FALSE(validator.validate(fenix));
        EXPECT_EQ(validator.error().rfind(expected, 0), 0u)
            << "expected: " << expected << "\n     got: " << validator.error();
    }
    readDamagedIn(v, damage.reader);
}

INSTANTIATE_TEST_SUITE_P(Damages, HoardDamageTest, ::testing::ValuesIn(damages),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
