// This engine against the tables a user would pick instead, in one run on one workload: a flow
// table (and the engine's counter table) opened through the facade as a real shared table,
// LMDB with a transaction per operation and per 1,000, Boost.Interprocess under its
// sharable mutex, and std::unordered_map in one process. For each size and each of several
// runs it times the writer's inserts (fresh files, then pages already touched), in-place updates
// and removes, a reader process's lookups (hits and misses) with the writer idle and with the
// writer updating as fast as it can, full iteration, and the memory each record takes. Beside
// them, where a system has them: batched lookups (the engine's lookupBatch in groups of 16) with
// the writer idle and busy, and their ratio to the same run's single lookups; the engine's
// slot-order scan beside full iteration; updates through writeBatch beside single updates; and
// the reader's lookups while the writer updates through writeBatch instead of record by record.
// Operations a system has no natural equivalent for are "n/a". It prints one table of medians
// with min and max and each system's ratio to this engine's flow table, checks the targets, and
// writes the table as CSV and Markdown (scripts/plot-compare.sh draws the CSV).
//
//   TableCompare [--sizes 10000,1000000] [--runs 3] [--out bench/results] [--quick]
//                [--only NAME]   (only the systems whose name contains NAME)

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/compare/BoostPeer.h"
#include "bench/compare/EnginePeer.h"
#include "bench/compare/LmdbPeer.h"
#include "bench/compare/MemoryFloor.h"
#include "bench/compare/StdPeer.h"
#include "bench/compare/Workload.h"

namespace Compare {
namespace {

constexpr std::size_t chunk = 1000;            // operations between clock and pipe checks
constexpr std::size_t minReadOps = 1'000'000;  // lookups (or records iterated) per measurement
constexpr double maxSeconds = 2.0;             // ...unless this much time passes first

const char* const engineFlows = "flowtable (flows)";
const char* const engineCounters = "flowtable (counters)";

// The workloads, in the order the table lists them.
enum Workload : int {
    insertFresh,
    insertTouched,
    updateInPlace,
    updateBatched,
    removeAll,
    hitIdle,
    batchHitIdle,
    batchRatioIdle,
    missIdle,
    iteration,
    scanOrder,
    hitBusy,
    batchHitBusy,
    batchRatioBusy,
    missBusy,
    writerWhileRead,
    hitBusyBatchWriter,
    batchHitBusyBatchWriter,
    batchWriterWhileRead,
    bytesPerRecord,
    workloadCount
};

const char* workloadText(int w) {
    static const char* const texts[] = {"insert, fresh files",
                                        "insert, touched pages",
                                        "update in place",
                                        "update, writeBatch",
                                        "remove",
                                        "lookup hit, idle writer",
                                        "batched hit, idle writer",
                                        "batched/single hit, idle",
                                        "lookup miss, idle writer",
                                        "full iteration",
                                        "slot-order scan",
                                        "lookup hit, busy writer",
                                        "batched hit, busy writer",
                                        "batched/single hit, busy",
                                        "lookup miss, busy writer",
                                        "updates while read",
                                        "lookup hit, writeBatch writer",
                                        "batched hit, writeBatch writer",
                                        "writeBatch while read",
                                        "bytes per record"};
    static_assert(sizeof texts / sizeof texts[0] == workloadCount, "one text per workload");
    return texts[w];
}
// Rates (operations or records per second), ratios within one run, and sizes.
bool isRatio(int w) { return w == batchRatioIdle || w == batchRatioBusy; }
bool isRate(int w) { return w != bytesPerRecord && !isRatio(w); }

// Samples per (size, workload, system), in the order systems first appear.
class Results {
  public:
    void add(std::size_t n, int w, const std::string& system, double value) {
        if (std::find(systems_.begin(), systems_.end(), system) == systems_.end()) {
            systems_.push_back(system);
        }
        if (std::find(sizes_.begin(), sizes_.end(), n) == sizes_.end()) sizes_.push_back(n);
        samples_[{n, w, system}].push_back(value);
    }
    Stats stats(std::size_t n, int w, const std::string& system) const {
        auto it = samples_.find({n, w, system});
        return it == samples_.end() ? Stats{} : Stats::of(it->second);
    }
    // A system's median against the engine's flow table: a rate ratio above 1 is faster than
    // the engine, a size ratio above 1 is bigger.
    double ratio(std::size_t n, int w, const std::string& system) const {
        const Stats mine = stats(n, w, system), engine = stats(n, w, engineFlows);
        if (!mine.valid || !engine.valid || engine.median == 0) return NAN;
        return mine.median / engine.median;
    }
    const std::vector<std::string>& systems() const { return systems_; }
    const std::vector<std::size_t>& sizes() const { return sizes_; }

