// A writer killed by SIGKILL at each crash point of its store sequence, or between operations:
// its readers answer with committed records (the interrupted change visible from the store that
// publishes it), and the next writer adopts every committed record. With recovery on attach it
// repairs what the dead writer left in place (the interrupted record old or new, never torn);
// with recovery off, a table the validator rejects is re-formatted empty. The table states the
// outcomes per point, and each point runs both ways.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <map>
#include <random>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "contracts/Herald/HeraldReader.h"
#include "tests/support/AllocationCounter.h"
#include "tests/support/FileBytes.h"
#include "tests/support/Processes.h"
#include "tests/support/Seed.h"
#include "tests/support/SelfCheckingRecords.h"
#include "tests/support/ShmRoot.h"
#include "tests/support/TraceCapture.h"

#ifdef FLOWTABLE_TEST_HOOKS

namespace {

using namespace TestSupport;
using Hoard::SlotTable;

// The writer fills ids [0, setup) of generation 1, then runs steps of one operation until the
// point kills it. Step s inserts id setup + s (100 records in 128 slots: step 28 grows the files),
// overwrites id 3 with generation 2 + s, removes id s (600 in 1024: step 345 shrinks them), or does
// either of the first two in direct mode (directWrite or directUpdate, then directCommit). A
// reinsert is an insert after ids [0, 20) were removed: the first 20 steps reuse their slots.
// A batch step is one writeBatch of three records whose middle one is an insert (overwrites of
// ids 3 and 4 around it) or an overwrite of id 3 (inserts around it).
enum Op {
    insert,
    overwrite,
    removal,
    directInsert,
    directUpdate,
    reinsert,
    batchInsert,
    batchOverwrite
};
constexpr std::uint32_t steps = 400;
constexpr std::uint32_t setupOf(Op op) { return op == removal ? 600 : 100; }
constexpr std::uint32_t removedOf(Op op) { return op == reinsert ? 20 : 0; }
constexpr bool isBatch(Op op) { return op == batchInsert || op == batchOverwrite; }
constexpr std::uint32_t lastId = 100 + 2 * steps;  // above every id a step writes

using Record = std::pair<std::uint32_t, std::uint64_t>;  // id, generation
std::array<Record, 3> batchOf(Op op, std::uint32_t s) {
    if (op == batchInsert) return {{{3, 2 + s}, {setupOf(op) + s, 1}, {4, 2 + s}}};
    return {{{setupOf(op) + 2 * s, 1}, {3, 2 + s}, {setupOf(op) + 2 * s + 1, 1}}};
}

using Model = std::map<std::uint32_t, std::uint64_t>;  // id -> generation

// The records after the first `done` steps (and, of a batch, the first `part` records of the
// next step).
Model model(Op op, std::uint32_t done, std::uint32_t part = 0) {
    const bool inserts = op == insert || op == directInsert || op == reinsert;
    Model m;
    for (std::uint32_t id = op == removal ? done : removedOf(op); id < setupOf(op); ++id) m[id] = 1;
    for (std::uint32_t s = 0; inserts && s < done; ++s) m[setupOf(op) + s] = 1;
    if (done > 0 && (op == overwrite || op == directUpdate)) m[3] = 1 + done;
    for (std::uint32_t s = 0; isBatch(op) && s <= done; ++s) {
        const auto batch = batchOf(op, s);
        for (std::uint32_t r = 0; r < (s < done ? 3 : part); ++r)
            m[batch[r].first] = batch[r].second;
    }
    return m;
}

template <class Records>
void runStep(typename Records::Writer& w, Op op, std::uint32_t s) {
    const std::uint32_t fresh = setupOf(op) + s;
    typename Records::Entry gone;
    if (op == insert || op == reinsert) w.write(Records::make(fresh, 1), true);
    if (op == overwrite) w.write(Records::make(3, 2 + s), true);
    if (op == removal) w.remove(Records::key(s), gone);
    if (op == directInsert) *w.directWrite(Records::key(fresh)) = Records::make(fresh, 1);
    if (op == directUpdate) *w.directUpdate(Records::key(3)) = Records::make(3, 2 + s);
    if (op == directInsert || op == directUpdate) w.directCommit();
    if (isBatch(op)) {
        const auto batch = batchOf(op, s);
        const typename Records::Entry values[] = {Records::make(batch[0].first, batch[0].second),
                                                  Records::make(batch[1].first, batch[1].second),
                                                  Records::make(batch[2].first, batch[2].second)};
        w.writeBatch(values, 3);
    }
}

// What the readers answer after the death and what the next writer holds: the records before
// the interrupted step, those after it, or (a writer without recovery only) none, the files
// re-formatted.
enum State { before, after, reformat };
enum Kinds { both, counter };  // "notify" is reached only with a queue

struct CrashCase {
    const char* point;  // nullptr: killed idle after the last step
    Kinds kinds;
    Op op;
    std::uint32_t occurrences;  // the point fires at a seeded occurrence in [1, occurrences]
    // With recovery the next writer holds exactly what the readers answer; `writer` is what it
    // holds without recovery.
    State readers, writer;
    const char* reason = "";  // the validator's first finding, when it rejects the files
    // With recovery: the next writer dies here inside its recovery, and the one after recovers.
    const char* recoveryPoint = nullptr;
    // The point fires `perStep` times a step; the kill is at its `at`-th time in the seeded step,
    // inside (or, for "writeBatch.record", just before) record `record` of a batch.
    std::uint32_t perStep = 1, at = 1, record = 0;
};

void PrintTo(const CrashCase& c, std::ostream* os) { *os << (c.point ? c.point : "idle"); }

// What the validator finds in what a dead writer left:
constexpr const char* uncounted = "mismatch header->occupiedSlots";  // a counted slot unlinked
constexpr const char* stuck = "stuck LOOKASIDE";                     // a slot mid-rewrite
constexpr const char* slotCount = "bad slotCount";  // slots on neither the index nor free list
constexpr const char* uncutRun = "BucketWriter::validate() bucket:";  // old runs not yet cut
constexpr const char* unnotified = "bad herald index";  // a published slot without notification

// clang-format off
const CrashCase kCases[] = {
    //                                                 next writer without recovery
    // point                     kinds    operation     n   readers writer    reason
    // An overwrite: from LOOKASIDE on, readers take the lookaside copy; the slot is mid-rewrite.
    {"write.lookaside",           both,    overwrite,    20, before, before},
    {"write.lookasideSet",        both,    overwrite,    20, before, before},
    {"write.value",               both,    overwrite,    20, after,  reformat, stuck},
    {"write.status",              both,    overwrite,    20, after,  reformat, stuck},
    // An insert: alloc counts the slot before the publishing link store.
    {"write.link",                both,    insert,       20, before, reformat, uncounted},
    {"write.lookasideSet",        both,    insert,       20, before, reformat, uncounted},
    {"write.value",               both,    insert,       20, before, reformat, uncounted},
    {"write.status",              both,    insert,       20, before, reformat, uncounted},
    {"write.publish",             both,    insert,       20, before, reformat, uncounted},
    // A remove: only the unlink keeps the table consistent, and only before it.
    {"remove.unlink",             both,    removal,      20, before, before},
    {"remove.clear",              both,    removal,      20, after,  reformat, uncounted},
    {"remove.free",               both,    removal,      20, after,  reformat, uncounted},
    // The slot file's growth inside an insert: invisible until its count is published.
    {"grow.publish",              both,    insert,       1,  before, before},
    {"grow.freeList",             both,    insert,       1,  before, reformat, slotCount},
    // Its shrink after a complete remove: the free list is purged above the target first.
    {"shrink.move",               both,    removal,      50, after,  reformat, slotCount},
    {"shrink.move.value",         both,    removal,      50, after,  reformat, slotCount},
    {"shrink.move.status",        both,    removal,      50, after,  reformat, slotCount},
    {"shrink.move.link",          both,    removal,      50, after,  reformat, slotCount},
    {"shrink.move.publish",       both,    removal,      50, after,  reformat, slotCount},
    {"shrink.publish",            both,    removal,      1,  after,  reformat, slotCount},
    // The bucket count after a complete operation: a grow is safe until its count is published.
    {"buckets.grow",              both,    insert,       1,  after,  after},
    {"buckets.grow.cut",          both,    insert,       1,  after,  reformat, uncutRun},
    {"buckets.shrink",            both,    removal,      1,  after,  after},
    // Direct mode: directWrite allocates a new record's slot; an update is like an overwrite.
    {"directCommit.link",         both,    directInsert, 20, before, reformat, uncounted},
    {"directCommit.status",       both,    directInsert, 20, before, reformat, uncounted},
    {"directCommit.publish",      both,    directInsert, 20, before, reformat, uncounted},
    {"directCommit.lookasideSet", both,    directUpdate, 20, before, before},
    {"directCommit.value",        both,    directUpdate, 20, after,  reformat, stuck},
    {"directCommit.status",       both,    directUpdate, 20, after,  reformat, stuck},
    // The notification follows publication: a new slot has none yet, an old one its last one.
    {"notify",                    counter, insert,       1,  after,  reformat, unnotified},
    {"notify",                    counter, overwrite,    1,  after,  after},
    {"notify",                    counter, removal,      1,  after,  after},
    {"notify",                    counter, directInsert, 1,  after,  reformat, unnotified},
    {"notify",                    counter, directUpdate, 1,  after,  after},
    // Into a reused slot: the slot's last notification (its removal's) still passes for its own.
    {"notify",                    counter, reinsert,     20, after,  after},
    // A writer killed inside its recovery leaves files that the next writer recovers.
    {"write.value",               both,    overwrite,    20, after,  reformat, stuck,
     "recover.finish"},
    {"remove.clear",              both,    removal,      20, after,  reformat, uncounted,
     "recover.free"},
    {"shrink.move.publish",       both,    removal,      50, after,  reformat, slotCount,
     "recover.freeList"},
    {"buckets.grow.cut",          both,    insert,       1,  after,  reformat, uncutRun,
     "recover.cut"},
    {"notify",                    counter, reinsert,     20, after,  after,    "",
     "recover.notify"},
    // A batch killed inside its middle record: the record before it is written, the one after
    // it not; the middle one is as a single write's record killed at the same point. Between
    // records every record is whole, but the flag of the batch stays set.
    {"write.link",                both,    batchInsert,  20, before, reformat, uncounted, nullptr,
     1, 1, 1},
    {"write.status",              both,    batchInsert,  20, before, reformat, uncounted, nullptr,
     3, 2, 1},
    {"write.publish",             both,    batchInsert,  20, before, reformat, uncounted, nullptr,
     1, 1, 1},
    {"write.lookaside",           both,    batchOverwrite, 20, before, before, "",      nullptr,
     1, 1, 1},
    {"write.value",               both,    batchOverwrite, 20, after, reformat, stuck,  nullptr,
     3, 2, 1},
    {"write.status",              both,    batchOverwrite, 20, after, reformat, stuck,  nullptr,
     3, 2, 1},
    {"notify",                    counter, batchInsert,  20, after,  reformat, unnotified, nullptr,
     3, 2, 1},
    {"writeBatch.record",         both,    batchInsert,  20, before, before, "",        nullptr,
     2, 1, 1},
    {"writeBatch.record",         both,    batchOverwrite, 20, before, before, "",      nullptr,
     2, 2, 2},
    {"write.value",               both,    batchOverwrite, 20, after, reformat, stuck,
     "recover.finish", 3, 2, 1},
    // Killed between operations: every committed record is adopted.
    {nullptr,                     both,    insert,       1,  before, before},
    {nullptr,                     both,    overwrite,    1,  before, before},
    {nullptr,                     both,    removal,      1,  before, before},
    {nullptr,                     both,    directInsert, 1,  before, before},
    {nullptr,                     both,    directUpdate, 1,  before, before},
    {nullptr,                     both,    batchInsert,  1,  before, before},
    {nullptr,                     both,    batchOverwrite, 1, before, before},
};
// clang-format on

// A queue follower: the records by slot, kept up by the table's notification queue (each
// notification re-reads its slot through `reader`); it copies every slot again when lapped or
// when the queue starts afresh.
template <class Records>
class Follower {
  public:
    explicit Follower(typename Records::Reader& reader)
        : reader_(reader), queue_(recordsDebug(), Mem::RootPath(recordsDebug(), "crash/t")) {
        resync();
    }
    // Follows the queue to its end; then the records it holds.
    Model catchUp() {
        using Status = Herald::HeraldReader<std::uint32_t>::PollStatus;
        for (int round = 0; round < 100; ++round) {
            const Status st = queue_.poll([&](std::uint32_t slot, auto, bool) { read(slot); });
            if (st == Status::caughtUp) break;
            if (st != Status::more) resync();
        }
        Model m;
        for (const auto& [slot, e] : bySlot_) {
            std::uint32_t id = 0;
            std::uint64_t generation = 0;
            EXPECT_TRUE(Records::check(e, id, generation)) << "slot " << slot;
            m[id] = generation;
        }
        return m;
    }

