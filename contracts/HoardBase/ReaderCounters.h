#pragma once

#include <cstdint>

namespace Hoard::Reader {

// Statistics of one table reader. Plain counters: only the reader's own thread changes them;
// other threads read a copy (readerCounters()).
struct Counters {
    std::uint64_t lookups = 0;         // lookups and iteration steps served
    std::uint64_t retries = 0;         // reads repeated because a re-check saw a concurrent change
    std::uint64_t slowPaths = 0;       // iteration steps that searched the key's run again
    std::uint64_t lookasideReads = 0;  // values read from the lookaside slot during a rewrite
    std::uint64_t remaps = 0;          // mappings renewed after the writer grew or shrank a file
    std::uint64_t baseMoves = 0;       // remaps that moved the mapping's base address
    std::uint64_t corruptions = 0;     // findings reported as corruption
};

}  // namespace Hoard::Reader
