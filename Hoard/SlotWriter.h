#pragma once

// The writer's side of the slot file: creates or adopts the file, hands out free slots, grows the
// file when the free list runs dry, and provides the steps with which the table writer shrinks
// it again (purge the free list above a target, move records down, publish the smaller count).
//
// Thread safety: only the writer thread of the writer process uses it. Towards readers in other
// processes: every link change is one 64-bit release store; the numSlots pair is published after
// a growing remap (the new slots are formatted first) and before a shrinking remap; a moved
// record is complete in its new slot before its predecessor's link points to it.

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <sstream>
#include <string>

#include "Hoard/CrashPoint.h"
#include "Hoard/SlotTable.h"
#include "contracts/Basalt/Exception.h"
#include "contracts/Basalt/Util.h"
#include "contracts/HoardBase/Compatibility.h"
#include "contracts/HoardBase/TableFullException.h"
#include "contracts/HoardBase/WriterCounters.h"

namespace Hoard {

// One slot holding a V: the fixed head, the value at offset 16, padding to a multiple of 8.
template <class V>
struct alignas(8) TypedSlot {
    SlotTable::SlotHead head;
    V value;
};

// Stores a record's bytes into a slot as relaxed 64-bit words through an 8-aligned padded buffer
// (a 44- or 92-byte value is copied as 48 or 96 bytes; the slot's padding takes the rest).
// Starts with a release fence: stores made before it (the previous publication) stay ahead of
// these bytes; the status or link store that publishes them pairs with the readers' re-check.
template <class V>
void storeSlotValue(TypedSlot<V>& slot, const V& value) {
    std::atomic_thread_fence(std::memory_order_release);
    if constexpr (sizeof(V) % 8 == 0) {
        const auto* from = reinterpret_cast<const unsigned char*>(&value);
        auto* words = reinterpret_cast<std::uint64_t*>(&slot.value);
        for (std::size_t i = 0; i < sizeof(V) / 8; ++i) {
            std::uint64_t w;
            std::memcpy(&w, from + 8 * i, 8);
            Mem::Atomics::storeRelaxed(words[i], w);
        }
    } else {
        alignas(8) unsigned char buf[(sizeof(V) + 7) / 8 * 8] = {};
        std::memcpy(buf, &value, sizeof(V));
        Mem::Atomics::copyWordsRelaxed(&slot.value, buf, sizeof(V));
    }
}

// Reads a slot's value bytes as relaxed 64-bit words into `out` (callers that race with the
// writer re-check the slot's status after an acquire fence before using the copy). A value whose
// size is a whole number of words is copied straight into `out`, the other ones through a padded
// buffer (a word copy would write past their end).
template <class V>
void loadSlotValueInto(const TypedSlot<V>& slot, V& out) {
    static_assert(std::is_trivially_copyable_v<V>, "slot values are copied as bytes");
    if constexpr (sizeof(V) % 8 == 0) {
        const auto* words = reinterpret_cast<const std::uint64_t*>(&slot.value);
        auto* to = reinterpret_cast<unsigned char*>(&out);
        for (std::size_t i = 0; i < sizeof(V) / 8; ++i) {
            const std::uint64_t w = Mem::Atomics::loadRelaxed(words[i]);
            std::memcpy(to + 8 * i, &w, 8);
        }
    } else {
        alignas(8) unsigned char buf[(sizeof(V) + 7) / 8 * 8];
        Mem::Atomics::copyWordsRelaxed(buf, &slot.value, sizeof(V));
        std::memcpy(static_cast<void*>(&out), buf, sizeof(V));
    }
}

// Starts fetching every cache line of a slot (`forWrite`: for a store to come). Only a hint: the
// caller forms the slot's address from an index below the mapped count. `forWrite` is a template
// argument: the builtin wants constants, and a flag passed at run time measured batched lookups at
// half their speed.
template <bool forWrite = false, class V>
void prefetchSlot(const TypedSlot<V>& slot) {
    const char* p = reinterpret_cast<const char*>(&slot);
    for (std::size_t off = 0; off < sizeof(slot); off += 64) __builtin_prefetch(p + off, forWrite);
    __builtin_prefetch(p + sizeof(slot) - 1, forWrite);
}

template <class V>
V loadSlotValue(const TypedSlot<V>& slot) {
    V value;
    loadSlotValueInto(slot, value);
    return value;
}

template <class V>
class SlotWriterTable : public SlotTable {
  public:
    using Slot = TypedSlot<V>;
    static constexpr std::uint32_t valueSize = sizeof(V);
    static constexpr std::uint32_t slotSize = SlotTable::slotSizeFor(sizeof(V));
    static_assert(sizeof(Slot) == slotSize, "a slot is 16 bytes, the value, padding to 8");

