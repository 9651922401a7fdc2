// torture: kills a table writer again and again while readers read, and counts what anyone lost.
//
// One writer process and K reader processes share a flow table (no queue) and a counter table
// (with its notification queue) of self-checking records (key id, generation, two checksums).
// The writer runs random inserts, overwrites and removes in phases that fill the tables (they
// grow) and empty them (they shrink); every write gets a generation above all earlier ones. Each
// round the writer is SIGKILLed, either at an armed crash point (the write, remove, grow, shrink
// and bucket points, and recovery's own points, which kill the next writer inside its recovery)
// or after a random time; the next round's writer attaches, recovers, checks every record against
// what was committed (a write or remove that returned), and goes on. Readers never stop: each
// looks records up singly and in batches, iterates and scans, and counts torn or mixed records
// (by call, each with a line on stderr) and generations going back. A queue follower (here, in
// the supervisor) re-reads every notified slot and must end each round holding the counter
// table's records.
//
//   torture [--seconds N] [--seed S] [--readers K]
//
// Prints the seed, then per crash point: kills (and of them those at the point itself; the others
// came when the armed point was not reached within 2 s), operations, reads checked, torn or mixed
// reads, generations going back, committed records lost, follower differences, reader crashes,
// repairs and re-formats; then the records read and torn per call (lookup, batch, iterate, scan)
// and the scans' repeats. Exit 1 when anything was lost, torn, went back or crashed, or a scan
// repeated a record without saying it might.

#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "Hoard/CrashPoint.h"
#include "contracts/Herald/HeraldReader.h"
#include "tests/support/SelfCheckingRecords.h"
#include "tools/torture/Harness.h"

