#pragma once

// Recovery of a table whose writer died inside an operation. A killed process's completed stores
// are all in the shared pages, so the slot file, the bucket file and the queue describe a state
// between two of the writer's store steps; recovery finishes or abandons the interrupted step
// with the same kinds of stores the live writer makes, so that readers still mapped to the table
// stay safe throughout, and so that a kill inside recovery leaves a table the next attach
// recovers again:
//  - every link change is one release store of (seq + 4, next);
//  - a slot caught mid-rewrite (OCCUPIED | LOOKASIDE) is finished from the lookaside slot, whose
//    complete copy readers have already been reading, and LOOKASIDE is cleared after the value;
//    the old value is saved nowhere, so a rewrite is never undone;
//  - a slot that no link reaches is free, whatever its status says (an insert not yet published,
//    a removal already unlinked, the copy of a shrink move not yet published); a freed slot's
//    status moves forward, so a reader still on it sees it change;
//  - a run under the published bucket count that reaches another bucket's records, or ends at
//    another bucket's marker, is ended at its own marker: this finishes a bucket grow whose old
//    runs were not yet cut and undoes a join of a bucket shrink whose count was not published;
//  - the free list and occupiedSlots are rebuilt from the reachable records over the published
//    slot count (the old free list is never trusted: between a removal's stores its head leads
//    into a live run; a slot shrink whose smaller count is unpublished is thereby abandoned);
//  - tables with a notification queue: an unfinished shrink record is ended, the notification of
//    the interrupted operation (the queue's pending word) is published again, and every slot
//    whose recorded notification the queue cannot vouch for is notified anew.
// runtimeFlags' write-in-progress bit is set before the first repair and cleared after the last.
//
// Recovery reads a dead writer's files: every index, count and link is range-checked and every
// walk is bounded (each step marks a new slot), so damage it cannot repair ends it with an error
// (the caller then re-formats), never a crash or a hang.
//
// Thread safety: runs in the table's writer thread before the writer uses the table, while no
// other writer can own it (the writer lock); readers keep reading throughout.

#include <algorithm>
#include <cstdint>
#include <exception>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "Hoard/CrashPoint.h"
#include "Hoard/SlotWriter.h"
#include "Hoard/WriterHashMap.h"
#include "contracts/Basalt/DebugHandler.h"
#include "contracts/Herald/HeraldView.h"
#include "contracts/HoardBase/BucketTable.h"
#include "contracts/HoardBase/SlotLink.h"
#include "contracts/HoardBase/WriterCounters.h"
#include "contracts/Mem/Atomics.h"

namespace Hoard {

template <class Ops, class Queue>
class Recovery {
  public:
    using V = typename Ops::Value;
    using Slots = SlotWriterTable<V>;
    using Slot = typename Slots::Slot;
    static constexpr bool hasQueue = !Queue::isDummy;

    Recovery(std::shared_ptr<Basalt::Platform::DebugHandler> debug, std::string name, Slots& slots,
             BucketWriterTable& buckets, WriterHashMap<Ops>& index, Queue& herald,
             Writer::Counters& counters)
        : debug_(std::move(debug)),
          name_(std::move(name)),
          slots_(slots),
          buckets_(buckets),
          index_(index),
          herald_(herald),
          counters_(counters) {}

    // Repairs the table; true when it is done (the caller validates the result), false with
    // error() when the files hold damage no crash leaves (the write-in-progress bit then stays
    // set). Each repair is traced at level 1, listed in repairs() and counted in
    // Writer::Counters::repairs.
    bool run() {
        repairs_.clear();
        error_.clear();
        try {
            return doRun();
        } catch (const std::exception& e) {
            return fail(e.what());
        }
    }
    const std::string& error() const { return error_; }
    const std::vector<std::string>& repairs() const { return repairs_; }

