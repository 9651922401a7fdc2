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
// the task that runs now. Owned by its EventLoop.
//
// Thread safety: the loop thread only.
class TaskScheduler {
  public:
    // How taskShouldYield() answers: by the time slice, or always yes / always no (tests).
    enum class YieldRule { timeSlice, always, never };

    static constexpr Kiln::Seconds defaultTimeSlice = 0.005;

    explicit TaskScheduler(EventLoop* loop) : loop_(loop) {}
    TaskScheduler(const TaskScheduler&) = delete;
    TaskScheduler& operator=(const TaskScheduler&) = delete;

    EventLoop& eventLoop() const { return *loop_; }

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

  private:
    friend class Task;

    void readyIs(Task* task);
    bool shouldYield(const Task* task) const;

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

// The scheduler of the calling thread.
class TaskSchedulerRoot {
  public:
    // The scheduler of the loop this thread serves (EventLoop::run()); on a thread that serves
    // none, the scheduler of an event loop created for (and owned by) the thread on first use.
    static TaskScheduler* findOrCreateScheduler();
};

// A unit of work that runs on its scheduler's loop when asked. A run notifies the task's
// notifiees: each active, registered notifiee's onAttribute(Task::runAttribute) is called, in
// registration order. A notifiee does a slice of work, checks taskShouldYield(), and calls
// scheduleTask() again when work remains.
//
// Thread safety: the scheduler's loop thread only. While a run is requested the scheduler holds
// a reference; the scheduler's loop must outlive the task.
class Task : public Kiln::PtrInterface {
  public:
    // The attribute a run notifies with.
    static constexpr Kiln::AttributeId runAttribute = 258;

    Task(TaskScheduler* scheduler, TaskPriority priority, std::string name);
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

    TaskScheduler* taskScheduler() const { return scheduler_; }
    TaskPriority taskPriority() const { return priority_; }
    const std::string& taskName() const { return name_; }

  private:
    friend class TaskScheduler;

    void run();

    TaskScheduler* const scheduler_;
    const TaskPriority priority_;
    const std::string name_;
    mutable Kiln::NotifieeListPtr notifiees_;
    bool scheduled_ = false;
    std::uint64_t workCount_ = 0;
    std::uint64_t runs_ = 0;
};

// A task that runs when a timer fires (on its scheduler's loop, on the monotonic clock).
//
// Thread safety: as Task. Destroying the task cancels its pending firing.
class TimerTask : public Task {
  public:
    TimerTask(TaskScheduler* scheduler, TaskPriority priority, std::string name);
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
