#pragma once

#include <cstdint>
#include <string_view>

namespace Basalt {

// Where every trace line of the process goes. One sink is current at a time; by default it is
// a sink that writes one line per call to stderr:
//     <handlerName>[<level>] <function>: <text>
//
// Thread safety: write() is called concurrently from any thread, so implementations must be
// thread-safe (the default one serialises its writes under a mutex). Installing a sink is a
// single atomic store; the installed sink must outlive every write that may still be in flight,
// so install sinks while the process is quiet (tests do it at their start and end).
class TraceSink {
  public:
    virtual ~TraceSink() = default;
    // `file` and `function` may be null. `text` need not end in a newline.
    virtual void write(std::string_view handlerName, int level, const char* file, int line,
                       const char* function, std::string_view text) = 0;
};

// The current sink; never null.
TraceSink& traceSink();
// Installs `sink` as the current one; nullptr restores the default stderr sink.
void traceSinkIs(TraceSink* sink);

// Environment variable holding the trace switches, a `;`-separated list of `name=levels`:
//     FLOWTABLE_TRACE='*=0-2;FlowTableMgrThreadBase=2,4'
// A name ending in `*` matches every handler name with that prefix (`*` alone matches all);
// otherwise the name must match exactly. Levels are `,`-separated numbers or `a-b` ranges, all
// within 0..9. An entry that cannot be parsed as a whole is ignored.
inline constexpr const char* traceSwitchesVariable = "FLOWTABLE_TRACE";

// Trace levels with a fixed meaning.
inline constexpr int traceLevelError = 0;
inline constexpr int traceLevelWarning = 1;
inline constexpr int traceLevelHeaderDump = 3;
inline constexpr int traceLevelMax = 9;

// The switch word for `handlerName` under `switches` (same syntax as FLOWTABLE_TRACE): bit L
// is set when level L is enabled. Every matching entry contributes its levels. Level 0
// (errors) is always enabled, so the result always has bit 0 set. Never fails: malformed
// entries are skipped.
uint32_t traceSwitchWord(std::string_view handlerName, std::string_view switches);

// The switch word for `handlerName` under the FLOWTABLE_TRACE value read at first use (or at
// the last traceSwitchesReload()).
uint32_t traceSwitchWord(std::string_view handlerName);

// Re-reads FLOWTABLE_TRACE. Handlers created earlier keep the switch word they were given.
void traceSwitchesReload();

}  // namespace Basalt