    // Range-checked access to the mapped slots: an index above the maximum index is corruption,
    // never a read past the file.
    class Slots {
      public:
        Slot& operator[](std::uint32_t index) const {
            if (base_ == nullptr || index > maxIndex_) {
                std::ostringstream os;
                os << "SlotWriter::Slots::operator[] out-of-range index: " << index
                   << " max:" << maxIndex_;
                Basalt::CorruptionDetectedException::throwException(os.str());
            }
            return base_[index];
        }
        std::uint32_t maxIndex() const { return maxIndex_; }

      private:
        friend class SlotWriterTable;
        Slot* base_ = nullptr;
        std::uint32_t maxIndex_ = 0;
    };

    // `hashSeedIs` receives the header's hash seed whenever the file is adopted or formatted.
    SlotWriterTable(std::shared_ptr<Basalt::Platform::DebugHandler> debug,
                    const Mem::RootPath& rootPath, const char* valueTypeName,
                    std::string classTypeName, std::uint32_t maxSize, bool fixedSize,
                    bool shrinkable, Writer::Counters& counters,
                    std::function<void(std::uint32_t)> hashSeedIs)
        : SlotTable(std::move(debug), rootPath, true),
          valueTypeName_(valueTypeName),
          classTypeName_(std::move(classTypeName)),
          maxSize_(maxSize),
          fixedSize_(fixedSize),
          shrinkable_(shrinkable),
          counters_(counters),
          hashSeedIs_(std::move(hashSeedIs)),
          minSize_(computeMinSize()) {}

    ~SlotWriterTable() override { detach(); }

    // 1: a new file was formatted; 2: the existing file was adopted; 4: it was re-formatted.
    int attach(std::uint32_t fenix);
    // Maps an existing table read-only for inspection (a tool, or a validation by a process that
    // does not own the table): nothing is created, formatted or written, and the mutating
    // operations refuse with an assertion. False with `error` when the file is missing, invalid
    // or holds another value type.
    // `mode` privateCopy maps the file copy-on-write: a trial repair changes only this
    // process's pages.
    bool attachView(std::string& error,
                    Mem::SharedMemWrapper::Mode mode = Mem::SharedMemWrapper::Mode::readOnly);
    bool view() const { return view_; }
    void detach() override;

    std::uint32_t capacity() const { return numSlots_; }
    std::uint32_t minSize() const { return minSize_; }
    std::uint32_t maxSize() const { return maxSize_; }
    // The occupancy limit below which the table writer checks for a shrink (0: never).
    [[nodiscard]] std::uint32_t shrinkThreshold() const { return shrinkThreshold_; }
    const Slots& slots() const { return slots_; }
    Slot& lookasideSlot() const { return *reinterpret_cast<Slot*>(header_ + 1); }

    // Takes the head of the free list (growing the file first when it is empty) and sets its
    // rhash; status and link are the caller's to fill.
    std::uint32_t alloc(std::uint32_t hash);
    // Grows the file when the free list is empty, so that freeHead() names the slot the next
    // alloc() takes.
    void ensureFreeSlot() {
        if (freeListEmpty()) grow();
    }
    std::uint32_t freeHead() const { return Mem::Atomics::loadRelaxed(header_->freeSlots); }
    // True when the next alloc() must grow the file first.
    bool freeListEmpty() const {
        return Mem::Atomics::loadRelaxed(header_->freeSlots) == SlotLink::endOfList;
    }
    // The slot count the next growth makes; the current count when the table cannot grow
    // (fixed size, or slot indices at their limit): then the next growth is the table-full error.
    std::uint32_t grownCapacity() const;
    // Links slots [start, end) into the (empty) free list in ascending order; returns start.
    std::uint32_t addFreeSlots(std::uint32_t start, std::uint32_t end);
    // Remaps the file for `newNumSlots` slots; does not change the header.
    void resize(std::uint32_t newNumSlots);
    // Recomputes the occupancy limit below which the table writer checks for a shrink.
    void recomputeShrinkThreshold();
    // Shrink steps, driven by the table writer.
    void purgeFreeSlots(std::uint32_t threshold);
    void move(std::uint32_t fromSlot, std::uint32_t toSlot, std::uint64_t& predecessorLink);
    void shrink(std::uint32_t newNumSlots);

