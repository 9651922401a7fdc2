// flowtrack's manager and state machine on the test's thread (event loop driven by runUntilIdle,
// manual clock moved by packet time): flows in the shared tables, their end reasons and export
// times, the counters, several trackers, drops, clears and configuration changes.

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "Hoard/HoardReader.h"
#include "tests/support/ManualClockGuard.h"
#include "tests/support/ShmRoot.h"
#include "tests/support/TextParsing.h"
#include "tools/flowtrack/FlowTrackMgr.h"

namespace {

using namespace FlowTracking;
using Flowtrack::FlowTrackMgr;
using Hoard::FlowTracker::FlowEntry;

constexpr Kiln::Seconds T0 = 1'800'000'000.0;  // the capture's first packet
constexpr std::uint16_t SYN = 0x02, FIN = 0x01, RST = 0x04, ACK = 0x10;

// The flows the tests send, by letter.
struct FlowSpec {
    const char* src;
    const char* dst;
    int proto;
    std::uint16_t sport, dport;
};
const std::map<char, FlowSpec> flows = {
    {'A', {"10.0.0.1", "10.0.0.2", 6, 1000, 80}},
    {'B', {"2001:db8::1", "2001:db8::2", 17, 5353, 53}},
    {'C', {"10.0.0.3", "10.0.0.4", 6, 2000, 443}},
    {'D', {"2001:db8::3", "2001:db8::4", 6, 3000, 22}},
    {'E', {"10.0.1.1", "10.0.1.2", 17, 4000, 4001}},
    {'F', {"10.0.2.1", "10.0.2.2", 1, 0, 2048}},
};

Kiln::Ptr<PacketInfo> packet(std::uint32_t ftId, char flow, Kiln::Seconds t, std::uint64_t bytes,
                             std::uint16_t flags = 0) {
    const FlowSpec& f = flows.at(flow);
    auto pi = packetInfoFactory(
        FtId(ftId), TemplateId(256), TestSupport::parseExact<Wirekit::IpGenAddr>(f.src),
        TestSupport::parseExact<Wirekit::IpGenAddr>(f.dst), Wirekit::IpProtocolNumber(f.proto),
        Wirekit::Port(f.sport), Wirekit::Port(f.dport), t, 3, Wirekit::IntfId(), 0,
        Bridging::VlanIdOrAnyOrNone(10), Wirekit::EthAddr());
    pi->packetsIs(1);
    pi->bytesIs(bytes);
    pi->tcpFlagsIs(Wirekit::TcpDataOffsetAndFlags(std::uint16_t(0x5000 | flags)));
    return pi;
}

// "<flow letter> <reason> <pkts>/<bytes> <start>-<end> flags <tcp flags>", times from T0.
std::string show(const FlowInfo& fi) {
    char letter = '?';
    for (const auto& [l, f] : flows) {
        if (fi.srcIpAddr() == TestSupport::parseExact<Wirekit::IpGenAddr>(f.src) &&
            fi.srcPort() == f.sport) {
            letter = l;
        }
    }
    return std::string(1, letter) + " " + stringValue(fi.endReason()).stdString() + " " +
           std::to_string(fi.pkts()) + "/" + std::to_string(fi.bytes()) + " " +
           std::to_string(int(fi.startTime() - T0)) + "-" + std::to_string(int(fi.endTime() - T0)) +
           " flags " + std::to_string(fi.tcpFlags().value());
}

// The records on `queue`, sorted; adds their packets to `pkts` and keeps their longest span.
std::vector<std::string> drain(Loom::EventSpscQueue& queue, std::uint64_t* pkts = nullptr,
                               Kiln::Seconds* maxSpan = nullptr) {
    std::vector<std::string> out;
    while (auto d = queue.descPop()) {
        const auto& fi = dynamic_cast<FlowInfo&>(*d);
        out.push_back(show(fi));
        if (pkts) *pkts += fi.pkts();
        if (maxSpan) *maxSpan = std::max(*maxSpan, fi.endTime() - fi.startTime());
    }
    std::sort(out.begin(), out.end());
    return out;
}

struct Harness {
    TestSupport::ShmRoot shm;
    TestSupport::ManualClockGuard clock;
    Flowtrack::CaptureClock capture{clock.clock()};
    Kiln::Ptr<Loom::EventLoop> loop = new Loom::EventLoop;
    Loom::EventLoop::ThreadBinding binding{loop.ptr()};
    Kiln::Ptr<Loom::EventSpscQueue> input = new Loom::EventSpscQueue(64);
    Kiln::Ptr<Loom::EventSpscQueue> exporter;
    Kiln::Ptr<HwFlowTracking::Config> hw = new HwFlowTracking::Config(Kiln::Name("hw"));
    Kiln::Ptr<Config> ft = new Config(Kiln::Name("ft"));
    Kiln::Ptr<ConfigReq> req = new ConfigReq(Kiln::Name("req"));
    Kiln::Ptr<FlowTrackMgr> mgr;

