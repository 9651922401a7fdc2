#pragma once

// The reads of the multi-process torture runs (the torture tool and the reader torture tests):
// each way a reader hands out records (a lookup, a batched lookup, an iteration, a slot-order
// scan), over self-checking records, every record checked whole, with the records checked and
// the torn ones counted per call. What a whole record may be (found or not, its generation) is
// the caller's to judge: judge(call, id, generation) returns "" when it may, else what is wrong;
// generation 0 is a lookup's "not found" (the walks hand out found records only).
//
// Thread safety: a Reads object belongs to its reader's thread. The counts may live in memory
// that processes share; they are atomics.

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/SelfCheckingRecords.h"

namespace Torture {

enum Call : unsigned { lookupCall, batchCall, iterateCall, scanCall, callCount };
inline constexpr const char* callNames[callCount] = {"lookup", "batch", "iterate", "scan"};

struct CallCounts {
    std::atomic<std::uint64_t> reads[callCount] = {};  // records checked
    std::atomic<std::uint64_t> torn[callCount] = {};
    std::atomic<std::uint64_t> repeats = {};    // records a scan handed out again
    std::atomic<std::uint64_t> mayRepeat = {};  // scans that said they might repeat
    std::atomic<std::uint64_t> unsaid = {};     // scans that repeated and said they would not

    std::uint64_t total(const std::atomic<std::uint64_t> (&per)[callCount]) const {
        std::uint64_t sum = 0;
        for (const auto& n : per) sum += n.load();
        return sum;
    }
    void add(const CallCounts& o) {
        for (unsigned c = 0; c < callCount; ++c) {
            reads[c] += o.reads[c].load();
            torn[c] += o.torn[c].load();
        }
        repeats += o.repeats.load();
        mayRepeat += o.mayRepeat.load();
        unsaid += o.unsaid.load();
    }
};

template <class Records>
class Reads {
  public:
    using Entry = typename Records::Entry;
    static constexpr std::size_t mostPerBatch = 64;

    // Ids are below `ids`. Each torn record gets a line on `log` (none when null).
    Reads(typename Records::Reader& r, CallCounts& counts, std::uint32_t ids,
          std::FILE* log = nullptr)
        : r_(r), counts_(counts), handedOut_(ids), generation_(ids), log_(log) {}

    template <class Judge>
    std::string lookup(std::uint32_t id, Judge&& judge) {
        std::uint64_t generation = 0;
        try {
            generation = TestSupport::generationOf<Records>(r_, id);  // throws when torn
        } catch (const std::exception& e) {
            return torn(lookupCall, e.what());
        }
        ++counts_.reads[lookupCall];
        return judge(lookupCall, id, generation);
    }

    // One lookupBatch of `ids` (at most mostPerBatch; hits and misses mixed): found[i] agrees
    // with out[i], a whole record of ids[i] when set, the default record when not, and the
    // count returned is that of the found[] set.
    template <class Judge>
    std::string batch(const std::vector<std::uint32_t>& ids, Judge&& judge) {
        typename Records::Key keys[mostPerBatch];
        Entry out[mostPerBatch];
        bool found[mostPerBatch];
        const std::size_t n = std::min(ids.size(), mostPerBatch);
        for (std::size_t i = 0; i < n; ++i) keys[i] = Records::key(ids[i]);
        const std::size_t hits = r_.lookupBatch(keys, n, out, found);
        std::string failure;
        std::size_t set = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const std::string what =
                "batch of " + std::to_string(n) + ", key id " + std::to_string(ids[i]) + ": ";
            std::uint32_t id = 0;
            std::uint64_t generation = 0;
            std::string finding;
            if (!found[i]) {
                finding = out[i] == Entry{} ? judge(batchCall, ids[i], 0)
                                            : what + "not found, yet " + TestSupport::show(out[i]);
            } else if (++set; !Records::check(out[i], id, generation) || id != ids[i]) {
                finding = torn(batchCall, what + "a torn or foreign " + TestSupport::show(out[i]));
            } else {
                finding = judge(batchCall, id, generation);
            }
            if (failure.empty()) failure = finding;
        }
        counts_.reads[batchCall] += n;
        if (failure.empty() && hits != set) {
            failure = "batch returned " + std::to_string(hits) + " found, found[] says " +
                      std::to_string(set);
        }
        return failure;
    }