  private:
    // Slot indices stay below the bucket marker bit.
    static constexpr std::uint32_t indexLimit = SlotLink::bucketFlag - 1;
    static std::uint64_t pageSize() { return static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE)); }
    static std::uint64_t headerBytes() { return sizeof(Header) + std::uint64_t{slotSize}; }
    static std::uint64_t fileBytes(std::uint32_t numSlots) {
        return headerBytes() + std::uint64_t{numSlots} * slotSize;
    }

    std::uint32_t computeMinSize() const {
        if (fixedSize_) return maxSize_;
        const std::uint64_t page = pageSize();
        if (page <= headerBytes()) return 1;
        const std::uint64_t fit = (page - headerBytes()) / slotSize;
        return fit == 0 ? 1 : static_cast<std::uint32_t>(std::bit_floor(fit));
    }

    void loadCaches();
    void grow();
    // Formats the header and minSize_ slots of the mapped file; `existing`: the file held an
    // earlier incarnation that readers may still follow.
    void format(std::uint32_t fenix, bool existing);
    void formatSlot(Slot& slot, bool moveSeq);
    // An existing, well-formed table of another value type is another component's: never
    // re-formatted (InvalidInitializeException naming both types).
    void refuseAnotherValueType() const;
    std::string name() const { return rootPath_.hoardName(); }

    const char* valueTypeName_;
    std::string classTypeName_;
    std::uint32_t maxSize_;
    bool fixedSize_;
    bool shrinkable_;
    Writer::Counters& counters_;
    std::function<void(std::uint32_t)> hashSeedIs_;
    std::uint32_t minSize_;
    std::uint32_t numSlots_ = 0;
    std::uint32_t shrinkThreshold_ = 0;
    bool view_ = false;
    Slots slots_;
};

// ---- Implementation ----------------------------------------------------------------------------

template <class V>
void SlotWriterTable<V>::detach() {
    BASALT_TRACE(debug_, 5, "SlotWriter::detach()");
    numSlots_ = 0;
    slots_.base_ = nullptr;
    slots_.maxIndex_ = 0;
    SlotTable::detach();
}

template <class V>
void SlotWriterTable<V>::loadCaches() {
    header_ = static_cast<Header*>(file_.base());
    numSlots_ = header_->numSlots().value;
    slots_.base_ = reinterpret_cast<Slot*>(reinterpret_cast<char*>(header_) + headerBytes());
    slots_.maxIndex_ = numSlots_ == 0 ? 0 : numSlots_ - 1;
}

template <class V>
bool SlotWriterTable<V>::attachView(std::string& error, Mem::SharedMemWrapper::Mode mode) {
    detach();
    view_ = true;
    if (file_.attach(sizeof(Header), mode) == nullptr) {
        error = "SlotWriter::attachView() cannot map " + fileName_ + ": " + file_.reason();
        return false;
    }
    header_ = static_cast<Header*>(file_.base());
    if (!Header::validate(header_, debug_, file_.mappedSize(), 0, error)) {
        detach();
        return false;
    }
    if (header_->valueSize != valueSize || header_->slotSize != slotSize) {
        std::ostringstream os;
        os << "SlotWriter::attachView() " << fileName_ << " holds values of " << header_->valueSize
           << " bytes, wanted " << valueSize;
        error = os.str();
        detach();
        return false;
    }
    if (hashSeedIs_) hashSeedIs_(header_->hashSeed);
    loadCaches();
    return true;
}

