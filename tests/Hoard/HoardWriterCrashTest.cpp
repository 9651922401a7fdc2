// A table writer killed by SIGKILL at each named crash point of its store sequence, and between
// operations: the next writer either adopts the files with every committed record (the
// interrupted operation applied or not, as the store order says) or, when the validator rejects
// what the dead writer left, re-formats them empty. Never a crash or a hang. The outcome of every
// point is stated in one table below, with the validator's reason for each re-format.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <fstream>
#include <map>
#include <ostream>
#include <string>

#include "tests/support/ChildReport.h"
#include "tests/support/Fork.h"
#include "tests/support/SharedPage.h"
#include "tests/support/ShmRoot.h"
#include "tests/support/TraceCapture.h"
#include "tests/support/WriterTypes.h"

#ifdef FLOWTABLE_TEST_HOOKS

namespace {

using namespace TestSupport;
using Hoard::SlotTable;

// The two kinds of table: a flow table (no queue) and a counter table (a notification queue).
enum class Kind { flow, counter };

template <class O, auto make>
struct Table {
    using Ops = O;
    using Writer = Hoard::HoardWriter<O>;
    using Entry = typename Writer::V;
    static Entry entry(std::uint32_t id, std::uint64_t generation) { return make(id, generation); }
};
using FlowTable = Table<FlowOps, &flowEntry>;
using CounterTable = Table<CounterOps, &groupEntry>;

Hoard::MapDescriptor descriptor() {
    Hoard::MapDescriptor d;
    d.slotLimit = 1u << 16;
    return d;
}

// The writer fills a fresh table with `setup` records (ids 0..setup-1, generation 0), arms the
// point and then runs the operation's steps until the point kills it:
//  - insert:       step i inserts id setup+i (generation 1): reaches the write points, the slot
//                  file's growth and the bucket count's growth;
//  - overwrite:    overwrites id 3 with generation 7;
//  - remove:       step i removes id i: reaches the remove points, the slot file's shrink and the
//                  bucket count's shrink;
//  - directInsert: directWrite of id setup, filled with generation 1, then directCommit;
//  - directUpdate: directUpdate of id 3, filled with generation 7, then directCommit.
// A row without a point runs every step, and the test kills the idle writer afterwards.
enum class Op { insert, overwrite, remove, directInsert, directUpdate };

using Model = std::map<std::uint32_t, std::uint64_t>;  // id -> generation

std::uint32_t stepsOf(Op op, std::uint32_t setup) {
    return op == Op::insert ? 1u << 12 : op == Op::remove ? setup : 1;
}

// The records after the first `done` steps.
Model expected(Op op, std::uint32_t setup, std::uint32_t done) {
    Model model;
    for (std::uint32_t i = op == Op::remove ? done : 0; i < setup; ++i) model[i] = 0;
    for (std::uint32_t i = 0; op == Op::insert && i < done; ++i) model[setup + i] = 1;
    if (done > 0 && op == Op::directInsert) model[setup] = 1;
    if (done > 0 && (op == Op::overwrite || op == Op::directUpdate)) model[3] = 7;
    return model;
}

template <class T>
void runStep(typename T::Writer& w, Op op, std::uint32_t setup, std::uint32_t step) {
    typename T::Entry out;
    if (op == Op::insert) w.write(T::entry(setup + step, 1), true);
    if (op == Op::overwrite) w.write(T::entry(3, 7), true);
    if (op == Op::remove) w.remove(T::entry(step, 0).key(), out);
    if (op == Op::directInsert) *w.directWrite(T::entry(setup, 0).key()) = T::entry(setup, 1);
    if (op == Op::directUpdate) *w.directUpdate(T::entry(3, 0).key()) = T::entry(3, 7);
    if (op == Op::directInsert || op == Op::directUpdate) w.directCommit();
}

// The child's side of the story, in memory the test shares with it.
struct Progress {
    std::atomic<std::uint32_t> setup{0};
    std::atomic<std::uint32_t> fenix{0};
    std::atomic<std::uint32_t> inFlight{~0u};  // the step under way when the writer died
    ChildReport report;
};

// ---- The expected outcome per point -------------------------------------------------------------

// Adopted with the interrupted change undone or applied, or re-formatted (every record gone).
enum class Then { undone, applied, reformatted };

struct CrashCase {
    const char* point;  // nullptr: killed between operations
    Kind kind;
    Op op;
    Then then;
    const char* reason = "";  // a re-format: the validator's first failure
    std::uint32_t occurrence = 1;
};

std::ostream& operator<<(std::ostream& os, const CrashCase& c) {
    return os << (c.point ? c.point : "idle") << "#" << c.occurrence;
}

constexpr Kind flow = Kind::flow, counter = Kind::counter;
constexpr Op insert = Op::insert, overwrite = Op::overwrite, removal = Op::remove,
             directInsert = Op::directInsert, directUpdate = Op::directUpdate;
constexpr Then undone = Then::undone, applied = Then::applied, reformatted = Then::reformatted;

// Reasons the validator gives for what a dead writer left:
// an allocated (counted) slot that no link reaches yet, or an unlinked one not yet freed;
constexpr const char* uncounted = "mismatch header->occupiedSlots";
// a rewrite under way: the slot still carries LOOKASIDE;
constexpr const char* stuck = "stuck LOOKASIDE";
// slots on neither the index nor the free list (purged or taken for a move, or a grown file
// whose free list is not yet published);
constexpr const char* slotCount = "bad slotCount";
// a grown bucket count whose old runs are not yet cut: an empty run whose entry still ends at the
// old count's next bucket (the other face, a run holding records of the bucket split from it, is
// found later; the flow table's fixed hash seed makes the order fixed);
constexpr const char* uncutRun = "BucketWriter::validate() bucket:";
// a published record of a counter table whose slot has no notification yet.
constexpr const char* unnotified = "bad herald index";

// clang-format off
const CrashCase kCases[] = {
    // point                     table    operation     next writer  reason     occurrence
    // An overwrite: the lookaside copy is harmless; once LOOKASIDE is set the slot is mid-rewrite.
    {"write.lookaside",           flow,    overwrite,    undone},
    {"write.lookasideSet",        flow,    overwrite,    undone},
    {"write.value",               flow,    overwrite,    reformatted, stuck},
    {"write.status",              flow,    overwrite,    reformatted, stuck},
    // An insert: alloc counts the slot before any link reaches it, so every step before (and
    // including) the publishing store leaves a count the index cannot explain.
    {"write.link",                flow,    insert,       reformatted, uncounted},
    {"write.lookasideSet",        flow,    insert,       reformatted, uncounted},
    {"write.value",               flow,    insert,       reformatted, uncounted},
    {"write.status",              flow,    insert,       reformatted, uncounted},
    {"write.publish",             flow,    insert,       reformatted, uncounted},
    // A remove: only the unlink keeps the table consistent, and only before it.
    {"remove.unlink",             flow,    removal,      undone},
    {"remove.clear",              flow,    removal,      reformatted, uncounted},
    {"remove.free",               flow,    removal,      reformatted, uncounted},
    // Growth of the slot file inside an insert: before the count is published the bigger file
    // is invisible; after it, the new slots are on no list until the free-list head is stored.
    {"grow.publish",              flow,    insert,       undone},
    {"grow.freeList",             flow,    insert,       reformatted, slotCount},
    // Shrink of the slot file inside a remove (the remove itself is complete): the free list is
    // purged above the target first, so every point up to the count's publication re-formats.
    {"shrink.move",               flow,    removal,      reformatted, slotCount},
    {"shrink.move.value",         flow,    removal,      reformatted, slotCount},
    {"shrink.move.status",        flow,    removal,      reformatted, slotCount},
    {"shrink.move.link",          flow,    removal,      reformatted, slotCount},
    {"shrink.move.publish",       flow,    removal,      reformatted, slotCount},
    {"shrink.move.publish",       flow,    removal,      reformatted, slotCount, 3},
    {"shrink.publish",            flow,    removal,      reformatted, slotCount},
    // The bucket count after a complete insert or remove: a grow is safe until its count is
    // published; between publication and the cut of the old runs the validator rejects the runs.
    {"buckets.grow",              flow,    insert,       applied},
    {"buckets.grow.cut",          flow,    insert,       reformatted, uncutRun},
    {"buckets.shrink",            flow,    removal,      applied},
    // Direct mode: a new record is allocated by directWrite, so its commit re-formats at every
    // point; an update of an existing record behaves like an overwrite.
    {"directCommit.link",         flow,    directInsert, reformatted, uncounted},
    {"directCommit.status",       flow,    directInsert, reformatted, uncounted},
    {"directCommit.publish",      flow,    directInsert, reformatted, uncounted},
    {"directCommit.lookasideSet", flow,    directUpdate, undone},
    {"directCommit.value",        flow,    directUpdate, reformatted, stuck},
    {"directCommit.status",       flow,    directUpdate, reformatted, stuck},
    // Counter tables: the notification follows the publication. A new record's fresh slot has no
    // notification yet, so the queue check rejects it; an overwritten or removed slot still has
    // its previous, live one.
    {"notify",                    counter, insert,       reformatted, unnotified},
    {"notify",                    counter, overwrite,    applied},
    {"notify",                    counter, removal,      applied},
    {"notify",                    counter, directInsert, reformatted, unnotified},
    {"notify",                    counter, directUpdate, applied},
    // The queue changes nothing else: an inserted record is notified before the bucket count
    // grows, so a grow never leaves a stored record without its notification.
    {"write.lookasideSet",        counter, overwrite,    undone},
    {"write.publish",             counter, insert,       reformatted, uncounted},
    {"remove.unlink",             counter, removal,      undone},
    {"grow.publish",              counter, insert,       undone},
    {"buckets.grow",              counter, insert,       applied},
    {"buckets.shrink",            counter, removal,      applied},
    {"shrink.move.link",          counter, removal,      reformatted, slotCount},
    {"directCommit.lookasideSet", counter, directUpdate, undone},
    // Killed between operations: every committed record of each kind of operation is adopted.
    {nullptr,                     flow,    insert,       undone},
    {nullptr,                     flow,    overwrite,    undone},
    {nullptr,                     flow,    removal,      undone},
    {nullptr,                     flow,    directInsert, undone},
    {nullptr,                     flow,    directUpdate, undone},
    {nullptr,                     counter, insert,       undone},
    {nullptr,                     counter, overwrite,    undone},
    {nullptr,                     counter, removal,      undone},
    {nullptr,                     counter, directInsert, undone},
    {nullptr,                     counter, directUpdate, undone},
};
// clang-format on

// ---- Checks -------------------------------------------------------------------------------------

// The error-level trace lines, for failure messages.
std::string errorsOf(const TraceCapture& trace) {
    std::string text;
    for (const auto& e : trace.entries()) {
        if (e.level == 0) text += e.text + "\n";
    }
    return text;
}

// runtimeFlags as the dead writer left it, read from the slot file before anyone attaches;
// 0xFFFF when the file cannot be read.
std::uint16_t runtimeFlagsInFile(const std::shared_ptr<Basalt::Platform::DebugHandler>& debug) {
    const Mem::RootPath root(debug, "crash/t", true);
    std::ifstream in(root.filePath(SlotTable::slotsFileName), std::ios::binary);
    in.seekg(offsetof(SlotTable::Header, runtimeFlags));
    std::uint16_t flags = 0xFFFF;
    in.read(reinterpret_cast<char*>(&flags), sizeof flags);
    return in ? flags : 0xFFFF;
}

template <class W>
std::uint16_t writeInProgress(const W& w) {
    return Mem::Atomics::loadAcquire(w.slotTable().header()->runtimeFlags) &
           SlotTable::writeInProgress;
}

// The table holds exactly `model`: each record by lookup, and nothing else by iteration.
template <class T>
void expectRecords(typename T::Writer& w, const Model& model) {
    EXPECT_EQ(w.members(), model.size());
    for (const auto& [id, generation] : model) {
        bool found = false;
        typename T::Entry out;
        w.lookup(T::entry(id, 0).key(), found, &out);
        ASSERT_TRUE(found) << "record " << id;
        ASSERT_EQ(out, T::entry(id, generation)) << "record " << id;
    }
    std::size_t n = 0;
    typename T::Entry v;
    Hoard::IterHint hint;
    for (bool more = w.first(v, hint); more && n <= model.size(); more = w.next(v.key(), v, hint)) {
        ++n;
    }
    EXPECT_EQ(n, model.size());
}

class HoardWriterCrashTest : public ::testing::TestWithParam<CrashCase> {
  protected:
    ShmRoot shm;
    std::shared_ptr<Basalt::Platform::DebugHandler> debug =
        Basalt::Platform::getDebugHandler("HoardWriterCrashTest");
    SharedPage<Progress> progress;

