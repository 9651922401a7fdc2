#include "contracts/Herald/HeraldReader.h"

#include <sys/stat.h>

#include <atomic>

#include "contracts/Basalt/Exception.h"
#include "contracts/Mem/Atomics.h"
#include "contracts/Mem/VerU32.h"

namespace Herald {

namespace {

using Cell = HeraldView::Cell;
using Header = HeraldView::Header;
using Mem::Atomics::loadAcquire;

using namespace HeaderOffset;

template <class T>
const T& at(const unsigned char* base, std::size_t offset) {
    return *reinterpret_cast<const T*>(base + offset);
}

bool statPath(const std::string& path, dev_t& dev, ino_t& ino) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return false;
    dev = st.st_dev;
    ino = st.st_ino;
    return true;
}

}  // namespace

template <class SlotT, class PosT>
HeraldReader<SlotT, PosT>::HeraldReader(std::shared_ptr<Basalt::Platform::DebugHandler> debug,
                                        const Mem::RootPath& rootPath, std::string fileName)
    : debug_(std::move(debug)),
      path_(rootPath.filePath(fileName)),
      mem_(debug_, rootPath, std::move(fileName), false) {}

template <class SlotT, class PosT>
HeraldReader<SlotT, PosT>::~HeraldReader() {
    detach();
}

template <class SlotT, class PosT>
bool HeraldReader<SlotT, PosT>::attach() {
    detach();
    reason_.clear();
    dev_t dev = 0;
    ino_t ino = 0;
    if (!statPath(path_, dev, ino)) {
        reason_ = "HeraldReader::attach() no queue file " + path_;
        return false;
    }
    const void* p = mem_.attach(HeraldView::headerSize, Mem::SharedMemWrapper::Mode::readOnly);
    if (p == nullptr) {
        reason_ = "HeraldReader::attach() cannot map " + path_ + ": " + mem_.reason();
        return false;
    }
    const auto* base = static_cast<const unsigned char*>(p);
    // Pairs with the final release store of the checksum in HeraldWriter's format: a header
    // whose checksum matches the one acquired here is complete.
    const std::uint32_t checksum = loadAcquire(at<std::uint32_t>(base, offChecksum));
    const Header h = HeraldView(base, mem_.mappedSize()).header();
    std::string why;
    bool ok = h.checksum == checksum && h.validate(mem_.mappedSize(), why);
    std::atomic_thread_fence(std::memory_order_acquire);
    if (ok && (loadAcquire(at<std::uint64_t>(base, offIdentity)) != h.identity ||
               loadAcquire(at<std::uint32_t>(base, offChecksum)) != checksum)) {
        ok = false;
        why = "the writer re-formatted it meanwhile";
    }
    dev_t devAfter = 0;
    ino_t inoAfter = 0;
    if (ok && (!statPath(path_, devAfter, inoAfter) || devAfter != dev || inoAfter != ino)) {
        ok = false;
        why = "the file was replaced meanwhile";
    }
    if (!ok) {
        reason_ = "HeraldReader::attach() " + path_ + " rejected: " + why;
        BASALT_TRACE(debug_, 1, reason_);
        mem_.detach();
        return false;
    }
    base_ = base;
    cells_ = reinterpret_cast<const std::uint64_t*>(base_ + HeraldView::headerSize);
    ringSize_ = h.ringSize;
    identity_ = h.identity;
    dev_ = dev;
    ino_ = ino;
    position_ = writerSequence();
    BASALT_TRACE(
        debug_, 5,
        "HeraldReader::attach() " << path_ << " " << h.toString() << " position:" << position_);
    return true;
}

template <class SlotT, class PosT>
void HeraldReader<SlotT, PosT>::detach() {
    mem_.detach();
    base_ = nullptr;
    cells_ = nullptr;
    ringSize_ = 0;
    identity_ = 0;
}

template <class SlotT, class PosT>
PosT HeraldReader<SlotT, PosT>::writerSequence() const {
    // Pairs with the release store of the sequence in HeraldWriter::append().
    return attached() ? loadAcquire(at<std::uint64_t>(base_, offSequence)) : 0;
}

