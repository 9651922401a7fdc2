#pragma once

// What the hoardctl commands share: operand checks, opening a table's files, dispatching on its
// value type, and a value's text.
//
// Thread safety: single-threaded, as the commands.

#include <cstddef>
#include <string>

#include "contracts/Basalt/Exception.h"
#include "contracts/Kiln/TextForm.h"
#include "contracts/Mem/RootPath.h"
#include "tools/hoardctl/Commands.h"
#include "tools/hoardctl/TableFiles.h"
#include "tools/hoardctl/ValueTypeDispatch.h"

namespace Hoardctl {

inline void requireOperands(const Args& args, std::size_t least, std::size_t most,
                            const char* command) {
    if (args.size() < least) {
        throw UsageError(std::string(command) + ": missing operand (try hoardctl " + command +
                         " --help)");
    }
    if (args.size() > most) {
        throw UsageError(std::string(command) + ": unexpected operand '" + args[most] +
                         "' (try hoardctl " + command + " --help)");
    }
}

inline TableFiles tableFiles(Context& ctx, const std::string& name) {
    try {
        return readTableFiles(ctx.debug, name);
    } catch (const Basalt::InvalidInitializeException& e) {
        throw UsageError("bad table name '" + name + "': " + e.what());
    }
}

// The table's files, which must hold a table that can be read.
inline TableFiles existingTable(Context& ctx, const std::string& name) {
    TableFiles t = tableFiles(ctx, name);
    if (!t.hasSlots) throw Failure("no table " + t.name + " under " + Mem::shmRoot());
    if (!t.problem.empty()) throw Failure("table " + t.name + ": " + t.problem);
    return t;
}

// Calls f(KindTag<Ops>) for the table's value type; a type hoardctl does not know fails.
template <class F>
void dispatchTable(const TableFiles& t, F&& f) {
    if (!dispatchValueType(t.valueType(), f)) {
        throw Failure("table " + t.name + " holds values of unknown type \"" + t.valueTypeText() +
                      "\"");
    }
}

template <class V>
std::string valueText(const V& value) {
    return valueToStrep(value).stdString();
}

}  // namespace Hoardctl
