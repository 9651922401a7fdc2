// A table writer killed by SIGKILL at each named crash point of its store sequence, and between
// operations: the next writer either adopts the files with every committed record (the
// interrupted operation applied or not, as the store order says) or, when the validator rejects
// what the dead writer left, re-formats them empty. Never a crash or a hang. The outcome of every
// point is stated in one table below, with the validator's reason for each re-format.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <fstream>
#include <map>
#include <new>
#include <ostream>
#include <stdexcept>
#include <string>

#include "tests/support/Fork.h"
#include "tests/support/ShmRoot.h"
#include "tests/support/TraceCapture.h"
#include "tests/support/WriterTypes.h"

#ifdef FLOWTABLE_TEST_HOOKS

namespace {

using namespace TestSupport;
using Hoard::SlotTable;

// ---- The two kinds of table ---------------------------------------------------------------------

enum class Kind { flow, counter };

struct FlowTable {
    using Writer = FlowWriter;
    using Ops = FlowOps;
    using Entry = FlowTracking::IpFlowEntry;
    static constexpr const char* name = "crash/flows";
    static Entry make(std::uint32_t id, std::uint64_t generation) {
        return flowEntry(id, generation);
    }
};

struct CounterTable {
    using Writer = CounterWriter;
    using Ops = CounterOps;
    using Entry = Hoard::FlowTracker::FlowGroupCounterEntry;
    static constexpr const char* name = "crash/counters";
    static Entry make(std::uint32_t id, std::uint64_t generation) {
        return groupEntry(id, generation);
    }
};

Hoard::MapDescriptor descriptor() {
    Hoard::MapDescriptor d;
    d.slotLimit = 1u << 16;
    return d;
}

// ---- What the child does ------------------------------------------------------------------------
//
// The child fills a fresh table with `setup` records (ids 0..setup-1, generation 0), arms the
// point and then runs the scenario's steps until the point kills it:
//  - insert:       step i inserts id setup+i (generation 1): reaches the write points, the slot
//                  file's growth and the bucket count's growth;
//  - overwrite:    overwrites id 3 with generation 7;
//  - remove:       step i removes id i: reaches the remove points, the slot file's shrink and the
//                  bucket count's shrink;
//  - directInsert: directWrite of id setup, filled with generation 1, then directCommit;
//  - directUpdate: directUpdate of id 3, filled with generation 7, then directCommit.
enum class Op { insert, overwrite, remove, directInsert, directUpdate };

using Model = std::map<std::uint32_t, std::uint64_t>;  // id -> generation

std::uint32_t stepsOf(Op op, std::uint32_t setup) {
    switch (op) {
        case Op::insert:
            return 1u << 12;
        case Op::remove:
            return setup;
        default:
            return 1;
    }
}

void apply(Model& model, Op op, std::uint32_t setup, std::uint32_t step) {
    switch (op) {
        case Op::insert:
            model[setup + step] = 1;
            break;
        case Op::remove:
            model.erase(step);
            break;
        case Op::directInsert:
            model[setup] = 1;
            break;
        case Op::overwrite:
        case Op::directUpdate:
            model[3] = 7;
            break;
    }
}

template <class T>
void runStep(typename T::Writer& w, Op op, std::uint32_t setup, std::uint32_t step) {
    switch (op) {
        case Op::insert:
            w.write(T::make(setup + step, 1), true);
            break;
        case Op::overwrite:
            w.write(T::make(3, 7), true);
            break;
        case Op::remove: {
            typename T::Entry out;
            w.remove(T::make(step, 0).key(), out);
            break;
        }
        case Op::directInsert:
            *w.directWrite(T::make(setup, 0).key()) = T::make(setup, 1);
            w.directCommit();
            break;
        case Op::directUpdate:
            *w.directUpdate(T::make(3, 0).key()) = T::make(3, 7);
            w.directCommit();
            break;
    }
}

// What the child tells the parent through a shared anonymous mapping: the setup size, its fenix
// and the step it was in when it died.
struct Progress {
    std::atomic<std::uint32_t> setup{0};
    std::atomic<std::uint32_t> fenix{0};
    std::atomic<std::uint32_t> inFlight{~0u};
};

class SharedProgress {
  public:
    SharedProgress() {
        void* p = ::mmap(nullptr, sizeof(Progress), PROT_READ | PROT_WRITE,
                         MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) throw std::runtime_error("mmap failed");
        progress_ = new (p) Progress;
    }
    ~SharedProgress() { ::munmap(progress_, sizeof(Progress)); }
    SharedProgress(const SharedProgress&) = delete;
    SharedProgress& operator=(const SharedProgress&) = delete;
    Progress* operator->() const { return progress_; }