  private:
    bool doRun() {
        SlotTable::Header* header = slots_.header();
        if (header == nullptr) return fail("slot table not attached");
        const std::uint32_t numSlots = slots_.capacity();
        const std::uint32_t numBuckets = buckets_.count();
        if (numSlots != header->numSlots().value) return fail("slot count differs from mapping");
        if (!BucketTable::validCount(numBuckets) || buckets_.publishedCount().value != numBuckets) {
            return fail("bucket count " + std::to_string(numBuckets) + " unusable");
        }
        // A writer from before the queue's pending word left the flag set and the word 0.
        const bool interrupted =
            (Mem::Atomics::loadRelaxed(header->runtimeFlags) & SlotTable::writeInProgress) != 0;
        const std::uint64_t pending = herald_.pending();
        flagIs(true);
        reached_.assign(numSlots, 0);
        touched_.clear();
        std::uint32_t lookasides = 0;
        for (std::uint32_t s = 0; s < numSlots; ++s) {
            if (status(s) & SlotTable::lookaside) ++lookasides;
        }
        for (std::uint32_t b = 0; b < numBuckets; ++b) {
            if (!walkRun(b, numBuckets, numSlots)) return false;
        }
        std::uint32_t reachable = 0;
        for (std::uint32_t s = 0; s < numSlots; ++s) {
            if (!reached_[s]) continue;
            ++reachable;
            if ((status(s) & SlotTable::lookaside) && !finishRewrite(s, lookasides)) return false;
        }
        for (std::uint32_t s = 0; s < numSlots; ++s) {
            const std::uint32_t st = status(s);
            if (reached_[s] || !(st & (SlotTable::occupied | SlotTable::lookaside))) continue;
            HOARD_CRASH_POINT("recover.free");
            // No link reaches the slot. Pairs with getValue's status re-read and the version
            // anchor's status load: a reader still on the slot (it followed a link before the
            // unlink) sees the status change and retries.
            Mem::Atomics::storeRelease(
                slots_.slots()[s].head.status,
                (st & ~(SlotTable::occupied | SlotTable::lookaside)) + SlotTable::writeStep);
            touched_.push_back(s);
            repaired("slot " + std::to_string(s) + " reached by no link: freed (status 0x" +
                     hex(st) + ")");
        }
        rebuildFreeList(header, numSlots, reachable);
        if constexpr (hasQueue) republish(numSlots, pending, interrupted && pending == 0);
        // The interrupted operation may have been a shrink that moved records and died before
        // publishing the smaller count (recovery keeps the count), and a reader's scan may have
        // handed out a record both before and after its move. The same count under a new
        // version, stored after every repair and before the flag is cleared, pairs with the
        // scan's re-checks of the (version, numSlots) word: a scan still running learns that what
        // it handed out may repeat, and one that ended before saw the flag still set.
        const Mem::VerU32 now = header->numSlots();
        Mem::VerU32::store(header->numSlotsPair, Mem::VerU32{now.version + 1, now.value});
        flagIs(false);
        return true;
    }

    // Walks bucket b's run under `numBuckets` buckets, marking each slot it reaches, and ends it
    // at its own marker where it runs into another bucket's records or ends at another marker.
    bool walkRun(std::uint32_t b, std::uint32_t numBuckets, std::uint32_t numSlots) {
        std::uint64_t* link = &buckets_.entry(b);
        const std::uint32_t own = BucketTable::endMarker(b, numBuckets);
        for (;;) {
            const SlotLink l = SlotLink::load(*link);
            if (!SlotLink::isSlot(l.next)) {
                if (l.next != own) cut(link, l, own, b, "ends at marker 0x" + hex(l.next));
                return true;
            }
            if (l.next >= numSlots) {
                return fail("bucket " + std::to_string(b) + " reaches slot " +
                            std::to_string(l.next) + " beyond numSlots " +
                            std::to_string(numSlots));
            }
            Slot& slot = slots_.slots()[l.next];
            if (!(status(l.next) & SlotTable::occupied)) {
                return fail("bucket " + std::to_string(b) + " reaches free slot " +
                            std::to_string(l.next));
            }
            // A slot mid-rewrite keeps its key: a rewrite stores the same key's record.
            const std::uint32_t bucket = index_.hash(Ops::key(slot.value)) & (numBuckets - 1);
            if (bucket != b) {
                cut(link, l, own, b,
                    "reaches slot " + std::to_string(l.next) + " of bucket " +
                        std::to_string(bucket));
                return true;
            }
            // Every step marks a new slot: the walk ends within numSlots steps.
            if (reached_[l.next]) {
                return fail("slot " + std::to_string(l.next) + " reached twice (bucket " +
                            std::to_string(b) + ")");
            }
            reached_[l.next] = 1;
            link = &slot.head.link;
        }
    }