  private:
    std::vector<std::string> systems_;
    std::vector<std::size_t> sizes_;
    std::map<std::tuple<std::size_t, int, std::string>, std::vector<double>> samples_;
};

// ---- The reader process ------------------------------------------------------------------------

struct ReaderReport {
    double hitOps = 0, hitSeconds = 0, hitFound = 0;
    double batchOps = 0, batchSeconds = 0, batchFound = 0;  // 0 ops: no batched lookup
    double missOps = 0, missSeconds = 0, missFound = 0;
    double iterRecords = 0, iterSeconds = 0, iterPasses = 0, iterBad = 0;
    double scanRecords = 0, scanSeconds = 0, scanBad = 0;  // 0 records: no scan
    char error[256] = {};
};

// Looks up keys in chunks, cycling through them, until minReadOps lookups or maxSeconds; one
// lookup at a time, or (`batched`) through the system's batched lookup.
template <class Rec>
void timeLookups(TableReader<Rec>& reader, const std::vector<typename Rec::Key>& keys,
                 double& ops, double& seconds, double& found, bool batched = false) {
    const auto start = Clock::now();
    std::size_t done = 0, at = 0;
    std::uint64_t hits = 0;
    do {
        const std::size_t count = std::min(chunk, keys.size() - at);
        hits += batched ? reader.lookupBatched(keys.data() + at, count)
                        : reader.lookup(keys.data() + at, count);
        done += count;
        at = at + count == keys.size() ? 0 : at + count;
    } while (done < minReadOps && secondsSince(start) < maxSeconds);
    seconds = secondsSince(start);
    ops = static_cast<double>(done);
    found = static_cast<double>(hits);
}

// A reader's share of one measurement: hits, misses and (with `iterate`) full passes.
template <class Rec>
ReaderReport readTable(TableReader<Rec>& reader, const Keys<Rec>& keys, bool iterate) {
    ReaderReport r;
    // One untimed pass first: a long-lived reader has its page tables filled, and the first
    // touch of each page of a mapping (a minor fault) is not what a lookup costs.
    reader.lookup(keys.present.data(), keys.present.size());
    timeLookups(reader, keys.order, r.hitOps, r.hitSeconds, r.hitFound);
    if (reader.batchedLookups()) {
        timeLookups(reader, keys.order, r.batchOps, r.batchSeconds, r.batchFound, true);
    }
    timeLookups(reader, keys.absent, r.missOps, r.missSeconds, r.missFound);
    if (iterate) {
        const auto start = Clock::now();
        do {
            const std::uint64_t visited = reader.iterate();
            r.iterRecords += static_cast<double>(visited);
            r.iterBad += visited != keys.present.size();
            ++r.iterPasses;
        } while (r.iterRecords < minReadOps && secondsSince(start) < maxSeconds);
        r.iterSeconds = secondsSince(start);
    }
    if (iterate && reader.scans()) {
        const auto start = Clock::now();
        do {
            const std::uint64_t visited = reader.scan();
            r.scanRecords += static_cast<double>(visited);
            r.scanBad += visited != keys.present.size();
        } while (r.scanRecords < minReadOps && secondsSince(start) < maxSeconds);
        r.scanSeconds = secondsSince(start);
    }
    return r;
}

void writeBytes(int fd, const void* data, std::size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t w = ::write(fd, p, size);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) throw std::runtime_error("pipe write failed");
        p += w;
        size -= static_cast<std::size_t>(w);
    }
}
bool readBytes(int fd, void* data, std::size_t size) {
    char* p = static_cast<char*>(data);
    while (size > 0) {
        const ssize_t r = ::read(fd, p, size);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        p += r;
        size -= static_cast<std::size_t>(r);
    }
    return true;
}