    template <class T>
    void run(const CrashCase& c);
};

template <class T>
void HoardWriterCrashTest::run(const CrashCase& c) {
    Signal idle;
    Child child([&] {
        typename T::Writer w(debug, "crash/t", descriptor(), typename T::Ops(), "Test");
        w.initialize("crash test");
        // Enough records that the slot file has grown three times, so removes reach a shrink.
        const std::uint32_t setup = 6 * w.minSize() + 1;
        for (std::uint32_t i = 0; i < setup; ++i) w.write(T::entry(i, 0), true);
        progress->setup = setup;
        progress->fenix = w.fenixId();
        if (c.point != nullptr) Hoard::CrashPoint::arm(c.point, c.occurrence);
        const std::uint32_t steps = stepsOf(c.op, setup);
        for (std::uint32_t step = 0; step < steps; ++step) {
            progress->inFlight = step;
            runStep<T>(w, c.op, setup, step);
        }
        progress->inFlight = steps;
        if (c.point != nullptr) {
            return progress->report.fail("point not reached in " + std::to_string(steps) +
                                         " steps");
        }
        idle.post();
        for (;;) ::pause();  // killed by the test
    });
    if (c.point == nullptr) {
        ASSERT_TRUE(idle.wait(60, child))
            << "the writer never committed: " << progress->report.text;
        child.kill();
    }
    ASSERT_EQ(child.wait(), 128 + SIGKILL)
        << "the writer must die at " << c << ": " << progress->report.text;
    const std::uint32_t setup = progress->setup, inFlight = progress->inFlight;
    ASSERT_LE(inFlight, stepsOf(c.op, setup));

    // The files as the dead writer left them: the flag set when it died inside an operation.
    const std::uint16_t flags = runtimeFlagsInFile(debug);
    ASSERT_NE(flags, 0xFFFF) << "slot file unreadable";
    EXPECT_EQ(flags & SlotTable::writeInProgress, c.point != nullptr ? 1 : 0);
    Mem::RootPath root(debug, "crash/t", true);
    ASSERT_EQ(SharedMem::FenixFile(debug, root).read().value(), progress->fenix.load());

    // The next incarnation.
    TraceCapture trace;
    typename T::Writer w(debug, "crash/t", descriptor(), typename T::Ops(), "Test");
    ASSERT_TRUE(w.initialize("after the crash"));
    if (c.then != reformatted) {
        EXPECT_EQ(w.fenixId(), progress->fenix.load()) << "adopted: the same incarnation";
        EXPECT_FALSE(trace.contains("validation failed")) << errorsOf(trace);
        expectRecords<T>(w, expected(c.op, setup, inFlight + (c.then == applied ? 1 : 0)));
    } else {
        EXPECT_NE(w.fenixId(), progress->fenix.load()) << "re-formatted: a new incarnation";
        EXPECT_TRUE(trace.contains(c.reason))
            << "expected the validator to report: " << c.reason << "\n"
            << errorsOf(trace);
        expectRecords<T>(w, Model{});
    }
    // Neither adopting nor re-formatting touches the flag (formatting does not write it); the
    // next successful write clears it, and the table passes both checks.
    EXPECT_EQ(writeInProgress(w), flags & SlotTable::writeInProgress);
    w.write(T::entry(100000, 5), true);
    EXPECT_EQ(writeInProgress(w), 0);
    EXPECT_TRUE(w.validate());
    EXPECT_TRUE(w.validateFiles());
}

TEST_P(HoardWriterCrashTest, NextWriterAdoptsOrReformatsAsTheStoreOrderDictates) {
    const CrashCase& c = GetParam();
    if (c.kind == Kind::flow) {
        run<FlowTable>(c);
    } else {
        run<CounterTable>(c);
    }
}

std::string caseName(const ::testing::TestParamInfo<CrashCase>& info) {
    static const char* const ops[] = {"Insert", "Overwrite", "Remove", "DirectInsert",
                                      "DirectUpdate"};
    const CrashCase& c = info.param;
    std::string name = c.point ? c.point : "idle";
    for (char& ch : name) {
        if (ch == '.') ch = '_';
    }
    name += std::string("_") + (c.kind == Kind::flow ? "Flow" : "Counter") +
            ops[static_cast<int>(c.op)];
    if (c.occurrence != 1) name += "_" + std::to_string(c.occurrence);
    return name;
}

INSTANTIATE_TEST_SUITE_P(WriterKilled, HoardWriterCrashTest, ::testing::ValuesIn(kCases), caseName);

}  // namespace

#endif  // FLOWTABLE_TEST_HOOKS
