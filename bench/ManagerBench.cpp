// The sampled-packet path, in descriptors per second:
//
//  - BM_QueueAlone: one producer thread pushes PacketInfo descriptors onto an EventSpscQueue and
//    one consumer thread, woken through the queue's FifoEvent watched by its own EventLoop,
//    drains them with descPop(). The queue's cost and its wake-ups, nothing else.
//  - BM_ManagerToFlowTable: the same producer feeds a flow-table manager serving its own
//    EventLoopThread; the manager hands each packet to a state machine that rewrites the packet's
//    flow record (a few thousand flows, packet and byte counts added) in a mounted, shared
//    FlowTable, while a reader process looks flows up in that table throughout (and, for
//    comparison, without that reader, which keeps one core busy).
//
// In both, the descriptors of a batch are made before the batch is timed (on the benchmark's
// thread), so the producer only pushes. The time of a batch runs from the first push to the
// consumer taking (queue) or the state machine applying (manager) the last descriptor; it is set
// as the iteration's manual time. A push that finds the queue full is counted and retried after a
// yield, as a sampler that must not lose packets would. Every wait is bounded: a batch that has
// not arrived after `batchDeadline` fails the case instead of hanging it.
//
// Thread-safe pointers are on throughout, as a manager on its own thread requires.

#include <benchmark/benchmark.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "FlowTracker/FlowTable.h"
#include "FlowTracker/FlowTableMgrBase.h"
#include "FlowTracker/PacketTypes.h"
#include "Hoard/HoardReader.h"
#include "bench/BenchRoot.h"
#include "contracts/Basalt/DebugHandler.h"
#include "contracts/Loom/EventLoop.h"
#include "contracts/Loom/EventSpscQueue.h"
#include "contracts/Loom/FifoEvent.h"

namespace {

using namespace FlowTracking;
using Clock = std::chrono::steady_clock;

constexpr std::size_t batch = 1 << 17;  // descriptors per timed batch
constexpr std::uint32_t flowCount = 4096;
constexpr auto batchDeadline = std::chrono::seconds(20);

void useBenchRoot() { static BenchRoot root; }

// Switches thread-safe pointers on for one case and restores the previous setting.
class ThreadSafePointers {
  public:
    ThreadSafePointers() : was_(Kiln::VFPtrInterface::threadSafePointers()) {
        Kiln::VFPtrInterface::threadSafePointersIs(true);
    }
    ~ThreadSafePointers() { Kiln::VFPtrInterface::threadSafePointersIs(was_); }

