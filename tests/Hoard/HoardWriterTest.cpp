// The table writer: the store protocol seen in the file (status steps, the lookaside slot),
// direct-mode pairing, a shrink's moves, full filesystems, a strict device's failing table, and
// a long random run checked against a std::map and the validator, for each kind of table.
// Refusing and re-formatting tables it cannot adopt is SlotTableTest's (the slot file decides).

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <utility>
#include <vector>

#include "tests/support/ChildReport.h"
#include "tests/support/Fork.h"
#include "tests/support/Seed.h"
#include "tests/support/SelfCheckingRecords.h"
#include "tests/support/SharedPage.h"
#include "tests/support/ShmRoot.h"

namespace {

using namespace TestSupport;
using FlowTracking::IpFlowEntryWrapper;
using Hoard::SlotTable;

Hoard::MapDescriptor descriptor(std::uint32_t slotLimit = 1u << 16) {
    Hoard::MapDescriptor d;
    d.slotLimit = slotLimit;
    return d;
}

class HoardWriterTest : public ::testing::Test {
  protected:
    ShmRoot shm;
};

// An overwrite steps the status by four through the lookaside slot; without the flag the record
// stays. Direct mode pairs a directWrite or directUpdate with a directCommit; faults change
// nothing.
TEST_F(HoardWriterTest, OverwritesGoThroughTheLookasideSlotAndDirectModeFaultsChangeNothing) {
    auto w = newWriter<FlowRecords>("t/flows");
    EXPECT_THROW(w->validateVersionAnchor(), Basalt::AssertException);  // no lookup yet
    EXPECT_EQ(*w->write(flowEntry(1), true), flowEntry(1));
    const auto& slots = w->slotTable();
    const auto& slot = slots.slots()[0];  // the first slot of a new table
    const std::uint32_t before = slot.head.status;
    EXPECT_EQ(before & (SlotTable::occupied | SlotTable::lookaside), SlotTable::occupied);
    w->write(flowEntry(1, 7), true);
    EXPECT_EQ(slot.head.status, before + 4);
    EXPECT_EQ(slots.lookasideSlot().value, flowEntry(1, 7));
    EXPECT_EQ(slots.lookasideSlot().head.rhash, slot.head.rhash);
    EXPECT_EQ(*w->write(flowEntry(1, 9), false), flowEntry(1, 7));
    EXPECT_EQ(slot.head.status, before + 4);
    // The version anchor follows the record: unchanged, then stale after a rewrite.
    bool found = false;
    w->lookup(flowEntry(1).key(), found, nullptr);
    EXPECT_NO_THROW(w->validateVersionAnchor());
    w->write(flowEntry(1, 8), true);
    EXPECT_THROW(w->validateVersionAnchor(), Mem::VersionMismatchException);

    const std::string headers = w->dumpHeaders();
    EXPECT_THROW(w->directCommit(), Basalt::AssertException);
    EXPECT_EQ(w->directUpdate(flowEntry(2).key()), nullptr);  // missing: direct mode stays off
    EXPECT_THROW(w->directCommit(), Basalt::AssertException);
    EXPECT_EQ(w->dumpHeaders(), headers);
    IpFlowEntryWrapper* area = w->directWrite(flowEntry(3).key());
    ASSERT_NE(area, nullptr);
    EXPECT_EQ(area->key(), flowEntry(3).key());
    area->pktsIs(33);
    EXPECT_THROW(w->directWrite(flowEntry(4).key()), Basalt::AssertException);
    EXPECT_THROW(w->write(flowEntry(4), true), Basalt::AssertException);
    IpFlowEntryWrapper out;
    EXPECT_THROW(w->remove(flowEntry(1).key(), out), Basalt::AssertException);
    w->directCommit();
    EXPECT_EQ(w->lookup(flowEntry(3).key(), found, nullptr)->pkts(), 33u);
    // An update of an existing record starts from its current value.
    IpFlowEntryWrapper* update = w->directUpdate(flowEntry(1).key());
    ASSERT_NE(update, nullptr);
    EXPECT_EQ(*update, flowEntry(1, 8));
    w->directCommit();
    EXPECT_TRUE(w->validate());
}

// A shrink moves down every record above the new size, also the one in the first slot past it:
// records 0..1023 fill slots 0..1023, and removing from the bottom, all but 512, halves the file.
TEST_F(HoardWriterTest, AShrinkMovesEveryRecordAboveTheNewSizeDown) {
    auto w = newWriter<FlowRecords>("t/shrink");
    for (std::uint32_t i = 0; i < 1024; ++i) w->write(flowEntry(i), true);
    IpFlowEntryWrapper out;
    for (std::uint32_t i = 0; i < 1024 && w->capacity() == 1024; ++i) {
        if (i != 512) w->remove(flowEntry(i).key(), out);
    }
    EXPECT_EQ(w->capacity(), 512u);
    EXPECT_TRUE(w->validate());  // each record counted is linked: none was cut off
    bool found = false;
    w->lookup(flowEntry(512).key(), found, nullptr);
    EXPECT_TRUE(found);
}

// A file-size limit (RLIMIT_FSIZE, SIGXFSZ ignored) that stops one file from growing, as a full
// /dev/shm would: a write fails before it takes anything or succeeds whole.

// Lowers the soft file-size limit of this process (the hard limit stays, so it can come back).
void fileSizeLimitIs(rlim_t bytes) {
    ::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{};
    ::getrlimit(RLIMIT_FSIZE, &limit);
    limit.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &limit);
}

