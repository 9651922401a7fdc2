#pragma once

#include "contracts/Kiln/System.h"

namespace TestSupport {

// Makes a ManualClock the process's clock for its lifetime and puts the previous clock back on
// destruction, so a test controls Kiln::System::currentTime() and monotonic time completely.
class ManualClockGuard {
  public:
    explicit ManualClockGuard(Kiln::Seconds wallTime = 1'700'000'000.0,
                              Kiln::Seconds monotonicTime = 1000.0)
        : clock_(wallTime, monotonicTime), previous_(&Kiln::clock()) {
        Kiln::clockIs(&clock_);
    }
    ~ManualClockGuard() { Kiln::clockIs(previous_); }
    ManualClockGuard(const ManualClockGuard&) = delete;
    ManualClockGuard& operator=(const ManualClockGuard&) = delete;

    Kiln::ManualClock& clock() noexcept { return clock_; }
    void advance(Kiln::Seconds delta) { clock_.advance(delta); }

  private:
    Kiln::ManualClock clock_;
    const Kiln::Clock* previous_;
};

}  // namespace TestSupport