  private:
    Progress* progress_;
};

// A child that never reaches its point (or hangs) ends by SIGALRM instead of blocking the test.
constexpr unsigned childDeadlineSeconds = 60;

// ---- The expected outcome per point -------------------------------------------------------------

enum class Then { adopted, reformatted };
// The interrupted operation's change: undone or applied in an adopted table, gone with every
// other record in a re-formatted one.
enum class Interrupted { undone, applied, gone };
enum class Flag { clear, set };

struct CrashCase {
    const char* point;
    Kind kind;
    Op op;
    Then then;
    Interrupted change;
    Flag flag;           // runtimeFlags bit 0x1 in the file the dead writer left
    const char* reason;  // a re-format: the validator's first failure
    std::uint32_t occurrence = 1;
};

std::ostream& operator<<(std::ostream& os, const CrashCase& c) {
    return os << c.point << "#" << c.occurrence;
}

constexpr Kind flow = Kind::flow, counter = Kind::counter;
constexpr Op insert = Op::insert, overwrite = Op::overwrite, removal = Op::remove,
             directInsert = Op::directInsert, directUpdate = Op::directUpdate;
constexpr Then adopted = Then::adopted, reformatted = Then::reformatted;
constexpr Interrupted undone = Interrupted::undone, applied = Interrupted::applied,
                      gone = Interrupted::gone;
constexpr Flag set = Flag::set, clear = Flag::clear;

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
    // point                      table    operation     next attach  change   flag   reason
    // An overwrite: the lookaside copy is harmless; once LOOKASIDE is set the slot is mid-rewrite.
    {"write.lookaside",           flow,    overwrite,    adopted,     undone,  set,   ""},
    {"write.lookasideSet",        flow,    overwrite,    adopted,     undone,  set,   ""},
    {"write.value",               flow,    overwrite,    reformatted, gone,    set,   stuck},
    {"write.status",              flow,    overwrite,    reformatted, gone,    set,   stuck},
    // An insert: alloc counts the slot before any link reaches it, so every step before (and
    // including) the publishing store leaves a count the index cannot explain.
    {"write.link",                flow,    insert,       reformatted, gone,    set,   uncounted},
    {"write.lookasideSet",        flow,    insert,       reformatted, gone,    set,   uncounted},
    {"write.value",               flow,    insert,       reformatted, gone,    set,   uncounted},
    {"write.status",              flow,    insert,       reformatted, gone,    set,   uncounted},
    {"write.publish",             flow,    insert,       reformatted, gone,    set,   uncounted},
    // A remove: only the unlink keeps the table consistent, and only before it.
    {"remove.unlink",             flow,    removal,      adopted,     undone,  set,   ""},
    {"remove.clear",              flow,    removal,      reformatted, gone,    set,   uncounted},
    {"remove.free",               flow,    removal,      reformatted, gone,    set,   uncounted},
    // Growth of the slot file inside an insert: before the count is published the bigger file
    // is invisible; after it, the new slots are on no list until the free-list head is stored.
    {"grow.publish",              flow,    insert,       adopted,     undone,  set,   ""},
    {"grow.freeList",             flow,    insert,       reformatted, gone,    set,   slotCount},
    // Shrink of the slot file inside a remove (the remove itself is complete): the free list is
    // purged above the target first, so every point up to the count's publication re-formats.
    {"shrink.move",               flow,    removal,      reformatted, gone,    set,   slotCount},
    {"shrink.move.value",         flow,    removal,      reformatted, gone,    set,   slotCount},
    {"shrink.move.status",        flow,    removal,      reformatted, gone,    set,   slotCount},
    {"shrink.move.link",          flow,    removal,      reformatted, gone,    set,   slotCount},
    {"shrink.move.publish",       flow,    removal,      reformatted, gone,    set,   slotCount},
    {"shrink.move.publish",       flow,    removal,      reformatted, gone,    set,   slotCount, 3},
    {"shrink.publish",            flow,    removal,      reformatted, gone,    set,   slotCount},
    // The bucket count after a complete insert or remove: a grow is safe until its count is
    // published; between publication and the cut of the old runs the validator rejects the runs.
    {"buckets.grow",              flow,    insert,       adopted,     applied, set,   ""},
    {"buckets.grow.cut",          flow,    insert,       reformatted, gone,    set,   uncutRun},
    {"buckets.shrink",            flow,    removal,      adopted,     applied, set,   ""},
    // Direct mode: a new record is allocated by directWrite, so its commit re-formats at every
    // point; an update of an existing record behaves like an overwrite.
    {"directCommit.link",         flow,    directInsert, reformatted, gone,    set,   uncounted},
    {"directCommit.status",       flow,    directInsert, reformatted, gone,    set,   uncounted},
    {"directCommit.publish",      flow,    directInsert, reformatted, gone,    set,   uncounted},
    {"directCommit.lookasideSet", flow,    directUpdate, adopted,     undone,  set,   ""},
    {"directCommit.value",        flow,    directUpdate, reformatted, gone,    set,   stuck},
    {"directCommit.status",       flow,    directUpdate, reformatted, gone,    set,   stuck},
    // Counter tables: the notification follows the publication. A new record's fresh slot has no
    // notification yet, so the queue check rejects it; an overwritten or removed slot still has
    // its previous, live one.
    {"notify",                    counter, insert,       reformatted, gone,    set,   unnotified},
    {"notify",                    counter, overwrite,    adopted,     applied, set,   ""},
    {"notify",                    counter, removal,      adopted,     applied, set,   ""},
    {"notify",                    counter, directInsert, reformatted, gone,    set,   unnotified},
    {"notify",                    counter, directUpdate, adopted,     applied, set,   ""},
    // The queue changes nothing else: an inserted record is notified before the bucket count
    // grows, so a grow never leaves a stored record without its notification.
    {"write.lookasideSet",        counter, overwrite,    adopted,     undone,  set,   ""},
    {"write.publish",             counter, insert,       reformatted, gone,    set,   uncounted},
    {"remove.unlink",             counter, removal,      adopted,     undone,  set,   ""},
    {"grow.publish",              counter, insert,       adopted,     undone,  set,   ""},
    {"buckets.grow",              counter, insert,       adopted,     applied, set,   ""},
    {"buckets.shrink",            counter, removal,      adopted,     applied, set,   ""},
    {"shrink.move.link",          counter, removal,      reformatted, gone,    set,   slotCount},
    {"directCommit.lookasideSet", counter, directUpdate, adopted,     undone,  set,   ""},
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
std::uint16_t runtimeFlagsInFile(const std::shared_ptr<Basalt::Platform::DebugHandler>& debug,
                                 const char* table) {
    const Mem::RootPath root(debug, table, true);
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
        w.lookup(T::make(id, 0).key(), found, &out);
        ASSERT_TRUE(found) << "record " << id;
        ASSERT_EQ(out, T::make(id, generation)) << "record " << id;
    }
    std::size_t n = 0;
    typename T::Entry v;
    Hoard::IterHint hint;
    for (bool more = w.first(v, hint); more && n <= model.size(); more = w.next(v.key(), v, hint)) {
        ++n;
    }
    EXPECT_EQ(n, model.size());
}

