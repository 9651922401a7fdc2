// Readers in their own processes look up (singly and in batches), iterate and scan while a writer
// in another inserts, overwrites, removes, and grows and shrinks both files: every record read is
// whole, stable records are always found, iterations return each once in order, scans at least
// once, and a removed key never comes back. Scans across shrinks that move the stable records
// they walk. Then a reader paused inside a lookup while the files shrink twice and the disk fills
// up.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <numeric>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/ManualClockGuard.h"
#include "tests/support/Processes.h"
#include "tests/support/Seed.h"
#include "tests/support/SelfCheckingRecords.h"
#include "tests/support/ShmRoot.h"
#include "tests/support/TraceCapture.h"
#include "tools/torture/Harness.h"

namespace {

using namespace TestSupport;

// Pins the writer to the first CPU it may use and a reader to the others, so that they run at the
// same time (the races need that); nothing is pinned with a single CPU.
void pin(bool writer) {
    cpu_set_t allowed, set;
    if (::sched_getaffinity(0, sizeof allowed, &allowed) != 0 || CPU_COUNT(&allowed) < 2) return;
    int first = 0;
    while (!CPU_ISSET(first, &allowed)) ++first;
    CPU_ZERO(&set);
    CPU_SET(first, &set);
    if (!writer) CPU_XOR(&set, &allowed, &set);  // every allowed CPU but the first
    ::sched_setaffinity(0, sizeof set, &set);
}

// The keys of a run, by id range.
struct Plan {
    static constexpr std::uint32_t stable = 200;  // written before the readers start, never removed
    static constexpr std::uint32_t hot = 4;       // stable ids [0, hot) are overwritten all along
    static constexpr std::uint32_t dyingBase = 1000, dying = 400;   // removed for good, in order
    static constexpr std::uint32_t churnBase = 2000, churn = 1500;  // inserted, then removed
    // Rounds of fill and empty, then bursts of hot overwrites until the readers have seen every
    // race (retries, lookaside reads, remaps), at most maxBursts.
    static constexpr std::uint32_t rounds = 150, maxBursts = 500;
    static constexpr std::uint32_t readers = 3;

    enum class Role { stable, dying, churn, unknown };
    static Role role(std::uint32_t id) {
        if (id < stable) return Role::stable;
        if (id >= dyingBase && id < dyingBase + dying) return Role::dying;
        if (id >= churnBase && id < churnBase + churn) return Role::churn;
        return Role::unknown;
    }
};

// The page the writer, the readers and the test share. Thread safety: every field is written by
// one process (the writer's fields by the writer, a reader's counters by that reader).
struct TortureState {
    // Dying ids below dyingBase + watermark are removed for good: stored with release after the
    // removal returned; a reader loads it with acquire before it looks.
    std::atomic<std::uint32_t> watermark{0};
    std::atomic<std::uint32_t> writerDone{0};  // set by the test once the writer ended
    Hoard::Writer::Counters writer;            // stored by the writer as it ends
    // What each reader saw of the three races: retries, lookaside reads and remaps.
    std::atomic<std::uint64_t> counters[Plan::readers][3] = {};