    // One iteration: every record whole, in order, none twice.
    template <class Judge>
    std::string iterate(Judge&& judge) {
        std::uint64_t n = 0;
        std::string failure = TestSupport::walk<Records>(
            r_, 4 * handedOut_.size(), [&](std::uint32_t id, std::uint64_t generation) {
                ++n;
                return judge(iterateCall, id, generation);
            });
        counts_.reads[iterateCall] += n;
        if (failure.find("torn") != std::string::npos) return torn(iterateCall, failure);
        return failure;
    }

    // One scan: every record whole, none twice unless the scan says it may repeat. A record is
    // its write: every write gives its record a generation of its own, so a key removed and
    // inserted again during the scan, which may be handed out again (its new slot may lie ahead),
    // comes back with another generation and is no repeat. handedOut(id) is how often the last
    // scan handed id out.
    template <class Judge>
    std::string scan(Judge&& judge) {
        std::fill(handedOut_.begin(), handedOut_.end(), 0);
        std::string failure;
        const Hoard::ScanResult result = r_.scan([&](const Entry& e) {
            std::uint32_t id = 0;
            std::uint64_t generation = 0;
            std::string finding;
            if (!Records::check(e, id, generation) || id >= handedOut_.size()) {
                finding = torn(scanCall, "scan: a torn record " + TestSupport::show(e));
            } else if (handedOut_[id]++ > 0 && generation_[id] == generation) {
                ++counts_.repeats;
                repeated_.push_back(id);
            } else {
                generation_[id] = generation;
                finding = judge(scanCall, id, generation);
            }
            if (failure.empty()) failure = finding;
        });
        counts_.reads[scanCall] += result.records;
        if (result.mayRepeat) ++counts_.mayRepeat;
        if (!repeated_.empty() && !result.mayRepeat) {
            ++counts_.unsaid;
            if (log_) {
                std::fprintf(log_,
                             "scan of the %s table handed out id %u (generation %llu) twice "
                             "and said it would not repeat\n",
                             Records::kind, repeated_[0],
                             static_cast<unsigned long long>(generation_[repeated_[0]]));
            }
            if (failure.empty()) {
                failure = "scan handed out id " + std::to_string(repeated_[0]) +
                          " twice and said it would not repeat";
            }
        }
        repeated_.clear();
        return failure;
    }
    std::uint32_t handedOut(std::uint32_t id) const { return handedOut_[id]; }

  private:
    std::string torn(Call call, const std::string& what) {
        ++counts_.torn[call];
        if (log_) {
            std::fprintf(log_, "torn read by %s of the %s table: %s\n", callNames[call],
                         Records::kind, what.c_str());
        }
        return "torn: " + what;
    }

    typename Records::Reader& r_;
    CallCounts& counts_;
    std::vector<std::uint32_t> handedOut_;
    std::vector<std::uint64_t> generation_;  // what the last scan handed out, by id
    std::vector<std::uint32_t> repeated_;
    std::FILE* log_;
};

// `n` different ids from pick(), for a batch whose answers are judged against earlier calls: one
// batch may answer a key asked twice from two moments. Fewer when pick() keeps repeating.
template <class Pick>
std::vector<std::uint32_t> distinctIds(std::size_t n, Pick&& pick) {
    std::vector<std::uint32_t> ids;
    for (std::size_t tries = 0; ids.size() < n && tries < 8 * n; ++tries) {
        const std::uint32_t id = pick();
        if (std::find(ids.begin(), ids.end(), id) == ids.end()) ids.push_back(id);
    }
    return ids;
}

// The writer's part of a run: inserts `ids` in a random order, rewriting a record already in
// after every fourth insert, runs middle(), then removes them in a random order, so that the
// table grows and shrinks (a shrink moves records down); between() runs after every insert and
// removal. Each write takes the next `generation`.
template <class Records, class Writer, class Middle, class Between>
void fillAndEmpty(Writer& w, std::vector<std::uint32_t>& ids, std::uint64_t& generation,
                  std::mt19937_64& rng, Middle&& middle, Between&& between) {
    std::shuffle(ids.begin(), ids.end(), rng);
    for (std::size_t i = 0; i < ids.size(); ++i) {
        w.write(Records::make(ids[i], ++generation), true);
        between();
        if (i % 4 == 3) w.write(Records::make(ids[rng() % (i + 1)], ++generation), true);
    }
    middle();
    std::shuffle(ids.begin(), ids.end(), rng);
    typename Records::Entry gone;
    for (std::uint32_t id : ids) {
        if (!w.remove(Records::key(id), gone)) {
            throw std::runtime_error("record " + std::to_string(id) + " went missing");
        }
        between();
    }
}

}  // namespace Torture