// Runs the reader in a child process: it opens the table, says it is ready, waits for the go,
// reads, and reports. With `busy`, this (the writer's) process updates random records in
// chunks (through the batched write call with `batchedWriter`) until the report arrives and
// returns its own update rate in `writerRate`.
template <class Rec>
ReaderReport readInChild(Peer<Rec>& peer, const Keys<Rec>& keys, bool busy, double& writerRate,
                         bool batchedWriter = false) {
    int ready[2], go[2], report[2];
    if (::pipe(ready) != 0 || ::pipe(go) != 0 || ::pipe(report) != 0) {
        throw std::runtime_error("pipe failed");
    }
    std::cout.flush();
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        ::close(ready[0]);
        ::close(go[1]);
        ::close(report[0]);
        ReaderReport r;
        try {
            std::unique_ptr<TableReader<Rec>> reader = peer.openReader();
            writeBytes(ready[1], "r", 1);
            char c;
            if (!readBytes(go[0], &c, 1)) ::_exit(2);
            r = readTable(*reader, keys, !busy);
        } catch (const std::exception& e) {
            std::snprintf(r.error, sizeof r.error, "%s", e.what());
            writeBytes(ready[1], "r", 1);
        }
        writeBytes(report[1], &r, sizeof r);
        // Skip every destructor: the writer's objects copied into this process are not ours.
        ::_exit(0);
    }
    ::close(ready[1]);
    ::close(go[0]);
    ::close(report[1]);
    // A reader that failed to open has sent its report and may be gone before the go.
    char c;
    bool ok = readBytes(ready[0], &c, 1) && ::write(go[1], "g", 1) == 1;
    if (ok && busy) {
        const auto start = Clock::now();
        std::size_t done = 0, at = 0;
        std::uint64_t generation = 1000;
        for (;;) {
            const std::size_t count = std::min(chunk, keys.order.size() - at);
            if (batchedWriter) {
                peer.updateBatched(keys.order.data() + at, count, generation);
            } else {
                peer.update(keys.order.data() + at, count, generation);
            }
            done += count;
            at += count;
            if (at == keys.order.size()) at = 0, ++generation;
            pollfd p{report[0], POLLIN, 0};
            if (::poll(&p, 1, 0) != 0) break;
        }
        writerRate = static_cast<double>(done) / secondsSince(start);
    }
    ReaderReport r;
    const bool reported = readBytes(report[0], &r, sizeof r);
    ::close(ready[0]);
    ::close(go[1]);
    ::close(report[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (reported && r.error[0] != '\0') {
        throw std::runtime_error(peer.name() + ": reader: " + r.error);
    }
    if (!ok || !reported || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw std::runtime_error(peer.name() + ": the reader process failed");
    }
    return r;
}

// ---- One run of one system ---------------------------------------------------------------------

template <class F>
double rateOf(std::size_t ops, F&& f) {
    const auto start = Clock::now();
    f();
    return static_cast<double>(ops) / secondsSince(start);
}

template <class Rec>
void checkReads(const Peer<Rec>& peer, const ReaderReport& r, bool iterated) {
    std::string wrong;
    if (r.hitFound != r.hitOps) wrong += " hits found " + std::to_string(r.hitFound);
    if (r.batchFound != r.batchOps) wrong += " batched hits found " + std::to_string(r.batchFound);
    if (iterated && r.scanBad != 0) wrong += " scans with a wrong count";
    if (r.missFound != 0) wrong += " misses found " + std::to_string(r.missFound);
    if (iterated && r.iterBad != 0) wrong += " iterations with a wrong count";
    if (!wrong.empty()) throw std::runtime_error(peer.name() + " read wrong results:" + wrong);
}

template <class Rec>
void measure(Peer<Rec>& peer, const Keys<Rec>& keys, Results& results) {
    const std::size_t n = keys.present.size();
    const std::string system = peer.name();
    const auto* present = keys.present.data();
    const auto* order = keys.order.data();
    auto add = [&](int w, double v) { results.add(n, w, system, v); };

    peer.create(n);
    add(insertFresh, rateOf(n, [&] { peer.insert(present, n, 1); }));
    add(removeAll, rateOf(n, [&] { peer.remove(order, n); }));
    add(insertTouched, rateOf(n, [&] { peer.insert(present, n, 2); }));
    // In-place updates: at least minReadOps of them (several passes over a small table).
    {
        std::size_t done = 0;
        std::uint64_t generation = 3;
        const auto start = Clock::now();
        while (done < std::max(n, minReadOps) && secondsSince(start) < maxSeconds) {
            peer.update(order, n, generation++);
            done += n;
        }
        add(updateInPlace, static_cast<double>(done) / secondsSince(start));
    }
    // The same updates through the batched write call, in the bench's 1,000-key chunks.
    if (peer.batchedUpdates()) {
        std::size_t done = 0;
        std::uint64_t generation = 1u << 20;
        const auto start = Clock::now();
        while (done < std::max(n, minReadOps) && secondsSince(start) < maxSeconds) {
            for (std::size_t at = 0; at < n; at += chunk) {
                peer.updateBatched(order + at, std::min(chunk, n - at), generation);
            }
            ++generation;
            done += n;
        }
        add(updateBatched, static_cast<double>(done) / secondsSince(start));
    }
    add(bytesPerRecord, static_cast<double>(peer.bytesInUse()) / static_cast<double>(n));

    ReaderReport idle;
    double writerRate = 0;
    if (peer.shared()) {
        idle = readInChild(peer, keys, false, writerRate);
    } else {
        idle = readTable(*peer.openReader(), keys, true);
    }
    checkReads(peer, idle, true);
    // A batched rate with the ratio to the single lookups of the same reader in the same run.
    auto addBatched = [&](const ReaderReport& r, int rate, int ratio) {
        if (r.batchOps == 0) return;
        add(rate, r.batchOps / r.batchSeconds);
        add(ratio, (r.batchOps / r.batchSeconds) / (r.hitOps / r.hitSeconds));
    };
    add(hitIdle, idle.hitOps / idle.hitSeconds);
    addBatched(idle, batchHitIdle, batchRatioIdle);
    add(missIdle, idle.missOps / idle.missSeconds);
    add(iteration, idle.iterRecords / idle.iterSeconds);
    if (idle.scanRecords > 0) add(scanOrder, idle.scanRecords / idle.scanSeconds);
    if (peer.shared()) {
        const ReaderReport busy = readInChild(peer, keys, true, writerRate);
        checkReads(peer, busy, false);
        add(hitBusy, busy.hitOps / busy.hitSeconds);
        addBatched(busy, batchHitBusy, batchRatioBusy);
        add(missBusy, busy.missOps / busy.missSeconds);
        add(writerWhileRead, writerRate);
    }
    // The reader again while the writer updates through writeBatch: one runtimeFlags store per
    // 1,000 records instead of one per record, in the cache line every reader checks.
    if (peer.shared() && peer.batchedUpdates()) {
        const ReaderReport busy = readInChild(peer, keys, true, writerRate, true);
        checkReads(peer, busy, false);
        add(hitBusyBatchWriter, busy.hitOps / busy.hitSeconds);
        if (busy.batchOps > 0) add(batchHitBusyBatchWriter, busy.batchOps / busy.batchSeconds);
        add(batchWriterWhileRead, writerRate);
    }
    peer.destroy();
}

// ---- Report ------------------------------------------------------------------------------------

std::string fixed(double v, int digits) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", digits, v);
    return buf;
}
// Rates in millions per second, ratios as they are, sizes in bytes.
std::string valueText(int w, double v) {
    return isRate(w) ? fixed(v / 1e6, 3) : isRatio(w) ? fixed(v, 2) : fixed(v, 1);
}
std::string unitText(int w) { return isRate(w) ? "M ops/s" : isRatio(w) ? "x" : "bytes"; }

