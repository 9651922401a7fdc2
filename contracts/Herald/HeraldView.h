#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "contracts/HoardBase/HeraldPos.h"
#include "contracts/Mem/VerU32.h"

namespace Herald {

// The layout of a table's change-notification queue file ("herald" in the table directory) and
// a read-only, range-checked view of a mapping of it.
//
// The file: a 64-byte header, a ring of `ringSize` 8-byte cells, then one 8-byte position per
// slot (the slot position record):
//  - notification n (n = 1, 2, 3, ...) lives in cell n mod ringSize until notification
//    n + ringSize overwrites it; the header's `sequence` is the latest n, published after its
//    cell. The live window is (sequence - ringSize, sequence].
//  - each cell is one 64-bit word: the low 32 bits of its sequence, the slot index, and three
//    flags: present, superseded (the slot has a later notification; readers skip the cell) and
//    tombstone (the record left the slot: moved away during a shrink).
//  - slot s's position is the sequence of its latest notification (0: none). It stays recorded
//    when the ring laps it; then the slot's notification is no longer in the ring.
// At most one cell of the live window is a live (not superseded) notification of a given slot,
// and it is the slot's recorded position.
//
// Thread safety: a view only loads (acquire or relaxed atomic loads), so it may be used over a
// PROT_READ mapping while the writer changes the file. Every value it returns is checked against
// the mapped size and the geometry taken when the view was made; what the file cannot explain
// shows up as an empty answer or a failed validate(), never as an access outside the mapping.
// The view does not own the mapping: it must not outlive it (or a remap of it).
class HeraldView {
  public:
    static constexpr const char* defaultFileName = "herald";
    static constexpr std::uint32_t headerSize = 64;
    static constexpr std::uint32_t cellSize = 8;
    static constexpr std::uint32_t slotPositionSize = 8;
    static constexpr std::uint32_t minRingSize = 4;
    static constexpr std::uint32_t maxRingSize = 1u << 24;
    static constexpr std::uint32_t defaultRingSize = 1u << 14;
    static constexpr std::uint32_t minSlotCapacity = 512;
    // Slot indices fit the 29 bits a cell has for them.
    static constexpr std::uint32_t maxSlots = 1u << 29;

    // The file header. In the file every field is read and written through atomics; code works
    // on copies (see header()).
    struct Header {
        // The eight ASCII bytes "HOARDHRD" read as a little-endian u64.
        static constexpr std::uint64_t magicValue = 0x4452484452414F48ull;
        static constexpr std::uint32_t versionValue = 1;
        static constexpr std::uint32_t stateLive = 0;
        static constexpr std::uint32_t stateRetired = 1;
        // Bytes 0..23 (magic, version, ringSize, identity) are covered by the checksum.
        static constexpr std::size_t checksummedBytes = 24;

        std::uint64_t magic = 0;         // 0
        std::uint32_t version = 0;       // 8
        std::uint32_t ringSize = 0;      // 12: cells in the ring, a power of two
        std::uint64_t identity = 0;      // 16: fenix at 16, format epoch at 20 (one word)
        std::uint64_t slotCapacity = 0;  // 24: Mem::VerU32: version at 24, slots at 28
        std::uint64_t sequence = 0;      // 32: the latest notification's position (0: none)
        std::uint64_t shrink = 0;        // 40: shrinks started at 40, shrinks ended at 44
        std::uint32_t state = 0;         // 48: stateLive, or stateRetired once removed
        std::uint32_t checksum = 0;      // 52: FNV-1a over bytes 0..23
        std::uint64_t pending = 0;       // 56: the pending-notification word (Pending)

        static constexpr std::uint64_t makeIdentity(std::uint32_t fenix, std::uint32_t epoch) {
            return std::uint64_t{fenix} | (std::uint64_t{epoch} << 32);
        }
        static constexpr std::uint64_t makeShrink(std::uint32_t starts, std::uint32_t ends) {
            return std::uint64_t{starts} | (std::uint64_t{ends} << 32);
        }
        std::uint32_t fenix() const { return static_cast<std::uint32_t>(identity); }
        std::uint32_t epoch() const { return static_cast<std::uint32_t>(identity >> 32); }
        Mem::VerU32 slotCapacityPair() const { return Mem::VerU32::unpack(slotCapacity); }
        std::uint32_t shrinkStarts() const { return static_cast<std::uint32_t>(shrink); }
        std::uint32_t shrinkEnds() const { return static_cast<std::uint32_t>(shrink >> 32); }
        bool shrinkInProgress() const { return shrinkStarts() != shrinkEnds(); }

