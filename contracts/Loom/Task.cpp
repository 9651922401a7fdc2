#include "contracts/Loom/Task.h"

#include <algorithm>

#include "contracts/Basalt/Exception.h"
#include "contracts/Loom/EventLoop.h"

namespace Loom {

std::size_t TaskScheduler::runReady() {
    // Only the requests queued before this call run: a task that asks again during its run
    // waits for the next pass, so one busy task (of any priority) cannot starve timers and
    // watches. Within a priority the old requests are the front of the queue.
    const std::uint64_t end = nextRequest_;
    std::size_t ran = 0;
    for (;;) {
        const auto first = std::find_if(queues_.begin(), queues_.end(), [end](const auto& q) {
            return q.second.front().seq < end;
        });
        if (first == queues_.end()) return ran;
        Kiln::Ptr<Task> task = std::move(first->second.front().task);
        first->second.pop_front();
        if (first->second.empty()) queues_.erase(first);
        --ready_;
        task->scheduled_ = false;
        task->run();
        ++ran;
    }
}

void TaskScheduler::readyIs(Task* task) {
    BASALT_ASSERT(loop_ != nullptr && "the scheduler's loop is gone");
    queues_[task->taskPriority()].push_back({nextRequest_++, Kiln::Ptr<Task>(task)});
    ++ready_;
}

void TaskScheduler::detach() {
    loop_ = nullptr;
    // Moved out first: a task dropped here may be destroyed, and its destructor sees an empty,
    // detached scheduler.
    auto released = std::move(queues_);
    queues_.clear();
    ready_ = 0;
    for (auto& [priority, queue] : released) {
        for (Request& r : queue) r.task->scheduled_ = false;
    }
}

bool TaskScheduler::shouldYield(const Task* task) const {
    if (running_ != task) return false;
    switch (yieldRule_) {
        case YieldRule::always:
            return true;
        case YieldRule::never:
            return false;
        case YieldRule::timeSlice:
            break;
    }
    // Compared as an end time, not an elapsed time: start + slice is exact where a clock
    // advanced by the slice lands, while now - start may round below the slice.
    return Kiln::System::monotonicTime() >= runStart_ + timeSlice_;
}

Task::Task(const Kiln::Ptr<TaskScheduler>& scheduler, TaskPriority priority, std::string name)
    : scheduler_(scheduler), priority_(priority), name_(std::move(name)) {
    BASALT_ASSERT(scheduler);
}

Task::~Task() = default;

void Task::scheduleTask() {
    if (scheduled_) return;
    scheduler_->readyIs(this);
    scheduled_ = true;
}

bool Task::taskShouldYield() const { return scheduler_->shouldYield(this); }

void Task::run() {
    // Nested runs (a notifiee driving the loop) keep the outer task's slice.
    Task* const outer = scheduler_->running_;
    const Kiln::Seconds outerStart = scheduler_->runStart_;
    scheduler_->running_ = this;
    scheduler_->runStart_ = Kiln::System::monotonicTime();
    ++runs_;
    struct Restore {
        TaskScheduler* s;
        Task* outer;
        Kiln::Seconds start;
        ~Restore() {
            s->running_ = outer;
            s->runStart_ = start;
        }
    } restore{scheduler_.ptr(), outer, outerStart};
    notifiees_.visit(runAttribute);
}

TimerTask::TimerTask(const Kiln::Ptr<TaskScheduler>& scheduler, TaskPriority priority,
                     std::string name)
    : Task(scheduler, priority, std::move(name)) {}

TimerTask::~TimerTask() { firingDel(); }

void TimerTask::scheduleTaskLowestDelay(Kiln::Seconds delay) {
    EventLoop* const loop = taskScheduler()->eventLoop();
    BASALT_ASSERT(loop != nullptr && "the scheduler's loop is gone");
    const Kiln::Seconds due = Kiln::System::monotonicTime() + (delay > 0 ? delay : 0);
    if (timerId_ != 0 && due_ <= due) return;
    firingDel();
    due_ = due;
    timerId_ = loop->timerNew(due, [this] {
        timerId_ = 0;
        scheduleTask();
    });
}

bool TimerTask::firingDue(Kiln::Seconds* due) const {
    if (timerId_ == 0 || !taskScheduler()->eventLoop()) return false;
    *due = due_;
    return true;
}

void TimerTask::firingDel() {
    if (timerId_ == 0) return;
    // A detached scheduler's loop took its timers with it.
    if (EventLoop* const loop = taskScheduler()->eventLoop()) loop->timerDel(timerId_);
    timerId_ = 0;
}

}  // namespace Loom
