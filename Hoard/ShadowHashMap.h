#pragma once

// The hash index of a shadow: a process-local copy of a shared table whose slot i mirrors shared
// slot i. The index links the shadow's own slots into bucket chains; bucket b holds the keys whose
// rhash (the 32-bit hash bit-reversed) has b as its top bucketFactor bits, and each chain is
// sorted by (rhash, key) as the shared table's list is. So walking buckets 0, 1, ... visits the
// keys in the shared table's iteration order.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <ostream>
#include <sstream>
#include <string>

#include "contracts/Basalt/DebugHandler.h"
#include "contracts/Basalt/Exception.h"
#include "contracts/Basalt/Util.h"
#include "contracts/HoardBase/Hash.h"
#include "contracts/HoardBase/SlotCounters.h"
#include "contracts/Mem/Local.h"

namespace Hoard {

// The links of a slot in its bucket chain. `next`: the next slot of the chain (null at its end).
// `prevLink`: the word that points at this slot, the bucket word or the previous slot's `next`
// (null while the slot is not indexed). Both null: the slot is not in the index.
struct ShadowLinks {
    ShadowLinks* next;
    ShadowLinks** prevLink;
};

// A shadow slot holding a value: links, the key's rhash, then the value at byte 24. A slot whose
// first two words are zero is empty. Trivially copyable, so a slot region may be moved bytewise
// (then ShadowHashMap::patch() rebases the links).
template <class V, class K>
struct ValueShadowSlot {
    using Key = K;
    using Value = V;

    ShadowLinks links;
    std::uint32_t rhash;
    std::uint32_t padding;
    V stored;

    const K& key() const {
        static_assert(offsetof(ValueShadowSlot, stored) == 24,
                      "the value follows a 24-byte header");
        return KeyOps<K, V, false>::key(stored);
    }
    const V& value() const { return stored; }
    V& value() { return stored; }
};

// A shadow slot holding only a key: links, the key's rhash, then the key at byte 20 (keys of
// 4-byte alignment).
template <class K>
struct KeyShadowSlot {
    using Key = K;

    ShadowLinks links;
    std::uint32_t rhash;
    K stored;

    const K& key() const {
        static_assert(offsetof(KeyShadowSlot, stored) == 20, "the key follows a 20-byte header");
        return stored;
    }
};

// The index over a shadow's slots (see the top of this file). Owns the bucket region, a
// Mem::Local of numBuckets() slot pointers (null: an empty bucket); the slots belong to the owner
// of the shadow, and the occupancy and statistics to the SlotCounters it hands over.
//
// The slot index of a slot pointer is its distance from `*slotBase`: the owner keeps its current
// slot-region base in that variable, and after moving the region it updates the variable and calls
// patch() with the distance moved.
//
// Guarantees: every indexed key is found through its bucket; each chain is sorted by (rhash, key)
// and chains follow each other in key order, so first()/next() visit the shared table's order;
// the bucket count doubles when the entries exceed numBuckets << loadShift and halves when they
// fall to a quarter of it (never below 2 buckets); a failed resize of the bucket region throws
// Basalt::MemoryResourceException and leaves a consistent index with the old bucket count. Every
// chain walk is bounded by the entry count, so a damaged chain raises Basalt::AssertException
// instead of looping.
//
// Thread safety: process-local; one thread (the shadow's owner) uses an instance.
template <class K, class Slot, class Ops>
class ShadowHashMap {
  public:
    // `ops` hashes with the table's seed and must outlive the index; `counters` too. `name`
    // names the bucket region in messages; `useHeap` backs it by the heap instead of an
    // anonymous mapping.
    ShadowHashMap(std::shared_ptr<Basalt::Platform::DebugHandler> debug, SlotCounters& counters,
                  const std::string& name, bool useHeap, Slot* const* slotBase, const Ops& ops)
        : debug_(std::move(debug)),
          counters_(counters),
          buckets_(debug_, name),
          name_(name),
          slotBase_(slotBase),
          ops_(ops) {
        buckets_.useHeapIs(useHeap);
    }
    ShadowHashMap(const ShadowHashMap&) = delete;
    ShadowHashMap& operator=(const ShadowHashMap&) = delete;

