#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <sstream>
#include <string>

#include "contracts/Basalt/TraceSwitch.h"

namespace Basalt::Platform {

// A named source of trace output with a 32-bit switch word: bit L set means level L is enabled.
// The word starts as Basalt::traceSwitchWord(name), i.e. what FLOWTABLE_TRACE asks for, with
// level 0 (errors) on.
//
// Thread safety: every member may be called concurrently (see TraceSwitch for the switch word).
// Handlers are shared: use getDebugHandler() to get the one handler for a name.
class DebugHandler : public TraceSwitch {
  public:
    explicit DebugHandler(std::string name);

    // Writes the stream's text to the trace sink under this handler's name when `level` is
    // enabled; does nothing otherwise.
    void report(const std::ostringstream& stream, int level, const char* file, int line,
                const char* function) const;
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
