#pragma once

#include <exception>
#include <mutex>
#include <string>
#include <thread>

#include "contracts/Loom/EventLoop.h"

namespace Loom {

// A named thread that serves one EventLoop: doInitSm() on the new thread, then the loop until
// threadStop(), then doDelSm() on the same thread. The loop is bound to the thread throughout
// (TaskSchedulerRoot::findOrCreateScheduler() there returns the loop's scheduler).
//
// When doInitSm() throws, the loop is not served and doDelSm() is not called; threadJoin()
// rethrows that exception. An exception from doDelSm() is rethrown by threadJoin() the same way.
//
// Thread safety: threadStart() and threadJoin() from the owning thread; threadStop() from any
// thread, also before the thread got to serve (it then ends right after doInitSm()). A derived
// class must stop and join in its own destructor: the base destructor does too, but by then the
// derived overrides are gone. The loop must outlive the thread.
class EventLoopThread {
  public:
    EventLoopThread(std::string name, EventLoop* eventLoop);
    EventLoopThread(const EventLoopThread&) = delete;
    EventLoopThread& operator=(const EventLoopThread&) = delete;
    virtual ~EventLoopThread();

    const std::string& threadName() const { return name_; }
    EventLoop* eventLoop() const { return loop_; }

    // Starts the thread; once only.
    void threadStart();
    // Makes the loop return from its current pass.
    void threadStop();
    // Waits for the thread to end and rethrows an exception from doInitSm()/doDelSm(). A
    // thread never started, or already joined, returns at once.
    void threadJoin();

  protected:
    // Called on the thread before it serves the loop.
    virtual void doInitSm() {}
    // Called on the thread after the loop stopped, when doInitSm() succeeded.
    virtual void doDelSm() {}

  private:
    void body();

    const std::string name_;
    EventLoop* const loop_;
    std::thread thread_;
    bool started_ = false;
    // Written by the thread before it ends; read by threadJoin() after join(), which orders it.
    std::exception_ptr failure_;
};

}  // namespace Loom
