#include "contracts/Herald/HeraldWriter.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>

#include "contracts/Basalt/Exception.h"
#include "contracts/Mem/Atomics.h"
#include "contracts/Mem/VerU32.h"

namespace Herald {

namespace {

using Cell = HeraldView::Cell;
using Header = HeraldView::Header;
using Hoard::HeraldPos;
using Mem::Atomics::loadAcquire;
using Mem::Atomics::loadRelaxed;
using Mem::Atomics::storeRelaxed;
using Mem::Atomics::storeRelease;

using namespace HeaderOffset;

// The position that belongs in cell `index` of a ring of `ringSize` cells when the writer's
// sequence is `head` (0: none).
HeraldPos expectedAt(std::uint32_t index, HeraldPos head, std::uint32_t ringSize) {
    const HeraldPos back = (head - index) & (ringSize - 1);
    return back < head ? head - back : 0;
}

#ifdef FLOWTABLE_TEST_HOOKS
std::atomic<HeraldCrashPoint> crashPoint{HeraldCrashPoint::none};
void crashAt(HeraldCrashPoint point) {
    if (crashPoint.load(std::memory_order_relaxed) == point) ::kill(::getpid(), SIGKILL);
}
#else
enum class HeraldCrashPoint { none, afterCell, afterSlotPosition, afterSequence };
inline void crashAt(HeraldCrashPoint) {}
#endif

}  // namespace

#ifdef FLOWTABLE_TEST_HOOKS
void heraldCrashPointIs(HeraldCrashPoint point) {
    crashPoint.store(point, std::memory_order_relaxed);
}
#endif

template <class SlotT, class PosT>
HeraldWriter<SlotT, PosT>::HeraldWriter(std::shared_ptr<Basalt::Platform::DebugHandler> debug,
                                        const Mem::RootPath& rootPath, std::uint32_t ringSize,
                                        std::string fileName)
    : debug_(std::move(debug)),
      rootPath_(rootPath),
      fileName_(std::move(fileName)),
      path_(rootPath.filePath(fileName_)),
      configuredRingSize_(ringSize),
      mem_(debug_, rootPath_, fileName_, true) {
    if (!HeraldView::validRingSize(ringSize)) {
        Basalt::InvalidInitializeException::throwException(
            "HeraldWriter() bad ring size " + std::to_string(ringSize) + " for " + path_ +
            ": a power of two in [" + std::to_string(HeraldView::minRingSize) + ", " +
            std::to_string(HeraldView::maxRingSize) + "]");
    }
}

template <class SlotT, class PosT>
HeraldWriter<SlotT, PosT>::~HeraldWriter() {
    detach();
}

template <class SlotT, class PosT>
std::uint64_t& HeraldWriter<SlotT, PosT>::headerWord(std::size_t offset) const {
    return *reinterpret_cast<std::uint64_t*>(base_ + offset);
}

template <class SlotT, class PosT>
std::uint32_t& HeraldWriter<SlotT, PosT>::headerU32(std::size_t offset) const {
    return *reinterpret_cast<std::uint32_t*>(base_ + offset);
}

template <class SlotT, class PosT>
void HeraldWriter<SlotT, PosT>::mapOrThrow(std::size_t size, const char* what) {
    void* p = mem_.attached() ? mem_.resize(size)
                              : mem_.attach(size, Mem::SharedMemWrapper::Mode::readWrite);
    if (p == nullptr) {
        base_ = nullptr;
        cells_ = positions_ = nullptr;
        if (mem_.attached()) mem_.detach();
        Basalt::MemoryResourceException::throwException(
            std::string("HeraldWriter::") + what + "() failed to map " + path_ + " with " +
            std::to_string(size) + " bytes. Reason: " + mem_.reason());
    }
    base_ = static_cast<unsigned char*>(p);
    bind();
}

template <class SlotT, class PosT>
void HeraldWriter<SlotT, PosT>::bind() {
    cells_ = reinterpret_cast<std::uint64_t*>(base_ + HeraldView::headerSize);
    positions_ = cells_ + ringSize_;
}

template <class SlotT, class PosT>
int HeraldWriter<SlotT, PosT>::attach(std::uint32_t fenix) {
    detach();
    rootPath_.ensureDirectory();
    BASALT_TRACE(debug_, 5, "HeraldWriter::attach() " << path_ << " fenix:" << fenix);
    ringSize_ = 0;
    mapOrThrow(HeraldView::headerSize, "attach");
    const bool existed = mem_.memSize() != 0;
    if (existed) {
        std::string why;
        if (adopt(fenix, why)) {
            BASALT_TRACE(debug_, 1,
                         "HeraldWriter::attach() adopted " << path_ << " " << headerToString());
            return adopted;
        }
        BASALT_TRACE(debug_, 1, "HeraldWriter::attach() re-formatting " << path_ << ": " << why);
    }
    format(fenix, existed);
    BASALT_TRACE(debug_, 1,
                 "HeraldWriter::attach() formatted " << path_ << " " << headerToString());
    return existed ? reformatted : newFile;
}

template <class SlotT, class PosT>
bool HeraldWriter<SlotT, PosT>::attachCopy(std::uint32_t fenix, std::string& why) {
    detach();
    ringSize_ = 0;
    if (mem_.attach(HeraldView::headerSize, Mem::SharedMemWrapper::Mode::privateCopy) == nullptr) {
        why = mem_.reason();
        return false;
    }
    base_ = static_cast<unsigned char*>(mem_.base());
    bind();
    try {
        if (adopt(fenix, why)) return true;
    } catch (const std::exception& e) {
        why = e.what();
    }
    detach();
    return false;
}

template <class SlotT, class PosT>
bool HeraldWriter<SlotT, PosT>::adopt(std::uint32_t fenix, std::string& why) {
    const Header h = HeraldView(base_, mem_.mappedSize()).header();
    if (!h.validate(mem_.fileSize(), why)) return false;
    if (h.fenix() != fenix) {
        why =
            "fenix " + std::to_string(h.fenix()) + " is not the writer's " + std::to_string(fenix);
        return false;
    }
    ringSize_ = h.ringSize;
    slotCapacity_ = h.slotCapacityPair().value;
    // No growth: the header's sizes were checked against the file's size.
    mapOrThrow(HeraldView::fileSizeFor(ringSize_, slotCapacity_), "attach");
    fenix_ = fenix;
    head_ = h.sequence;
    recover();
    return view().validate(fenix, 0, why);
}

// Finishes what a writer that died inside append() left half-done, so that the queue is
// consistent again (validate() then decides whether it is adopted).
template <class SlotT, class PosT>
void HeraldWriter<SlotT, PosT>::recover() {
    const std::uint32_t mask = ringSize_ - 1;
    // The cell of the next notification was written, the sequence not yet published: complete
    // the notification (its slot's new contents were published before it was made).
    const PosT next = head_ + 1;
    const std::uint64_t w = loadRelaxed(cells_[next & mask]);
    if (Cell::holds(w, next) && !Cell::isSuperseded(w) && Cell::slot(w) < slotCapacity_) {
        // Same pairing as the stores in append().
        storeRelease(positions_[Cell::slot(w)], next);
        storeRelease(headerWord(offSequence), next);
        head_ = next;
        BASALT_TRACE(debug_, 1,
                     "HeraldWriter::attach() completed an interrupted notification "
                         << "sequence:" << next << " slot:" << Cell::slot(w));
    }
    // A slot re-notified just before the crash may still have its earlier cell live.
    std::uint32_t marked = 0;
    for (std::uint32_t i = 0; i < ringSize_; ++i) {
        const PosT expected = expectedAt(i, head_, ringSize_);
        const std::uint64_t c = loadRelaxed(cells_[i]);
        if (expected == 0 || !Cell::holds(c, expected) || Cell::isSuperseded(c) ||
            Cell::slot(c) >= slotCapacity_) {
            continue;
        }
        const PosT recorded = loadRelaxed(positions_[Cell::slot(c)]);
        if (recorded > expected && recorded <= head_) {
            // Same pairing as the superseded mark in append().
            storeRelease(cells_[i], c | Cell::superseded);
            ++marked;
        }
    }
    if (marked != 0) {
        BASALT_TRACE(debug_, 1,
                     "HeraldWriter::attach() marked " << marked << " superseded notifications");
    }
}

template <class SlotT, class PosT>
void HeraldWriter<SlotT, PosT>::format(std::uint32_t fenix, bool existed) {
    // The new format epoch differs from the one any reader may have taken from this file.
    const std::uint32_t oldEpoch =
        existed ? static_cast<std::uint32_t>(loadRelaxed(headerWord(offIdentity)) >> 32) : 0;
    const std::uint32_t oldCapacityVersion =
        existed ? Mem::VerU32::unpack(loadRelaxed(headerWord(offCapacity))).version : 0;
    ringSize_ = configuredRingSize_;
    slotCapacity_ = HeraldView::minSlotCapacity;
    fenix_ = fenix;
    head_ = 0;
    mapOrThrow(HeraldView::fileSizeFor(ringSize_, slotCapacity_), "attach");

    // First invalidate: a zero checksum fails a reader's attach; the new identity pairs with
    // the identity re-check that HeraldReader makes after its acquire fence: a reader that
    // loads any of the stores below sees the queue swapped and drops what it read.
    storeRelease(headerU32(offChecksum), 0u);
    storeRelease(headerWord(offIdentity), Header::makeIdentity(fenix, oldEpoch + 1));
    std::atomic_thread_fence(std::memory_order_release);
    for (std::uint32_t i = 0; i < ringSize_; ++i) storeRelaxed(cells_[i], std::uint64_t{0});
    for (std::uint32_t s = 0; s < slotCapacity_; ++s) storeRelaxed(positions_[s], std::uint64_t{0});
    storeRelaxed(headerWord(offMagic), Header::magicValue);
    storeRelaxed(headerU32(offVersion), Header::versionValue);
    storeRelaxed(headerU32(offRingSize), ringSize_);
    storeRelaxed(headerWord(offCapacity),
                 Mem::VerU32{oldCapacityVersion + 1, slotCapacity_}.packed());
    storeRelaxed(headerWord(offSequence), std::uint64_t{0});
    storeRelaxed(headerWord(offShrink), std::uint64_t{0});
    storeRelaxed(headerU32(offState), Header::stateLive);
    storeRelaxed(headerWord(offPending), std::uint64_t{0});
    // Publishes the header: pairs with HeraldReader::attach(), which acquires the checksum
    // before it loads the other fields and accepts them only when they match it.
    storeRelease(headerU32(offChecksum),
                 HeraldView(base_, mem_.mappedSize()).header().computeChecksum());
}

template <class SlotT, class PosT>
void HeraldWriter<SlotT, PosT>::append(SlotT slot, bool isTombstone) {
    BASALT_ASSERT(attached());
    BASALT_ASSERT(slot < HeraldView::maxSlots);
    if (slot >= slotCapacity_) slotCapacityIs(static_cast<std::uint32_t>(slot) + 1);
    const std::uint32_t mask = ringSize_ - 1;
    const PosT seq = head_ + 1;
    const PosT prev = loadRelaxed(positions_[slot]);

    // Pairs with HeraldReader::fetch(), which acquires the sequence and then each cell up to
    // it and checks that the cell holds its own sequence (a later one: the reader was lapped).
    // Being a release store, it also publishes to that reader the slot's new contents, which
    // the table writer stored before notifying.
    storeRelease(cells_[seq & mask], Cell::encode(seq, slot, isTombstone));
    crashAt(HeraldCrashPoint::afterCell);
    // Pairs with the acquire load of the slot's position in HeraldReader::validateNotif().
    storeRelease(positions_[slot], seq);
    crashAt(HeraldCrashPoint::afterSlotPosition);
    // Pairs with the acquire load of the sequence in HeraldReader::fetch(): every cell up to it
    // holds its notification.
    storeRelease(headerWord(offSequence), seq);
    head_ = seq;
    crashAt(HeraldCrashPoint::afterSequence);

    if (prev != 0 && prev < seq && seq - prev < ringSize_) {
        const std::uint64_t w = loadRelaxed(cells_[prev & mask]);
        if (Cell::holds(w, prev) && Cell::slot(w) == slot) {
            // Pairs with the superseded test in HeraldReader::fetch(): a reader that skips this
            // cell will find the slot's notification `seq`, published above.
            storeRelease(cells_[prev & mask], w | Cell::superseded);
        }
    }
    BASALT_TRACE(debug_, 9,
                 "HeraldWriter::" << (isTombstone ? "tombstone" : "notify") << "() slot:" << slot
                                  << " seq:" << seq);
}

template <class SlotT, class PosT>
void HeraldWriter<SlotT, PosT>::notify(SlotT slot) {
    append(slot, false);
}

template <class SlotT, class PosT>
bool HeraldWriter<SlotT, PosT>::tombstone(SlotT slot) {
    BASALT_ASSERT(attached());
    BASALT_ASSERT(slot < HeraldView::maxSlots);
    if (slot < slotCapacity_) {
        const PosT prev = loadRelaxed(positions_[slot]);
        if (prev != 0 && prev <= head_ && head_ - prev < ringSize_) {
            const std::uint64_t w = loadRelaxed(cells_[prev & (ringSize_ - 1)]);
            if (Cell::holds(w, prev) && Cell::slot(w) == slot && Cell::isTombstone(w)) {
                BASALT_TRACE(debug_, 7,
                             "HeraldWriter::tombstone() slot:"
                                 << slot << " already tombstoned at seq:" << prev);
                return false;
            }
        }
    }
    append(slot, true);
    return true;
}

template <class SlotT, class PosT>
void HeraldWriter<SlotT, PosT>::pendingIs(std::uint64_t word) {
    BASALT_ASSERT(attached());
    // Only the next writer of the table reads the word; release keeps it ahead of the table
    // stores of the operation it announces.
    storeRelease(headerWord(offPending), word);
}

template <class SlotT, class PosT>
std::uint64_t HeraldWriter<SlotT, PosT>::pending() const {
    return attached() ? loadAcquire(headerWord(offPending)) : 0;
}

template <class SlotT, class PosT>
void HeraldWriter<SlotT, PosT>::renew() {
    BASALT_ASSERT(attached());
    format(fenix_, true);
    BASALT_TRACE(debug_, 1, "HeraldWriter::renew() " << path_ << " " << headerToString());
}

template <class SlotT, class PosT>
void HeraldWriter<SlotT, PosT>::markShrinkStart() {
    BASALT_ASSERT(attached());
    const std::uint64_t w = loadRelaxed(headerWord(offShrink));
    const auto ends = static_cast<std::uint32_t>(w >> 32);
    // Pairs with the acquire load of the shrink word in HeraldView::shrinkInProgress()
    // (readers, and the next writer that adopts the file).
    storeRelease(headerWord(offShrink), Header::makeShrink(ends + 1, ends));
    BASALT_TRACE(debug_, 5, "HeraldWriter::markShrinkStart() " << path_ << " shrink:" << ends + 1);
}

template <class SlotT, class PosT>
void HeraldWriter<SlotT, PosT>::markShrinkEnd() {
    BASALT_ASSERT(attached());
    const auto starts = static_cast<std::uint32_t>(loadRelaxed(headerWord(offShrink)));
    // Pairs with the acquire load of the shrink word in HeraldView::shrinkInProgress().
    storeRelease(headerWord(offShrink), Header::makeShrink(starts, starts));
    BASALT_TRACE(debug_, 5, "HeraldWriter::markShrinkEnd() " << path_ << " shrink:" << starts);
}

template <class SlotT, class PosT>
bool HeraldWriter<SlotT, PosT>::shrinkInProgress() const {
    return shrinkStarts() != shrinkEnds();
}

template <class SlotT, class PosT>
std::uint32_t HeraldWriter<SlotT, PosT>::shrinkStarts() const {
    return attached() ? static_cast<std::uint32_t>(loadRelaxed(headerWord(offShrink))) : 0;
}

template <class SlotT, class PosT>
std::uint32_t HeraldWriter<SlotT, PosT>::shrinkEnds() const {
    return attached() ? static_cast<std::uint32_t>(loadRelaxed(headerWord(offShrink)) >> 32) : 0;
}

template <class SlotT, class PosT>
void HeraldWriter<SlotT, PosT>::slotCapacityIs(std::uint32_t slots) {
    BASALT_ASSERT(attached());
    BASALT_ASSERT(slots <= HeraldView::maxSlots);
    if (slots <= slotCapacity_) return;
    const std::uint32_t old = slotCapacity_;
    const std::uint32_t capacity = std::max(HeraldView::minSlotCapacity, std::bit_ceil(slots));
    const std::size_t size = HeraldView::fileSizeFor(ringSize_, capacity);
    void* p = mem_.resize(size);
    if (p == nullptr) {
        Basalt::MemoryResourceException::throwException(
            "HeraldWriter::slotCapacityIs() failed to resize " + path_ + " from " +
            std::to_string(old) + " to " + std::to_string(capacity) + " slots, needed " +
            std::to_string(size) + " bytes. Reason: " + mem_.reason());
    }
    base_ = static_cast<unsigned char*>(p);
    bind();
    // The file may hold bytes of an earlier, larger format there.
    for (std::uint32_t s = old; s < capacity; ++s) storeRelaxed(positions_[s], std::uint64_t{0});
    const Mem::VerU32 was = Mem::VerU32::unpack(loadRelaxed(headerWord(offCapacity)));
    // Pairs with the acquire loads of the capacity in HeraldReader (the slot range check of
    // fetch() and validateNotif()): positions below it are mapped in the file and zeroed.
    Mem::VerU32::store(headerWord(offCapacity), Mem::VerU32{was.version + 1, capacity});
    slotCapacity_ = capacity;
    BASALT_TRACE(debug_, 2,
                 "HeraldWriter::slotCapacityIs() " << path_ << " from " << old << " to " << capacity
                                                   << " slots");
}

template <class SlotT, class PosT>
bool HeraldWriter<SlotT, PosT>::validate(std::uint32_t fenix, std::uint32_t mostSlots,
                                         std::string& error) const {
    if (!attached()) {
        error = "HeraldWriter::validate() " + path_ + " not attached";
        return false;
    }
    return view().validate(fenix, mostSlots, error);
}

template <class SlotT, class PosT>
bool HeraldWriter<SlotT, PosT>::validateFile() const {
    std::string error;
    if (validate(fenix_, 0, error)) return true;
    BASALT_TRACE(debug_, 0, "HeraldWriter::validateFile() " << path_ << ": " << error);
    return false;
}

template <class SlotT, class PosT>
HeraldView HeraldWriter<SlotT, PosT>::view() const {
    return attached() ? HeraldView(base_, mem_.mappedSize()) : HeraldView();
}

template <class SlotT, class PosT>
std::string HeraldWriter<SlotT, PosT>::headerToString() const {
    return view().headerToString();
}

template <class SlotT, class PosT>
void HeraldWriter<SlotT, PosT>::clientProgressIs(const std::string& name, PosT applied) {
    clients_[name] = applied;
}

template <class SlotT, class PosT>
void HeraldWriter<SlotT, PosT>::clientRemoved(const std::string& name) {
    clients_.erase(name);
}

template <class SlotT, class PosT>
bool HeraldWriter<SlotT, PosT>::quiesced() const {
    return std::all_of(clients_.begin(), clients_.end(),
                       [this](const auto& c) { return c.second >= head_; });
}

template <class SlotT, class PosT>
bool HeraldWriter<SlotT, PosT>::clientQuiesced(const std::string& name) const {
    const auto it = clients_.find(name);
    return it != clients_.end() && it->second >= head_;
}

template <class SlotT, class PosT>
void HeraldWriter<SlotT, PosT>::onDetach() {
    BASALT_TRACE(
        debug_, 5,
        "HeraldWriter::onDetach() " << path_ << " forgetting " << clients_.size() << " clients");
    clients_.clear();
}

template <class SlotT, class PosT>
void HeraldWriter<SlotT, PosT>::detach() {
    mem_.detach();
    base_ = nullptr;
    cells_ = positions_ = nullptr;
    ringSize_ = slotCapacity_ = 0;
    head_ = 0;
}

template <class SlotT, class PosT>
void HeraldWriter<SlotT, PosT>::cleanup() {
    if (attached()) {
        // Pairs with the state check of HeraldReader (fetch() and swapped()): a reader still
        // mapping the removed file sees it retired instead of waiting on it forever.
        storeRelease(headerU32(offState), Header::stateRetired);
    }
    detach();
    rootPath_.removeFile(fileName_);
    BASALT_TRACE(debug_, 5, "HeraldWriter::cleanup() removed " << path_);
}

template class HeraldWriter<std::uint32_t, Hoard::HeraldPos>;

}  // namespace Herald
