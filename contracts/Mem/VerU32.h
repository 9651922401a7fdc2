#pragma once

#include <cstdint>
#include <ostream>

#include "contracts/Mem/Atomics.h"

namespace Mem {

// A (version, value) pair of 32-bit words that is published and read as one aligned 64-bit word,
// so that a reader never sees a new value with an old version or the reverse. The version counts
// the changes of the value. In memory: version at +0, value at +4 (little-endian).
struct VerU32 {
    std::uint32_t version = 0;
    std::uint32_t value = 0;

    static constexpr std::uint64_t pack(std::uint32_t version, std::uint32_t value) {
        return std::uint64_t{version} | (std::uint64_t{value} << 32);
    }
    static constexpr VerU32 unpack(std::uint64_t word) {
        return VerU32{static_cast<std::uint32_t>(word), static_cast<std::uint32_t>(word >> 32)};
    }
    constexpr std::uint64_t packed() const { return pack(version, value); }

    // Reads the pair at `word` (8-aligned) with one acquire load.
    static VerU32 load(const std::uint64_t& word) { return unpack(Atomics::loadAcquire(word)); }
    // Publishes `v` at `word` with one release store.
    static void store(std::uint64_t& word, VerU32 v) { Atomics::storeRelease(word, v.packed()); }

    friend constexpr bool operator==(VerU32, VerU32) = default;
    // Text form: "<value>(v<version>)".
    friend std::ostream& operator<<(std::ostream& os, VerU32 v) {
        return os << v.value << "(v" << v.version << ")";
    }
};

static_assert(sizeof(VerU32) == 8 && alignof(VerU32) == 4, "a VerU32 is two 32-bit words");

// a * b, raising Basalt::MemoryResourceException instead of wrapping.
std::size_t multiplyOverflowCheck(std::size_t a, std::size_t b);

}  // namespace Mem
