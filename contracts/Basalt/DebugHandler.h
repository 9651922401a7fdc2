#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <sstream>
#include <string>

namespace Basalt::Platform {

// A named source of trace output with a 32-bit switch word: bit L set means level L is enabled.
// The word starts as Basalt::traceSwitchWord(name), i.e. what FLOWTABLE_TRACE asks for, with
// level 0 (errors) on.
//
// Thread safety: every member may be called concurrently. The switch word is a relaxed atomic,
// so enabled() on the hot path is one plain load; a switchWordIs() from another thread becomes
// visible to enabled() eventually, with no ordering against other memory. name() is immutable.
// Handlers are shared: use getDebugHandler() to get the one handler for a name.
class DebugHandler {
  public:
    explicit DebugHandler(std::string name);
    DebugHandler(const DebugHandler&) = delete;
    DebugHandler& operator=(const DebugHandler&) = delete;

    const std::string& name() const noexcept { return name_; }

    uint32_t switchWord() const noexcept { return switchWord_.load(std::memory_order_relaxed); }
    void switchWordIs(uint32_t word) noexcept {
        switchWord_.store(word, std::memory_order_relaxed);
    }

    // False for levels outside 0..31.
    bool enabled(int level) const noexcept {
        return level >= 0 && level < 32 && ((switchWord() >> level) & 1u) != 0;
    }

    // Writes the stream's text to the trace sink under this handler's name when `level` is
    // enabled; does nothing otherwise.
    void report(const std::ostringstream& stream, int level, const char* file, int line,
                const char* function) const;

  private:
    const std::string name_;
    std::atomic<uint32_t> switchWord_;
};

// The process's handler for `name`, created on first request; every call with the same name
// returns the same handler. Thread-safe.
std::shared_ptr<DebugHandler> getDebugHandler(const std::string& name);

}  // namespace Basalt::Platform

// Traces `expr` (anything streamable, e.g. "grow " << n) through a debug handler pointer when
// `level` is enabled; the text is built only then.
#define BASALT_TRACE(handler, level, expr)                                           \
    do {                                                                            \
        if ((handler) && (handler)->enabled(level)) {                               \
            std::ostringstream basaltTraceStream_;                                  \
            basaltTraceStream_ << expr;                                             \
            (handler)->report(basaltTraceStream_, (level), __FILE__, __LINE__, __func__); \
        }                                                                           \
    } while (0)
