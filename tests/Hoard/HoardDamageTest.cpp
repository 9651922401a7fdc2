// The table validator: a table with a notification queue passes through growth, bucket halving
// and churn whether its positions are in the ring or lapped; each kind of damage to the index
// walk, the free list or the queue is reported with its own message, without a hang, a crash or
// a write to the table; and another process validates a table through read-only mappings.
// HoardWriterCrashTest and HoardctlTest cover the damage a dead writer leaves or hoardctl names.

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "Hoard/Validator.h"
#include "contracts/Herald/HeraldWriter.h"
#include "tests/support/Fork.h"
#include "tests/support/IndexDriver.h"
#include "tests/support/Seed.h"
#include "tests/support/ShmRoot.h"
#include "tests/support/TraceCapture.h"
#include "tools/hoardctl/TableKinds.h"
#include "tools/hoardctl/TableValidation.h"

namespace {

using Herald::HeraldView;
using Hoard::HeraldPos;
using Hoard::SlotLink;
using Hoard::SlotTable;
using TestSupport::CounterEntry;
using TestSupport::counterEntry;
using TestSupport::MaskedOps;
using Queue = Herald::HeraldWriter<std::uint32_t, HeraldPos>;

constexpr const char* tableName = "t/validated";
constexpr std::uint32_t fenix = 1;

// IndexDriver plus a notification queue told of every write and removal, as a counter table's
// writer tells its queue.
struct Table {
    explicit Table(std::uint32_t ringSize, const std::string& name = tableName)
        : d(name), herald(d.debug, d.root, ringSize) {
        herald.attach(fenix);
    }
    void write(std::uint32_t key) { herald.notify(d.write(counterEntry(key))); }
    void remove(std::uint32_t key) {
        const auto k = counterEntry(key).key();
        const std::uint32_t h = d.index.hash(k);
        std::uint64_t* prev = nullptr;
        std::uint32_t slot = 0;
        if (d.index.find(k, d.index.bucketOf(h), prev, slot, h) && d.remove(k)) herald.notify(slot);
    }
    SlotTable::Header& header() { return *d.slots.header(); }
    std::uint32_t capacity() { return d.slots.capacity(); }
    TestSupport::IndexDriver::Slots::Slot& slot(std::uint32_t i) { return d.slots.slots()[i]; }
    template <class Q>
    Hoard::Validator<MaskedOps, Q> validator(const Q& queue) {
        return {d.debug, tableName, d.slots, d.buckets, d.index, queue};
    }
    void link(std::uint32_t slot, std::uint32_t next) {
        auto& word = this->slot(slot).head.link;
        SlotLink::store(word, SlotLink{SlotLink::load(word).seq + 4, next});
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

    TestSupport::IndexDriver d;
    Queue herald;
};

class ValidatorTest : public ::testing::Test {
  protected:
    TestSupport::ShmRoot shm;
};

TEST_F(ValidatorTest, ATableWithQueuePassesWhetherItsPositionsAreInTheRingOrLapped) {
    for (const std::uint32_t ringSize : {16u, 1u << 14}) {
        Table t(ringSize, "t/ring" + std::to_string(ringSize));
        auto expectValid = [&](const std::string& when) {
            auto v = t.validator(t.herald);
            ASSERT_TRUE(v.validate(fenix)) << ringSize << " " << when << ": " << v.error();
            EXPECT_EQ(v.occupiedCount(), t.header().occupiedSlots) << when;
            EXPECT_EQ(v.occupiedCount() + v.freeCount(), t.capacity()) << when;
        };
        expectValid("empty");
        for (std::uint32_t k = 1; k <= 300; ++k) t.write(k);
        ASSERT_EQ(t.d.index.numBuckets(), 512u);
        expectValid("after growth");
        for (std::uint32_t k = 21; k <= 300; ++k) t.remove(k);
        ASSERT_LT(t.d.index.numBuckets(), 128u);
        expectValid("after the buckets halved");
        std::mt19937_64 rng(TestSupport::testSeed("ValidatorTest churn"));
        for (int step = 1; step <= 3000; ++step) {
            const auto key = static_cast<std::uint32_t>(rng() % 400 + 1);
            rng() % 3 == 0 ? t.remove(key) : t.write(key);
            if (step % 500 == 0) expectValid("churn step " + std::to_string(step));
        }
    }
}

// The table the damage recipes break: 80 records and 48 free slots of 128; the queue's ring of
// 64 holds the removals of keys 81..100 (now free slots) and the overwrites of keys 1..30,
// while the positions of keys 31..80 are lapped.
struct Victim : Table {
    Victim() : Table(64) {
        for (std::uint32_t k = 1; k <= 100; ++k) write(k);
        for (std::uint32_t k = 81; k <= 100; ++k) remove(k);
        for (std::uint32_t k = 1; k <= 30; ++k) write(k);
        CounterEntry e;
        Hoard::IterHint hint;
        for (bool more = d.index.first(0, e, hint); more; more = d.index.next(e.key(), e, hint)) {
            if (!order.empty() && hint.bucket == bucketOf.back() && a == b) {
                a = order.back();
                b = hint.slot;
            }
            order.push_back(hint.slot);
            bucketOf.push_back(hint.bucket);
        }
        for (std::uint32_t i = header().freeSlots; i != SlotLink::endOfList;
             i = SlotLink::load(slot(i).head.link).next) {
            freeList.push_back(i);
        }
        auto inRing = [this](std::uint32_t s) { return view().inWindow(view().slotPosition(s)); };
        std::ranges::copy_if(order, std::back_inserter(ringed), inRing);
        std::ranges::copy_if(freeList, std::back_inserter(ringedFree), inRing);
        EXPECT_TRUE(a != b && ringed.size() >= 2 && !ringedFree.empty() && ringed.size() < 80);
    }