std::string cellText(const Results& res, std::size_t n, int w, const std::string& system) {
    const Stats s = res.stats(n, w, system);
    if (!s.valid) return "n/a";
    std::string text = valueText(w, s.median) + " [" + valueText(w, s.min) + "-" +
                       valueText(w, s.max) + "]";
    if (system != engineFlows && system != engineCounters && !isRatio(w)) {
        const double r = res.ratio(n, w, system);
        if (!std::isnan(r)) text += " x" + fixed(r, 2);
    }
    return text;
}

std::string sizeText(std::size_t n) {
    std::string digits = std::to_string(n), out;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return out;
}

struct Target {
    std::string text;
    bool met;
    std::string measured;
};

// The targets at the largest size: ratios within this run.
std::vector<Target> targets(const Results& res, std::size_t n) {
    std::vector<Target> out;
    // NaN for a system this run did not measure, so that no target is judged against it.
    auto median = [&](int w, const std::string& s) {
        const Stats st = res.stats(n, w, s);
        return st.valid ? st.median : NAN;
    };
    auto check = [&](const std::string& text, double value, double bound, bool atLeast,
                     const std::string& unit) {
        if (!std::isfinite(value) || value == 0) return;
        out.push_back({text, atLeast ? value >= bound : value <= bound, fixed(value, 2) + unit});
    };
    const std::string lmdbOp = "LMDB (txn/op)", lmdbBatch = "LMDB (txn/1000)",
                      boost = "Boost.Interprocess", stdMap = "std::unordered_map";
    const double idle = median(hitIdle, engineFlows), busy = median(hitBusy, engineFlows);
    check("lookups, idle writer >= 3x LMDB (txn/1000)", idle / median(hitIdle, lmdbBatch), 3,
          true, "x");
    check("lookups, idle writer >= 1.0x std::unordered_map in one process",
          idle / median(hitIdle, stdMap), 1.0, true, "x");
    check("lookups, busy writer at most 20% below idle", busy / idle, 0.8, true, "x idle");
    check("lookups, busy writer >= 3x LMDB (txn/1000) under the same load",
          busy / median(hitBusy, lmdbBatch), 3, true, "x");
    check("lookups, busy writer >= 50x Boost.Interprocess under its lock",
          busy / median(hitBusy, boost), 50, true, "x");
    const double upd = median(updateInPlace, engineFlows);
    check("in-place updates >= 10x LMDB (txn/op)", upd / median(updateInPlace, lmdbOp), 10, true,
          "x");
    check("in-place updates >= 1.5x std::unordered_map", upd / median(updateInPlace, stdMap),
          1.5, true, "x");
    check("full iteration >= 1x LMDB cursor walk",
          median(iteration, engineFlows) / median(iteration, lmdbBatch), 1, true, "x");
    // The batched calls.
    const double batchIdle = median(batchHitIdle, engineFlows),
                 batchBusy = median(batchHitBusy, engineFlows);
    check("batched lookups, idle writer >= 2.2x single lookups (same runs)",
          median(batchRatioIdle, engineFlows), 2.2, true, "x");
    check("batched lookups, busy writer >= 2.2x single lookups (same runs)",
          median(batchRatioBusy, engineFlows), 2.2, true, "x");
    check("batched lookups, idle writer >= 2.0x std::unordered_map single lookups",
          batchIdle / median(hitIdle, stdMap), 2.0, true, "x");
    check("batched lookups, busy writer >= 2.0x std::unordered_map single lookups",
          batchBusy / median(hitIdle, stdMap), 2.0, true, "x");
    check("batched lookups, idle writer >= 4x LMDB (txn/1000)",
          batchIdle / median(hitIdle, lmdbBatch), 4, true, "x");
    check("batched lookups, busy writer >= 4x LMDB (txn/1000) under the same load",
          batchBusy / median(hitBusy, lmdbBatch), 4, true, "x");
    check("slot-order scan >= 3x LMDB cursor walk",
          median(scanOrder, engineFlows) / median(iteration, lmdbBatch), 3, true, "x");
    const double updBatch = median(updateBatched, engineFlows);
    check("writeBatch updates >= 1.5x std::unordered_map find-and-assign",
          updBatch / median(updateInPlace, stdMap), 1.5, true, "x");
    check("writeBatch updates >= 6x LMDB (txn/op)", updBatch / median(updateInPlace, lmdbOp), 6,
          true, "x");
    check("bytes per 136-byte record <= 1.25 x 136", median(bytesPerRecord, engineFlows),
          1.25 * 136, false, " bytes");
    return out;
}