    void cut(std::uint64_t* link, SlotLink l, std::uint32_t own, std::uint32_t b,
             const std::string& what) {
        HOARD_CRASH_POINT("recover.cut");
        // The step a bucket grow makes after publishing the count: pairs with the readers' seq
        // re-check of the link they followed (a reader past this link restarts or reads records
        // that are still valid ones).
        SlotLink::store(*link, SlotLink{l.seq + SlotLink::seqStep, own});
        repaired("bucket " + std::to_string(b) + "'s run " + what + ": ended at its own marker");
    }

    // Completes the rewrite of reachable slot s from the lookaside slot, as the live writer
    // would: only when s is the one slot carrying LOOKASIDE and the copy is of its own record.
    bool finishRewrite(std::uint32_t s, std::uint32_t lookasides) {
        Slot& slot = slots_.slots()[s];
        const Slot& copy = slots_.lookasideSlot();
        const std::uint32_t st = status(s);
        if (lookasides != 1) {
            return fail("slot " + std::to_string(s) + " mid-rewrite while " +
                        std::to_string(lookasides) + " slots carry LOOKASIDE");
        }
        if (Mem::Atomics::loadAcquire(copy.head.rhash) !=
                Mem::Atomics::loadAcquire(slot.head.rhash) ||
            !Ops::equal(Ops::key(copy.value), Ops::key(slot.value))) {
            return fail("slot " + std::to_string(s) +
                        " mid-rewrite, but the lookaside slot holds another record");
        }
        // Readers copy the lookaside slot while LOOKASIDE is set; the value's bytes follow
        // storeSlotValue's release fence, and clearing LOOKASIDE after them pairs with getValue's
        // acquire load of the status (as in the live writer's publishValue).
        HOARD_CRASH_POINT("recover.finish");
        storeSlotValue(slot, loadSlotValue(copy));
        Mem::Atomics::storeRelease(slot.head.status, (st + 2) | SlotTable::occupied);
        touched_.push_back(s);
        repaired("slot " + std::to_string(s) + " mid-rewrite: finished from the lookaside slot");
        return true;
    }

    // The free list holds every slot no link reaches, in ascending order; occupiedSlots counts
    // the others.
    void rebuildFreeList(SlotTable::Header* header, std::uint32_t numSlots,
                         std::uint32_t reachable) {
        std::uint32_t head = SlotLink::endOfList;
        std::uint32_t relinked = 0;
        for (std::uint32_t s = numSlots; s-- > 0;) {
            if (reached_[s]) continue;
            auto& link = slots_.slots()[s].head.link;
            const SlotLink l = SlotLink::load(link);
            if (l.next != head) {
                HOARD_CRASH_POINT("recover.freeList");
                // A free slot is on no run: no reader follows this link (a reader still on a
                // freed record sees its seq change at its re-check).
                SlotLink::store(link, SlotLink{l.seq + SlotLink::seqStep, head});
                ++relinked;
            }
            head = s;
        }
        const std::uint32_t oldHead = Mem::Atomics::loadAcquire(header->freeSlots);
        if (relinked != 0 || oldHead != head) {
            // Pairs with the numSlots re-read of SlotReaderTable::snapshot: the head is below the
            // published count.
            Mem::Atomics::storeRelease(header->freeSlots, head);
            repaired("free list rebuilt: " + std::to_string(numSlots - reachable) +
                     " slots, head " + std::to_string(head) + " (was " + std::to_string(oldHead) +
                     "), " + std::to_string(relinked) + " links rewritten");
        }
        const std::uint32_t counted = Mem::Atomics::loadAcquire(header->occupiedSlots);
        if (counted != reachable) {
            // A statistic for readers (members()), never above numSlots.
            Mem::Atomics::storeRelease(header->occupiedSlots, reachable);
            repaired("occupiedSlots " + std::to_string(counted) + " corrected to " +
                     std::to_string(reachable));
        }
    }

