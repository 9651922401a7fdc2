#pragma once

// The writer's index over the slot file: a split-ordered list. All records form one list sorted
// by (rhash, key), rhash being the key's hash bit-reversed; bucket b's entry in the bucket file
// points at the start of its run, and runs follow each other in bit-reversed bucket order. The
// bucket count doubles when the table holds more records than buckets and (when enabled) halves
// when it holds fewer than a quarter.
//
// Thread safety: only the writer thread changes the index. Reader processes walk the same list
// concurrently, so every change is one 64-bit link store of (seq + 4, next): a grow publishes the
// new count only after every new bucket entry points into the existing runs and cuts the old runs
// only afterwards; a shrink joins runs before publishing the smaller count. Every walk is bounded
// by the slot capacity (a longer walk is a cycle) and every index is range-checked, so damaged
// files raise Basalt::CorruptionDetectedException instead of looping or faulting.

#include <cstdint>
#include <cstring>
#include <sstream>
#include <string>

#include "Hoard/CrashPoint.h"
#include "Hoard/SlotWriter.h"
#include "contracts/Basalt/Exception.h"
#include "contracts/Basalt/Util.h"
#include "contracts/HoardBase/BucketTable.h"
#include "contracts/HoardBase/Hash.h"
#include "contracts/HoardBase/IterHint.h"

namespace Hoard {

template <class Ops>
class WriterHashMap {
  public:
    using K = typename Ops::Key;
    using V = typename Ops::Value;
    using Slots = SlotWriterTable<V>;

    WriterHashMap(std::shared_ptr<Basalt::Platform::DebugHandler> debug, Slots& slots,
                  BucketWriterTable& buckets, Ops& ops, Writer::Counters& counters,
                  bool shrinkBuckets)
        : debug_(std::move(debug)),
          slots_(slots),
          buckets_(buckets),
          ops_(ops),
          counters_(counters),
          shrinkBuckets_(shrinkBuckets) {}

    // Reloads the thresholds from the bucket count (after the bucket file was attached).
    void attach() {
        growThreshold_ = numBuckets();
        shrinkThreshold_ = numBuckets() / 4;
    }

    std::uint32_t numBuckets() const { return buckets_.count(); }
    std::uint32_t growThreshold() const { return growThreshold_; }
    std::uint32_t shrinkThreshold() const { return shrinkThreshold_; }
    std::uint32_t bucketOf(std::uint32_t hash) const { return hash & (numBuckets() - 1); }
    std::uint32_t hash(const K& key) const { return ops_.hash(key); }

    // While set, iteration also checks each returned slot's rhash and marks it.
    void validatorIs(ValidatorHook* validator) { validator_ = validator; }

    // The status word and its byte offset in the slot file, recorded by the last successful
    // lookup or iteration step; offset 0xFFFFFFFE when none.
    struct Anchor {
        std::uint32_t status = 0;
        std::uint32_t offset = 0xFFFFFFFEu;
    };
    const Anchor& anchor() const { return anchor_; }
    void clearAnchor() { anchor_ = Anchor{}; }

    // Searches bucket `bucket` for `key` (whose hash is `hash`). `prev` receives the link whose
    // next leads to the key's slot or to the insertion point; `curr` the last slot examined
    // (0xFFFFFFFF when none).
    bool find(const K& key, std::uint32_t bucket, std::uint64_t*& prev, std::uint32_t& curr,
              std::uint32_t hash) {
        return walk("WriterHashMap::find()", key, bucket, prev, curr, hash);
    }

    // The stored value of `key`, or null with found = false. A hit records the version anchor.
    const V* lookup(const K& key, bool& found) { return lookupHashed(key, hash(key), found); }
    // lookup() of a key whose hash `h` the caller computed.
    const V* lookupHashed(const K& key, std::uint32_t h, bool& found) {
        std::uint64_t* prev = nullptr;
        std::uint32_t curr = SlotLink::endOfList;
        found = walk("WriterHashMap::lookup()", key, bucketOf(h), prev, curr, h);
        if (!found) return nullptr;
        auto& slot = slots_.slots()[curr];
        recordAnchor(curr, slot);
        return &slot.value;
    }

