#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <sstream>
#include <string>

#include "Hoard/HoardReader.h"
#include "Hoard/ShadowHashMap.h"
#include "contracts/Basalt/DebugHandler.h"
#include "contracts/Basalt/Exception.h"
#include "contracts/Herald/HeraldReader.h"
#include "contracts/HoardBase/IterHint.h"
#include "contracts/HoardBase/SlotCounters.h"
#include "contracts/HoardBase/Syncer.h"
#include "contracts/Mem/Local.h"
#include "contracts/Mem/SharedMemWrapper.h"

namespace Hoard {

// A shadow's local copy of a shared table: shadow slot i mirrors shared slot i, in a local
// region that grows to the shared table's mapped capacity when a notification names a slot
// beyond it and shrinks when occupancy drops to a quarter, indexed by a ShadowHashMap in the
// shared table's order. With `keysOnly` (a key shadow) the slots hold keys only and values are
// read from the shared table on demand; the writer's "fenix" file is then mapped (one page,
// read-only) while the store is initialised.
//
// Every change applied reaches the owner's key callback with the key; during that call a
// lookup of that key is answered from the value being applied.
//
// Thread safety: the shadow's thread only. The shared files are only read, through the inner
// reader's consistent reads.
template <class Ops, bool keysOnly>
class ShadowStore {
  public:
    using K = typename Ops::Key;
    using V = typename Ops::Value;
    using Slot = std::conditional_t<keysOnly, KeyShadowSlot<K>, ValueShadowSlot<V, K>>;
    using Index = ShadowHashMap<K, Slot, Ops>;
    using KeyCallback = std::function<void(const K&)>;

    ShadowStore(std::shared_ptr<Basalt::Platform::DebugHandler> debug, HoardReader<Ops>& reader,
                Herald::HeraldReader<std::uint32_t>& herald, const Ops& ops,
                KeyCallback keyCallback, bool reportFlushedKeys, std::uint32_t baseCount,
                const std::string& name)
        : debug_(std::move(debug)),
          reader_(reader),
          herald_(herald),
          ops_(ops),
          counters_(baseCount),
          slotsMem_(debug_, name + "/shadowSlots"),
          index_(debug_, counters_, name + "/shadowBuckets", false, &slotBase_, ops_),
          keyCallback_(std::move(keyCallback)),
          reportFlushedKeys_(reportFlushedKeys),
          fenixMem_(debug_, reader.rootPath(), "fenix", false) {}
    ~ShadowStore() { disable(); }
    ShadowStore(const ShadowStore&) = delete;
    ShadowStore& operator=(const ShadowStore&) = delete;

    bool initialize();
    // Applies shared slot `slotIndex`; false when notification `sequence` can no longer be
    // validated. `sequence` (when given) becomes `shadowSequence`.
    bool doSlot(std::uint32_t slotIndex, std::uint64_t sequence, bool compare,
                std::uint64_t& shadowSequence);
    void doFlushSlot(std::uint32_t slotIndex);
    // Drops every local slot (shrink to 0) and, for a key shadow, the fenix mapping.
    void disable();

    const V* lookup(const K& key, bool& found, V* out);
    bool first(V& value, IterHint& hint);
    bool next(const K& key, V& value, IterHint& hint);

    std::uint32_t capacity() const { return capacity_; }
    std::uint32_t members() const { return index_.entries(); }
    bool initialized() const { return initialized_; }
    const SlotCounters& counters() const { return counters_; }
    const Index& index() const { return index_; }
    std::uint64_t callbackLookups() const { return callbackLookups_; }
    std::uint64_t valueMisses() const { return valueMisses_; }
    std::size_t shadowMappedSize() const { return slotsMem_.mappedSize(); }
    std::size_t fenixMappedSize() const { return fenixMem_.mappedSize(); }

  private:
    Slot& slotAt(std::uint32_t i) const { return slotBase_[i]; }
    static bool indexed(const Slot& s) {
        return s.links.next != nullptr || s.links.prevLink != nullptr;
    }
    void resetSlot(Slot& s) const;
    void fill(Slot& s, const V& value) const;
    // The value of an indexed slot: its copy, or (key shadow) the shared table's record.
    bool valueOf(std::uint32_t slotIndex, const Slot& s, V& out);
    bool grow(std::uint32_t slotIndex);
    void tryShrink();
    void shrink(std::uint32_t n);
    // Moves the slot region to `n` slots; the new tail is empty.
    void resizeSlots(std::uint32_t n, const char* who);
    void report(const K& key);
    // The first slot from `s` on (in index order) whose value is there, into `value` and `hint`.
    bool walkFrom(Slot* s, V& value, IterHint& hint);

