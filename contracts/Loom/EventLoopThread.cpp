#include "contracts/Loom/EventLoopThread.h"

#include <pthread.h>

#include <utility>

#include "contracts/Basalt/Exception.h"

namespace Loom {

EventLoopThread::EventLoopThread(std::string name, EventLoop* eventLoop)
    : name_(std::move(name)), loop_(eventLoop) {
    BASALT_ASSERT(eventLoop != nullptr);
}

EventLoopThread::~EventLoopThread() {
    if (!thread_.joinable()) return;
    threadStop();
    thread_.join();  // a failure nobody asked for is dropped with the object
}

void EventLoopThread::threadStart() {
    BASALT_ASSERT(!started_);
    started_ = true;
    thread_ = std::thread([this] { body(); });
}

void EventLoopThread::threadStop() { loop_->stop(); }

void EventLoopThread::threadJoin() {
    if (!thread_.joinable()) return;
    thread_.join();
    if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
}

void EventLoopThread::body() {
    // Kernel thread names hold 15 characters.
    ::pthread_setname_np(::pthread_self(), name_.substr(0, 15).c_str());
    const EventLoop::ThreadBinding binding(loop_);
    try {
        doInitSm();
    } catch (...) {
        failure_ = std::current_exception();
        return;
    }
    try {
        loop_->run();
    } catch (...) {
        failure_ = std::current_exception();
    }
    try {
        doDelSm();
    } catch (...) {
        if (!failure_) failure_ = std::current_exception();
    }
}

}  // namespace Loom
