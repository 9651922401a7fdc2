#pragma once

// The single writer of one shared-memory table: owns the slot file, the bucket file, the hash
// index and the change-notification queue; takes the writer lock, adopts or re-creates its files,
// validates them, and then inserts, overwrites and removes records so that reader processes can
// read the table at any moment without locks.
//
// Thread safety: one thread of one process (the writer lock and the owner file keep other
// processes out). Towards readers the order of stores is the contract:
//  - a new record's value and status are complete before the link that makes it reachable;
//  - an in-place rewrite is bracketed by LOOKASIDE in the slot's status, with a complete copy of
//    the new value (and the rhash) in the lookaside slot for the duration;
//  - every link word and count pair is one 64-bit release store; record bytes follow a release
//    fence and are copied as relaxed words (storeSlotValue).
// Each write, write batch, remove, direct commit and shrink that queued notifications then kicks
// the readers connected to the table's doorbell once (Kick::WriterKickSm). runtimeFlags bit 0x1
// is set for the duration of each write, write batch, remove and direct write, and stays set
// when one of them fails or the process dies inside it; counter tables also announce each
// operation's notifications in their queue's pending word. A writer that adopts files left so
// (or failing validation) recovers them in place (Hoard::Recovery) unless its descriptor turns
// recovery off, and re-formats them only when they still fail validation.

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <iomanip>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "Hoard/CrashPoint.h"
#include "Hoard/Recovery.h"
#include "Hoard/SlotWriter.h"
#include "Hoard/Validator.h"
#include "Hoard/WriterHashMap.h"
#include "contracts/Basalt/Exception.h"
#include "contracts/Config/Toggle.h"
#include "contracts/Herald/HeraldView.h"
#include "contracts/HoardBase/BucketTable.h"
#include "contracts/HoardBase/HoardInterface.h"
#include "contracts/HoardBase/MapDescriptor.h"
#include "contracts/HoardBase/Util.h"
#include "contracts/Kick/ShocketAcceptSm.h"
#include "contracts/Kick/WriterKickSm.h"
#include "contracts/Mem/Atomics.h"
#include "contracts/Mem/VersionAnchor.h"
#include "contracts/Mem/WriterLock.h"
#include "contracts/SharedMem/FenixFile.h"
#include "contracts/SharedMem/OwnerFile.h"

namespace Hoard {

// The per-process sequence of fenix ids made by writers of this process.
inline std::uint16_t nextFenixSequence() {
    static std::atomic<std::uint16_t> sequence{0};
    return ++sequence;
}

struct LinkPosition {
    bool inSlots = false;
    std::uint64_t offset = 0;
};

template <class Ops>
class HoardWriter : public HoardInterface<typename Ops::Key, typename Ops::Value, Ops> {
  public:
    using K = typename Ops::Key;
    using V = typename Ops::Value;
    using Herald = typename Ops::Herald;
    using Slots = SlotWriterTable<V>;
    using Slot = typename Slots::Slot;
    static constexpr std::uint32_t noDirectSlot = 0xFFFFFFFFu;

    HoardWriter(std::shared_ptr<Basalt::Platform::DebugHandler> debug, const std::string& tableName,
                const MapDescriptor& descriptor, const Ops& ops, std::string classTypeName,
                std::function<void(bool)> quiesceHandler = {})
        : debug_(std::move(debug)),
          rootPath_(RootPath(debug_, tableName, true, descriptor.local)
                        .withLocalHeap(descriptor.useHeap, descriptor.heapCheck)),
          local_(descriptor.local),
          descriptor_(descriptor),
          quiesceHandler_(std::move(quiesceHandler)),
          ops_(ops),
          slots_(debug_, rootPath_, V::typeName, std::move(classTypeName), descriptor.slotLimit,
                 descriptor.fixedSize, descriptor.shrinkable, counters_,
                 [this](std::uint32_t seed) { ops_.hashSeedIs(seed); }),
          buckets_(debug_, rootPath_),
          index_(debug_, slots_, buckets_, ops_, counters_, descriptor.shrinkBuckets),
          herald_(debug_, rootPath_),
          ownerFile_(debug_, rootPath_, local_),
          fenixFile_(debug_, rootPath_) {
        slots_.releaseGraceIs(descriptor.releaseGrace);
        buckets_.releaseGraceIs(descriptor.releaseGrace);
        herald_.releaseGraceIs(descriptor.releaseGrace);
    }

