#pragma once

#include <atomic>

namespace Kiln {

// A time in seconds, fractional.
using Seconds = double;

// A source of time. The process uses one clock at a time (see clock()); tests replace it with a
// ManualClock to drive time deterministically.
//
// Thread safety: implementations must allow concurrent calls.
class Clock {
  public:
    virtual ~Clock() = default;
    // Seconds since the Unix epoch; may jump when the system time is set.
    virtual Seconds wallTime() const = 0;
    // Seconds since an arbitrary fixed point; never goes backwards.
    virtual Seconds monotonicTime() const = 0;
};

// The process's current clock; the system clock unless another one was installed.
const Clock& clock();
// Installs `c` as the process's clock; nullptr restores the system clock. The installed clock
// must outlive its use; install clocks while no other thread reads the time.
void clockIs(const Clock* c);

// A clock that moves only when told to. Starts at wall time 1'700'000'000 (2023-11-14) and
// monotonic time 1000 unless given other values.
//
// Thread safety: all members may be called concurrently; each time is a separate atomic, so a
// reader racing advance() may see one time advanced and the other not yet.
class ManualClock : public Clock {
  public:
    explicit ManualClock(Seconds wallTime = 1'700'000'000.0, Seconds monotonicTime = 1000.0)
        : wall_(wallTime), monotonic_(monotonicTime) {}

    Seconds wallTime() const override { return wall_.load(std::memory_order_relaxed); }
    Seconds monotonicTime() const override { return monotonic_.load(std::memory_order_relaxed); }

    // Sets the wall time only, like a system time change; monotonic time is unaffected.
    void wallTimeIs(Seconds t) { wall_.store(t, std::memory_order_relaxed); }
    // Moves both times forward by `delta` (which must not be negative).
    void advance(Seconds delta);

  private:
    std::atomic<Seconds> wall_;
    std::atomic<Seconds> monotonic_;
};

class System {
  public:
    // clock().wallTime(): seconds since the Unix epoch.
    static Seconds currentTime() { return clock().wallTime(); }
    // clock().monotonicTime().
    static Seconds monotonicTime() { return clock().monotonicTime(); }
};

}  // namespace Kiln