void report(const Results& res, double floorNs, const std::string& outDir) {
    const auto& systems = res.systems();
    std::ostringstream text, md, csv;

    // The console table.
    const std::size_t labelWidth = 32;
    std::size_t width = 26;
    text << "\nMedians [min-max] of each run, rates in M ops/s, xN = ratio to " << engineFlows
         << "\n";
    for (std::size_t n : res.sizes()) {
        text << "\nN = " << sizeText(n) << "\n";
        text << std::string(labelWidth, ' ');
        for (const auto& s : systems) text << " " << s << std::string(width - s.size(), ' ');
        text << "\n";
        for (int w = 0; w < workloadCount; ++w) {
            std::string label = workloadText(w);
            text << label << std::string(labelWidth - label.size(), ' ');
            for (const auto& s : systems) {
                const std::string cell = cellText(res, n, w, s);
                text << " " << cell << std::string(cell.size() < width ? width - cell.size() : 1, ' ');
            }
            text << "\n";
        }
    }

    // Markdown: one table per size.
    md << "# Table comparison\n\nMedians of each run with [min-max]; rates in millions of "
          "operations (or records) per second, memory in bytes per record; `xN` is the ratio "
          "to "
       << engineFlows << " in the same run (for bytes, above 1 is bigger). The counter table "
                         "holds 8-byte keys and 40-byte values; every other column holds the "
                         "same 24-byte keys and 136-byte values.\n";
    for (std::size_t n : res.sizes()) {
        md << "\n## N = " << sizeText(n) << "\n\n| workload |";
        for (const auto& s : systems) md << " " << s << " |";
        md << "\n|---|";
        for (std::size_t i = 0; i < systems.size(); ++i) md << "---|";
        md << "\n";
        for (int w = 0; w < workloadCount; ++w) {
            md << "| " << workloadText(w) << " |";
            for (const auto& s : systems) md << " " << cellText(res, n, w, s) << " |";
            md << "\n";
        }
    }

    // CSV: one row per size, workload and system; the texts are quoted (they hold commas).
    csv << "records,workload,system,unit,median,min,max,ratio_to_flowtable_flows\n";
    for (std::size_t n : res.sizes()) {
        for (int w = 0; w < workloadCount; ++w) {
            for (const auto& s : systems) {
                const Stats st = res.stats(n, w, s);
                if (!st.valid) continue;
                const double r = res.ratio(n, w, s);
                csv << n << ",\"" << workloadText(w) << "\",\"" << s << "\"," << unitText(w) << ","
                    << valueText(w, st.median) << "," << valueText(w, st.min) << ","
                    << valueText(w, st.max) << "," << (std::isnan(r) ? "" : fixed(r, 3))
                    << "\n";
            }
        }
    }

    std::ostringstream tail;
    tail << "\nMemory floor: " << fixed(floorNs, 1)
         << " ns per dependent random access over 256 MB: at most " << fixed(1e3 / floorNs, 2)
         << " M lookups/s for one reader at one miss per lookup, " << fixed(0.5e3 / floorNs, 2)
         << " M at two (bucket, then record).\n";
    if (!res.sizes().empty()) {
        const std::size_t n = res.sizes().back();
        tail << "\nTargets at N = " << sizeText(n) << " (ratios in this run):\n";
        for (const Target& t : targets(res, n)) {
            tail << "  " << (t.met ? "met   " : "MISSED") << "  " << t.text << ": " << t.measured
                 << "\n";
        }
    }
    text << tail.str();
    md << "\n```" << tail.str() << "```\n";

    std::cout << text.str();
    std::filesystem::create_directories(outDir);
    std::ofstream(outDir + "/TableCompare.md") << md.str();
    std::ofstream(outDir + "/TableCompare.csv") << csv.str();
}

