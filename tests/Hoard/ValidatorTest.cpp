// The table validator: consistent tables pass through growth, bucket doubling and halving and
// churn, with and without a notification queue; every kind of damage to the slot file, the
// bucket file or the queue is reported with its own message, without a hang, a crash or a write
// to the table; and another process validates a table through read-only mappings.

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "Hoard/Validator.h"
#include "contracts/Herald/DummyHeraldWriter.h"
#include "contracts/Herald/HeraldReader.h"
#include "contracts/Herald/HeraldWriter.h"
#include "tests/support/Fork.h"
#include "tests/support/IndexDriver.h"
#include "tests/support/Seed.h"
#include "tests/support/ShmRoot.h"
#include "tests/support/TraceCapture.h"

namespace {

using Herald::HeraldView;
using Hoard::HeraldPos;
using Hoard::SlotLink;
using Hoard::SlotTable;
using TestSupport::CounterEntry;
using TestSupport::counterEntry;
using TestSupport::CounterKey;
using TestSupport::IndexDriver;
using TestSupport::MaskedOps;
using Queue = Herald::HeraldWriter<std::uint32_t, HeraldPos>;

constexpr const char* tableName = "t/validated";
constexpr std::uint32_t fenix = 1;

// IndexDriver plus a notification queue told of every write and removal, as a counter table's
// writer tells its queue (with Herald::DummyHeraldWriter: a flow table's no-op queue).
template <class Q>
struct Table {
    Table(const std::string& name, std::uint32_t ringSize)
        : d(name), herald(d.debug, d.root, ringSize) {
        herald.attach(fenix);
    }
    void write(std::uint32_t key) { herald.notify(d.write(counterEntry(key))); }
    void remove(std::uint32_t key) {
        const CounterKey k = counterEntry(key).key();
        const std::uint32_t h = d.index.hash(k);
        std::uint64_t* prev = nullptr;
        std::uint32_t slot = 0;
        if (d.index.find(k, d.index.bucketOf(h), prev, slot, h) && d.remove(k)) herald.notify(slot);
    }
    SlotTable::Header& header() { return *d.slots.header(); }
    IndexDriver::Slots::Slot& slot(std::uint32_t i) { return d.slots.slots()[i]; }

    IndexDriver d;
    Q herald;
};

template <class H>
using ValidatorOf = Hoard::Validator<MaskedOps, H>;

template <class Q, class H>
ValidatorOf<H> validatorOf(Table<Q>& t, const H& herald) {
    return ValidatorOf<H>(t.d.debug, tableName, t.d.slots, t.d.buckets, t.d.index, herald);
}

class ValidatorTest : public ::testing::Test {
  protected:
    TestSupport::ShmRoot shm;
};

// ---- Consistent tables pass ----------------------------------------------------------------

template <class Q>
void expectValid(Table<Q>& t, const std::string& when) {
    auto v = validatorOf(t, t.herald);
    ASSERT_TRUE(v.validate(fenix)) << when << ": " << v.error();
    EXPECT_EQ(v.occupiedCount(), t.header().occupiedSlots) << when;
    EXPECT_EQ(v.occupiedCount() + v.freeCount(), t.d.slots.capacity()) << when;
}

template <class Q>
void growHalveAndChurn(const std::string& name, std::uint32_t ringSize) {
    Table<Q> t(name, ringSize);
    expectValid(t, "empty");
    for (std::uint32_t k = 1; k <= 300; ++k) t.write(k);
    ASSERT_EQ(t.d.index.numBuckets(), 512u);
    expectValid(t, "after growth");
    for (std::uint32_t k = 21; k <= 300; ++k) t.remove(k);
    ASSERT_LT(t.d.index.numBuckets(), 128u);
    expectValid(t, "after the buckets halved");
    std::mt19937_64 rng(TestSupport::testSeed("ValidatorTest churn"));
    for (int step = 1; step <= 3000; ++step) {
        const auto key = static_cast<std::uint32_t>(rng() % 400 + 1);
        if (rng() % 3 == 0) {
            t.remove(key);
        } else {
            t.write(key);
        }
        if (step % 500 == 0) expectValid(t, "churn step " + std::to_string(step));
    }
}

TEST_F(ValidatorTest, ATableWithoutQueuePassesThroughGrowthHalvingAndChurn) {
    growHalveAndChurn<Herald::DummyHeraldWriter>("t/flow", 0);
}

TEST_F(ValidatorTest, ATableWithQueuePassesWhetherItsPositionsAreInTheRingOrLapped) {
    growHalveAndChurn<Queue>("t/lapped", 16);
    growHalveAndChurn<Queue>("t/ringed", 1u << 14);
}

// ---- Damage is reported --------------------------------------------------------------------

// The table the damage recipes break: 80 records and 48 free slots of 128; the queue's ring of
// 64 holds the removals of keys 81..100 (now free slots) and the overwrites of keys 1..30,
// while the positions of keys 31..80 are lapped.
struct Victim {
    Victim() : t(tableName, 64) {
        for (std::uint32_t k = 1; k <= 100; ++k) t.write(k);
        for (std::uint32_t k = 81; k <= 100; ++k) t.remove(k);
        for (std::uint32_t k = 1; k <= 30; ++k) t.write(k);
        CounterEntry e;
        Hoard::IterHint hint;
        for (bool more = t.d.index.first(0, e, hint); more;
             more = t.d.index.next(e.key(), e, hint)) {
            order.push_back(hint.slot);
            bucketOf.push_back(hint.bucket);
        }
        for (std::uint32_t i = t.header().freeSlots; i != SlotLink::endOfList;
             i = SlotLink::load(t.slot(i).head.link).next) {
            freeList.push_back(i);
        }
    }