// Runs `fill` (it stores records 0 .. stored - 1 under a file-size limit; false after a report) in
// a child on a new counter table, which must then pass validation; the next writer, without the
// limit, must adopt it with exactly those records.
using Fill = std::function<bool(CounterRecords::Writer&, ChildReport&, std::uint32_t& stored)>;
void fillThenAdopt(const Hoard::MapDescriptor& d, const Fill& fill) {
    SharedPage<ChildReport> report;
    Child child([&] {
        const auto debug = Basalt::Platform::getDebugHandler("HoardWriterTest");
        std::uint32_t stored = 0;
        {
            CounterRecords::Writer w(debug, "full/counters", d, {}, "Test");
            w.initialize("test");
            if (!fill(w, *report, stored)) return false;
            if (!w.validate()) return report->fail("the table fails validation");
        }
        fileSizeLimitIs(RLIM_INFINITY);
        CounterRecords::Writer next(debug, "full/counters", d, {}, "Test");
        next.initialize("test");
        for (std::uint32_t i = 0; i < stored; ++i) {
            bool found = false;
            next.lookup(groupEntry(i).key(), found, nullptr);
            if (!found) return report->fail("record " + std::to_string(i) + " lost");
        }
        return next.members() == stored || report->fail("the next writer holds extra records");
    });
    EXPECT_EQ(child.wait(), 0) << report->text;
}

// The queue's slot record covers 512 slots: the slot file may grow, the queue not.
TEST_F(HoardWriterTest, AQueueThatCannotGrowFailsTheWriteBeforeItTakesASlot) {
    const Hoard::MapDescriptor d = descriptor(4096);
    fillThenAdopt(d, [](CounterRecords::Writer& w, ChildReport& report, std::uint32_t& stored) {
        fileSizeLimitIs(Herald::HeraldView::fileSizeFor(w.herald().ringSize(), 512));
        try {
            for (; stored < 2000; ++stored) w.write(groupEntry(stored), true);
        } catch (const Basalt::MemoryResourceException&) {
        }
        if (stored != 512) return report.fail("failed at " + std::to_string(stored));
        try {
            w.directWrite(groupEntry(stored).key());
            return report.fail("directWrite took a slot");
        } catch (const Basalt::MemoryResourceException&) {
        }
        return true;
    });
}