    // Hints the cache about the record of hash `h` ahead of its lookup or write: its bucket word
    // (first stage), then the first slot of its run, read from that word (second stage;
    // `forWrite` for an overwrite to come). Prefetches change nothing; a remap or a bucket grow
    // in between only makes the hint useless, and a slot index outside the mapping is not
    // followed.
    void prefetchBucket(std::uint32_t h) { __builtin_prefetch(&buckets_.entry(bucketOf(h))); }
    template <bool forWrite = false>
    void prefetchRun(std::uint32_t h) {
        const std::uint32_t s = SlotLink::load(buckets_.entry(bucketOf(h))).next;
        if (SlotLink::isSlot(s) && s < slots_.capacity()) prefetchSlot<forWrite>(slots_.slots()[s]);
    }
    // Both stages for `count` lookups to come: all the bucket words, then the runs' first slots.
    void prefetch(const std::uint32_t* hashes, std::size_t count) {
        if (numBuckets() == 0) return;
        for (std::size_t i = 0; i < count; ++i) prefetchBucket(hashes[i]);
        for (std::size_t i = 0; i < count; ++i) prefetchRun(hashes[i]);
    }

    // The first record at or after `bucket` in bucket order.
    bool first(std::uint32_t bucket, V& out, IterHint& hint);
    // The record following `key` in list order.
    bool next(const K& key, V& out, IterHint& hint);

    void growBuckets();
    void shrinkBuckets();
    // Raises corruption unless `next` follows `bucket` in bit-reversed order.
    void verifyNextBucket(std::uint32_t bucket, std::uint32_t next) const {
        const std::uint32_t n = numBuckets();
        if (bucket >= n || next != BucketTable::nextBucket(bucket, n) || next == 0) {
            std::ostringstream os;
            os << "WriterHashMap::verifyNextBucket() has bucket: " << bucket
               << " with next bucket: " << next << " and numBuckets: " << n;
            Basalt::CorruptionDetectedException::throwException(os.str());
        }
    }

    // Called by the table writer after an insert or a removal.
    void maybeGrow() {
        if (Mem::Atomics::loadRelaxed(slots_.header()->occupiedSlots) > growThreshold_) {
            growBuckets();
        }
    }
    void maybeShrink() {
        if (shrinkBuckets_ &&
            Mem::Atomics::loadRelaxed(slots_.header()->occupiedSlots) < shrinkThreshold_) {
            shrinkBuckets();
        }
    }

  private:
    [[noreturn]] static void corrupt(const std::ostringstream& os) {
        Basalt::CorruptionDetectedException::throwException(os.str());
    }

    // (rhash, key) order: negative when (rh, key) sorts before the slot's record.
    int compare(std::uint32_t rh, const K& key, const typename Slots::Slot& slot) const {
        const std::uint32_t slotRh = slot.head.rhash;
        if (rh != slotRh) return rh < slotRh ? -1 : 1;
        const K& slotKey = Ops::key(slot.value);
        if (Ops::equal(key, slotKey)) return 0;
        return Ops::less(key, slotKey) ? -1 : 1;
    }

    void recordAnchor(std::uint32_t index, const typename Slots::Slot& slot) {
        anchor_.status = slot.head.status;
        anchor_.offset =
            static_cast<std::uint32_t>(reinterpret_cast<const char*>(&slot.head.status) -
                                       reinterpret_cast<const char*>(slots_.header()));
        (void)index;
    }

    // The slot `index` reached from a run of bucket `bucket`: occupied, hashing to the bucket,
    // and (under validation) with the right rhash. `who` names the operation in messages.
    typename Slots::Slot& checkedSlot(const char* who, std::uint32_t index, std::uint32_t bucket,
                                      bool iterating);

    // What a run walker's visitor tells the walker after seeing a slot.
    enum class RunStep { advance, stop };
    // Where a run walk ended: `link` is the last link word examined and `next` the value it
    // held. `next` is a slot index when the visitor stopped at that slot (so `link` is the slot's
    // predecessor link), otherwise the run's end marker (so `link` is the run's last link).
    struct RunEnd {
        std::uint64_t* link;
        std::uint32_t next;
    };
    // Follows the links from `link` while they name a slot and hands each slot to
    // `visit(index, slot)` until it returns RunStep::stop. Every index is range-checked by the
    // slot table, and a walk longer than the slot capacity is a cycle: corruption named `who`,
    // with the capacity in the message when `withCapacity`.
    template <class Visit>
    RunEnd walkRun(const char* who, bool withCapacity, std::uint64_t* link, Visit&& visit);
    [[noreturn]] void cycle(const char* who, bool withCapacity, std::uint32_t count) const;