namespace {

using TestSupport::CounterRecords;
using TestSupport::FlowRecords;

constexpr std::uint32_t kIds = 3000;  // ids per table; the tables grow past 2048 slots
constexpr std::uint32_t kTables = 2;  // 0: flows, 1: counters
constexpr std::uint32_t kNone = 0xFFFFFFFFu;
const char* const kTableNames[kTables] = {"torture/flows", "torture/counters"};

// The crash points a round may arm; the last entry stands for a kill after a random time.
const char* const kPoints[] = {
    "write.lookasideSet", "write.value",      "write.status",        "write.link",
    "write.publish",      "remove.unlink",    "remove.clear",        "remove.free",
    "grow.publish",       "grow.freeList",    "shrink.move",         "shrink.move.value",
    "shrink.move.status", "shrink.move.link", "shrink.move.publish", "shrink.publish",
    "buckets.grow",       "buckets.grow.cut", "buckets.shrink",      "notify",
    "recover.free",       "recover.cut",      "recover.finish",      "recover.freeList",
    "recover.notify",     "random time",
};
constexpr std::uint32_t kPointCount = sizeof(kPoints) / sizeof(kPoints[0]);
constexpr std::uint32_t kRandom = kPointCount - 1;
bool structural(std::uint32_t p) {
    const std::string n = kPoints[p];
    return n.rfind("grow", 0) == 0 || n.rfind("shrink", 0) == 0 || n.rfind("buckets", 0) == 0;
}
bool inRecovery(std::uint32_t p) { return std::string(kPoints[p]).rfind("recover", 0) == 0; }

struct Stats {
    std::atomic<std::uint64_t> kills, atPoint, operations, reads, torn, back, lost, follower,
        readerCrashes, repairs, reformats;
};

// The counters in print order.
template <class S>
auto fields(S& s) {
    return std::array{&s.kills, &s.atPoint,  &s.operations,    &s.reads,   &s.torn,     &s.back,
                      &s.lost,  &s.follower, &s.readerCrashes, &s.repairs, &s.reformats};
}

// Shared by all processes (an anonymous shared mapping made before the forks).
struct Shared {
    std::atomic<int> stop;
    std::atomic<std::uint32_t> point;  // the current round's crash point (index into kPoints)
    std::atomic<std::uint32_t> occurrence;
    std::atomic<int> ready;  // the writer attached and checked
    std::atomic<std::uint64_t> nextGeneration;
    // Per table and id: the generation of the committed record (0: none).
    std::atomic<std::uint64_t> committed[kTables][kIds];
    // The operation under way: its id (kNone: none) and the generation it writes (0: a remove).
    std::atomic<std::uint32_t> inflightId[kTables];
    std::atomic<std::uint64_t> inflightGeneration[kTables];
    std::atomic<std::uint32_t> fenix[kTables];
    Stats stats[kPointCount];
    Torture::CallCounts calls;  // reader counts by call
};
Shared* shared = nullptr;
Stats& stats() { return shared->stats[shared->point.load()]; }

Hoard::MapDescriptor descriptor() {
    Hoard::MapDescriptor d = TestSupport::recordsDescriptor();
    d.slotLimit = 4096;
    return d;
}

// ---- The writer ---------------------------------------------------------------------------------

// Every id of table t holds what was committed, or what the interrupted operation wrote.
template <class Records, class Writer>
void checkCommitted(Writer& w, std::uint32_t t) {
    const std::uint32_t inflight = shared->inflightId[t].load();
    for (std::uint32_t id = 0; id < kIds; ++id) {
        std::uint64_t g = 0;
        try {
            g = TestSupport::generationOf<Records>(w, id);
        } catch (const std::exception&) {
            ++stats().torn;
            continue;
        }
        const std::uint64_t want = shared->committed[t][id].load();
        if (g == want) continue;
        if (id == inflight && g == shared->inflightGeneration[t].load()) {
            shared->committed[t][id] = g;  // the interrupted operation took effect
            continue;
        }
        ++stats().lost;
        shared->committed[t][id] = g;  // count each loss once
    }
    shared->inflightId[t] = kNone;
}

template <class Records, class Writer>
void attached(Writer& w, std::uint32_t t) {
    stats().repairs += w.writerCounters().repairs;
    const std::uint32_t previous = shared->fenix[t].exchange(w.fenixId());
    if (previous != 0 && previous != w.fenixId()) ++stats().reformats;
    checkCommitted<Records>(w, t);
}

template <class Records, class Writer>
void operate(Writer& w, std::uint32_t t, std::mt19937_64& rng, bool filling) {
    const std::uint32_t id = static_cast<std::uint32_t>(rng() % kIds);
    const bool present = shared->committed[t][id].load() != 0;
    // Filling: absent ids are inserted, present ones overwritten or (a fifth) removed.
    // Emptying: present ids are removed or (a third) overwritten, absent ones left alone.
    if (!filling && !present) return;
    const bool remove = present && (rng() % 100) < (filling ? 20u : 67u);
    const std::uint64_t g = remove ? 0 : ++shared->nextGeneration;
    shared->inflightGeneration[t] = g;
    shared->inflightId[t] = id;
    if (remove) {
        typename Records::Entry gone;
        w.remove(Records::key(id), gone);
    } else {
        w.write(Records::make(id, g), true);
    }
    shared->committed[t][id] = g;
    shared->inflightId[t] = kNone;
    ++stats().operations;
}

int writerMain(std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    [[maybe_unused]] const std::uint32_t point = shared->point.load();  // read by the hooks only
#ifdef FLOWTABLE_TEST_HOOKS
    if (inRecovery(point)) Hoard::CrashPoint::arm(kPoints[point], shared->occurrence.load());
#endif
    auto flows = TestSupport::newWriter<FlowRecords>(kTableNames[0], 0, descriptor());
    auto counters = TestSupport::newWriter<CounterRecords>(kTableNames[1], 0, descriptor());
    attached<FlowRecords>(*flows, 0);
    attached<CounterRecords>(*counters, 1);
    shared->ready = 1;
#ifdef FLOWTABLE_TEST_HOOKS
    if (point != kRandom && !inRecovery(point)) {
        Hoard::CrashPoint::arm(kPoints[point], shared->occurrence.load());
    }
#endif
    // Phases: fill to most ids, then empty to a few, so both tables grow and shrink.
    bool filling = (rng() & 1) != 0;
    for (std::uint64_t n = 0; !shared->stop.load(); ++n) {
        if (n % 64 == 0) {
            std::uint32_t members = flows->members() + counters->members();
            if (members > kTables * kIds * 8 / 10) filling = false;
            if (members < kTables * kIds / 20) filling = true;
        }
        if (rng() & 1) {
            operate<FlowRecords>(*flows, 0, rng, filling);
        } else {
            operate<CounterRecords>(*counters, 1, rng, filling);
        }
    }
    return 0;
}

// ---- Readers ------------------------------------------------------------------------------------

// Lookups, batches of 16, an iteration and a scan: every record whole; generations that lookups
// find never go back. A torn record gets a line on stderr naming the call and the key.
template <class Records, class Reader>
void readSome(Reader& r, std::mt19937_64& rng, std::vector<std::uint64_t>& seen) {
    Torture::CallCounts counts;
    Torture::Reads<Records> reads(r, counts, kIds, stderr);
    auto judge = [&](Torture::Call call, std::uint32_t id, std::uint64_t g) {
        if (call > Torture::batchCall || g == 0) return std::string();
        if (g < seen[id]) ++stats().back;
        seen[id] = g;
        return std::string();
    };
    auto pick = [&] { return static_cast<std::uint32_t>(rng() % kIds); };
    for (int i = 0; i < 256; ++i) reads.lookup(pick(), judge);
    std::vector<std::uint32_t> ids(16);
    for (int i = 0; i < 16; ++i) {
        for (auto& id : ids) id = pick();
        reads.batch(ids, judge);
    }
    reads.iterate(judge);
    reads.scan(judge);
    if (counts.total(counts.torn) + counts.unsaid > 0) {
        std::fprintf(stderr, "torture: that was in a round armed at %s\n",
                     kPoints[shared->point.load()]);
    }
    stats().reads += counts.total(counts.reads);
    stats().torn += counts.total(counts.torn);
    shared->calls.add(counts);
}

int readerMain(std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::unique_ptr<FlowRecords::Reader> flows;
    std::unique_ptr<CounterRecords::Reader> counters;
    std::vector<std::uint64_t> seen[kTables] = {std::vector<std::uint64_t>(kIds),
                                                std::vector<std::uint64_t>(kIds)};
    while (!shared->stop.load()) {
        try {
            if (!flows) flows = TestSupport::newReader<FlowRecords>(kTableNames[0]);
            if (!counters) counters = TestSupport::newReader<CounterRecords>(kTableNames[1]);
            readSome<FlowRecords>(*flows, rng, seen[0]);
            readSome<CounterRecords>(*counters, rng, seen[1]);
        } catch (const std::exception&) {
            // A table between writers (not yet created): try again.
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    return 0;
}

// ---- The follower -------------------------------------------------------------------------------

// A copy of the counter table by slot, kept up by its notification queue.
class Follower {
  public:
    Follower()
        : reader_(TestSupport::newReader<CounterRecords>(kTableNames[1])),
          queue_(TestSupport::recordsDebug(),
                 Mem::RootPath(TestSupport::recordsDebug(), kTableNames[1])) {
        resync();
    }
    // Follows the queue to its end; then the number of ids whose record differs from the table.
    std::uint32_t differences() {
        using Status = Herald::HeraldReader<std::uint32_t>::PollStatus;
        for (int round = 0; round < 1000; ++round) {
            const Status st = queue_.poll([&](std::uint32_t slot, auto, bool) { read(slot); });
            if (st == Status::caughtUp) break;
            if (st != Status::more) resync();
        }
        std::vector<std::uint64_t> copy(kIds);
        for (const auto& [slot, e] : bySlot_) {
            std::uint32_t id = 0;
            std::uint64_t generation = 0;
            if (CounterRecords::check(e, id, generation) && id < kIds) copy[id] = generation;
        }
        std::uint32_t differ = 0;
        for (std::uint32_t id = 0; id < kIds; ++id) {
            if (copy[id] != TestSupport::generationOf<CounterRecords>(*reader_, id)) ++differ;
        }
        return differ;
    }

  private:
    void resync() {
        queue_.detach();
        queue_.attach();
        bySlot_.clear();
        for (std::uint32_t s = 0; s < reader_->sharedSlots(); ++s) read(s);
    }
    void read(std::uint32_t slot) {
        CounterRecords::Entry e;
        if (reader_->safeValue(slot, e, nullptr)) {
            bySlot_[slot] = e;
        } else {
            bySlot_.erase(slot);
        }
    }

    std::unique_ptr<CounterRecords::Reader> reader_;
    Herald::HeraldReader<std::uint32_t> queue_;
    std::map<std::uint32_t, CounterRecords::Entry> bySlot_;
};

// ---- The supervisor -----------------------------------------------------------------------------

template <class F>
pid_t spawn(F&& body) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        int rc = 1;
        try {
            rc = body();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "torture: child %d: %s\n", ::getpid(), e.what());
        }
        ::_exit(rc);
    }
    return pid;
}