    // Two empty buckets and no entries; false (traced) when the bucket region cannot be had.
    bool initialize();
    // Indexes `slot` (number `slotIndex`) under the key it now holds; true when the value differs
    // from the one it replaces (a new key, or a key that moved here from another slot with
    // another value). A slot indexed under another key must be removed before its key changes.
    // `flag` is reserved. When the growth a new entry calls for fails, the entry stays indexed
    // and Basalt::MemoryResourceException reports the failed growth.
    bool write(std::uint32_t slotIndex, Slot& slot, bool flag);
    // Takes `slot` out of the index; false when it was not in it. When the shrink the removal
    // calls for fails, the slot stays removed and Basalt::MemoryResourceException reports it.
    bool remove(std::uint32_t slotIndex, Slot& slot);
    Slot* find(const K& key) const;
    // The first slot in key order, or null.
    Slot* first() const;
    // The slot after `key` in key order, or null. `hintSlot` (may be null) is followed when it
    // is still indexed under `key`; otherwise the key's bucket is searched.
    Slot* next(const K& key, Slot* hintSlot);
    // The slot region moved by `offset` bytes (the bucket region did not): rebases every link.
    void patch(std::ptrdiff_t offset);

    std::uint32_t numBuckets() const { return numBuckets_; }
    std::uint32_t bucketFactor() const { return bucketFactor_; }
    std::uint32_t loadShift() const { return loadShift_; }
    std::uint32_t entries() const { return counters_.entries(); }

  private:
    using Link = ShadowLinks*;

    // Streams a key by operator<< when it has one, else by its value text.
    struct KeyText {
        const K& key;
        friend std::ostream& operator<<(std::ostream& os, const KeyText& t) {
            if constexpr (requires { os << t.key; }) {
                return os << t.key;
            } else {
                return os << valueToStrep(t.key);
            }
        }
    };

    static Slot* slotOf(Link l) { return reinterpret_cast<Slot*>(l); }
    static Link linkOf(Slot& s) { return &s.links; }
    std::uint32_t indexOf(const void* p) const {
        return p ? static_cast<std::uint32_t>(static_cast<const Slot*>(p) - *slotBase_) : 0;
    }
    Link* bucketWords() const { return static_cast<Link*>(buckets_.base()); }
    std::uint32_t rhashOf(const K& key) const { return Basalt::Util::reverse(ops_.hash(key)); }
    static std::uint32_t bucketOf(std::uint32_t rhash, std::uint32_t factor) {
        return rhash >> (32 - factor);
    }
    // (rhash, key) order: negative when (rh, key) sorts before the slot's key.
    static int compare(std::uint32_t rh, const K& key, const Slot& slot) {
        if (rh != slot.rhash) return rh < slot.rhash ? -1 : 1;
        if (Ops::equal(key, slot.key())) return 0;
        return Ops::less(key, slot.key()) ? -1 : 1;
    }
    // A chain step: asserts that a walk has not taken more steps than there are entries.
    void step(std::uint64_t& steps) const { BASALT_ASSERT(++steps <= counters_.entries()); }
    const char* regionKind() const { return buckets_.useHeap() ? "heap" : "anonymous memory"; }
    // The head of the first non-empty bucket at or after `bucket`, or null.
    Slot* firstFrom(std::uint32_t bucket) const;
    // Splits each of the lower numBuckets_ chains of the bucket words in place into two (the
    // words must hold 2 * numBuckets_ entries) and doubles the count.
    void split();
    // Joins chains 2k and 2k + 1 into chain k for every k and halves the count.
    void merge();
    void grow();
    void shrink();