    explicit Harness(bool captureTime = true, std::size_t exporterCapacity = 256)
        : exporter(new Loom::EventSpscQueue(exporterCapacity)) {
        for (auto* e : std::initializer_list<Kiln::PtrInterface*>{hw.ptr(), ft.ptr(), req.ptr()}) {
            e->hasNotificationActiveIs(true);
        }
        // inactive timeout 10 s, active interval 30 s
        hw->ftConfigIs("t1", FtId(1), 10000, 30000);
        mgr =
            Flowtrack::flowTrackMgrFactory(Kiln::Name("mgr"), loop, "ip", nullptr,
                                           loop->scheduler(), input, exporter, hw, ft, req, "sys");
        if (captureTime) mgr->captureClockIs(&capture);
        mgr->doInitSm();
    }
    void send(std::vector<Kiln::Ptr<PacketInfo>> packets) {
        for (auto& p : packets) ASSERT_TRUE(input->push(std::move(p)));
        loop->runUntilIdle();
    }
    std::vector<std::string> exported() { return drain(*exporter); }
    FlowEntry group(std::uint32_t ftId) {
        bool found = false;
        Hoard::FlowTracker::FlowGroupCounterEntryWrapper buffer;
        const auto* e = mgr->counters()->flowGroupCounter().safeLookup(
            Hoard::FlowTracker::FlowGroupCounterKey(FtId(ftId), TemplateId(256)), found, &buffer);
        return found && e ? e->flowEntry() : FlowEntry();
    }
};

// What another process sees in a tracker's shared table: "<src>:<sport> <pkts>/<bytes>".
template <class Ops, class Wrapper>
std::vector<std::string> sharedFlows(const std::string& table) {
    Hoard::HoardReader<Ops> r(Basalt::Platform::getDebugHandler("t"), table, Ops());
    std::vector<std::string> out;
    Wrapper v;
    Hoard::IterHint hint;
    for (bool more = r.initialize("test") && r.first(v, hint); more;
         more = r.next(v.fwkKey(), v, hint)) {
        std::ostringstream s;
        s << v.srcIpAddr() << ":" << v.srcPort() << " " << v.pkts() << "/" << v.bytes();
        out.push_back(s.str());
    }
    std::sort(out.begin(), out.end());
    return out;
}

// One tracker (inactive 10 s, active 30 s, so inactive scans at T0+10, +20, ... and active scans
// at T0+30, +60, ...), fed a capture: each step's packet first runs the scans due before it, and
// the records those scans export are exactly the step's. FIN and RST end their flows at the next
// inactive scan, idle flows at the first inactive scan at or after last packet + 10 s, the long
// flow E (a packet every 5 s) gives a record every active scan whose span stays within 30 s plus
// one scan period, and the end of capture exports what is left as forced ends.
TEST(FlowTrackMgr, CaptureTimeDrivesFlowEndsAndExportTimes) {
    Harness h;
    struct Step {
        Kiln::Seconds t;
        char flow;
        std::uint64_t bytes;
        std::uint16_t flags;
        std::vector<std::string> exportedBefore;
    };
    std::vector<Step> steps = {
        {0, 'A', 60, SYN, {}},
        {0, 'B', 100, 0, {}},
        {1, 'C', 60, SYN, {}},
        {2, 'C', 40, FIN | ACK, {}},
        {3, 'D', 40, RST, {}},
        {4, 'F', 84, 0, {}},
        {9, 'A', 1000, ACK, {}},
        {9.5, 'B', 100, 0, {}},
        {10, 'E', 200, 0, {"C endOfFlow 2/100 1-2 flags 19", "D endOfFlow 1/40 3-3 flags 4"}},
        {15, 'E', 200, 0, {}},
        {19, 'B', 100, 0, {}},
        {20, 'E', 200, 0, {"A idleTimeout 2/1060 0-9 flags 18", "F idleTimeout 1/84 4-4 flags 0"}},
    };
    for (int t = 25; t <= 95; t += 5) steps.push_back({double(t), 'E', 200, 0, {}});
    const auto at = [&](Kiln::Seconds t) -> Step& {
        for (auto& s : steps) {
            if (s.t == t) return s;
        }
        throw std::logic_error("no step");
    };
    at(30).exportedBefore = {"B idleTimeout 3/300 0-19 flags 0"};
    at(60).exportedBefore = {"E activeTimeout 10/2000 10-55 flags 0"};
    at(90).exportedBefore = {"E activeTimeout 6/1200 60-85 flags 0"};

    for (const Step& s : steps) {
        h.send({packet(1, s.flow, T0 + s.t, s.bytes, s.flags)});
        EXPECT_EQ(h.exported(), s.exportedBefore) << "packet at " << s.t;
        EXPECT_EQ(Kiln::System::currentTime(), T0 + s.t);
        if (s.t == 9.5) {
            EXPECT_EQ((sharedFlows<IpFlowEntryOps, IpFlowEntryWrapper>(
                          "flowtracking/ip/flowTable/t1/ipFlowEntry")),
                      (std::vector<std::string>{"10.0.0.1:1000 2/1060", "10.0.0.3:2000 2/100",
                                                "10.0.2.1:0 1/84"}));
            EXPECT_EQ(
                (sharedFlows<Ip6FlowEntryOps, Ip6FlowEntryWrapper>(
                    "flowtracking/ip/flowTable/t1/ip6FlowEntry")),
                (std::vector<std::string>{"2001:db8::1:5353 2/200", "2001:db8::3:3000 1/40"}));
        }
    }
    // The end of capture reads what is still queued first.
    ASSERT_TRUE(h.input->push(packet(1, 'E', T0 + 96, 200)));
    h.mgr->endOfCapture();
    EXPECT_EQ(h.exported(), std::vector<std::string>{"E forcedEnd 3/600 90-96 flags 0"});
    EXPECT_EQ(h.mgr->activeFlows(), 0u);
    const FlowEntry g = h.group(1);
    EXPECT_EQ(g.packets(), steps.size() + 1);
    EXPECT_EQ(g.flows(), 6u);
    EXPECT_EQ(g.expiredFlows(), 6u);
    EXPECT_EQ(h.mgr->stats().flowsExported, 8u);

    // A gap of years in the capture, with nothing to age, is one step.
    h.send({packet(1, 'A', T0 + 1e9, 60)});
    EXPECT_EQ(Kiln::System::currentTime(), T0 + 1e9);
    EXPECT_EQ(h.mgr->activeFlows(), 1u);
}

// Two trackers keep their flows and counters apart; a packet of an unconfigured tracker is
// dropped and counted; a full table exports the new flow's packet alone and a full exporter
// queue counts what it cannot take; a clear request empties only its tracker's counters; a
// tracker removed from the configuration, or given another FtId, ends its flows; without capture
// time the event loop fires the scans on the process clock.
TEST(FlowTrackMgr, TrackersDropsClearsAndLiveTimers) {
    Harness h(false, 2);
    h.clock.clock().wallTimeIs(T0);
    h.mgr->flowTrackSm(FtId(1))->scanStepEntriesIs(1);  // each scan in one-entry steps
    h.hw->ftConfigIs("t2", FtId(2), 10000, 30000);
    ASSERT_TRUE(h.mgr->flowTrackSm(FtId(2)));
    h.mgr->flowTrackSm(FtId(2))->maxFlowTableEntriesIs(1);
    h.send({packet(1, 'A', T0, 100), packet(1, 'B', T0, 100), packet(2, 'A', T0, 50),
            packet(2, 'E', T0, 70), packet(9, 'A', T0, 1)});
    EXPECT_EQ(h.mgr->unknownTrackerPackets(), 1u);
    EXPECT_EQ(h.exported(), std::vector<std::string>{"E lackOfResources 1/70 0-0 flags 0"});
    EXPECT_EQ(h.group(1).packets(), 2u);
    EXPECT_EQ(h.group(2).packets(), 2u);
    EXPECT_EQ(h.group(2).flows(), 1u);

    h.req->clearCountersReqIs(ClearCountersReq{"t1", "", T0});
    EXPECT_EQ(h.group(1), FlowEntry());
    EXPECT_EQ(h.group(2).packets(), 2u);

    // Live: 10 s later the loop's inactive scans end tracker 1's two flows, which fill the
    // exporter queue; tracker 2's flow, ended by its removal, finds the queue full.
    h.clock.advance(10);
    h.loop->runUntilIdle();
    EXPECT_EQ(h.mgr->flowTrackSm(FtId(1))->activeFlows(), 0u);
    h.hw->ftConfigDel("t2");
    EXPECT_FALSE(h.mgr->flowTrackSm(FtId(2)));
    EXPECT_EQ(h.exported(), (std::vector<std::string>{"A idleTimeout 1/100 0-0 flags 0",
                                                      "B idleTimeout 1/100 0-0 flags 0"}));
    EXPECT_EQ(h.mgr->stats().flowsExported, 3u);
    EXPECT_EQ(h.mgr->stats().exporterQueueFull, 1u);
    EXPECT_EQ(h.group(1).expiredFlows(), 2u);

    // A tracker given another FtId: its flows end, a new machine writes the same shared table.
    const auto table = h.mgr->flowTrackSm(FtId(1))->flowTable();
    h.send({packet(1, 'C', T0 + 10, 40)});
    h.hw->ftConfigIs("t1", FtId(5), 10000, 30000);
    EXPECT_EQ(h.exported(), std::vector<std::string>{"C forcedEnd 1/40 10-10 flags 0"});
    ASSERT_TRUE(h.mgr->flowTrackSm(FtId(5)));
    EXPECT_FALSE(h.mgr->flowTrackSm(FtId(1)));
    EXPECT_EQ(h.mgr->flowTrackSm(FtId(5))->flowTable(), table);
}

// Recorded input loses no record: with the exporter queue full, the end of capture waits for
// the exporter to make room instead of dropping what does not fit.
TEST(FlowTrackMgr, EndOfCaptureWaitsForAFullExporterQueue) {
    Harness h(true, 2);
    h.mgr->flowTrackSm(FtId(1))->waitWhenExporterFullIs(true);
    h.send({packet(1, 'A', T0, 10), packet(1, 'B', T0, 20), packet(1, 'C', T0, 30),
            packet(1, 'D', T0, 40), packet(1, 'E', T0, 50), packet(1, 'F', T0, 60)});
    std::size_t received = 0;
    std::atomic<bool> ended{false};
    std::thread exporter([&] {
        for (bool last = false; !last;) {
            last = ended.load();  // read before the pop: a record pushed before the end is seen
            while (h.exporter->descPop()) ++received;
            std::this_thread::yield();
        }
    });
    h.mgr->endOfCapture();
    ended = true;
    exporter.join();
    EXPECT_EQ(received, 6u);
    EXPECT_EQ(h.mgr->stats().flowsExported, 6u);
    EXPECT_EQ(h.mgr->stats().exporterQueueFull, 0u);
    EXPECT_GE(h.mgr->stats().exporterQueueWaits, 1u);
}

// The same capture, read packet by packet on this thread and at full speed by a manager serving
// its own thread (the producer retrying on a full queue, the thread's end as end of capture, the
// scans walking one entry per step), gives the same records: the flows follow the packets' time,
// not the reading, and a walk in steps visits what a walk in one step does.
TEST(FlowTrackMgr, RecordsDoNotDependOnReadSpeed) {
    const auto capture = [] {
        std::vector<Kiln::Ptr<PacketInfo>> out;
        for (int i = 0; i < 400; ++i) {
            const Kiln::Seconds t = T0 + i * 0.25;
            out.push_back(packet(1, 'E', t, 100));
            if (i % 8 == 0) out.push_back(packet(1, 'B', t, 60));
            if (i < 40 || i > 200) out.push_back(packet(1, 'A', t, 40, ACK));  // idle between
        }
        return out;
    };
    std::vector<std::string> paced;
    {
        Harness h;
        for (auto& p : capture()) h.send({p});
        h.mgr->endOfCapture();
        paced = h.exported();
    }
    const bool wasThreadSafe = Kiln::VFPtrInterface::threadSafePointers();
    Kiln::VFPtrInterface::threadSafePointersIs(true);
    std::uint64_t pkts = 0;
    Kiln::Seconds maxSpan = 0;
    {
        TestSupport::ShmRoot shm;
        TestSupport::ManualClockGuard clock;
        Flowtrack::CaptureClock captureClock(clock.clock());
        Kiln::Ptr<Loom::EventSpscQueue> input = new Loom::EventSpscQueue(64);
        Kiln::Ptr<Loom::EventSpscQueue> exporter = new Loom::EventSpscQueue(256);
        Kiln::Ptr<HwFlowTracking::Config> hw = new HwFlowTracking::Config(Kiln::Name("hw"));
        hw->ftConfigIs("t1", FtId(1), 10000, 30000);
        auto mgr = Flowtrack::flowTrackMgrFactory(Kiln::Name("mgr"), new Loom::EventLoop, "ip",
                                                  new Loom::EventLoopHeartBeatCtx("mgr"), nullptr,
                                                  input, exporter, hw, nullptr, nullptr, "sys");
        mgr->captureClockIs(&captureClock);
        mgr->threadStart();
        ASSERT_TRUE(mgr->waitInitializeDone(60));
        mgr->flowTrackSm(FtId(1))->scanStepEntriesIs(1);  // published by the first push
        for (auto& p : capture()) {
            Kiln::Ptr<Loom::CrossThreadDesc> d = std::move(p);
            while (!input->push(std::move(d))) std::this_thread::yield();
        }
        mgr->threadStop();
        mgr->threadJoin();
        EXPECT_EQ(drain(*exporter, &pkts, &maxSpan), paced);
    }
    Kiln::VFPtrInterface::threadSafePointersIs(wasThreadSafe);
    EXPECT_EQ(pkts, capture().size());
    EXPECT_LE(maxSpan, 30.0 + 30.0);
}

}  // namespace