template <class V>
int SlotWriterTable<V>::attach(std::uint32_t fenix) {
    detach();
    view_ = false;
    const std::uint64_t wanted = fileBytes(minSize_);
    if (file_.attach(wanted) == nullptr) {
        std::ostringstream os;
        os << "SlotWriter::attach() cannot attach to shmem " << fileName_ << " size:" << wanted
           << ": " << file_.reason();
        Basalt::InvalidInitializeException::throwException(os.str());
    }
    const std::uint64_t existing = file_.memSize();
    header_ = static_cast<Header*>(file_.base());
    int result = 1;
    if (existing != 0) {
        refuseAnotherValueType();
        std::string error;
        const bool mine = file_.mappedSize() >= sizeof(Header) && header_->fenix == fenix;
        bool adopt = mine && Header::validate(header_, debug_, file_.mappedSize(), fenix, error) &&
                     header_->valueSize == valueSize && header_->slotSize == slotSize;
        if (adopt && fixedSize_ && header_->numSlots().value != minSize_) {
            BASALT_TRACE(debug_, 1,
                         "SlotWriter::attach() wanted capacity:"
                             << minSize_ << " for fixed-size table, but existing file has capacity:"
                             << header_->numSlots().value);
            adopt = false;
        }
        if (adopt) {
            if (hashSeedIs_) hashSeedIs_(header_->hashSeed);
            const std::uint64_t size = fileBytes(header_->numSlots().value);
            if (file_.resize(size) == nullptr) {
                std::ostringstream os;
                os << "SlotWriter::attach() failed to resize " << fileName_ << " to size " << size
                   << " : " << file_.reason();
                Basalt::MemoryResourceException::throwException(os.str());
            }
            loadCaches();
            recomputeShrinkThreshold();
            BASALT_TRACE(debug_, 1, "SlotWriter::attach() to existing " << fileName_);
            if (debug_ && debug_->enabled(3)) BASALT_TRACE(debug_, 3, header_->toString());
            return 2;
        }
        result = 4;
        for (const std::uint64_t size : {static_cast<std::uint64_t>(file_.fileSize()), wanted}) {
            if (file_.resize(size) == nullptr) {
                std::ostringstream os;
                os << "SlotWriter::attach() failed to resize " << fileName_ << " to size " << size
                   << " : " << file_.reason();
                Basalt::MemoryResourceException::throwException(os.str());
            }
        }
        header_ = static_cast<Header*>(file_.base());
    }
    format(fenix, existing != 0);
    BASALT_TRACE(
        debug_, 1,
        (result == 4 ? "SlotWriter::attach() re-formatted " : "SlotWriter::attach() to new file ")
            << fileName_);
    if (debug_ && debug_->enabled(3)) BASALT_TRACE(debug_, 3, header_->toString());
    return result;
}

template <class V>
void SlotWriterTable<V>::refuseAnotherValueType() const {
    // Only a well-formed table (its checksum covers the name) is another component's: a damaged
    // one is re-formatted as usual.
    std::string error;
    if (file_.mappedSize() < sizeof(Header) ||
        !Header::validate(header_, nullptr, file_.mappedSize(), 0, error) ||
        std::strncmp(header_->valueType, valueTypeName_, nameSize) == 0) {
        return;
    }
    std::ostringstream os;
    os << "SlotWriter::attach() " << fileName_ << " holds \"" << header_->valueTypeText()
       << "\" records, not \"" << valueTypeName_
       << "\": refusing to re-format another type's table";
    Basalt::InvalidInitializeException::throwException(os.str());
}