// Waits up to `ms` for `pid`; true with its status when it ended.
bool waitFor(pid_t pid, int ms, int& status) {
    for (int waited = 0; waited <= ms; ++waited) {
        if (::waitpid(pid, &status, WNOHANG) == pid) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

int run(double seconds, std::uint64_t seed, int readers) {
    std::printf("torture: seed %llu, %d readers, %.0f s\n", static_cast<unsigned long long>(seed),
                readers, seconds);
    std::fflush(stdout);
    void* page =
        ::mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (page == MAP_FAILED) return 1;
    shared = new (page) Shared();
    for (auto& id : shared->inflightId) id = kNone;
    std::mt19937_64 rng(seed);

    std::vector<pid_t> readerPids(readers);
    auto startReader = [&](int i) { readerPids[i] = spawn([&] { return readerMain(rng()); }); };
    for (int i = 0; i < readers; ++i) startReader(i);
    std::unique_ptr<Follower> follower;

    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (std::uint32_t round = 0; std::chrono::steady_clock::now() < end; ++round) {
        std::uint32_t p = kRandom;
#ifdef FLOWTABLE_TEST_HOOKS
        // A third of the rounds at a grow, shrink or bucket point.
        const std::uint32_t dice = static_cast<std::uint32_t>(rng() % 3);
        do {
            p = static_cast<std::uint32_t>(rng() % kPointCount);
        } while (dice == 0 ? !structural(p) : structural(p));
#endif
        shared->point = p;
        // Grows, shrinks and recovery steps are rarer than record stores: early occurrences.
        const std::uint32_t spread = structural(p) || inRecovery(p) ? 2 : 200;
        shared->occurrence = 1 + static_cast<std::uint32_t>(rng() % spread);
        shared->ready = 0;
        const pid_t writer = spawn([&] { return writerMain(rng()); });
        int status = 0;
        const int budget = p == kRandom ? 5 + static_cast<int>(rng() % 200) : 2000;
        const bool timedOut = !waitFor(writer, budget, status);
        if (timedOut) {
            // The point was not reached in time (or a random-time round): killed now.
            ::kill(writer, SIGKILL);
            ::waitpid(writer, &status, 0);
        }
        if (WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) {
            ++stats().kills;
            if (!timedOut && p != kRandom) ++stats().atPoint;  // it killed itself there
        }
        if (!follower && shared->ready.load()) follower = std::make_unique<Follower>();
        for (int i = 0; i < readers; ++i) {
            if (::waitpid(readerPids[i], &status, WNOHANG) == readerPids[i]) {
                ++stats().readerCrashes;
                startReader(i);
            }
        }
    }
    // A last writer recovers what the last kill left and checks it; the follower then catches up.
    shared->point = kRandom;
    shared->stop = 1;
    const pid_t last = spawn([&] { return writerMain(rng()); });
    int status = 0;
    ::waitpid(last, &status, 0);
    if (follower) stats().follower += follower->differences();
    for (pid_t r : readerPids) {
        ::waitpid(r, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) ++stats().readerCrashes;
    }

    std::printf("%-20s %6s %6s %10s %11s %5s %5s %5s %8s %7s %7s %9s\n", "crash point", "kills",
                "there", "ops", "reads", "torn", "back", "lost", "follower", "rdcrash", "repairs",
                "reformats");
    auto row = [](const char* name, const Stats& s) {
        static constexpr int widths[] = {6, 6, 10, 11, 5, 5, 5, 8, 7, 7, 9};
        std::printf("%-20s", name);
        const auto v = fields(s);
        for (std::size_t i = 0; i < v.size(); ++i) {
            std::printf(" %*llu", widths[i], static_cast<unsigned long long>(v[i]->load()));
        }
        std::printf("\n");
    };
    Stats total{};
    for (std::uint32_t p = 0; p < kPointCount; ++p) {
        const Stats& s = shared->stats[p];
        if (s.kills == 0 && s.operations == 0 && s.reads == 0) continue;
        row(kPoints[p], s);
        const auto from = fields(s);
        const auto to = fields(total);
        for (std::size_t i = 0; i < to.size(); ++i) *to[i] += from[i]->load();
    }
    row("total", total);
    const Torture::CallCounts& c = shared->calls;
    std::printf("%-20s %11s %5s\n", "reads by call", "records", "torn");
    for (unsigned k = 0; k < Torture::callCount; ++k) {
        std::printf("%-20s %11llu %5llu\n", Torture::callNames[k],
                    static_cast<unsigned long long>(c.reads[k].load()),
                    static_cast<unsigned long long>(c.torn[k].load()));
    }
    std::printf("scans that may repeat %llu, records repeated %llu, repeats unsaid %llu\n",
                static_cast<unsigned long long>(c.mayRepeat.load()),
                static_cast<unsigned long long>(c.repeats.load()),
                static_cast<unsigned long long>(c.unsaid.load()));
    const Stats& s = total;
    const bool bad =
        s.torn || s.back || s.lost || s.follower || s.readerCrashes || s.reformats || c.unsaid;
    return bad ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 60;
    std::uint64_t seed = std::random_device{}();
    int readers = 2;
    const char* const usage = "usage: torture [--seconds N] [--seed S] [--readers K]\n";
    for (int i = 1; i < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            std::fputs(usage, stdout);
            return 0;
        }
        char* end = nullptr;
        const char* value = i + 1 < argc ? argv[i + 1] : "";
        if (a == "--seconds") {
            seconds = std::strtod(value, &end);
        } else if (a == "--seed") {
            seed = std::strtoull(value, &end, 10);
        } else if (a == "--readers") {
            readers = static_cast<int>(std::strtol(value, &end, 10));
        }
        if (end == nullptr || end == value || *end != '\0' || seconds <= 0 || readers < 1) {
            std::fprintf(stderr, "torture: bad argument '%s %s'\n%s", a.c_str(), value, usage);
            return 2;
        }
    }
    // A root of its own, removed at the end.
    const std::string base = std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
    const std::string root = base + "/torture." + std::to_string(::getpid());
    std::filesystem::create_directories(root);
    ::setenv("HOARD_SHM_ROOT", root.c_str(), 1);
    const int rc = run(seconds, seed, readers);
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
    return rc;
}
