#include "contracts/Herald/HeraldView.h"

#include <algorithm>
#include <sstream>

#include "contracts/Basalt/HashMix.h"
#include "contracts/Mem/Atomics.h"

namespace Herald {

namespace {

using Hoard::HeraldPos;
using Mem::Atomics::loadAcquire;
using Mem::Atomics::loadRelaxed;

template <class T>
const T& fieldAt(const unsigned char* base, std::size_t offset) {
    return *reinterpret_cast<const T*>(base + offset);
}

using namespace HeaderOffset;

// The largest position at or below `head` whose low 32 bits are `low` (or, when there is none,
// the one just above: a cell the writer cannot have written yet).
HeraldPos widen(std::uint32_t low, HeraldPos head) {
    HeraldPos s = (head & ~HeraldPos{0xFFFFFFFFu}) | low;
    if (s > head && s >= (HeraldPos{1} << 32)) s -= HeraldPos{1} << 32;
    return s;
}

bool fail(std::string& error, const std::string& text) {
    error = text;
    return false;
}

}  // namespace

std::uint32_t HeraldView::Header::computeChecksum() const {
    using Fnv = Basalt::Impl::HashMix<std::uint32_t>;
    return Fnv::mixFixedLen(Fnv::offsetBasis, this, checksummedBytes);
}

std::string HeraldView::Header::toString() const {
    std::ostringstream os;
    os << "Herald::Header magic:0x" << std::hex << magic << std::dec << " version:" << version
       << " ringSize:" << ringSize << " fenix:" << fenix() << " epoch:" << epoch()
       << " slotCapacity:" << slotCapacityPair() << " sequence:" << sequence
       << " shrinks:" << shrinkStarts() << "/" << shrinkEnds() << " state:" << state
       << " checksum:0x" << std::hex << checksum;
    return os.str();
}

bool HeraldView::Header::validate(std::size_t fileSize, std::string& error) const {
    if (magic != magicValue) {
        std::ostringstream os;
        os << "bad magic 0x" << std::hex << magic;
        return fail(error, os.str());
    }
    if (version != versionValue) return fail(error, "bad version " + std::to_string(version));
    if (checksum != computeChecksum()) {
        std::ostringstream os;
        os << "bad header checksum 0x" << std::hex << checksum << ", computed 0x"
           << computeChecksum();
        return fail(error, os.str());
    }
    if (!validRingSize(ringSize)) return fail(error, "bad ring size " + std::to_string(ringSize));
    const std::uint32_t capacity = slotCapacityPair().value;
    if (!validSlotCapacity(capacity)) {
        return fail(error, "bad slot capacity " + std::to_string(capacity));
    }
    const std::size_t needed = fileSizeFor(ringSize, capacity);
    if (needed > fileSize) {
        return fail(error, "file has " + std::to_string(fileSize) + " bytes, its header needs " +
                               std::to_string(needed));
    }
    if (state != stateLive)
        return fail(error, "queue retired (state " + std::to_string(state) + ")");
    if (shrinkStarts() - shrinkEnds() > 1) {
        return fail(error, "bad shrink record: " + std::to_string(shrinkStarts()) + " started, " +
                               std::to_string(shrinkEnds()) + " ended");
    }
    return true;
}

std::size_t HeraldView::fileSizeFor(std::uint32_t ringSize, std::uint32_t slotCapacity) {
    return headerSize + Mem::multiplyOverflowCheck(ringSize, cellSize) +
           Mem::multiplyOverflowCheck(slotCapacity, slotPositionSize);
}

HeraldView::HeraldView(const void* base, std::size_t mappedSize)
    : base_(static_cast<const unsigned char*>(base)), size_(base ? mappedSize : 0) {
    if (size_ < headerSize) return;
    const std::uint32_t ring = loadRelaxed(fieldAt<std::uint32_t>(base_, 12));
    if (!validRingSize(ring)) return;
    const std::size_t ringEnd = headerSize + std::size_t{ring} * cellSize;
    if (ringEnd > size_) return;
    ringSize_ = ring;
    mappedSlots_ = static_cast<std::uint32_t>(
        std::min<std::size_t>((size_ - ringEnd) / slotPositionSize, maxSlots));
    usable_ = true;
}

HeraldView::Header HeraldView::header() const {
    Header h;
    if (size_ < headerSize) return h;
    h.magic = loadAcquire(fieldAt<std::uint64_t>(base_, 0));
    h.version = loadAcquire(fieldAt<std::uint32_t>(base_, 8));
    h.ringSize = loadAcquire(fieldAt<std::uint32_t>(base_, 12));
    h.identity = loadAcquire(fieldAt<std::uint64_t>(base_, offIdentity));
    h.slotCapacity = loadAcquire(fieldAt<std::uint64_t>(base_, offCapacity));
    h.sequence = loadAcquire(fieldAt<std::uint64_t>(base_, offSequence));
    h.shrink = loadAcquire(fieldAt<std::uint64_t>(base_, offShrink));
    h.state = loadAcquire(fieldAt<std::uint32_t>(base_, offState));
    h.checksum = loadAcquire(fieldAt<std::uint32_t>(base_, 52));
    h.pending = loadAcquire(fieldAt<std::uint64_t>(base_, 56));
    return h;
}

std::uint32_t HeraldView::fenix() const { return static_cast<std::uint32_t>(identity()); }

std::uint64_t HeraldView::identity() const {
    return size_ < headerSize ? 0 : loadAcquire(fieldAt<std::uint64_t>(base_, offIdentity));
}

bool HeraldView::retired() const {
    return size_ < headerSize ||
           loadAcquire(fieldAt<std::uint32_t>(base_, offState)) != Header::stateLive;
}

Mem::VerU32 HeraldView::slotCapacityPair() const {
    if (size_ < headerSize) return {};
    return Mem::VerU32::load(fieldAt<std::uint64_t>(base_, offCapacity));
}

std::uint32_t HeraldView::slotCapacity() const {
    return usable_ ? std::min(slotCapacityPair().value, mappedSlots_) : 0;
}

HeraldPos HeraldView::sequence() const {
    return size_ < headerSize ? 0 : loadAcquire(fieldAt<std::uint64_t>(base_, offSequence));
}

HeraldPos HeraldView::windowBegin() const {
    const HeraldPos head = sequence();
    return head < ringSize_ ? 1 : head - ringSize_ + 1;
}

bool HeraldView::inWindow(HeraldPos p) const {
    const HeraldPos head = sequence();
    return usable_ && p != 0 && p <= head && head - p < ringSize_;
}

bool HeraldView::shrinkInProgress() const {
    if (size_ < headerSize) return false;
    const std::uint64_t w = loadAcquire(fieldAt<std::uint64_t>(base_, offShrink));
    return static_cast<std::uint32_t>(w) != static_cast<std::uint32_t>(w >> 32);
}

const std::uint64_t* HeraldView::cells() const {
    return reinterpret_cast<const std::uint64_t*>(base_ + headerSize);
}

const std::uint64_t* HeraldView::positions() const { return cells() + ringSize_; }

std::uint64_t HeraldView::cellWord(std::uint32_t index) const {
    // Pairs with the writer's release stores of cells in HeraldWriter::append() and of the
    // superseded mark: a reader that sees a cell sees the stores made before it.
    return loadAcquire(cells()[index]);
}

HeraldPos HeraldView::expectedAt(std::uint32_t index, HeraldPos head) const {
    const HeraldPos back = (head - index) & (ringSize_ - 1);
    return back < head ? head - back : 0;
}

HeraldView::Entry HeraldView::decode(std::uint32_t index, std::uint64_t w, HeraldPos head) const {
    Entry e;
    e.index = index;
    e.slot = Cell::slot(w);
    e.tombstone = Cell::isTombstone(w);
    e.superseded = Cell::isSuperseded(w);
    const HeraldPos expected = expectedAt(index, head);
    if (expected != 0 && Cell::holds(w, expected)) {
        e.sequence = expected;
        e.inWindow = true;
    } else {
        e.sequence = widen(Cell::seq32(w), head);
    }
    return e;
}

std::optional<HeraldView::Entry> HeraldView::entryAtIndex(std::uint32_t index) const {
    if (!usable_ || index >= ringSize_) return std::nullopt;
    const HeraldPos head = sequence();
    const std::uint64_t w = cellWord(index);
    if (!Cell::isPresent(w)) return std::nullopt;
    return decode(index, w, head);
}

std::optional<HeraldView::Entry> HeraldView::entryAt(HeraldPos p) const {
    if (!inWindow(p)) return std::nullopt;
    const std::uint64_t w = cellWord(indexOf(p));
    if (!Cell::holds(w, p)) return std::nullopt;
    Entry e;
    e.index = indexOf(p);
    e.sequence = p;
    e.slot = Cell::slot(w);
    e.tombstone = Cell::isTombstone(w);
    e.superseded = Cell::isSuperseded(w);
    e.inWindow = true;
    return e;
}

HeraldPos HeraldView::slotPosition(std::uint32_t slot) const {
    if (slot >= slotCapacity()) return 0;
    // Pairs with the writer's release store of the slot's position in HeraldWriter::append().
    return loadAcquire(positions()[slot]);
}

bool HeraldView::validate(std::uint32_t fenix, std::uint32_t mostSlots, std::string& error) const {
    const Header h = header();
    if (size_ < headerSize) return fail(error, "mapping of " + std::to_string(size_) + " bytes");
    if (!h.validate(size_, error)) return false;
    if (!usable_ || h.ringSize != ringSize_) {
        return fail(error, "ring size changed to " + std::to_string(h.ringSize) + " from " +
                               std::to_string(ringSize_));
    }
    if (fenix != 0 && h.fenix() != fenix) {
        return fail(error, "fenix " + std::to_string(h.fenix()) + " is not the writer's " +
                               std::to_string(fenix));
    }
    const HeraldPos head = h.sequence;
    const std::uint32_t capacity = h.slotCapacityPair().value;  // fits: checked by h.validate
    const std::uint64_t* pos = positions();
    for (std::uint32_t i = 0; i < ringSize_; ++i) {
        const std::uint64_t w = cellWord(i);
        const HeraldPos expected = expectedAt(i, head);
        const std::string where = "herald cell " + std::to_string(i);
        if (expected == 0) {
            if (w != 0) {
                return fail(error, where + " holds sequence " +
                                       std::to_string(widen(Cell::seq32(w), head)) +
                                       " beyond the writer's sequence " + std::to_string(head));
            }
            continue;
        }
        if (!Cell::holds(w, expected)) {
            return fail(error, where + " holds " +
                                   (Cell::isPresent(w)
                                        ? "sequence " + std::to_string(widen(Cell::seq32(w), head))
                                        : std::string("nothing")) +
                                   ", expected sequence " + std::to_string(expected));
        }
        const std::uint32_t slot = Cell::slot(w);
        const std::string what =
            where + " sequence " + std::to_string(expected) + " slot " + std::to_string(slot);
        if (slot >= capacity || (mostSlots != 0 && slot >= mostSlots)) {
            return fail(error, what + " is beyond the slot capacity " + std::to_string(capacity) +
                                   " or mostSlots " + std::to_string(mostSlots));
        }
        const HeraldPos recorded = loadAcquire(pos[slot]);
        if (Cell::isSuperseded(w) ? recorded <= expected : recorded != expected) {
            return fail(error, what + (Cell::isSuperseded(w) ? " superseded" : " live") +
                                   " but the slot records position " + std::to_string(recorded));
        }
    }
    for (std::uint32_t s = 0; s < capacity; ++s) {
        const HeraldPos p = loadAcquire(pos[s]);
        if (p == 0) continue;
        const std::string what =
            "herald slot " + std::to_string(s) + " records position " + std::to_string(p);
        if (p > head) {
            return fail(error, what + " beyond the writer's sequence " + std::to_string(head));
        }
        if (mostSlots != 0 && s >= mostSlots) {
            return fail(error, what + " but the table never had more than " +
                                   std::to_string(mostSlots) + " slots");
        }
        if (head - p < ringSize_) {
            const std::uint64_t w = cellWord(indexOf(p));
            if (!Cell::holds(w, p) || Cell::slot(w) != s || Cell::isSuperseded(w)) {
                return fail(error, what + " whose cell " + std::to_string(indexOf(p)) +
                                       " is not its live notification");
            }
        }
    }
    return true;
}

}  // namespace Herald