  private:
    const bool was_;
};

// Packet `i` of a batch: flow i % flowCount (source address and port vary), 1 packet, 64 to
// 1463 bytes.
Kiln::Ptr<Loom::CrossThreadDesc> makePacket(std::uint32_t i) {
    const std::uint32_t flow = i % flowCount;
    Kiln::Ptr<PacketInfo> pi = packetInfoFactory(
        FtId(1), TemplateId(7), Wirekit::IpAddr::fromHostOrder(0x0A000000u + flow),
        Wirekit::IpAddr(10, 9, 9, 9), Wirekit::ipProtoTcp,
        Wirekit::Port(static_cast<std::uint16_t>(1024 + flow)), Wirekit::Port(443), 0.0, 1,
        Wirekit::IntfId(), 0, Bridging::VlanIdOrAnyOrNone(), Wirekit::EthAddr());
    pi->packetsIs(1);
    pi->bytesIs(64 + i % 1400);
    return Kiln::Ptr<Loom::CrossThreadDesc>(pi.ptr());
}

std::vector<Kiln::Ptr<Loom::CrossThreadDesc>> makeBatch() {
    std::vector<Kiln::Ptr<Loom::CrossThreadDesc>> out;
    out.reserve(batch);
    for (std::uint32_t i = 0; i < batch; ++i) out.push_back(makePacket(i));
    return out;
}

IpFlowKey flowKeyOf(const PacketInfo& pi) {
    return IpFlowKey(pi.vrfId(), pi.vlanId(), pi.srcIpAddr().v4(), pi.dstIpAddr().v4(),
                     pi.ipProtocol(), pi.srcPort().value(), pi.dstPort().value());
}

// What a producer thread did with one batch.
struct Pushed {
    Clock::time_point firstPush{};
    std::uint64_t fullPushes = 0;
    bool complete = false;  // false: gave up at the deadline
};

// Pushes every descriptor of `descs` (leaving them null), retrying a full queue after a yield
// until the deadline.
Pushed pushAll(Loom::EventSpscQueue& queue, std::vector<Kiln::Ptr<Loom::CrossThreadDesc>>& descs) {
    Pushed p;
    p.firstPush = Clock::now();
    const Clock::time_point deadline = p.firstPush + batchDeadline;
    for (auto& d : descs) {
        while (!queue.push(std::move(d))) {
            ++p.fullPushes;
            if ((p.fullPushes & 0xFF) == 0 && Clock::now() > deadline) return p;
            std::this_thread::yield();
        }
    }
    p.complete = true;
    return p;
}

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// ---- The queue alone ---------------------------------------------------------------------------

// The consumer's watch on the queue's FifoEvent: each notification drains the queue into `sink`
// (kept, so that no descriptor is freed while timed).
class Drainer : public Kiln::PtrInterface::NotifieeConst {
  public:
    Drainer(Loom::EventSpscQueue& queue, std::vector<Kiln::Ptr<Loom::CrossThreadDesc>>& sink)
        : queue_(queue), sink_(sink) {}
    void onAttribute(Kiln::AttributeId attributeId) override {
        if (attributeId != Loom::FifoEvent::readableCountAttribute) return;
        ++wakeups;
        while (Kiln::Ptr<Loom::CrossThreadDesc> d = queue_.descPop()) sink_.push_back(std::move(d));
        if (sink_.size() == batch) lastPop = Clock::now();
    }

    std::uint64_t wakeups = 0;
    Clock::time_point lastPop{};

  private:
    Loom::EventSpscQueue& queue_;
    std::vector<Kiln::Ptr<Loom::CrossThreadDesc>>& sink_;
};

void BM_QueueAlone(benchmark::State& state) {
    ThreadSafePointers threadSafe;
    Kiln::Ptr<Loom::EventSpscQueue> queue =
        new Loom::EventSpscQueue(static_cast<std::size_t>(state.range(0)));
    std::vector<Kiln::Ptr<Loom::CrossThreadDesc>> descs = makeBatch();
    std::vector<Kiln::Ptr<Loom::CrossThreadDesc>> sink;
    std::uint64_t fullPushes = 0, wakeups = 0;
    for (auto _ : state) {
        sink.clear();
        sink.reserve(batch);
        std::atomic<bool> consumerReady{false};
        Clock::time_point lastPop{};
        std::thread consumer([&] {
            Kiln::Ptr<Loom::EventLoop> loop = new Loom::EventLoop;
            Kiln::Ptr<Drainer> drainer = new Drainer(*queue, sink);
            drainer->hasNotificationActiveIs(true);
            drainer->notifierIs(queue->fifoEvent().ptr());
            drainer->isRegisteredNotifieeIs(true);
            queue->fifoEvent()->eventLoopIs(loop.ptr());
            consumerReady.store(true, std::memory_order_release);
            const Clock::time_point deadline = Clock::now() + batchDeadline;
            while (sink.size() < batch && Clock::now() < deadline) loop->runOnce(0.05);
            queue->fifoEvent()->eventLoopIs(nullptr);
            drainer->isRegisteredNotifieeIs(false);
            lastPop = drainer->lastPop;
            wakeups += drainer->wakeups;
        });
        while (!consumerReady.load(std::memory_order_acquire)) std::this_thread::yield();
        Pushed pushed;
        std::thread producer([&] { pushed = pushAll(*queue, descs); });
        producer.join();
        consumer.join();
        if (!pushed.complete || sink.size() != batch) {
            state.SkipWithError("the batch did not arrive within the deadline");
            break;
        }
        state.SetIterationTime(seconds(lastPop - pushed.firstPush));
        fullPushes += pushed.fullPushes;
        descs.swap(sink);  // the same descriptors again next batch
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(batch));
    state.counters["fullPushes"] =
        benchmark::Counter(static_cast<double>(fullPushes), benchmark::Counter::kAvgIterations);
    state.counters["wakeups"] =
        benchmark::Counter(static_cast<double>(wakeups), benchmark::Counter::kAvgIterations);
}

// ---- The manager into a flow table -------------------------------------------------------------

// The state machine of the one tracker: rewrites the packet's flow record in the shared table,
// adding the packet's packets and bytes.
class FlowWritingSm : public FlowTableMgrSmBase {
  public:
    FlowWritingSm(FtId ftId, const Kiln::Ptr<const HwFlowTracking::FtConfig>& ftConfig,
                  const Kiln::Ptr<Loom::TaskSchedulerRoot>& scheduler,
                  const Kiln::Ptr<Hoard::FlowTracker::FtCounters>& counters,
                  Kiln::Ptr<FlowTable> table)
        : FlowTableMgrSmBase("ip", ftId, ftConfig, nullptr, scheduler, "sys", counters),
          table_(std::move(table)) {}