        // FNV-1a (Basalt::Impl::HashMix<uint32_t>) over bytes 0..23 of this copy.
        std::uint32_t computeChecksum() const;
        // One line: "Herald::Header magic:0x... version:1 ringSize:<n> fenix:<f> epoch:<e>
        // slotCapacity:<n>(v<version>) sequence:<s> shrinks:<started>/<ended> state:<s>
        // checksum:0x...".
        std::string toString() const;
        // True when the header describes a live queue that fits in `fileSize` bytes: magic,
        // version, checksum, a power-of-two ring size in [minRingSize, maxRingSize], a
        // power-of-two slot capacity in [minSlotCapacity, maxSlots], state live, at most one
        // unfinished shrink. On false `error` holds the first failure.
        bool validate(std::size_t fileSize, std::string& error) const;
    };

    // One ring cell: bits 0..31 the low half of the sequence, bits 32..60 the slot, bit 61
    // present, bit 62 superseded, bit 63 tombstone. A never-written cell is 0.
    struct Cell {
        static constexpr std::uint64_t present = 1ull << 61;
        static constexpr std::uint64_t superseded = 1ull << 62;
        static constexpr std::uint64_t tombstone = 1ull << 63;
        static constexpr unsigned slotShift = 32;
        static constexpr std::uint64_t slotMask = std::uint64_t{maxSlots} - 1;

        static constexpr std::uint64_t encode(Hoard::HeraldPos sequence, std::uint32_t slot,
                                              bool isTombstone) {
            return static_cast<std::uint32_t>(sequence) |
                   ((std::uint64_t{slot} & slotMask) << slotShift) | present |
                   (isTombstone ? tombstone : 0);
        }
        static constexpr std::uint32_t seq32(std::uint64_t w) {
            return static_cast<std::uint32_t>(w);
        }
        static constexpr std::uint32_t slot(std::uint64_t w) {
            return static_cast<std::uint32_t>((w >> slotShift) & slotMask);
        }
        static constexpr bool isPresent(std::uint64_t w) { return (w & present) != 0; }
        static constexpr bool isSuperseded(std::uint64_t w) { return (w & superseded) != 0; }
        static constexpr bool isTombstone(std::uint64_t w) { return (w & tombstone) != 0; }
        // True when the cell is notification `sequence` (present, same low half).
        static constexpr bool holds(std::uint64_t w, Hoard::HeraldPos sequence) {
            return isPresent(w) && seq32(w) == static_cast<std::uint32_t>(sequence);
        }
    };

    // One ring cell as the validator sees it.
    struct Entry {
        std::uint32_t index = 0;        // the cell, 0 .. ringSize - 1
        Hoard::HeraldPos sequence = 0;  // its notification's position (see inWindow)
        std::uint32_t slot = 0;
        bool tombstone = false;
        bool superseded = false;  // the slot has a later notification
        // The cell holds the notification of the live window that belongs in it. When false,
        // `sequence` is the latest position at or below the writer's sequence with the cell's
        // low 32 bits: a value the writer never put in this cell.
        bool inWindow = false;
    };