template <class SlotT, class PosT>
bool HeraldReader<SlotT, PosT>::identityHolds() const {
    // Pair with the identity store of HeraldWriter's format and the retired store of cleanup().
    return loadAcquire(at<std::uint64_t>(base_, offIdentity)) == identity_ &&
           loadAcquire(at<std::uint32_t>(base_, offState)) == Header::stateLive;
}

template <class SlotT, class PosT>
bool HeraldReader<SlotT, PosT>::swapped() const {
    if (!attached()) return false;
    if (!identityHolds()) return true;
    dev_t dev = 0;
    ino_t ino = 0;
    return !statPath(path_, dev, ino) || dev != dev_ || ino != ino_;
}

template <class SlotT, class PosT>
bool HeraldReader<SlotT, PosT>::remap() {
    const std::size_t size = mem_.fileSize();
    if (size <= mem_.mappedSize()) return false;
    void* p = mem_.resize(size);
    if (p == nullptr) {
        reason_ = "HeraldReader::remap() " + path_ + ": " + mem_.reason();
        BASALT_TRACE(debug_, 1, reason_);
        return false;
    }
    base_ = static_cast<const unsigned char*>(p);
    cells_ = reinterpret_cast<const std::uint64_t*>(base_ + HeraldView::headerSize);
    return true;
}

template <class SlotT, class PosT>
typename HeraldReader<SlotT, PosT>::PollStatus HeraldReader<SlotT, PosT>::fetch(
    Notification* out, std::size_t capacity, std::size_t& count, PosT& through) {
    count = 0;
    through = position_;
    if (!attached()) return PollStatus::detached;
    if (!identityHolds()) return PollStatus::swapped;
    const PosT head = writerSequence();
    if (head < position_) {
        Basalt::CorruptionDetectedException::throwException(
            "HeraldReader::poll() " + path_ + " writer sequence " + std::to_string(head) +
            " is behind the reader's position " + std::to_string(position_));
    }
    if (head - position_ > ringSize_) return PollStatus::lapped;
    const std::size_t n =
        static_cast<std::size_t>(std::min<PosT>(head - position_, std::min(capacity, batchSize)));
    if (n == 0) return PollStatus::caughtUp;

    const std::uint32_t mask = ringSize_ - 1;
    std::uint64_t words[batchSize];
    for (std::size_t k = 0; k < n; ++k) {
        // Pairs with the release store of the cell in HeraldWriter::append() (and of its
        // superseded mark): a cell holding sequence q was written in full, after the slot's
        // change.
        words[k] = loadAcquire(cells_[(position_ + 1 + k) & mask]);
    }
    // Pairs with the release store of the capacity in HeraldWriter::slotCapacityIs(): it was
    // published before any cell naming a slot beyond the old capacity.
    const std::uint32_t slotCapacity =
        Mem::VerU32::load(at<std::uint64_t>(base_, offCapacity)).value;
    // Pairs with the release fence after the identity store in HeraldWriter's format: when
    // anything read above was stored by a re-format, the identity check below fails.
    std::atomic_thread_fence(std::memory_order_acquire);
    if (!identityHolds()) return PollStatus::swapped;

    for (std::size_t k = 0; k < n; ++k) {
        const PosT q = position_ + 1 + k;
        const std::uint64_t w = words[k];
        if (!Cell::holds(w, q)) {
            const auto ahead =
                static_cast<std::int32_t>(Cell::seq32(w) - static_cast<std::uint32_t>(q));
            if (Cell::isPresent(w) && ahead > 0) {
                count = 0;  // the batch is dropped whole: the caller resynchronises
                return PollStatus::lapped;
            }
            Basalt::CorruptionDetectedException::throwException(
                "HeraldReader::poll() " + path_ + " cell " + std::to_string(q & mask) +
                (Cell::isPresent(w) ? " holds an older notification" : " is empty") +
                " instead of sequence " + std::to_string(q) + ", writer sequence " +
                std::to_string(head));
        }
        const std::uint32_t slot = Cell::slot(w);
        if (slot >= slotCapacity) {
            Basalt::CorruptionDetectedException::throwException(
                "HeraldReader::poll() " + path_ + " sequence " + std::to_string(q) +
                " names slot " + std::to_string(slot) + " beyond the slot capacity " +
                std::to_string(slotCapacity));
        }
        if (!Cell::isSuperseded(w)) {
            out[count++] = Notification{static_cast<SlotT>(slot), q, Cell::isTombstone(w)};
        }
    }
    through = position_ + n;
    return through == head ? PollStatus::caughtUp : PollStatus::more;
}