// The validator checks that every stored record of a counter table has its notification.
TEST_F(HoardWriterTest, BucketsThatCannotGrowLeaveTheWriteStoredAndNotified) {
    Hoard::MapDescriptor d = descriptor(256);
    d.fixedSize = true;  // the slot file is full size from the start: only the buckets grow
    fillThenAdopt(d, [](CounterRecords::Writer& w, ChildReport& report, std::uint32_t& stored) {
        fileSizeLimitIs(Hoard::BucketTable::fileSizeFor(w.index().numBuckets()));
        for (; stored < 8; stored += 2) {
            w.write(groupEntry(stored), true);
            *w.directWrite(groupEntry(stored + 1).key()) = groupEntry(stored + 1);
            w.directCommit();
        }
        if (w.index().numBuckets() != 2) return report.fail("the buckets grew");
        if (!w.validate()) return report.fail("the table fails validation at the limit");
        fileSizeLimitIs(RLIM_INFINITY);
        w.write(groupEntry(stored++), true);
        return w.index().numBuckets() > 2 || report.fail("the buckets never grew");
    });
}

TEST_F(HoardWriterTest, AStrictDeviceKeepsATableThatFailsValidationForTheCoreDump) {
    // A slot left mid-rewrite: the next writer's validation fails.
    auto w = newWriter<FlowRecords>("t/strict");
    w->write(flowEntry(1), true);
    const_cast<std::uint32_t&>(w->slotTable().slots()[0].head.status) |= SlotTable::lookaside;
    w.reset();
    SharedPage<ChildReport> report;
    Child child([&] {
        ::setenv("FLOWTABLE_PHYSICAL_DUT", "1", 1);
        ::setenv("FLOWTABLE_STRICT_VALIDATION", "1", 1);
        try {
            newWriter<FlowRecords>("t/strict");
            return report->fail("the table was taken");
        } catch (const Basalt::InvalidInitializeException& e) {
            if (std::string(e.what()) !=
                "HoardWriter::attachAndValidate() failed initial "
                "validation of t/strict after re-attaching") {
                return report->fail(e.what());
            }
        }
        std::ifstream filter("/proc/self/coredump_filter");
        unsigned long bits = 0;
        filter >> std::hex >> bits;
        return (bits & 0x8) != 0 || report->fail("file-backed shared mappings not dumped");
    });
    EXPECT_EQ(child.wait(), 0) << report->text;
    EXPECT_FALSE(std::filesystem::exists(shm.path() + "/t/strict/fenix"));
    EXPECT_TRUE(std::filesystem::exists(shm.path() + "/t/strict/slots"));  // kept as it was
}

// writeBatch against write(): two tables take the same records, one record by record through
// write(v, true), the other in batches. Whatever the batch shares (hashes, prefetches, the flag,
// the kick), each record must leave the same stores: every slot's status, rhash, link and value,
// the lookaside slot, the counts, the counters and the queue's sequence agree; only the kicks
// differ (one per batch instead of one per record, counter tables only: flows have no queue).
struct BatchCase {
    const char* name;
    std::uint32_t setup;  // ids [0, setup) of generation 1, written record by record first
    std::vector<std::vector<std::pair<std::uint32_t, std::uint64_t>>> batches;  // (id, gen)
    bool grows;  // the slot file and the bucket count grow inside a batch
};

std::vector<std::pair<std::uint32_t, std::uint64_t>> span(std::uint32_t from, std::uint32_t to,
                                                          std::uint64_t generation) {
    std::vector<std::pair<std::uint32_t, std::uint64_t>> out;
    for (std::uint32_t id = from; id < to; ++id) out.emplace_back(id, generation);
    return out;
}

