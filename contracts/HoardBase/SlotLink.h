#pragma once

#include <cstdint>

#include "contracts/Mem/Atomics.h"

namespace Hoard {

// A link word of the table engine: `seq` in the low half (a change counter, +4 on every rewrite),
// `next` in the high half. Slot links and bucket entries are SlotLinks; each is written as one
// aligned 64-bit release store and read as one acquire load, so `seq` and `next` always belong
// together.
//
// `next` encoding:
//  - 0 .. 0x7FFFFFFF: the index of the next slot;
//  - 0x80000000 | b: end of the current bucket's run; bucket b's run follows;
//  - 0xFFFFFFFF: end of the whole list (and of the free list).
struct SlotLink {
    static constexpr std::uint32_t endOfList = 0xFFFFFFFFu;
    static constexpr std::uint32_t bucketFlag = 0x80000000u;
    static constexpr std::uint32_t seqStep = 4;

    std::uint32_t seq = 0;
    std::uint32_t next = endOfList;

    static constexpr bool isSlot(std::uint32_t next) { return (next & bucketFlag) == 0; }
    static constexpr bool isBucketMarker(std::uint32_t next) {
        return next != endOfList && (next & bucketFlag) != 0;
    }
    static constexpr std::uint32_t bucketMarker(std::uint32_t bucket) {
        return bucketFlag | bucket;
    }
    static constexpr std::uint32_t markerBucket(std::uint32_t next) { return next & ~bucketFlag; }

    static constexpr std::uint64_t pack(SlotLink l) {
        return std::uint64_t{l.seq} | (std::uint64_t{l.next} << 32);
    }
    static constexpr SlotLink unpack(std::uint64_t w) {
        return SlotLink{static_cast<std::uint32_t>(w), static_cast<std::uint32_t>(w >> 32)};
    }
    static SlotLink load(const std::uint64_t& word) {
        return unpack(Mem::Atomics::loadAcquire(word));
    }
    static void store(std::uint64_t& word, SlotLink l) {
        Mem::Atomics::storeRelease(word, pack(l));
    }

    friend constexpr bool operator==(SlotLink, SlotLink) = default;
};

static_assert(sizeof(SlotLink) == 8, "a SlotLink is one 64-bit word");

}  // namespace Hoard