    ~HoardWriter() override {
        try {
            if (this->initialized()) detach(false);
        } catch (...) {
        }
    }

    // ---- Life cycle ----------------------------------------------------------------------------

    bool initialize(const std::string& event) override {
        BASALT_TRACE(debug_, 2, "HoardWriter::initialize() " << event << " " << hoardName());
        if (this->initialized()) return true;
        if (!local_ && !Mem::Atomics::checkCpuSupport()) {
            Basalt::InvalidInitializeException::throwException("Hardware does not support Atomics");
        }
        attach();
        this->initializedIs(true);
        return true;
    }

    void attach();
    void detach(bool force) override;
    void cleanup() override;

    // ---- Records -------------------------------------------------------------------------------

    const V* write(const V& value, bool overwrite) override;
    // Writes values[0..count) in order, each exactly as write(value, true) would: the same
    // stores in the same order towards readers, the same notification and pending word per
    // record (a later duplicate of a key overwrites the earlier one). What the batch shares:
    // each key is hashed once, the bucket words and then the slots of the records ahead are
    // prefetched, runtimeFlags bit 0x1 is set once for the whole batch (and stays set when a
    // record fails or the process dies between or inside records), and the readers are kicked
    // once at its end (also when a record fails, for the records before it).
    void writeBatch(const V* values, std::size_t count) override;
    bool remove(const K& key, V& value) override;
    const V* lookup(const K& key, bool& found, V* buffer) override {
        const V* stored = index_.lookup(key, found);
        if (!found) {
            anchor_ = Mem::VersionAnchor{};
            if (buffer != nullptr) *buffer = defaultValue_;
            return &defaultValue_;
        }
        recordAnchor();
        if (buffer != nullptr) *buffer = *stored;
        return stored;
    }
    // lookup() of each key, a group of keys at a time: each key hashed once, the group's bucket
    // entries and first records fetched before the walks. `keys` may overlap `out` as far as
    // lookup() key by key allows it (a group's keys are copied first). The version anchor
    // afterwards is that of the last key found, or cleared when none was.
    std::size_t lookupBatch(const K* keys, std::size_t count, V* out, bool* found) override {
        constexpr std::size_t group = 16;
        std::size_t hits = 0;
        anchor_ = Mem::VersionAnchor{};
        for (std::size_t start = 0; start < count; start += group) {
            const std::size_t m = std::min(group, count - start);
            K wanted[group];
            std::uint32_t hashes[group];
            for (std::size_t i = 0; i < m; ++i) wanted[i] = keys[start + i];
            for (std::size_t i = 0; i < m; ++i) hashes[i] = index_.hash(wanted[i]);
            index_.prefetch(hashes, m);
            for (std::size_t i = 0; i < m; ++i) {
                bool f = false;
                const V* stored = index_.lookupHashed(wanted[i], hashes[i], f);
                found[start + i] = f;
                if (f) {
                    out[start + i] = *stored;
                    recordAnchor();
                    ++hits;
                } else {
                    out[start + i] = defaultValue_;
                }
            }
        }
        return hits;
    }
    bool first(V& value, IterHint& hint) override {
        const bool more = index_.first(0, value, hint);
        if (more) recordAnchor();
        return more;
    }
    bool next(const K& key, V& value, IterHint& hint) override {
        const bool more = index_.next(key, value, hint);
        if (more) recordAnchor();
        return more;
    }

