#pragma once

#include <compare>
#include <cstdint>
#include <deque>
#include <map>
#include <string>

#include "contracts/Kiln/Notifiee.h"
#include "contracts/Kiln/Ptr.h"
#include "contracts/Kiln/System.h"

namespace Loom {

class EventLoop;
class Task;

// The urgency of a task: of the ready tasks, those with the greater value run first.
struct TaskPriority {
    std::uint32_t value = 0;

    constexpr TaskPriority() = default;
    constexpr explicit TaskPriority(std::uint32_t v) : value(v) {}
    friend constexpr auto operator<=>(TaskPriority, TaskPriority) = default;
};

// The tasks of one event loop: the queue of tasks that asked for a run, and the time slice of
// the task that runs now. Held counted by its loop and by each of its tasks, so it may outlive
// the loop: the loop's destructor detaches it (eventLoop() becomes null, the ready queue is
// released), and a request for a run on a detached scheduler raises an assertion.
//
// Thread safety: the loop thread only.
class TaskScheduler : public Kiln::PtrInterface {
  public:
    // How taskShouldYield() answers: by the time slice, or always yes / always no (tests).
    enum class YieldRule { timeSlice, always, never };

    static constexpr Kiln::Seconds defaultTimeSlice = 0.005;

    TaskScheduler(const TaskScheduler&) = delete;
    TaskScheduler& operator=(const TaskScheduler&) = delete;

    // The loop that runs the tasks; null once the loop is gone.
    EventLoop* eventLoop() const { return loop_; }

    Kiln::Seconds timeSlice() const { return timeSlice_; }
    void timeSliceIs(Kiln::Seconds s) { timeSlice_ = s; }
    YieldRule yieldRule() const { return yieldRule_; }
    void yieldRuleIs(YieldRule r) { yieldRule_ = r; }

    std::size_t readyTasks() const { return ready_; }
    // The task whose run is in progress, or null.
    Task* runningTask() const { return running_; }

    // Runs the tasks that are ready now, greatest priority first and in request order within a
    // priority; tasks that become ready meanwhile wait for the next call. Returns the runs.
    std::size_t runReady();

  protected:
    explicit TaskScheduler(EventLoop* loop) : loop_(loop) {}

  private:
    friend class Task;
    friend class EventLoop;

    void readyIs(Task* task);
    bool shouldYield(const Task* task) const;
    // The loop is going: forget it and drop the ready tasks' references.
    void detach();

    // A queued run request; `seq` numbers the requests in the order they were made.
    struct Request {
        std::uint64_t seq;
        Kiln::Ptr<Task> task;
    };

    EventLoop* loop_;
    // Ready tasks by priority, greatest first; each queued task is held by a reference. No
    // queue is empty.
    std::map<TaskPriority, std::deque<Request>, std::greater<>> queues_;
    std::uint64_t nextRequest_ = 0;
    std::size_t ready_ = 0;
    Task* running_ = nullptr;
    Kiln::Seconds runStart_ = 0;
    Kiln::Seconds timeSlice_ = defaultTimeSlice;
    YieldRule yieldRule_ = YieldRule::timeSlice;
};

// The root scheduler of one EventLoop, created by the loop and held by it counted.
//
// Thread safety: as TaskScheduler.
class TaskSchedulerRoot : public TaskScheduler {
  public:
    // The scheduler of the loop this thread serves or is bound to (EventLoop::run(),
    // EventLoop::ThreadBinding); on a thread that has none, the scheduler of an event loop
    // created for (and owned by) the thread on first use.
    static Kiln::Ptr<TaskSchedulerRoot> findOrCreateScheduler();

  private:
    friend class EventLoop;

    explicit TaskSchedulerRoot(EventLoop* loop) : TaskScheduler(loop) {}
};

// A unit of work that runs on its scheduler's loop when asked. A run notifies the task's
// notifiees: each active, registered notifiee's onAttribute(Task::runAttribute) is called, in
// registration order. A notifiee does a slice of work, checks taskShouldYield(), and calls
// scheduleTask() again when work remains.
//
// Thread safety: the scheduler's loop thread only. The task holds its scheduler counted; while
// a run is requested the scheduler holds the task. A task may outlive its loop (see
// TaskScheduler), but can then no longer be scheduled.
class Task : public Kiln::PtrInterface {
  public:
    // The attribute a run notifies with.
    static constexpr Kiln::AttributeId runAttribute = 258;

    Task(const Kiln::Ptr<TaskScheduler>& scheduler, TaskPriority priority, std::string name);
    ~Task() override;

    Kiln::NotifieeListPtr* notifieeList() const override { return &notifiees_; }

    // Requests one run. Requests made before the run starts merge into it; a request made
    // during the run asks for another run after it.
    void scheduleTask();
    bool taskScheduled() const { return scheduled_; }

    // While this task runs: true once it has run for its scheduler's time slice (or as the
    // scheduler's yield rule forces). False when the task is not running.
    bool taskShouldYield() const;
    void taskWorkCountInc(std::uint64_t n) { workCount_ += n; }
    std::uint64_t taskWorkCount() const { return workCount_; }
    std::uint64_t taskRuns() const { return runs_; }

    const Kiln::Ptr<TaskScheduler>& taskScheduler() const { return scheduler_; }
    TaskPriority taskPriority() const { return priority_; }
    const std::string& taskName() const { return name_; }

  private:
    friend class TaskScheduler;

    void run();

    const Kiln::Ptr<TaskScheduler> scheduler_;
    const TaskPriority priority_;
    const std::string name_;
    mutable Kiln::NotifieeListPtr notifiees_;
    bool scheduled_ = false;
    std::uint64_t workCount_ = 0;
    std::uint64_t runs_ = 0;
};

// A task that runs when a timer fires (on its scheduler's loop, on the monotonic clock).
//
// Thread safety: as Task. Destroying the task cancels its pending firing; a firing pending when
// the loop goes is dropped with the loop.
class TimerTask : public Task {
  public:
    TimerTask(const Kiln::Ptr<TaskScheduler>& scheduler, TaskPriority priority, std::string name);
    ~TimerTask() override;

    // Arranges a firing `delay` seconds from now, unless one is already due at or before then;
    // a firing due later is moved earlier. One firing, one run.
    void scheduleTaskLowestDelay(Kiln::Seconds delay);
    // The monotonic time of the pending firing, if any.
    bool firingDue(Kiln::Seconds* due) const;
    void firingDel();

  private:
    std::uint64_t timerId_ = 0;  // 0: no firing pending
    Kiln::Seconds due_ = 0;
};

}  // namespace Loom
