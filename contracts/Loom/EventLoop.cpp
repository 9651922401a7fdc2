#include "contracts/Loom/EventLoop.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>
#include <string>

#include "contracts/Basalt/Exception.h"
#include "contracts/Loom/Task.h"

namespace Loom {

namespace {

thread_local EventLoop* servingLoop = nullptr;  // the loop this thread serves in run()

[[noreturn]] void throwErrno(const char* what) {
    Basalt::MemoryResourceException::throwException(std::string("Loom::EventLoop: ") + what + ": " +
                                                    std::strerror(errno));
}

// Milliseconds for epoll_wait, rounded up so a wait never ends before the timer it waits for.
int waitMillis(Kiln::Seconds s) {
    if (s <= 0) return 0;
    const double ms = std::ceil(s * 1000.0);
    return ms >= INT_MAX ? INT_MAX : static_cast<int>(ms);
}

}  // namespace

EventLoop::EventLoop() : scheduler_(new TaskSchedulerRoot(this)) {
    epollFd_ = ::epoll_create1(EPOLL_CLOEXEC);
    if (epollFd_ < 0) throwErrno("epoll_create1");
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = wake_.fd();
    if (::epoll_ctl(epollFd_, EPOLL_CTL_ADD, wake_.fd(), &ev) != 0) {
        ::close(epollFd_);
        throwErrno("epoll_ctl");
    }
}

EventLoop::~EventLoop() {
    if (servingLoop == this) servingLoop = nullptr;
    // First: destroying the timers and posted functions below may destroy tasks and events.
    scheduler_->detach();
    for (FifoEvent* event : fifoEvents_) event->loop_ = nullptr;
    fifoEvents_.clear();
    ::close(epollFd_);
}

void EventLoop::wake() { wake_.signal(); }

void EventLoop::post(std::function<void()> fn) {
    {
        std::lock_guard<std::mutex> lock(postMutex_);
        posted_.push_back(std::move(fn));
    }
    postPending_.store(true, std::memory_order_release);
    // The loop's own thread is not waiting (it is here), and its next wait is zero while a post
    // is pending: only another thread needs the eventfd.
    if (servingLoop != this) wake();
}

void EventLoop::stop() {
    stopRequested_.store(true, std::memory_order_relaxed);
    wake();
}

void EventLoop::watchFd(int fd, std::function<void()> onReadable) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = fd;
    const bool known = watches_.count(fd) != 0;
    if (::epoll_ctl(epollFd_, known ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, fd, &ev) != 0) {
        throwErrno("epoll_ctl");
    }
    watches_[fd] = std::make_shared<std::function<void()>>(std::move(onReadable));
}

void EventLoop::unwatchFd(int fd) {
    if (watches_.erase(fd) == 0) return;
    ::epoll_ctl(epollFd_, EPOLL_CTL_DEL, fd, nullptr);
}

EventLoop::TimerId EventLoop::timerNew(Kiln::Seconds due, std::function<void()> fn) {
    const TimerId id = nextTimerId_++;
    timers_.emplace(id, std::make_pair(due, std::move(fn)));
    timerOrder_.emplace(due, id);
    return id;
}

void EventLoop::timerDel(TimerId id) {
    const auto it = timers_.find(id);
    if (it == timers_.end()) return;
    timerOrder_.erase({it->second.first, id});
    timers_.erase(it);
}

bool EventLoop::nextTimerDue(Kiln::Seconds* due) const {
    if (timerOrder_.empty()) return false;
    *due = timerOrder_.begin()->first;
    return true;
}

std::size_t EventLoop::runPosted() {
    // Acquire; partner: the release store in post(), after its function was queued.
    if (!postPending_.exchange(false, std::memory_order_acquire)) return 0;
    std::vector<std::function<void()>> batch;
    {
        std::lock_guard<std::mutex> lock(postMutex_);
        batch.swap(posted_);
    }
    for (auto& fn : batch) fn();
    return batch.size();
}

std::size_t EventLoop::runDueTimers() {
    // Only timers due by the pass's time fire; timers they add wait for a later pass.
    const Kiln::Seconds now = Kiln::System::monotonicTime();
    const TimerId firstNew = nextTimerId_;
    std::size_t fired = 0;
    for (auto it = timerOrder_.begin(); it != timerOrder_.end() && it->first <= now;) {
        const TimerId id = it->second;
        if (id >= firstNew) {
            ++it;
            continue;
        }
        timerOrder_.erase(it);
        auto node = timers_.extract(id);
        node.mapped().second();
        ++fired;
        it = timerOrder_.begin();  // the callback may have added or removed timers
    }
    return fired;
}

std::size_t EventLoop::runOnce(Kiln::Seconds maxWait) {
    Kiln::Seconds wait = maxWait;
    if (postPending_.load(std::memory_order_relaxed) || scheduler_->readyTasks() != 0) wait = 0;
    Kiln::Seconds due;
    if (wait > 0 && nextTimerDue(&due)) {
        const Kiln::Seconds untilDue = due - Kiln::System::monotonicTime();
        if (untilDue < wait) wait = untilDue;
    }

    constexpr int maxEvents = 16;
    epoll_event events[maxEvents];
    int n = ::epoll_wait(epollFd_, events, maxEvents, waitMillis(wait));
    if (n < 0) {
        if (errno != EINTR) throwErrno("epoll_wait");
        n = 0;
    }
    if (hbCtx_) hbCtx_->beat(Kiln::System::monotonicTime());
    std::size_t ran = 0;
    for (int i = 0; i < n; ++i) {
        const int fd = events[i].data.fd;
        if (fd == wake_.fd()) {
            wake_.clear();
            continue;
        }
        const auto it = watches_.find(fd);
        if (it == watches_.end()) continue;  // unwatched by an earlier handler of this pass
        const auto handler = it->second;     // held: the handler may unwatch itself
        (*handler)();
        ++ran;
    }
    ran += runPosted();
    ran += runDueTimers();
    ran += scheduler_->runReady();
    return ran;
}

std::size_t EventLoop::runUntilIdle() {
    std::size_t total = 0;
    for (std::size_t ran; (ran = runOnce(0)) != 0;) total += ran;
    return total;
}

void EventLoop::run() {
    const ThreadBinding binding(this);
    constexpr Kiln::Seconds longWait = 3600;
    while (!stopRequested_.exchange(false, std::memory_order_relaxed)) runOnce(longWait);
}

EventLoop::ThreadBinding::ThreadBinding(EventLoop* loop) : outer_(servingLoop) {
    servingLoop = loop;
}

EventLoop::ThreadBinding::~ThreadBinding() { servingLoop = outer_; }

EventLoop* EventLoop::threadLoop() { return servingLoop; }

Kiln::Ptr<TaskSchedulerRoot> TaskSchedulerRoot::findOrCreateScheduler() {
    if (servingLoop) return servingLoop->scheduler();
    thread_local Kiln::Ptr<EventLoop> ownLoop;
    if (!ownLoop) ownLoop = new EventLoop;
    return ownLoop->scheduler();
}

}  // namespace Loom
