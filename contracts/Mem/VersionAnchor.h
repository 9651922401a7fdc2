#pragma once

#include <cstdint>
#include <ostream>

#include "contracts/Basalt/Exception.h"

namespace Mem {

// The value a caller read earlier is no longer current: the status word anchoring it changed, or
// the anchor was invalidated. Carries an empty message.
class VersionMismatchException : public Basalt::Exception {
  public:
    VersionMismatchException() : Basalt::Exception("") {}
};

// Where the value returned by the last successful lookup or iteration step came from: the slot's
// 32-bit status word as it was then (`status`), the word's byte offset from `base`, and the base
// address of the mapping that holds it. validate() tells whether that word still holds `status`,
// i.e. whether the value read is still the current one.
//
// The owner must invalidate() (or re-record) the anchor before the mapping at `base` is unmapped
// or moved: validate() reads through `base`. A miss records `unset` (offset only).
//
// A slot's status counter alone does not prove that a value is current: a shrink releases slots
// and a later growth formats them again with the counter restarted, so the same key rewritten
// into the same slot can carry the status it had when the anchor was taken. `epoch` is the
// version half of the table's (version, numSlots) word under which the value was read; the
// owner passes the current one to validate(), and any change since (a grow or a shrink) is a
// mismatch. A false mismatch after a growth only costs the caller a re-read.
//
// Thread safety: one thread uses an anchor. The anchored word may be changed concurrently by the
// table's writer in another process; validate() reads it with one acquire load.
struct VersionAnchor {
    // Never recorded, or cleared by a miss: validate() is a programming fault.
    static constexpr std::uint32_t unset = 0xFFFFFFFE;
    // Invalidated: validate() always reports a mismatch.
    static constexpr std::uint32_t invalid = 0xFFFFFFFF;

    std::uint32_t status = 0;
    std::uint32_t offset = unset;
    const void* base = nullptr;
    std::uint32_t epoch = 0;

    // Returns when the anchored word still equals `status`. An unset anchor raises a Basalt
    // assertion ("should not be called on a default-constructed VersionAnchor", source
    // "SharedMem/VersionAnchor", in "VersionAnchor::validate"); an invalidated anchor, a null base
    // or a changed word throws VersionMismatchException. An offset that is not 4-aligned from
    // `base` is an assertion too (the word could not be loaded atomically).
    void validate() const;
    // validate(), and a mismatch when the slot count's version is no longer `currentEpoch`.
    void validate(std::uint32_t currentEpoch) const;
    void invalidate() { offset = invalid; }
    // Anchors a value just read: `newStatus` is the status word the read was re-checked against,
    // found at `newOffset` bytes from the mapping base `newBase`.
    void set(const void* newBase, std::uint32_t newOffset, std::uint32_t newStatus) {
        base = newBase;
        offset = newOffset;
        status = newStatus;
    }
    // A miss: nothing is anchored.
    void clear() { offset = unset; }
};

// A value's version as a cache keeps it: the anchor's status (`high`) and offset (`low`), and the
// slot count's version it was read under (`epoch`, see VersionAnchor); equal anchors mean the
// cached value is still the table's current one.
struct CacheVersionAnchor {
    std::uint32_t high = 0;
    std::uint32_t low = 0;
    std::uint32_t epoch = 0;

    friend bool operator==(const CacheVersionAnchor&, const CacheVersionAnchor&) = default;
    friend std::ostream& operator<<(std::ostream& os, const CacheVersionAnchor& a) {
        return os << "(" << a.high << "," << a.low << "," << a.epoch << ")";
    }
};

}  // namespace Mem