    std::uint64_t total(std::size_t k) const {
        std::uint64_t sum = 0;
        for (const auto& reader : counters) sum += reader[k].load(std::memory_order_relaxed);
        return sum;
    }
    bool racesSeen() const { return total(0) > 0 && total(1) > 0 && total(2) > 0; }
};

// The writer process: fills the stable and dying records, lets the readers attach, then runs
// rounds of filling and emptying the churn records, with a hot overwrite after every step, a
// dying removal every few steps and a burst of hot overwrites between fill and empty.
template <class Records>
bool runWriter(TortureState& state, Processes& p, ChildReport& report, std::uint64_t seed) {
    auto w = newWriter<Records>(std::string("torture/") + Records::kind);
    std::vector<std::uint64_t> hotGeneration(Plan::hot, 1);
    for (std::uint32_t id = 0; id < Plan::dyingBase + Plan::dying; ++id) {
        if (Plan::role(id) != Plan::Role::unknown) w->write(Records::make(id, 1), true);
    }
    for (std::uint32_t i = 0; i < Plan::readers; ++i) p.ready.post();
    for (std::uint32_t i = 0; i < Plan::readers; ++i) {
        if (!p.go.wait(60)) return report.fail("the readers never attached");
    }
    std::mt19937_64 rng(seed);
    typename Records::Entry gone;
    std::uint32_t removed = 0;
    std::uint64_t steps = 0;
    // The dying records go one by one, spread over all rounds.
    constexpr std::uint64_t dyingEvery = 2ull * Plan::churn * Plan::rounds / Plan::dying;
    auto removeDying = [&] {
        if (!w->remove(Records::key(Plan::dyingBase + removed), gone)) {
            throw std::runtime_error("a dying record was missing");
        }
        state.watermark.store(++removed, std::memory_order_release);
    };
    auto overwriteHot = [&] {
        const std::uint32_t id = static_cast<std::uint32_t>(rng() % Plan::hot);
        w->write(Records::make(id, ++hotGeneration[id]), true);
    };
    auto between = [&] {
        overwriteHot();
        if (++steps % dyingEvery == 0 && removed < Plan::dying) removeDying();
    };
    std::vector<std::uint32_t> order(Plan::churn);
    std::iota(order.begin(), order.end(), Plan::churnBase);
    std::uint64_t generation = 1;
    for (std::uint32_t round = 0; round < Plan::rounds; ++round) {
        Torture::fillAndEmpty<Records>(
            *w, order, generation, rng,
            [&] {
                for (std::uint32_t i = 0; i < 500; ++i) overwriteHot();
            },
            between);
    }
    while (removed < Plan::dying) removeDying();
    // A lookaside read needs a reader on a hot slot inside the rewrite window: on a loaded
    // machine that may take more rewrites than the rounds made.
    for (std::uint32_t burst = 0; burst < Plan::maxBursts && !state.racesSeen(); ++burst) {
        for (std::uint32_t i = 0; i < 2000; ++i) overwriteHot();
    }
    state.writer = w->writerCounters();
    return true;
}

// Whether `id` may be found now: stable and churn ids, dying ids from the watermark on, and after
// the writer is done (`final`) stable ids only.
bool mayBeFound(std::uint32_t id, std::uint32_t watermark, bool final) {
    const Plan::Role role = Plan::role(id);
    return role == Plan::Role::stable ||
           (!final && (role == Plan::Role::churn ||
                       (role == Plan::Role::dying && id - Plan::dyingBase >= watermark)));
}

// Half of the lookups are of hot records.
std::uint32_t pickId(std::mt19937_64& rng) {
    const std::uint32_t dice = static_cast<std::uint32_t>(rng() % 100);
    const std::uint64_t r = rng();
    if (dice < 50) return static_cast<std::uint32_t>(r % Plan::hot);
    if (dice < 70) return static_cast<std::uint32_t>(r % Plan::stable);
    if (dice < 82) return Plan::dyingBase + static_cast<std::uint32_t>(r % Plan::dying);
    return Plan::churnBase + static_cast<std::uint32_t>(r % Plan::churn);
}

// A reader process: rounds of lookups (every sixteenth a batch of 16) and, every eighth round, a
// whole iteration and a scan, until the writer is done; then a last check of the final table (the
// stable records only). Returns the first finding.
template <class Records>
std::string runReader(TortureState& state, std::uint32_t index, std::uint64_t seed, Processes& p) {
    if (!p.ready.wait(60, p.child(0))) return "the table never became ready";
    const auto r = newReader<Records>(std::string("torture/") + Records::kind);
    const Hoard::Reader::Counters base = r->readerCounters();
    p.go.post();
    std::mt19937_64 rng(seed);
    Torture::CallCounts counts;
    Torture::Reads<Records> reads(*r, counts, Plan::churnBase + Plan::churn);
    std::vector<std::uint64_t> lastGeneration(Plan::stable);
    std::vector<std::uint32_t> iterated(Plan::stable);
    // Read before each call: a dying id below it was removed before the call began.
    std::uint32_t watermark = 0;
    bool final = false;
    auto judge = [&](Torture::Call call, std::uint32_t id, std::uint64_t generation) {
        const std::string what = Torture::callNames[call] + (" of id " + std::to_string(id));
        if (generation && !mayBeFound(id, watermark, final)) return what + ": found though absent";
        if (Plan::role(id) != Plan::Role::stable) return std::string();
        if (!generation) return what + ": stable record not found";
        if (call == Torture::iterateCall) ++iterated[id];
        if (call <= Torture::batchCall &&
            generation < std::exchange(lastGeneration[id], generation)) {
            return what + ": generation went back to " + std::to_string(generation);
        }
        return std::string();
    };
    // Every record whole, each stable one handed out exactly once by an iteration and at least
    // once by a scan, no dying record below the watermark read before they began.
    auto walks = [&]() -> std::string {
        watermark = state.watermark.load(std::memory_order_acquire);
        std::fill(iterated.begin(), iterated.end(), 0);
        std::string failure = reads.iterate(judge);
        if (failure.empty()) failure = reads.scan(judge);
        for (std::uint32_t id = 0; id < Plan::stable && failure.empty(); ++id) {
            if (iterated[id] != 1 || reads.handedOut(id) == 0) {
                return "stable id " + std::to_string(id) + " iterated " +
                       std::to_string(iterated[id]) + ", scanned " +
                       std::to_string(reads.handedOut(id));
            }
        }
        return failure;
    };
    auto publish = [&] {
        const Hoard::Reader::Counters c = r->readerCounters();
        state.counters[index][0] = c.retries - base.retries;
        state.counters[index][1] = c.lookasideReads - base.lookasideReads;
        state.counters[index][2] = c.remaps - base.remaps;
    };
    auto pick = [&] { return pickId(rng); };
    std::string failure;
    bool last = false;
    for (std::uint64_t round = 0; !last && failure.empty(); ++round) {
        last = state.writerDone.load(std::memory_order_acquire) != 0;
        for (int i = 0; i < 64 && failure.empty(); ++i) {
            watermark = state.watermark.load(std::memory_order_acquire);
            failure = i % 16 == 15 ? reads.batch(Torture::distinctIds(16, pick), judge)
                                   : reads.lookup(pick(), judge);
        }
        if (round % 8 == 0 && failure.empty()) failure = walks();
        publish();
    }
    // The writer is done: the table holds exactly the stable records.
    final = true;
    if (failure.empty()) failure = walks();
    for (std::uint32_t id = 0; id < Plan::churnBase + Plan::churn && failure.empty(); ++id) {
        if (Plan::role(id) != Plan::Role::unknown) failure = reads.lookup(id, judge);
    }
    publish();
    return failure;
}

// Runs a writer process and `readers` reader processes, pinned apart, over a `State` page; the
// readers are told when the writer ended (state.writerDone). "" or the first failure.
template <class State, class Writer, class Reader>
std::string runProcesses(State& state, std::uint32_t readers, std::uint64_t seed, Writer&& writer,
                         Reader&& reader) {
    Processes p;
    p.start("writer", [&](ChildReport& report) {
        pin(true);
        return writer(state, p, report, seed);
    });
    for (std::uint32_t i = 0; i < readers; ++i) {
        p.start("reader " + std::to_string(i), [&, i](ChildReport& report) {
            pin(false);
            const std::string failure = reader(state, i, seed + 1 + i, p);
            return failure.empty() || report.fail(failure);
        });
    }
    p.wait(0);  // waitAll() below names its failure first
    state.writerDone.store(1, std::memory_order_release);  // the readers stop at their next call
    return p.waitAll();
}

template <class Records>
void tortureRun() {
    ShmRoot shm;
    SharedPage<TortureState> state;
    EXPECT_EQ(runProcesses(*state, Plan::readers, testSeed(Records::kind), runWriter<Records>,
                           runReader<Records>),
              "");
    // The races really ran.
    const Hoard::Writer::Counters& w = state->writer;
    EXPECT_TRUE(state->racesSeen()) << "retries " << state->total(0) << ", lookaside reads "
                                    << state->total(1) << ", remaps " << state->total(2);
    EXPECT_TRUE(w.grows > 0 && w.shrinks > 0 && w.bucketGrows > 0 && w.bucketShrinks > 0);
}

TEST(HoardReaderTortureTest, FlowTableReadersSeeOnlyWholeCommittedRecords) {
    tortureRun<FlowRecords>();
}

TEST(HoardReaderTortureTest, CounterTableReadersSeeOnlyWholeCommittedRecords) {
    tortureRun<CounterRecords>();
}

// ---- Scans across shrinks that move the records they walk ------------------------------------

// Each round the writer fills the churn records and then the stable ones, which so take the
// upper slots, and empties the churn records again: the table shrinks and moves the stable
// records down, into slots a descending scan has yet to walk. The stable set is whole while the
// epoch is even (odd while the writer inserts or removes it, a sequence lock).
struct MovePlan {
    static constexpr std::uint32_t stable = 100, churnBase = 100, churn = 1100;
    static constexpr std::uint32_t absentBase = 1200, ids = 1300;  // never written: misses
    static constexpr std::uint32_t readers = 2, minRounds = 10, maxRounds = 400, overlaps = 20;
};

// Thread safety: the writer stores epoch, shrinks and movedRecords, the readers add to
// overlapped, the test sets writerDone once the writer ended.
struct MoveState {
    std::atomic<std::uint64_t> epoch{1};
    std::atomic<std::uint64_t> shrinks{0};  // the writer's shrinks so far; may lag by a step
    std::atomic<std::uint32_t> writerDone{0};
    std::atomic<std::uint64_t> overlapped{0};  // scans with a whole stable set across a shrink
    std::uint64_t movedRecords = 0;            // stored by the writer as it ends
};

template <class Records>
bool moveWriter(MoveState& state, Processes& p, ChildReport& report, std::uint64_t seed) {
    auto w = newWriter<Records>(std::string("moves/") + Records::kind);
    for (std::uint32_t i = 0; i < MovePlan::readers; ++i) p.ready.post();
    for (std::uint32_t i = 0; i < MovePlan::readers; ++i) {
        if (!p.go.wait(60)) return report.fail("the readers never attached");
    }
    std::mt19937_64 rng(seed);
    std::vector<std::uint32_t> churn(MovePlan::churn);
    std::iota(churn.begin(), churn.end(), MovePlan::churnBase);
    typename Records::Entry gone;
    std::uint64_t generation = 0;
    for (std::uint64_t round = 1; round <= MovePlan::maxRounds; ++round) {
        if (round > MovePlan::minRounds && state.overlapped.load() >= MovePlan::overlaps) break;
        auto stableIn = [&] {
            for (std::uint32_t id = 0; id < MovePlan::stable; ++id) {
                w->write(Records::make(id, ++generation), true);
            }
            // Pairs with the reader's acquire load before its call.
            state.epoch.store(2 * round, std::memory_order_release);
        };
        Torture::fillAndEmpty<Records>(*w, churn, generation, rng, stableIn, [&] {
            state.shrinks.store(w->writerCounters().shrinks, std::memory_order_relaxed);
        });
        // Odd before the first removal: pairs with the reader's acquire fence after its call.
        state.epoch.store(2 * round + 1, std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_release);
        for (std::uint32_t id = 0; id < MovePlan::stable; ++id) w->remove(Records::key(id), gone);
    }
    state.movedRecords = w->writerCounters().movedRecords;
    return true;
}

// Scans and batches of 16 (stable, churn and never-written ids); a call that began and ended in
// the same even epoch found every stable record, a scan at least once.
template <class Records>
std::string moveReader(MoveState& state, std::uint32_t, std::uint64_t seed, Processes& p) {
    if (!p.ready.wait(60, p.child(0))) return "the table never became ready";
    const auto r = newReader<Records>(std::string("moves/") + Records::kind);
    p.go.post();
    std::mt19937_64 rng(seed);
    Torture::CallCounts counts;
    Torture::Reads<Records> reads(*r, counts, MovePlan::ids);
    std::vector<std::uint32_t> missed;
    auto judge = [&](Torture::Call, std::uint32_t id, std::uint64_t generation) {
        if (generation && id >= MovePlan::absentBase) return "found id " + std::to_string(id);
        if (!generation && id < MovePlan::stable) missed.push_back(id);
        return std::string();
    };
    auto pick = [&] {
        const std::uint64_t r = rng();
        return static_cast<std::uint32_t>(r % 4 == 0 ? r / 4 % MovePlan::stable
                                                     : MovePlan::churnBase + r / 4 % 1200);
    };
    for (std::uint64_t call = 0; state.writerDone.load() == 0; ++call) {
        const bool scan = call % 4 == 0;
        // Pairs with the writer's release store once the stable set is in.
        const std::uint64_t epoch = state.epoch.load(std::memory_order_acquire);
        const std::uint64_t shrinks = state.shrinks.load(std::memory_order_relaxed);
        missed.clear();
        std::string failure =
            scan ? reads.scan(judge) : reads.batch(Torture::distinctIds(16, pick), judge);
        // Pairs with the writer's release fence before it removes the stable set: a call that
        // saw a removal sees the odd epoch.
        std::atomic_thread_fence(std::memory_order_acquire);
        const bool whole = epoch % 2 == 0 && state.epoch.load(std::memory_order_relaxed) == epoch;
        if (!failure.empty()) return failure;
        for (std::uint32_t id = 0; whole && scan && id < MovePlan::stable; ++id) {
            if (reads.handedOut(id) == 0) missed.push_back(id);
        }
        if (whole && !missed.empty()) {
            return (scan ? "a scan" : "a batch") +
                   (" missed stable id " + std::to_string(missed[0]));
        }
        if (whole && scan && state.shrinks.load() != shrinks) ++state.overlapped;
    }
    return "";
}

template <class Records>
void moveRun() {
    ShmRoot shm;
    SharedPage<MoveState> state;
    EXPECT_EQ(runProcesses(*state, MovePlan::readers, testSeed(Records::kind), moveWriter<Records>,
                           moveReader<Records>),
              "");
    // The race ran: stable records moved while whole scans walked.
    EXPECT_GT(state->movedRecords, 0u);
    EXPECT_GE(state->overlapped.load(), MovePlan::overlaps);
}

TEST(HoardReaderScanTest, FlowTableScansHandOutEveryStableRecordAcrossShrinksThatMoveThem) {
    moveRun<FlowRecords>();
}

TEST(HoardReaderScanTest, CounterTableScansHandOutEveryStableRecordAcrossShrinksThatMoveThem) {
    moveRun<CounterRecords>();
}

// ---- A reader lagging two shrinks on a full filesystem ----------------------------------------

#ifdef FLOWTABLE_TEST_HOOKS

// Mounts a tmpfs of `bytes` over `dir` in a new mount namespace of the calling process (a user
// namespace first when not root), so the mount goes away with the process. "", or why this
// machine allows neither.
std::string mountPrivateTmpfs(const std::string& dir, std::size_t bytes) {
    const uid_t uid = ::geteuid();
    const gid_t gid = ::getegid();
    if (::unshare(uid == 0 ? CLONE_NEWNS : CLONE_NEWUSER | CLONE_NEWNS) != 0) {
        return std::string("unshare: ") + std::strerror(errno);
    }
    auto put = [](const char* file, const std::string& text) {
        return static_cast<bool>(std::ofstream(file) << text << std::flush);
    };
    if (uid != 0 && (!put("/proc/self/setgroups", "deny") ||
                     !put("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
                     !put("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1"))) {
        return "cannot map the user namespace's ids";
    }
    // Nothing mounted here propagates back to the machine's namespace.
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tmpfs", dir.c_str(), "tmpfs", 0, ("size=" + std::to_string(bytes)).c_str()) != 0) {
        return std::string("mount: ") + std::strerror(errno);
    }
    return "";
}

constexpr int scenarioSkipped = 3;

// On a small private tmpfs, a reader inside a lookup reaches a slot in the upper half of 1024;
// there the writer shrinks the files twice (to 256 slots) and the filesystem fills up. The reader
// must finish (a retry or a clean miss), not die of SIGBUS: the tails stay backed until the
// release grace passed.
bool lagScenario(const std::string& dir, ChildReport& report) {
    if (const std::string why = mountPrivateTmpfs(dir, 512 * 1024); !why.empty()) {
        report.fail("no private tmpfs: " + why);
        ::_exit(scenarioSkipped);
    }
    ::setenv("HOARD_SHM_ROOT", dir.c_str(), 1);
    ManualClockGuard clock;
    Hoard::MapDescriptor d = recordsDescriptor();
    d.releaseGrace = 1.0;
    constexpr std::uint32_t records = 1024;
    auto w = newWriter<FlowRecords>("lag/flows", records, d);
    auto r = newReader<FlowRecords>("lag/flows");
    if (w->capacity() != records) return report.fail("setup failed");
    // Whether the slot file still has blocks beyond its 256 slots and a page.
    auto backed = [&] {
        struct stat st {};
        return ::stat((dir + "/lag/flows/slots").c_str(), &st) == 0 &&
               static_cast<std::size_t>(st.st_blocks) * 512 > 344 + 256 * 152 + 4096;
    };
    bool reached = false, keptBacked = false;
    Hoard::TestHook::readerSlotRead() = [&](std::uint32_t slot) {
        if (slot < records / 2 || std::exchange(reached, true)) return;
        FlowRecords::Entry gone;
        for (std::uint32_t id = records; id-- > 127;) w->remove(FlowRecords::key(id), gone);
        keptBacked = backed();
        // Whole pages of a new file until the filesystem is full.
        const int fd = ::open((dir + "/filler").c_str(), O_RDWR | O_CREAT, 0644);
        for (off_t at = 0; fd >= 0 && ::posix_fallocate(fd, at, 4096) == 0; at += 4096) {
        }
        if (fd >= 0) ::close(fd);
    };
    generationOf<FlowRecords>(*r, 1000);  // found or not, but whole
    Hoard::TestHook::readerSlotRead() = nullptr;
    if (!reached) return report.fail("the reader never reached the upper slots");
    if (w->capacity() != 256) return report.fail("capacity " + std::to_string(w->capacity()));
    if (!keptBacked) return report.fail("the tail was released at once");
    clock.advance(0.9);
    w->write(FlowRecords::make(0, 2), true);
    if (!backed()) return report.fail("the tail was released before the grace");
    clock.advance(0.2);
    w->write(FlowRecords::make(0, 3), true);
    return !backed() || report.fail("the tail was kept after the grace");
}

TEST(HoardReaderLagTest, AReaderInsideALookupSurvivesTwoShrinksAndAFullFilesystem) {
    char dir[] = "/tmp/flowtable-lag-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    Processes p;
    p.start("scenario", [&](ChildReport& report) { return lagScenario(dir, report); });
    const int rc = p.child(0).wait();
    ::rmdir(dir);
    if (rc == scenarioSkipped) GTEST_SKIP() << p.report(0).text;
    EXPECT_EQ(p.wait(0), "");
}

// A reader inside a lookup holds the bucket word of its run under the bucket count it mapped. The
// writer then halves the count (more than once) and frees the run's first slot; the words of the
// upper half are no longer kept, so the reader finds a free slot behind an unchanged link. That
// is a stale view the moved counts explain, to be retried, not corruption to report.
TEST(HoardReaderLagTest, AFreeSlotBehindAnAbandonedBucketWordIsARetryNotCorruption) {
    ShmRoot root;
    TraceCapture traces;
    Hoard::MapDescriptor d = recordsDescriptor();
    d.shrinkable = false;  // freed slots stay free: the reader meets them, not a moved record
    constexpr std::uint32_t records = 512, kept = 8;
    auto w = newWriter<FlowRecords>("stale/flows", 0, d);
    auto r = newReader<FlowRecords>("stale/flows");
    // About half of the looked-up keys lie in the upper half of the bucket count.
    for (std::uint32_t id = kept; id < kept + 16; ++id) {
        for (std::uint32_t i = 0; i < records; ++i) w->write(FlowRecords::make(i, 1), true);
        generationOf<FlowRecords>(*r, 0);  // follows the grown counts
        Hoard::TestHook::readerSlotRead() = [&](std::uint32_t) {
            Hoard::TestHook::readerSlotRead() = nullptr;
            FlowRecords::Entry gone;
            for (std::uint32_t i = kept; i < records; ++i) w->remove(FlowRecords::key(i), gone);
        };
        EXPECT_EQ(generationOf<FlowRecords>(*r, id), 0u) << "id " << id;
        Hoard::TestHook::readerSlotRead() = nullptr;
    }
    for (const auto& e : traces.entries()) EXPECT_NE(e.level, 0) << e.function << ": " << e.text;
    EXPECT_EQ(r->readerCounters().corruptions, 0u);
    EXPECT_GT(r->readerCounters().retries, 0u);
}

#endif  // FLOWTABLE_TEST_HOOKS

}  // namespace
