#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "contracts/Kiln/Ptr.h"
#include "contracts/Kiln/System.h"
#include "contracts/Loom/EventLoopHeartBeatCtx.h"
#include "contracts/Loom/FifoEvent.h"

namespace Loom {

class TaskSchedulerRoot;

// A single-threaded event loop: an epoll set of watched file descriptors, an eventfd that
// wakes it, timers ordered by due time on the monotonic clock (Kiln::System::monotonicTime(),
// so a test's ManualClock drives them), and the task scheduler whose ready tasks it runs.
//
// One pass (runOnce) waits once in epoll, runs the readable watches' handlers, the posted
// functions, the timers that are due, and then the tasks that were ready when the task phase
// began. With a heart-beat context set, each pass stamps it with the monotonic time once its
// wait ended. A test drives the loop without a thread: advance the manual clock, call runOnce() or
// runUntilIdle(), and the timers now due fire; nothing ever sleeps to wait for time.
//
// Thread safety: the loop belongs to the thread that runs it (the "loop thread"). post(),
// stop() and wake() may be called from any thread; everything else from the loop thread only.
// Handlers, timers and tasks run on the loop thread, one at a time.
//
// Ownership: counted (Kiln::Ptr), or on the stack in tests. The loop owns its epoll set, its
// timers and posted functions, and holds its root scheduler counted. Its destructor detaches
// the scheduler and ends the watches of the FifoEvents that watch it, so schedulers, tasks and
// events may outlive it.
class EventLoop : public Kiln::PtrInterface {
  public:
    using TimerId = std::uint64_t;

    EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;
    ~EventLoop() override;

    // One pass. Waits in epoll up to `maxWait` seconds (0: not at all), less when a timer is
    // due sooner and not at all when a posted function or a ready task is pending. Returns the
    // number of handlers, posted functions, timers and task runs it ran.
    std::size_t runOnce(Kiln::Seconds maxWait = 0);
    // Passes without waiting until one runs nothing. Returns the total run. A task that
    // schedules itself on every run keeps the loop busy: use runOnce() to drive it.
    std::size_t runUntilIdle();

    // Serves the loop on the calling thread until stop(); it then becomes the thread's loop
    // for TaskSchedulerRoot::findOrCreateScheduler(). With a manual clock installed, a serving
    // loop notices an advance only when something wakes it (post() or wake()).
    void run();
    // Makes run() return after its current pass; a stop() before run() makes run() return at
    // once. The request is consumed by the run() it ends.
    void stop();
    // Ends the current (or next) epoll wait at once.
    void wake();
    // Runs `fn` on the loop thread during a later pass, in post order; wakes the loop.
    void post(std::function<void()> fn);

    // Calls `onReadable` in each pass in which `fd` is readable (level-triggered) until
    // unwatchFd(fd). The fd stays owned by the caller and must outlive the watch.
    void watchFd(int fd, std::function<void()> onReadable);
    void unwatchFd(int fd);

    // Runs `fn` once in the first pass at or after monotonic time `due`. Timers due at the same
    // time fire in the order they were added.
    TimerId timerNew(Kiln::Seconds due, std::function<void()> fn);
    // Cancels a pending timer; a timer that fired or was cancelled is ignored.
    void timerDel(TimerId id);
    // The due time of the earliest pending timer, if any.
    bool nextTimerDue(Kiln::Seconds* due) const;

    const Kiln::Ptr<TaskSchedulerRoot>& scheduler() const { return scheduler_; }

    // The loop bound to the calling thread (by run() or a ThreadBinding), or null. Unlike
    // TaskSchedulerRoot::findOrCreateScheduler() it never creates one: a caller that gets a loop
    // may expect it to be served.
    static EventLoop* threadLoop();

    const Kiln::Ptr<EventLoopHeartBeatCtx>& hbCtx() const { return hbCtx_; }
    void hbCtxIs(const Kiln::Ptr<EventLoopHeartBeatCtx>& ctx) { hbCtx_ = ctx; }

    // True for the runtime's main loop, served by the agent's main thread: an EventLoopThread
    // over it starts no thread of its own (see EventLoopThread).
    bool useKilnEventLoop() const { return useKilnEventLoop_; }
    void useKilnEventLoopIs(bool on) { useKilnEventLoop_ = on; }

    // While it lives, the calling thread's loop for TaskSchedulerRoot::findOrCreateScheduler()
    // is `loop`; the previous one is restored after. run() holds one; so does EventLoopThread
    // around its thread's whole life, so tasks created in doInitSm() land on the served loop.
    class ThreadBinding {
      public:
        explicit ThreadBinding(EventLoop* loop);
        ~ThreadBinding();
        ThreadBinding(const ThreadBinding&) = delete;
        ThreadBinding& operator=(const ThreadBinding&) = delete;

      private:
        EventLoop* const outer_;
    };

  private:
    friend class FifoEvent;

    std::size_t runPosted();
    std::size_t runDueTimers();

    FifoEvent wake_;  // wake(): ends an epoll wait
    int epollFd_ = -1;
    std::unordered_map<int, std::shared_ptr<std::function<void()>>> watches_;

    std::map<TimerId, std::pair<Kiln::Seconds, std::function<void()>>> timers_;
    std::set<std::pair<Kiln::Seconds, TimerId>> timerOrder_;  // (due, id): earliest first
    TimerId nextTimerId_ = 1;

    std::mutex postMutex_;  // guards posted_: post() runs on any thread
    std::vector<std::function<void()>> posted_;
    // Set by post() after queueing (release; partner: the acquire exchange in runPosted), so
    // runOnce() does not block while a posted function waits.
    std::atomic<bool> postPending_{false};
    std::atomic<bool> stopRequested_{false};

    Kiln::Ptr<TaskSchedulerRoot> scheduler_;
    Kiln::Ptr<EventLoopHeartBeatCtx> hbCtx_;
    bool useKilnEventLoop_ = false;
    // The events watching this loop (FifoEvent::eventLoopIs), told when the loop goes.
    std::unordered_set<FifoEvent*> fifoEvents_;
};

}  // namespace Loom
