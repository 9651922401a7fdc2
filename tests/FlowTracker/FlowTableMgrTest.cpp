// The flow-table manager and the base of its state machines, driven on the test's own thread
// (manual clock, runOnce), then end to end on a real event-loop thread: start-up, the input
// queue's drain and yield rule, the aging timers and their re-arming, the scan-delay rule, the
// counter updates and clears, and the hooks a derived class must provide.

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <functional>
#include <future>
#include <limits>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "FlowTracker/FlowTableMgrBase.h"
#include "contracts/Basalt/DebugHandler.h"
#include "contracts/Flashlog/Flashlog.h"
#include "tests/support/FileBytes.h"
#include "tests/support/ManualClockGuard.h"
#include "tests/support/ShmRoot.h"
#include "tests/support/TraceCapture.h"

namespace {

using namespace FlowTracking;
using Hoard::FlowTracker::FlowCounterKey;
using Hoard::FlowTracker::FlowEntry;
using Hoard::FlowTracker::FlowGroupCounterEntry;
using Hoard::FlowTracker::FlowGroupCounterKey;
using Hoard::FlowTracker::FtCounters;

constexpr const char* countersName = "sys/Shmem/flowtracking/test/counters";

Kiln::Ptr<PacketInfo> packet(std::uint32_t ftId, std::uint64_t seq = 0) {
    auto pi =
        packetInfoFactory(FtId(ftId), TemplateId(7), Wirekit::IpGenAddr(), Wirekit::IpGenAddr(),
                          Wirekit::IpProtocolNumber(6), Wirekit::Port(1), Wirekit::Port(2), 0.0, 1,
                          Wirekit::IntfId(), 0, Bridging::VlanIdOrAnyOrNone(), Wirekit::EthAddr());
    pi->packetsIs(seq);
    return pi;
}

// A descriptor that is not a packet.
struct OtherDesc : Loom::CrossThreadDesc {};

// The test manager, recording what reaches its hooks. Trackers in `absent` have no state
// machine.
class RecordingMgr : public TestFlowTableMgrThread {
  public:
    using TestFlowTableMgrThread::TestFlowTableMgrThread;
    ~RecordingMgr() override { kilnDoZombieReactors(true); }

    std::vector<std::uint64_t> handed;  // each packet's sequence number
    std::vector<std::string> configured;
    std::vector<std::uint32_t> absent;
    std::uint64_t target = 0;  // `reached` is set when this many packets have been handed over
    std::promise<void> reached;
    bool deleted = false;

    bool flowTableMgrSmExists(FtId ftId) override {
        return std::find(absent.begin(), absent.end(), ftId.value()) == absent.end();
    }
    void updateflowTableSmFlowEntry(const Kiln::Ptr<PacketInfo>& pi) override {
        handed.push_back(pi->packets());
        if (handed.size() == target) reached.set_value();
    }
    void handleFtConfig(Kiln::String ftName) override { configured.push_back(ftName.stdString()); }
    void doDelSm() override { deleted = true; }
};

// Everything a manager needs, on the test's thread: the loop (bound to this thread, so the
// manager's scheduler is its scheduler), the queues, the configuration entities, a temporary
// shm root, the manual clock, captured traces with the manager's level 4 on.
struct Harness {
    TestSupport::ShmRoot shm;
    TestSupport::ManualClockGuard clock;
    TestSupport::TraceCapture traces;
    Kiln::Ptr<Loom::EventLoop> loop = new Loom::EventLoop;
    Loom::EventLoop::ThreadBinding binding{loop.ptr()};
    Kiln::Ptr<Loom::EventSpscQueue> input = new Loom::EventSpscQueue(64);
    Kiln::Ptr<Loom::EventSpscQueue> exporter = new Loom::EventSpscQueue(8);
    Kiln::Ptr<HwFlowTracking::Config> hw = new HwFlowTracking::Config(Kiln::Name("hw"));
    Kiln::Ptr<Config> ft = new Config(Kiln::Name("ft"));
    Kiln::Ptr<ConfigReq> req = new ConfigReq(Kiln::Name("req"));
    std::vector<std::shared_ptr<Basalt::Platform::DebugHandler>> handlers;

