#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "contracts/Loom/EventLoop.h"
#include "contracts/Loom/Task.h"
#include "tests/support/ManualClockGuard.h"

namespace {

using Loom::EventLoop;
using Loom::Task;
using Loom::TaskPriority;
using Loom::TaskScheduler;
using Loom::TimerTask;
using TestSupport::ManualClockGuard;

// Calls `onRun` for each run of the task it watches.
class RunWatcher : public Kiln::PtrInterface::NotifieeConst {
  public:
    explicit RunWatcher(Task* task, std::function<void()> onRun) : onRun_(std::move(onRun)) {
        hasNotificationActiveIs(true);
        notifierIs(task);
        isRegisteredNotifieeIs(true);
    }
    void onAttribute(Kiln::AttributeId id) override {
        if (id == Task::runAttribute) onRun_();
    }

  private:
    std::function<void()> onRun_;
};

template <typename T>
Kiln::Ptr<T> watched(Kiln::Ptr<T> task, std::function<void()> onRun) {
    Kiln::Ptr<RunWatcher> w = new RunWatcher(task.ptr(), std::move(onRun));
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
            watched(Kiln::Ptr<TimerTask>(new TimerTask(&loop.scheduler(), TaskPriority(1), "t")),
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

TEST(LoomTimerTask, DestroyedTaskNeverFires) {
    ManualClockGuard clock;
    EventLoop loop;
    {
        Kiln::Ptr<TimerTask> task = new TimerTask(&loop.scheduler(), TaskPriority(1), "gone");
        task->scheduleTaskLowestDelay(1);
    }
    clock.advance(2);
    EXPECT_EQ(loop.runUntilIdle(), 0u);
}

TEST(LoomEventLoop, TimersFireInDueOrderThenAddOrder) {
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
    clock.advance(5);
    loop.runOnce();
    EXPECT_EQ(order, "bdca");
    double due = 0;
    ASSERT_TRUE(loop.nextTimerDue(&due));
    EXPECT_EQ(due, start + 9);
}

TEST(LoomEventLoop, TimerAddedByDueTimerWaitsForNextPass) {
    ManualClockGuard clock;
    EventLoop loop;
    int inner = 0;
    loop.timerNew(0, [&] { loop.timerNew(0, [&] { ++inner; }); });
    EXPECT_EQ(loop.runOnce(), 1u);
    EXPECT_EQ(inner, 0);
    EXPECT_EQ(loop.runOnce(), 1u);
    EXPECT_EQ(inner, 1);
}

TEST(LoomTask, RunsMergeRequestsAndFollowPriority) {
    EventLoop loop;
    std::string order;
    auto make = [&](unsigned prio, char name) {
        return watched(
            Kiln::Ptr<Task>(new Task(&loop.scheduler(), TaskPriority(prio), std::string(1, name))),
            [&order, name] { order += name; });
    };
    auto low1 = make(1, 'l');
    auto high = make(7, 'H');
    auto low2 = make(1, 'm');
    EXPECT_EQ(high->taskName(), "H");
    EXPECT_EQ(high->taskPriority(), TaskPriority(7));
    EXPECT_EQ(high->taskScheduler(), &loop.scheduler());

    low1->scheduleTask();
    low1->scheduleTask();  // merges with the pending request
    high->scheduleTask();
    low2->scheduleTask();
    loop.runUntilIdle();
    EXPECT_EQ(order, "Hlm");
}

TEST(LoomTask, RequestDuringRunAsksForALaterPass) {
    EventLoop loop;
    Kiln::Ptr<Task> task = new Task(&loop.scheduler(), TaskPriority(1), "again");
    int runs = 0;
    watched(task, [&] {
        if (++runs < 3) task->scheduleTask();
    });
    task->scheduleTask();
    EXPECT_EQ(loop.runOnce(), 1u);  // one run per pass: timers and watches are not starved
    EXPECT_EQ(runs, 1);
    loop.runUntilIdle();
    EXPECT_EQ(runs, 3);
    EXPECT_FALSE(task->taskScheduled());
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
        loop.scheduler().yieldRuleIs(c.rule);
        Kiln::Ptr<Task> task = new Task(&loop.scheduler(), TaskPriority(1), "slice");
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

TEST(LoomEventLoop, ServingThreadOwnsItsScheduler) {
    TaskScheduler* mine = Loom::TaskSchedulerRoot::findOrCreateScheduler();
    EXPECT_EQ(Loom::TaskSchedulerRoot::findOrCreateScheduler(), mine);

    EventLoop loop;
    TaskScheduler* seenOnThread = nullptr;
    std::thread server([&] { loop.run(); });
    loop.post([&] {
        seenOnThread = Loom::TaskSchedulerRoot::findOrCreateScheduler();
        loop.stop();
    });
    server.join();
    EXPECT_EQ(seenOnThread, &loop.scheduler());
    EXPECT_NE(seenOnThread, mine);
}

TEST(LoomEventLoop, WatchRunsWhileFdReadable) {
    EventLoop loop;
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    int calls = 0;
    loop.watchFd(fds[0], [&] {
        char c;
        ASSERT_EQ(::read(fds[0], &c, 1), 1);
        ++calls;
    });
    EXPECT_EQ(loop.runOnce(), 0u);
    ASSERT_EQ(::write(fds[1], "ab", 2), 2);
    loop.runUntilIdle();  // level-triggered: one byte per pass until drained
    EXPECT_EQ(calls, 2);
    loop.unwatchFd(fds[0]);
    ASSERT_EQ(::write(fds[1], "c", 1), 1);
    EXPECT_EQ(loop.runUntilIdle(), 0u);
    ::close(fds[0]);
    ::close(fds[1]);
}

}  // namespace
