#pragma once

#include <cstdint>
#include <ostream>
#include <string>

#include "contracts/HoardBase/HoardType.h"

namespace Hoard {

// How a collection wants its table opened: size limits, growth and shrink policy, the process's
// mode, local (process-private) memory, and the shadow options. The facade keeps a copy and
// compares it on re-initialisation (operator==); the table writer reads the size, shrink, prune
// and heap fields.
struct MapDescriptor {
    std::uint32_t slotLimit = 1024;  // the table's maxSize: slots it may grow to
    bool fixedSize = false;          // a full table refuses writes instead of growing
    bool shrinkable = true;          // the slot file shrinks when occupancy drops
    bool shrinkBuckets = true;       // the bucket count halves when occupancy drops
    // Clear selects notification prune mode 2, set selects 0 (pruneMode()).
    bool pruneNotifications = false;
    bool local = false;        // a process-private table: no files, locks, socket or fenix file
    bool useHeap = false;      // local memory comes from the heap instead of an anonymous mapping
    bool heapCheck = false;    // local heap memory is checked on release
    bool synchronous = false;  // a shadow reader synchronises before init returns
    bool cleanFirst = false;   // init removes the table's files before attaching
    // Option bit 1 of a shadow reader, handed to Hoard::HoardShadowBase unchanged.
    bool shadowBaseOption = false;
    // Option bit 2 of a shadow reader: a flush after detach reports every flushed key to the
    // owner's key callback.
    bool reportFlushedKeys = false;
    HoardType mode = writer;
    std::uint32_t initialSize = 0;  // slots to format a new table with; 0 for the default
    std::uint32_t mapFlag = 0;      // handed to the slot file's mapping
    // Seconds a shrunk tail of a table file stays backed before the writer releases its memory:
    // a reader inside an operation begun before the shrink may still read it.
    double releaseGrace = 1.0;
    // Once the owning entity loses its parent, any use of the collection is a fault (the facade
    // installs its strict placeholder) instead of an empty table's answers.
    bool assertOnOrphanAccess = false;
    // A writer that finds its table left by a writer that died inside an operation repairs it
    // in place (Hoard::Recovery), keeping every committed record; clear: the table is
    // re-formatted whenever it fails validation, losing its records.
    bool recoverOnAttach = true;

    // The notification writer's prune mode this descriptor selects.
    std::uint32_t pruneMode() const { return pruneNotifications ? 0u : 2u; }

    friend bool operator==(const MapDescriptor&, const MapDescriptor&) = default;

    // Every field as "name:value", space separated, in declaration order; booleans as 0 or 1,
    // the mode as its text.
    std::string toString() const;
    friend std::ostream& operator<<(std::ostream& os, const MapDescriptor& d) {
        return os << d.toString();
    }
};

}  // namespace Hoard
