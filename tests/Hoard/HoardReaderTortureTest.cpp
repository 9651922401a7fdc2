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
#include <vector>

#include "tests/support/ManualClockGuard.h"
#include "tests/support/Processes.h"
#include "tests/support/Seed.h"
#include "tests/support/SelfCheckingRecords.h"
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

template <class Records>
std::unique_ptr<typename Records::Writer> newWriter(const char* table,
                                                    const Hoard::MapDescriptor& d = descriptor()) {
    auto w = std::make_unique<typename Records::Writer>(debugHandler(), table, d,
                                                        typename Records::Ops(), "Test");
    w->initialize("test");
    return w;
}

template <class Records>
constexpr const char* tableOf() {
    return std::is_same_v<Records, FlowRecords> ? "torture/flows" : "torture/counters";
}

template <class Entry>
std::string show(const Entry& e) {
    std::ostringstream os;
    os << e;
    return os.str();
}

// True when `e` is a whole record of `id`; `generation` then holds its generation.
template <class Records>
bool isRecordOf(const typename Records::Entry& e, std::uint32_t id, std::uint64_t& generation) {
    std::uint32_t got = 0;
    return Records::check(e, got, generation) && got == id;
}

// Iterates `table` the usual way (the key passed to next() lives in the value next() overwrites),
// checking that every record is whole and that (rhash, key) strictly increases, and calls
// visit(id, generation) on each, which returns "" to go on. Returns "" or the first failure.
template <class Records, class Table, class Visit>
std::string walk(Table& table, std::uint32_t maxSteps, Visit&& visit) {
    typename Records::Entry v;
    Hoard::IterHint hint;
    std::uint32_t steps = 0, previousOrder = 0;
    typename Records::Key previousKey{};
    for (bool more = table.first(v, hint); more; more = table.next(v.key(), v, hint)) {
        if (++steps > maxSteps) return "an iteration does not end";
        std::uint32_t id = 0;
        std::uint64_t generation = 0;
        if (!Records::check(v, id, generation))
            return "iteration returned a torn record " + show(v);
        const std::uint32_t order = orderHash<Records>(table.ops(), v.key());
        if (steps > 1 && !(previousOrder < order ||
                           (previousOrder == order && Records::Ops::less(previousKey, v.key())))) {
            return "iteration out of order or repeating at id " + std::to_string(id);
        }
        previousOrder = order;
        previousKey = v.key();
        if (std::string failure = visit(id, generation); !failure.empty()) return failure;
    }
    return "";
}

// ---- One writer, three readers, both table kinds ---------------------------------------------

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

// What each reader publishes after every batch: the writer reads the race counters to decide
// when the races have been seen, the test sums all of them for the run's summary.
enum Counter { lookups, iterations, retries, lookasideReads, remaps, slowPaths, baseMoves, kinds };
constexpr const char* counterNames[kinds] = {
    "lookups", "iterations", "retries", "lookaside reads", "remaps", "slow paths", "base moves"};

// The page the writer, the readers and the test share. Thread safety: every field is written by
// one process (the writer's fields by the writer, a reader's counters by that reader).
struct TortureState {
    // Dying ids below dyingBase + watermark are removed for good: stored with release after the
    // removal returned; a reader loads it with acquire before it looks.
    std::atomic<std::uint32_t> watermark{0};
    std::atomic<std::uint32_t> writerDone{0};  // set by the test once the writer ended
    std::atomic<std::uint32_t> rounds{0}, bursts{0};
    std::atomic<std::uint64_t> slotGrows{0}, slotShrinks{0}, bucketGrows{0}, bucketShrinks{0};
    std::atomic<std::uint64_t> counters[Plan::readers][kinds] = {};

    std::uint64_t total(Counter c) const {
        std::uint64_t sum = 0;
        for (const auto& reader : counters) sum += reader[c].load(std::memory_order_relaxed);
        return sum;
    }
    bool racesSeen() const {
        return total(retries) > 0 && total(lookasideReads) > 0 && total(remaps) > 0;
    }
};

