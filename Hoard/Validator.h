#pragma once

// The table validator: checks that a table's slot file, bucket file and (for tables with a
// notification queue) queue agree with each other before a writer trusts them. Every record is
// reached exactly once through the hash index, every other slot is on the free list exactly
// once, the header's counts add up, no slot is stuck in the middle of a rewrite, and each
// record's queue position names a live notification of its own slot. It repairs nothing.
//
// The validator only reads: it works on a table its writer owns and on one mapped read-only
// (attachView). Every walk is bounded by the slot capacity or the ring size and every index is
// range-checked, so a damaged table yields a false validation with a reason, never a crash or a
// hang. One instance serves one validation run; its marks live in this process's memory.
//
// Thread safety: runs in the table's writer thread while no write is in progress (or in another
// process while the writer is idle), so the structures do not change under it. Readers of the
// table are not affected.

#include <cstdint>
#include <exception>
#include <memory>
#include <sstream>
#include <string>

#include "Hoard/SlotWriter.h"
#include "Hoard/WriterHashMap.h"
#include "Strand/Local.h"
#include "contracts/Basalt/Exception.h"
#include "contracts/Herald/HeraldView.h"
#include "contracts/HoardBase/BucketTable.h"
#include "contracts/HoardBase/Hash.h"
#include "contracts/HoardBase/IterHint.h"
#include "contracts/Mem/Atomics.h"

namespace Hoard {

// `Queue` is the table's notification queue writer or its no-op twin (isDummy), or anything else
// with isDummy, validate(fenix, mostSlots, error) and view(): the queue checks run on its
// Herald::HeraldView.
template <class Ops, class Queue>
class Validator : public ValidatorHook {
  public:
    using V = typename Ops::Value;
    using Slots = SlotWriterTable<V>;
    using Index = WriterHashMap<Ops>;
    static constexpr bool hasQueue = !Queue::isDummy;

    Validator(std::shared_ptr<Basalt::Platform::DebugHandler> debug, std::string name,
              const Slots& slots, const BucketWriterTable& buckets, Index& index,
              const Queue& herald)
        : debug_(std::move(debug)),
          name_(std::move(name)),
          slots_(slots),
          buckets_(buckets),
          index_(index),
          herald_(herald) {}

    // True when the table is consistent; on false error() holds the first failure. Exceptions
    // raised by the checks end here.
    bool validate(std::uint32_t fenix) {
        error_.clear();
        finding_.clear();
        bool ok = false;
        try {
            ok = doValidate(fenix);
        } catch (const std::exception& e) {
            // A finding of markOccupied() is the first failure even when the index went on (its
            // fast path retries corruption by the slow path) and failed differently.
            error_ = finding_.empty() ? e.what() : finding_;
            BASALT_TRACE(debug_, 0, "Validator::validate caught: " << error_);
        } catch (...) {
            error_ = "unknown exception";
            BASALT_TRACE(debug_, 0, "Validator::validate caught: " << error_);
        }
        if (!ok) {
            BASALT_TRACE(
                debug_, 0,
                "Validator::validate() Hoard " << name_ << " validation failed: " << error_);
        }
        return ok;
    }
    const std::string& error() const { return error_; }

    // The files' own checks, both walks, the slot count, then (tables with a queue) the queue
    // checks. Findings during the index walk are CorruptionDetectedException.
    bool doValidate(std::uint32_t fenix) {
        const SlotTable::Header* header = slots_.header();
        if (header == nullptr) return fail("Validator::doValidate() slot table not attached");
        const std::uint32_t capacity = slots_.capacity();
        if (!buckets_.validate(capacity, error_)) return false;
        if (!SlotTable::Header::validate(header, debug_, slotFileBytes(), fenix, error_)) {
            return false;
        }
        if (header->numSlots().value != capacity) {
            std::ostringstream os;
            os << "Validator::doValidate() header numSlots:" << header->numSlots()
               << " differs from mapped capacity:" << capacity;
            return fail(os.str());
        }
        if (hasQueue &&
            !herald_.validate(fenix, Mem::Atomics::loadAcquire(header->mostSlots), error_)) {
            return fail(error_);
        }
        if (!walkOccupiedSlots() || !walkFreeSlots()) return false;
        if (std::uint64_t{occupied_} + free_ != capacity) {
            std::ostringstream os;
            os << "Validator::doValidate() bad slotCount:" << std::uint64_t{occupied_} + free_
               << " occupiedSlots:" << occupied_ << " freeSlots:" << free_
               << " capacity:" << capacity;
            return fail(os.str());
        }
        return !hasQueue || checkQueue();
    }