    Harness() {
        for (const char* name :
             {"FlowTableMgrThreadBase", "FlowTableMgrSmBase", "TestFlowTableMgrThread"}) {
            handlers.push_back(Basalt::Platform::getDebugHandler(name));
            handlers.back()->switchWordIs(0x1F);  // levels 0-4
        }
        for (auto* e : std::initializer_list<Kiln::PtrInterface*>{hw.ptr(), ft.ptr(), req.ptr()}) {
            e->hasNotificationActiveIs(true);
        }
        Flashlog::ring().clear();
    }
    ~Harness() {
        for (auto& h : handlers) h->switchWordIs(1);
    }

    template <class M = RecordingMgr>
    Kiln::Ptr<M> manager() {
        return Kiln::factoryNew<M>(FlowTableMgrThreadBase::allocTrackTypeInfo, Kiln::Name("mgr"),
                                   loop, "ip", nullptr, loop->scheduler(), input, exporter, hw, ft,
                                   req, "sys");
    }
    std::size_t traced(const std::string& text) const {
        std::size_t n = 0;
        for (const auto& e : traces.entries()) n += e.text == text;
        return n;
    }
    void clearRequest(const char* tracker, Kiln::Seconds time) {
        req->clearCountersReqIs(ClearCountersReq{tracker, "", time});
    }
};

std::map<std::string, FlowEntry> groups(FtCounters& c) {
    std::map<std::string, FlowEntry> out;
    for (FtCounters::FlowGroupCounterCollection::Binding::IteratorConst it(&c.flowGroupCounter());
         it.valid(); it.advance()) {
        out[std::to_string(it->key().ftId().value()) + "/" +
            std::to_string(it->key().fgId().value())] = it->flowEntry();
    }
    return out;
}

FlowEntry total(FtCounters& c) {
    bool found = false;
    Hoard::FlowTracker::FlowCounterEntryWrapper buffer;
    const auto* e = c.flowsCounter().safeLookup(FlowCounterKey(0), found, &buffer);
    return found && e ? e->flowEntry() : FlowEntry();
}

TEST(FlowTableMgr, StartEmptiesOldCountersAndReportsEachConfiguredTrackerOnce) {
    Harness h;
    h.hw->ftConfigIs("t1", FtId(1), 30000, 60000);
    h.hw->ftConfigIs("t2", FtId(2), 30000, 60000);
    {
        auto first = h.manager();
        first->doInitSm();
        auto sm = flowTableMgrSmBaseFactory("ip", FtId(1), h.hw->ftConfig("t1"), h.exporter,
                                            first->scheduler(), "sys", first->counters());
        sm->updateCounters(FtId(1), TemplateId(7), 10, 2, 1);
        EXPECT_EQ(groups(*first->counters()).size(), 1u);
    }
    auto mgr = h.manager();
    EXPECT_TRUE(mgr->configured.empty()) << "attaching in the constructor runs no handler";
    mgr->doInitSm();
    EXPECT_EQ(mgr->counters()->name(), countersName);
    EXPECT_TRUE(groups(*mgr->counters()).empty()) << "a previous run's counters are gone";
    EXPECT_EQ(total(*mgr->counters()), FlowEntry());
    EXPECT_EQ(mgr->configured, (std::vector<std::string>{"t1", "t2"}));

    // Later: an added tracker, a changed field and a removal are one call each; a notification
    // without a key and setting the values a tracker has are none.
    h.hw->ftConfigIs("t3", FtId(3), 1000, 2000);
    h.hw->ftConfigIs("t1", FtId(1), 30000, 5000);
    h.hw->ftConfigIs("t2", FtId(2), 30000, 60000);
    h.hw->notifieeList()->visit(HwFlowTracking::Config::ftConfigAttribute);
    h.hw->ftConfigDel("t2");
    EXPECT_EQ(mgr->configured, (std::vector<std::string>{"t1", "t2", "t3", "t1", "t2"}));
    EXPECT_EQ(h.traced("FlowTableMgrThreadBase::doInitSm"), 2u);
}

// On the agent's main loop there is no thread of the manager's own: start runs on the caller
// with the main thread's scheduler, and the join ends the manager there.
TEST(FlowTableMgr, OnTheMainLoopStartAndEndRunOnTheCallerWithTheMainScheduler) {
    Harness h;
    Kiln::Ptr<Loom::EventLoop> mainLoop = new Loom::EventLoop;
    mainLoop->useKilnEventLoopIs(true);
    auto mgr = Kiln::factoryNew<RecordingMgr>(
        FlowTableMgrThreadBase::allocTrackTypeInfo, Kiln::Name("mgr"), mainLoop, "ip",
        new Loom::EventLoopHeartBeatCtx("mgr"), mainLoop->scheduler(), h.input, h.exporter, h.hw,
        h.ft, h.req, "sys");
    mgr->threadStart();
    EXPECT_TRUE(mgr->initializeDone());
    EXPECT_EQ(mgr->scheduler(), mainLoop->scheduler());
    EXPECT_EQ(mainLoop->hbCtx(), nullptr) << "the main loop keeps its own heart beat";
    ASSERT_TRUE(h.input->push(packet(1, 1)));
    mainLoop->runUntilIdle();
    EXPECT_EQ(mgr->handed, std::vector<std::uint64_t>{1});
    mgr->threadJoin();
    EXPECT_TRUE(mgr->deleted);
}

// One run hands over what the yield rule allows; the yield check follows each descriptor, so a
// run makes progress even when it must yield at once. Packets of a tracker without a state
// machine and descriptors that are not packets are dropped (the latter counted apart) and the
// drain goes on past them.
TEST(FlowTableMgr, InputRunsFollowTheYieldRuleAndDropWhatNoStateMachineTakes) {
    struct Case {
        Loom::TaskScheduler::YieldRule rule;
        std::vector<int> queued;  // tracker numbers; 0: a descriptor that is not a packet
        std::vector<std::size_t> handedPerRun;
        std::uint64_t dropped;
        std::size_t notAvailable;
    };
    const Case cases[] = {
        {Loom::TaskScheduler::YieldRule::never, {1, 1, 1}, {3}, 0, 0},
        {Loom::TaskScheduler::YieldRule::always, {1, 1, 1}, {1, 1, 1, 0}, 0, 0},
        {Loom::TaskScheduler::YieldRule::never, {1, 0, 1, 9, 1}, {3}, 1, 1},
        {Loom::TaskScheduler::YieldRule::always, {0, 1}, {0, 1, 0}, 1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << (&c - cases));
        Harness h;
        auto mgr = h.manager();
        mgr->absent = {9};
        mgr->doInitSm();
        h.loop->runUntilIdle();
        h.traces.clear();
        h.loop->scheduler()->yieldRuleIs(c.rule);
        std::uint64_t seq = 0;
        for (int t : c.queued) {
            Kiln::Ptr<Loom::CrossThreadDesc> d =
                t ? Kiln::Ptr<Loom::CrossThreadDesc>(packet(t, ++seq)) : new OtherDesc;
            ASSERT_TRUE(h.input->push(std::move(d)));
        }
        // Packets handed over in each pass that ran something: a yielding run asks for the
        // next one, and the run that finds the queue empty asks for none.
        std::vector<std::size_t> handedPerRun;
        for (int pass = 0; pass < 10; ++pass) {
            const std::size_t before = mgr->handed.size();
            if (h.loop->runOnce() == 0) break;
            handedPerRun.push_back(mgr->handed.size() - before);
        }
        EXPECT_EQ(handedPerRun, c.handedPerRun);
        EXPECT_EQ(mgr->droppedDescriptors(), c.dropped);
        EXPECT_EQ(mgr->task()->taskWorkCount(),
                  c.queued.size() - std::count(c.queued.begin(), c.queued.end(), 0))
            << "packets count as work, also those without a state machine; others do not";
        EXPECT_EQ(h.traced("flowTableMgrSm is not available for ftId: 9"), c.notAvailable);
        EXPECT_EQ(Flashlog::ring().contains("flowTableMgrSm is not available for ftId: 9"),
                  c.notAvailable > 0);
        EXPECT_FALSE(mgr->task()->taskScheduled()) << "an empty queue ends the runs";
    }
}

// Installing what is installed changes nothing; a new task reads the queue once, a new event
// schedules the task once, and the replaced reactors call nothing any more.
TEST(FlowTableMgr, ReinstallingTheTaskOrTheEventChangesNothingAndANewOneActsOnce) {
    Harness h;
    auto mgr = h.manager();
    mgr->doInitSm();
    h.loop->runUntilIdle();
    const Kiln::Ptr<Loom::Task> task = mgr->task();
    h.traces.clear();
    EXPECT_EQ(mgr->taskIs(h.loop->scheduler(), Loom::TaskPriority(0), "taskFtInputReq"), task);
    mgr->ftInputQueueEventIs(h.input->fifoEvent());
    EXPECT_EQ(h.traced("FlowTableMgrThreadBase::doReadFtInputQueue"), 0u);
    EXPECT_FALSE(task->taskScheduled());

    const auto renamed = mgr->taskIs(h.loop->scheduler(), Loom::TaskPriority(0), "other");
    EXPECT_NE(renamed, task);
    EXPECT_EQ(h.traced("FlowTableMgrThreadBase::doReadFtInputQueue"), 1u);
    task->scheduleTask();  // the old task's run reaches nobody
    Kiln::Ptr<Loom::FifoEvent> other = new Loom::FifoEvent;
    mgr->ftInputQueueEventIs(other);
    EXPECT_TRUE(renamed->taskScheduled());
    h.input->fifoEvent()->signal();  // no longer watched
    h.loop->runUntilIdle();
    EXPECT_EQ(h.traced("FlowTableMgrThreadBase::doReadFtInputQueue"), 2u);
}

TEST(FlowTableMgr, UpdateCountersAddsToTheGroupAndTheOverallCounter) {
    Harness h;
    auto mgr = h.manager();
    mgr->doInitSm();
    auto sm = flowTableMgrSmBaseFactory("ip", FtId(1), nullptr, h.exporter, mgr->scheduler(), "sys",
                                        mgr->counters());
    sm->updateCounters(FtId(1), TemplateId(7), 10, 2, 1);
    sm->updateCounters(FtId(1), TemplateId(7), 10, 2, 1);
    sm->updateCounters(FtId(2), TemplateId(7), 5, 1, 0);
    const auto g = groups(*mgr->counters());
    EXPECT_EQ(g.at("1/7"), FlowEntry(4, 2, 20, 0));
    EXPECT_EQ(g.at("2/7"), FlowEntry(1, 0, 5, 0));
    EXPECT_EQ(total(*mgr->counters()), FlowEntry(5, 2, 25, 0));
}

// A clear removes the named tracker's groups (or every tracker's), leaves one clear-time entry
// per cleared tracker, keeps clear-time entries it meets, and resets the overall counter only
// when it clears every tracker.
TEST(FlowTableMgr, ClearRequestsRemoveGroupsAndLeaveClearTimeEntries) {
    constexpr Kiln::Seconds earlier = 1'600'000'000.0;
    constexpr Kiln::Seconds now = 1'700'000'000.0;  // the harness's manual wall clock
    const FlowEntry counted(3, 1, 30, 0);
    struct Case {
        const char* tracker;
        Kiln::Seconds requestTime;
        std::map<std::string, FlowEntry> after;
        FlowEntry overallAfter;
        const char* traced;
    };
    const std::map<std::string, FlowEntry> before = {{"1/7", counted},
                                                     {"1/8", counted},
                                                     {"2/7", counted},
                                                     {"3/65535", FlowEntry(0, 0, 0, earlier)}};
    const FlowEntry overall(9, 3, 90, 0);
    const Case cases[] = {
        {"t1",
         now,
         {{"1/65535", FlowEntry(0, 0, 0, now)},
          {"2/7", counted},
          {"3/65535", before.at("3/65535")}},
         overall,
         "FlowTableMgrThreadBase::clearCounters did not match  ftId: 2, fgId: 7"},
        {"",
         now,
         {{"1/65535", FlowEntry(0, 0, 0, now)},
          {"2/65535", FlowEntry(0, 0, 0, now)},
          {"3/65535", before.at("3/65535")}},
         FlowEntry(0, 0, 0, now),
         "FlowTableMgrThreadBase::clearCounters skip 'clear time' entry  ftId: 3, fgId: 65535"},
        {"t3", now, before, overall, "FlowTableMgrThreadBase::clearCounters tracker t3"},
        {"t1", 0, before, overall,
         "FlowTableMgrThreadBase::clearCounters clear counters requestTime is zero"},
        {"nope", now, before, overall,
         "FlowTableMgrThreadBase::clearCounters tracker nope not found."},
        {"zero", now, before, overall,
         "FlowTableMgrThreadBase::clearCounters tracker zero not found."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << (&c - cases));
        Harness h;
        h.hw->ftConfigIs("t1", FtId(1), 1, 1);
        h.hw->ftConfigIs("t3", FtId(3), 1, 1);
        h.hw->ftConfigIs("zero", FtId(0), 1, 1);
        auto mgr = h.manager();
        mgr->doInitSm();
        auto& counters = *mgr->counters();
        for (const auto& [key, entry] : before) {
            const auto slash = key.find('/');
            counters.flowGroupCounterIs(FlowGroupCounterEntry(
                FlowGroupCounterKey(FtId(std::stoul(key.substr(0, slash))),
                                    TemplateId(std::stoul(key.substr(slash + 1)))),
                entry));
        }
        counters.flowsCounterIs(Hoard::FlowTracker::FlowCounterEntry(FlowCounterKey(0), overall));
        h.clearRequest(c.tracker, c.requestTime);
        EXPECT_EQ(groups(counters), c.after);
        EXPECT_EQ(total(counters), c.overallAfter);
        EXPECT_EQ(h.traced(c.traced), 1u);
    }
}

// Corruption met while walking the groups is reported to that table and ends the walk; the
// overall counter is still reset.
TEST(FlowTableMgr, ClearThatMeetsCorruptionStopsTheWalkAndStillResetsTheOverallCounter) {
    Harness h;
    auto mgr = h.manager();
    mgr->doInitSm();
    auto& counters = *mgr->counters();
    for (std::uint16_t fg = 1; fg <= 8; ++fg) {
        counters.flowGroupCounterIs(FlowGroupCounterEntry(
            FlowGroupCounterKey(FtId(1), TemplateId(fg)), FlowEntry(1, 1, 1, 0)));
    }
    TestSupport::breakEveryBucket(h.shm.path() + "/" + countersName + "/flowGroupCounter/buckets");
    ASSERT_FALSE(::testing::Test::HasFailure());
    const std::uint64_t before = counters.flowGroupCounter().corruptions();
    h.clearRequest("", 1'700'000'000.0);
    EXPECT_EQ(counters.flowGroupCounter().corruptions(), before + 1);
    EXPECT_EQ(total(counters), FlowEntry(0, 0, 0, 1'700'000'000.0));
}

// A state machine that keeps its scan times per (kind, template) and records its timer steps.
class ScanningSm : public FlowTableMgrSmBase {
  public:
    using FlowTableMgrSmBase::FlowTableMgrSmBase;
    using Slot = std::pair<bool, int>;
    std::map<Slot, Kiln::Seconds> maxScan, lastScan, scanStart;
    std::vector<std::string> steps;

    Kiln::Seconds maxScanDuration(bool a, TemplateId t) const override {
        const auto it = maxScan.find({a, t.value()});
        return it == maxScan.end() ? 0 : it->second;
    }
    void updateMaxScanDuration(bool a, TemplateId t, const Kiln::Seconds& s) override {
        maxScan[{a, t.value()}] = s;
    }
    void updateLastScanDuration(bool a, TemplateId t, const Kiln::Seconds& s) override {
        lastScan[{a, t.value()}] = s;
    }
    Kiln::Seconds currScanStartTime(bool a, TemplateId t) const override {
        return scanStart.at({a, t.value()});
    }
    void updateCurrScanStartTime(bool a, TemplateId t, const Kiln::Seconds& s) override {
        scanStart[{a, t.value()}] = s;
    }
    void handleActiveTimer() override { steps.push_back("active"); }
    void handleInactiveTimer() override { steps.push_back("inactive"); }
    void handleIp6ActiveTimer() override { steps.push_back("ip6Active"); }
    void handleIp6InactiveTimer() override { steps.push_back("ip6Inactive"); }
};

Kiln::Ptr<ScanningSm> scanningSm(Harness& h) {
    h.hw->ftConfigIs("t1", FtId(1), 30000, 60000);
    return Kiln::factoryNew<ScanningSm>(FlowTableMgrSmBase::allocTrackTypeInfo, "ip", FtId(1),
                                        h.hw->ftConfig("t1"), h.exporter, h.loop->scheduler(),
                                        "sys", nullptr);
}

// The delay before the next scan is the period minus the finished scan's duration, never below
// 0; the duration is recorded as the last one, as the longest one when it is, and the scan is
// marked as not running.
TEST(FlowTableMgrSm, ComputeTimeDelayIsThePeriodLeftAfterTheScan) {
    struct Case {
        bool active;
        Kiln::Seconds startedAgo;  // negative: the wall clock was stepped back since
        Kiln::Seconds previousMax;
        Kiln::Seconds delay, last, max;
    };
    const Case cases[] = {
        {true, 15, 20, 45, 15, 20}, {true, 70, 20, 0, 70, 70}, {true, 60, 0, 0, 60, 60},
        {false, 10, 0, 20, 10, 10}, {true, -5, 20, 60, 0, 20},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << (&c - cases));
        Harness h;
        auto sm = scanningSm(h);
        const Kiln::Seconds now = Kiln::System::currentTime();
        sm->scanStart[{c.active, 3}] = now - c.startedAgo;
        sm->maxScan[{c.active, 3}] = c.previousMax;
        EXPECT_DOUBLE_EQ(sm->computeTimeDelay(c.active, TemplateId(3)), c.delay);
        EXPECT_DOUBLE_EQ((sm->lastScan[{c.active, 3}]), c.last);
        EXPECT_DOUBLE_EQ((sm->maxScan[{c.active, 3}]), c.max);
        EXPECT_EQ((sm->scanStart[{c.active, 3}]), std::numeric_limits<double>::infinity());
    }
}

// A new timer runs its step at once; the same timer again does not. A period's change re-arms
// that period's two timers with the full period once the machine is initialized, and the armed
// timers fire their steps when the clock gets there.
TEST(FlowTableMgrSm, TimersStartAtOnceAndConfigurationChangesReArmThemOnceInitialized) {
    Harness h;
    auto sm = scanningSm(h);
    const auto scheduler = h.loop->scheduler();
    const auto active = sm->activeTimerTaskIs(scheduler, Loom::TaskPriority(1), "active");
    sm->inactiveTimerTaskIs(scheduler, Loom::TaskPriority(1), "inactive");
    sm->ip6ActiveTimerTaskIs(scheduler, Loom::TaskPriority(1), "ip6Active");
    sm->ip6InactiveTimerTaskIs(scheduler, Loom::TaskPriority(1), "ip6Inactive");
    EXPECT_EQ(sm->activeTimerTaskIs(scheduler, Loom::TaskPriority(1), "active"), active);
    EXPECT_EQ(sm->steps,
              (std::vector<std::string>{"active", "inactive", "ip6Active", "ip6Inactive"}));

    auto armed = [&] {
        std::vector<double> due;
        for (const auto& t : {sm->activeTimerTask(), sm->inactiveTimerTask(),
                              sm->ip6ActiveTimerTask(), sm->ip6InactiveTimerTask()}) {
            Kiln::Seconds d = -1;
            due.push_back(t->firingDue(&d) ? d - Kiln::System::monotonicTime() : -1);
        }
        return due;
    };
    h.hw->ftConfigIs("t1", FtId(1), 30000, 10000);
    EXPECT_EQ(armed(), (std::vector<double>{-1, -1, -1, -1})) << "not initialized yet";
    sm->initializedIs(true);
    h.hw->ftConfigIs("t1", FtId(1), 30000, 20000);
    EXPECT_EQ(armed(), (std::vector<double>{20, -1, 20, -1}));
    h.hw->ftConfigIs("t1", FtId(1), 40000, 20000);
    EXPECT_EQ(armed(), (std::vector<double>{20, 40, 20, 40}));

    sm->steps.clear();
    h.clock.advance(20);
    h.loop->runUntilIdle();
    EXPECT_EQ(sm->steps, (std::vector<std::string>{"active", "ip6Active"}));
    h.clock.advance(20);
    h.loop->runUntilIdle();
    EXPECT_EQ(sm->steps,
              (std::vector<std::string>{"active", "ip6Active", "inactive", "ip6Inactive"}));

    const auto renamed = sm->activeTimerTaskIs(scheduler, Loom::TaskPriority(1), "renamed");
    EXPECT_NE(renamed, active);
    EXPECT_EQ(sm->steps.back(), "active");
    active->scheduleTaskLowestDelay(0);  // the replaced timer reaches nobody
    sm->steps.clear();
    h.loop->runUntilIdle();
    EXPECT_TRUE(sm->steps.empty());
}

// Each hook a derived class must provide stops the process, naming itself.
TEST(FlowTableMgrDeathTest, HooksThatAreNotOverriddenAbort) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::pair<const char*, std::function<void(Harness&)>> hooks[] = {
        {"FlowTableMgrThreadBase::countersPath",
         [](Harness& h) {
             flowTableMgrThreadBaseFactory("m", h.loop, "ip", nullptr, h.loop->scheduler(), h.input,
                                           h.exporter, h.hw, h.ft, h.req, "sys")
                 ->doInitSm();
         }},
        {"FlowTableMgrThreadBase::doDelSm",
         [](Harness& h) { h.manager<TestFlowTableMgrThread>()->doDelSm(); }},
        {"FlowTableMgrThreadBase::updateflowTableSmFlowEntry",
         [](Harness& h) {
             flowTableMgrThreadBaseFactory("m", h.loop, "ip", nullptr, h.loop->scheduler(), h.input,
                                           h.exporter, h.hw, h.ft, h.req, "sys")
                 ->updateflowTableSmFlowEntry(packet(1));
         }},
        {"FlowTableMgrSm::handleActiveTimer",
         [](Harness& h) {
             flowTableMgrSmBaseFactory("ip", FtId(1), nullptr, h.exporter, h.loop->scheduler(),
                                       "sys", nullptr)
                 ->activeTimerTaskIs(h.loop->scheduler(), Loom::TaskPriority(0), "a");
         }},
        {"FlowTableMgrSmBase::currScanStartTime",
         [](Harness& h) {
             h.hw->ftConfigIs("t1", FtId(1), 1, 1);
             flowTableMgrSmBaseFactory("ip", FtId(1), h.hw->ftConfig("t1"), h.exporter,
                                       h.loop->scheduler(), "sys", nullptr)
                 ->computeTimeDelay(true, TemplateId(1));
         }},
        {"FlowTableMgrSmBase::updateFlowEntry",
         [](Harness& h) {
             flowTableMgrSmBaseFactory("ip", FtId(1), nullptr, h.exporter, h.loop->scheduler(),
                                       "sys", nullptr)
                 ->updateFlowEntry(packet(1));
         }},
    };
    for (const auto& [name, call] : hooks) {
        SCOPED_TRACE(name);
        EXPECT_DEATH(
            {
                Harness h;
                call(h);
            },
            std::string(name) + "(.|\n)*0 && \"Implement in derived class\"");
    }
}

// On a real event-loop thread: a producer thread pushes a million packets, retrying when the
// queue is full; each reaches the manager exactly once and in order, the thread's end reaches
// doDelSm, and no packet outlives its hand-over.
TEST(FlowTableMgrEndToEnd, AMillionPacketsArriveOnceInOrderAndNoneLeaks) {
    constexpr std::uint64_t packets = 1'000'000;
    const bool wasThreadSafe = Kiln::VFPtrInterface::threadSafePointers();
    Kiln::VFPtrInterface::threadSafePointersIs(true);
    TestSupport::ShmRoot shm;
    const std::int64_t liveBefore = PacketInfo::kilnAllocTrackTypeInfo_.live();
    std::uint64_t fullPushes = 0;
    {
        Kiln::Ptr<Loom::EventLoop> loop = new Loom::EventLoop;
        Kiln::Ptr<Loom::EventSpscQueue> input = new Loom::EventSpscQueue(1024);
        auto hw = Kiln::Ptr<HwFlowTracking::Config>(new HwFlowTracking::Config(Kiln::Name("hw")));
        auto mgr = Kiln::factoryNew<RecordingMgr>(FlowTableMgrThreadBase::allocTrackTypeInfo,
                                                  Kiln::Name("mgr"), loop, "ip",
                                                  new Loom::EventLoopHeartBeatCtx("mgr"), nullptr,
                                                  input, nullptr, hw, nullptr, nullptr, "sys");
        mgr->handed.reserve(packets);
        mgr->target = packets;
        const std::future<void> reached = mgr->reached.get_future();
        mgr->threadStart();
        ASSERT_TRUE(mgr->waitInitializeDone(60));
        std::thread producer([&] {
            for (std::uint64_t seq = 1; seq <= packets; ++seq) {
                Kiln::Ptr<Loom::CrossThreadDesc> d = packet(1, seq);
                while (!input->push(std::move(d))) {
                    ++fullPushes;
                    std::this_thread::yield();
                }
            }
        });
        producer.join();
        EXPECT_EQ(reached.wait_for(std::chrono::seconds(120)), std::future_status::ready);
        mgr->threadStop();
        mgr->threadJoin();
        EXPECT_TRUE(mgr->deleted);
        ASSERT_EQ(mgr->handed.size(), packets);
        for (std::uint64_t i = 0; i < packets; ++i) {
            if (mgr->handed[i] != i + 1) {
                ADD_FAILURE() << "packet " << i + 1 << " arrived as number " << mgr->handed[i];
                break;
            }
        }
        EXPECT_GT(mgr->task()->taskRuns(), 1u);
        EXPECT_GT(loop->hbCtx()->beats(), 0u);
    }
    EXPECT_EQ(PacketInfo::kilnAllocTrackTypeInfo_.live(), liveBefore);
    RecordProperty("fullPushes", std::to_string(fullPushes));
    Kiln::VFPtrInterface::threadSafePointersIs(wasThreadSafe);
}

}  // namespace
