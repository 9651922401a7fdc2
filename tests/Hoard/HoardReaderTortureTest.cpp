// The lock-free table reader against a writer in another process. Readers in their own
// processes look up and iterate while the writer inserts, overwrites, removes, and grows and
// shrinks both files; every record read proves it was read whole (SelfCheckingRecords), stable
// records are always found, iterations return each exactly once in list order, and a key
// removed for good never comes back. Then readers over a writer killed at a crash point, readers
// over damaged files (an exception, never a crash or a hang), and regressions of reader faults
// these tests found, reproduced deterministically in one process.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <numeric>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

#include "tests/support/ChildReport.h"
#include "tests/support/Fork.h"
#include "tests/support/ManualClockGuard.h"
#include "tests/support/Seed.h"
#include "tests/support/SelfCheckingRecords.h"
#include "tests/support/SharedPage.h"
#include "tests/support/ShmRoot.h"

namespace {

using namespace TestSupport;

Hoard::MapDescriptor descriptor() {
    Hoard::MapDescriptor d;
    d.slotLimit = 1u << 16;
    return d;
}

std::shared_ptr<Basalt::Platform::DebugHandler> debugHandler() {
    return Basalt::Platform::getDebugHandler("HoardReaderTortureTest");
}

// A child that is still running after this many seconds is killed by SIGALRM: a hang becomes a
// failed exit status instead of a stuck test. Never reached by a passing run.
constexpr unsigned safetySeconds = 60;

// Pins the calling process: the writer to the first CPU it may use, a reader to the others, so
// that the writer and the readers run at the same time whenever the machine lets them (the races
// need that). Correctness never depends on it; nothing is pinned with a single CPU.
void pin(bool writer) {
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (::sched_getaffinity(0, sizeof allowed, &allowed) != 0 || CPU_COUNT(&allowed) < 2) return;
    int first = 0;
    while (!CPU_ISSET(first, &allowed)) ++first;
    cpu_set_t set;
    CPU_ZERO(&set);
    if (writer) {
        CPU_SET(first, &set);
    } else {
        set = allowed;
        CPU_CLR(first, &set);
    }
    ::sched_setaffinity(0, sizeof set, &set);
}

template <class Entry>
std::string show(const Entry& e) {
    std::ostringstream os;
    os << e;
    return os.str();
}

// ---- One writer, three readers, both table kinds ---------------------------------------------

// The keys of a run, by id range.
struct Plan {
    static constexpr std::uint32_t stable = 200;  // written before the readers start, never removed
    static constexpr std::uint32_t hot = 4;       // stable ids [0, hot) are overwritten all along
    static constexpr std::uint32_t dyingBase = 1000, dying = 400;    // removed for good, in order
    static constexpr std::uint32_t churnBase = 2000, churn = 1500;   // inserted, then removed
    static constexpr std::uint32_t absentBase = 5000, absent = 100;  // never written
    // Rounds of fill and empty, then bursts of hot overwrites until the readers have seen every
    // race (retries, lookaside reads, remaps), at most maxBursts.
    static constexpr std::uint32_t rounds = 150, maxBursts = 500;
    static constexpr std::uint32_t readers = 3;

    enum class Role { stable, dying, churn, absent, unknown };
    static Role role(std::uint32_t id) {
        if (id < stable) return Role::stable;
        if (id >= dyingBase && id < dyingBase + dying) return Role::dying;
        if (id >= churnBase && id < churnBase + churn) return Role::churn;
        if (id >= absentBase && id < absentBase + absent) return Role::absent;
        return Role::unknown;
    }
};

// What a reader process tells the others: its counters (published after every batch, read by
// the writer to decide when the races have been seen, and by the test at the end) and its first
// finding. Thread safety: one reader process writes a report; the counters are atomics, the
// failure text is read only after the reader exited.
struct ReaderReport {
    std::atomic<std::uint64_t> lookups{0};
    std::atomic<std::uint64_t> iterations{0};
    std::atomic<std::uint64_t> retries{0};
    std::atomic<std::uint64_t> lookasideReads{0};
    std::atomic<std::uint64_t> remaps{0};
    std::atomic<std::uint64_t> slowPaths{0};
    std::atomic<std::uint64_t> baseMoves{0};
    ChildReport failure;
};

// The page the writer, the readers and the test share (SharedPage, mapped before the forks).
// Thread safety: every field is written by one process (the writer's fields by the writer, each
// report by its reader); the failure texts are read only after their writer exited.
struct TortureState {
    // Dying ids below dyingBase + watermark are removed for good: stored with release after the
    // removal returned; a reader loads it with acquire before it looks.
    std::atomic<std::uint32_t> watermark{0};
    std::atomic<std::uint32_t> writerDone{0};
    std::atomic<std::uint32_t> rounds{0};
    std::atomic<std::uint32_t> bursts{0};
    std::atomic<std::uint64_t> slotGrows{0}, slotShrinks{0}, bucketGrows{0}, bucketShrinks{0};
    ChildReport writerFailure;
    ReaderReport readers[Plan::readers];

    bool racesSeen() const {
        std::uint64_t retries = 0, lookaside = 0, remaps = 0;
        for (const auto& r : readers) {
            retries += r.retries.load(std::memory_order_relaxed);
            lookaside += r.lookasideReads.load(std::memory_order_relaxed);
            remaps += r.remaps.load(std::memory_order_relaxed);
        }
        return retries > 0 && lookaside > 0 && remaps > 0;
    }
};

template <class Records>
constexpr const char* tortureTable() {
    return std::is_same_v<Records, FlowRecords> ? "torture/flows" : "torture/counters";
}

// The writer process: fills the stable and dying records, lets the readers attach, then runs
// rounds of filling and emptying the churn records, with a hot overwrite after every step, a
// dying removal every few steps and a burst of hot overwrites between fill and empty.
template <class Records>
bool runWriter(TortureState& state, Signal& tableReady, Signal& readersReady, std::uint64_t seed) {
    struct Done {
        TortureState& state;
        ~Done() { state.writerDone.store(1, std::memory_order_release); }
    } done{state};
    auto fail = [&](const std::string& text) { return state.writerFailure.fail(text); };
    try {
        typename Records::Writer w(debugHandler(), tortureTable<Records>(), descriptor(),
                                   typename Records::Ops(), "Torture");
        w.initialize("torture");
        std::vector<std::uint64_t> hotGeneration(Plan::hot, 1);
        for (std::uint32_t id = 0; id < Plan::stable; ++id) w.write(Records::make(id, 1), true);
        for (std::uint32_t d = 0; d < Plan::dying; ++d) {
            w.write(Records::make(Plan::dyingBase + d, 1), true);
        }
        for (std::uint32_t i = 0; i < Plan::readers; ++i) tableReady.post();
        for (std::uint32_t i = 0; i < Plan::readers; ++i) {
            if (!readersReady.wait(60)) return fail("writer: the readers never attached");
        }
        std::mt19937_64 rng(seed);
        typename Records::Entry gone;
        std::uint32_t removed = 0;
        std::uint64_t steps = 0;
        // The dying records go one by one, spread over all rounds.
        constexpr std::uint64_t dyingEvery = 2ull * Plan::churn * Plan::rounds / Plan::dying;
        auto removeDying = [&] {
            if (!w.remove(Records::key(Plan::dyingBase + removed), gone)) {
                throw std::runtime_error("a dying record was missing");
            }
            // Pairs with the readers' acquire load before a lookup or an iteration.
            state.watermark.store(++removed, std::memory_order_release);
        };
        auto overwriteHot = [&] {
            const std::uint32_t id = static_cast<std::uint32_t>(rng() % Plan::hot);
            w.write(Records::make(id, ++hotGeneration[id]), true);
        };
        auto between = [&] {
            overwriteHot();
            if (++steps % dyingEvery == 0 && removed < Plan::dying) removeDying();
        };
        std::vector<std::uint32_t> order(Plan::churn);
        std::iota(order.begin(), order.end(), Plan::churnBase);
        for (std::uint32_t round = 0; round < Plan::rounds; ++round) {
            std::shuffle(order.begin(), order.end(), rng);
            for (std::uint32_t i = 0; i < Plan::churn; ++i) {
                w.write(Records::make(order[i], 1), true);
                between();
                if (i % 4 == 3) {  // rewrite a churn record already in
                    w.write(Records::make(order[rng() % (i + 1)], 2 + rng() % 1000), true);
                }
            }
            for (std::uint32_t i = 0; i < 500; ++i) overwriteHot();
            std::shuffle(order.begin(), order.end(), rng);
            for (std::uint32_t id : order) {
                if (!w.remove(Records::key(id), gone)) return fail("writer: churn record missing");
                between();
            }
            state.rounds.store(round + 1, std::memory_order_relaxed);
        }
        while (removed < Plan::dying) removeDying();
        // A lookaside read needs a reader on the hot slot while the writer is inside the rewrite
        // window: on a loaded machine that may take more rewrites than the rounds made.
        for (std::uint32_t burst = 0; burst < Plan::maxBursts && !state.racesSeen(); ++burst) {
            for (std::uint32_t i = 0; i < 2000; ++i) overwriteHot();
            state.bursts.store(burst + 1, std::memory_order_relaxed);
        }
        const Hoard::Writer::Counters c = w.writerCounters();
        state.slotGrows = c.grows;
        state.slotShrinks = c.shrinks;
        state.bucketGrows = c.bucketGrows;
        state.bucketShrinks = c.bucketShrinks;
        return true;
    } catch (const std::exception& e) {
        return fail(std::string("writer: exception ") + e.what());
    }
}

// A reader process: lookups (half of them of hot records) and, every eighth batch, a whole
// iteration, until the writer is done; then a last check of the final table (the stable
// records only). Every finding ends the process with its text in the report.
template <class Records>
class TortureReader {
  public:
    using Entry = typename Records::Entry;
    using Reader = typename Records::Reader;

