#pragma once

#include <sys/types.h>

#include <functional>
#include <string>

namespace TestSupport {

// A child process running `body`; its exit status is 0 when `body` returns true, 1 when it
// returns false, 2 when it throws. The child never returns into the test framework (it leaves
// with _exit), so a failing child cannot run the parent's remaining tests.
class Child {
  public:
    explicit Child(std::function<bool()> body);
    ~Child();  // kills and reaps a child still running
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // wait()'s answer for a child that outlived the deadline (it is killed then): no exit
    // status or signal number a child can end with, so a hang never passes for a result.
    static constexpr int timedOut = 255 + 128;

    pid_t pid() const { return pid_; }
    // Waits at most `seconds` for the child; returns its exit status, 128 + signal when a signal
    // ended it, or timedOut (after SIGKILLing it) when it was still running then.
    int wait(double seconds = 90.0);
    // True once the child has ended (it is reaped then; wait() returns its status at once).
    bool ended();
    // SIGKILLs the child and reaps it.
    void kill();

  private:
    pid_t pid_ = -1;
    int status_ = -1;
};

// A pipe for one-byte signals between a parent and a child (ready / go). read() blocks with a
// bound and returns false when the other side closed or the bound (seconds) passed.
class Signal {
  public:
    Signal();
    ~Signal();
    void post();
    bool wait(double seconds = 30.0);
    // The same, but false at once when `sender` ends first (a child that died or threw before it
    // posted fails the test in a moment, not after the whole bound).
    bool wait(double seconds, Child& sender);

  private:
    int fds_[2];
};

}  // namespace TestSupport