// The writer process: fills the stable and dying records, lets the readers attach, then runs
// rounds of filling and emptying the churn records, with a hot overwrite after every step, a
// dying removal every few steps and a burst of hot overwrites between fill and empty.
template <class Records>
bool runWriter(TortureState& state, Processes& p, ChildReport& report, std::uint64_t seed) {
    auto w = newWriter<Records>(tableOf<Records>());
    std::vector<std::uint64_t> hotGeneration(Plan::hot, 1);
    for (std::uint32_t id = 0; id < Plan::stable; ++id) w->write(Records::make(id, 1), true);
    for (std::uint32_t d = 0; d < Plan::dying; ++d) {
        w->write(Records::make(Plan::dyingBase + d, 1), true);
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
        // Pairs with the readers' acquire load before a lookup or an iteration.
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
    for (std::uint32_t round = 0; round < Plan::rounds; ++round) {
        std::shuffle(order.begin(), order.end(), rng);
        for (std::uint32_t i = 0; i < Plan::churn; ++i) {
            w->write(Records::make(order[i], 1), true);
            between();
            if (i % 4 == 3) {  // rewrite a churn record already in
                w->write(Records::make(order[rng() % (i + 1)], 2 + rng() % 1000), true);
            }
        }
        for (std::uint32_t i = 0; i < 500; ++i) overwriteHot();
        std::shuffle(order.begin(), order.end(), rng);
        for (std::uint32_t id : order) {
            if (!w->remove(Records::key(id), gone)) return report.fail("churn record missing");
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
    const Hoard::Writer::Counters c = w->writerCounters();
    state.slotGrows = c.grows;
    state.slotShrinks = c.shrinks;
    state.bucketGrows = c.bucketGrows;
    state.bucketShrinks = c.bucketShrinks;
    return true;
}

// A reader process: lookups (half of them of hot records) and, every eighth batch, a whole
// iteration, until the writer is done; then a last check of the final table (the stable
// records only). Every finding ends the process with its text in the report.
template <class Records>
class TortureReader {
  public:
    using Reader = typename Records::Reader;

    TortureReader(TortureState& state, std::uint32_t index, std::uint64_t seed)
        : state_(state),
          counters_(state.counters[index]),
          rng_(seed),
          lastGeneration_(Plan::stable, 0) {}

    std::string run(Processes& p) {
        if (!p.ready.wait(60, p.child(0))) return "the table never became ready";
        Reader r(debugHandler(), tableOf<Records>(), typename Records::Ops());
        if (!r.initialize("torture")) return "initialize failed";
        base_ = r.readerCounters();
        p.go.post();
        std::string failure;
        bool last = false;
        for (std::uint64_t batch = 0; !last && failure.empty(); ++batch) {
            last = state_.writerDone.load(std::memory_order_acquire) != 0;
            for (int i = 0; i < 64 && failure.empty(); ++i) failure = lookup(r, pickId());
            if (batch % 8 == 0 && failure.empty()) failure = iterate(r, false);
            publish(r);
        }
        // The writer is done: the table holds exactly the stable records.
        if (failure.empty()) failure = iterate(r, true);
        for (std::uint32_t id = 0; id < Plan::absentBase + Plan::absent && failure.empty(); ++id) {
            if (Plan::role(id) != Plan::Role::unknown) failure = lookup(r, id, true);
        }
        publish(r);
        return failure;
    }

  private:
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
    std::string lookup(Reader& r, std::uint32_t id, bool final = false) {
        // Read before the lookup: a dying id below it was removed before the lookup began.
        const std::uint32_t watermark = state_.watermark.load(std::memory_order_acquire);
        bool found = false;
        typename Records::Entry out;
        if (lookups_++ % 2 == 0) {
            r.lookup(Records::key(id), found, &out);
        } else {  // the key lives in the output buffer, as when a caller refreshes a record
            out = Records::make(id, 0);
            r.lookup(out.key(), found, &out);
        }
        const std::string what = "id " + std::to_string(id);
        std::uint64_t generation = 0;
        if (found && !isRecordOf<Records>(out, id, generation)) {
            return "lookup of " + what + " returned a torn or foreign record " + show(out);
        }
        const Plan::Role role = Plan::role(id);
        if (role == Plan::Role::stable) {
            if (!found) return "stable " + what + " not found";
            if (generation < lastGeneration_[id]) {
                return "stable " + what + " went back from generation " +
                       std::to_string(lastGeneration_[id]) + " to " + std::to_string(generation);
            }
            lastGeneration_[id] = generation;
        } else if (found &&
                   (final || !(role == Plan::Role::churn ||
                               (role == Plan::Role::dying && id - Plan::dyingBase >= watermark)))) {
            return what + " found although removed or never written (watermark " +
                   std::to_string(watermark) + ")";
        }
        return "";
    }

    // Every record whole and in order, each stable record exactly once, no dying record below
    // the watermark read before the iteration began.
    std::string iterate(Reader& r, bool final) {
        const std::uint32_t watermark = state_.watermark.load(std::memory_order_acquire);
        std::vector<std::uint32_t> seen(Plan::stable, 0);
        std::string failure = walk<Records>(
            r, 4 * (Plan::stable + Plan::dying + Plan::churn),
            [&](std::uint32_t id, std::uint64_t) -> std::string {
                const Plan::Role role = Plan::role(id);
                if (role == Plan::Role::stable) {
                    ++seen[id];
                } else if (final || role == Plan::Role::absent || role == Plan::Role::unknown ||
                           (role == Plan::Role::dying && id - Plan::dyingBase < watermark)) {
                    return "iteration returned id " + std::to_string(id) +
                           " although removed or never written (watermark " +
                           std::to_string(watermark) + ")";
                }
                return "";
            });
        for (std::uint32_t id = 0; id < Plan::stable && failure.empty(); ++id) {
            if (seen[id] != 1) {
                failure = "iteration returned stable id " + std::to_string(id) + " " +
                          std::to_string(seen[id]) + " times";
            }
        }
        ++iterations_;
        return failure;
    }

    void publish(const Reader& r) {
        const Hoard::Reader::Counters c = r.readerCounters();
        const std::uint64_t values[kinds] = {lookups_,
                                             iterations_,
                                             c.retries - base_.retries,
                                             c.lookasideReads - base_.lookasideReads,
                                             c.remaps - base_.remaps,
                                             c.slowPaths - base_.slowPaths,
                                             c.baseMoves - base_.baseMoves};
        for (int k = 0; k < kinds; ++k) counters_[k].store(values[k], std::memory_order_relaxed);
    }

    TortureState& state_;
    std::atomic<std::uint64_t> (&counters_)[kinds];
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
    Processes p;
    p.start("writer", [&](ChildReport& report) {
        pin(true);
        return runWriter<Records>(*state, p, report, seed);
    });
    for (std::uint32_t i = 0; i < Plan::readers; ++i) {
        p.start("reader " + std::to_string(i), [&, i](ChildReport& report) {
            pin(false);
            const std::string failure = TortureReader<Records>(*state, i, seed + 1 + i).run(p);
            return failure.empty() || report.fail(failure);
        });
    }
    p.wait(0);  // waitAll() below names its failure first
    state->writerDone.store(1, std::memory_order_release);  // the readers stop at their next batch
    EXPECT_EQ(p.waitAll(), "");
    std::cerr << Records::kind << " table: writer rounds " << state->rounds << ", extra bursts "
              << state->bursts << ", slot grows " << state->slotGrows << ", slot shrinks "
              << state->slotShrinks << ", bucket grows " << state->bucketGrows
              << ", bucket shrinks " << state->bucketShrinks << "; readers:";
    for (int k = 0; k < kinds; ++k) {
        std::cerr << " " << counterNames[k] << " " << state->total(Counter(k));
    }
    std::cerr << "\n";
    // The races really ran.
    EXPECT_TRUE(state->racesSeen());
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

// Insertion starts from 100 records in 128 slots and 128 buckets, so step 28 grows both; removal
// from 600 records in 1024 slots and 1024 buckets, so step 345 shrinks both.
constexpr std::uint32_t setupOf(CrashOp op) { return op == CrashOp::remove ? 600 : 100; }
constexpr std::uint32_t crashSteps = 400;

// The generation the readers must answer for id `id` after the writer died in step `step`
// (0: absent), and for the record of the interrupted step the other admissible one.
struct Expected {
    std::uint64_t committed = 0;
    std::uint64_t alternative = 0;
    bool interrupted = false;
};

Expected expectedAfterCrash(CrashOp op, std::uint32_t step, std::uint32_t id) {
    const std::uint32_t setup = setupOf(op);
    switch (op) {
        case CrashOp::insert:  // the new record linked or not
            return {id < setup + step ? 1u : 0u, 1, id == setup + step};
        case CrashOp::overwrite:  // the new value or the old one
            return {id >= setup ? 0u : id == 3 ? 1u + step : 1u, 2u + step, id == 3};
        case CrashOp::remove:  // unlinked or not
            return {id > step && id < setup ? 1u : 0u, 1, id == step};
    }
    return {};
}

template <class Records>
void checkAfterCrash(typename Records::Reader& r, CrashOp op, std::uint32_t step, const char* who) {
    SCOPED_TRACE(who);
    // `generation` 0: absent.
    auto admissible = [&](std::uint32_t id, std::uint64_t generation) {
        const Expected e = expectedAfterCrash(op, step, id);
        return generation == e.committed || (e.interrupted && generation == e.alternative);
    };
    std::uint32_t committed = 0;
    for (std::uint32_t id = 0; id < setupOf(op) + crashSteps; ++id) {
        bool found = false;
        typename Records::Entry v;
        r.lookup(Records::key(id), found, &v);
        std::uint64_t generation = 0;
        ASSERT_TRUE(!found || isRecordOf<Records>(v, id, generation)) << show(v);
        ASSERT_TRUE(admissible(id, generation)) << "id " << id << " found " << found << " " << v;
        committed += expectedAfterCrash(op, step, id).committed != 0;
    }
    std::uint32_t committedSeen = 0;
    auto visit = [&](std::uint32_t id, std::uint64_t generation) -> std::string {
        if (!admissible(id, generation)) {
            return "iteration returned id " + std::to_string(id) + " generation " +
                   std::to_string(generation);
        }
        committedSeen += expectedAfterCrash(op, step, id).committed != 0;
        return "";
    };
    EXPECT_EQ(walk<Records>(r, setupOf(op) + crashSteps, visit), "");
    EXPECT_EQ(committedSeen, committed);
}

template <class Records>
void crashRun(const CrashCase& c) {
    std::mt19937_64 rng(testSeed(c.point));
    const std::uint32_t occurrence = 1 + static_cast<std::uint32_t>(rng() % c.occurrences);
    ShmRoot shm;
    const char* table = tableOf<Records>();
    SharedPage<std::atomic<std::uint32_t>> step;  // the step under way when the writer died
    Processes p;
    p.start("writer", [&](ChildReport& report) {
        auto w = newWriter<Records>(table);
        const std::uint32_t setup = setupOf(c.op);
        for (std::uint32_t id = 0; id < setup; ++id) w->write(Records::make(id, 1), true);
        p.ready.post();
        if (!p.go.wait(60)) return report.fail("no go from the test");
        Hoard::CrashPoint::arm(c.point, occurrence);
        typename Records::Entry gone;
        for (std::uint32_t s = 0; s < crashSteps; ++s) {
            step->store(s, std::memory_order_relaxed);
            if (c.op == CrashOp::insert) w->write(Records::make(setup + s, 1), true);
            if (c.op == CrashOp::overwrite) w->write(Records::make(3, 2 + s), true);
            if (c.op == CrashOp::remove) w->remove(Records::key(s), gone);
        }
        return report.fail("the crash point was never reached");
    });
    ASSERT_TRUE(p.ready.wait(60, p.child(0))) << p.wait(0);
    // One reader attached before the writer started the fatal steps, one after its death.
    typename Records::Reader early(debugHandler(), table, typename Records::Ops());
    ASSERT_TRUE(early.initialize("crash"));
    p.go.post();
    ASSERT_EQ(p.wait(0, 128 + SIGKILL), "") << c.point << " #" << occurrence;
    checkAfterCrash<Records>(early, c.op, step->load(), "reader attached before the crash");
    typename Records::Reader late(debugHandler(), table, typename Records::Ops());
    ASSERT_TRUE(late.initialize("crash"));
    checkAfterCrash<Records>(late, c.op, step->load(), "reader attached after the crash");
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

// A flow table of 64 records, its writer gone, mapped for a damage recipe.
struct DamagedTable {
    using Slot = Hoard::TypedSlot<FlowRecords::Entry>;
    static constexpr std::uint32_t records = 64;
    static constexpr std::size_t slotSize = sizeof(Slot);
    static constexpr std::size_t slotsBase = sizeof(Hoard::SlotTable::Header) + slotSize;
    static_assert(slotsBase == 344, "192 header bytes and the lookaside slot");

    static std::string path(const char* file) {
        return Mem::RootPath(debugHandler(), "damaged/flows", false).filePath(file);
    }
    // Writes the records; returns the slot and bucket counts.
    static std::pair<std::uint32_t, std::uint32_t> written() {
        auto w = newWriter<FlowRecords>("damaged/flows");
        for (std::uint32_t id = 0; id < records; ++id) w->write(FlowRecords::make(id, 1), true);
        return {w->capacity(), w->bucketTable().count()};
    }

    const std::pair<std::uint32_t, std::uint32_t> counts = written();
    const std::uint32_t numSlots = counts.first, numBuckets = counts.second;
    MappedFile slots{path("slots")}, buckets{path("buckets")};
    // Set by the rows of next()'s search: the key a hintless next() starts from and the start
    // of the corruption it must report.
    std::optional<FlowRecords::Key> probe;
    std::string probeReport;

    std::uint64_t& link(std::uint32_t slot) {
        return slots.at<std::uint64_t>(slotsBase + slot * slotSize);
    }
    std::uint32_t next(std::uint32_t slot) { return Hoard::SlotLink::load(link(slot)).next; }
    void relink(std::uint32_t slot, std::uint32_t to) {
        Hoard::SlotLink::store(link(slot), Hoard::SlotLink{1000, to});
    }
    std::uint32_t& status(std::uint32_t slot) {
        return slots.at<std::uint32_t>(slotsBase + slot * slotSize + 8);
    }
    FlowRecords::Entry& value(std::uint32_t slot) {
        return slots.at<FlowRecords::Entry>(slotsBase + slot * slotSize + 16);
    }
    std::uint32_t bucketOf(const FlowRecords::Key& key) const {
        return FlowOps().hash(key) & (numBuckets - 1);
    }
    // Two records A -> B in one run: returns A's slot.
    std::uint32_t linkedPair() {
        for (std::uint32_t s = 0; s < numSlots; ++s) {
            if ((status(s) & Hoard::SlotTable::occupied) && Hoard::SlotLink::isSlot(next(s))) {
                return s;
            }
        }
        throw std::runtime_error("no two records share a run");
    }
    // Rewrites the first bucket entry whose target satisfies `which`.
    void rebucket(bool (*which)(std::uint32_t), std::uint32_t to) {
        for (std::uint32_t b = 0; b < numBuckets; ++b) {
            std::uint64_t& entry =
                buckets.at<std::uint64_t>(Hoard::BucketTable::headerSize + b * 8);
            if (which(Hoard::SlotLink::load(entry).next)) {
                Hoard::SlotLink::store(entry, Hoard::SlotLink{1000, to});
                return;
            }
        }
        throw std::runtime_error("no such bucket");
    }
};

// What a damaged table must make a reader do. Every row also requires that nothing crashes,
// hangs, or returns a torn or foreign record.
enum class Reported {
    byLookupsAndIterations,  // some lookup of the damaged run, and both iterations
    byIterations,            // both iterations (lookups stop at bucket markers)
    byNextsSearch,           // the hintless next() from the probe, with the probe's text
    byEveryOperation,        // initialize refuses the table, or no operation answers
};

struct DamageRow {
    const char* name;
    void (*damage)(DamagedTable&);
    Reported expected;
};

const DamageRow damageRows[] = {
    {"a run that loops back",
     [](DamagedTable& t) {
         const std::uint32_t a = t.linkedPair();
         t.relink(t.next(a), a);
     },
     Reported::byLookupsAndIterations},
    {"a slot linking to itself",
     [](DamagedTable& t) {
         const std::uint32_t a = t.linkedPair();
         t.relink(a, a);
     },
     Reported::byLookupsAndIterations},
    {"a link beyond the slots", [](DamagedTable& t) { t.relink(t.linkedPair(), t.numSlots + 7); },
     Reported::byLookupsAndIterations},
    {"a bucket entry beyond the slots",
     [](DamagedTable& t) { t.rebucket(Hoard::SlotLink::isSlot, 0x7FFFFFF0u); },
     Reported::byLookupsAndIterations},
    {"a bucket marker beyond the buckets",
     [](DamagedTable& t) {
         t.rebucket(Hoard::SlotLink::isBucketMarker,
                    Hoard::SlotLink::bucketMarker(t.numBuckets + 3));
     },
     Reported::byIterations},
    {"a linked slot not marked occupied",
     [](DamagedTable& t) { t.status(t.next(t.linkedPair())) &= ~Hoard::SlotTable::occupied; },
     Reported::byLookupsAndIterations},
    {"an empty slot file",
     [](DamagedTable&) { ::truncate(DamagedTable::path("slots").c_str(), 0); },
     Reported::byEveryOperation},
    {"a slot file cut inside the header",
     [](DamagedTable&) { ::truncate(DamagedTable::path("slots").c_str(), 100); },
     Reported::byEveryOperation},
    {"a slot file cut after ten slots",
     [](DamagedTable&) {
         ::truncate(DamagedTable::path("slots").c_str(),
                    DamagedTable::slotsBase + 10 * DamagedTable::slotSize);
     },
     Reported::byEveryOperation},
    // next() whose hint no longer holds searches its key's run again (the slow path); that
    // search reports a run a damaged file leads astray, as a lookup does, instead of iterating.
    {"next's search meets a record of another bucket",
     [](DamagedTable& t) {
         const std::uint32_t from = t.linkedPair();
         const std::uint32_t half = t.numBuckets / 2 - 1;  // the rhash order still holds
         std::uint32_t id = DamagedTable::records;
         while ((t.bucketOf(FlowRecords::key(id)) & half) ==
                (t.bucketOf(t.value(from).key()) & half)) {
             ++id;
         }
         t.value(t.next(from)) = FlowRecords::make(id, 1);
         t.probe = t.value(from).key();
         t.probeReport = "HoardReader::doNext() corrupt key detected. key:";
     },
     Reported::byNextsSearch},
    {"next's search meets a run ending in a marker back to its own bucket",
     [](DamagedTable& t) {
         std::uint32_t s = 0;
         while (!(t.status(s) & Hoard::SlotTable::occupied) ||
                !Hoard::SlotLink::isBucketMarker(t.next(s))) {
             ++s;
         }
         const std::uint32_t own = t.bucketOf(t.value(s).key());
         const std::uint32_t seq = Hoard::SlotLink::load(t.link(s)).seq;
         Hoard::SlotLink::store(t.link(s),
                                Hoard::SlotLink{seq, Hoard::SlotLink::bucketMarker(own)});
         t.probe = t.value(s).key();
         t.probeReport = "HoardReader::verifyNextBucket() has bucket:" + std::to_string(own) +
                         " with next bucket:" + std::to_string(own);
     },
     Reported::byNextsSearch},
};

// What the reader process made of a damaged table. Thread safety: written by that process only,
// read by the test after it exited.
struct DamageSeen {
    std::atomic<std::uint32_t> initialized{0}, answered{0}, nextReported{0};
    std::atomic<std::uint32_t> lookupReports{0}, iterationReports{0};
};

// A reader process initializes, runs the probe, looks every record up (and many absent keys, so
// that some fall behind the damage) and iterates twice; each operation either answers or raises
// corruption.
bool readDamaged(const DamagedTable& t, DamageSeen& seen, ChildReport& report) {
    FlowRecords::Reader r(debugHandler(), "damaged/flows", FlowOps());
    try {
        if (!r.initialize("damaged")) return true;
    } catch (const Basalt::CorruptionDetectedException&) {
        return true;
    }
    seen.initialized = 1;
    auto attempt = [&](std::atomic<std::uint32_t>& reports, const std::function<void()>& op) {
        try {
            op();
            ++seen.answered;
        } catch (const Basalt::CorruptionDetectedException& e) {
            ++reports;
            if (&reports == &seen.nextReported && std::string(e.what()).rfind(t.probeReport, 0)) {
                report.fail(std::string("next() reported ") + e.what());
            }
        }
    };
    FlowRecords::Entry v;
    if (t.probe) {
        attempt(seen.nextReported, [&] {
            Hoard::IterHint none;  // no hint: the step searches the run
            r.next(*t.probe, v, none);
        });
    }
    for (std::uint32_t id = 0; id < DamagedTable::records + 1000; ++id) {
        attempt(seen.lookupReports, [&] {
            bool found = false;
            std::uint64_t generation = 0;
            r.lookup(FlowRecords::key(id), found, &v);
            if (found && !isRecordOf<FlowRecords>(v, id, generation)) {
                report.fail("a damaged table returned a foreign record " + show(v));
            }
        });
    }
    for (int pass = 0; pass < 2; ++pass) {
        attempt(seen.iterationReports, [&] {
            const std::string failure = walk<FlowRecords>(
                r, 4 * DamagedTable::records, [](std::uint32_t, std::uint64_t) { return ""; });
            if (!failure.empty()) report.fail(failure);
        });
    }
    return report.text[0] == 0;
}

TEST(HoardReaderCorruptionTest, EveryDamageIsReportedNeverFollowed) {
    for (const DamageRow& row : damageRows) {
        SCOPED_TRACE(row.name);
        ShmRoot shm;
        DamagedTable table;
        row.damage(table);
        SharedPage<DamageSeen> seen;
        Processes p;
        p.start("reader", [&](ChildReport& report) { return readDamaged(table, *seen, report); });
        ASSERT_EQ(p.wait(0), "");
        const bool initialized = seen->initialized != 0;
        switch (row.expected) {
            case Reported::byLookupsAndIterations:
                EXPECT_GE(seen->lookupReports, 1u);
                [[fallthrough]];
            case Reported::byIterations:
                EXPECT_TRUE(initialized);
                EXPECT_EQ(seen->iterationReports, 2u);
                break;
            case Reported::byNextsSearch:
                EXPECT_TRUE(initialized);
                EXPECT_EQ(seen->nextReported, 1u);
                break;
            case Reported::byEveryOperation:
                EXPECT_TRUE(!initialized || seen->answered == 0u) << seen->answered;
                break;
        }
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
    auto w = newWriter<FlowRecords>("lag/flows", d);
    constexpr std::uint32_t records = 1024;
    for (std::uint32_t id = 0; id < records; ++id) w->write(FlowRecords::make(id, 1), true);
    if (w->capacity() != records)
        return report.fail("setup: capacity " + std::to_string(w->capacity()));
    Processes inner;
    inner.start("reader", [&](ChildReport& readerReport) {
        FlowRecords::Reader r(debugHandler(), "lag/flows", FlowOps());
        if (!r.initialize("test")) return readerReport.fail("initialize failed");
        bool pausedOnce = false;
        Hoard::TestHook::readerSlotRead() = [&](std::uint32_t slot) {
            if (slot < records / 2 || pausedOnce) return;
            pausedOnce = true;
            inner.ready.post();
            inner.go.wait(60);
        };
        bool found = false;
        FlowRecords::Entry out;
        r.lookup(FlowRecords::key(1000), found, &out);
        std::uint64_t generation = 0;
        return !found || isRecordOf<FlowRecords>(out, 1000, generation) ||
               readerReport.fail("a torn record " + show(out));
    });
    if (!inner.ready.wait(60, inner.child(0))) {
        return report.fail("the reader never reached the upper slots: " + inner.wait(0));
    }
    FlowRecords::Entry gone;
    for (std::uint32_t id = records; id-- > 127;) w->remove(FlowRecords::key(id), gone);
    if (w->capacity() != 256)
        return report.fail("shrinks: capacity " + std::to_string(w->capacity()));
    const std::string slots = dir + "/lag/flows/slots";
    auto backed = [&] { return allocatedBytes(slots) > 344 + 256 * 152 + 4096; };
    const bool keptBacked = backed();
    fillFilesystem(dir);
    inner.go.post();
    if (const std::string failure = inner.wait(0); !failure.empty()) return report.fail(failure);
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

// A table of this process's writer ("regression/flows") with ids [0, count), and a reader of it
// on hooked operations.
class HoardReaderRegressionTest : public ::testing::Test {
  protected:
    FlowWriter& writer(std::uint32_t count, const Hoard::MapDescriptor& d = descriptor()) {
        writer_ = newWriter<FlowRecords>("regression/flows", d);
        for (std::uint32_t id = 0; id < count; ++id) writer_->write(FlowRecords::make(id, 1), true);
        return *writer_;
    }
    Hoard::HoardReader<HookedFlowOps>& reader() {
        reader_ = std::make_unique<Hoard::HoardReader<HookedFlowOps>>(
            debugHandler(), "regression/flows", HookedFlowOps());
        if (!reader_->initialize("test")) throw std::runtime_error("initialize failed");
        return *reader_;
    }
    void TearDown() override { HookedFlowOps::hook() = nullptr; }

    const FlowOps ops;
    ShmRoot shm;
    std::unique_ptr<FlowWriter> writer_;
    std::unique_ptr<Hoard::HoardReader<HookedFlowOps>> reader_;
};

TEST_F(HoardReaderRegressionTest, LookupSpanningABucketGrowAndShrinkStillFindsThePresentKey) {
    FlowWriter& w = writer(64);
    const std::uint32_t n = w.bucketTable().count();
    // A bucket whose run holds keys of both halves of its coming split: `target` in the upper
    // half, `last` the last key of the lower half (its link is the one the split cuts).
    std::map<std::pair<std::uint32_t, std::uint32_t>, std::uint32_t> byOrder;  // (rhash, id)
    for (std::uint32_t id = 0; id < 64; ++id) {
        byOrder[{orderHash<FlowRecords>(ops, FlowRecords::key(id)), id}] = id;
    }
    std::uint32_t target = ~0u, last = ~0u;
    for (std::uint32_t b = 0; b < n && target == ~0u; ++b) {
        std::uint32_t lower = ~0u, upper = ~0u;
        for (const auto& [order, id] : byOrder) {
            const std::uint32_t h = ops.hash(FlowRecords::key(id));
            if ((h & (2 * n - 1)) == b) lower = id;
            if ((h & (2 * n - 1)) == b + n && upper == ~0u) upper = id;
        }
        if (lower != ~0u && upper != ~0u) target = upper, last = lower;
    }
    ASSERT_NE(target, ~0u);
    auto& r = reader();
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
    EXPECT_EQ(stage, 2);
    EXPECT_EQ(w.bucketTable().count(), n);
    EXPECT_TRUE(found);
    EXPECT_EQ(out, FlowRecords::make(target, 1));
}

TEST_F(HoardReaderRegressionTest, AnIdleReaderFollowsTheWritersCountsBeforeItWalks) {
    FlowWriter& w = writer(10);
    auto& r = reader();
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
    // `kept` and `gone` share a bucket of 64, `kept` first in the run; 38 others fill the table.
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
    FlowWriter& w = writer(0, d);
    for (std::uint32_t id = 200; id < 238; ++id) w.write(FlowRecords::make(id, 1), true);
    w.write(FlowRecords::make(kept, 1), true);
    w.write(FlowRecords::make(gone, 1), true);
    ASSERT_EQ(w.bucketTable().count(), 64u);
    auto& r = reader();
    // Once the lookup has started (it hashes the caller's key first), removing `gone` and 24
    // others shrinks the slot file: the lookup runs on its old mapping first, then again after
    // remapping.
    const std::uint32_t capacity = w.capacity();
    bool removed = false;
    HookedFlowOps::hook() = [&](const FlowTracking::IpFlowKey&) {
        if (std::exchange(removed, true)) return;
        FlowRecords::Entry out;
        w.remove(FlowRecords::key(gone), out);
        for (std::uint32_t id = 200; id < 224; ++id) w.remove(FlowRecords::key(id), out);
    };
    // The caller's key lives in the output buffer, which the first attempt fills with `kept`
    // on its way through the run.
    FlowRecords::Entry v = FlowRecords::make(gone, 1);
    bool found = true;
    r.lookup(v.key(), found, &v);
    ASSERT_LT(w.capacity(), capacity);
    EXPECT_FALSE(found);
    EXPECT_EQ(v, FlowRecords::Entry());
}

TEST_F(HoardReaderRegressionTest, NextFromAKeyLivingInTheValuePassesTwoRecordsOfEqualHash) {
    // Two flow keys whose 32-bit hashes are equal (found by a search): their records stand next
    // to each other in one run, ordered by key only.
    constexpr std::uint32_t a = 36244, b = 76281;
    ASSERT_EQ(ops.hash(FlowRecords::key(a)), ops.hash(FlowRecords::key(b)));
    FlowWriter& w = writer(4);
    for (std::uint32_t id : {a, b}) w.write(FlowRecords::make(id, 1), true);
    std::map<std::uint32_t, int> seen;
    EXPECT_EQ(walk<FlowRecords>(reader(), 10,
                                [&](std::uint32_t id, std::uint64_t) {
                                    ++seen[id];
                                    return "";
                                }),
              "");
    EXPECT_EQ(seen, (std::map<std::uint32_t, int>{{0, 1}, {1, 1}, {2, 1}, {3, 1}, {a, 1}, {b, 1}}));
}

TEST_F(HoardReaderRegressionTest, NextRetriedAfterARemapNeitherSkipsNorRepeatsARecord) {
    // Six records in sixteen slots and eight buckets: 27 more grow the slot file twice and the
    // bucket count three times, removing them shrinks both again. The writer does one or the
    // other inside every next() below, at the reader's first hash (after its first read), so the
    // step runs on the old mapping first and again after remapping, and a hint made under one
    // bucket count is used under another.
    constexpr std::uint32_t base = 6, fresh = 27;
    FlowWriter& w = writer(base);
    auto& r = reader();
    bool armed = false, grown = false;
    std::uint32_t resized = 0;
    HookedFlowOps::hook() = [&](const FlowTracking::IpFlowKey&) {
        if (!std::exchange(armed, false)) return;
        const std::uint32_t capacity = w.capacity();
        FlowRecords::Entry gone;
        for (std::uint32_t id = 1000; id < 1000 + fresh; ++id) {
            if (grown) {
                w.remove(FlowRecords::key(id), gone);
            } else {
                w.write(FlowRecords::make(id, 1), true);
            }
        }
        grown = !grown;
        resized += w.capacity() != capacity;
    };
    for (int round = 0; round < 8; ++round) {
        SCOPED_TRACE(round);
        std::vector<int> seen(base, 0);
        std::uint32_t steps = 0;
        std::uint64_t generation = 2;
        resized = 0;
        EXPECT_EQ(walk<FlowRecords>(r, 100,
                                    [&](std::uint32_t id, std::uint64_t) {
                                        if (id < base) ++seen[id];
                                        ++steps;
                                        // Odd rounds rewrite the record just returned: its hint
                                        // goes stale, the next step takes the slow path.
                                        if (round % 2 == 1 && id < base) {
                                            w.write(FlowRecords::make(id, generation++), true);
                                        }
                                        armed = true;
                                        return "";
                                    }),
                  "");
        armed = false;
        EXPECT_GE(resized + 1, steps);  // every step but the last one resized the files
        EXPECT_EQ(seen, std::vector<int>(base, 1));  // and no record twice: walk() checks the order
        FlowRecords::Entry gone;
        for (std::uint32_t id = 1000; id < 1000 + fresh; ++id) w.remove(FlowRecords::key(id), gone);
        grown = false;
    }
}

// A hint and a version anchor taken before two shrinks, used after a regrowth formatted the slots
// again with their status counters restarted: the hinted slot now holds another record, and the
// anchored slot the anchored key rewritten, both with the status the hint and the anchor have.
// The iteration step must not follow the hinted slot's link, and the anchor must not call the
// old value current; for the writer's own iteration and lookups as for a reader's.
class ReusedSlotTest : public HoardReaderRegressionTest,
                       public ::testing::WithParamInterface<bool> {};

TEST_P(ReusedSlotTest, HintsAndAnchorsDoNotTrustASlotThatWasReleasedAndFormattedAgain) {
    // Ids 0..63 in slots 0..63: a new table hands out its slots in ascending order.
    FlowWriter& w = writer(64);
    FlowRecords::Reader r(debugHandler(), "regression/flows", FlowOps());
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