    TortureReader(TortureState& state, ReaderReport& report, std::uint64_t seed)
        : state_(state), report_(report), rng_(seed), lastGeneration_(Plan::stable, 0) {}

    bool run(Signal& tableReady, Signal& readersReady) {
        if (!tableReady.wait(60)) return fail("the table never became ready");
        Reader r(debugHandler(), tortureTable<Records>(), typename Records::Ops());
        if (!r.initialize("torture")) return fail("initialize failed");
        base_ = r.readerCounters();
        readersReady.post();
        try {
            bool last = false;
            for (std::uint64_t batch = 0; !last; ++batch) {
                if (batch > 50'000'000) return fail("the writer never finished");
                last = state_.writerDone.load(std::memory_order_acquire) != 0;
                for (int i = 0; i < 64; ++i) {
                    if (!lookup(r, pickId())) return false;
                }
                if (batch % 8 == 0 && !iterate(r, false)) return false;
                publish(r);
            }
            // The writer is done: the table holds exactly the stable records.
            if (!iterate(r, true)) return false;
            for (std::uint32_t id = 0; id < Plan::absentBase + Plan::absent; ++id) {
                if (Plan::role(id) != Plan::Role::unknown && !lookup(r, id, true)) return false;
            }
            publish(r);
            return true;
        } catch (const std::exception& e) {
            return fail(std::string("exception ") + e.what());
        }
    }

  private:
    bool fail(const std::string& text) { return report_.failure.fail(text); }

    std::uint32_t pickId() {
        const std::uint32_t dice = static_cast<std::uint32_t>(rng_() % 100);
        const std::uint64_t r = rng_();
        if (dice < 50) return static_cast<std::uint32_t>(r % Plan::hot);
        if (dice < 70) return static_cast<std::uint32_t>(r % Plan::stable);
        if (dice < 82) return Plan::dyingBase + static_cast<std::uint32_t>(r % Plan::dying);
        if (dice < 95) return Plan::churnBase + static_cast<std::uint32_t>(r % Plan::churn);
        return Plan::absentBase + static_cast<std::uint32_t>(r % Plan::absent);
    }

    // `final`: the writer is done, so only stable records may be found.
    bool lookup(Reader& r, std::uint32_t id, bool final = false) {
        // Read before the lookup: a dying id below it was removed before the lookup began.
        const std::uint32_t watermark = state_.watermark.load(std::memory_order_acquire);
        bool found = false;
        Entry out;
        if (lookups_++ % 2 == 0) {
            r.lookup(Records::key(id), found, &out);
        } else {  // the key lives in the output buffer, as when a caller refreshes a record
            out = Records::make(id, 0);
            r.lookup(out.key(), found, &out);
        }
        std::uint32_t gotId = 0;
        std::uint64_t generation = 0;
        if (found && (!Records::check(out, gotId, generation) || gotId != id)) {
            return fail("lookup of id " + std::to_string(id) +
                        " returned a torn or foreign record " + show(out));
        }
        const Plan::Role role = Plan::role(id);
        if (role == Plan::Role::stable) {
            if (!found) return fail("stable id " + std::to_string(id) + " not found");
            if (generation < lastGeneration_[id]) {
                return fail("stable id " + std::to_string(id) + " went back from generation " +
                            std::to_string(lastGeneration_[id]) + " to " +
                            std::to_string(generation));
            }
            lastGeneration_[id] = generation;
        } else {
            const bool mayBeThere =
                !final && (role == Plan::Role::churn ||
                           (role == Plan::Role::dying && id - Plan::dyingBase >= watermark));
            if (found && !mayBeThere) {
                return fail("id " + std::to_string(id) +
                            " found although removed or never written (watermark " +
                            std::to_string(watermark) + ")");
            }
        }
        return true;
    }

    // Every record whole, in strictly increasing (rhash, key) order, each stable record exactly
    // once, no dying record below the watermark read before the iteration began.
    bool iterate(Reader& r, bool final) {
        const std::uint32_t watermark = state_.watermark.load(std::memory_order_acquire);
        std::vector<std::uint32_t> seen(Plan::stable, 0);
        Entry v;
        Hoard::IterHint hint;
        std::uint32_t steps = 0, previousOrder = 0;
        typename Records::Key previousKey{};
        for (bool more = r.first(v, hint); more; more = r.next(v.key(), v, hint)) {
            if (++steps > 4 * (Plan::stable + Plan::dying + Plan::churn)) {
                return fail("an iteration does not end");
            }
            std::uint32_t id = 0;
            std::uint64_t generation = 0;
            if (!Records::check(v, id, generation)) {
                return fail("iteration returned a torn record " + show(v));
            }
            const std::uint32_t order = orderHash<Records>(r.ops(), v.key());
            if (steps > 1 &&
                !(previousOrder < order ||
                  (previousOrder == order && Records::Ops::less(previousKey, v.key())))) {
                return fail("iteration out of order or repeating at id " + std::to_string(id));
            }
            previousOrder = order;
            previousKey = v.key();
            const Plan::Role role = Plan::role(id);
            if (role == Plan::Role::stable) {
                ++seen[id];
            } else if (final || role == Plan::Role::absent || role == Plan::Role::unknown ||
                       (role == Plan::Role::dying && id - Plan::dyingBase < watermark)) {
                return fail("iteration returned id " + std::to_string(id) +
                            " although removed or never written (watermark " +
                            std::to_string(watermark) + ")");
            }
        }
        ++iterations_;
        for (std::uint32_t id = 0; id < Plan::stable; ++id) {
            if (seen[id] != 1) {
                return fail("iteration returned stable id " + std::to_string(id) + " " +
                            std::to_string(seen[id]) + " times");
            }
        }
        return true;
    }

    void publish(const Reader& r) {
        const Hoard::Reader::Counters c = r.readerCounters();
        auto put = [](std::atomic<std::uint64_t>& to, std::uint64_t v) {
            to.store(v, std::memory_order_relaxed);
        };
        put(report_.lookups, lookups_);
        put(report_.iterations, iterations_);
        put(report_.retries, c.retries - base_.retries);
        put(report_.lookasideReads, c.lookasideReads - base_.lookasideReads);
        put(report_.remaps, c.remaps - base_.remaps);
        put(report_.slowPaths, c.slowPaths - base_.slowPaths);
        put(report_.baseMoves, c.baseMoves - base_.baseMoves);
    }