template <class V>
void SlotWriterTable<V>::format(std::uint32_t fenix, bool existing) {
    // Both names are checked before anything is written.
    const std::string valueType = valueTypeName_;
    for (const auto& [name, what] :
         {std::pair{valueType, "value typename "}, std::pair{classTypeName_, "class typename: "}}) {
        if (name.size() >= nameSize) {
            std::ostringstream os;
            os << "SlotTable::Header() " << what << name << " exceeds " << nameSize
               << " characters";
            Basalt::InvalidInitializeException::throwException(os.str());
        }
    }
    Header& file = *header_;
    // A reader of the old incarnation may still read this file. In order: the magic goes first
    // (a reader validating the header from now on refuses it), then the fields, the lookaside
    // slot and every slot (each link's seq moves on, so a walk through an old link restarts),
    // then the (version, numSlots) word with its version moved on (every reader re-checks it
    // around each operation, and remaps), and the magic last (pairs with the magic check of
    // Header::validate: a header with the magic is complete).
    const Mem::VerU32 old = existing ? file.numSlots() : Mem::VerU32{};
    Mem::Atomics::storeRelease(file.magic, std::uint64_t{0});
    Header h{};
    std::memcpy(h.valueType, valueType.data(), valueType.size());
    std::memcpy(h.classType, classTypeName_.data(), classTypeName_.size());
    h.version = versionValue;
    h.fenix = fenix;
    h.platform = Compatibility::thisPlatform;
    h.valueSize = valueSize;
    h.slotSize = slotSize;
    h.maxSlots = maxSize_;
    h.constFlags = 0;
    h.runtimeFlags = Mem::Atomics::loadRelaxed(file.runtimeFlags);  // not the format's to change
    h.occupiedSlots = 0;
    h.freeSlots = SlotLink::endOfList;
    h.mostSlots = minSize_;
    h.hashSeed = static_cast<std::uint32_t>(std::random_device{}());
    h.hash = h.doHash();
    // The fields between the magic and the (version, numSlots) word, as 32-bit words: readers
    // copy the header as words too (SlotReaderTable::snapshot) and validate the copy.
    constexpr std::size_t from = offsetof(Header, version), to = offsetof(Header, numSlotsPair);
    static_assert(from % 4 == 0 && to % 4 == 0, "the header's fields are 32-bit words");
    for (std::size_t at = from; at < to; at += 4) {
        std::uint32_t word;
        std::memcpy(&word, reinterpret_cast<const char*>(&h) + at, 4);
        Mem::Atomics::storeRelease(
            *reinterpret_cast<std::uint32_t*>(reinterpret_cast<char*>(header_) + at), word);
    }
    if (hashSeedIs_) hashSeedIs_(h.hashSeed);
    formatSlot(lookasideSlot(), existing);
    numSlots_ = minSize_;
    slots_.base_ = reinterpret_cast<Slot*>(reinterpret_cast<char*>(header_) + headerBytes());
    slots_.maxIndex_ = minSize_ - 1;
    for (std::uint32_t i = 0; i < minSize_; ++i) formatSlot(slots_[i], existing);
    // Readers never walk the free list; the head is the writer's own (and the validator's).
    Mem::Atomics::storeRelaxed(file.freeSlots, addFreeSlots(0, minSize_));
    recomputeShrinkThreshold();
    // Pairs with the readers' acquire load of the (version, numSlots) word before and after each
    // operation: a reader that sees the new version sees the formatted slots.
    Mem::VerU32::store(file.numSlotsPair, Mem::VerU32{existing ? old.version + 1 : 0, minSize_});
    // Pairs with the magic check of Header::validate (the readers' attach): last.
    Mem::Atomics::storeRelease(file.magic, magicValue);
}

template <class V>
void SlotWriterTable<V>::formatSlot(Slot& slot, bool moveSeq) {
    // No link of the index leads here while a slot is formatted (it lies beyond the published
    // count, or the table is being re-formatted): these stores pair with the readers' acquire
    // load of the (version, numSlots) word that the caller publishes afterwards (doResize),
    // and, for a reader still holding a link of an earlier incarnation, with getValue's status
    // re-read and the seq re-check of that link.
    storeSlotValue(slot, V());
    Mem::Atomics::storeRelease(slot.head.rhash, 0u);
    Mem::Atomics::storeRelease(slot.head.status, 0u);
    // A slot of an existing file keeps moving its seq forward: a reader that read the link
    // before (an earlier incarnation, or before a shrink released the slot) sees it changed.
    const std::uint32_t seq = moveSeq ? SlotLink::load(slot.head.link).seq + SlotLink::seqStep : 0;
    SlotLink::store(slot.head.link, SlotLink{seq, SlotLink::endOfList});
}

template <class V>
std::uint32_t SlotWriterTable<V>::addFreeSlots(std::uint32_t start, std::uint32_t end) {
    BASALT_ASSERT(!view_);
    if (start >= end) {
        std::ostringstream os;
        os << "SlotWriterTable::addFreeSlots() bad index range, start: " << start
           << " end: " << end;
        Basalt::debugAndThrowAssertException(os.str().c_str(), __FILE__, __LINE__, __func__);
    }
    if (Mem::Atomics::loadRelaxed(header_->freeSlots) != SlotLink::endOfList) {
        Basalt::debugAndThrowAssertException(
            "SlotWriterTable::addFreeSlots() free-list is not empty", __FILE__, __LINE__, __func__);
    }
    for (std::uint32_t i = end; i-- > start;) {
        Slot& slot = slots_[i];
        const SlotLink old = SlotLink::load(slot.head.link);
        const std::uint32_t successor = i == end - 1 ? SlotLink::endOfList : i + 1;
        // Free slots are on no run: no reader follows these links (the free list is the
        // writer's and the validator's); the seq moves on like every link rewrite.
        SlotLink::store(slot.head.link, SlotLink{old.seq + SlotLink::seqStep, successor});
    }
    return start;
}

