#pragma once

// What hoardctl learns about a table without mapping, locking or writing anything: copies of the
// slot and bucket file headers read with pread, the fenix file's id, and the owner record and
// whether a writer holds the table's writer lock (a shared probe dropped at once).
//
// Thread safety: a snapshot owned by one thread. The copies may be torn by a live writer's
// concurrent updates of the counts; they serve inspection and the header checks only, and the
// checks that decide anything (validation before a write) run again on mappings.

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>

#include "Hoard/SlotTable.h"
#include "contracts/Basalt/DebugHandler.h"
#include "contracts/HoardBase/BucketTable.h"

namespace Hoardctl {

struct TableFiles {
    std::string name;       // normalised table name
    std::string directory;  // <root>/<name>
    bool directoryExists = false;
    bool hasSlots = false;  // an entry named "slots": the directory holds a table
    // What keeps the table's files from being read as they stand, "" when nothing does: a table
    // directory or file that cannot be opened ("cannot open <path>: Permission denied"), or a
    // table file that is not a regular file ("<path> is not a regular file").
    std::string problem;

    bool slotHeaderRead = false;  // the slots file held at least a fixed header
    Hoard::SlotTable::Header slotHeader{};
    std::uint64_t slotFileSize = 0;
    bool bucketHeaderRead = false;
    Hoard::BucketTable::Header bucketHeader{};
    std::uint64_t bucketFileSize = 0;
    bool hasHerald = false;

    std::uint32_t fenix = 0;  // the fenix file's id; 0 when missing or invalid
    bool ownerAlive = false;  // some process holds the writer lock
    pid_t ownerPid = 0;       // the owner record's pid; 0 when none
    std::string ownerName;    // the live owner's command name, when known

    // The header's valueType text (bounded by its field); "" without a header. For dispatch and
    // comparisons; print valueTypeText().
    std::string valueType() const;
    // The same for printing: bytes outside printable ASCII (and '\\', '"') escaped as \xHH.
    std::string valueTypeText() const;
    std::uint32_t members() const;
    std::uint32_t capacity() const;
    // The header checks a reader and a writer make before trusting the files: both headers
    // valid for their file sizes and formatted by the writer the fenix file names. False with
    // the first failure in `error`.
    bool headersValid(const std::shared_ptr<Basalt::Platform::DebugHandler>& debug,
                      std::string& error) const;
    // "pid 1234 (name)" or "pid 1234".
    std::string ownerText() const;
};

// Reads what TableFiles describes for table `name` under the current shm root. Raises
// Basalt::InvalidInitializeException for a name the root path refuses.
TableFiles readTableFiles(const std::shared_ptr<Basalt::Platform::DebugHandler>& debug,
                          const std::string& name);

}  // namespace Hoardctl