    // Bytes a file needs for `ringSize` cells and `slotCapacity` slot positions (a lower
    // bound: files are never cut). Overflow is a MemoryResourceException.
    static std::size_t fileSizeFor(std::uint32_t ringSize, std::uint32_t slotCapacity);
    // The pending-notification word at bytes 56..63, outside the checksum: the notifications of
    // the operation the writer is in the middle of, stored before the operation's first table
    // store and cleared after its last notification, so that the next writer, should this one
    // die in between, sends them. Bit 63: valid; bit 62: kept (the file's writers keep this
    // word; a file whose word is 0 predates it); bits 58..60: the operation; bits 29..57: a
    // second slot (a move's source); bits 0..28: the slot. Readers never load it.
    struct Pending {
        enum Op : std::uint32_t { none = 0, insert = 1, overwrite = 2, remove = 3, move = 4 };
        static constexpr std::uint64_t valid = 1ull << 63;
        static constexpr std::uint64_t kept = 1ull << 62;
        static constexpr unsigned opShift = 58;
        static constexpr unsigned secondShift = 29;
        static constexpr std::uint64_t slotMask = std::uint64_t{maxSlots} - 1;

        static constexpr std::uint64_t encode(Op op, std::uint32_t slot, std::uint32_t second = 0) {
            return valid | kept | (std::uint64_t{op} << opShift) |
                   ((second & slotMask) << secondShift) | (slot & slotMask);
        }
        static constexpr bool isValid(std::uint64_t w) { return (w & valid) != 0; }
        static constexpr Op op(std::uint64_t w) { return static_cast<Op>((w >> opShift) & 0x7); }
        static constexpr std::uint32_t slot(std::uint64_t w) {
            return static_cast<std::uint32_t>(w & slotMask);
        }
        static constexpr std::uint32_t second(std::uint64_t w) {
            return static_cast<std::uint32_t>((w >> secondShift) & slotMask);
        }
    };

    static constexpr bool validRingSize(std::uint32_t n) {
        return n >= minRingSize && n <= maxRingSize && (n & (n - 1)) == 0;
    }
    static constexpr bool validSlotCapacity(std::uint32_t n) {
        return n >= minSlotCapacity && n <= maxSlots && (n & (n - 1)) == 0;
    }

    // An unusable view (usable() false).
    HeraldView() = default;
    // A view of `mappedSize` bytes at `base`. Takes the ring size from the header once; the
    // view is usable when the header has a valid ring size and the ring fits in the mapping.
    HeraldView(const void* base, std::size_t mappedSize);

    bool usable() const { return usable_; }
    const void* base() const { return base_; }
    std::size_t mappedSize() const { return size_; }
    // The ring size taken when the view was made (0 when unusable).
    std::uint32_t ringSize() const { return ringSize_; }
    // A copy of the header taken with atomic loads (zeros when the mapping is too small).
    Header header() const;
    std::string headerToString() const { return header().toString(); }

    std::uint32_t fenix() const;
    std::uint64_t identity() const;
    bool retired() const;
    // The header's (version, slots) pair, one acquire load. Pairs with the writer's release
    // store in HeraldWriter::slotCapacityIs(): positions below it are initialised.
    Mem::VerU32 slotCapacityPair() const;
    // The published slot capacity, clamped to the slot positions the mapping holds.
    std::uint32_t slotCapacity() const;
    // The latest notification's position, one acquire load. Pairs with the writer's release
    // store of the sequence in HeraldWriter::append(): every cell up to it is written.
    Hoard::HeraldPos sequence() const;
    // The oldest position of the live window (sequence() + 1 when the queue is empty).
    Hoard::HeraldPos windowBegin() const;
    bool inWindow(Hoard::HeraldPos p) const;
    // The cell a position lives in.
    std::uint32_t indexOf(Hoard::HeraldPos p) const {
        return static_cast<std::uint32_t>(p & (ringSize_ - 1));
    }
    bool shrinkInProgress() const;

    // Cell `index` (< ringSize()), or nothing for a never-written cell or an index out of range.
    std::optional<Entry> entryAtIndex(std::uint32_t index) const;
    // The cell of position `p` when it still holds notification p (p in the live window).
    std::optional<Entry> entryAt(Hoard::HeraldPos p) const;
    // Slot `slot`'s recorded position: the sequence of its latest notification; 0 (none) also
    // for a slot at or beyond slotCapacity().
    Hoard::HeraldPos slotPosition(std::uint32_t slot) const;

