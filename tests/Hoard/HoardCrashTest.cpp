// A table writer killed by SIGKILL at each named crash point of its store sequence, or between
// operations, with readers attached. The readers go on answering with committed records (the
// interrupted change visible exactly from the store that publishes it), and the next writer
// adopts the files with every committed record (the change undone or applied, as the store order
// says) or, when the validator rejects what the dead writer left, re-formats them empty. Never a
// crash or a hang. One table below states both outcomes of every point.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <random>
#include <string>

#include "tests/support/AllocationCounter.h"
#include "tests/support/Processes.h"
#include "tests/support/Seed.h"
#include "tests/support/SelfCheckingRecords.h"
#include "tests/support/ShmRoot.h"
#include "tests/support/TraceCapture.h"

#ifdef FLOWTABLE_TEST_HOOKS

namespace {

using namespace TestSupport;
using Hoard::SlotTable;

// The writer fills a table with ids [0, setup) of generation 1, then runs steps of one
// operation until the point kills it. Step s inserts id setup + s (from 100 records in 128 slots
// and buckets, step 28 grows both files), overwrites id 3 with generation 2 + s, removes id s
// (from 600 records in 1024 slots and buckets, step 345 shrinks both), or does either of the
// first two in direct mode (directWrite or directUpdate, then directCommit).
enum class Op { insert, overwrite, remove, directInsert, directUpdate };
constexpr std::uint32_t steps = 400;
constexpr std::uint32_t setupOf(Op op) { return op == Op::remove ? 600 : 100; }

using Model = std::map<std::uint32_t, std::uint64_t>;  // id -> generation

// The records after the first `done` steps.
Model model(Op op, std::uint32_t done) {
    const bool inserts = op == Op::insert || op == Op::directInsert;
    Model m;
    for (std::uint32_t id = op == Op::remove ? done : 0; id < setupOf(op); ++id) m[id] = 1;
    for (std::uint32_t s = 0; inserts && s < done; ++s) m[setupOf(op) + s] = 1;
    if (done > 0 && (op == Op::overwrite || op == Op::directUpdate)) m[3] = 1 + done;
    return m;
}

template <class Records>
void runStep(typename Records::Writer& w, Op op, std::uint32_t s) {
    const std::uint32_t fresh = setupOf(op) + s;
    typename Records::Entry gone;
    if (op == Op::insert) w.write(Records::make(fresh, 1), true);
    if (op == Op::overwrite) w.write(Records::make(3, 2 + s), true);
    if (op == Op::remove) w.remove(Records::key(s), gone);
    if (op == Op::directInsert) *w.directWrite(Records::key(fresh)) = Records::make(fresh, 1);
    if (op == Op::directUpdate) *w.directUpdate(Records::key(3)) = Records::make(3, 2 + s);
    if (op == Op::directInsert || op == Op::directUpdate) w.directCommit();
}

// What the readers answer after the death and what the next writer holds: the records before
// the interrupted step, those after it, or (the writer only) none, the files re-formatted.
enum class State { before, after, reformatted };
enum class Kinds { both, counter };  // "notify" is reached only with a queue

struct CrashCase {
    const char* point;  // nullptr: killed idle after the last step
    Kinds kinds;
    Op op;
    std::uint32_t occurrences;  // the point fires at a seeded occurrence in [1, occurrences]
    State readers, writer;
    const char* reason = "";  // a re-format: the validator's first finding
};

void PrintTo(const CrashCase& c, std::ostream* os) { *os << (c.point ? c.point : "idle"); }

constexpr Kinds both = Kinds::both, counter = Kinds::counter;
constexpr Op insert = Op::insert, overwrite = Op::overwrite, removal = Op::remove,
             directInsert = Op::directInsert, directUpdate = Op::directUpdate;
constexpr State before = State::before, after = State::after, reformatted = State::reformatted;

// What the validator finds in what a dead writer left:
constexpr const char* uncounted = "mismatch header->occupiedSlots";  // a counted slot unlinked
constexpr const char* stuck = "stuck LOOKASIDE";                     // a slot mid-rewrite
constexpr const char* slotCount = "bad slotCount";  // slots on neither the index nor free list
constexpr const char* uncutRun = "BucketWriter::validate() bucket:";  // old runs not yet cut
constexpr const char* unnotified = "bad herald index";  // a published slot without notification

// clang-format off
const CrashCase kCases[] = {
    // point                     kinds    operation     n   readers next writer  reason
    // An overwrite: once LOOKASIDE is set readers take the lookaside copy, and the slot is
    // mid-rewrite.
    {"write.lookaside",           both,    overwrite,    20, before, before},
    {"write.lookasideSet",        both,    overwrite,    20, before, before},
    {"write.value",               both,    overwrite,    20, after,  reformatted, stuck},
    {"write.status",              both,    overwrite,    20, after,  reformatted, stuck},
    // An insert: alloc counts the slot before the publishing link store.
    {"write.link",                both,    insert,       20, before, reformatted, uncounted},
    {"write.lookasideSet",        both,    insert,       20, before, reformatted, uncounted},
    {"write.value",               both,    insert,       20, before, reformatted, uncounted},
    {"write.status",              both,    insert,       20, before, reformatted, uncounted},
    {"write.publish",             both,    insert,       20, before, reformatted, uncounted},
    // A remove: only the unlink keeps the table consistent, and only before it.
    {"remove.unlink",             both,    removal,      20, before, before},
    {"remove.clear",              both,    removal,      20, after,  reformatted, uncounted},
    {"remove.free",               both,    removal,      20, after,  reformatted, uncounted},
    // The slot file's growth inside an insert: invisible until its count is published.
    {"grow.publish",              both,    insert,       1,  before, before},
    {"grow.freeList",             both,    insert,       1,  before, reformatted, slotCount},
    // Its shrink after a complete remove: the free list is purged above the target first.
    {"shrink.move",               both,    removal,      50, after,  reformatted, slotCount},
    {"shrink.move.value",         both,    removal,      50, after,  reformatted, slotCount},
    {"shrink.move.status",        both,    removal,      50, after,  reformatted, slotCount},
    {"shrink.move.link",          both,    removal,      50, after,  reformatted, slotCount},
    {"shrink.move.publish",       both,    removal,      50, after,  reformatted, slotCount},
    {"shrink.publish",            both,    removal,      1,  after,  reformatted, slotCount},
    // The bucket count after a complete operation: a grow is safe until its count is published.
    {"buckets.grow",              both,    insert,       1,  after,  after},
    {"buckets.grow.cut",          both,    insert,       1,  after,  reformatted, uncutRun},
    {"buckets.shrink",            both,    removal,      1,  after,  after},
    // Direct mode: directWrite allocates a new record's slot; an update is like an overwrite.
    {"directCommit.link",         both,    directInsert, 20, before, reformatted, uncounted},
    {"directCommit.status",       both,    directInsert, 20, before, reformatted, uncounted},
    {"directCommit.publish",      both,    directInsert, 20, before, reformatted, uncounted},
    {"directCommit.lookasideSet", both,    directUpdate, 20, before, before},
    {"directCommit.value",        both,    directUpdate, 20, after,  reformatted, stuck},
    {"directCommit.status",       both,    directUpdate, 20, after,  reformatted, stuck},
    // The notification follows the publication: a new record's slot has none yet, an
    // overwritten or removed slot still has its previous, live one.
    {"notify",                    counter, insert,       1,  after,  reformatted, unnotified},
    {"notify",                    counter, overwrite,    1,  after,  after},
    {"notify",                    counter, removal,      1,  after,  after},
    {"notify",                    counter, directInsert, 1,  after,  reformatted, unnotified},
    {"notify",                    counter, directUpdate, 1,  after,  after},
    // Killed between operations: every committed record is adopted.
    {nullptr,                     both,    insert,       1,  before, before},
    {nullptr,                     both,    overwrite,    1,  before, before},
    {nullptr,                     both,    removal,      1,  before, before},
    {nullptr,                     both,    directInsert, 1,  before, before},
    {nullptr,                     both,    directUpdate, 1,  before, before},
};
// clang-format on

// `table` (a reader or a writer) holds exactly `m`: each record whole by lookup, no other id of
// the run found, and every record once, in order, by iteration. Once the first lookup has
// settled the mappings, lookups and iteration steps allocate nothing.
template <class Records, class Table>
void expectRecords(Table& table, Op op, const Model& m) {
    std::uint64_t allocations = 0;
    for (std::uint32_t id = 0; id < setupOf(op) + steps; ++id) {
        const std::uint64_t generation = generationOf<Records>(table, id);
        if (id == 0) allocations = threadAllocations();
        ASSERT_EQ(generation, m.count(id) ? m.at(id) : 0) << "id " << id;
    }
    std::size_t seen = 0;
    auto visit = [&](std::uint32_t id, std::uint64_t generation) -> std::string {
        ++seen;
        if (m.count(id) && m.at(id) == generation) return "";
        return "iteration returned id " + std::to_string(id) + " generation " +
               std::to_string(generation);
    };
    const std::string failure = walk<Records>(table, m.size() + 1, visit);
    EXPECT_EQ(threadAllocations(), allocations);
    EXPECT_EQ(failure, "");
    EXPECT_EQ(seen, m.size());
}

template <class Writer>
std::uint16_t writeInProgress(const Writer& w) {
    return Mem::Atomics::loadAcquire(w.slotTable().header()->runtimeFlags) &
           SlotTable::writeInProgress;
}

template <class Records>
void crashRun(const CrashCase& c) {
    SCOPED_TRACE(Records::kind);
    std::mt19937_64 rng(testSeed(c.point ? c.point : "idle"));
    const std::uint32_t occurrence = 1 + static_cast<std::uint32_t>(rng() % c.occurrences);
    ShmRoot shm;
    SharedPage<std::atomic<std::uint32_t>> step;  // the step under way when the writer died
    Processes p;
    p.start("writer", [&](ChildReport& report) {
        auto w = newWriter<Records>("crash/t");
        for (std::uint32_t id = 0; id < setupOf(c.op); ++id) w->write(Records::make(id, 1), true);
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
    typename Records::Reader early(recordsDebug(), "crash/t", typename Records::Ops());
    ASSERT_TRUE(early.initialize("crash"));
    p.go.post();
    if (!c.point) {
        ASSERT_TRUE(p.ready.wait(60, p.child(0))) << p.wait(0);
        p.child(0).kill();
    }
    ASSERT_EQ(p.wait(0, 128 + SIGKILL), "") << "occurrence " << occurrence;
    const std::uint32_t done = *step;
    const Model models[] = {model(c.op, done), model(c.op, c.point ? done + 1 : done), Model{}};

    // A reader attached before the writer's fatal steps, and one attached after its death.
    typename Records::Reader late(recordsDebug(), "crash/t", typename Records::Ops());
    ASSERT_TRUE(late.initialize("crash"));
    for (auto* r : {&early, &late}) {
        SCOPED_TRACE(r == &early ? "reader attached before the crash" : "reader attached after");
        expectRecords<Records>(*r, c.op, models[static_cast<int>(c.readers)]);
    }

    TraceCapture trace;
    typename Records::Writer w(recordsDebug(), "crash/t", recordsDescriptor(),
                               typename Records::Ops(), "Test");
    ASSERT_TRUE(w.initialize("after the crash"));
    // Adopted: the same incarnation; re-formatted: a new one, for the validator's reason.
    EXPECT_EQ(w.fenixId() == early.fenixId(), c.writer != reformatted);
    EXPECT_TRUE(c.writer != reformatted || trace.contains(c.reason)) << "expected: " << c.reason;
    expectRecords<Records>(w, c.op, models[static_cast<int>(c.writer)]);
    // The flag the dead writer left, set when it died inside an operation: neither adopting nor
    // re-formatting touches it, the next write clears it, and the table passes both checks.
    EXPECT_EQ(writeInProgress(w), c.point ? SlotTable::writeInProgress : 0);
    w.write(Records::make(100000, 5), true);
    EXPECT_EQ(writeInProgress(w), 0);
    EXPECT_TRUE(w.validate());
    EXPECT_TRUE(w.validateFiles());
}

class HoardCrashTest : public ::testing::TestWithParam<CrashCase> {};

TEST_P(HoardCrashTest, ReadersKeepCommittedRecordsAndTheNextWriterAdoptsOrReformats) {
    if (GetParam().kinds == both) crashRun<FlowRecords>(GetParam());
    crashRun<CounterRecords>(GetParam());
}

std::string caseName(const ::testing::TestParamInfo<CrashCase>& info) {
    static const char* const ops[] = {"Insert", "Overwrite", "Remove", "DirectInsert",
                                      "DirectUpdate"};
    std::string name = info.param.point ? info.param.point : "idle";
    std::replace(name.begin(), name.end(), '.', '_');
    return name + "_" + ops[static_cast<int>(info.param.op)];
}

INSTANTIATE_TEST_SUITE_P(WriterKilled, HoardCrashTest, ::testing::ValuesIn(kCases), caseName);

}  // namespace

#endif  // FLOWTABLE_TEST_HOOKS