template <class Records>
void batchAgreesWithWrite(const BatchCase& c, std::size_t number) {
    SCOPED_TRACE(std::string(c.name) + ", " + Records::kind);
    Hoard::MapDescriptor d = descriptor();
    d.initialSize = 64;
    const std::string table = std::string(Records::kind) + "/" + std::to_string(number);
    auto single = newWriter<Records>("t/single/" + table, c.setup, d);
    auto batched = newWriter<Records>("t/batched/" + table, c.setup, d);
    const std::uint32_t capacityBefore = batched->capacity();
    const std::uint64_t bucketGrowsBefore = batched->writerCounters().bucketGrows;
    std::uint64_t singleKicks = single->kickSm().kicks(), batchKicks = batched->kickSm().kicks();
    for (const auto& batch : c.batches) {
        std::vector<typename Records::Entry> values;
        for (const auto& [id, generation] : batch) values.push_back(Records::make(id, generation));
        for (const auto& v : values) single->write(v, true);
        batched->writeBatch(values.data(), values.size());
        singleKicks += Records::Ops::hasQueue ? values.size() : 0;
        batchKicks += Records::Ops::hasQueue && !values.empty() ? 1 : 0;
    }
    EXPECT_EQ(c.grows, batched->capacity() > capacityBefore &&
                           batched->writerCounters().bucketGrows > bucketGrowsBefore);
    ASSERT_EQ(batched->capacity(), single->capacity());
    // A counter table's hash seed is its own: its rhash values and list order are the other
    // table's only when the seeds happen to agree.
    const bool sameOrder =
        single->ops().hash(Records::key(0)) == batched->ops().hash(Records::key(0));
    EXPECT_TRUE(sameOrder || Records::Ops::hasQueue);
    auto same = [&](const auto& a, const auto& b, const std::string& where) {
        EXPECT_EQ(a.head.status, b.head.status) << where;
        EXPECT_TRUE(!sameOrder || a.head.rhash == b.head.rhash) << where;
        EXPECT_TRUE(!sameOrder || a.head.link == b.head.link) << where;
        EXPECT_EQ(a.value, b.value) << where;
    };
    for (std::uint32_t s = 0; s < single->capacity(); ++s) {
        same(batched->slotTable().slots()[s], single->slotTable().slots()[s],
             "slot " + std::to_string(s));
    }
    same(batched->slotTable().lookasideSlot(), single->slotTable().lookasideSlot(), "lookaside");
    EXPECT_EQ(batched->members(), single->members());
    EXPECT_EQ(batched->index().numBuckets(), single->index().numBuckets());
    EXPECT_EQ(batched->writerCounters().writes, single->writerCounters().writes);
    EXPECT_EQ(batched->writerCounters().overwrites, single->writerCounters().overwrites);
    EXPECT_EQ(batched->sequence(), single->sequence());
    EXPECT_EQ(single->kickSm().kicks(), singleKicks);
    EXPECT_EQ(batched->kickSm().kicks(), batchKicks);
    EXPECT_EQ(batched->slotTable().header()->runtimeFlags & SlotTable::writeInProgress, 0);
    EXPECT_TRUE(batched->validate());
}

TEST_F(HoardWriterTest, WriteBatchLeavesTheStoresOfWriteRecordByRecord) {
    const BatchCase cases[] = {
        {"insert", 0, {span(0, 10, 1)}, false},
        {"overwrite", 10, {span(0, 10, 2), span(5, 10, 3)}, false},
        {"a key twice in one batch: the last wins",
         10,
         {{{1, 2}, {50, 1}, {1, 3}, {50, 2}, {1, 4}}},
         false},
        {"across slot and bucket grows", 40, {span(20, 600, 2), {}, span(0, 700, 3)}, true},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        batchAgreesWithWrite<FlowRecords>(cases[i], i);
        batchAgreesWithWrite<CounterRecords>(cases[i], i);
    }
}

// A batch that fails at a record (a full fixed-size table) keeps the records before it,
// published and notified, kicks the readers for them, and leaves the flag set like a failed
// write; the record that failed and those after it are not written.
TEST_F(HoardWriterTest, ABatchThatFailsMidwayKeepsTheRecordsBeforeItAndItsFlag) {
    Hoard::MapDescriptor d = descriptor(64);
    d.fixedSize = true;
    auto w = newWriter<CounterRecords>("t/full", 0, d);
    const std::uint32_t room = w->capacity();
    for (std::uint32_t id = 0; id + 2 < room; ++id) w->write(groupEntry(id), true);
    const CounterRecords::Entry batch[] = {groupEntry(0, 5), groupEntry(room), groupEntry(room + 1),
                                           groupEntry(room + 2), groupEntry(room + 3)};
    const std::uint64_t kicks = w->kickSm().kicks(), sequence = w->sequence();
    EXPECT_THROW(w->writeBatch(batch, 5), Hoard::TableFullException);
    for (std::uint32_t i = 0; i < 5; ++i) {
        bool found = false;
        CounterRecords::Entry out;
        w->lookup(batch[i].key(), found, &out);
        EXPECT_EQ(found, i < 3) << i;
        EXPECT_TRUE(!found || out == batch[i]) << i;
    }
    EXPECT_EQ(w->kickSm().kicks(), kicks + 1);
    EXPECT_EQ(w->sequence(), sequence + 3);
    EXPECT_NE(w->slotTable().header()->runtimeFlags & SlotTable::writeInProgress, 0);
    EXPECT_TRUE(w->validate());
    w->write(groupEntry(1, 6), true);
    EXPECT_EQ(w->slotTable().header()->runtimeFlags & SlotTable::writeInProgress, 0);
}

