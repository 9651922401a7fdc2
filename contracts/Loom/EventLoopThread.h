#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>

#include "contracts/Kiln/Entity.h"
#include "contracts/Kiln/System.h"
#include "contracts/Loom/EventLoop.h"

namespace Loom {

// A named thread that serves one EventLoop (held counted): doInitSm() then handleInitialized()
// on the new thread, then the loop until threadStop(), then doDelSm() then handleDel() on the
// same thread. The loop is bound to the thread throughout (TaskSchedulerRoot::
// findOrCreateScheduler() there returns the loop's scheduler).
//
// When doInitSm() throws, the loop is not served and doDelSm() is not called; threadJoin()
// rethrows that exception. An exception from handleInitialized() also keeps the loop from being
// served, but doDelSm() still runs. A later exception (the loop, doDelSm(), handleDel()) is
// rethrown by threadJoin() the same way; the first one wins.
//
// The runtime's main loop (evLoop()->useKilnEventLoop()) is served by the agent's main thread,
// not by a thread of its own: threadStart() then runs doInitSm() and handleInitialized() on the
// calling thread (bound to the loop meanwhile) and starts no thread; threadStop() leaves the
// loop alone, since stopping it is not this object's business; threadJoin() runs doDelSm() and
// handleDel() on the calling thread when doInitSm() succeeded. Exceptions are kept and rethrown
// by threadJoin(), as with a thread.
//
// Thread safety: threadStart() and threadJoin() from the owning thread; threadStop() and the
// state readers (mainTid, threadInitialized, initializeDone, waitInitializeDone) from any
// thread; threadStop() also before the thread got to serve (it then ends right after
// initialization). A derived class must stop and join in its own destructor: the base
// destructor does too, but by then the derived overrides are gone. The name and notifiee list
// follow Kiln::Entity's rules (owning thread only).
class EventLoopThread : public Kiln::Entity {
  public:
    EventLoopThread(Kiln::Name name, const Kiln::Ptr<EventLoop>& evLoop);
    ~EventLoopThread() override;

    const Kiln::KilnType* fwkType() const override { return &_kilnType; }
    static Kiln::KilnType _kilnType;

    const Kiln::Ptr<EventLoop>& evLoop() const { return loop_; }

    // Starts the thread (or initializes on the calling thread, see above); once only.
    void threadStart();
    // Makes the loop return from its current pass (not the runtime's main loop).
    void threadStop();
    // Waits for the thread to end and rethrows a kept exception. A thread never started, or
    // already joined, returns at once.
    void threadJoin();

    // The kernel thread id (gettid) of the thread serving the loop; 0 before threadStart().
    std::uint32_t mainTid() const { return mainTid_.load(std::memory_order_relaxed); }
    // True once the serving thread started and bound the loop (before doInitSm()).
    bool threadInitialized() const { return threadInitialized_.load(std::memory_order_acquire); }
    // True once doInitSm() returned and handleInitialized() ran, both without exception.
    bool initializeDone() const { return initializeDone_.load(std::memory_order_acquire); }
    // Waits up to `timeout` seconds of real time for initialization to end; returns
    // initializeDone() (false on timeout and when initialization failed).
    bool waitInitializeDone(Kiln::Seconds timeout);

    // Called on the serving thread before it serves the loop.
    virtual void doInitSm() {}
    // Called right after doInitSm() succeeded.
    virtual void handleInitialized() {}
    // Called on the serving thread after the loop stopped, when doInitSm() succeeded.
    virtual void doDelSm() {}
    // Called right after doDelSm() returned.
    virtual void handleDel() {}

  protected:
    // Stops and joins a thread of its own that still runs, dropping its failure; nothing
    // otherwise (the main loop's mode owes doDelSm() to threadJoin() only). For destructors of
    // derived classes, whose members the thread may still use.
    void threadEnd();

  private:
    void body();
    // doInitSm() and handleInitialized(); true when doInitSm() succeeded.
    bool initialize();
    void finish();
    void failureIs(std::exception_ptr e);
    void initEndedIs(bool done);

    const Kiln::Ptr<EventLoop> loop_;
    std::thread thread_;
    bool started_ = false;
    bool delPending_ = false;  // the main loop's mode: threadJoin() still owes doDelSm()
    // Written by the serving thread; read by threadJoin() after join(), which orders it (on the
    // calling thread in the main loop's mode).
    std::exception_ptr failure_;

    std::atomic<std::uint32_t> mainTid_{0};
    std::atomic<bool> threadInitialized_{false};
    std::atomic<bool> initializeDone_{false};
    std::mutex initMutex_;  // guards initEnded_; waitInitializeDone() waits on initEndedCv_
    std::condition_variable initEndedCv_;
    bool initEnded_ = false;
};

}  // namespace Loom