template <class V>
std::uint32_t SlotWriterTable<V>::alloc(std::uint32_t hash) {
    BASALT_ASSERT(!view_);
    if (freeListEmpty()) grow();
    const std::uint32_t index = Mem::Atomics::loadRelaxed(header_->freeSlots);
    Slot& slot = slots_[index];
    // The slot is on no run yet: its rhash is published by the caller's release store of the
    // link that makes it reachable (pairs with the readers' acquire load of that link).
    Mem::Atomics::storeRelease(slot.head.rhash, Basalt::Util::reverse(hash));
    // Readers load occupiedSlots only as a statistic (members()) and in a header snapshot's
    // check that it does not exceed numSlots, which a slot taken from the free list never makes
    // it do: nothing pairs with these two stores. The free list is the writer's own.
    Mem::Atomics::storeRelaxed(header_->occupiedSlots,
                               Mem::Atomics::loadRelaxed(header_->occupiedSlots) + 1);
    Mem::Atomics::storeRelaxed(header_->freeSlots, SlotLink::load(slot.head.link).next);
    ++counters_.allocs;
    return index;
}

template <class V>
std::uint32_t SlotWriterTable<V>::grownCapacity() const {
    const std::uint32_t old = numSlots_;
    if (fixedSize_ || old >= indexLimit) return old;
    std::uint64_t wanted;
    if (old < maxSize_) {
        wanted = std::min<std::uint64_t>(maxSize_, 2ull * old);
    } else {
        wanted = static_cast<std::uint64_t>(std::ceil(static_cast<float>(old) * 1.1f));
    }
    return static_cast<std::uint32_t>(
        std::clamp<std::uint64_t>(wanted, std::uint64_t{old} + 1, indexLimit));
}

template <class V>
void SlotWriterTable<V>::grow() {
    const Mem::VerU32 old = header_->numSlots();
    const std::uint32_t occupiedSlots = Mem::Atomics::loadRelaxed(header_->occupiedSlots);
    if (old.value != occupiedSlots) {
        std::ostringstream os;
        os << "SlotWriter::grow() the slot table is full but numSlots: " << old.value
           << " and occupiedSlots: " << occupiedSlots << " are not equal";
        Basalt::CorruptionDetectedException::throwException(os.str());
    }
    const std::uint32_t n = grownCapacity();
    if (n == old.value) {
        std::ostringstream os;
        os << "SlotWriter::alloc() Hoard table full (occupancy:" << old.value
           << " tableSize:" << maxSize_ << ") " << name();
        BASALT_TRACE(debug_, 0, os.str());
        TableFullException::throwException(os.str());
    }
    resize(n);
    for (std::uint32_t i = old.value; i < n; ++i) formatSlot(slots_.base_[i], true);
    // The new slots are addressable by this writer before the count is published.
    slots_.maxIndex_ = n - 1;
    const std::uint32_t head = addFreeSlots(old.value, n);
    // Before the count: a header snapshot that sees the new count sees mostSlots >= it (pairs
    // with the numSlots re-read of SlotReaderTable::snapshot, checked by Header::validate).
    Mem::Atomics::storeRelease(header_->mostSlots,
                               std::max(Mem::Atomics::loadRelaxed(header_->mostSlots), n));
    const Mem::VerU32 grown{old.version + 1, n};
    HOARD_CRASH_POINT("grow.publish");
    // Pairs with the readers' acquire load of the numSlots pair: the new slots are formatted and
    // mapped before any reader may index them.
    Mem::VerU32::store(header_->numSlotsPair, grown);
    HOARD_CRASH_POINT("grow.freeList");
    // After the count: a header snapshot that sees this head (an index of the new slots) sees the
    // new count too (pairs with the numSlots re-read of SlotReaderTable::snapshot, whose copy
    // Header::validate checks for freeSlots < numSlots).
    Mem::Atomics::storeRelease(header_->freeSlots, head);
    BASALT_TRACE(debug_, 2,
                 "SlotWriter::grow() " << name() << " from " << old << " slots to " << grown);
    loadCaches();
    recomputeShrinkThreshold();
    ++counters_.grows;
}

