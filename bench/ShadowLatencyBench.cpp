// How soon a shadow in another process hears of a writer's change: from the write (the record
// carries its CLOCK_MONOTONIC time in nanoseconds in its packets field; the clock is system-wide)
// to the shadow owner's key callback, where the shadow's copy already holds the record. Changes
// are spaced (one every 200 us, cycling over 256 keys, so that no key is written twice before a
// shadow's pass could apply it) and the writer serves no loop: it rings the doorbell at each
// write. Median and 99th percentile over 3,000 changes:
//  - doorbell:1: the shadow wakes on the writer's doorbell;
//  - doorbell:0: the writer opened with the OneSocketKick toggle off (FLOWTABLE_TOGGLE_DIR names
//    a SharedMem.json of {"OneSocketKick": false}), so it has no doorbell and the shadow falls
//    back to its poll timer (every 10 ms).
// The shadow runs a Loom loop in a forked process; every wait for it is bounded, and a shadow that
// has not heard of every change in time is killed by its pid (the counters say how many it heard).

#include <benchmark/benchmark.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "Hoard/HoardMap.h"
#include "bench/BenchRoot.h"
#include "contracts/Kiln/System.h"
#include "contracts/Loom/EventLoop.h"
#include "tests/support/SelfCheckingRecords.h"

namespace {

using Records = TestSupport::CounterRecords;
using Entry = Records::Entry;
using Map = Hoard::HoardMap<Records::Key, Entry, Records::Ops>;

constexpr std::uint32_t changes = 3000;
constexpr std::uint32_t keys = 256;
constexpr std::int64_t spacingNs = 200'000;
constexpr const char* table = "bench/latency";

std::uint64_t monotonicNs() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000'000u +
           static_cast<std::uint64_t>(ts.tv_nsec);
}

Entry stamped(std::uint32_t id, std::uint64_t sequence, std::uint64_t ns) {
    return Entry(Records::key(id), Hoard::FlowTracker::FlowEntry(sequence, id, ns, 0.0));
}

// What the shadow process reports: one latency per key callback, in nanoseconds.
struct Shared {
    std::atomic<std::uint32_t> heard{0};
    std::uint64_t latencyNs[changes];
};

// A toggle directory that turns the writer's doorbell off while it lives.
class DoorbellOff {
  public:
    DoorbellOff() {
        char templ[] = "/tmp/flowtable-toggles-XXXXXX";
        if (::mkdtemp(templ) == nullptr) throw std::runtime_error("mkdtemp failed");
        dir_ = templ;
        std::ofstream(dir_ + "/SharedMem.json") << R"({"OneSocketKick": false})";
        ::setenv("FLOWTABLE_TOGGLE_DIR", dir_.c_str(), 1);
    }
    ~DoorbellOff() {
        ::unsetenv("FLOWTABLE_TOGGLE_DIR");
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    DoorbellOff(const DoorbellOff&) = delete;
    DoorbellOff& operator=(const DoorbellOff&) = delete;

  private:
    std::string dir_;
};

// The forked shadow: an asynchronous shadow (the records present at its start are not
// reported) on a Loom loop. Writes a byte to `ready` once its copy is whole and its doorbell
// connected, and stops after every change was heard (or after a minute).
[[noreturn]] void shadowProcess(Shared* shared, int ready) {
    Kiln::Ptr<Loom::EventLoop> loop = new Loom::EventLoop;
    const Loom::EventLoop::ThreadBinding binding(loop.ptr());
    Map map(table);
    bool synced = false;
    map.callbacksIs(Map::Callbacks(
        nullptr,
        [&](const Records::Key& key) {
            const std::uint64_t now = monotonicNs();
            bool found = false;
            Entry buffer;
            const Entry* v = map.implementation()->lookup(key, found, &buffer);
            const std::uint32_t n = shared->heard.load(std::memory_order_relaxed);
            if (!found || n >= changes) return;
            shared->latencyNs[n] = now - v->flowEntry().packets();
            shared->heard.store(n + 1, std::memory_order_release);
            if (n + 1 == changes) loop->stop();
        },
        nullptr,
        [&] {
            if (synced || map.mountStatus() != 2) return;
            synced = true;
            // After the pass that completed the copy, which connects the doorbell.
            loop->post([&] { (void)!::write(ready, "r", 1); });
        },
        nullptr));
    Hoard::MapDescriptor d;
    d.mode = Hoard::shadow;
    map.notifyingIs(true);
    map.init(d);
    loop->timerNew(Kiln::System::monotonicTime() + 60, [&] { loop->stop(); });
    loop->run();
    ::_exit(0);
}

void BM_ShadowLatency(benchmark::State& state) {
    const bool doorbell = state.range(0) != 0;
    BenchRoot root;
    std::unique_ptr<DoorbellOff> off;
    if (!doorbell) off = std::make_unique<DoorbellOff>();
    auto writer = TestSupport::newWriter<Records>(table, 0);
    for (std::uint32_t id = 0; id < keys; ++id) writer->write(stamped(id, 0, 0), true);
    void* page =
        ::mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (page == MAP_FAILED) throw std::runtime_error("mmap failed");
    auto* shared = new (page) Shared;
    int ready[2];
    if (::pipe(ready) != 0) throw std::runtime_error("pipe failed");
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(ready[0]);
        shadowProcess(shared, ready[1]);
    }
    ::close(ready[1]);
    pollfd p{ready[0], POLLIN, 0};
    if (::poll(&p, 1, 30'000) != 1) state.SkipWithError("the shadow did not synchronise");

    for (auto _ : state) {
        timespec next{};
        ::clock_gettime(CLOCK_MONOTONIC, &next);
        for (std::uint32_t i = 0; i < changes; ++i) {
            next.tv_nsec += spacingNs;
            if (next.tv_nsec >= 1'000'000'000) {
                next.tv_nsec -= 1'000'000'000;
                ++next.tv_sec;
            }
            ::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);  // pacing
            writer->write(stamped(i % keys, i + 1, monotonicNs()), true);
        }
    }
    // The shadow hears the last changes within a few poll intervals; five seconds at most.
    for (int i = 0; i < 500 && shared->heard.load(std::memory_order_acquire) < changes; ++i) {
        ::poll(nullptr, 0, 10);
    }
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    ::close(ready[0]);

    const std::uint32_t heard = shared->heard.load(std::memory_order_acquire);
    std::vector<std::uint64_t> ns(shared->latencyNs, shared->latencyNs + heard);
    std::sort(ns.begin(), ns.end());
    const auto at = [&](double q) {
        return ns.empty() ? 0.0
                          : static_cast<double>(ns[static_cast<std::size_t>(q * (ns.size() - 1))]) /
                                1000.0;
    };
    state.counters["median_us"] = at(0.5);
    state.counters["p99_us"] = at(0.99);
    state.counters["max_us"] = at(1.0);
    state.counters["heard"] = heard;
    ::munmap(page, sizeof(Shared));
    writer.reset();
}

BENCHMARK(BM_ShadowLatency)
    ->ArgName("doorbell")
    ->Arg(1)
    ->Arg(0)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
