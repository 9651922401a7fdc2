// The doorbell's cost to a counter table's writer: one overwrite per iteration, with 0, 1 or 8
// connected readers that never read (after their first kick every later one is coalesced), the
// writer without a loop (a send round per write) or bound to a loop that runs one pass per 64
// writes (one send round per pass). Compare readers:0 with the table's cost without kicks: the
// same numbers with FLOWTABLE_TOGGLE_DIR naming a SharedMem.json of {"OneSocketKick": false}.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "Hoard/HoardWriter.h"
#include "bench/BenchRoot.h"
#include "contracts/Kick/ReaderKickSm.h"
#include "contracts/Loom/EventLoop.h"
#include "tests/support/SelfCheckingRecords.h"

namespace {

using Records = TestSupport::CounterRecords;

struct Quiet : Kick::ReaderKickSm::Notifiee {
    void onKick() override {}
    void onDisconnect() override {}
};

void BM_KickedWrite(benchmark::State& state) {
    const auto readers = static_cast<int>(state.range(0));
    const bool serving = state.range(1) != 0;
    BenchRoot root;
    Kiln::Ptr<Loom::EventLoop> writerLoop = new Loom::EventLoop;
    std::unique_ptr<Loom::EventLoop::ThreadBinding> binding;
    if (serving) binding = std::make_unique<Loom::EventLoop::ThreadBinding>(writerLoop.ptr());
    auto writer = TestSupport::newWriter<Records>("bench/counters", 1);
    Loom::EventLoop readerLoop;  // never run: its readers never read
    Quiet quiet;
    std::vector<std::unique_ptr<Kick::ReaderKickSm>> kickReaders;
    for (int i = 0; i < readers; ++i) {
        kickReaders.push_back(std::make_unique<Kick::ReaderKickSm>(&quiet, &readerLoop));
        kickReaders.back()->connect(
            SharedMem::ShocketInfo(writer->kickSm().socketName(), writer->kickSm().tableId()));
    }
    std::uint64_t generation = 1;
    for (auto _ : state) {
        writer->write(Records::make(0, ++generation), true);
        if (serving && (generation & 63) == 0) writerLoop->runOnce(0);
    }
    if (serving) writerLoop->runUntilIdle();
    state.counters["rounds/write"] = static_cast<double>(writer->kickSm().rounds()) /
                                     static_cast<double>(writer->kickSm().kicks());
    state.counters["sent"] = static_cast<double>(writer->kickSm().sent());
    kickReaders.clear();
    writer.reset();
}

BENCHMARK(BM_KickedWrite)->ArgNames({"readers", "loop"})->ArgsProduct({{0, 1, 8}, {0, 1}});

}  // namespace

BENCHMARK_MAIN();