  private:
    void resync() {
        queue_.detach();
        ASSERT_TRUE(queue_.attach()) << queue_.reason();
        bySlot_.clear();
        for (std::uint32_t s = 0; s < reader_.sharedSlots(); ++s) read(s);
    }
    void read(std::uint32_t slot) {
        typename Records::Entry e;
        if (reader_.safeValue(slot, e, nullptr)) {
            bySlot_[slot] = e;
        } else {
            bySlot_.erase(slot);
        }
    }

    typename Records::Reader& reader_;
    Herald::HeraldReader<std::uint32_t> queue_;
    std::map<std::uint32_t, typename Records::Entry> bySlot_;
};

// How the next writer attaches: without recovery, with it, or with it on files whose queue has no
// pending word (as a writer from before the word leaves them).
enum Attach { noRecovery, recovery, recoveryWithoutWord };

// `table` (a reader or a writer) holds exactly `m`, by lookup and by iteration. Once the first
// lookup has settled the mappings, lookups and iteration steps allocate nothing.
template <class Records, class Table>
void expectRecords(Table& table, const Model& m) {
    std::uint64_t allocations = 0;
    for (std::uint32_t id = 0; id < lastId; ++id) {
        const std::uint64_t generation = generationOf<Records>(table, id);
        if (id == 0) allocations = threadAllocations();
        ASSERT_EQ(generation, m.count(id) ? m.at(id) : 0) << "id " << id;
    }
    std::size_t seen = 0;
    auto visit = [&](std::uint32_t id, std::uint64_t generation) {
        ++seen;
        return m.count(id) && m.at(id) == generation
                   ? ""
                   : "iteration returned id " + std::to_string(id);
    };
    const std::string failure = walk<Records>(table, m.size() + 1, visit);
    EXPECT_EQ(threadAllocations(), allocations);
    EXPECT_EQ(failure, "");
    EXPECT_EQ(seen, m.size());
}

template <class Records>
void crashRun(const CrashCase& c, Attach attach) {
    const bool recover = attach != noRecovery;
    SCOPED_TRACE(Records::kind);
    std::mt19937_64 rng(testSeed(c.point ? c.point : "idle"));
    const std::uint32_t occurrence =
        static_cast<std::uint32_t>(rng() % c.occurrences) * c.perStep + c.at;
    ShmRoot shm;
    SharedPage<std::atomic<std::uint32_t>> step;  // the step under way when the writer died
    Processes p;
    p.start("writer", [&](ChildReport& report) {
        auto w = newWriter<Records>("crash/t", setupOf(c.op));
        typename Records::Entry gone;
        for (std::uint32_t id = 0; id < removedOf(c.op); ++id) w->remove(Records::key(id), gone);
        p.ready.post();
        if (!p.go.wait(60)) return report.fail("no go from the test");
        if (c.point) Hoard::CrashPoint::arm(c.point, occurrence);
        for (std::uint32_t s = 0; s < steps; ++s) {
            *step = s;
            runStep<Records>(*w, c.op, s);
        }
        *step = steps;
        if (c.point) return report.fail("the point was never reached");
        p.ready.post();
        for (;;) ::pause();  // killed idle by the test
    });
    ASSERT_TRUE(p.ready.wait(60, p.child(0))) << p.wait(0);
    auto early = newReader<Records>("crash/t");
    std::unique_ptr<Follower<Records>> follower;
    if constexpr (!std::is_same_v<Records, FlowRecords>) {
        follower = std::make_unique<Follower<Records>>(*early);
    }
    p.go.post();
    if (!c.point) {
        ASSERT_TRUE(p.ready.wait(60, p.child(0))) << p.wait(0);
        p.child(0).kill();
    }
    ASSERT_EQ(p.wait(0, 128 + SIGKILL), "") << "occurrence " << occurrence;
    const std::uint32_t done = *step;
    // A batch step killed inside record r has its first r records written.
    const bool inBatch = c.point && isBatch(c.op);
    const std::uint32_t part = inBatch ? c.record : 0;
    const Model models[] = {
        model(c.op, done, part),
        inBatch ? model(c.op, done, part + 1) : model(c.op, c.point ? done + 1 : done), Model{}};

    // A reader attached before the writer's fatal steps, and one attached after its death.
    auto late = newReader<Records>("crash/t");
    for (auto* r : {early.get(), late.get()}) {
        SCOPED_TRACE(r == early.get() ? "reader attached before the crash" : "attached after");
        expectRecords<Records>(*r, models[c.readers]);
    }

    if (c.recoveryPoint) {
        p.start("writer killed recovering", [&](ChildReport& report) {
            Hoard::CrashPoint::arm(c.recoveryPoint);
            newWriter<Records>("crash/t");
            return report.fail("recovery never reached its point");
        });
        ASSERT_EQ(p.wait(1, 128 + SIGKILL), "");
    }
    if (attach == recoveryWithoutWord) {
        const std::string queue = shm.path() + "/crash/t/herald";
        EXPECT_NE(readAt<std::uint64_t>(queue, 56), 0u);
        const std::uint64_t zero = 0;
        writeAt(queue, 56, &zero, sizeof zero);
    }
    TraceCapture trace;
    Hoard::MapDescriptor d = recordsDescriptor();
    d.recoverOnAttach = recover;
    auto w = newWriter<Records>("crash/t", 0, d);
    const State outcome = recover ? c.readers : c.writer;
    // Adopted: the same incarnation; re-formatted: a new one. Either way the validator reported
    // what it rejected, and recovery counted a repair for it.
    EXPECT_EQ(w->fenixId() == early->fenixId(), outcome != reformat);
    EXPECT_TRUE(c.writer != reformat || c.recoveryPoint || trace.contains(c.reason))
        << "expected: " << c.reason;
    EXPECT_TRUE(!recover || c.writer != reformat || w->writerCounters().repairs > 0);
    expectRecords<Records>(*w, models[outcome]);
    // Recovery's stores are the live writer's kinds: the reader mapped all along follows them.
    if (recover) {
        SCOPED_TRACE("reader attached before the crash, after recovery");
        expectRecords<Records>(*early, models[outcome]);
        // The follower learns every change recovery made or published again.
        if (follower) {
            EXPECT_EQ(follower->catchUp(), models[outcome]);
        }
    }
    // The flag a writer dead inside an operation left: recovery clears it when done; without
    // recovery neither adopting nor re-formatting touches it and the next write clears it. The
    // table passes both checks.
    auto flag = [&] {
        return Mem::Atomics::loadAcquire(w->slotTable().header()->runtimeFlags) &
               SlotTable::writeInProgress;
    };
    EXPECT_EQ(flag(), c.point && !recover ? SlotTable::writeInProgress : 0);
    w->write(Records::make(100000, 5), true);
    EXPECT_EQ(flag(), 0);
    EXPECT_TRUE(w->validate());
    EXPECT_TRUE(w->validateFiles());
}

using CrashParam = std::tuple<CrashCase, Attach>;
class HoardCrashTest : public ::testing::TestWithParam<CrashParam> {};

TEST_P(HoardCrashTest, ReadersKeepCommittedRecordsAndTheNextWriterAdoptsOrReformats) {
    const auto& [c, attach] = GetParam();
    if (c.recoveryPoint && attach == noRecovery) GTEST_SKIP() << "a kill inside recovery";
    if (c.kinds == both && attach != recoveryWithoutWord) crashRun<FlowRecords>(c, attach);
    crashRun<CounterRecords>(c, attach);
}

std::string caseName(const ::testing::TestParamInfo<CrashParam>& info) {
    static const char* const ops[] = {"Insert",       "Overwrite", "Remove",      "DirectInsert",
                                      "DirectUpdate", "Reinsert",  "BatchInsert", "BatchOverwrite"};
    static const char* const attaches[] = {"_NoRecovery", "_Recovered", "_RecoveredWithoutWord"};
    const CrashCase& c = std::get<0>(info.param);
    std::string name = c.point ? c.point : "idle";
    if (c.recoveryPoint) name = name + "_then_" + c.recoveryPoint;
    std::replace(name.begin(), name.end(), '.', '_');
    return name + "_" + ops[c.op] + attaches[std::get<1>(info.param)];
}

INSTANTIATE_TEST_SUITE_P(WriterKilled, HoardCrashTest,
                         ::testing::Combine(::testing::ValuesIn(kCases),
                                            ::testing::Values(noRecovery, recovery,
                                                              recoveryWithoutWord)),
                         caseName);

}  // namespace

#endif  // FLOWTABLE_TEST_HOOKS