    // The queue's own check: the header (see Header::validate, and `fenix` when it is not 0),
    // every cell (the window's cells hold their own sequences, nothing outside the window,
    // slots below the capacity and below `mostSlots` when it is not 0, each live cell is its
    // slot's recorded position, each superseded cell's slot records a later one), and every
    // slot position (at most the writer's sequence, none at or beyond `mostSlots` when it is
    // not 0, a position in the window names a live cell of that slot). Linear in ringSize and
    // the slot capacity. On false `error` holds the first failure.
    bool validate(std::uint32_t fenix, std::uint32_t mostSlots, std::string& error) const;

  private:
    const std::uint64_t* cells() const;
    const std::uint64_t* positions() const;
    std::uint64_t cellWord(std::uint32_t index) const;
    // The position that belongs in cell `index` when the writer's sequence is `head` (0: none).
    Hoard::HeraldPos expectedAt(std::uint32_t index, Hoard::HeraldPos head) const;
    Entry decode(std::uint32_t index, std::uint64_t w, Hoard::HeraldPos head) const;

    const unsigned char* base_ = nullptr;
    std::size_t size_ = 0;
    std::uint32_t ringSize_ = 0;
    std::uint32_t mappedSlots_ = 0;
    bool usable_ = false;
};

// Offsets of the header's fields in the mapped file, for the atomic loads and stores of the
// queue's writer, reader and view (each field is accessed in place, never through a Header copy).
namespace HeaderOffset {
inline constexpr std::size_t offMagic = offsetof(HeraldView::Header, magic);
inline constexpr std::size_t offVersion = offsetof(HeraldView::Header, version);
inline constexpr std::size_t offRingSize = offsetof(HeraldView::Header, ringSize);
inline constexpr std::size_t offIdentity = offsetof(HeraldView::Header, identity);
inline constexpr std::size_t offCapacity = offsetof(HeraldView::Header, slotCapacity);
inline constexpr std::size_t offSequence = offsetof(HeraldView::Header, sequence);
inline constexpr std::size_t offShrink = offsetof(HeraldView::Header, shrink);
inline constexpr std::size_t offState = offsetof(HeraldView::Header, state);
inline constexpr std::size_t offChecksum = offsetof(HeraldView::Header, checksum);
inline constexpr std::size_t offPending = offsetof(HeraldView::Header, pending);
}  // namespace HeaderOffset

static_assert(sizeof(HeraldView::Header) == HeraldView::headerSize,
              "the header struct is the file's 64-byte header, field for field");
static_assert(offsetof(HeraldView::Header, identity) % 8 == 0 &&
                  offsetof(HeraldView::Header, slotCapacity) % 8 == 0 &&
                  offsetof(HeraldView::Header, sequence) % 8 == 0 &&
                  offsetof(HeraldView::Header, shrink) % 8 == 0,
              "the words a reader loads as one 64-bit atomic are 8-aligned");
static_assert(offsetof(HeraldView::Header, identity) == 16 &&
                  offsetof(HeraldView::Header, slotCapacity) == 24 &&
                  offsetof(HeraldView::Header, sequence) == 32 &&
                  offsetof(HeraldView::Header, shrink) == 40 &&
                  offsetof(HeraldView::Header, state) == 48 &&
                  offsetof(HeraldView::Header, checksum) == 52,
              "the header offsets are the documented file format");
static_assert(HeraldView::Header::checksummedBytes == offsetof(HeraldView::Header, slotCapacity),
              "the checksum covers exactly the fields fixed when the file is formatted");
static_assert(HeraldView::headerSize % 8 == 0 && HeraldView::cellSize == 8 &&
                  HeraldView::slotPositionSize == 8,
              "cells and slot positions are 8-aligned 64-bit words");
static_assert(HeraldView::Cell::slotMask + 1 == HeraldView::maxSlots &&
                  (HeraldView::Cell::slotMask << HeraldView::Cell::slotShift &
                   (HeraldView::Cell::present | HeraldView::Cell::superseded |
                    HeraldView::Cell::tombstone)) == 0,
              "a cell's slot bits and flag bits do not overlap");
static_assert(HeraldView::defaultRingSize >= HeraldView::minRingSize &&
                  HeraldView::validRingSize(HeraldView::defaultRingSize),
              "the default ring size is a valid ring size");

}  // namespace Herald