    TortureState& state_;
    ReaderReport& report_;
    std::mt19937_64 rng_;
    std::vector<std::uint64_t> lastGeneration_;
    Hoard::Reader::Counters base_;
    std::uint64_t lookups_ = 0;
    std::uint64_t iterations_ = 0;
};

template <class Records>
void tortureRun() {
    const std::uint64_t seed = testSeed(Records::kind);
    ShmRoot shm;
    SharedPage<TortureState> state;
    Signal tableReady, readersReady;
    Child writer([&] {
        ::alarm(safetySeconds);
        pin(true);
        return runWriter<Records>(*state, tableReady, readersReady, seed);
    });
    std::vector<std::unique_ptr<Child>> readers;
    for (std::uint32_t i = 0; i < Plan::readers; ++i) {
        readers.push_back(std::make_unique<Child>([&, i] {
            ::alarm(safetySeconds);
            pin(false);
            return TortureReader<Records>(*state, state->readers[i], seed + 1 + i)
                .run(tableReady, readersReady);
        }));
    }
    EXPECT_EQ(writer.wait(), 0) << state->writerFailure.text;
    state->writerDone.store(1);  // the readers stop also when the writer died
    for (std::uint32_t i = 0; i < Plan::readers; ++i) {
        EXPECT_EQ(readers[i]->wait(), 0)
            << "reader " << i << ": " << state->readers[i].failure.text;
    }
    auto total = [&](std::atomic<std::uint64_t> ReaderReport::*counter) {
        std::uint64_t sum = 0;
        for (const ReaderReport& r : state->readers) sum += (r.*counter).load();
        return sum;
    };
    const std::uint64_t retries = total(&ReaderReport::retries);
    const std::uint64_t lookasideReads = total(&ReaderReport::lookasideReads);
    const std::uint64_t remaps = total(&ReaderReport::remaps);
    std::cerr << Records::kind << " table: writer rounds " << state->rounds << ", extra bursts "
              << state->bursts << ", slot grows " << state->slotGrows << ", slot shrinks "
              << state->slotShrinks << ", bucket grows " << state->bucketGrows
              << ", bucket shrinks " << state->bucketShrinks << "; readers: lookups "
              << total(&ReaderReport::lookups) << ", iterations "
              << total(&ReaderReport::iterations) << ", retries " << retries << ", lookaside reads "
              << lookasideReads << ", remaps " << remaps << ", slow paths "
              << total(&ReaderReport::slowPaths) << ", base moves "
              << total(&ReaderReport::baseMoves) << "\n";
    // The races really ran.
    EXPECT_GT(retries, 0u);
    EXPECT_GT(lookasideReads, 0u);
    EXPECT_GT(remaps, 0u);
    EXPECT_GT(state->slotGrows, 0u);
    EXPECT_GT(state->slotShrinks, 0u);
    EXPECT_GT(state->bucketGrows, 0u);
    EXPECT_GT(state->bucketShrinks, 0u);
}

TEST(HoardReaderTortureTest, FlowTableReadersSeeOnlyWholeCommittedRecords) {
    tortureRun<FlowRecords>();
}

TEST(HoardReaderTortureTest, CounterTableReadersSeeOnlyWholeCommittedRecords) {
    tortureRun<CounterRecords>();
}

// ---- A writer killed at a crash point --------------------------------------------------------

#ifdef FLOWTABLE_TEST_HOOKS

// The steps the killed writer runs: step i inserts id setup + i, overwrites id 3 with generation
// 2 + i, or removes id i.
enum class CrashOp { insert, overwrite, remove };

struct CrashCase {
    const char* point;
    CrashOp op;
    std::uint32_t occurrences;  // the point fires at a seeded occurrence in [1, occurrences]
};

std::ostream& operator<<(std::ostream& os, const CrashCase& c) { return os << c.point; }

// Thread safety: written by the writer process only, read by the test after the writer died.
struct CrashState {
    std::atomic<std::uint32_t> step{0};  // the step under way when the writer died
};

// Insertion starts from 100 records in 128 slots and 128 buckets, so step 28 grows both; removal
// from 600 records in 1024 slots and 1024 buckets, so step 345 shrinks both.
constexpr std::uint32_t setupOf(CrashOp op) { return op == CrashOp::remove ? 600 : 100; }
constexpr std::uint32_t crashSteps = 400;

// What the readers must answer for id `id` after the writer died in step `step`: the committed
// generation (0: absent), and for the record of the interrupted step the other admissible one.
struct Expected {
    std::uint64_t committed = 0;
    std::uint64_t alternative = 0;
    bool interrupted = false;
};

Expected expectedAfterCrash(CrashOp op, std::uint32_t step, std::uint32_t id) {
    const std::uint32_t setup = setupOf(op);
    Expected e;
    switch (op) {
        case CrashOp::insert:
            e.committed = id < setup + step ? 1 : 0;
            e.interrupted = id == setup + step;
            e.alternative = 1;  // the new record linked or not
            break;
        case CrashOp::overwrite:
            e.committed = id >= setup ? 0 : id == 3 ? 1 + step : 1;
            e.interrupted = id == 3;
            e.alternative = 2 + step;  // the new value or the old one
            break;
        case CrashOp::remove:
            e.committed = id > step && id < setup ? 1 : 0;
            e.interrupted = id == step;
            e.alternative = 1;  // unlinked or not
            break;
    }
    return e;
}

template <class Records>
void checkAfterCrash(typename Records::Reader& r, CrashOp op, std::uint32_t step, const char* who) {
    SCOPED_TRACE(who);
    const std::uint32_t end = setupOf(op) + crashSteps;
    auto admissible = [&](std::uint32_t id, bool found, const typename Records::Entry& v) {
        const Expected e = expectedAfterCrash(op, step, id);
        std::uint32_t gotId = 0;
        std::uint64_t generation = 0;
        if (found && (!Records::check(v, gotId, generation) || gotId != id)) return false;
        const std::uint64_t got = found ? generation : 0;
        return got == e.committed || (e.interrupted && got == e.alternative);
    };
    std::uint32_t expectedCount = 0;
    for (std::uint32_t id = 0; id < end; ++id) {
        bool found = false;
        typename Records::Entry v;
        r.lookup(Records::key(id), found, &v);
        ASSERT_TRUE(admissible(id, found, v))
            << "id " << id << " found " << found << " " << show(v);
        if (expectedAfterCrash(op, step, id).committed != 0) ++expectedCount;
    }
    std::map<std::uint32_t, int> seen;
    typename Records::Entry v;
    Hoard::IterHint hint;
    std::uint32_t previous = 0;
    for (bool more = r.first(v, hint); more; more = r.next(v.key(), v, hint)) {
        std::uint32_t id = 0;
        std::uint64_t generation = 0;
        ASSERT_TRUE(Records::check(v, id, generation)) << show(v);
        ASSERT_TRUE(admissible(id, true, v)) << "iteration returned id " << id << " " << show(v);
        const std::uint32_t order = orderHash<Records>(r.ops(), v.key());
        ASSERT_TRUE(seen.empty() || previous < order) << "out of order at id " << id;
        previous = order;
        ASSERT_EQ(++seen[id], 1) << "id " << id << " returned twice";
    }
    std::uint32_t committedSeen = 0;
    for (const auto& [id, times] : seen) {
        if (expectedAfterCrash(op, step, id).committed != 0) ++committedSeen;
    }
    EXPECT_EQ(committedSeen, expectedCount);
}

template <class Records>
void crashRun(const CrashCase& c) {
    std::mt19937_64 rng(testSeed(c.point));
    const std::uint32_t occurrence = 1 + static_cast<std::uint32_t>(rng() % c.occurrences);
    ShmRoot shm;
    auto debug = debugHandler();
    const char* table = tortureTable<Records>();
    SharedPage<CrashState> state;
    Signal ready, go;
    Child writer([&] {
        ::alarm(safetySeconds);
        typename Records::Writer w(debug, table, descriptor(), typename Records::Ops(), "Crash");
        w.initialize("crash");
        const std::uint32_t setup = setupOf(c.op);
        for (std::uint32_t id = 0; id < setup; ++id) w.write(Records::make(id, 1), true);
        ready.post();
        if (!go.wait(60)) return false;
        Hoard::CrashPoint::arm(c.point, occurrence);
        typename Records::Entry gone;
        for (std::uint32_t step = 0; step < crashSteps; ++step) {
            state->step.store(step, std::memory_order_relaxed);
            switch (c.op) {
                case CrashOp::insert:
                    w.write(Records::make(setup + step, 1), true);
                    break;
                case CrashOp::overwrite:
                    w.write(Records::make(3, 2 + step), true);
                    break;
                case CrashOp::remove:
                    w.remove(Records::key(step), gone);
                    break;
            }
        }
        return true;  // the point was never reached
    });
    ASSERT_TRUE(ready.wait(60, writer)) << "the writer ended before the table was ready";
    // One reader attached before the writer started the fatal steps, one after its death.
    typename Records::Reader early(debug, table, typename Records::Ops());
    ASSERT_TRUE(early.initialize("crash"));
    go.post();
    ASSERT_EQ(writer.wait(), 128 + SIGKILL)
        << c.point << " #" << occurrence << " was not reached by the writer";
    const std::uint32_t step = state->step.load();
    checkAfterCrash<Records>(early, c.op, step, "reader attached before the crash");
    typename Records::Reader late(debug, table, typename Records::Ops());
    ASSERT_TRUE(late.initialize("crash"));
    checkAfterCrash<Records>(late, c.op, step, "reader attached after the crash");
}

class HoardReaderCrashTest : public ::testing::TestWithParam<CrashCase> {};

TEST_P(HoardReaderCrashTest, FlowTableReadersKeepAnsweringWithCommittedRecords) {
    crashRun<FlowRecords>(GetParam());
}

TEST_P(HoardReaderCrashTest, CounterTableReadersKeepAnsweringWithCommittedRecords) {
    crashRun<CounterRecords>(GetParam());
}

INSTANTIATE_TEST_SUITE_P(Points, HoardReaderCrashTest,
                         ::testing::Values(CrashCase{"write.link", CrashOp::insert, 20},
                                           CrashCase{"write.lookasideSet", CrashOp::insert, 20},
                                           CrashCase{"write.value", CrashOp::insert, 20},
                                           CrashCase{"write.status", CrashOp::insert, 20},
                                           CrashCase{"write.publish", CrashOp::insert, 20},
                                           CrashCase{"grow.publish", CrashOp::insert, 1},
                                           CrashCase{"grow.freeList", CrashOp::insert, 1},
                                           CrashCase{"buckets.grow", CrashOp::insert, 1},
                                           CrashCase{"buckets.grow.cut", CrashOp::insert, 1},
                                           CrashCase{"write.lookaside", CrashOp::overwrite, 20},
                                           CrashCase{"write.lookasideSet", CrashOp::overwrite, 20},
                                           CrashCase{"write.value", CrashOp::overwrite, 20},
                                           CrashCase{"write.status", CrashOp::overwrite, 20},
                                           CrashCase{"remove.unlink", CrashOp::remove, 20},
                                           CrashCase{"remove.clear", CrashOp::remove, 20},
                                           CrashCase{"remove.free", CrashOp::remove, 20},
                                           CrashCase{"shrink.move", CrashOp::remove, 50},
                                           CrashCase{"shrink.move.value", CrashOp::remove, 50},
                                           CrashCase{"shrink.move.status", CrashOp::remove, 50},
                                           CrashCase{"shrink.move.link", CrashOp::remove, 50},
                                           CrashCase{"shrink.move.publish", CrashOp::remove, 50},
                                           CrashCase{"shrink.publish", CrashOp::remove, 1},
                                           CrashCase{"buckets.shrink", CrashOp::remove, 1}),
                         [](const ::testing::TestParamInfo<CrashCase>& info) {
                             std::string name = std::string(info.param.point) + "_" +
                                                (info.param.op == CrashOp::insert      ? "insert"
                                                 : info.param.op == CrashOp::overwrite ? "overwrite"
                                                                                       : "remove");
                             std::replace(name.begin(), name.end(), '.', '_');
                             return name;
                         });

#endif  // FLOWTABLE_TEST_HOOKS

// ---- Damaged files ----------------------------------------------------------------------------

// A table file mapped read-write for damaging it, word by word.
class MappedFile {
  public:
    explicit MappedFile(const std::string& path) {
        const int fd = ::open(path.c_str(), O_RDWR);
        struct stat st {};
        if (fd < 0 || ::fstat(fd, &st) != 0) throw std::runtime_error("cannot open " + path);
        size_ = static_cast<std::size_t>(st.st_size);
        void* p = ::mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        ::close(fd);
        if (p == MAP_FAILED) throw std::runtime_error("cannot map " + path);
        base_ = static_cast<char*>(p);
    }
    ~MappedFile() { ::munmap(base_, size_); }
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    template <class T>
    T& at(std::size_t offset) {
        return *reinterpret_cast<T*>(base_ + offset);
    }