    void updateFlowEntry(const Kiln::Ptr<PacketInfo>& pi) override {
        const IpFlowKey key = flowKeyOf(*pi);
        bool found = false;
        IpFlowEntryWrapper stored;
        table_->ipFlowEntry().safeLookup(key, found, &stored);
        IpFlowEntry e = found ? stored.value() : IpFlowEntry(key);
        if (!found) {
            e.srcIpAddrIs(key.srcAddr());
            e.dstIpAddrIs(key.dstAddr());
            e.ipProtocolIs(key.ipProtocol());
            e.srcPortIs(key.srcPort());
            e.dstPortIs(key.dstPort());
            e.startTimeIs(pi->pktRcvTime());
        }
        e.pktsIs(e.pkts() + pi->packets());
        e.bytesIs(e.bytes() + pi->bytes());
        e.lastPktTimeIs(pi->pktRcvTime());
        table_->ipFlowEntryIs(e);
    }

  private:
    const Kiln::Ptr<FlowTable> table_;
};

// The test manager with one state machine, made (with its mounted flow table) when its tracker
// is configured, on the manager's thread. It tells the benchmark's thread when the packet that
// completes the batch has been applied.
class BenchMgr : public TestFlowTableMgrThread {
  public:
    using TestFlowTableMgrThread::TestFlowTableMgrThread;
    ~BenchMgr() override {
        threadStop();
        try {
            threadJoin();
        } catch (...) {
        }
    }

    std::string tableEntity;  // set before threadStart()

    bool flowTableMgrSmExists(FtId ftId) override { return sm_ && sm_->ftId() == ftId; }
    void updateflowTableSmFlowEntry(const Kiln::Ptr<PacketInfo>& pi) override {
        sm_->updateFlowEntry(pi);
        if (++applied_ == target_.load(std::memory_order_acquire)) {
            const std::lock_guard<std::mutex> lock(mutex_);
            doneAt_ = Clock::now();
            done_ = true;
            doneCv_.notify_one();
        }
    }
    void handleFtConfig(Kiln::String ftName) override {
        const auto config = hwConfig()->ftConfig(ftName);
        if (sm_ || !config) return;
        Kiln::Ptr<FlowTable> table = flowTableFactory(Kiln::Name(tableEntity));
        table->ipFlowEntryControl()->init(Hoard::writer, false, 2 * flowCount);
        sm_ =
            Kiln::factoryNew<FlowWritingSm>(FlowTableMgrSmBase::allocTrackTypeInfo, config->ftId(),
                                            config, scheduler(), counters(), std::move(table));
    }
    void doDelSm() override { sm_ = nullptr; }

