#pragma once

#include <cstdint>

#include "contracts/Kiln/Notifiee.h"
#include "contracts/Kiln/Ptr.h"

namespace Loom {

class EventLoop;

// An eventfd that becomes readable when signalled and stays so until cleared: the doorbell of
// an SPSC queue. It owns the fd and its notifiee list.
//
// Watching: with eventLoopIs(loop), the loop watches the fd; in each pass that finds it
// readable, the event first clears the count and then notifies its notifiees with
// onAttribute(readableCountAttribute). Clearing first is what makes the consumer safe: a signal
// that lands after the clear makes the fd readable again, so whatever the notifiee's drain
// misses wakes the next pass. A notifiee must not destroy the event during the notification.
// The watch ends with eventLoopIs(nullptr), with the event, or with the loop (which then
// leaves eventLoop() null).
//
// Thread safety: signal() from any thread; everything else from the watching loop's thread.
// signal(), clear() and readableCount() are one system call each, so the kernel orders them.
class FifoEvent : public Kiln::PtrInterface {
  public:
    // The attribute the notifiees are called with when the loop found the fd readable.
    static constexpr Kiln::AttributeId readableCountAttribute = 258;

    FifoEvent();
    FifoEvent(const FifoEvent&) = delete;
    FifoEvent& operator=(const FifoEvent&) = delete;
    ~FifoEvent() override;

    Kiln::NotifieeListPtr* notifieeList() const override { return &notifiees_; }

    int fd() const { return fd_; }
    // Adds 1 to the readable count; the fd becomes readable.
    void signal();
    // Resets the readable count to 0 and returns what it was.
    std::uint64_t clear();
    // The readable count, without clearing it (tests and diagnostics).
    std::uint64_t readableCount() const;

    // The loop that watches the fd, or null.
    EventLoop* eventLoop() const { return loop_; }
    // Moves the watch to `loop` (null: no watch).
    void eventLoopIs(EventLoop* loop);

  private:
    friend class EventLoop;

    void onReadable();

    int fd_;
    EventLoop* loop_ = nullptr;
    mutable Kiln::NotifieeListPtr notifiees_;
};

}  // namespace Loom
