#pragma once

#include <cstdint>

namespace Hoard::Writer {

// Statistics of one table writer, reset at each attach. Plain counters: only the writer thread
// changes them; other threads read a copy (writerCounters()).
struct Counters {
    std::uint64_t allocs = 0;             // slots taken off the free list
    std::uint64_t grows = 0;              // slot-file growths
    std::uint64_t remaps = 0;             // remaps that moved the mapping's base address
    std::uint64_t shrinks = 0;            // slot-file shrinks
    std::uint64_t movedRecords = 0;       // records moved down by shrinks
    std::uint64_t pendingTombstones = 0;  // tombstones queued for moved records, not yet consumed
    std::uint64_t writes = 0;             // new records written
    std::uint64_t overwrites = 0;         // records rewritten in place
    std::uint64_t removes = 0;            // records removed
    std::uint64_t bucketGrows = 0;        // bucket-count doublings
    std::uint64_t bucketShrinks = 0;      // bucket-count halvings
    std::uint64_t repairs = 0;            // repairs made by recovery at attach
};

}  // namespace Hoard::Writer