  private:
    char* base_ = nullptr;
    std::size_t size_ = 0;
};

// What a reader in a child process made of a damaged table. Thread safety: written by the child
// only, read by the test after the child exited.
struct DamageReport {
    std::atomic<std::uint32_t> initialized{0};
    std::atomic<std::uint32_t> corruptions{0};  // operations that raised corruption
    std::atomic<std::uint32_t> answered{0};     // operations that returned
    ChildReport other;                          // any other exception
};

class HoardReaderCorruptionTest : public ::testing::Test {
  protected:
    using Slot = Hoard::TypedSlot<FlowRecords::Entry>;
    static constexpr std::uint32_t records = 64;
    static constexpr std::size_t slotSize = sizeof(Slot);
    static constexpr std::size_t slotsBase = sizeof(Hoard::SlotTable::Header) + slotSize;
    static constexpr std::size_t bucketsBase = Hoard::BucketTable::headerSize;
    static_assert(slotsBase == 344, "192 header bytes and the lookaside slot");

    ShmRoot shm;
    std::shared_ptr<Basalt::Platform::DebugHandler> debug = debugHandler();
    std::uint32_t numSlots = 0, numBuckets = 0;

    void SetUp() override {
        FlowWriter w(debug, "damaged/flows", descriptor(), FlowOps(), "Test");
        w.initialize("test");
        for (std::uint32_t id = 0; id < records; ++id) w.write(FlowRecords::make(id, 1), true);
        numSlots = w.capacity();
        numBuckets = w.bucketTable().count();
    }  // the writer is gone before the damage
    std::string path(const char* file) const {
        return Mem::RootPath(debug, "damaged/flows", false).filePath(file);
    }
    static std::uint64_t& link(MappedFile& slots, std::uint32_t slot) {
        return slots.at<std::uint64_t>(slotsBase + slot * slotSize);
    }
    static std::uint32_t& status(MappedFile& slots, std::uint32_t slot) {
        return slots.at<std::uint32_t>(slotsBase + slot * slotSize + 8);
    }
    static std::uint64_t& bucket(MappedFile& buckets, std::uint32_t b) {
        return buckets.at<std::uint64_t>(bucketsBase + b * 8ull);
    }
    // Two records A -> B in one run: returns A's slot (B is A's link).
    std::uint32_t linkedPair(MappedFile& slots) const {
        for (std::uint32_t s = 0; s < numSlots; ++s) {
            if ((status(slots, s) & Hoard::SlotTable::occupied) &&
                Hoard::SlotLink::isSlot(Hoard::SlotLink::load(link(slots, s)).next)) {
                return s;
            }
        }
        throw std::runtime_error("no two records share a run");
    }
    // The first bucket whose entry satisfies `which`.
    std::uint32_t bucketWhere(MappedFile& buckets,
                              const std::function<bool(std::uint32_t next)>& which) const {
        for (std::uint32_t b = 0; b < numBuckets; ++b) {
            if (which(Hoard::SlotLink::load(bucket(buckets, b)).next)) return b;
        }
        throw std::runtime_error("no such bucket");
    }