template <class SlotT, class PosT>
bool HeraldReader<SlotT, PosT>::validateNotif(SlotT slot, PosT sequence) {
    if (!attached()) return false;
    if (!identityHolds()) {
        BASALT_TRACE(debug_, 5, "HeraldReader::validateNotif() herald swapped");
        return false;
    }
    // Pairs with the release store of the capacity in HeraldWriter::slotCapacityIs().
    const std::uint32_t capacity = Mem::VerU32::load(at<std::uint64_t>(base_, offCapacity)).value;
    if (slot >= capacity || slot >= HeraldView::maxSlots) {
        BASALT_TRACE(
            debug_, 5,
            "HeraldReader::validateNotif() out-of-range index:" << slot << " max:" << capacity);
        return false;
    }
    const std::size_t needed = HeraldView::headerSize +
                               std::size_t{ringSize_} * HeraldView::cellSize +
                               (std::size_t{slot} + 1) * HeraldView::slotPositionSize;
    if (needed > mem_.mappedSize() && (!remap() || needed > mem_.mappedSize())) {
        BASALT_TRACE(debug_, 5,
                     "HeraldReader::validateNotif() out-of-range index:"
                         << slot << " max:" << capacity << " not in the file");
        return false;
    }
    const std::uint64_t* positions = cells_ + ringSize_;
    // Pairs with the release store of the slot's position in HeraldWriter::append().
    return loadAcquire(positions[slot]) == sequence;
}

template <class SlotT, class PosT>
bool HeraldReader<SlotT, PosT>::quiesced(PosT applied) const {
    if (!attached()) {
        BASALT_TRACE(debug_, 5, "HeraldReader::quiesced() not attached");
        return false;
    }
    if (swapped()) {
        BASALT_TRACE(debug_, 5, "HeraldReader::quiesced() herald swapped");
        return false;
    }
    const PosT head = writerSequence();
    if (head != 0) {
        // Pairs with the release store of the cell in HeraldWriter::append().
        const std::uint64_t w = loadAcquire(cells_[head & (ringSize_ - 1)]);
        const std::uint32_t capacity =
            Mem::VerU32::load(at<std::uint64_t>(base_, offCapacity)).value;
        if (Cell::holds(w, head) && Cell::slot(w) >= capacity) {
            BASALT_TRACE(debug_, 5, "HeraldReader::quiesced() latest notification out-of-range");
            return false;
        }
    }
    BASALT_TRACE(debug_, 5,
                 "HeraldReader::quiesced() writerSeq:" << head << " shadowSeq:" << applied);
    return head <= applied;
}

template <class SlotT, class PosT>
bool HeraldReader<SlotT, PosT>::shrinkInProgress() const {
    return attached() && view().shrinkInProgress();
}

template <class SlotT, class PosT>
HeraldView HeraldReader<SlotT, PosT>::view() const {
    return attached() ? HeraldView(base_, mem_.mappedSize()) : HeraldView();
}

template <class SlotT, class PosT>
bool HeraldReader<SlotT, PosT>::validate(std::string& error) const {
    if (!attached()) {
        error = "HeraldReader::validate() " + path_ + " not attached";
        return false;
    }
    return view().validate(fenix(), 0, error);
}

template class HeraldReader<std::uint32_t, Hoard::HeraldPos>;

}  // namespace Herald
