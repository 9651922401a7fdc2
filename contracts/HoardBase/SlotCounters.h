#pragma once

#include <bit>
#include <cstdint>
#include <vector>

namespace Hoard {

// The occupancy of a shadow store's slots and the statistics of its index: which slot indexes
// hold an entry, how many do, and the highest one in use. Owns a bitmap of one bit per slot.
//
// Guarantees: entries() counts the occupied slots exactly (marking a slot twice counts once);
// largestOccupied() is the highest occupied index + 1, or 0 when none, at every moment, also
// right after the highest slot was freed. The "+1" makes it a slot count: shrinking the store to
// largestOccupied() slots keeps every occupied slot.
//
// Thread safety: process-local, used by the one thread that owns the shadow.
class SlotCounters {
  public:
    // `baseCount`: how many slots fit in the shared file's first page.
    explicit SlotCounters(std::uint32_t baseCount) : baseCount_(baseCount) {}

    std::uint32_t baseCount() const { return baseCount_; }

    void occupiedIs(std::uint32_t slotIndex, bool occupied) {
        const std::size_t word = slotIndex / 64;
        const std::uint64_t bit = std::uint64_t{1} << (slotIndex % 64);
        if (occupied) {
            if (word >= bits_.size()) bits_.resize(word + 1, 0);
            if (bits_[word] & bit) return;
            bits_[word] |= bit;
            ++entries_;
            if (slotIndex >= largest_) largest_ = slotIndex + 1;
            return;
        }
        if (word >= bits_.size() || !(bits_[word] & bit)) return;
        bits_[word] &= ~bit;
        --entries_;
        if (slotIndex + 1 == largest_) recomputeLargest();
    }
    // The entry of slot `from` now lives in slot `to`.
    void moved(std::uint32_t from, std::uint32_t to) {
        occupiedIs(to, true);
        occupiedIs(from, false);
    }
    // Forgets every slot's occupancy (the statistics are kept).
    void clearOccupancy() {
        bits_.clear();
        entries_ = 0;
        largest_ = 0;
    }
    bool occupied(std::uint32_t slotIndex) const {
        const std::size_t word = slotIndex / 64;
        return word < bits_.size() && (bits_[word] >> (slotIndex % 64) & 1);
    }

    std::uint32_t entries() const { return entries_; }
    std::uint32_t largestOccupied() const { return largest_; }

    std::uint64_t writes = 0;         // slots put into the index
    std::uint64_t grows = 0;          // shadow store growths
    std::uint64_t shrinks = 0;        // shadow store shrinks
    std::uint64_t patches = 0;        // index pointers rebased after the store moved
    std::uint64_t moves = 0;          // keys that moved to another slot
    std::uint64_t slowPaths = 0;      // iteration steps that searched instead of following a hint
    std::uint64_t bucketGrows = 0;    // bucket-count doublings
    std::uint64_t bucketShrinks = 0;  // bucket-count halvings

  private:
    // Scans down from the old highest word, 64 slots at a time, and drops the empty tail words
    // so the next scan starts lower.
    void recomputeLargest() {
        while (!bits_.empty() && bits_.back() == 0) bits_.pop_back();
        largest_ =
            bits_.empty()
                ? 0
                : static_cast<std::uint32_t>(bits_.size() * 64 - std::countl_zero(bits_.back()));
    }

    std::uint32_t baseCount_;
    std::uint32_t entries_ = 0;
    std::uint32_t largest_ = 0;  // highest occupied index + 1
    std::vector<std::uint64_t> bits_;
};

}  // namespace Hoard