    // A reader in a child process initializes, looks every record up and iterates twice; each
    // operation either answers or raises corruption. A crash or a hang (SIGALRM) fails the test.
    void readDamaged(DamageReport& report) {
        Child reader([&] {
            ::alarm(30);
            FlowRecords::Reader r(debug, "damaged/flows", FlowOps());
            try {
                if (!r.initialize("damaged")) return true;
            } catch (const Basalt::CorruptionDetectedException&) {
                ++report.corruptions;
                return true;
            }
            report.initialized = 1;
            auto attempt = [&](const std::function<void()>& op) {
                try {
                    op();
                    ++report.answered;
                } catch (const Basalt::CorruptionDetectedException&) {
                    ++report.corruptions;
                } catch (const std::exception& e) {
                    report.other.fail(e.what());
                }
            };
            for (std::uint32_t id = 0; id < records + 16; ++id) {
                attempt([&] {
                    bool found = false;
                    FlowRecords::Entry out;
                    r.lookup(FlowRecords::key(id), found, &out);
                    std::uint32_t gotId = 0;
                    std::uint64_t generation = 0;
                    if (found && (!FlowRecords::check(out, gotId, generation) || gotId != id)) {
                        throw std::runtime_error("a damaged table returned a foreign record");
                    }
                });
            }
            for (int pass = 0; pass < 2; ++pass) {
                attempt([&] {
                    FlowRecords::Entry v;
                    Hoard::IterHint hint;
                    std::uint32_t steps = 0;
                    for (bool more = r.first(v, hint); more; more = r.next(v.key(), v, hint)) {
                        if (++steps > 4 * records) throw std::runtime_error("endless iteration");
                    }
                });
            }
            return true;
        });
        ASSERT_EQ(reader.wait(), 0) << "the reader crashed or hung";
        EXPECT_STREQ(report.other.text, "");
    }
    // Lookups of the damaged run and every iteration must report the damage.
    void expectDetected() {
        SharedPage<DamageReport> report;
        readDamaged(*report);
        EXPECT_EQ(report->initialized, 1u);
        EXPECT_GE(report->corruptions, 2u);
    }
};

TEST_F(HoardReaderCorruptionTest, ARunThatLoopsBackIsReported) {
    {
        MappedFile slots(path("slots"));
        const std::uint32_t a = linkedPair(slots);
        const std::uint32_t b = Hoard::SlotLink::load(link(slots, a)).next;
        Hoard::SlotLink::store(link(slots, b), Hoard::SlotLink{1000, a});
    }
    expectDetected();
}

TEST_F(HoardReaderCorruptionTest, ASlotLinkingToItselfIsReported) {
    {
        MappedFile slots(path("slots"));
        const std::uint32_t a = linkedPair(slots);
        Hoard::SlotLink::store(link(slots, a), Hoard::SlotLink{1000, a});
    }
    expectDetected();
}

TEST_F(HoardReaderCorruptionTest, ASlotLinkBeyondTheSlotsIsReported) {
    {
        MappedFile slots(path("slots"));
        const std::uint32_t a = linkedPair(slots);
        Hoard::SlotLink::store(link(slots, a), Hoard::SlotLink{1000, numSlots + 7});
    }
    expectDetected();
}

TEST_F(HoardReaderCorruptionTest, ABucketEntryBeyondTheSlotsIsReported) {
    {
        MappedFile buckets(path("buckets"));
        const std::uint32_t b =
            bucketWhere(buckets, [](std::uint32_t next) { return Hoard::SlotLink::isSlot(next); });
        // Lookups of the run's keys and every iteration pass through the entry.
        Hoard::SlotLink::store(bucket(buckets, b), Hoard::SlotLink{1000, 0x7FFFFFF0u});
    }
    expectDetected();
}

TEST_F(HoardReaderCorruptionTest, ABucketMarkerBeyondTheBucketsIsReported) {
    {
        MappedFile buckets(path("buckets"));
        const std::uint32_t b = bucketWhere(
            buckets, [](std::uint32_t next) { return Hoard::SlotLink::isBucketMarker(next); });
        Hoard::SlotLink::store(
            bucket(buckets, b),
            Hoard::SlotLink{1000, Hoard::SlotLink::bucketMarker(numBuckets + 3)});
    }
    SharedPage<DamageReport> report;
    readDamaged(*report);
    EXPECT_EQ(report->initialized, 1u);
    EXPECT_GE(report->corruptions, 2u);  // both iterations pass the entry
}

TEST_F(HoardReaderCorruptionTest, ALinkedSlotNotMarkedOccupiedIsReported) {
    {
        MappedFile slots(path("slots"));
        const std::uint32_t a = linkedPair(slots);
        const std::uint32_t b = Hoard::SlotLink::load(link(slots, a)).next;
        status(slots, b) &= ~Hoard::SlotTable::occupied;
    }
    expectDetected();
}

TEST_F(HoardReaderCorruptionTest, ATruncatedSlotFileFailsInitializeOrIsReported) {
    for (const std::size_t size : {std::size_t{0}, std::size_t{100}, slotsBase + 10 * slotSize}) {
        SCOPED_TRACE(size);
        ASSERT_EQ(::truncate(path("slots").c_str(), static_cast<off_t>(size)), 0);
        SharedPage<DamageReport> report;
        readDamaged(*report);
        // Either initialize refuses the file, or nothing that needs the missing slots answers.
        if (report->initialized) {
            EXPECT_GE(report->corruptions, records + 2);
            EXPECT_EQ(report->answered, 0u);
        }
    }
}

// next() whose hint no longer holds searches its key's run again (the slow path); that search
// reports a run that a damaged file leads astray, as a lookup does, instead of iterating it.
TEST_F(HoardReaderCorruptionTest, NextsSearchOfADamagedRunIsReported) {
    const FlowOps ops;
    MappedFile slots(path("slots"));
    auto value = [&](std::uint32_t slot) {
        FlowRecords::Entry e;
        std::memcpy(static_cast<void*>(&e), &slots.at<char>(slotsBase + slot * slotSize + 16),
                    sizeof e);
        return e;
    };
    auto bucketOf = [&](const FlowRecords::Key& k) { return ops.hash(k) & (numBuckets - 1); };
    // The record next() starts from, and the bytes of the run that are damaged after it.
    struct Case {
        std::uint32_t from;
        std::size_t offset;
        std::vector<char> bytes;
        std::string reported;
    };
    std::vector<Case> cases;
    {
        // The record after `from` holds a key of another bucket (its rhash keeps the order).
        const std::uint32_t from = linkedPair(slots);
        const std::uint32_t after = Hoard::SlotLink::load(link(slots, from)).next;
        const std::uint32_t half = numBuckets / 2 - 1;
        std::uint32_t id = records;
        while ((bucketOf(FlowRecords::key(id)) & half) == (bucketOf(value(from).key()) & half))
            ++id;
        const FlowRecords::Key foreign = FlowRecords::key(id);
        const FlowRecords::Entry e;
        const std::size_t keyOffset = static_cast<std::size_t>(
            reinterpret_cast<const char*>(&e.key()) - reinterpret_cast<const char*>(&e));
        const auto* bytes = reinterpret_cast<const char*>(&foreign);
        cases.push_back({from,
                         slotsBase + after * slotSize + 16 + keyOffset,
                         {bytes, bytes + sizeof foreign},
                         "HoardReader::doNext() corrupt key detected. key:"});
    }
    for (std::uint32_t s = 0; s < numSlots; ++s) {
        // The run of `from` ends with a marker back to its own bucket.
        const Hoard::SlotLink end = Hoard::SlotLink::load(link(slots, s));
        if (!(status(slots, s) & Hoard::SlotTable::occupied) ||
            !Hoard::SlotLink::isBucketMarker(end.next)) {
            continue;
        }
        const std::uint32_t own = bucketOf(value(s).key());
        const std::uint64_t wrong =
            Hoard::SlotLink::pack(Hoard::SlotLink{end.seq, Hoard::SlotLink::bucketMarker(own)});
        const auto* bytes = reinterpret_cast<const char*>(&wrong);
        cases.push_back({s,
                         slotsBase + s * slotSize,
                         {bytes, bytes + sizeof wrong},
                         "HoardReader::verifyNextBucket() has bucket:" + std::to_string(own) +
                             " with next bucket:" + std::to_string(own)});
        break;
    }
    ASSERT_EQ(cases.size(), 2u);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reported);
        char* at = &slots.at<char>(c.offset);
        const std::vector<char> original(at, at + c.bytes.size());
        std::memcpy(at, c.bytes.data(), c.bytes.size());
        FlowRecords::Reader r(debug, "damaged/flows", FlowOps());
        ASSERT_TRUE(r.initialize("damaged"));
        FlowRecords::Entry v;
        Hoard::IterHint none;  // no hint: the step searches the run
        try {
            r.next(value(c.from).key(), v, none);
            ADD_FAILURE() << "next() returned " << v;
        } catch (const Basalt::CorruptionDetectedException& e) {
            EXPECT_EQ(std::string(e.what()).rfind(c.reported, 0), 0u) << e.what();
        }
        std::memcpy(at, original.data(), original.size());
    }
}