std::vector<std::size_t> parseSizes(const std::string& text) {
    std::vector<std::size_t> sizes;
    std::stringstream ss(text);
    for (std::string item; std::getline(ss, item, ',');) {
        const unsigned long long v = std::stoull(item);
        if (v == 0 || v > (1u << 20)) throw std::invalid_argument("size out of range: " + item);
        sizes.push_back(v);
    }
    return sizes;
}

int run(int argc, char** argv) {
    std::vector<std::size_t> sizes{10'000, 1'000'000};
    int runs = 3;
    std::string outDir = "bench/results";
    std::string only;  // measure only the systems whose name contains this
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) throw std::invalid_argument(arg + " needs a value");
            return argv[++i];
        };
        if (arg == "--sizes") {
            sizes = parseSizes(value());
        } else if (arg == "--runs") {
            runs = std::stoi(value());
            if (runs < 1) throw std::invalid_argument("--runs must be at least 1");
        } else if (arg == "--out") {
            outDir = value();
        } else if (arg == "--only") {
            only = value();
        } else if (arg == "--quick") {
            sizes = {10'000};
            runs = 1;
        } else {
            throw std::invalid_argument("unknown argument " + arg);
        }
    }

    std::vector<double> floors;
    for (int r = 0; r < runs; ++r) floors.push_back(memoryFloorNs());
    const double floorNs = Stats::of(floors).median;

    Results results;
    EnginePeer<FlowRecords, EngineFlowOps> flows(engineFlows);
    EnginePeer<CounterRecords, EngineCounterOps> counters(engineCounters);
    StdPeer<FlowRecords> stdMap;
    LmdbPeer<FlowRecords> lmdbOp(1), lmdbBatch(1000);
    BoostPeer<FlowRecords> boost;
    std::vector<Peer<FlowRecords>*> peers{&flows, &stdMap, &lmdbOp, &lmdbBatch, &boost};

    for (std::size_t n : sizes) {
        const Keys<FlowRecords> flowKeys(n, 0x5eed + n);
        const Keys<CounterRecords> counterKeys(n, 0xc0de + n);
        for (int r = 0; r < runs; ++r) {
            // Systems take turns within each run, so drift in the machine spreads over all.
            for (auto* peer : peers) {
                if (peer->name().find(only) == std::string::npos) continue;
                std::cerr << "N=" << n << " run " << r + 1 << "/" << runs << ": " << peer->name()
                          << "\n";
                measure(*peer, flowKeys, results);
            }
            if (counters.name().find(only) == std::string::npos) continue;
            std::cerr << "N=" << n << " run " << r + 1 << "/" << runs << ": " << counters.name()
                      << "\n";
            measure(counters, counterKeys, results);
        }
    }
    report(results, floorNs, outDir);
    return 0;
}

}  // namespace
}  // namespace Compare

int main(int argc, char** argv) {
    // A reader process that ends early closes its pipes; its report says why.
    ::signal(SIGPIPE, SIG_IGN);
    try {
        return Compare::run(argc, argv);
    } catch (const std::exception& e) {
        std::cerr << "TableCompare: " << e.what() << "\n";
        return 1;
    }
}