    V* directWrite(const K& key) override;
    V* directUpdate(const K& key) override;
    void directCommit() override;

    // Runs the slot-shrink check now (the same trigger as after a removal).
    void shrink() {
        // A shrink moves records: a reader's scan learns from the flag that moves may overlap it.
        runtimeFlagSet();
        shrinkSlots();
        runtimeFlagClear();
        kickIfNotified();
    }
    void handleQuiesced(bool flag) {
        if (quiesceHandler_) quiesceHandler_(flag);
    }

    // ---- Checks --------------------------------------------------------------------------------

    bool validate() override {
        Validator<Ops, Herald> validator(debug_, hoardName(), slots_, buckets_, index_, herald_);
        return validator.validate(fenix_.value());
    }
    bool validateFiles() override;
    // Runs Recovery on the files as they stand (attach does, when it finds an operation
    // interrupted or the files invalid); true when it finished.
    bool recover();
    // What recovery repaired when this writer attached (empty when it adopted the table as it
    // was, or re-formatted it).
    const std::vector<std::string>& repairs() const { return repairs_; }
    void validateVersionAnchor() override {
        if (versionAnchorHook_) versionAnchorHook_();
        // The anchor names a word by its offset: read it through the current mapping, which a
        // growth may have moved and a shrink may have cut below the anchored slot.
        anchor_.base = slots_.header();
        const std::uint64_t mapped =
            slots_.header() == nullptr
                ? 0
                : slots_.header()->headerSize() + std::uint64_t{capacity()} * Slots::slotSize;
        if (anchor_.offset < Mem::VersionAnchor::unset && anchor_.offset + 4ull > mapped) {
            anchor_.invalidate();
        }
        // A grow or shrink since the anchor was taken may have re-formatted the anchored slot.
        anchor_.validate(slots_.header() == nullptr ? 0 : slots_.header()->numSlots().version);
    }
    void validateVersionAnchorHookIs(std::function<void()> hook) override {
        versionAnchorHook_ = std::move(hook);
    }
    std::string dumpHeaders() const {
        if (slots_.header() == nullptr ||
            (slots_.header()->constFlags & SlotTable::noHeaderDump) != 0) {
            return "";
        }
        std::ostringstream os;
        os << "Hoard table \"" << hoardName() << "\"\n\n\n"
           << buckets_.headerToString() << "\n\n"
           << slots_.header()->toString() << "\n\n";
        return os.str();
    }

    // ---- Accessors -----------------------------------------------------------------------------

    std::uint32_t capacity() const override { return slots_.capacity(); }
    std::uint32_t members() const override {
        return slots_.header() ? Mem::Atomics::loadRelaxed(slots_.header()->occupiedSlots) : 0;
    }
    std::uint32_t maxSize() const override { return slots_.maxSize(); }
    std::uint32_t minSize() const override { return slots_.minSize(); }
    std::uint64_t sequence() const override { return herald_.sequence(); }
    std::uint32_t fenixId() const override { return fenix_.value(); }
    int mountStatus() const override { return this->initialized() ? 1 : 0; }
    bool quiesced() const override { return herald_.quiesced(); }
    bool clientQuiesced(const std::string& readerName) const override {
        return herald_.clientQuiesced(readerName);
    }
    const RootPath& rootPath() const override { return rootPath_; }
    std::string hoardName() const override { return rootPath_.hoardName(); }
    HoardType type() const override { return writer; }
    Writer::Counters writerCounters() const override { return counters_; }
    const Mem::VersionAnchor& versionAnchor() const { return anchor_; }
    const Slots& slotTable() const { return slots_; }
    const BucketWriterTable& bucketTable() const { return buckets_; }
    WriterHashMap<Ops>& index() { return index_; }
    const Herald& herald() const { return herald_; }
    // The readers' doorbell; listening while a shared table is attached with the OneSocketKick
    // toggle on.
    const Kick::WriterKickSm& kickSm() const { return kick_; }
    const Ops& ops() const { return ops_; }

