#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace Basalt {

// A name and its 32 trace levels: bit L of the switch word set means level L is enabled. The
// common part of every traced component's handle (Basalt::Platform::DebugHandler,
// Kiln::TraceHandle).
//
// Thread safety: enabled() is one relaxed load and may race switchWordIs(), which becomes
// visible eventually, with no ordering against other memory; the name is immutable.
class TraceSwitch {
  public:
    TraceSwitch(std::string name, uint32_t word) : name_(std::move(name)), switchWord_(word) {}
    TraceSwitch(const TraceSwitch&) = delete;
    TraceSwitch& operator=(const TraceSwitch&) = delete;

    const std::string& name() const noexcept { return name_; }
    uint32_t switchWord() const noexcept { return switchWord_.load(std::memory_order_relaxed); }
    void switchWordIs(uint32_t word) noexcept {
        switchWord_.store(word, std::memory_order_relaxed);
    }
    // False for levels outside 0..31.
    bool enabled(int level) const noexcept {
        return level >= 0 && level < 32 && ((switchWord() >> level) & 1u) != 0;
    }

  private:
    const std::string name_;
    std::atomic<uint32_t> switchWord_;
};

}  // namespace Basalt