    std::shared_ptr<Basalt::Platform::DebugHandler> debug_;
    HoardReader<Ops>& reader_;
    Herald::HeraldReader<std::uint32_t>& herald_;
    const Ops& ops_;
    SlotCounters counters_;
    Mem::Local slotsMem_;
    Slot* slotBase_ = nullptr;
    std::uint32_t capacity_ = 0;
    Index index_;
    KeyCallback keyCallback_;
    const bool reportFlushedKeys_;
    bool initialized_ = false;
    Mem::SharedMemWrapper fenixMem_;
    // The value being applied and the key it is under, while the owner's callback runs.
    const V* current_ = nullptr;
    const K* currentKey_ = nullptr;
    V defaultValue_{};
    V buffer_{};
    std::uint64_t callbackLookups_ = 0;
    std::uint64_t valueMisses_ = 0;
};

// The two stores by the names a reader of the shadow code looks for.
template <class Ops>
using ValueShadowStore = ShadowStore<Ops, false>;
template <class Ops>
using KeyShadowStore = ShadowStore<Ops, true>;

template <class Ops, bool keysOnly>
bool ShadowStore<Ops, keysOnly>::initialize() {
    if (initialized_) return true;
    if constexpr (keysOnly) {
        if (!fenixMem_.attach(1, Mem::SharedMemWrapper::Mode::readOnly)) {
            BASALT_TRACE(
                debug_, 0,
                "KeyShadowStore::initialize() failed to map fenix: " << fenixMem_.reason());
            return false;
        }
    }
    if (!index_.initialize()) return false;
    capacity_ = 0;
    initialized_ = true;
    return true;
}

template <class Ops, bool keysOnly>
void ShadowStore<Ops, keysOnly>::resetSlot(Slot& s) const {
    std::memset(static_cast<void*>(&s), 0, sizeof s);
    if constexpr (keysOnly) {
        s.stored = K{};
    } else {
        s.stored = defaultValue_;
    }
}

template <class Ops, bool keysOnly>
void ShadowStore<Ops, keysOnly>::fill(Slot& s, const V& value) const {
    if constexpr (keysOnly) {
        s.stored = Ops::key(value);
    } else {
        s.stored = value;
    }
}

template <class Ops, bool keysOnly>
void ShadowStore<Ops, keysOnly>::report(const K& key) {
    if (keyCallback_) keyCallback_(key);
}

template <class Ops, bool keysOnly>
bool ShadowStore<Ops, keysOnly>::doSlot(std::uint32_t slotIndex, std::uint64_t sequence,
                                        bool compare, std::uint64_t& shadowSequence) {
    if (slotIndex >= capacity_) {
        const std::uint32_t shared = reader_.sharedSlots();
        if (shared > slotIndex) {
            if (!grow(slotIndex)) {
                BASALT_TRACE(
                    debug_, 5,
                    "ShadowStore::doSlot() discarding notification for slotIndex:" << slotIndex);
                return true;
            }
        } else {
            BASALT_TRACE(debug_, 5,
                         "ShadowStore::doSlot() skip growing of shadow table to accomodate "
                         "slotIndex:"
                             << slotIndex << " because shared memory has shrunk to " << shared
                             << " slots");
            return true;
        }
    }
    V shared;
    const bool occupied = reader_.safeValue(slotIndex, shared, nullptr);
    Slot& s = slotAt(slotIndex);
    const bool held = indexed(s);
    bool updated = false;
    // Only a copy of the value shows that a slot is unchanged: a key shadow reports each key a
    // resync finds, since its value may have been rewritten while the shadow was lapped.
    if constexpr (!keysOnly) {
        if (compare && held && occupied && Ops::equal(s.key(), Ops::key(shared)) &&
            s.stored == shared) {
            BASALT_TRACE(
                debug_, 9,
                "ShadowStore::doSlot() updated: 0 compare: 1 slotIndex:" << slotIndex << " found");
            return true;
        }
    }
    if (held && occupied && !Ops::equal(s.key(), Ops::key(shared))) {
        // The slot was reused for another key. The old key leaves its chain and is reported
        // whether or not a sequence came with the change: a resync (no sequence) that left it
        // would keep a rewritten slot in the old key's chain and never report the old key.
        if (sequence != Syncer::noSequence && !herald_.validateNotif(slotIndex, sequence)) {
            BASALT_TRACE(debug_, 5,
                         "ShadowStore::doSlot() failed because sequence:"
                             << sequence << " may have been tombstoned");
            return false;
        }
        if (sequence != Syncer::noSequence) shadowSequence = sequence;
        const K old = s.key();
        index_.remove(slotIndex, s);
        report(old);
    }
    if (occupied) {
        fill(s, shared);
        index_.write(slotIndex, s, false);
        updated = true;
        const K key = Ops::key(shared);
        current_ = &shared;
        currentKey_ = &key;
        report(key);
        current_ = nullptr;
        currentKey_ = nullptr;
    } else if (indexed(s)) {
        const K old = s.key();
        index_.remove(slotIndex, s);
        updated = true;
        report(old);
        if (initialized_ && slotIndex < capacity_) {
            resetSlot(slotAt(slotIndex));
            tryShrink();
        }
    }
    if (sequence != Syncer::noSequence) shadowSequence = sequence;
    BASALT_TRACE(debug_, 9,
                 "ShadowStore::doSlot() updated: " << updated << " compare: " << compare
                                                   << " slotIndex:" << slotIndex
                                                   << (occupied ? " found" : " not found"));
    return true;
}

template <class Ops, bool keysOnly>
void ShadowStore<Ops, keysOnly>::doFlushSlot(std::uint32_t slotIndex) {
    if (slotIndex >= capacity_) return;
    Slot& s = slotAt(slotIndex);
    if (!indexed(s)) return;
    const K key = s.key();
    BASALT_TRACE(debug_, 9,
                 "ShadowStore::doFlushSlot() slotIndex " << slotIndex << " key: " << key);
    index_.remove(slotIndex, s);
    if (reportFlushedKeys_) report(key);
}

template <class Ops, bool keysOnly>
void ShadowStore<Ops, keysOnly>::resizeSlots(std::uint32_t n, const char* who) {
    const std::uint32_t old = capacity_;
    Slot* const before = slotBase_;
    void* base = nullptr;
    if (n == 0) {
        slotsMem_.detach();
    } else {
        if (n > SIZE_MAX / sizeof(Slot)) {
            Basalt::MemoryResourceException::throwException(
                std::string(who) + " failed to resize slots from " + std::to_string(old) + " to " +
                std::to_string(n) + " slots - size overflow");
        }
        base = slotsMem_.attached() ? slotsMem_.resize(n * sizeof(Slot))
                                    : slotsMem_.attach(n * sizeof(Slot));
        if (base == nullptr) {
            Basalt::MemoryResourceException::throwException(
                std::string(who) + " failed to resize " +
                (slotsMem_.useHeap() ? "heap" : "anonymous memory") + " from " +
                std::to_string(old) + " to " + std::to_string(n) + " slots - " +
                slotsMem_.reason());
        }
    }
    slotBase_ = static_cast<Slot*>(base);
    capacity_ = n;
    if (before != nullptr && slotBase_ != nullptr && slotBase_ != before) {
        index_.patch(reinterpret_cast<char*>(slotBase_) - reinterpret_cast<char*>(before));
    }
    for (std::uint32_t i = old; i < n; ++i) resetSlot(slotAt(i));
}

template <class Ops, bool keysOnly>
bool ShadowStore<Ops, keysOnly>::grow(std::uint32_t slotIndex) {
    BASALT_TRACE(debug_, 5, "ShadowStore::grow() for slotIndex:" << slotIndex);
    reader_.doResize(false);
    const std::uint32_t c = reader_.capacity();
    if (slotIndex >= c) {
        BASALT_TRACE(debug_, 5,
                     "ShadowStore::grow() complete. Never learned of slotIndex:"
                         << slotIndex << " so it is safe to ignore.");
        return false;
    }
    BASALT_TRACE(debug_, 2,
                 "ShadowStore::grow() resize shadow slots from "
                     << capacity_ << " to " << c << " due to out of range slot " << slotIndex);
    resizeSlots(c, "ShadowStore::grow()");
    ++counters_.grows;
    BASALT_TRACE(debug_, 5,
                 "ShadowStore::grow() Passed resize " << c << " and got "
                                                      << static_cast<void*>(slotBase_) << " back.");
    BASALT_TRACE(debug_, 5, "ShadowStore::grow() complete.");
    return true;
}

template <class Ops, bool keysOnly>
void ShadowStore<Ops, keysOnly>::tryShrink() {
    if (capacity_ / 4 < index_.entries()) return;
    const std::uint32_t n = counters_.largestOccupied();
    if (n >= capacity_) return;
    BASALT_TRACE(debug_, 5,
                 "ShadowStore::tryShrink() shadow slot occupancy <= 25% and can shrink to "
                     << n << " slots.");
    const std::uint32_t shared = reader_.sharedSlots();
    if (n != 0 && shared > n) {
        BASALT_TRACE(debug_, 5,
                     "ShadowStore::tryShrink() skip shrinking of shadow table to "
                         << n << " slots because shared memory has grown to " << shared
                         << " slots");
        return;
    }
    shrink(n);
}

template <class Ops, bool keysOnly>
void ShadowStore<Ops, keysOnly>::shrink(std::uint32_t n) {
    BASALT_TRACE(debug_, 5, "ShadowStore::shrink() newNumSlots:" << n);
    BASALT_TRACE(debug_, 5,
                 "ShadowStore::shrink() resize shadow slots from " << capacity_ << " to " << n);
    resizeSlots(n, "ShadowStore::shrink()");
    ++counters_.shrinks;
    BASALT_TRACE(debug_, 5,
                 "ShadowStore::shrink() Passed resize "
                     << n << " and got " << static_cast<void*>(slotBase_) << " back.");
    BASALT_TRACE(debug_, 5, "ShadowStore::shrink() complete.");
}

template <class Ops, bool keysOnly>
void ShadowStore<Ops, keysOnly>::disable() {
    if constexpr (keysOnly) {
        BASALT_TRACE(debug_, 5, "KeyShadowStore::disable()");
        fenixMem_.detach();
    }
    // Every slot left is dropped from the index first, so no chain points into freed memory.
    for (std::uint32_t i = 0; i < capacity_; ++i) {
        Slot& s = slotAt(i);
        if (indexed(s)) index_.remove(i, s);
    }
    if (capacity_ != 0) shrink(0);
    initialized_ = false;
}

template <class Ops, bool keysOnly>
bool ShadowStore<Ops, keysOnly>::valueOf(std::uint32_t slotIndex, const Slot& s, V& out) {
    if constexpr (!keysOnly) {
        (void)slotIndex;
        out = s.stored;
        return true;
    } else {
        V shared;
        if (reader_.safeValue(slotIndex, shared, nullptr) &&
            Ops::equal(Ops::key(shared), s.key())) {
            out = shared;
            return true;
        }
        // The record moved since the notification: look it up by key.
        ++valueMisses_;
        bool found = false;
        const K key = s.key();
        reader_.lookup(key, found, &out);
        if (!found) out = defaultValue_;
        return found;
    }
}

template <class Ops, bool keysOnly>
const typename ShadowStore<Ops, keysOnly>::V* ShadowStore<Ops, keysOnly>::lookup(const K& key,
                                                                                 bool& found,
                                                                                 V* out) {
    V* target = out ? out : &buffer_;
    if (current_ != nullptr && Ops::equal(*currentKey_, key)) {
        ++callbackLookups_;
        found = true;
        *target = *current_;
        return target;
    }
    const Slot* s = capacity_ != 0 ? index_.find(key) : nullptr;
    found = s != nullptr && valueOf(static_cast<std::uint32_t>(s - slotBase_), *s, *target);
    if (!found) *target = defaultValue_;
    return target;
}

template <class Ops, bool keysOnly>
bool ShadowStore<Ops, keysOnly>::walkFrom(Slot* s, V& value, IterHint& hint) {
    // A key shadow skips a key whose record the shared table no longer has.
    while (s != nullptr) {
        const auto i = static_cast<std::uint32_t>(s - slotBase_);
        if (valueOf(i, *s, value)) {
            hint.slot = i;
            return true;
        }
        s = index_.next(s->key(), s);
    }
    value = defaultValue_;
    return false;
}

template <class Ops, bool keysOnly>
bool ShadowStore<Ops, keysOnly>::first(V& value, IterHint& hint) {
    return walkFrom(capacity_ != 0 ? index_.first() : nullptr, value, hint);
}

template <class Ops, bool keysOnly>
bool ShadowStore<Ops, keysOnly>::next(const K& key, V& value, IterHint& hint) {
    Slot* hinted = hint.slot < capacity_ ? &slotAt(hint.slot) : nullptr;
    const K from = key;
    return walkFrom(capacity_ != 0 ? index_.next(from, hinted) : nullptr, value, hint);
}

}  // namespace Hoard