    std::uint32_t capacity() { return t.d.slots.capacity(); }
    void link(std::uint32_t slot, std::uint32_t next) {
        auto& word = t.slot(slot).head.link;
        SlotLink::store(word, SlotLink{SlotLink::load(word).seq + 4, next});
    }
    // Two records of one run, the second following the first.
    std::pair<std::uint32_t, std::uint32_t> runPair() {
        for (std::size_t i = 1; i < order.size(); ++i) {
            if (bucketOf[i] == bucketOf[i - 1]) return {order[i - 1], order[i]};
        }
        ADD_FAILURE() << "no run holds two records";
        return {order[0], order[1]};
    }

    // The queue's file, through the writer's own read-write mapping.
    unsigned char* queueFile() {
        return const_cast<unsigned char*>(static_cast<const unsigned char*>(view().base()));
    }
    HeraldView view() const { return t.herald.view(); }
    std::uint64_t& cell(HeraldPos p) {
        return reinterpret_cast<std::uint64_t*>(queueFile() +
                                                HeraldView::headerSize)[view().indexOf(p)];
    }
    HeraldPos& position(std::uint32_t slot) {
        return reinterpret_cast<HeraldPos*>(queueFile() + HeraldView::headerSize +
                                            view().ringSize() * HeraldView::cellSize)[slot];
    }
    // Slots, in walk or free-list order, whose queue position the ring holds (or not).
    std::vector<std::uint32_t> queued(const std::vector<std::uint32_t>& slots, bool inRing) {
        std::vector<std::uint32_t> out;
        for (std::uint32_t s : slots) {
            if (view().inWindow(view().slotPosition(s)) == inRing) out.push_back(s);
        }
        EXPECT_GE(out.size(), 2u);
        return out;
    }