// The attached table works on: the next write clears the flag, and both checks pass.
template <class T>
void expectUsable(typename T::Writer& w) {
    w.write(T::make(100000, 5), true);
    EXPECT_EQ(writeInProgress(w), 0) << "the next successful write clears the flag";
    EXPECT_TRUE(w.validate());
    EXPECT_TRUE(w.validateFiles());
}

class HoardWriterCrashTest : public ::testing::TestWithParam<CrashCase> {
  protected:
    ShmRoot shm;
    std::shared_ptr<Basalt::Platform::DebugHandler> debug =
        Basalt::Platform::getDebugHandler("HoardWriterCrashTest");
    SharedProgress progress;

    template <class T>
    void run(const CrashCase& c);
};

template <class T>
void HoardWriterCrashTest::run(const CrashCase& c) {
    Child child([&] {
        ::alarm(childDeadlineSeconds);
        typename T::Writer w(debug, T::name, descriptor(), typename T::Ops(), "Test");
        w.initialize("crash test");
        // Enough records that the slot file has grown three times, so removes reach a shrink.
        const std::uint32_t setup = 6 * w.minSize() + 1;
        for (std::uint32_t i = 0; i < setup; ++i) w.write(T::make(i, 0), true);
        progress->setup = setup;
        progress->fenix = w.fenixId();
        Hoard::CrashPoint::arm(c.point, c.occurrence);
        for (std::uint32_t step = 0; step < stepsOf(c.op, setup); ++step) {
            progress->inFlight = step;
            runStep<T>(w, c.op, setup, step);
        }
        return false;  // the point was never reached
    });
    ASSERT_EQ(child.wait(), 128 + SIGKILL) << "the writer must die at " << c.point;
    const std::uint32_t setup = progress->setup, inFlight = progress->inFlight;
    ASSERT_LT(inFlight, stepsOf(c.op, setup));

    // The files as the dead writer left them.
    const std::uint16_t flags = runtimeFlagsInFile(debug, T::name);
    ASSERT_NE(flags, 0xFFFF) << "slot file unreadable";
    EXPECT_EQ(flags & SlotTable::writeInProgress, c.flag == set ? 1 : 0);
    Mem::RootPath root(debug, T::name, true);
    ASSERT_EQ(SharedMem::FenixFile(debug, root).read().value(), progress->fenix.load());

    Model model;
    for (std::uint32_t i = 0; i < setup; ++i) model[i] = 0;
    for (std::uint32_t step = 0; step < inFlight; ++step) apply(model, c.op, setup, step);
    if (c.change == applied) apply(model, c.op, setup, inFlight);

    // The next incarnation.
    TraceCapture trace;
    typename T::Writer w(debug, T::name, descriptor(), typename T::Ops(), "Test");
    ASSERT_TRUE(w.initialize("after the crash"));
    if (c.then == adopted) {
        EXPECT_EQ(w.fenixId(), progress->fenix.load()) << "adopted: the same incarnation";
        EXPECT_FALSE(trace.contains("validation failed")) << errorsOf(trace);
        expectRecords<T>(w, model);
    } else {
        EXPECT_NE(w.fenixId(), progress->fenix.load()) << "re-formatted: a new incarnation";
        EXPECT_TRUE(trace.contains(c.reason))
            << "expected the validator to report: " << c.reason << "\n"
            << errorsOf(trace);
        expectRecords<T>(w, Model{});
    }
    // Neither adopting nor re-formatting touches the flag (formatting does not write it).
    EXPECT_EQ(writeInProgress(w), flags & SlotTable::writeInProgress);
    expectUsable<T>(w);
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
    std::string name = info.param.point;
    for (char& ch : name) {
        if (ch == '.') ch = '_';
    }
    name += std::string("_") + (info.param.kind == Kind::flow ? "Flow" : "Counter") +
            ops[static_cast<int>(info.param.op)];
    if (info.param.occurrence != 1) name += "_" + std::to_string(info.param.occurrence);
    return name;
}

