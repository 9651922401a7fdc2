// The table reader's cost per operation: lookups that hit, lookups that miss, batched lookups,
// iteration steps and slot-order scans over a flow table of 1,000, 100,000 and 1,000,000
// records. A HoardWriter in this process fills the table; the reader reads it through its own
// read-only mapping, as a reader process would. The table stays unchanged while measured, so
// every step takes the reader's fast path.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "FlowTracker/FlowTable.h"
#include "Hoard/HoardReader.h"
#include "Hoard/HoardWriter.h"
#include "bench/BenchRoot.h"

namespace {

using FlowOps = FlowTracking::IpFlowEntryOps;
using FlowTracking::IpFlowEntryWrapper;

FlowTracking::IpFlowKey flowKey(std::uint32_t id) {
    return FlowTracking::IpFlowKey(Vrf::VrfIdMap::VrfId(id % 3),
                                   Bridging::VlanIdOrAnyOrNone(static_cast<std::uint16_t>(id % 5)),
                                   Wirekit::IpAddr::fromHostOrder(0x0A000000u + id),
                                   Wirekit::IpAddr(10, 9, 9, 9), Wirekit::ipProtoTcp,
                                   static_cast<std::uint16_t>(id), 443);
}

// A table of `records` flows (ids 0 .. records - 1), its writer and a reader.
struct Table {
    std::shared_ptr<Basalt::Platform::DebugHandler> debug =
        Basalt::Platform::getDebugHandler("ReaderBench");
    std::unique_ptr<Hoard::HoardWriter<FlowOps>> writer;
    std::unique_ptr<Hoard::HoardReader<FlowOps>> reader;
    std::vector<FlowTracking::IpFlowKey> hits;    // present keys, shuffled
    std::vector<FlowTracking::IpFlowKey> misses;  // absent keys, shuffled

    explicit Table(std::uint32_t records) {
        const std::string name = "bench/flows" + std::to_string(records);
        Hoard::MapDescriptor d;
        d.slotLimit = 2 * records;
        writer = std::make_unique<Hoard::HoardWriter<FlowOps>>(debug, name, d, FlowOps(), "Bench");
        writer->initialize("bench");
        for (std::uint32_t id = 0; id < records; ++id) {
            IpFlowEntryWrapper e(flowKey(id));
            e.pktsIs(id);
            e.bytesIs(1000ull * id);
            writer->write(e, true);
        }
        reader = std::make_unique<Hoard::HoardReader<FlowOps>>(debug, name, FlowOps());
        if (!reader->initialize("bench")) throw std::runtime_error("reader initialize failed");
        std::mt19937 rng(7);
        for (std::uint32_t id = 0; id < records; ++id) {
            hits.push_back(flowKey(id));
            misses.push_back(flowKey(records + id));
        }
        std::shuffle(hits.begin(), hits.end(), rng);
        std::shuffle(misses.begin(), misses.end(), rng);
    }
};

Table& table(std::uint32_t records) {
    static BenchRoot root;
    static std::map<std::uint32_t, std::unique_ptr<Table>> tables;
    auto& t = tables[records];
    if (!t) t = std::make_unique<Table>(records);
    return *t;
}

void lookups(benchmark::State& state, bool hit) {
    Table& t = table(static_cast<std::uint32_t>(state.range(0)));
    const auto& keys = hit ? t.hits : t.misses;
    IpFlowEntryWrapper out;
    std::size_t i = 0;
    std::uint64_t found = 0;
    for (auto _ : state) {
        bool f = false;
        benchmark::DoNotOptimize(t.reader->lookup(keys[i], f, &out));
        found += f;
        if (++i == keys.size()) i = 0;
    }
    const std::uint64_t wanted = hit ? static_cast<std::uint64_t>(state.iterations()) : 0;
    if (found != wanted) state.SkipWithError("wrong lookup results");
    state.SetItemsProcessed(state.iterations());
}

void BM_LookupHit(benchmark::State& state) { lookups(state, true); }
void BM_LookupMiss(benchmark::State& state) { lookups(state, false); }

// One iteration step per benchmark iteration: next() from the record returned before, first()
// again after the last record.
void BM_IterationStep(benchmark::State& state) {
    Table& t = table(static_cast<std::uint32_t>(state.range(0)));
    IpFlowEntryWrapper v;
    Hoard::IterHint hint;
    bool more = false;
    std::uint64_t passes = 0, steps = 0;
    for (auto _ : state) {
        more = more ? t.reader->next(v.key(), v, hint) : t.reader->first(v, hint);
        if (more) {
            ++steps;
        } else {
            ++passes;
        }
        benchmark::DoNotOptimize(v);
    }
    state.counters["passes"] = static_cast<double>(passes);
    state.counters["slowPaths"] = static_cast<double>(t.reader->readerCounters().slowPaths);
    state.SetItemsProcessed(static_cast<std::int64_t>(steps));
}

// lookupBatch() of `batch` present keys per benchmark iteration; items are keys.
void BM_LookupBatchHit(benchmark::State& state) {
    Table& t = table(static_cast<std::uint32_t>(state.range(0)));
    constexpr std::size_t batch = 64;
    std::vector<IpFlowEntryWrapper> out(batch);
    bool found[batch];
    std::size_t i = 0;
    std::uint64_t hits = 0;
    for (auto _ : state) {
        if (i + batch > t.hits.size()) i = 0;
        hits += t.reader->lookupBatch(&t.hits[i], batch, out.data(), found);
        benchmark::DoNotOptimize(out.data());
        i += batch;
    }
    if (hits != batch * static_cast<std::uint64_t>(state.iterations())) {
        state.SkipWithError("wrong lookup results");
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(batch * state.iterations()));
}

// One whole scan per benchmark iteration; items are records handed out.
void BM_Scan(benchmark::State& state) {
    Table& t = table(static_cast<std::uint32_t>(state.range(0)));
    std::uint64_t records = 0, sum = 0;
    for (auto _ : state) {
        const Hoard::ScanResult r =
            t.reader->scan([&](const IpFlowEntryWrapper& e) { sum += e.pkts(); });
        records += r.records;
    }
    benchmark::DoNotOptimize(sum);
    if (records != static_cast<std::uint64_t>(state.range(0)) * state.iterations()) {
        state.SkipWithError("wrong scan results");
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(records));
}

BENCHMARK(BM_LookupHit)->Arg(1000)->Arg(100000)->Arg(1000000)->MinTime(0.5);
BENCHMARK(BM_LookupBatchHit)->Arg(1000)->Arg(100000)->Arg(1000000)->MinTime(0.5);
BENCHMARK(BM_LookupMiss)->Arg(1000)->Arg(100000)->MinTime(0.5);
BENCHMARK(BM_IterationStep)->Arg(1000)->Arg(100000)->Arg(1000000)->MinTime(0.5);
BENCHMARK(BM_Scan)->Arg(1000)->Arg(100000)->Arg(1000000)->MinTime(0.5);

}  // namespace

BENCHMARK_MAIN();