  private:
    bool attachAndValidate(bool force, const SharedMem::ShocketInfo& shocketInfo);
    // True when the previous writer died inside an operation (the write-in-progress flag, or
    // the queue's pending word).
    bool interrupted() const {
        return (Mem::Atomics::loadRelaxed(slots_.header()->runtimeFlags) &
                SlotTable::writeInProgress) != 0 ||
               ::Herald::HeraldView::Pending::isValid(herald_.pending());
    }
    void doMaybeShrinkSlots(std::uint32_t limit);
    void shrinkSlots() {
        const std::uint32_t occupiedSlots = slots_.header()->occupiedSlots;
        const std::uint32_t threshold = slots_.shrinkThreshold();
        doMaybeShrinkSlots(occupiedSlots < threshold / 2 ? threshold : 0);
    }
    void recordAnchor() {
        const auto& a = index_.anchor();
        anchor_ = Mem::VersionAnchor{a.status, a.offset, slots_.header(),
                                     slots_.header()->numSlots().version};
    }
    // runtimeFlags bit 0x1 marks an operation under way; it stays set when one fails or the
    // process dies inside it. The header's text form shows it (the writer's header dump, hoardctl
    // header), and the next writer recovers the table when it finds it set. A reader's scan reads
    // it at its end to learn whether a shrink's moves may have overlapped it (HoardReader::scan):
    // the set is relaxed (the scan that saw a move's effect took it through the move's release
    // stores); the clear is a release store, so a scan that sees the bit cleared also sees the
    // count a shrink published before.
    void runtimeFlagSet() {
        auto& flags = slots_.header()->runtimeFlags;
        Mem::Atomics::storeRelaxed(flags,
                                   static_cast<std::uint16_t>(Mem::Atomics::loadRelaxed(flags) |
                                                              SlotTable::writeInProgress));
    }
    void runtimeFlagClear() {
        auto& flags = slots_.header()->runtimeFlags;
        // Pairs with the acquire load of runtimeFlags at the end of HoardReader::scan.
        Mem::Atomics::storeRelease(flags,
                                   static_cast<std::uint16_t>(Mem::Atomics::loadRelaxed(flags) &
                                                              ~SlotTable::writeInProgress));
    }
    // Gives back the memory of file tails shrunk at least the release grace ago; until then a
    // reader inside an operation begun before the shrink may still read them. Called at the
    // start of every write, remove and direct write, and at detach.
    void releaseFreedTails() {
        slots_.releaseTail();
        buckets_.releaseTail();
        herald_.releaseTail();
    }
    void notify(std::uint32_t slot) {
        if constexpr (Ops::hasQueue) {
            HOARD_CRASH_POINT("notify");
            herald_.notify(slot);
            notified_ = true;
        }
    }
    // Rings the readers' doorbell once for everything an operation queued: called at the end of
    // each public operation, after its last notify(), so a kicked reader finds every change of
    // the operation in the queue.
    void kickIfNotified() {
        if (!notified_) return;
        notified_ = false;
        kick_.kick();
    }
    void assertNoDirect(const char* who, const std::string& what) const;
    // A link word named by file and offset: alloc may grow and remap the slot file, which moves
    // every address in it (the bucket file does not move under alloc).
    LinkPosition positionOf(const std::uint64_t* link) {
        const auto* p = reinterpret_cast<const char*>(link);
        const auto* slotsBase = reinterpret_cast<const char*>(slots_.header());
        if (p >= slotsBase && p < slotsBase + slots_.mappedSize()) {
            return LinkPosition{true, static_cast<std::uint64_t>(p - slotsBase)};
        }
        return LinkPosition{false, static_cast<std::uint64_t>(
                                       p - reinterpret_cast<const char*>(&buckets_.entry(0)))};
    }
    std::uint64_t* linkAt(const LinkPosition& at) {
        char* base = at.inSlots ? reinterpret_cast<char*>(slots_.header())
                                : reinterpret_cast<char*>(&buckets_.entry(0));
        return reinterpret_cast<std::uint64_t*>(base + at.offset);
    }
    // A free slot for a record of hash h. When the slot file must grow, the queue's slot record
    // grows to the new capacity first: a failure of either growth (a full filesystem) leaves the
    // table as it was, with no slot taken and the queue covering every slot. (Growing the queue
    // after the slot was taken would lose the slot when it failed, and the next writer would
    // re-format the table.)
    // The slot is announced in the queue's pending word before alloc's first store to it.
    std::uint32_t allocSlot(std::uint32_t h) {
        if constexpr (Ops::hasQueue) {
            if (slots_.freeListEmpty()) herald_.slotCapacityIs(slots_.grownCapacity());
            slots_.ensureFreeSlot();
            pendingIs(Pending::insert, slots_.freeHead());
        }
        return slots_.alloc(h);
    }
    using Pending = ::Herald::HeraldView::Pending;
    // The queue's pending-notification word: the operation under way and its slots, stored
    // before the operation's first table store; back to "kept" after its last notification.
    // Tables without a queue keep none.
    void pendingIs(Pending::Op op, std::uint32_t slot, std::uint32_t second = 0) {
        if constexpr (Ops::hasQueue) herald_.pendingIs(Pending::encode(op, slot, second));
    }
    void pendingDone() {
        if constexpr (Ops::hasQueue) herald_.pendingIs(Pending::kept);
    }
    // Doubles the buckets once the table holds more records than buckets. Called after the new
    // record is stored and notified: a bucket file that cannot grow (a full filesystem) only
    // leaves the runs longer, so the failure is traced and the next insert tries again.
    void maybeGrowBuckets(const char* who) {
        try {
            index_.maybeGrow();
        } catch (const Basalt::MemoryResourceException& e) {
            BASALT_TRACE(debug_, 0,
                         who << " kept " << index_.numBuckets()
                             << " buckets, the next insert retries: " << e.what());
        }
    }
    // Rewrites an occupied slot in place under LOOKASIDE (or fills a free one): the steps that
    // write and directCommit share.
    void publishValue(Slot& slot, const V& value);
    // One record of write or writeBatch, whose key hashes to `h`: inserts, or overwrites when
    // `overwrite`; returns its slot. The caller has checked direct mode, released freed tails
    // and set runtimeFlags bit 0x1, and clears it and kicks the readers afterwards.
    std::uint32_t writeRecord(const V& value, bool overwrite, std::uint32_t h);

    std::shared_ptr<Basalt::Platform::DebugHandler> debug_;
    RootPath rootPath_;
    bool local_;
    MapDescriptor descriptor_;
    Writer::Counters counters_;
    std::function<void(bool)> quiesceHandler_;
    V defaultValue_{};
    Ops ops_;
    Slots slots_;
    BucketWriterTable buckets_;
    WriterHashMap<Ops> index_;
    Herald herald_;
    Kick::WriterKickSm kick_;
    bool notified_ = false;  // notify() queued something the readers were not yet kicked for
    SharedMem::OwnerFile ownerFile_;
    SharedMem::FenixFile fenixFile_;
    Mem::WriterLock writerLock_;
    SharedMem::FenixId fenix_;
    std::uint32_t directSlot_ = noDirectSlot;
    bool directNew_ = false;
    LinkPosition directPrev_;  // the new direct record's predecessor link
    Mem::VersionAnchor anchor_;
    bool ownerWritten_ = false;
    std::function<void()> versionAnchorHook_;
    std::vector<std::string> repairs_;
};

}  // namespace Hoard

#include "Hoard/HoardWriterImpl.h"
