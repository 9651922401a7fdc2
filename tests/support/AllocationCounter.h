#pragma once

#include <cstdint>

namespace TestSupport {

// Counts heap allocations made through the global operator new by the calling thread, so that a
// test can prove a hot path (hash, compare, lookup) allocates nothing. Linking any use of this
// header into a test program replaces the global operator new/delete for that program.
std::uint64_t threadAllocations();

}  // namespace TestSupport