template <class V>
void SlotWriterTable<V>::resize(std::uint32_t newNumSlots) {
    BASALT_ASSERT(!view_);
    const std::uint32_t old = numSlots_;
    BASALT_TRACE(
        debug_, 5,
        "SlotWriter::resize() " << name() << " from " << old << " to " << newNumSlots << " slots");
    if (newNumSlots > maxSize_) {
        BASALT_TRACE(
            debug_, 5,
            "SlotWriter::resize() overflowing by " << (newNumSlots - maxSize_) << " slots");
    }
    const std::uint64_t bytes = fileBytes(newNumSlots);
    void* oldBase = file_.base();
    void* base = file_.resize(bytes);
    if (base == nullptr) {
        std::ostringstream os;
        os << "SlotWriter::resize() failed to resize " << fileName_ << " from " << old << " to "
           << newNumSlots << " slots, needed " << bytes << " bytes. Reason: " << file_.reason();
        Basalt::MemoryResourceException::throwException(os.str());
    }
    if (base != oldBase) {
        ++counters_.remaps;
        BASALT_TRACE(
            debug_, 5,
            "SlotWriter::resize() remap base address changed from " << oldBase << " to " << base);
    }
    header_ = static_cast<Header*>(base);
    slots_.base_ = reinterpret_cast<Slot*>(reinterpret_cast<char*>(header_) + headerBytes());
    slots_.maxIndex_ = std::min(slots_.maxIndex_, newNumSlots == 0 ? 0 : newNumSlots - 1);
    BASALT_TRACE(debug_, 5, "SlotWriter::resize() to " << newNumSlots << " successfully");
}

template <class V>
void SlotWriterTable<V>::recomputeShrinkThreshold() {
    shrinkThreshold_ =
        (shrinkable_ && !fixedSize_ && numSlots_ > minSize_) ? std::bit_floor(numSlots_ - 1) : 0;
    BASALT_TRACE(debug_, 5, "SlotWriter::shrinkThreshold(): shrinkThreshold_:" << shrinkThreshold_);
}

template <class V>
void SlotWriterTable<V>::purgeFreeSlots(std::uint32_t threshold) {
    BASALT_ASSERT(!view_);
    if (numSlots_ <= threshold) {
        std::ostringstream os;
        os << "SlotWriter::purgeFreeSlots() bad threshold: " << threshold
           << " numSlots:" << numSlots_;
        Basalt::debugAndThrowAssertException(os.str().c_str(), __FILE__, __LINE__, __func__);
    }
    if (Mem::Atomics::loadRelaxed(header_->freeSlots) == SlotLink::endOfList) {
        Basalt::debugAndThrowAssertException("SlotWriterTable::purgeFreeSlots() free-list is empty",
                                             __FILE__, __LINE__, __func__);
    }
    std::uint32_t length = 0;
    std::uint64_t* predecessor = nullptr;  // null: the head in the header
    std::uint32_t index = Mem::Atomics::loadRelaxed(header_->freeSlots);
    while (index != SlotLink::endOfList) {
        if (++length > numSlots_) break;  // a cycle: reported by the count check below
        Slot& slot = slots_[index];
        const std::uint32_t next = SlotLink::load(slot.head.link).next;
        if (index >= threshold) {
            BASALT_TRACE(
                debug_, 7,
                "SlotWriter::purgeFreeSlots() removing slot id " << index << " from free-list");
            // Pairs with nothing on the reader side (readers never walk the free list); release
            // keeps the writer's own later stores ordered after it for a crash-consistent file.
            if (predecessor == nullptr) {
                Mem::Atomics::storeRelease(header_->freeSlots, next);
            } else {
                const SlotLink p = SlotLink::load(*predecessor);
                SlotLink::store(*predecessor, SlotLink{p.seq + SlotLink::seqStep, next});
            }
        } else {
            predecessor = &slot.head.link;
        }
        index = next;
    }
    const std::uint32_t occupiedSlots = Mem::Atomics::loadRelaxed(header_->occupiedSlots);
    if (std::uint64_t{occupiedSlots} + length != numSlots_) {
        std::ostringstream os;
        os << "SlotWriter::purgeFreeSlots() numSlots mismatch, length of freeList: " << length
           << ", occupiedSlots: " << occupiedSlots
           << " do not add up to numSlots: " << header_->numSlots();
        Basalt::CorruptionDetectedException::throwException(os.str());
    }
}

