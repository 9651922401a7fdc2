#pragma once

// A reader's view of the slot file: mapped PROT_READ, remapped when the writer's (version,
// numSlots) word moves on, and read without locks.
//
// Thread safety: one thread uses a view. The writer in another process changes the file at any
// moment; every read here is either re-checked (a slot's status around its copy, the numSlots
// version around a header copy) or range-checked against what this process has mapped. The file
// is never written.

#include <cstdint>
#include <functional>
#include <sstream>
#include <string>

#include "Hoard/SlotTable.h"
#include "Hoard/SlotWriter.h"
#include "contracts/Basalt/Exception.h"
#include "contracts/HoardBase/ReaderCounters.h"
#include "contracts/Mem/VersionAnchor.h"

namespace Hoard {

template <class V>
class SlotReaderTable : public SlotTable {
  public:
    using Slot = TypedSlot<V>;
    static constexpr std::uint32_t slotSize = SlotTable::slotSizeFor(sizeof(V));
    static constexpr std::uint32_t maxStatusRereads = 1000;

    class Slots {
      public:
        const Slot& operator[](std::uint32_t index) const {
            if (base_ == nullptr || index >= count_) {
                std::ostringstream os;
                os << "SlotReader::Slots::operator[] out-of-range index:" << index
                   << " numSlots:" << count_;
                Basalt::CorruptionDetectedException::throwException(os.str());
            }
            return base_[index];
        }
        std::uint32_t count() const { return count_; }

      private:
        friend class SlotReaderTable;
        const Slot* base_ = nullptr;
        std::uint32_t count_ = 0;
    };

    SlotReaderTable(std::shared_ptr<Basalt::Platform::DebugHandler> debug,
                    const Mem::RootPath& rootPath, Reader::Counters& counters)
        : SlotTable(std::move(debug), rootPath, false), counters_(counters) {}
    ~SlotReaderTable() override { detach(); }

    // Maps the header (the slots follow at the first doResize()). False when there is no file
    // or it cannot be mapped.
    bool attach() {
        detach();
        if (file_.attach(sizeof(Header), Mem::SharedMemWrapper::Mode::readOnly) == nullptr) {
            if (file_.reason().find("open") != std::string::npos) {
                BASALT_TRACE(debug_, 0, "SlotReader::attach() no shared memory region");
            } else {
                BASALT_TRACE(debug_, 0,
                             "SlotReader::attach() cannot attach to shmem size:" << sizeof(Header) +
                                                                                        slotSize);
            }
            return false;
        }
        header_ = static_cast<Header*>(file_.base());
        BASALT_TRACE(debug_, 3, headerText());
        slots_ = Slots();
        numSlots_ = Mem::VerU32{};
        return true;
    }

    void detach() override {
        if (file_.attached()) {
            BASALT_TRACE(debug_, 5, "SlotReader::detach() delegating to SlotTable::detach()");
        }
        slots_ = Slots();
        numSlots_ = Mem::VerU32{};
        SlotTable::detach();
    }

    std::uint32_t capacity() const { return slots_.count(); }
    // The (version, numSlots) word the current mapping follows.
    Mem::VerU32 mappedNumSlots() const { return numSlots_; }
    const Slots& slots() const { return slots_; }
    const Slot& lookasideSlot() const { return *reinterpret_cast<const Slot*>(header_ + 1); }
    bool mapped() const { return header_ != nullptr; }
    // True when doResize() has work: the slots are not mapped yet, or the writer published
    // another (version, numSlots) word since. One acquire load (pairs with the writer's release
    // store of the word).
    bool countMoved() const {
        return header_ != nullptr &&
               (slots_.base_ == nullptr || header_->numSlots().version != numSlots_.version);
    }

    // A copy of the header fields, consistent with one (version, numSlots) word: the copy is
    // retried while the version moves, at most maxStatusRereads times. A version that moved during
    // every copy is Basalt::CorruptionDetectedException: none of the copies can be trusted.
    Header snapshot() const {
        Header h{};
        for (std::uint32_t tries = 1;; ++tries) {
            // Pairs with the writer's release store of the numSlots pair.
            const Mem::VerU32 before = header_->numSlots();
            Mem::Atomics::copyWordsRelaxed(&h, header_, sizeof(Header));
            // Orders the copy before the re-check below; the re-load pairs with the writer's
            // release store of the next numSlots pair.
            std::atomic_thread_fence(std::memory_order_acquire);
#ifdef FLOWTABLE_TEST_HOOKS
            if (snapshotCopiedHook) snapshotCopiedHook();
#endif
            if (header_->numSlots() == before) return h;
            if (tries >= maxStatusRereads) {
                std::ostringstream os;
                os << "SlotReader::snapshot() numSlots kept changing over " << tries << " reads";
                Basalt::CorruptionDetectedException::throwException(os.str());
            }
        }
    }
    // snapshot() as one line for traces and dumps; never throws.
    std::string headerText() const {
        try {
            return snapshot().toString();
        } catch (const Basalt::CorruptionDetectedException& e) {
            return std::string("(slots header unreadable: ") + e.what() + ")";
        }
    }

#ifdef FLOWTABLE_TEST_HOOKS
    // Test hook: runs in snapshot() between the header copy and the re-check of the version, where
    // a writer racing the copy would move the version.
    static inline std::function<void()> snapshotCopiedHook;
#endif

    // Remaps when the writer's numSlots word changed since the last mapping; true when the
    // mapping changed. Invalidates `anchor` when its slot left the mapping.
    bool doResize(Mem::VersionAnchor* anchor = nullptr);