    std::shared_ptr<Basalt::Platform::DebugHandler> debug_;
    SlotCounters& counters_;
    std::uint32_t loadShift_ = 0;     // grows above numBuckets << loadShift entries
    std::uint32_t bucketFactor_ = 1;  // log2 of numBuckets_
    std::uint32_t numBuckets_ = 2;
    Mem::Local buckets_;
    std::string name_;
    Slot* const* slotBase_;
    const Ops& ops_;
};

template <class K, class Slot, class Ops>
bool ShadowHashMap<K, Slot, Ops>::initialize() {
    numBuckets_ = 2;
    bucketFactor_ = 1;
    BASALT_TRACE(debug_, 5, "size:" << numBuckets_ << " elements");
    void* base = nullptr;
    if (numBuckets_ <= std::numeric_limits<std::size_t>::max() / sizeof(Link)) {
        base = buckets_.attach(std::size_t{numBuckets_} * sizeof(Link));
    }
    if (!base) {
        BASALT_TRACE(debug_, 0, "ShadowHashMap::initialize() bucketsMem_.attachAs() failed");
        return false;
    }
    std::memset(base, 0, std::size_t{numBuckets_} * sizeof(Link));
    counters_.clearOccupancy();
    return true;
}

template <class K, class Slot, class Ops>
bool ShadowHashMap<K, Slot, Ops>::write(std::uint32_t slotIndex, Slot& slot, bool flag) {
    (void)flag;
    const K& key = slot.key();
    const std::uint32_t rh = rhashOf(key);
    slot.rhash = rh;
    const std::uint32_t b = bucketOf(rh, bucketFactor_);
    ++counters_.writes;
    BASALT_TRACE(debug_, 8,
                 "ShadowHashMap::write() slotIndex:" << slotIndex << " key:" << KeyText{key});
    Link* prev = &bucketWords()[b];
    Link self = linkOf(slot);
    if (!*prev) {
        self->next = nullptr;
        self->prevLink = prev;
        *prev = self;
        BASALT_TRACE(debug_, 8, "ShadowHashMap::write() value inserted in fresh bucket");
    } else {
        std::uint64_t steps = 0;
        Link cur = *prev;
        while (cur && compare(rh, key, *slotOf(cur)) > 0) {
            step(steps);
            prev = &cur->next;
            cur = cur->next;
        }
        if (!cur) {
            self->next = nullptr;
            self->prevLink = prev;
            *prev = self;
            BASALT_TRACE(debug_, 8, "ShadowHashMap::write() add slot to end of chain");
        } else if (cur == self) {
            BASALT_TRACE(debug_, 8, "ShadowHashMap::write() no index update needed");
            return false;
        } else if (compare(rh, key, *slotOf(cur)) == 0) {
            // The key moved here from another slot: this slot takes the old one's place.
            Slot& old = *slotOf(cur);
            self->next = cur->next;
            self->prevLink = cur->prevLink;
            *prev = self;
            if (self->next) self->next->prevLink = &self->next;
            cur->next = nullptr;
            cur->prevLink = nullptr;
            ++counters_.moves;
            counters_.moved(indexOf(&old), slotIndex);
            BASALT_TRACE(debug_, 8, "ShadowHashMap::write() value updated");
            if constexpr (requires { slot.value() == old.value(); }) {
                return !(slot.value() == old.value());
            } else {
                return false;
            }
        } else {
            self->next = cur;
            self->prevLink = prev;
            *prev = self;
            cur->prevLink = &self->next;
            BASALT_TRACE(debug_, 8, "ShadowHashMap::write() value inserted");
        }
    }
    counters_.occupiedIs(slotIndex, true);
    if (std::uint64_t{counters_.entries()} > (std::uint64_t{numBuckets_} << loadShift_) &&
        bucketFactor_ < 31) {
        grow();
    }
    return true;
}

template <class K, class Slot, class Ops>
void ShadowHashMap<K, Slot, Ops>::split() {
    Link* words = bucketWords();
    const std::uint32_t factor = bucketFactor_ + 1;
    for (std::uint32_t i = numBuckets_; i-- > 0;) {
        Link head = words[i];
        words[i] = nullptr;
        Link* prev = &words[2 * i];
        Link cur = head;
        std::uint64_t steps = 0;
        while (cur && bucketOf(slotOf(cur)->rhash, factor) == 2 * i) {
            step(steps);
            prev = &cur->next;
            cur = cur->next;
        }
        words[2 * i] = head == cur ? nullptr : head;
        if (words[2 * i]) head->prevLink = &words[2 * i];
        words[2 * i + 1] = cur;
        if (cur) {
            BASALT_TRACE(debug_, 8,
                         "ShadowHashMap::grow() splitting bucket " << i << " to buckets " << 2 * i
                                                                   << " and " << 2 * i + 1);
            *prev = nullptr;
            cur->prevLink = &words[2 * i + 1];
        }
    }
    numBuckets_ *= 2;
    bucketFactor_ = factor;
}

template <class K, class Slot, class Ops>
void ShadowHashMap<K, Slot, Ops>::merge() {
    Link* words = bucketWords();
    const std::uint32_t half = numBuckets_ / 2;
    for (std::uint32_t k = 0; k < half; ++k) {
        Link low = words[2 * k];
        Link high = words[2 * k + 1];
        words[2 * k] = nullptr;
        words[2 * k + 1] = nullptr;
        Link* tail = &words[k];
        *tail = low;
        if (low) low->prevLink = &words[k];
        std::uint64_t steps = 0;
        for (Link cur = low; cur; cur = cur->next) {
            step(steps);
            tail = &cur->next;
        }
        *tail = high;
        if (high) high->prevLink = tail;
    }
    numBuckets_ = half;
    bucketFactor_ -= 1;
}

template <class K, class Slot, class Ops>
void ShadowHashMap<K, Slot, Ops>::grow() {
    const std::uint32_t n = numBuckets_;
    const std::uint32_t grown = 2 * n;
    BASALT_TRACE(debug_, 2, "ShadowHashMap::grow() buckets growing from:" << n << " to:" << grown);
    const void* oldBase = buckets_.base();
    void* base = buckets_.resize(std::size_t{grown} * sizeof(Link));
    if (!base) {
        std::ostringstream os;
        os << "ShadowHashMap::grow() failed to resize " << regionKind() << " from " << n << " to "
           << grown << " buckets : " << name_;
        Basalt::MemoryResourceException::throwException(os.str());
    }
    std::memset(static_cast<Link*>(base) + n, 0, std::size_t{n} * sizeof(Link));
    if (base != oldBase) {
        BASALT_TRACE(debug_, 2,
                     "ShadowHashMap::grow() base address moved from " << oldBase << " to " << base);
    }
    // split() points every chain head at its (new) bucket word.
    split();
    ++counters_.bucketGrows;
}

// The chains are joined first, in place, and the region shrunk after: shrinking the region
// first would drop the upper chains. When the shrink fails the joined chains are split again, so
// the index is exactly as before (numBuckets_ unchanged) when the exception leaves.
template <class K, class Slot, class Ops>
void ShadowHashMap<K, Slot, Ops>::shrink() {
    const std::uint32_t n = numBuckets_;
    const void* oldBase = buckets_.base();
    merge();
    void* base = buckets_.resize(std::size_t{n / 2} * sizeof(Link));
    if (!base) {
        split();
        std::ostringstream os;
        os << "ShadowHashMap::shrink() failed to resize " << regionKind() << " from " << n << " to "
           << n / 2 << " buckets : " << name_;
        Basalt::MemoryResourceException::throwException(os.str());
    }
    ++counters_.bucketShrinks;
    BASALT_TRACE(debug_, 2,
                 "ShadowHashMap::shrink() shrunk to numBuckets_:"
                     << numBuckets_ << " bucketFactor_:" << bucketFactor_);
    if (base != oldBase) {
        BASALT_TRACE(
            debug_, 2,
            "ShadowHashMap::shrink() base address moved from " << oldBase << " to " << base);
        Link* words = bucketWords();
        for (std::uint32_t b = 0; b < numBuckets_; ++b) {
            if (words[b]) words[b]->prevLink = &words[b];
        }
    }
}

template <class K, class Slot, class Ops>
bool ShadowHashMap<K, Slot, Ops>::remove(std::uint32_t slotIndex, Slot& slot) {
    Link self = linkOf(slot);
    if (!self->prevLink) {
        BASALT_TRACE(debug_, 9, "ShadowHashMap::remove() dead slot " << slotIndex);
        return false;
    }
    if (debug_ && debug_->enabled(8)) {
        // The previous slot's index; 0 when the bucket word points at this slot.
        const auto* words = reinterpret_cast<const char*>(bucketWords());
        const auto* p = reinterpret_cast<const char*>(self->prevLink);
        const bool fromBucket = p >= words && p < words + buckets_.size();
        BASALT_TRACE(debug_, 8,
                     "ShadowHashMap::remove() slot:"
                         << slotIndex << " prev->next:" << (fromBucket ? 0 : indexOf(p))
                         << " next:" << indexOf(self->next) << " occupied:" << entries()
                         << " key:" << KeyText{slot.key()});
    }
    *self->prevLink = self->next;
    if (self->next) self->next->prevLink = self->prevLink;
    self->next = nullptr;
    self->prevLink = nullptr;
    counters_.occupiedIs(slotIndex, false);
    if (std::uint64_t{counters_.entries()} <= (std::uint64_t{numBuckets_} << loadShift_) / 4 &&
        bucketFactor_ >= 2) {
        shrink();
    }
    return true;
}

template <class K, class Slot, class Ops>
Slot* ShadowHashMap<K, Slot, Ops>::find(const K& key) const {
    const std::uint32_t rh = rhashOf(key);
    std::uint64_t steps = 0;
    for (Link cur = bucketWords()[bucketOf(rh, bucketFactor_)]; cur; cur = cur->next) {
        step(steps);
        const int order = compare(rh, key, *slotOf(cur));
        if (order == 0) return slotOf(cur);
        if (order < 0) return nullptr;
    }
    return nullptr;
}

template <class K, class Slot, class Ops>
Slot* ShadowHashMap<K, Slot, Ops>::firstFrom(std::uint32_t bucket) const {
    const Link* words = bucketWords();
    for (std::uint32_t b = bucket; b < numBuckets_; ++b) {
        if (words[b]) return slotOf(words[b]);
    }
    return nullptr;
}

template <class K, class Slot, class Ops>
Slot* ShadowHashMap<K, Slot, Ops>::first() const {
    return firstFrom(0);
}

template <class K, class Slot, class Ops>
Slot* ShadowHashMap<K, Slot, Ops>::next(const K& key, Slot* hintSlot) {
    if (hintSlot && hintSlot->links.prevLink && Ops::equal(hintSlot->key(), key)) {
        if (hintSlot->links.next) return slotOf(hintSlot->links.next);
        return firstFrom(bucketOf(hintSlot->rhash, bucketFactor_) + 1);
    }
    ++counters_.slowPaths;
    const std::uint32_t rh = rhashOf(key);
    const std::uint32_t b = bucketOf(rh, bucketFactor_);
    std::uint64_t steps = 0;
    for (Link cur = bucketWords()[b]; cur; cur = cur->next) {
        step(steps);
        if (compare(rh, key, *slotOf(cur)) < 0) return slotOf(cur);
    }
    return firstFrom(b + 1);
}

template <class K, class Slot, class Ops>
void ShadowHashMap<K, Slot, Ops>::patch(std::ptrdiff_t offset) {
    BASALT_TRACE(debug_, 5, "ShadowHashMap::patch() address offset is " << offset);
    auto moved = [offset](auto* p) {
        return reinterpret_cast<decltype(p)>(reinterpret_cast<char*>(p) + offset);
    };
    Link* words = bucketWords();
    for (std::uint32_t b = 0; b < numBuckets_; ++b) {
        if (!words[b]) continue;
        BASALT_TRACE(debug_, 9, "ShadowHashMap::patch() Patching slots in bucket " << b);
        words[b] = moved(words[b]);
        std::uint64_t steps = 0;
        for (Link cur = words[b]; cur; cur = cur->next) {
            step(steps);
            if (cur != words[b]) cur->prevLink = moved(cur->prevLink);
            if (cur->next) cur->next = moved(cur->next);
        }
    }
    ++counters_.patches;
}

}  // namespace Hoard
