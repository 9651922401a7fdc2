#pragma once

// The hoardctl commands. Each takes its operands (options already removed) and returns the exit
// status: 0 success, 1 a negative answer. A failure is a Failure (exit 1) and bad usage a
// UsageError (exit 2); main() turns either into one "hoardctl: <message>" line on stderr.
//
// Thread safety: single-threaded; one command per process.

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "contracts/Basalt/DebugHandler.h"

namespace Hoardctl {

class Failure : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class UsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct Context {
    std::shared_ptr<Basalt::Platform::DebugHandler> debug;
    std::ostream& out;
    std::istream& in;
    std::uint64_t count = 0;  // watch's --count N: stop after N printed changes; 0 for no limit
    bool json = false;        // --json: one JSON object per line instead of text for people
    bool sorted = false;      // list's --sorted: records in the order of their key texts
    // list's --match ATTRIBUTE=VALUE filters, in the order given.
    std::vector<std::pair<std::string, std::string>> matches;
};

using Args = std::vector<std::string>;

int commandLs(Context& ctx, const Args& args);
int commandHeader(Context& ctx, const Args& args);
int commandList(Context& ctx, const Args& args);
int commandGet(Context& ctx, const Args& args);
int commandPut(Context& ctx, const Args& args);
int commandRm(Context& ctx, const Args& args);
int commandCount(Context& ctx, const Args& args);
// Every record's value text, after a "#" line naming the table's type, class type and slot limit.
int commandDump(Context& ctx, const Args& args);
// Writes what dump printed (read from standard input) into a new or empty table.
int commandLoad(Context& ctx, const Args& args);
// One example value text of every record type, two lines each, for put's help.
std::string valueTextExamples();
int commandValidate(Context& ctx, const Args& args);
int commandRepair(Context& ctx, const Args& args);
// The registered value types with their attributes: number, name, access.
int commandTypes(Context& ctx, const Args& args);
// Runs until SIGINT or SIGTERM (or --count changes), then returns 0.
int commandWatch(Context& ctx, const Args& args);

}  // namespace Hoardctl
