#include "contracts/Loom/EventLoopThread.h"

#include <pthread.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <utility>

#include "contracts/Basalt/Exception.h"

namespace Loom {

EventLoopThread::EventLoopThread(Kiln::Name name, const Kiln::Ptr<EventLoop>& evLoop)
    : Kiln::Entity(std::move(name)), loop_(evLoop) {
    BASALT_ASSERT(evLoop);
}

EventLoopThread::~EventLoopThread() { threadEnd(); }

void EventLoopThread::threadEnd() {
    if (!thread_.joinable()) return;
    threadStop();
    thread_.join();  // a failure nobody asked for is dropped with the object
}

void EventLoopThread::threadStart() {
    BASALT_ASSERT(!started_);
    started_ = true;
    if (!loop_->useKilnEventLoop()) {
        thread_ = std::thread([this] { body(); });
        return;
    }
    mainTid_.store(static_cast<std::uint32_t>(::gettid()), std::memory_order_relaxed);
    threadInitialized_.store(true, std::memory_order_release);
    const EventLoop::ThreadBinding binding(loop_.ptr());
    delPending_ = initialize();
}

void EventLoopThread::threadStop() {
    if (!loop_->useKilnEventLoop()) loop_->stop();
}

void EventLoopThread::threadJoin() {
    if (thread_.joinable()) {
        thread_.join();
    } else if (delPending_) {
        delPending_ = false;
        const EventLoop::ThreadBinding binding(loop_.ptr());
        finish();
    }
    if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
}

bool EventLoopThread::waitInitializeDone(Kiln::Seconds timeout) {
    std::unique_lock<std::mutex> lock(initMutex_);
    initEndedCv_.wait_for(lock, std::chrono::duration<double>(timeout),
                          [this] { return initEnded_; });
    return initializeDone();
}

void EventLoopThread::body() {
    // Kernel thread names hold 15 characters.
    ::pthread_setname_np(::pthread_self(), name().stdString().substr(0, 15).c_str());
    const EventLoop::ThreadBinding binding(loop_.ptr());
    mainTid_.store(static_cast<std::uint32_t>(::gettid()), std::memory_order_relaxed);
    // Release; partner: the acquire load in threadInitialized(), which then sees mainTid_.
    threadInitialized_.store(true, std::memory_order_release);
    if (!initialize()) return;
    if (initializeDone()) {
        try {
            loop_->run();
        } catch (...) {
            failureIs(std::current_exception());
        }
    }
    finish();
}

bool EventLoopThread::initialize() {
    try {
        doInitSm();
    } catch (...) {
        failureIs(std::current_exception());
        initEndedIs(false);
        return false;
    }
    try {
        handleInitialized();
        initEndedIs(true);
    } catch (...) {
        failureIs(std::current_exception());
        initEndedIs(false);
    }
    return true;
}

void EventLoopThread::finish() {
    try {
        doDelSm();
        handleDel();
    } catch (...) {
        failureIs(std::current_exception());
    }
}

void EventLoopThread::failureIs(std::exception_ptr e) {
    if (!failure_) failure_ = std::move(e);
}

void EventLoopThread::initEndedIs(bool done) {
    // Release; partner: the acquire load in initializeDone().
    initializeDone_.store(done, std::memory_order_release);
    std::lock_guard<std::mutex> lock(initMutex_);
    initEnded_ = true;
    initEndedCv_.notify_all();
}

}  // namespace Loom