    bool walk(const char* who, const K& key, std::uint32_t bucket, std::uint64_t*& prev,
              std::uint32_t& curr, std::uint32_t hash);
    bool deliver(std::uint32_t index, std::uint32_t bucket, V& out, IterHint& hint);

    std::shared_ptr<Basalt::Platform::DebugHandler> debug_;
    Slots& slots_;
    BucketWriterTable& buckets_;
    Ops& ops_;
    Writer::Counters& counters_;
    bool shrinkBuckets_;
    std::uint32_t growThreshold_ = 0;
    std::uint32_t shrinkThreshold_ = 0;
    ValidatorHook* validator_ = nullptr;
    Anchor anchor_;
};

// ---- Implementation ----------------------------------------------------------------------------

template <class Ops>
typename WriterHashMap<Ops>::Slots::Slot& WriterHashMap<Ops>::checkedSlot(const char* who,
                                                                          std::uint32_t index,
                                                                          std::uint32_t bucket,
                                                                          bool iterating) {
    auto& slot = slots_.slots()[index];
    if (!(slot.head.status & SlotTable::occupied)) {
        std::ostringstream os;
        os << who << " slot: " << index;
        if (iterating && std::strcmp(who, "WriterHashMap::first()") == 0)
            os << " from bucket: " << bucket;
        os << " not marked as occupied";
        corrupt(os);
    }
    const std::uint32_t h = hash(Ops::key(slot.value));
    if (bucketOf(h) != bucket) {
        std::ostringstream os;
        os << who << " corrupt key detected, slot: " << index;
        if (iterating && std::strcmp(who, "WriterHashMap::first()") == 0) {
            os << " when there are numBuckets: " << numBuckets();
        }
        corrupt(os);
    }
    if (iterating && validator_ != nullptr && slot.head.rhash != Basalt::Util::reverse(h)) {
        std::ostringstream os;
        os << who << " corrupt rhash detected, slot: " << index << std::hex
           << " slot.rhash:" << slot.head.rhash << " rhash:" << Basalt::Util::reverse(h);
        corrupt(os);
    }
    return slot;
}

template <class Ops>
template <class Visit>
typename WriterHashMap<Ops>::RunEnd WriterHashMap<Ops>::walkRun(const char* who, bool withCapacity,
                                                                std::uint64_t* link,
                                                                Visit&& visit) {
    const std::uint32_t capacity = slots_.capacity();
    std::uint32_t count = 0;
    for (;;) {
        const std::uint32_t next = SlotLink::load(*link).next;
        if (!SlotLink::isSlot(next)) return RunEnd{link, next};
        if (++count > capacity) cycle(who, withCapacity, count);
        auto& slot = slots_.slots()[next];
        if (visit(next, slot) == RunStep::stop) return RunEnd{link, next};
        link = &slot.head.link;
    }
}

template <class Ops>
void WriterHashMap<Ops>::cycle(const char* who, bool withCapacity, std::uint32_t count) const {
    std::ostringstream os;
    os << who << " hash chain cycle detected, slotCount:" << count;
    if (withCapacity) os << " capacity:" << slots_.capacity();
    corrupt(os);
}

template <class Ops>
bool WriterHashMap<Ops>::walk(const char* who, const K& key, std::uint32_t bucket,
                              std::uint64_t*& prev, std::uint32_t& curr, std::uint32_t hash) {
    const std::uint32_t rh = Basalt::Util::reverse(hash);
    curr = SlotLink::endOfList;
    bool found = false;
    const RunEnd end = walkRun(
        who, true, &buckets_.entry(bucket), [&](std::uint32_t index, typename Slots::Slot& slot) {
            curr = index;
            // A slot that holds the key itself needs no bucket check (the key's own hash
            // chose this bucket); every other slot on the way is checked before its
            // order is used.
            const bool occupied = slot.head.status & SlotTable::occupied;
            const int order = occupied ? compare(rh, key, slot) : 1;
            if (order != 0) checkedSlot(who, index, bucket, false);
            if (order < 0) return RunStep::stop;
            if (order == 0) {
                BASALT_TRACE(debug_, 9,
                             who << " " << key << " found curr:" << curr
                                 << " next:" << SlotLink::load(slot.head.link).next);
                found = true;
                return RunStep::stop;
            }
            BASALT_TRACE(debug_, 9, who << " " << key << " next curr:" << curr);
            return RunStep::advance;
        });
    prev = end.link;
    if (!found) {
        BASALT_TRACE(debug_, 9,
                     who << " " << key << " not found curr:" << curr << " next:" << end.next);
    }
    return found;
}

template <class Ops>
bool WriterHashMap<Ops>::deliver(std::uint32_t index, std::uint32_t bucket, V& out,
                                 IterHint& hint) {
    auto& slot = slots_.slots()[index];
    if (validator_ != nullptr) validator_->markOccupied(index);
    out = slot.value;
    hint = IterHint{slot.head.status, index, bucket};
    recordAnchor(index, slot);
    return true;
}

template <class Ops>
bool WriterHashMap<Ops>::first(std::uint32_t bucket, V& out, IterHint& hint) {
    const std::uint32_t n = numBuckets();
    std::uint32_t b = bucket;
    for (std::uint32_t hops = 0;; ++hops) {
        if (hops > n) {
            std::ostringstream os;
            os << "WriterHashMap::first() has bucket cycle detected, bucketCount: " << hops;
            corrupt(os);
        }
        const std::uint32_t next = buckets_[b].next;  // range-checked by the bucket table
        if (next == SlotLink::endOfList) {
            if (b != n - 1) {
                std::ostringstream os;
                os << "WriterHashMap::first() thinks we've reached the end "
                   << "bucket: " << b << " numBuckets: " << n;
                corrupt(os);
            }
            BASALT_TRACE(debug_, 8, "WriterHashMap::first() none found!");
            return false;
        }
        if (SlotLink::isBucketMarker(next)) {
            const std::uint32_t c = SlotLink::markerBucket(next);
            verifyNextBucket(b, c);
            b = c;
            continue;
        }
        checkedSlot("WriterHashMap::first()", next, b, true);
        return deliver(next, b, out, hint);
    }
}

template <class Ops>
bool WriterHashMap<Ops>::next(const K& key, V& out, IterHint& hint) {
    const std::uint32_t n = numBuckets();
    if (hint.slot < slots_.capacity() && hint.bucket < n) {
        try {
            auto& slot = slots_.slots()[hint.slot];
            // An equal status alone does not prove the slot still holds the caller's record: a
            // shrink releases slots and a later growth formats them again with the status
            // counter restarted. Only the caller's own record links to its successor.
            if (slot.head.status == hint.status && (slot.head.status & SlotTable::occupied) &&
                Ops::equal(Ops::key(slot.value), key)) {
                const std::uint32_t next = SlotLink::load(slot.head.link).next;
                if (SlotLink::isSlot(next)) {
                    checkedSlot("WriterHashMap::next()", next, hint.bucket, true);
                    BASALT_TRACE(debug_, 9,
                                 "WriterHashMap::next() " << next << ", saving new slot hint");
                    return deliver(next, hint.bucket, out, hint);
                }
                if (next == SlotLink::endOfList) {
                    if (hint.bucket != n - 1) {
                        std::ostringstream os;
                        os << "WriterHashMap::next() thinks we've reached "
                           << "the end of the table, but we're in bucket " << hint.bucket;
                        corrupt(os);
                    }
                    return false;
                }
                const std::uint32_t c = SlotLink::markerBucket(next);
                verifyNextBucket(hint.bucket, c);
                return first(c, out, hint);
            }
        } catch (const Basalt::CorruptionDetectedException& e) {
            BASALT_TRACE(debug_, 5,
                         "WriterHashMap::next() saw exception in fast path: "
                             << e.what()
                             << ". This might be okay, dropping to slow path to find out");
        }
    }
    // Slow path: find the first record ordered after `key` in its bucket's run.
    const std::uint32_t h = hash(key);
    const std::uint32_t rh = Basalt::Util::reverse(h);
    const std::uint32_t b = bucketOf(h);
    bool found = false;
    const std::uint32_t next =
        walkRun("WriterHashMap::next()", false, &buckets_.entry(b),
                [&](std::uint32_t index, typename Slots::Slot&) {
                    auto& slot = checkedSlot("WriterHashMap::next()", index, b, true);
                    BASALT_TRACE(debug_, 9, "WriterHashMap::next() comparing slot " << index);
                    if (compare(rh, key, slot) >= 0) return RunStep::advance;
                    found = deliver(index, b, out, hint);
                    return RunStep::stop;
                })
            .next;
    if (found) return true;
    if (next == SlotLink::endOfList) return false;
    const std::uint32_t c = SlotLink::markerBucket(next);
    verifyNextBucket(b, c);
    return first(c, out, hint);
}

template <class Ops>
void WriterHashMap<Ops>::growBuckets() {
    const std::uint32_t n = numBuckets();
    BASALT_TRACE(debug_, 2, "WriterHashMap::growBuckets() growing from: " << n << " to: " << 2 * n);
    const std::uint32_t mask2 = 2 * n - 1;
    // Pass 1, before the count is published: entry b + N points at the first record of run b
    // that belongs to b + N, or at run b's end. Run b stays whole, so readers using N buckets
    // see nothing change.
    auto pass1 = [&] {
        for (std::uint32_t b = 0; b < n; ++b) {
            const std::uint32_t next =
                walkRun("WriterHashMap::growBuckets()", true, &buckets_.entry(b),
                        [&](std::uint32_t, typename Slots::Slot& slot) {
                            return (hash(Ops::key(slot.value)) & mask2) == b + n ? RunStep::stop
                                                                                 : RunStep::advance;
                        })
                    .next;
            const SlotLink old = SlotLink::load(buckets_.entry(b + n));
            // Pairs with the readers' acquire load of the bucket entry once they use 2N buckets.
            buckets_.linkIs(b + n, SlotLink{old.seq + SlotLink::seqStep, next});
        }
    };
    HOARD_CRASH_POINT("buckets.grow");
    buckets_.resize(2 * n, pass1);
    HOARD_CRASH_POINT("buckets.grow.cut");
    // Pass 2, after publication: cut run b in front of run b + N.
    for (std::uint32_t b = 0; b < n; ++b) {
        std::uint64_t* last = walkRun("WriterHashMap::growBuckets()", true, &buckets_.entry(b),
                                      [&](std::uint32_t, typename Slots::Slot& slot) {
                                          return (hash(Ops::key(slot.value)) & mask2) != b
                                                     ? RunStep::stop
                                                     : RunStep::advance;
                                      })
                                  .link;
        const SlotLink old = SlotLink::load(*last);
        // Pairs with the readers' seq re-check of the link they followed.
        SlotLink::store(*last,
                        SlotLink{old.seq + SlotLink::seqStep, SlotLink::bucketMarker(b + n)});
    }
    growThreshold_ = 2 * n;
    shrinkThreshold_ = 2 * n / 4;
    ++counters_.bucketGrows;
}

template <class Ops>
void WriterHashMap<Ops>::shrinkBuckets() {
    const std::uint32_t n = numBuckets();
    if (n <= BucketTable::minBuckets) return;
    const std::uint32_t half = n / 2;
    // Join run b + N/2 onto run b before the smaller count is published: readers using N
    // buckets still find every record in its own run.
    auto join = [&] {
        for (std::uint32_t b = 0; b < half; ++b) {
            std::uint64_t* last =
                walkRun("WriterHashMap::shrinkBuckets()", true, &buckets_.entry(b),
                        [](std::uint32_t, typename Slots::Slot&) { return RunStep::advance; })
                    .link;
            const SlotLink old = SlotLink::load(*last);
            const std::uint32_t appended = SlotLink::load(buckets_.entry(b + half)).next;
            // Pairs with the readers' seq re-check of the link they followed.
            SlotLink::store(*last, SlotLink{old.seq + SlotLink::seqStep, appended});
        }
    };
    HOARD_CRASH_POINT("buckets.shrink");
    buckets_.resize(half, join);
    growThreshold_ = half;
    shrinkThreshold_ = half / 4;
    ++counters_.bucketShrinks;
    BASALT_TRACE(debug_, 2,
                 "WriterHashMap::shrinkBuckets() shrunk to numBuckets:"
                     << half << " shrinkBuckets_:" << shrinkBuckets_);
}

}  // namespace Hoard