template <class V>
void SlotWriterTable<V>::move(std::uint32_t fromSlot, std::uint32_t toSlot,
                              std::uint64_t& predecessorLink) {
    BASALT_ASSERT(!view_);
    if (toSlot == SlotLink::endOfList) {
        std::ostringstream os;
        os << "SlotWriter::move() not valid toSlotId:" << toSlot;
        Basalt::debugAndThrowAssertException(os.str().c_str(), __FILE__, __LINE__, __func__);
    }
    if (fromSlot <= toSlot) {
        std::ostringstream os;
        os << "SlotWriter::move() should always move entries to lower section fromSlotId:"
           << fromSlot << " toSlotId:" << toSlot;
        Basalt::debugAndThrowAssertException(os.str().c_str(), __FILE__, __LINE__, __func__);
    }
    BASALT_TRACE(debug_, 7, "SlotWriter::move() fromSlotId:" << fromSlot << " toSlotId:" << toSlot);
    Slot& from = slots_[fromSlot];
    Slot& to = slots_[toSlot];
    // The destination is a free slot, on no run: its rhash, value, status and link are
    // published together by the predecessor's link store below (pairs with the readers'
    // acquire load of the link they follow, walkRun and first). A reader still holding a link
    // to the destination from before it was freed sees its status change (getValue's re-read)
    // or that link's seq change.
    Mem::Atomics::storeRelease(to.head.rhash, Mem::Atomics::loadRelaxed(from.head.rhash));
    const SlotLink toLink = SlotLink::load(to.head.link);
    // The free list is the writer's own.
    Mem::Atomics::storeRelaxed(header_->freeSlots, toLink.next);
    HOARD_CRASH_POINT("shrink.move.value");
    storeSlotValue(to, loadSlotValue(from));
    HOARD_CRASH_POINT("shrink.move.status");
    // Published with the rest of the copy by the predecessor's link store (above).
    const std::uint32_t status = Mem::Atomics::loadRelaxed(to.head.status);
    if (status & occupied) {
        Mem::Atomics::storeRelease(to.head.status, status + 2);
        Mem::Atomics::storeRelease(to.head.status, status + 4);
    } else {
        Mem::Atomics::storeRelease(to.head.status, (status + writeStep) | occupied);
    }
    // The copy takes the source's place in its run before anyone can reach it.
    const SlotLink fromLink = SlotLink::load(from.head.link);
    HOARD_CRASH_POINT("shrink.move.link");
    SlotLink::store(to.head.link, SlotLink{toLink.seq + SlotLink::seqStep, fromLink.next});
    const SlotLink pred = SlotLink::load(predecessorLink);
    HOARD_CRASH_POINT("shrink.move.publish");
    // From here readers reach the copy: pairs with their acquire load of this link (the copy is
    // complete) and their seq re-check of it (a reader that read the source through the old
    // link sees the seq changed and restarts).
    SlotLink::store(predecessorLink, SlotLink{pred.seq + SlotLink::seqStep, toSlot});
}

template <class V>
void SlotWriterTable<V>::shrink(std::uint32_t newNumSlots) {
    BASALT_ASSERT(!view_);
    BASALT_TRACE(debug_, 5, "SlotWriter::shrink() newNumSlots:" << newNumSlots);
    const Mem::VerU32 old = header_->numSlots();
    const Mem::VerU32 shrunk{old.version + 1, newNumSlots};
    // Published before the remap: pairs with the readers' numSlots version check, so a reader
    // stops indexing the released slots before they go away.
    Mem::VerU32::store(header_->numSlotsPair, shrunk);
    resize(newNumSlots);
    loadCaches();
    recomputeShrinkThreshold();
    ++counters_.shrinks;
    BASALT_TRACE(debug_, 2,
                 "SlotWriter::shrink() " << name() << " from " << old << " slots to " << shrunk);
}

}  // namespace Hoard
