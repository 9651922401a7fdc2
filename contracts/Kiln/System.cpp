#include "contracts/Kiln/System.h"

#include <chrono>

#include "contracts/Basalt/Exception.h"

namespace Kiln {

namespace {

class SystemClock : public Clock {
  public:
    Seconds wallTime() const override {
        return std::chrono::duration<Seconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    }
    Seconds monotonicTime() const override {
        return std::chrono::duration<Seconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }
};

// Never destroyed: static destructors elsewhere may still read the time.
const Clock& systemClock() {
    static const auto* c = new SystemClock;
    return *c;
}

std::atomic<const Clock*> installedClock{nullptr};

}  // namespace

const Clock& clock() {
    const Clock* c = installedClock.load(std::memory_order_acquire);
    return c ? *c : systemClock();
}

void clockIs(const Clock* c) { installedClock.store(c, std::memory_order_release); }

void ManualClock::advance(Seconds delta) {
    BASALT_ASSERT(delta >= 0);
    wall_.fetch_add(delta, std::memory_order_relaxed);
    monotonic_.fetch_add(delta, std::memory_order_relaxed);
}

}  // namespace Kiln