    Table<Queue> t;
    std::vector<std::uint32_t> order;     // occupied slots in iteration order
    std::vector<std::uint32_t> bucketOf;  // the bucket of each
    std::vector<std::uint32_t> freeList;  // free slots in list order
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

struct Damage {
    const char* name;
    // Breaks the table; returns the text expected right after `message`.
    std::function<std::string(Victim&)> breakTable;
    const char* message;
    bool queueOwnCheck = true;
};

void PrintTo(const Damage& d, std::ostream* os) { *os << d.name; }

const Damage damages[] = {
    // The index walk.
    {"LoopInARun",
     [](Victim& v) {
         const auto [a, b] = v.runPair();
         v.link(b, a);
         return str(a);
     },
     "Validator::markOccupied() duplicate slot: "},
    {"UnoccupiedSlotInARun",
     [](Victim& v) {
         const std::uint32_t b = v.runPair().second;
         v.t.slot(b).head.status &= ~SlotTable::occupied;
         return str(b) + " not marked as occupied";
     },
     "WriterHashMap::next() slot: "},
    {"KeyInTheWrongBucket",
     [](Victim& v) {
         std::uint32_t k = 1000;
         while (v.t.d.index.bucketOf(v.t.d.index.hash(counterEntry(k).key())) == v.bucketOf[0]) ++k;
         Hoard::storeSlotValue(v.t.slot(v.order[0]), counterEntry(k));
         return str(v.order[0]) + " when there are numBuckets: " + str(v.t.d.index.numBuckets());
     },
     "WriterHashMap::first() corrupt key detected, slot: "},
    {"WrongRhash",
     [](Victim& v) {
         const std::uint32_t b = v.runPair().second;
         v.t.slot(b).head.rhash ^= 1;
         return str(b);
     },
     "WriterHashMap::next() corrupt rhash detected, slot: "},
    {"RunEndNamesTheWrongBucket",
     [](Victim& v) {
         for (std::size_t i = 0; i < v.order.size(); ++i) {
             const std::uint32_t next = SlotLink::load(v.t.slot(v.order[i]).head.link).next;
             if (!SlotLink::isBucketMarker(next)) continue;
             const std::uint32_t wrong = SlotLink::markerBucket(next) ^ 1;
             v.link(v.order[i], SlotLink::bucketMarker(wrong));
             return str(v.bucketOf[i]) + " with next bucket: " + str(wrong);
         }
         return std::string("no run end found");
     },
     "WriterHashMap::verifyNextBucket() has bucket: "},
    {"LinkBeyondTheTable",
     [](Victim& v) {
         v.link(v.order[0], v.capacity() + 7);
         return str(v.capacity() + 7);
     },
     "SlotWriter::Slots::operator[] out-of-range index: "},
    {"StuckLookasideBit",
     [](Victim& v) {
         // Reached by the index's fast path, which retries errors by its slow path.
         auto& status = v.t.slot(v.runPair().second).head.status;
         status |= SlotTable::lookaside;
         std::ostringstream os;
         os << std::hex << status;
         return os.str();
     },
     "Validator::markOccupied() stuck LOOKASIDE bit: 0x"},
    // The bucket file's own check.
    {"EmptyBucketNamesTheWrongBucket",
     [](Victim& v) {
         for (std::uint32_t b = 0; b < v.t.d.index.numBuckets(); ++b) {
             const std::uint32_t next = v.t.d.buckets[b].next;
             if (!SlotLink::isBucketMarker(next)) continue;
             v.t.d.buckets.linkIs(b, {4, SlotLink::bucketMarker(SlotLink::markerBucket(next) ^ 1)});
             return str(b);
         }
         return std::string("no empty bucket found");
     },
     "BucketWriter::validate() bucket:"},
    {"BucketEntryBeyondTheTable",
     [](Victim& v) {
         for (std::uint32_t b = 0;; ++b) {
             if (!SlotLink::isSlot(v.t.d.buckets[b].next)) continue;
             v.t.d.buckets.linkIs(b, {4, v.capacity() + 7});
             return str(b) + " next slot:" + str(v.capacity() + 7) + " out of range";
         }
     },
     "BucketWriter::validate() bucket:"},
    // The free list and the counts.
    {"FreeListLoops",
     [](Victim& v) {
         v.link(v.freeList.back(), v.freeList.front());
         return str(v.freeList.front());
     },
     "Validator::walkFreeSlots() duplicate freeSlot detected: "},
    {"FreeListBeyondNumSlots",
     [](Victim& v) {
         v.link(v.freeList[3], v.capacity() + 5);
         return str(v.capacity() + 5);
     },
     "Validator::walkFreeSlots() corrupted free slot detected with out of bound index: "},
    {"FreeListAtNumSlots",
     [](Victim& v) {
         v.link(v.freeList[3], v.capacity());
         return str(v.capacity());
     },
     "SlotWriter::Slots::operator[] out-of-range index: "},
    {"FreeListHeadBeyondNumSlots",
     [](Victim& v) {
         v.t.header().freeSlots = v.capacity() + 5;
         return str(v.capacity() + 5);
     },
     "SlotTable::Header::validate() bad freeSlots: "},
    {"SlotBothFreeAndLinked",
     [](Victim& v) {
         v.link(v.freeList[3], v.order[0]);
         return str(v.order[0]);
     },
     "Validator::walkFreeSlots() corrupted free slot not marked as empty: "},
    {"SlotOnNeitherList",
     [](Victim& v) {
         v.link(v.freeList[3], SlotLink::endOfList);
         return str(v.order.size() + 4) + " occupiedSlots:" + str(v.order.size()) +
                " freeSlots:4 capacity:" + str(v.capacity());
     },
     "Validator::doValidate() bad slotCount:"},
    {"HeaderCountsOneRecordTooMany",
     [](Victim& v) {
         v.t.header().occupiedSlots += 1;
         return str(v.order.size() + 1) + " count:" + str(v.order.size());
     },
     "Validator::walkOccupiedSlots() mismatch header->occupiedSlots:"},
    {"HeaderCountsOneRecordTooFew",
     [](Victim& v) {
         v.t.header().occupiedSlots -= 1;
         return str(v.order.size()) +
                " is greater than header->occupiedSlots:" + str(v.order.size() - 1);
     },
     "Validator::walkOccupiedSlots() walkedSlots:"},
    {"HeaderChecksum",
     [](Victim& v) {
         v.t.header().maxSlots += 1;
         return std::string();
     },
     "SlotTable::Header::validate() checksum fail: "},
    // The queue against the slots.
    {"NotificationForTheWrongSlotMeetsTheQueuesOwnCheck",
     [](Victim& v) {
         const auto slots = v.queued(v.order, true);
         const HeraldPos p = v.view().slotPosition(slots[0]);
         v.cell(p) = HeraldView::Cell::encode(p, slots[1], false);
         return str(v.view().indexOf(p)) + " sequence " + str(p) + " slot " + str(slots[1]) +
                " live";
     },
     "herald cell "},
    {"NotificationForTheWrongSlot",
     [](Victim& v) {
         const auto slots = v.queued(v.order, true);
         const HeraldPos p = v.view().slotPosition(slots[0]);
         v.cell(p) = HeraldView::Cell::encode(p, slots[1], false);
         return str(slots[0]) + " bad notification:" + str(p);
     },
     "Validator::markOccupied() slot:", false},
    {"DuplicateHeraldPosition",
     [](Victim& v) {
         const auto slots = v.queued(v.order, true);  // walk order: slots[1] comes later
         const HeraldPos p = v.view().slotPosition(slots[0]);
         v.position(slots[1]) = p;
         return str(slots[1]) + " duplicate herald position:" + str(p);
     },
     "Validator::markOccupied() slot:", false},
    {"OccupiedSlotWithoutNotification",
     [](Victim& v) {
         const std::uint32_t s = v.queued(v.order, false)[0];  // lapped: the ring has no cell
         v.position(s) = Hoard::noHeraldPos;
         return str(s) + " bad herald index:0";
     },
     "Validator::markOccupied() slot:"},
    {"OccupiedSlotPositionBeyondTheSequence",
     [](Victim& v) {
         const std::uint32_t s = v.order[0];
         v.position(s) = v.view().sequence() + 9;
         return str(s) + " bad herald index:" + str(v.view().sequence() + 9);
     },
     "Validator::markOccupied() slot:", false},
    {"OccupiedSlotOnADeletedNotification",
     [](Victim& v) {
         const std::uint32_t s = v.queued(v.order, true)[0];
         const HeraldPos p = v.view().slotPosition(s);
         v.position(s) = 1;  // lapped
         return str(s) + " on deleted notification:" + str(p);
     },
     "Validator::doValidate() occupied slot:", false},
    {"ActiveTombstone",
     [](Victim& v) {
         v.t.herald.tombstone(v.order[0]);
         return str(v.view().sequence());
     },
     "Validator::doValidate() active tombstone pos:"},
    {"NotificationOutsideTheWindow",
     [](Victim& v) {
         const std::uint32_t s = v.queued(v.order, true)[0];
         const HeraldPos p = v.view().slotPosition(s);
         v.position(s) = 1;
         v.cell(p) = HeraldView::Cell::encode(p - 64, s, false);
         return str(p) + " seq:" + str(p - 64) + " slot:" + str(s) + " heraldPos:" + str(p);
     },
     "Validator::doValidate() corral pos:", false},
    {"LiveNotificationOfASlotRecordingAnother",
     [](Victim& v) {
         const std::uint32_t f = v.queued(v.freeList, true)[0];
         const HeraldPos p = v.view().slotPosition(f);
         v.position(f) = Hoard::noHeraldPos;
         return str(p) + " has slot:" + str(f) + " seq:" + str(p) + " with wrong heraldSlot:0";
     },
     "Validator::doValidate() herald pos:", false},
    {"FreeSlotPositionBeyondTheSequence",
     [](Victim& v) {
         const std::uint32_t f = v.freeList[0];
         v.position(f) = v.view().sequence() + 9;
         return str(f) + " has out of range herald slot:" + str(v.view().sequence() + 9);
     },
     "Validator::walkFreeSlots() slot index: ", false},
    {"FreeSlotNotificationForAnotherSlot",
     [](Victim& v) {
         const std::uint32_t f = v.queued(v.freeList, true)[0];
         const HeraldPos p = v.view().slotPosition(f);
         v.cell(p) = HeraldView::Cell::encode(p, v.order[0], false);
         return str(f) + " has slot:" + str(v.order[0]) + " with wrong herald slot:" + str(p);
     },
     "Validator::walkFreeSlots() slot index: ", false},
};

std::string fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class ValidatorDamageTest : public ::testing::TestWithParam<Damage> {
  protected:
    TestSupport::ShmRoot shm;
};

TEST_P(ValidatorDamageTest, IsReportedWithItsMessageAndNothingWritten) {
    Victim v;
    QueueUnderTest queue{v.t.herald, GetParam().queueOwnCheck};
    ASSERT_TRUE(validatorOf(v.t, queue).validate(fenix)) << "undamaged";
    const std::string expected = GetParam().message + GetParam().breakTable(v);
    const std::vector<std::string> paths = {v.t.d.slots.fileName(), v.t.d.buckets.path(),
                                            v.t.herald.path()};
    std::vector<std::string> before;
    for (const auto& p : paths) before.push_back(fileBytes(p));

    TestSupport::TraceCapture trace;
    auto validator = validatorOf(v.t, queue);
    EXPECT_FALSE(validator.validate(fenix));
    EXPECT_EQ(validator.error().rfind(expected, 0), 0u)
        << "expected: " << expected << "\n     got: " << validator.error();
    EXPECT_TRUE(trace.contains(std::string("Validator::validate() Hoard ") + tableName +
                               " validation failed: " + validator.error()));
    for (std::size_t i = 0; i < paths.size(); ++i)
        EXPECT_EQ(fileBytes(paths[i]), before[i]) << paths[i];
}

INSTANTIATE_TEST_SUITE_P(Damages, ValidatorDamageTest, ::testing::ValuesIn(damages),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- Validation through read-only mappings ---------------------------------------------------

// A queue mapped read-only, for the validator.
struct QueueView {
    static constexpr bool isDummy = false;
    bool validate(std::uint32_t f, std::uint32_t mostSlots, std::string& error) const {
        return reader.view().validate(f, mostSlots, error);
    }
    HeraldView view() const { return reader.view(); }
    const Herald::HeraldReader<std::uint32_t>& reader;
};

// Maps table `tableName` read-only and validates it; true when the result is success (an
// empty `expected`) or a failure whose reason starts with `expected`.
bool validateThroughViews(const std::string& expected) {
    auto debug = Basalt::Platform::getDebugHandler("ValidatorTest");
    const Mem::RootPath root(debug, tableName);
    Hoard::Writer::Counters counters;
    MaskedOps ops;
    IndexDriver::Slots slots(debug, root, "Hoard::FlowTracker::FlowGroupCounterEntry",
                             "IndexDriver", 1u << 16, false, true, counters,
                             [&ops](std::uint32_t seed) { ops.hashSeedIs(seed); });
    Hoard::BucketWriterTable buckets(debug, root);
    Herald::HeraldReader<std::uint32_t> reader(debug, root);
    std::string why;
    if (!slots.attachView(why) || !buckets.attachView() || !reader.attach()) return false;
    IndexDriver::Index index(debug, slots, buckets, ops, counters, true);
    index.attach();
    const QueueView queue{reader};
    Hoard::Validator<MaskedOps, QueueView> validator(debug, tableName, slots, buckets, index,
                                                     queue);
    const bool ok = validator.validate(fenix);
    return expected.empty() ? ok : !ok && validator.error().rfind(expected, 0) == 0;
}

TEST_F(ValidatorTest, AnotherProcessValidatesTheTableThroughReadOnlyMappings) {
    Table<Queue> t(tableName, 64);
    for (std::uint32_t k = 1; k <= 200; ++k) t.write(k);
    for (std::uint32_t k = 1; k <= 200; k += 3) t.remove(k);
    // This process, the writer, stays idle while the child validates; a store by the validator
    // into a read-only mapping would kill the child.
    TestSupport::Child good([] { return validateThroughViews(""); });
    EXPECT_EQ(good.wait(), 0);

    CounterEntry e;
    Hoard::IterHint hint;
    ASSERT_TRUE(t.d.index.first(0, e, hint));
    t.slot(hint.slot).head.status |= SlotTable::lookaside;
    TestSupport::Child bad(
        [] { return validateThroughViews("Validator::markOccupied() stuck LOOKASIDE bit: 0x"); });
    EXPECT_EQ(bad.wait(), 0);
}

}  // namespace