    // Copies slot `index`'s value consistently into `out` (from the lookaside slot while the
    // slot is being rewritten) and returns (rhash << 32 | status). Records the slot's status in
    // `anchor` when given.
    std::uint64_t getValue(std::uint32_t index, V& out, Mem::VersionAnchor* anchor = nullptr) const;

  private:
    Reader::Counters& counters_;
    Slots slots_;
    Mem::VerU32 numSlots_;
};

template <class V>
bool SlotReaderTable<V>::doResize(Mem::VersionAnchor* anchor) {
    if (header_ == nullptr) return false;
    // The common case costs one acquire load of the (version, numSlots) word: pairs with the
    // writer's release store of it.
    if (slots_.base_ != nullptr && header_->numSlots().version == numSlots_.version) return false;
    Header h = snapshot();
    std::uint64_t needed = 0;
    for (std::uint32_t tries = 0;; ++tries) {
        needed = h.headerSize() + std::uint64_t{h.numSlots().value} * slotSize;
        if (h.slotSize != slotSize) {
            std::ostringstream os;
            os << "SlotReader::doResize() " << fileName_ << " has slots of " << h.slotSize
               << " bytes, wanted " << slotSize;
            Basalt::CorruptionDetectedException::throwException(os.str());
        }
        if (file_.fileSize() >= needed) break;
        // The header may be mid-change: only a stable header that the file cannot hold is
        // corruption.
        if (header_->numSlots() == h.numSlots() || tries >= maxStatusRereads) {
            std::ostringstream os;
            os << "SlotReader::doResize() requesting to map " << fileName_ << " "
               << h.numSlots().value << " slots. Requested file resize to " << needed
               << " but real file size is " << file_.fileSize();
            Basalt::CorruptionDetectedException::throwException(os.str());
        }
        h = snapshot();
    }
    BASALT_TRACE(debug_, 2,
                 "SlotReader::doResize() " << rootPath_.hoardName() << " from " << slots_.count()
                                           << " slots to " << h.numSlots().value);
    const void* oldBase = file_.base();
    void* base = file_.resize(needed);
    if (base == nullptr) {
        std::ostringstream os;
        os << "SlotReader::doResize() failed to resize " << fileName_ << " from " << slots_.count()
           << " to " << h.numSlots().value << " slots, needed " << needed
           << " bytes. Reason: " << file_.reason();
        Basalt::MemoryResourceException::throwException(os.str());
    }
    if (base != oldBase) {
        BASALT_TRACE(debug_, 5,
                     "SlotReader::doResize() changed base address mapping from " << oldBase
                                                                                 << " to " << base);
        ++counters_.baseMoves;
    }
    header_ = static_cast<Header*>(base);
    slots_.base_ =
        reinterpret_cast<const Slot*>(reinterpret_cast<const char*>(header_) + h.headerSize());
    slots_.count_ = h.numSlots().value;
    numSlots_ = h.numSlots();
    if (anchor != nullptr) {
        anchor->base = header_;
        // An unset anchor (a miss) stays unset: it names no word, so no mapping can lose it.
        if (anchor->offset < Mem::VersionAnchor::unset && anchor->offset + 4ull > needed) {
            anchor->invalidate();
        }
    }
    ++counters_.remaps;
    BASALT_TRACE(debug_, 3, headerText());
    BASALT_TRACE(debug_, 5, "SlotReader::doResize() successful");
    return true;
}

template <class V>
std::uint64_t SlotReaderTable<V>::getValue(std::uint32_t index, V& out,
                                           Mem::VersionAnchor* anchor) const {
    const Slot& slot = slots_[index];
    // Pairs with the writer's release store of the status that ends a change (LOOKASIDE cleared
    // after the value, or OCCUPIED set on a new record), and with its LOOKASIDE store, made after
    // the lookaside copy: the source chosen below is complete for this status.
    std::uint32_t status = Mem::Atomics::loadAcquire(slot.head.status);
    for (std::uint32_t tries = 0;; ++tries) {
        const Slot& source = (status & lookaside) ? lookasideSlot() : slot;
        if (status & lookaside) ++counters_.lookasideReads;
        const std::uint32_t rhash = Mem::Atomics::loadRelaxed(source.head.rhash);
        loadSlotValueInto(source, out);
        // Pairs with the writer's LOOKASIDE store and the release fence after it that starts the
        // value's bytes (storeSlotValue): a copy that saw any byte of a newer value sees a
        // changed status below, so a status unchanged across the copy means the copy is whole.
        std::atomic_thread_fence(std::memory_order_acquire);
        const std::uint32_t again = Mem::Atomics::loadRelaxed(slot.head.status);
        if (again == status) {
            if (anchor != nullptr) {
                anchor->status = status;
                anchor->offset =
                    static_cast<std::uint32_t>(reinterpret_cast<const char*>(&slot.head.status) -
                                               reinterpret_cast<const char*>(header_));
                anchor->base = header_;
                anchor->epoch = numSlots_.version;
            }
            return (std::uint64_t{rhash} << 32) | status;
        }
        ++counters_.retries;
        if (tries >= maxStatusRereads) {
            std::ostringstream os;
            os << "SlotReader::getValue() slot:" << index << " kept changing over " << tries
               << " reads";
            Basalt::CorruptionDetectedException::throwException(os.str());
        }
        status = again;
    }
}

}  // namespace Hoard
