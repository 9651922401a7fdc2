#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "contracts/Kiln/AttributeWatcher.h"
#include "contracts/Loom/EventLoop.h"
#include "contracts/Loom/Task.h"
#include "tests/support/ManualClockGuard.h"

namespace {

using Loom::EventLoop;
using Loom::FifoEvent;
using Loom::Task;
using Loom::TaskPriority;
using Loom::TaskScheduler;
using Loom::TimerTask;
using TestSupport::ManualClockGuard;

using Watcher = Kiln::AttributeWatcher;

template <typename T>
Kiln::Ptr<T> watched(Kiln::Ptr<T> task, std::function<void()> onRun) {
    Kiln::Ptr<Watcher> w = new Watcher(task.ptr(), Task::runAttribute, std::move(onRun));
    return task;
}

TEST(LoomTimerTask, LowestDelayWins) {
    struct Case {
        const char* name;
        std::vector<double> delays;  // scheduleTaskLowestDelay calls, all at time 0
        double fireAt;
    };
    const Case cases[] = {
        {"single", {2.0}, 2.0},
        {"sooner request moves the firing earlier", {2.0, 1.0}, 1.0},
        {"later request leaves the firing alone", {1.0, 2.0}, 1.0},
        {"equal requests fire once", {1.5, 1.5, 1.5}, 1.5},
        {"zero delay fires on the next pass", {3.0, 0.0}, 0.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ManualClockGuard clock;
        EventLoop loop;
        int runs = 0;
        auto task =
            watched(Kiln::Ptr<TimerTask>(new TimerTask(loop.scheduler(), TaskPriority(1), "t")),
                    [&] { ++runs; });
        for (double d : c.delays) task->scheduleTaskLowestDelay(d);
        if (c.fireAt > 0) {
            clock.advance(c.fireAt - 0.001);
            loop.runUntilIdle();
            EXPECT_EQ(runs, 0);
            clock.advance(0.001);
        }
        loop.runUntilIdle();
        EXPECT_EQ(runs, 1);
        clock.advance(10);  // no second firing is left behind by the superseded requests
        loop.runUntilIdle();
        EXPECT_EQ(runs, 1);
        double due = 0;
        EXPECT_FALSE(task->firingDue(&due));
    }
}

TEST(LoomEventLoop, TimersFireInDueOrderThenAddOrderAndAddedOnesWaitAPass) {
    ManualClockGuard clock;
    EventLoop loop;
    const double start = Kiln::System::monotonicTime();
    std::string order;
    const std::pair<char, double> timers[] = {{'a', 3}, {'b', 1}, {'c', 2}, {'d', 1}, {'e', 9}};
    for (auto [name, delay] : timers) {
        loop.timerNew(start + delay, [&order, name = name] { order += name; });
    }
    const EventLoop::TimerId cancelled = loop.timerNew(start + 1, [&] { order += 'x'; });
    loop.timerDel(cancelled);
    loop.timerNew(start + 1, [&] { loop.timerNew(0, [&] { order += 'z'; }); });  // due at once
    clock.advance(5);
    EXPECT_EQ(loop.runOnce(), 5u);
    EXPECT_EQ(order, "bdca");
    EXPECT_EQ(loop.runOnce(), 1u);
    EXPECT_EQ(order, "bdcaz");
    double due = 0;
    ASSERT_TRUE(loop.nextTimerDue(&due));
    EXPECT_EQ(due, start + 9);
}

TEST(LoomTask, RunsMergeRequestsFollowPriorityAndRequeueForALaterPass) {
    EventLoop loop;
    std::string order;
    std::vector<Kiln::Ptr<Task>> tasks;
    for (auto [prio, name] : {std::pair{1u, 'l'}, {7u, 'H'}, {1u, 'm'}}) {
        tasks.push_back(watched(
            Kiln::Ptr<Task>(new Task(loop.scheduler(), TaskPriority(prio), std::string(1, name))),
            [&order, name = name] { order += name; }));
    }
    const Kiln::Ptr<Task>&low1 = tasks[0], &high = tasks[1], &low2 = tasks[2];
    EXPECT_EQ(high->taskName(), "H");
    EXPECT_EQ(high->taskPriority(), TaskPriority(7));
    EXPECT_EQ(high->taskScheduler(), loop.scheduler());
    watched(high, [&] {
        if (order.size() == 1) high->scheduleTask();  // during its first run
    });

    low1->scheduleTask();
    low1->scheduleTask();  // merges with the pending request
    high->scheduleTask();
    low2->scheduleTask();
    EXPECT_EQ(loop.runOnce(), 3u);  // the new request waits: timers and watches are not starved
    EXPECT_EQ(order, "Hlm");
    EXPECT_TRUE(high->taskScheduled());
    loop.runUntilIdle();
    EXPECT_EQ(order, "HlmH");
    EXPECT_FALSE(high->taskScheduled());
}

TEST(LoomTask, YieldRule) {
    using Rule = TaskScheduler::YieldRule;
    struct Case {
        Rule rule;
        double elapsed;
        bool yield;
    };
    const Case cases[] = {
        {Rule::timeSlice, 0.0, false},  {Rule::timeSlice, 0.0049, false},
        {Rule::timeSlice, 0.005, true}, {Rule::timeSlice, 1.0, true},
        {Rule::always, 0.0, true},      {Rule::never, 1.0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "rule " << int(c.rule) << " elapsed " << c.elapsed);
        ManualClockGuard clock;
        EventLoop loop;
        loop.scheduler()->yieldRuleIs(c.rule);
        Kiln::Ptr<Task> task = new Task(loop.scheduler(), TaskPriority(1), "slice");
        int runs = 0;
        watched(task, [&] {
            ++runs;
            clock.advance(c.elapsed);
            task->taskWorkCountInc(2);
            EXPECT_EQ(task->taskShouldYield(), c.yield);
        });
        EXPECT_FALSE(task->taskShouldYield());  // not running
        task->scheduleTask();
        loop.runUntilIdle();
        EXPECT_EQ(runs, 1);
        EXPECT_EQ(task->taskWorkCount(), 2u);
        EXPECT_FALSE(task->taskShouldYield());
    }
}

TEST(LoomEventLoop, HeartBeatStampedOncePerPass) {
    ManualClockGuard clock;
    EventLoop loop;
    Kiln::Ptr<Loom::EventLoopHeartBeatCtx> hb = new Loom::EventLoopHeartBeatCtx("main");
    EXPECT_FALSE(hb->stalled(1e9, 1));  // never beat: starting, not stalled
    loop.hbCtxIs(hb);
    EXPECT_EQ(loop.hbCtx(), hb);
    loop.runOnce();
    EXPECT_EQ(hb->beats(), 1u);
    EXPECT_EQ(hb->lastBeat(), Kiln::System::monotonicTime());
    clock.advance(5);
    EXPECT_TRUE(hb->stalled(Kiln::System::monotonicTime(), 4.9));
    EXPECT_FALSE(hb->stalled(Kiln::System::monotonicTime(), 5));
    loop.runUntilIdle();  // one pass that runs nothing
    EXPECT_EQ(hb->beats(), 2u);
    EXPECT_FALSE(hb->stalled(Kiln::System::monotonicTime(), 0));
}

TEST(LoomEventLoop, PostFromAnotherThreadWakesABlockedPass) {
    EventLoop loop;
    bool ran = false;
    std::thread poster([&] { loop.post([&] { ran = true; }); });
    // No timer and nothing ready: the pass sleeps in epoll until the eventfd wakes it. A lost
    // wake-up ends the wait only after 60 s, with nothing run.
    for (int pass = 0; pass < 3 && !ran; ++pass) loop.runOnce(60);  // 3: tolerate EINTR
    poster.join();
    EXPECT_TRUE(ran);
}

TEST(LoomFifoEvent, WatchClearsThenNotifiesOncePerReadablePass) {
    EventLoop loop;
    Kiln::Ptr<FifoEvent> ev = new FifoEvent;
    std::vector<std::uint64_t> countsSeen;
    Kiln::Ptr<Watcher> w = new Watcher(ev.ptr(), FifoEvent::readableCountAttribute, [&] {
        countsSeen.push_back(ev->readableCount());
        if (countsSeen.size() == 1) ev->signal();  // a producer landing after the clear
    });
    ev->eventLoopIs(&loop);
    EXPECT_EQ(ev->eventLoop(), &loop);
    EXPECT_EQ(loop.runOnce(), 0u);
    ev->signal();
    ev->signal();
    EXPECT_EQ(loop.runOnce(), 1u);
    EXPECT_EQ(countsSeen, std::vector<std::uint64_t>{0});  // cleared before the notification
    EXPECT_EQ(loop.runOnce(), 1u);                         // the late signal was not lost
    EXPECT_EQ(loop.runOnce(), 0u);
    EXPECT_EQ(countsSeen.size(), 2u);

    ev->eventLoopIs(nullptr);
    ev->signal();
    EXPECT_EQ(loop.runUntilIdle(), 0u);
    EXPECT_EQ(ev->readableCount(), 1u);
}

TEST(LoomEventLoop, TasksCancelFiringsAndOutliveTheLoopWithSchedulerAndEvents) {
    ManualClockGuard clock;
    Kiln::Ptr<EventLoop> loop = new EventLoop;
    Kiln::Ptr<TaskScheduler> scheduler = loop->scheduler();
    Kiln::Ptr<Task> ready = new Task(scheduler, TaskPriority(1), "ready");
    Kiln::Ptr<TimerTask> timer = new TimerTask(scheduler, TaskPriority(1), "timer");
    Kiln::Ptr<FifoEvent> ev = new FifoEvent;
    ev->eventLoopIs(loop.ptr());
    ready->scheduleTask();
    timer->scheduleTaskLowestDelay(1);
    EXPECT_EQ(ready->refCount(), 2u);  // the ready queue's reference
    Kiln::Ptr<TimerTask> gone = new TimerTask(scheduler, TaskPriority(1), "gone");
    gone->scheduleTaskLowestDelay(0.25);
    gone = nullptr;  // its firing goes with it
    clock.advance(0.5);
    EXPECT_EQ(loop->runUntilIdle(), 1u);  // `ready` only
    ready->scheduleTask();

    loop = nullptr;
    EXPECT_EQ(scheduler->eventLoop(), nullptr);
    EXPECT_EQ(scheduler->readyTasks(), 0u);
    EXPECT_EQ(ready->refCount(), 1u);
    EXPECT_EQ(ev->eventLoop(), nullptr);
    EXPECT_THROW(ready->scheduleTask(), Basalt::AssertException);
    EXPECT_THROW(timer->scheduleTaskLowestDelay(1), Basalt::AssertException);
    // Destroying them now touches nothing of the loop (AddressSanitizer checks).
}

}  // namespace