INSTANTIATE_TEST_SUITE_P(WriterKilledAtPoint, HoardWriterCrashTest, ::testing::ValuesIn(kCases),
                         caseName);

// ---- Killed between operations ------------------------------------------------------------------

class HoardWriterKilledIdleTest : public ::testing::TestWithParam<Kind> {
  protected:
    ShmRoot shm;
    std::shared_ptr<Basalt::Platform::DebugHandler> debug =
        Basalt::Platform::getDebugHandler("HoardWriterCrashTest");

    template <class T>
    void run();
};

template <class T>
void HoardWriterKilledIdleTest::run() {
    // Every kind of operation, committed: inserts, overwrites, removes, both direct modes.
    Model model;
    for (std::uint32_t i = 0; i < 300; ++i) model[i] = 0;
    for (std::uint32_t i = 0; i < 300; i += 7) model[i] = 2;
    for (std::uint32_t i = 100; i < 200; ++i) model.erase(i);
    model[5] = 9;
    model[400] = 3;
    SharedProgress shared;
    Signal committed;
    Child child([&]() -> bool {
        ::alarm(childDeadlineSeconds);
        typename T::Writer w(debug, T::name, descriptor(), typename T::Ops(), "Test");
        w.initialize("crash test");
        for (std::uint32_t i = 0; i < 300; ++i) w.write(T::make(i, 0), true);
        for (std::uint32_t i = 0; i < 300; i += 7) w.write(T::make(i, 2), true);
        typename T::Entry out;
        for (std::uint32_t i = 100; i < 200; ++i) w.remove(T::make(i, 0).key(), out);
        *w.directUpdate(T::make(5, 0).key()) = T::make(5, 9);
        w.directCommit();
        *w.directWrite(T::make(400, 0).key()) = T::make(400, 3);
        w.directCommit();
        shared->fenix = w.fenixId();
        committed.post();
        for (;;) ::pause();  // killed by the parent
    });
    ASSERT_TRUE(committed.wait(childDeadlineSeconds)) << "the writer never committed";
    child.kill();
    ASSERT_EQ(child.wait(), 128 + SIGKILL);
    EXPECT_EQ(runtimeFlagsInFile(debug, T::name), 0);

    TraceCapture trace;
    typename T::Writer w(debug, T::name, descriptor(), typename T::Ops(), "Test");
    ASSERT_TRUE(w.initialize("after the crash"));
    EXPECT_EQ(w.fenixId(), shared->fenix.load()) << "adopted: the same incarnation";
    expectRecords<T>(w, model);
    EXPECT_EQ(writeInProgress(w), 0);
    expectUsable<T>(w);
}

TEST_P(HoardWriterKilledIdleTest, NextWriterAdoptsEveryCommittedRecord) {
    if (GetParam() == Kind::flow) {
        run<FlowTable>();
    } else {
        run<CounterTable>();
    }
}

INSTANTIATE_TEST_SUITE_P(WriterKilledBetweenOperations, HoardWriterKilledIdleTest,
                         ::testing::Values(Kind::flow, Kind::counter), [](const auto& info) {
                             return std::string(info.param == Kind::flow ? "Flow" : "Counter");
                         });

}  // namespace

#endif  // FLOWTABLE_TEST_HOOKS