    std::vector<std::uint32_t> order;       // occupied slots in iteration order
    std::vector<std::uint32_t> bucketOf;    // the bucket of each
    std::vector<std::uint32_t> freeList;    // free slots in list order
    std::vector<std::uint32_t> ringed;      // occupied slots, in order, positioned in the ring
    std::vector<std::uint32_t> ringedFree;  // free slots, in list order, positioned in the ring
    std::uint32_t a = 0, b = 0;             // two records of one run, b following a
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
    const char* message;  // the first failure starts with it, then the text breakTable returns
    bool queueOwnCheck;
    std::function<std::string(Victim&)> breakTable;
};

// clang-format off
const Damage damages[] = {
    // The index walk: every record once, in its own bucket with its own rhash, up to the count.
    {"LoopInARun", "Validator::markOccupied() duplicate slot: ", true,
     [](Victim& v) { v.link(v.b, v.a); return str(v.a); }},
    {"KeyInTheWrongBucket", "WriterHashMap::first() corrupt key detected, slot: ", true,
     [](Victim& v) {
         std::uint32_t k = 1000;
         while (v.d.index.bucketOf(v.d.index.hash(counterEntry(k).key())) == v.bucketOf[0]) ++k;
         Hoard::storeSlotValue(v.slot(v.order[0]), counterEntry(k));
         return str(v.order[0]) + " when there are numBuckets: " + str(v.d.index.numBuckets()); }},
    {"WrongRhash", "WriterHashMap::next() corrupt rhash detected, slot: ", true,
     [](Victim& v) { v.slot(v.b).head.rhash ^= 1; return str(v.b); }},
    {"RunEndNamesTheWrongBucket", "WriterHashMap::verifyNextBucket() has bucket: ", true,
     [](Victim& v) {
         std::size_t i = 0;
         auto next = [&] { return SlotLink::load(v.slot(v.order[i]).head.link).next; };
         while (!SlotLink::isBucketMarker(next())) ++i;
         const std::uint32_t wrong = SlotLink::markerBucket(next()) ^ 1;
         v.link(v.order[i], SlotLink::bucketMarker(wrong));
         return str(v.bucketOf[i]) + " with next bucket: " + str(wrong); }},
    {"HeaderCountsOneRecordTooFew", "Validator::walkOccupiedSlots() walkedSlots:", true,
     [](Victim& v) { const auto n = v.header().occupiedSlots--;
                     return str(n) + " is greater than header->occupiedSlots:" + str(n - 1); }},
    // The free list: bounded by the slot count, each slot once, none of them a record.
    {"FreeListLoops", "Validator::walkFreeSlots() duplicate freeSlot detected: ", true,
     [](Victim& v) { v.link(v.freeList.back(), v.freeList[0]); return str(v.freeList[0]); }},
    {"FreeListBeyondNumSlots",
     "Validator::walkFreeSlots() corrupted free slot detected with out of bound index: ", true,
     [](Victim& v) { v.link(v.freeList[3], v.capacity() + 5); return str(v.capacity() + 5); }},
    {"FreeListAtNumSlots", "SlotWriter::Slots::operator[] out-of-range index: ", true,
     [](Victim& v) { v.link(v.freeList[3], v.capacity()); return str(v.capacity()); }},
    {"SlotBothFreeAndLinked",
     "Validator::walkFreeSlots() corrupted free slot not marked as empty: ", true,
     [](Victim& v) { v.link(v.freeList[3], v.order[0]); return str(v.order[0]); }},
    // The queue against the slots: the queue's own check runs first, the cross checks after it.
    {"NotificationForTheWrongSlotMeetsTheQueuesOwnCheck", "herald cell ", true,
     [](Victim& v) { const HeraldPos p = v.position(v.ringed[0]); v.cellIs(p, v.ringed[1]);
                     return str(v.view().indexOf(p)) + " sequence " + str(p) + " slot " +
                            str(v.ringed[1]) + " live"; }},
    {"NotificationForTheWrongSlot", "Validator::markOccupied() slot:", false,
     [](Victim& v) { const HeraldPos p = v.position(v.ringed[0]); v.cellIs(p, v.ringed[1]);
                     return str(v.ringed[0]) + " bad notification:" + str(p); }},
    {"DuplicateHeraldPosition", "Validator::markOccupied() slot:", false,  // ringed[1] walks later
     [](Victim& v) { const HeraldPos p = v.position(v.ringed[1]) = v.position(v.ringed[0]);
                     return str(v.ringed[1]) + " duplicate herald position:" + str(p); }},
    {"OccupiedSlotPositionBeyondTheSequence", "Validator::markOccupied() slot:", false,
     [](Victim& v) { const HeraldPos p = v.position(v.order[0]) = v.view().sequence() + 9;
                     return str(v.order[0]) + " bad herald index:" + str(p); }},
    {"OccupiedSlotOnADeletedNotification", "Validator::doValidate() occupied slot:", false,
     [](Victim& v) { const HeraldPos p = std::exchange(v.position(v.ringed[0]), 1);  // lapped
                     return str(v.ringed[0]) + " on deleted notification:" + str(p); }},
    {"ActiveTombstone", "Validator::doValidate() active tombstone pos:", true,
     [](Victim& v) { v.herald.tombstone(v.order[0]); return str(v.view().sequence()); }},
    {"NotificationOutsideTheWindow", "Validator::doValidate() corral pos:", false,
     [](Victim& v) { const std::uint32_t s = v.ringed[0];
                     const HeraldPos p = std::exchange(v.position(s), 1);
                     v.cellIs(p, s, p - 64);
                     return str(p) + " seq:" + str(p - 64) + " slot:" + str(s) +
                            " heraldPos:" + str(p); }},
    {"LiveNotificationOfASlotRecordingAnother", "Validator::doValidate() herald pos:", false,
     [](Victim& v) { const std::uint32_t f = v.ringedFree[0];
                     const HeraldPos p = std::exchange(v.position(f), Hoard::noHeraldPos);
                     return str(p) + " has slot:" + str(f) + " seq:" + str(p) +
                            " with wrong heraldSlot:0"; }},
    {"FreeSlotPositionBeyondTheSequence", "Validator::walkFreeSlots() slot index: ", false,
     [](Victim& v) { const HeraldPos p = v.position(v.freeList[0]) = v.view().sequence() + 9;
                     return str(v.freeList[0]) + " has out of range herald slot:" + str(p); }},
    {"FreeSlotNotificationForAnotherSlot", "Validator::walkFreeSlots() slot index: ", false,
     [](Victim& v) { const std::uint32_t f = v.ringedFree[0]; v.cellIs(v.position(f), v.order[0]);
                     return str(f) + " has slot:" + str(v.order[0]) + " with wrong herald slot:" +
                            str(v.position(f)); }},
};
// clang-format on

// A failing row is named by its name, not by its bytes.
void PrintTo(const Damage& d, std::ostream* os) { *os << d.name; }

std::string fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class ValidatorDamageTest : public ValidatorTest, public ::testing::WithParamInterface<Damage> {};

TEST_P(ValidatorDamageTest, IsReportedWithItsMessageAndNothingWritten) {
    Victim v;
    const QueueUnderTest queue{v.herald, GetParam().queueOwnCheck};
    ASSERT_TRUE(v.validator(queue).validate(fenix)) << "undamaged";
    const std::string expected = GetParam().message + GetParam().breakTable(v);
    const std::string paths[] = {v.d.slots.fileName(), v.d.buckets.path(), v.herald.path()};
    std::vector<std::string> before;
    for (const auto& p : paths) before.push_back(fileBytes(p));

    TestSupport::TraceCapture trace;
    auto validator = v.validator(queue);
    EXPECT_FALSE(validator.validate(fenix));
    EXPECT_EQ(validator.error().rfind(expected, 0), 0u)
        << "expected: " << expected << "\n     got: " << validator.error();
    EXPECT_TRUE(trace.contains(std::string("Validator::validate() Hoard ") + tableName +
                               " validation failed: " + validator.error()));
    for (std::size_t i = 0; i < before.size(); ++i) EXPECT_EQ(fileBytes(paths[i]), before[i]);
}

INSTANTIATE_TEST_SUITE_P(Damages, ValidatorDamageTest, ::testing::ValuesIn(damages),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ValidatorTest, AnotherProcessValidatesTheTableThroughReadOnlyMappings) {
    // The child validates while this process, the writer, stays idle; a store by the validator
    // into its read-only mappings would kill it. It exits 0 on success when `expected` is empty,
    // else on a failure whose reason starts with `expected`.
    auto inChild = [](const std::string& expected) {
        TestSupport::Child child([&expected] {
            const auto r = Hoardctl::validateReadOnly<Hoardctl::FlowGroupCounterKind>(
                Basalt::Platform::getDebugHandler("ValidatorTest"), tableName, fenix);
            return expected.empty() ? r.valid : !r.valid && r.error.rfind(expected, 0) == 0;
        });
        return child.wait();
    };
    Victim v;
    EXPECT_EQ(inChild(""), 0);
    // A record stuck mid-rewrite: the child names it as the first failure.
    v.slot(v.b).head.status |= SlotTable::lookaside;
    EXPECT_EQ(inChild("Validator::markOccupied() stuck LOOKASIDE bit: 0x"), 0);
}

}  // namespace