    // Iterates the whole table with the index, which checks each record's bucket and rhash and
    // marks it here; the walk stops once it returned more records than the header counts.
    bool walkOccupiedSlots() {
        BASALT_TRACE(debug_, 5, "Validator::walkOccupiedSlots() starting");
        finding_.clear();
        occupied_ = 0;
        clear(occupiedMarks_, slots_.capacity());
        view_ = herald_.view();
        clear(queueMarks_, hasQueue ? view_.ringSize() : 0);
        const HookScope hook(index_, this);
        const std::uint32_t expected = Mem::Atomics::loadAcquire(slots_.header()->occupiedSlots);
        V value{};
        IterHint hint;
        std::uint64_t walked = 0;
        for (bool more = index_.first(0, value, hint); more;
             more = index_.next(Ops::key(value), value, hint)) {
            if (!finding_.empty()) raise(finding_);
            if (++walked > expected) {
                std::ostringstream os;
                os << "Validator::walkOccupiedSlots() walkedSlots:" << walked
                   << " is greater than header->occupiedSlots:" << expected;
                return fail(os.str());
            }
        }
        if (!finding_.empty()) raise(finding_);
        BASALT_TRACE(debug_, 5, "Validator::walkOccupiedSlots() marked " << occupied_ << " slots");
        if (occupied_ != expected) {
            std::ostringstream os;
            os << "Validator::walkOccupiedSlots() mismatch header->occupiedSlots:" << expected
               << " count:" << occupied_;
            return fail(os.str());
        }
        return true;
    }

    // Follows the free list from the header's head; each slot may appear once and must be free.
    // Bounded: every step marks a new slot or fails.
    bool walkFreeSlots() {
        BASALT_TRACE(debug_, 5, "Validator::walkFreeSlots() starting");
        const SlotTable::Header* header = slots_.header();
        const std::uint32_t numSlots = header->numSlots().value;
        free_ = 0;
        clear(freeMarks_, slots_.capacity());
        std::uint32_t index = Mem::Atomics::loadAcquire(header->freeSlots);
        while (index != SlotLink::endOfList) {
            BASALT_TRACE(debug_, 9, "Validator::walkFreeSlots() walking slotIndex: " << index);
            if (index > numSlots) {
                return fail(
                    "Validator::walkFreeSlots() corrupted free slot detected with out of bound "
                    "index: " +
                    std::to_string(index));
            }
            const auto& slot = slots_.slots()[index];  // range-checked: index < capacity
            if (freeMarks_.get(index)) {
                return fail("Validator::walkFreeSlots() duplicate freeSlot detected: " +
                            std::to_string(index));
            }
            freeMarks_.write(index, true);
            ++free_;
            if (Mem::Atomics::loadAcquire(slot.head.status) & SlotTable::occupied) {
                return fail("Validator::walkFreeSlots() corrupted free slot not marked as empty: " +
                            std::to_string(index));
            }
            if (hasQueue && !checkFreeNotification(index)) return false;
            index = SlotLink::load(slot.head.link).next;
        }
        BASALT_TRACE(debug_, 5, "Validator::walkFreeSlots() marked " << free_ << " free slots");
        return true;
    }

    // Called by the index for every slot it returns while this validator is its hook.
    void markOccupied(std::uint32_t slotIndex) override {
        BASALT_TRACE(debug_, 9, "Validator::markOccupied() slotIndex: " << slotIndex);
        if (!finding_.empty()) raise(finding_);
        const auto& slot = slots_.slots()[slotIndex];  // range-checked: index < capacity
        if (slotIndex >= occupiedMarks_.members()) {
            raise("Validator::markOccupied() slot: " + std::to_string(slotIndex) +
                  " outside the walk");
        }
        if (occupiedMarks_.get(slotIndex)) {
            raise("Validator::markOccupied() duplicate slot: " + std::to_string(slotIndex));
        }
        occupiedMarks_.write(slotIndex, true);
        ++occupied_;
        const std::uint32_t status = Mem::Atomics::loadAcquire(slot.head.status);
        if (!(status & SlotTable::occupied)) raiseStatus("missing OCCUPIED", status);
        if (status & SlotTable::lookaside) raiseStatus("stuck LOOKASIDE", status);
        if (!hasQueue) {
            BASALT_TRACE(debug_, 9,
                         "Validator::markOccupied() no notification in herald queue"
                             << " for occupied slotId:" << slotIndex);
            return;
        }
        // The slot's latest notification: a position the queue has issued and, while the ring
        // still holds it, a position no other slot claims and a live notification of this slot.
        // A lapped position cannot be compared with the ring. The claim is checked first, so a
        // slot claiming another's position is reported as the duplicate it is.
        const HeraldPos p = view_.slotPosition(slotIndex);
        const std::string what = "Validator::markOccupied() slot:" + std::to_string(slotIndex);
        if (p == noHeraldPos || p > view_.sequence()) {
            raise(what + " bad herald index:" + std::to_string(p));
        }
        if (!view_.inWindow(p)) return;
        if (queueMarks_.get(view_.indexOf(p))) {
            raise(what + " duplicate herald position:" + std::to_string(p));
        }
        queueMarks_.write(view_.indexOf(p), true);
        if (!liveNotificationOf(slotIndex, p)) {
            raise(what + " bad notification:" + std::to_string(p));
        }
    }

    std::uint32_t occupiedCount() const { return occupied_; }
    std::uint32_t freeCount() const { return free_; }