// A long random run: every step is checked against a std::map and the validator.
enum class Kind { flow, counter, local };  // local: a flow table on a guarded heap, no files
const char* const kindNames[] = {"Flow", "Counter", "Local"};

class HoardWriterRandomRunTest : public HoardWriterTest,
                                 public ::testing::WithParamInterface<Kind> {
  protected:
    template <class Records, class Entry>
    void run(Entry (*make)(std::uint32_t, std::uint64_t), const Hoard::MapDescriptor& d);
};

template <class Records, class Entry>
void HoardWriterRandomRunTest::run(Entry (*make)(std::uint32_t, std::uint64_t),
                                   const Hoard::MapDescriptor& d) {
    const std::uint64_t seed = testSeed("random run");
    std::mt19937_64 rng(seed);
    auto w = newWriter<Records>("t/random", 0, d);
    std::map<std::uint32_t, std::uint64_t> model;  // id -> generation
    for (int step = 0; step < 6000; ++step) {
        SCOPED_TRACE("step " + std::to_string(step) + " seed " + std::to_string(seed));
        // Phases of filling and emptying make both files grow and shrink several times.
        const bool filling = (step / 1000) % 2 == 0;
        std::uint32_t id = static_cast<std::uint32_t>(rng() % 1500);
        const int op = static_cast<int>(rng() % 10);
        if (!filling && op >= 1 && op < 8 && !model.empty()) {
            // Emptying: remove records that exist, so both files shrink.
            id = std::next(model.begin(), static_cast<long>(rng() % model.size()))->first;
        }
        if (op < (filling ? 6 : 1)) {
            w->write(make(id, step), true);
            model[id] = step;
        } else if (op < 8) {
            Entry out;
            const bool removed = w->remove(make(id, 0).key(), out);
            ASSERT_EQ(removed, model.erase(id) == 1);
            ASSERT_TRUE(!removed || out.key() == make(id, 0).key());
        } else {
            *w->directWrite(make(id, 0).key()) = make(id, step);
            w->directCommit();
            model[id] = step;
        }
        ASSERT_EQ(w->members(), model.size());
        ASSERT_TRUE(step % 7 != 0 || w->validate());
    }
    for (const auto& [id, gen] : model) {
        bool found = false;
        const auto* v = w->lookup(make(id, 0).key(), found, nullptr);
        ASSERT_TRUE(found) << id;
        ASSERT_EQ(*v, make(id, gen));
    }
    EXPECT_GT(w->writerCounters().shrinks, 0u);
    EXPECT_GT(w->writerCounters().bucketShrinks, 0u);
    EXPECT_TRUE(w->validateFiles());
}

TEST_P(HoardWriterRandomRunTest, AgreesWithAMap) {
    Hoard::MapDescriptor d = descriptor();
    d.local = d.useHeap = d.heapCheck = GetParam() == Kind::local;
    if (GetParam() == Kind::counter) {
        run<CounterRecords>(&groupEntry, d);
    } else {
        run<FlowRecords>(&flowEntry, d);
    }
    EXPECT_EQ(std::filesystem::exists(shm.path() + "/t"), !d.local);
}

INSTANTIATE_TEST_SUITE_P(Tables, HoardWriterRandomRunTest,
                         ::testing::Values(Kind::flow, Kind::counter, Kind::local),
                         [](const auto& info) { return kindNames[static_cast<int>(info.param)]; });

}  // namespace
