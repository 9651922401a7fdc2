#pragma once

// What the hoardctl commands share: operand checks, opening a table's files, finding the kind of
// its value type in the registry, and a value's text.
//
// Thread safety: single-threaded, as the commands.

#include <cstddef>
#include <string>

#include "Hoard/TableKind.h"
#include "contracts/Basalt/Exception.h"
#include "contracts/Kiln/GenericValue.h"
#include "contracts/Mem/RootPath.h"
#include "tools/hoardctl/Commands.h"
#include "tools/hoardctl/TableFiles.h"

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

// The kind of the table's value type; a type no kind is registered for fails.
inline const Hoard::TableKind& kindOf(const TableFiles& t) {
    const Hoard::TableKind* kind = Hoard::tableKind(t.valueType());
    if (kind == nullptr) {
        throw Failure("table " + t.name + " holds values of unknown type \"" + t.valueTypeText() +
                      "\"");
    }
    return *kind;
}

// The value's text form, through its type's generic table.
inline std::string valueText(const Kiln::GenericValue& value) { return value.strRep().stdString(); }

}  // namespace Hoardctl