  private:
    // Sets the index's validator hook for one walk; cleared also when the walk throws.
    class HookScope {
      public:
        HookScope(Index& index, ValidatorHook* hook) : index_(index) { index_.validatorIs(hook); }
        ~HookScope() { index_.validatorIs(nullptr); }
        HookScope(const HookScope&) = delete;
        HookScope& operator=(const HookScope&) = delete;

      private:
        Index& index_;
    };

    bool fail(const std::string& text) {
        error_ = text;
        BASALT_TRACE(debug_, 0, error_);
        return false;
    }

    // A finding during the index walk: kept as the first failure, raised as corruption.
    [[noreturn]] void raise(const std::string& text) {
        if (finding_.empty()) {
            finding_ = text;
            BASALT_TRACE(debug_, 0, finding_);
        }
        Basalt::CorruptionDetectedException::throwException(finding_);
    }

    [[noreturn]] void raiseStatus(const char* what, std::uint32_t status) {
        std::ostringstream os;
        os << "Validator::markOccupied() " << what << " bit: 0x" << std::hex << status;
        raise(os.str());
    }

    // Resets `marks` to `n` cleared flags.
    static void clear(Strand::Local<bool>& marks, std::uint32_t n) {
        marks.capacityIs(0);
        marks.capacityIs(n);
    }

    // The bytes of the slot file this process has mapped (the table's own figure when it
    // reports one; otherwise the span of its capacity, which its mapping always covers).
    std::uint64_t slotFileBytes() const {
        if constexpr (requires { slots_.mappedSize(); }) {
            return slots_.mappedSize();
        } else {
            return slots_.header()->headerSize() +
                   std::uint64_t{slots_.capacity()} * Slots::slotSize;
        }
    }

    // True when the ring's cell for position `p` holds notification p of `slot`, not
    // superseded.
    bool liveNotificationOf(std::uint32_t slot, HeraldPos p) const {
        const auto e = view_.entryAt(p);
        return e && e->slot == slot && !e->superseded;
    }

    // A free slot's latest notification, when it has one, is a position the queue has issued
    // and, while in the ring, this slot's live notification.
    bool checkFreeNotification(std::uint32_t index) {
        const HeraldPos p = view_.slotPosition(index);
        const std::string what = "Validator::walkFreeSlots() slot index: " + std::to_string(index);
        if (p > view_.sequence()) {
            return fail(what + " has out of range herald slot:" + std::to_string(p));
        }
        if (!view_.inWindow(p) || liveNotificationOf(index, p)) return true;
        const auto cell = view_.entryAtIndex(view_.indexOf(p));
        return fail(what + " has slot:" + (cell ? std::to_string(cell->slot) : "none") +
                    " with wrong herald slot:" + std::to_string(p));
    }

    // Every live notification of the ring's window against the slots and the marks that
    // markOccupied() left: at most ringSize positions.
    bool checkQueue() {
        const HeraldPos head = view_.sequence();
        const std::uint32_t capacity = slots_.capacity();
        for (HeraldPos p = view_.windowBegin(); p != 0 && p <= head; ++p) {
            const auto e = view_.entryAtIndex(view_.indexOf(p));
            if (!e || e->superseded) continue;
            const HeraldPos recorded = view_.slotPosition(e->slot);
            std::ostringstream os;
            const bool marked = queueMarks_.get(view_.indexOf(p));
            if (!e->inWindow && recorded != e->sequence) {
                os << "Validator::doValidate() corral pos:" << p << " seq:" << e->sequence
                   << " slot:" << e->slot << " heraldPos:" << p;
            } else if (!e->tombstone && e->slot < capacity && !marked &&
                       (Mem::Atomics::loadAcquire(slots_.slots()[e->slot].head.status) &
                        SlotTable::occupied)) {
                os << "Validator::doValidate() occupied slot:" << e->slot
                   << " on deleted notification:" << p;
            } else if (recorded != e->sequence) {
                os << "Validator::doValidate() herald pos:" << p << " has slot:" << e->slot
                   << " seq:" << e->sequence << " with wrong heraldSlot:" << recorded;
            } else if (e->tombstone && marked) {
                os << "Validator::doValidate() active tombstone pos:" << p;
            } else {
                continue;
            }
            return fail(os.str());
        }
        return true;
    }

    std::shared_ptr<Basalt::Platform::DebugHandler> debug_;
    std::string name_;
    const Slots& slots_;
    const BucketWriterTable& buckets_;
    Index& index_;
    const Queue& herald_;
    ::Herald::HeraldView view_;
    Strand::Local<bool> occupiedMarks_;  // set when the index returned the slot
    Strand::Local<bool> freeMarks_;      // set when the free list reached the slot
    Strand::Local<bool> queueMarks_;     // per ring cell: an occupied slot's position is there
    std::uint32_t occupied_ = 0;
    std::uint32_t free_ = 0;
    std::string error_;
    std::string finding_;  // the first finding of markOccupied()
};

}  // namespace Hoard