// ---- A reader lagging two shrinks on a full filesystem ----------------------------------------

#ifdef FLOWTABLE_TEST_HOOKS

// Mounts a tmpfs of `bytes` over `dir` in a new mount namespace of the calling process (a user
// namespace first when not root), so the mount goes away with the process. False with the
// reason when this machine allows neither.
bool mountPrivateTmpfs(const std::string& dir, std::size_t bytes, std::string& why) {
    const uid_t uid = ::geteuid();
    const gid_t gid = ::getegid();
    if (::unshare(uid == 0 ? CLONE_NEWNS : CLONE_NEWUSER | CLONE_NEWNS) != 0) {
        why = std::string("unshare: ") + std::strerror(errno);
        return false;
    }
    if (uid != 0) {
        auto put = [](const char* file, const std::string& text) {
            const int fd = ::open(file, O_WRONLY);
            const bool ok = fd >= 0 && ::write(fd, text.data(), text.size()) ==
                                           static_cast<ssize_t>(text.size());
            if (fd >= 0) ::close(fd);
            return ok;
        };
        if (!put("/proc/self/setgroups", "deny") ||
            !put("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
            !put("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1")) {
            why = "cannot map the user namespace's ids";
            return false;
        }
    }
    // Nothing mounted here propagates back to the machine's namespace.
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tmpfs", dir.c_str(), "tmpfs", 0, ("size=" + std::to_string(bytes)).c_str()) != 0) {
        why = std::string("mount: ") + std::strerror(errno);
        return false;
    }
    return true;
}

// Allocates whole pages of a new file under `dir` until the filesystem is full.
void fillFilesystem(const std::string& dir) {
    const int fd = ::open((dir + "/filler").c_str(), O_RDWR | O_CREAT, 0644);
    for (off_t at = 0; fd >= 0 && ::posix_fallocate(fd, at, 4096) == 0; at += 4096) {
    }
    if (fd >= 0) ::close(fd);
}

std::size_t allocatedBytes(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<std::size_t>(st.st_blocks) * 512 : 0;
}

constexpr int scenarioSkipped = 3;

// The scenario process: in its own mount namespace on a small tmpfs, a writer of 1024 records
// and a reader paused inside a lookup, on the record's slot in the upper half of the file. The
// writer shrinks the slot file twice (1024, 512, 256 slots) and the bucket file with it, then the
// filesystem is filled, then the reader goes on reading the slots it was walking. It must finish
// (a retry or a clean miss), not die of SIGBUS; the memory of the tails goes only after the
// release grace.
bool lagScenario(const std::string& dir, ChildReport& report) {
    std::string why;
    if (!mountPrivateTmpfs(dir, 512 * 1024, why)) {
        report.fail("no private tmpfs: " + why);
        ::_exit(scenarioSkipped);
    }
    ::setenv("HOARD_SHM_ROOT", dir.c_str(), 1);
    ManualClockGuard clock;
    Hoard::MapDescriptor d = descriptor();
    d.releaseGrace = 1.0;
    FlowWriter w(debugHandler(), "lag/flows", d, FlowOps(), "Test");
    w.initialize("test");
    constexpr std::uint32_t records = 1024;
    for (std::uint32_t id = 0; id < records; ++id) w.write(FlowRecords::make(id, 1), true);
    if (w.capacity() != records)
        return report.fail("setup: capacity " + std::to_string(w.capacity()));
    Signal paused, go;
    Child reader([&] {
        FlowRecords::Reader r(debugHandler(), "lag/flows", FlowOps());
        if (!r.initialize("test")) return report.fail("reader: initialize failed");
        bool pausedOnce = false;
        Hoard::TestHook::readerSlotRead() = [&](std::uint32_t slot) {
            if (slot < records / 2 || pausedOnce) return;
            pausedOnce = true;
            paused.post();
            go.wait(60);
        };
        bool found = false;
        FlowRecords::Entry out;
        try {
            r.lookup(FlowRecords::key(1000), found, &out);
        } catch (const std::exception& e) {
            return report.fail(std::string("reader: ") + e.what());
        }
        std::uint32_t id = 0;
        std::uint64_t generation = 0;
        return !found || (FlowRecords::check(out, id, generation) && id == 1000) ||
               report.fail("reader: a torn record");
    });
    if (!paused.wait(60, reader)) return report.fail("the reader never reached the upper slots");
    FlowRecords::Entry gone;
    for (std::uint32_t id = records; id-- > 127;) w.remove(FlowRecords::key(id), gone);
    if (w.capacity() != 256)
        return report.fail("shrinks: capacity " + std::to_string(w.capacity()));
    const std::string slots = dir + "/lag/flows/slots";
    const std::size_t live = 344 + 256 * 152;
    const bool keptBacked = allocatedBytes(slots) > live + 4096;
    fillFilesystem(dir);
    go.post();
    const int rc = reader.wait();
    if (rc != 0) return report.fail("reader exit status " + std::to_string(rc));
    if (!keptBacked) return report.fail("the tail was released at once");
    clock.advance(0.9);
    w.write(FlowRecords::make(0, 2), true);
    if (allocatedBytes(slots) <= live + 4096)
        return report.fail("the tail was released before the grace");
    clock.advance(0.2);
    w.write(FlowRecords::make(0, 3), true);
    if (allocatedBytes(slots) > live + 4096)
        return report.fail("the tail was kept after the grace ");
    return true;
}

TEST(HoardReaderLagTest, AReaderInsideALookupSurvivesTwoShrinksAndAFullFilesystem) {
    char dir[] = "/tmp/flowtable-lag-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    SharedPage<ChildReport> report;
    Child scenario([&] { return lagScenario(dir, *report); });
    const int rc = scenario.wait();
    ::rmdir(dir);
    if (rc == scenarioSkipped) GTEST_SKIP() << report->text;
    EXPECT_EQ(rc, 0) << report->text;
}

#endif  // FLOWTABLE_TEST_HOOKS

// ---- Regressions, one process: reader faults the tests above found ------------------------------

// Flow operations whose hash calls a test hook first: a reader built on them lets the test run
// writer steps at a chosen point inside a reader operation (the reader hashes the key it looks
// for first, then every record it passes).
struct HookedFlowOps : FlowOps {
    static std::function<void(const FlowTracking::IpFlowKey&)>& hook() {
        static std::function<void(const FlowTracking::IpFlowKey&)> h;
        return h;
    }
    std::uint32_t hash(const FlowTracking::IpFlowKey& key) const {
        if (hook()) hook()(key);
        return FlowOps::hash(key);
    }
};

// A table of this process's writer ("regression/flows"), read by readers each test makes.
class HoardReaderRegressionTest : public ::testing::Test {
  protected:
    FlowWriter& writer(const Hoard::MapDescriptor& d = descriptor()) {
        writer_ = std::make_unique<FlowWriter>(debug, "regression/flows", d, FlowOps(), "Test");
        writer_->initialize("test");
        return *writer_;
    }

    ShmRoot shm;
    std::shared_ptr<Basalt::Platform::DebugHandler> debug = debugHandler();
    std::unique_ptr<FlowWriter> writer_;
};