    // Benchmark's thread, while the manager has nothing left of the previous batch.
    void expect(std::uint64_t packets) {
        const std::lock_guard<std::mutex> lock(mutex_);
        done_ = false;
        applied_ = 0;
        target_.store(packets, std::memory_order_release);
    }
    // When the expected packets were all applied, or false after `deadline`.
    bool waitDone(Clock::time_point deadline, Clock::time_point* at) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!doneCv_.wait_until(lock, deadline, [this] { return done_; })) return false;
        *at = doneAt_;
        return true;
    }

  private:
    Kiln::Ptr<FlowWritingSm> sm_;
    std::uint64_t applied_ = 0;  // manager's thread (reset by expect() between batches)
    std::atomic<std::uint64_t> target_{0};
    std::mutex mutex_;
    std::condition_variable doneCv_;
    bool done_ = false;
    Clock::time_point doneAt_{};
};

// What the reader process did.
struct ReaderResult {
    std::uint64_t lookups = 0;
    std::uint64_t hits = 0;
    std::uint64_t attached = 0;
};

// A forked process that attaches a table reader to `table` once told to go, then looks the
// benchmark's flows up in turn until its stop pipe closes, and reports what it did. The parent
// forks it while it has no other thread. It is stopped and reaped by pid: finish() closes the
// stop pipe and waits a bounded time, then SIGKILLs it; the destructor SIGKILLs and reaps one
// still running. The reader also ends when the parent dies (the stop pipe closes then too).
class ReaderProcess {
  public:
    explicit ReaderProcess(const std::string& table) {
        int go[2], stop[2], result[2];
        if (::pipe(go) != 0 || ::pipe(stop) != 0 || ::pipe(result) != 0) {
            throw std::runtime_error("pipe failed");
        }
        pid_ = ::fork();
        if (pid_ < 0) throw std::runtime_error("fork failed");
        if (pid_ == 0) {
            ::close(go[1]);
            ::close(stop[1]);
            ::close(result[0]);
            const ReaderResult r = run(table, go[0], stop[0]);
            [[maybe_unused]] const auto n = ::write(result[1], &r, sizeof r);
            ::_exit(0);
        }
        ::close(go[0]);
        ::close(stop[0]);
        ::close(result[1]);
        goFd_ = go[1];
        stopFd_ = stop[1];
        resultFd_ = result[0];
    }
    ~ReaderProcess() {
        closeFd(goFd_);
        closeFd(stopFd_);
        closeFd(resultFd_);
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    ReaderProcess(const ReaderProcess&) = delete;
    ReaderProcess& operator=(const ReaderProcess&) = delete;

    void go() {
        const char c = 1;
        [[maybe_unused]] const auto n = ::write(goFd_, &c, 1);
    }

    // Stops the reader and returns its report (zeros when it sent none in time).
    ReaderResult finish() {
        closeFd(stopFd_);
        ReaderResult r;
        pollfd p{resultFd_, POLLIN, 0};
        if (::poll(&p, 1, 10'000) == 1 && ::read(resultFd_, &r, sizeof r) != sizeof r) {
            r = ReaderResult();
        }
        const Clock::time_point deadline = Clock::now() + std::chrono::seconds(10);
        while (pid_ > 0 && Clock::now() < deadline) {
            if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = -1;
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        }
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
        return r;
    }

  private:
    static void closeFd(int& fd) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }

    static bool readable(int fd, int timeoutMs) {
        pollfd p{fd, POLLIN, 0};
        return ::poll(&p, 1, timeoutMs) == 1;  // data or the other end closed
    }

    static ReaderResult run(const std::string& table, int goFd, int stopFd) {
        ReaderResult r;
        if (!readable(goFd, 60'000)) return r;
        char c = 0;
        if (::read(goFd, &c, 1) != 1) return r;  // the parent gave up before go
        std::vector<IpFlowKey> keys;
        for (std::uint32_t i = 0; i < flowCount; ++i) {
            keys.push_back(flowKeyOf(static_cast<const PacketInfo&>(*makePacket(i))));
        }
        Hoard::HoardReader<IpFlowEntryOps> reader(
            Basalt::Platform::getDebugHandler("ManagerBenchReader"), table, IpFlowEntryOps());
        if (!reader.initialize("bench")) return r;
        r.attached = 1;
        IpFlowEntryWrapper out;
        for (std::uint32_t i = 0;; i = (i + 1) % flowCount) {
            bool found = false;
            reader.lookup(keys[i], found, &out);
            ++r.lookups;
            r.hits += found;
            if ((r.lookups & 0x3FF) == 0 && readable(stopFd, 0)) break;
        }
        return r;
    }

    pid_t pid_ = -1;
    int goFd_ = -1;
    int stopFd_ = -1;
    int resultFd_ = -1;
};

void BM_ManagerToFlowTable(benchmark::State& state) {
    useBenchRoot();
    ThreadSafePointers threadSafe;
    const std::size_t capacity = static_cast<std::size_t>(state.range(0));
    const bool withReader = state.range(1) != 0;
    const std::string tableEntity =
        "benchFlows" + std::to_string(capacity) + "r" + std::to_string(state.range(1));
    // Forked first, while this process has no other thread.
    std::optional<ReaderProcess> reader;
    if (withReader) reader.emplace(tableEntity + "/ipFlowEntry");

    Kiln::Ptr<Loom::EventSpscQueue> input = new Loom::EventSpscQueue(capacity);
    auto hw = Kiln::Ptr<HwFlowTracking::Config>(new HwFlowTracking::Config(Kiln::Name("hw")));
    hw->hasNotificationActiveIs(true);
    hw->ftConfigIs("t1", FtId(1), 30000, 60000);
    Kiln::Ptr<Loom::EventLoop> loop = new Loom::EventLoop;
    auto mgr =
        Kiln::factoryNew<BenchMgr>(FlowTableMgrThreadBase::allocTrackTypeInfo, Kiln::Name("mgr"),
                                   loop, "ip", new Loom::EventLoopHeartBeatCtx("mgr"), nullptr,
                                   input, nullptr, hw, nullptr, nullptr, "sys");
    mgr->tableEntity = tableEntity;
    mgr->threadStart();
    if (!mgr->waitInitializeDone(30)) {
        state.SkipWithError("the manager did not start");
        return;
    }
    if (reader) reader->go();

    std::uint64_t fullPushes = 0;
    for (auto _ : state) {
        std::vector<Kiln::Ptr<Loom::CrossThreadDesc>> descs = makeBatch();
        mgr->expect(batch);
        Pushed pushed;
        std::thread producer([&] { pushed = pushAll(*input, descs); });
        producer.join();
        Clock::time_point appliedAt{};
        if (!pushed.complete || !mgr->waitDone(pushed.firstPush + batchDeadline, &appliedAt)) {
            state.SkipWithError("the batch was not applied within the deadline");
            break;
        }
        state.SetIterationTime(seconds(appliedAt - pushed.firstPush));
        fullPushes += pushed.fullPushes;
    }
    mgr->threadStop();
    mgr->threadJoin();
    const ReaderResult r = reader ? reader->finish() : ReaderResult();
    const std::uint64_t taskRuns = mgr->task() ? mgr->task()->taskRuns() : 0;
    mgr = nullptr;

    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(batch));
    state.counters["fullPushes"] =
        benchmark::Counter(static_cast<double>(fullPushes), benchmark::Counter::kAvgIterations);
    state.counters["taskRuns"] =
        benchmark::Counter(static_cast<double>(taskRuns), benchmark::Counter::kAvgIterations);
    if (!withReader) return;
    state.counters["readerLookups"] = static_cast<double>(r.lookups);
    if (!r.attached) state.SkipWithError("the reader did not attach to the flow table");
    if (r.hits == 0 && r.lookups > 0) state.SkipWithError("the reader found no flow");
}

BENCHMARK(BM_QueueAlone)
    ->ArgName("capacity")
    ->Arg(1024)
    ->Arg(65536)
    ->UseManualTime()
    ->Iterations(20)
    ->Unit(benchmark::kMillisecond);
// The second argument: 1 with the reader process, 0 without it (what the reader's core costs).
BENCHMARK(BM_ManagerToFlowTable)
    ->ArgNames({"capacity", "reader"})
    ->ArgsProduct({{1024, 65536}, {1, 0}})
    ->UseManualTime()
    ->Iterations(10)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
