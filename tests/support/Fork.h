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

    pid_t pid() const { return pid_; }
    // Waits for the child; returns its exit status, or 128 + signal when a signal ended it.
    int wait();
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

  private:
    int fds_[2];
};

}  // namespace TestSupport