TEST_F(HoardReaderRegressionTest, LookupSpanningABucketGrowAndShrinkStillFindsThePresentKey) {
    FlowWriter& w = writer();
    for (std::uint32_t id = 0; id < 64; ++id) w.write(FlowRecords::make(id, 1), true);
    const std::uint32_t n = w.bucketTable().count();
    // A bucket whose run holds keys of both halves of its coming split: `target` in the upper
    // half, `last` the last key of the lower half (its link is the one the split cuts).
    const FlowOps ops;
    std::map<std::pair<std::uint32_t, std::uint32_t>, std::uint32_t> byOrder;  // (rhash, id)
    for (std::uint32_t id = 0; id < 64; ++id) {
        byOrder[{orderHash<FlowRecords>(ops, FlowRecords::key(id)), id}] = id;
    }
    std::uint32_t target = ~0u, last = ~0u;
    for (std::uint32_t b = 0; b < n && target == ~0u; ++b) {
        std::uint32_t lower = ~0u, upper = ~0u;
        for (const auto& [order, id] : byOrder) {
            const std::uint32_t h = ops.hash(FlowRecords::key(id));
            if ((h & (n - 1)) != b) continue;
            if ((h & (2 * n - 1)) == b) lower = id;
            if ((h & (2 * n - 1)) == b + n && upper == ~0u) upper = id;
        }
        if (lower != ~0u && upper != ~0u) target = upper, last = lower;
    }
    ASSERT_NE(target, ~0u);

    Hoard::HoardReader<HookedFlowOps> r(debug, "regression/flows", HookedFlowOps());
    ASSERT_TRUE(r.initialize("test"));
    // The reader hashes `target` first: the writer splits the buckets (cutting `last`'s link to
    // the upper half's marker). When the reader has read that link and hashes `last`, the
    // writer merges them again: the count is back where the reader mapped it.
    int stage = 0;
    HookedFlowOps::hook() = [&](const FlowTracking::IpFlowKey& key) {
        if (stage == 0 && key == FlowRecords::key(target)) {
            stage = 1;
            w.index().growBuckets();
        } else if (stage == 1 && key == FlowRecords::key(last)) {
            stage = 2;
            w.index().shrinkBuckets();
        }
    };
    bool found = false;
    FlowRecords::Entry out;
    r.lookup(FlowRecords::key(target), found, &out);
    HookedFlowOps::hook() = nullptr;
    EXPECT_EQ(stage, 2);
    EXPECT_EQ(w.bucketTable().count(), n);
    EXPECT_TRUE(found);
    EXPECT_EQ(out, FlowRecords::make(target, 1));
}

TEST_F(HoardReaderRegressionTest, AnIdleReaderFollowsTheWritersCountsBeforeItWalks) {
    FlowWriter& w = writer();
    for (std::uint32_t id = 0; id < 10; ++id) w.write(FlowRecords::make(id, 1), true);
    Hoard::HoardReader<HookedFlowOps> r(debug, "regression/flows", HookedFlowOps());
    ASSERT_TRUE(r.initialize("test"));
    FlowRecords::Entry v;
    Hoard::IterHint hint;
    bool found = false;
    const std::pair<const char*, std::function<void()>> operations[] = {
        {"lookup", [&] { r.lookup(FlowRecords::key(3), found, &v); }},
        {"first", [&] { r.first(v, hint); }},
        {"next", [&] { r.next(v.key(), v, hint); }},
    };
    for (const auto& [name, operation] : operations) {
        // While the reader idles, the writer grows both files and shrinks them again: the
        // reader's mapping is stale, and the released tail may no longer hold what it shows.
        const std::uint64_t remaps = r.readerCounters().remaps;
        FlowRecords::Entry gone;
        for (std::uint32_t id = 1000; id < 1100; ++id) w.write(FlowRecords::make(id, 1), true);
        for (std::uint32_t id = 1000; id < 1100; ++id) w.remove(FlowRecords::key(id), gone);
        // The operation's first hash comes after it read the table: the remap came before.
        std::optional<std::uint64_t> remapsAtWalk;
        HookedFlowOps::hook() = [&](const FlowTracking::IpFlowKey&) {
            if (!remapsAtWalk) remapsAtWalk = r.readerCounters().remaps;
        };
        operation();
        HookedFlowOps::hook() = nullptr;
        ASSERT_TRUE(remapsAtWalk) << name;
        EXPECT_GT(*remapsAtWalk, remaps) << name;
    }
}

TEST_F(HoardReaderRegressionTest, LookupRetriedAfterARemapLooksForTheCallersKeyNotTheOutput) {
    Hoard::MapDescriptor d = descriptor();
    d.shrinkBuckets = false;  // 64 buckets throughout: only the slot file shrinks below
    FlowWriter& w = writer(d);
    // `kept` and `gone` share a bucket of 64, `kept` first in the run.
    const FlowOps ops;
    std::uint32_t kept = ~0u, gone = ~0u;
    for (std::uint32_t a = 0; a < 200 && gone == ~0u; ++a) {
        for (std::uint32_t b = a + 1; b < 200 && gone == ~0u; ++b) {
            const std::uint32_t ha = ops.hash(FlowRecords::key(a));
            const std::uint32_t hb = ops.hash(FlowRecords::key(b));
            if ((ha & 63) != (hb & 63)) continue;
            const bool aFirst = Basalt::Util::reverse(ha) < Basalt::Util::reverse(hb);
            kept = aFirst ? a : b;
            gone = aFirst ? b : a;
        }
    }
    ASSERT_NE(gone, ~0u);
    std::vector<std::uint32_t> others;
    for (std::uint32_t id = 200; others.size() < 38; ++id) others.push_back(id);
    for (std::uint32_t id : others) w.write(FlowRecords::make(id, 1), true);
    w.write(FlowRecords::make(kept, 1), true);
    w.write(FlowRecords::make(gone, 1), true);
    ASSERT_EQ(w.bucketTable().count(), 64u);
    Hoard::HoardReader<HookedFlowOps> r(debug, "regression/flows", HookedFlowOps());
    ASSERT_TRUE(r.initialize("test"));
    // Once the lookup has started (it hashes the caller's key first), removing `gone` and 24
    // others shrinks the slot file: the lookup runs on its old mapping first, then again after
    // remapping.
    const std::uint32_t capacity = w.capacity();
    bool removed = false;
    HookedFlowOps::hook() = [&](const FlowTracking::IpFlowKey&) {
        if (removed) return;
        removed = true;
        FlowRecords::Entry out;
        w.remove(FlowRecords::key(gone), out);
        for (std::uint32_t i = 0; i < 24; ++i) w.remove(FlowRecords::key(others[i]), out);
    };
    // The caller's key lives in the output buffer, which the first attempt fills with `kept`
    // on its way through the run.
    FlowRecords::Entry v = FlowRecords::make(gone, 1);
    bool found = true;
    r.lookup(v.key(), found, &v);
    HookedFlowOps::hook() = nullptr;
    ASSERT_LT(w.capacity(), capacity);
    EXPECT_FALSE(found);
    EXPECT_EQ(v, FlowRecords::Entry());
}

TEST_F(HoardReaderRegressionTest, NextFromAKeyLivingInTheValuePassesTwoRecordsOfEqualHash) {
    FlowWriter& w = writer();
    // Two flow keys whose 32-bit hashes are equal (found by a search): their records stand next
    // to each other in one run, ordered by key only.
    const FlowOps ops;
    constexpr std::uint32_t a = 36244, b = 76281;
    ASSERT_EQ(ops.hash(FlowRecords::key(a)), ops.hash(FlowRecords::key(b)));
    for (std::uint32_t id : {a, b, 1u, 2u, 3u}) w.write(FlowRecords::make(id, 1), true);
    FlowRecords::Reader r(debug, "regression/flows", FlowOps());
    ASSERT_TRUE(r.initialize("test"));
    std::map<std::uint32_t, int> seen;
    FlowRecords::Entry v;
    Hoard::IterHint hint;
    // The usual loop: next() overwrites the value its key argument lives in.
    for (bool more = r.first(v, hint); more && seen.size() < 10; more = r.next(v.key(), v, hint)) {
        std::uint32_t id = 0;
        std::uint64_t g = 0;
        ASSERT_TRUE(FlowRecords::check(v, id, g));
        ++seen[id];
    }
    EXPECT_EQ(seen, (std::map<std::uint32_t, int>{{1, 1}, {2, 1}, {3, 1}, {a, 1}, {b, 1}}));
}

