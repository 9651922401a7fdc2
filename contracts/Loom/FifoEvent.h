#pragma once

#include <cstdint>

namespace Loom {

// An eventfd that becomes readable when signalled and stays so until cleared: the doorbell of
// an SPSC queue, watched by the consumer's EventLoop (EventLoop::watchFd(fd(), ...)).
//
// Thread safety: signal() from any thread, clear() and readableCount() from the watching
// thread; each is one system call, so the kernel orders them.
class FifoEvent {
  public:
    FifoEvent();
    FifoEvent(const FifoEvent&) = delete;
    FifoEvent& operator=(const FifoEvent&) = delete;
    ~FifoEvent();

    int fd() const { return fd_; }
    // Adds 1 to the readable count; the fd becomes readable.
    void signal();
    // Resets the readable count to 0 and returns what it was.
    std::uint64_t clear();
    // The readable count, without clearing it (tests and diagnostics).
    std::uint64_t readableCount() const;

  private:
    int fd_;
};

}  // namespace Loom
