#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>

#include "contracts/Basalt/TraceSwitch.h"

namespace Kiln {

// A named trace switch. The switch word (bit L = level L enabled) starts as
// Basalt::traceSwitchWord(name), i.e. what FLOWTABLE_TRACE asks for, with level 0 on. A handle
// constructed with `active` false starts with every level off.
// Handles are normally static objects, one per traced component (thread safety: TraceSwitch).
class TraceHandle : public Basalt::TraceSwitch {
  public:
    explicit TraceHandle(const char* name, bool active = true);
};

// Collects the text of one trace line.
class TraceStream {
  public:
    template <typename V>
    TraceStream& operator<<(const V& value) {
        stream_ << value;
        return *this;
    }
    // Manipulators such as std::hex.
    TraceStream& operator<<(std::ostream& (*manipulator)(std::ostream&)) {
        stream_ << manipulator;
        return *this;
    }
    TraceStream& operator<<(std::ios_base& (*manipulator)(std::ios_base&)) {
        stream_ << manipulator;
        return *this;
    }

    std::string str() const { return stream_.str(); }

  private:
    std::ostringstream stream_;
};

// One trace line in the making: created only when its level is enabled, filled through
// trace(), and written to the trace sink (under the handle's name and level) when destroyed.
// A helper whose trace() was never called writes nothing. Not copyable or movable; it lives in
// the std::optional that createIfEnabled() returns. The handle must outlive the helper.
class TraceHelper {
  public:
    TraceHelper(const TraceHandle& handle, int level) : handle_(handle), level_(level) {}
    TraceHelper(const TraceHelper&) = delete;
    TraceHelper& operator=(const TraceHelper&) = delete;
    ~TraceHelper();

    static std::optional<TraceHelper> createIfEnabled(const TraceHandle& handle, int level) {
        if (!handle.enabled(level)) return std::nullopt;
        return std::optional<TraceHelper>(std::in_place, handle, level);
    }

    TraceStream& trace(const char* file, int line, const char* function) {
        file_ = file;
        line_ = line;
        function_ = function;
        started_ = true;
        return stream_;
    }

  private:
    const TraceHandle& handle_;
    const int level_;
    const char* file_ = nullptr;
    int line_ = 0;
    const char* function_ = nullptr;
    bool started_ = false;
    TraceStream stream_;
};

}  // namespace Kiln

// Writes one trace line through `handle` at `level`; `expr` is a `<<` chain and is evaluated
// only when the level is enabled: KILN_TRACE(h, 4, "clear counters " << key);
#define KILN_TRACE(handle, level, expr)                                                        \
    do {                                                                                       \
        if (auto kilnTraceHelper_ = ::Kiln::TraceHelper::createIfEnabled((handle), (level))) { \
            kilnTraceHelper_->trace(__FILE__, __LINE__, __func__) << expr;                     \
        }                                                                                      \
    } while (0)