TEST_F(HoardReaderRegressionTest, NextRetriedAfterARemapNeitherSkipsNorRepeatsARecord) {
    FlowWriter& w = writer();
    // Six records in sixteen slots and eight buckets: 27 more grow the slot file twice and the
    // bucket count three times, removing them shrinks both again. The writer does one or the
    // other inside every next() below, at the reader's first hash (after its first read), so the
    // step runs on the old mapping first and again after remapping, and a hint made under one
    // bucket count is used under another.
    constexpr std::uint32_t base = 6, fresh = 27;
    for (std::uint32_t id = 0; id < base; ++id) w.write(FlowRecords::make(id, 1), true);
    Hoard::HoardReader<HookedFlowOps> r(debug, "regression/flows", HookedFlowOps());
    ASSERT_TRUE(r.initialize("test"));
    bool armed = false, grown = false;
    std::uint32_t resized = 0;
    HookedFlowOps::hook() = [&](const FlowTracking::IpFlowKey&) {
        if (!armed) return;
        armed = false;
        const std::uint32_t capacity = w.capacity();
        FlowRecords::Entry gone;
        for (std::uint32_t f = 0; f < fresh; ++f) {
            if (grown) {
                w.remove(FlowRecords::key(1000 + f), gone);
            } else {
                w.write(FlowRecords::make(1000 + f, 1), true);
            }
        }
        grown = !grown;
        resized += w.capacity() != capacity;
    };
    const FlowOps ops;
    for (int round = 0; round < 8; ++round) {
        std::map<std::uint32_t, int> seen;
        std::uint32_t step = 0;
        std::uint64_t generation = 2;
        resized = 0;
        FlowRecords::Entry v;
        Hoard::IterHint hint;
        std::pair<std::uint32_t, FlowRecords::Key> previous{0, {}};
        // The usual loop: the key passed to next() lives in the value next() overwrites.
        for (bool more = r.first(v, hint); more && step < 100; more = r.next(v.key(), v, hint)) {
            std::uint32_t id = 0;
            std::uint64_t g = 0;
            ASSERT_TRUE(FlowRecords::check(v, id, g));
            const std::uint32_t order = orderHash<FlowRecords>(ops, v.key());
            if (step > 0) {
                ASSERT_TRUE(previous.first < order ||
                            (previous.first == order && previous.second < v.key()))
                    << "out of order at step " << step;
            }
            previous = {order, v.key()};
            ++seen[id];
            // Odd rounds rewrite the record just returned: its hint goes stale, the next
            // step takes the slow path.
            if (round % 2 == 1 && id < base) w.write(FlowRecords::make(id, generation++), true);
            armed = true;
            ++step;
        }
        armed = false;
        EXPECT_GE(resized + 1, step);  // every step but the last one resized the files
        for (std::uint32_t id = 0; id < base; ++id) EXPECT_EQ(seen[id], 1) << "id " << id;
        for (const auto& [id, times] : seen) EXPECT_EQ(times, 1) << "id " << id;
        FlowRecords::Entry gone;
        for (std::uint32_t f = 0; f < fresh; ++f) w.remove(FlowRecords::key(1000 + f), gone);
        grown = false;
    }
    HookedFlowOps::hook() = nullptr;
}

// A hint and a version anchor taken before two shrinks, used after a regrowth formatted the slots
// again with their status counters restarted: the hinted slot now holds another record, and the
// anchored slot the anchored key rewritten, both with the status the hint and the anchor have.
// The iteration step must not follow the hinted slot's link, and the anchor must not call the
// old value current; for the writer's own iteration and lookups as for a reader's.
class ReusedSlotTest : public HoardReaderRegressionTest,
                       public ::testing::WithParamInterface<bool> {};

TEST_P(ReusedSlotTest, HintsAndAnchorsDoNotTrustASlotThatWasReleasedAndFormattedAgain) {
    FlowWriter& w = writer();
    // Ids 0..63 in slots 0..63: a new table hands out its slots in ascending order.
    for (std::uint32_t id = 0; id < 64; ++id) w.write(FlowRecords::make(id, 1), true);
    FlowRecords::Reader r(debug, "regression/flows", FlowOps());
    ASSERT_TRUE(r.initialize("test"));
    Hoard::HoardInterface<FlowRecords::Key, FlowRecords::Entry, FlowOps>& table =
        GetParam() ? static_cast<decltype(table)>(r) : w;
    FlowRecords::Entry v;
    Hoard::IterHint hint;
    bool more = table.first(v, hint);
    for (std::uint32_t steps = 0; more && !(v.key() == FlowRecords::key(41)) && steps < 64;
         ++steps) {
        more = table.next(v.key(), v, hint);
    }
    ASSERT_EQ(hint.slot, 41u);
    bool found = false;
    FlowRecords::Entry out;
    table.lookup(FlowRecords::key(40), found, &out);
    ASSERT_TRUE(found);
    const Mem::CacheVersionAnchor cached = table.getCacheVersionAnchor();

    // Two shrinks (64, 32, 16 slots), then a regrowth: ids 100..132 take slots 7..39, the
    // anchored id 40 comes back in slot 40 with another value, and the hinted slot 41 gets id
    // `n`, followed in its run (the hint's bucket of 64) by id `m`: n and m sort after id 41,
    // so the record after 41 is n, and the hinted slot's link leads to m.
    const FlowOps ops;
    auto order = [&](std::uint32_t id) {
        return std::pair{orderHash<FlowRecords>(ops, FlowRecords::key(id)), FlowRecords::key(id)};
    };
    const std::uint32_t bucket = ops.hash(FlowRecords::key(41)) & 63;
    std::vector<std::uint32_t> after41;
    for (std::uint32_t id = 1000; after41.size() < 2; ++id) {
        if ((ops.hash(FlowRecords::key(id)) & 63) == bucket && order(41) < order(id)) {
            after41.push_back(id);
        }
    }
    std::sort(after41.begin(), after41.end(),
              [&](std::uint32_t a, std::uint32_t b) { return order(a) < order(b); });
    const std::uint32_t n = after41[0], m = after41[1];
    for (std::uint32_t id = 64; id-- > 7;) w.remove(FlowRecords::key(id), out);
    ASSERT_EQ(w.capacity(), 16u);
    for (std::uint32_t id = 100; id < 133; ++id) w.write(FlowRecords::make(id, 1), true);
    for (std::uint32_t id : {40u, n, m}) w.write(FlowRecords::make(id, 2), true);
    ASSERT_EQ(w.bucketTable().count(), 64u);
    ASSERT_EQ(w.slotTable().slots()[41].head.status, hint.status);
    ASSERT_TRUE(w.slotTable().slots()[41].value.key() == FlowRecords::key(n));

    EXPECT_THROW(table.validateVersionAnchor(), Mem::VersionMismatchException);
    table.lookup(FlowRecords::key(40), found, &out);
    if (GetParam()) {
        EXPECT_NE(table.getCacheVersionAnchor(), cached);
    }

    // The step from id 41 returns the record that follows it now: n, or one sorting between.
    std::vector<std::uint32_t> ids{40, n, m};
    for (std::uint32_t id = 0; id < 7; ++id) ids.push_back(id);
    for (std::uint32_t id = 100; id < 133; ++id) ids.push_back(id);
    std::uint32_t expected = n;
    for (std::uint32_t id : ids) {
        if (order(41) < order(id) && order(id) < order(expected)) expected = id;
    }
    FlowRecords::Entry next;
    ASSERT_TRUE(table.next(FlowRecords::key(41), next, hint));
    EXPECT_TRUE(next.key() == FlowRecords::key(expected)) << next;
}

INSTANTIATE_TEST_SUITE_P(WriterAndReader, ReusedSlotTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Reader" : "Writer"; });

}  // namespace
