#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <utility>

#include "contracts/Kiln/Ptr.h"
#include "contracts/Kiln/System.h"

namespace Loom {

// The heart beat of one event loop: the loop stamps it on each pass (EventLoop::hbCtxIs), and
// a watchdog on another thread reads it to tell a stuck loop from a busy one. A loop that sleeps
// in epoll with nothing to do does not beat: a loop watched this way keeps a periodic timer.
//
// Thread safety: beat() from the loop thread; the readers from any thread. The stamp is written
// before the count (release; partner: the acquire load in beats()), so a reader that sees n
// beats sees a stamp at least as recent as the n-th. The name is fixed at construction.
class EventLoopHeartBeatCtx : public Kiln::PtrInterface {
  public:
    explicit EventLoopHeartBeatCtx(std::string name) : name_(std::move(name)) {}
    EventLoopHeartBeatCtx(const EventLoopHeartBeatCtx&) = delete;
    EventLoopHeartBeatCtx& operator=(const EventLoopHeartBeatCtx&) = delete;

    const std::string& name() const { return name_; }

    void beat(Kiln::Seconds now) {
        lastBeat_.store(now, std::memory_order_relaxed);
        beats_.fetch_add(1, std::memory_order_release);
    }
    // The monotonic time of the latest beat; 0 before the first.
    Kiln::Seconds lastBeat() const { return lastBeat_.load(std::memory_order_relaxed); }
    std::uint64_t beats() const { return beats_.load(std::memory_order_acquire); }

    // True when the loop has beaten and its latest beat is more than `limit` seconds before
    // `now`. A loop that never beat is starting, not stalled.
    bool stalled(Kiln::Seconds now, Kiln::Seconds limit) const {
        return beats() > 0 && now - lastBeat() > limit;
    }

  private:
    const std::string name_;
    std::atomic<Kiln::Seconds> lastBeat_{0};
    std::atomic<std::uint64_t> beats_{0};
};

}  // namespace Loom