    // Tables with a queue: followers learn about every slot recovery changed, the slots of the
    // interrupted operation (its pending word), and every slot whose recorded notification is
    // missing or not a live one of that slot. Without a pending word (`unknown`: a writer that
    // kept none died inside an operation) the queue starts afresh in a new epoch, so followers
    // resynchronise, and every record is notified. The word is cleared last.
    void republish(std::uint32_t numSlots, std::uint64_t pending, bool unknown) {
        using Pending = ::Herald::HeraldView::Pending;
        if (unknown) {
            herald_.renew();
            herald_.slotCapacityIs(numSlots);
            std::uint32_t notified = 0;
            for (std::uint32_t s = 0; s < numSlots; ++s) {
                if (!reached_[s]) continue;
                herald_.notify(s);
                ++notified;
            }
            repaired("notification queue: no pending word, renewed in a new epoch and " +
                     std::to_string(notified) + " records notified");
            herald_.pendingIs(Pending::kept);
            return;
        }
        if (herald_.shrinkInProgress()) {
            herald_.markShrinkEnd();
            repaired("notification queue: unfinished shrink record ended");
        }
        std::vector<std::uint32_t> stale;
        if (Pending::isValid(pending)) {
            if (Pending::slot(pending) < numSlots) stale.push_back(Pending::slot(pending));
            if (Pending::op(pending) == Pending::move && Pending::second(pending) < numSlots) {
                stale.push_back(Pending::second(pending));
            }
            repaired("notification queue: pending operation " +
                     std::to_string(Pending::op(pending)) + " on slot " +
                     std::to_string(Pending::slot(pending)) + " published again");
        }
        {
            const auto view = herald_.view();
            const auto head = view.sequence();
            for (std::uint32_t s = 0; s < numSlots; ++s) {
                const auto p = view.slotPosition(s);
                bool bad = p > head || (reached_[s] && p == 0);
                if (!bad && p != 0 && view.inWindow(p)) {
                    const auto e = view.entryAt(p);
                    bad = !e || e->slot != s || e->superseded || (reached_[s] && e->tombstone);
                }
                if (bad) stale.push_back(s);
            }
        }
        std::vector<std::uint32_t> all = touched_;
        all.insert(all.end(), stale.begin(), stale.end());
        std::sort(all.begin(), all.end());
        all.erase(std::unique(all.begin(), all.end()), all.end());
        for (const std::uint32_t s : all) {
            HOARD_CRASH_POINT("recover.notify");
            herald_.notify(s);
        }
        if (!all.empty()) {
            repaired("notification queue: " + std::to_string(all.size()) + " slots notified again");
        }
        if (pending != Pending::kept) herald_.pendingIs(Pending::kept);
    }

    std::uint32_t status(std::uint32_t s) const {
        return Mem::Atomics::loadAcquire(slots_.slots()[s].head.status);
    }

    // The same stores the live writer makes: the set is relaxed; the clear is a release store,
    // as the writer's: pairs with the acquire load of runtimeFlags
    // at the end of a reader's scan, which then also sees the count word stored before it.
    void flagIs(bool on) {
        auto& flags = slots_.header()->runtimeFlags;
        const std::uint16_t old = Mem::Atomics::loadRelaxed(flags);
        Mem::Atomics::storeRelease(
            flags, static_cast<std::uint16_t>(on ? old | SlotTable::writeInProgress
                                                 : old & ~SlotTable::writeInProgress));
    }

    static std::string hex(std::uint32_t v) {
        std::ostringstream os;
        os << std::hex << v;
        return os.str();
    }

    void repaired(const std::string& what) {
        repairs_.push_back(what);
        ++counters_.repairs;
        BASALT_TRACE(debug_, 1, "Recovery " << name_ << ": " << what);
    }

    bool fail(const std::string& why) {
        error_ = "Recovery " + name_ + ": " + why;
        BASALT_TRACE(debug_, 0, error_);
        return false;
    }

    std::shared_ptr<Basalt::Platform::DebugHandler> debug_;
    std::string name_;
    Slots& slots_;
    BucketWriterTable& buckets_;
    WriterHashMap<Ops>& index_;
    Queue& herald_;
    Writer::Counters& counters_;
    std::vector<std::uint8_t> reached_;   // per slot: a link of the index reaches it
    std::vector<std::uint32_t> touched_;  // slots whose status recovery changed
    std::vector<std::string> repairs_;
    std::string error_;
};

}  // namespace Hoard
