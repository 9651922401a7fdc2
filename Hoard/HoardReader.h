#pragma once

// Reads a table that another process writes, in place: no lock, no write to the shared files, no
// allocation on the success path. Every answer is a value that was committed at some instant, or
// "not found"; what a concurrent writer cannot explain is Basalt::CorruptionDetectedException.
//
// Thread safety: one reader object belongs to one thread; any number of readers in any number of
// processes read while one writer writes. Consistency comes from re-checks, never from locks:
//  - a slot is copied between two reads of its status (LOOKASIDE redirects to the lookaside
//    slot), see SlotReaderTable::getValue;
//  - the seq half of every link followed is compared again after each step; a change restarts;
//  - the (version, count) words of both files are watched, and the mapping follows them; a result
//    is used only when neither version moved while it was computed;
//  - while the writer splits or merges buckets, a key belongs to bucket b when its hash modulo n,
//    n/2 or 2n is b, and a run may end where it ends under half the count, so an iteration
//    follows the list in order through a split or merge;
//  - an iteration step follows its hint only while the hinted slot holds the caller's key (a
//    shrink and a later growth restart a slot's status counter).
// Every walk is bounded by the mapped capacity and every retry loop by a limit, so a writer that
// died mid-change never makes a reader spin.

#include <algorithm>
#include <bit>
#include <cstring>
#include <iomanip>
#include <memory>
#include <sstream>
#include <string>
#include <type_traits>

#include "Hoard/ScanResult.h"
#include "Hoard/SlotReader.h"
#include "Hoard/TestHook.h"
#include "contracts/Basalt/Exception.h"
#include "contracts/Basalt/Util.h"
#include "contracts/HoardBase/BucketTable.h"
#include "contracts/HoardBase/HoardInterface.h"
#include "contracts/HoardBase/Util.h"
#include "contracts/Kiln/System.h"
#include "contracts/Mem/Atomics.h"
#include "contracts/Mem/VersionAnchor.h"
#include "contracts/SharedMem/FenixFile.h"

namespace Hoard {

template <class Ops>
class HoardReader : public HoardInterface<typename Ops::Key, typename Ops::Value, Ops> {
  public:
    using K = typename Ops::Key;
    using V = typename Ops::Value;
    static constexpr std::uint32_t maxRestarts = 100000;
    static constexpr std::uint32_t maxRemaps = 1000;

    // `counters`: where retries and remaps are counted; the reader keeps its own when null.
    HoardReader(std::shared_ptr<Basalt::Platform::DebugHandler> debug, const std::string& tableName,
                const Ops& ops, Reader::Counters* counters = nullptr)
        : debug_(std::move(debug)),
          rootPath_(debug_, tableName, false),
          ops_(ops),
          counters_(counters ? counters : &ownCounters_),
          buckets_(debug_, rootPath_),
          slots_(debug_, rootPath_, *counters_) {}
    ~HoardReader() override { detach(false); }

    bool initialize(const std::string& event) override;
    // Whether a failed validation in initialize() leaves the "corruption-detected" marker for
    // the table's writer (on by default; a read-only tool turns it off and writes nothing).
    void markCorruptionIs(bool mark) { markCorruption_ = mark; }
    void detach(bool force) override;

    const V* lookup(const K& key, bool& found, V* out) override {
        V* target = out ? out : &buffer_;
        // `key` may live in `*out`, which every attempt overwrites: attempts use a copy.
        const K wanted = key;
        const V* result = withRemaps([&] { return doLookup(wanted, found, *target); });
        if (!found) {
            anchor_ = Mem::VersionAnchor{};
            *target = defaultValue_;
            return &defaultValue_;
        }
        return result;
    }
    bool first(V& value, IterHint& hint) override {
        const bool more = withRemaps([&] { return first(0, value, hint); });
        if (!more) value = defaultValue_;
        return more;
    }
    bool next(const K& key, V& value, IterHint& hint) override {
        // The usual caller passes value.key() as `key`, and an attempt overwrites `value` and
        // `hint`: every attempt starts again from copies of the caller's key and hint, so a step
        // retried after a remap neither skips nor repeats a record.
        const K from = key;
        const IterHint start = hint;
        const bool more = withRemaps([&] {
            hint = start;
            return doNext(from, value, hint);
        });
        if (!more) value = defaultValue_;
        return more;
    }

    // Looks keys[0..count) up as lookup() would, key by key, with the same guarantees against
    // torn reads; faster because keys go in groups of `batchGroup`: each key is hashed once, the
    // group's bucket words and the records they name are fetched together before the walks, the
    // writer's counts are checked once per group, and a record the walk passes by is judged by its
    // rhash alone (neither copied whole nor hashed again). `keys` may overlap `out` as far as
    // lookup() key by key allows it: a group's keys are copied before any of its answers is
    // written. Misses receive the default value. The version anchor afterwards is that of the last
    // key found, or cleared when none was.
    std::size_t lookupBatch(const K* keys, std::size_t count, V* out, bool* found) override;

    // Hands every record of the table to `visit(const V&)`, in slot order from the top slot down,
    // a chunk of slots at a time. Each record handed out is whole (copied between two reads of its
    // status) and was read while the slot count held still. A record present for the whole scan is
    // handed out at least once; more than once only when the result says mayRepeat (a shrink moved
    // records while the scan ran). A key removed and written again during the scan is two records.
    template <class Visit>
    ScanResult scan(Visit&& visit);

    const V* doLookup(const K& key, bool& found, V& out);
    bool first(std::uint32_t bucket, V& value, IterHint& hint);
    bool doNext(const K& key, V& value, IterHint& hint);
    // `end`, the end of bucket `bucket`'s run (a bucket marker or the end of the list), must be
    // the run's end in bit-reversed order: a marker to the next bucket, or the end of the list
    // after the last. While the writer is halfway through a split (count published, runs not yet
    // cut) or a merge (runs joined, count not yet published), a run may still end where it ends
    // under half the count; that end is accepted too (it also lies ahead in bit-reversed order,
    // so a walk still cannot loop). The end word is compared, not the bucket it names: a marker
    // to bucket 0, the first in the order, would start the walk over.
    void verifyNextBucket(std::uint32_t bucket, std::uint32_t end) const {
        const std::uint32_t n = buckets_.count();
        const bool halfway = n > 1 && end == BucketTable::endMarker(bucket & (n / 2 - 1), n / 2);
        if (n == 0 || bucket >= n || (end != BucketTable::endMarker(bucket, n) && !halfway)) {
            std::ostringstream os;
            os << "HoardReader::verifyNextBucket() has bucket:" << bucket << " with next bucket:"
               << (SlotLink::isBucketMarker(end) ? SlotLink::markerBucket(end) : 0)
               << " and numBuckets:" << n;
            Basalt::CorruptionDetectedException::throwException(os.str());
        }
    }
    // The slot count the writer last published (0 while unmapped): a shadow's bound on which
    // slots exist.
    std::uint32_t sharedSlots() const {
        return slots_.mapped() ? slots_.snapshot().numSlots().value : 0;
    }
    // The record in slot `slotIndex`, for a key shadow; false when the slot holds none.
    bool safeValue(std::uint32_t slotIndex, V& value, V* out);
    // True when doResize() would find something to follow: one acquire load of each file's
    // published (version, count) word, compared with the ones this reader follows (pairs with
    // the writer's release stores of them). The check before and after every operation.
    bool countsMoved() const {
        return slots_.countMoved() ||
               (buckets_.attached() &&
                buckets_.publishedCount() != Mem::VerU32{bucketsVersion_, buckets_.count()});
    }
    // Follows the writer's published counts; true when a mapping changed, or when the bucket
    // count was republished since the last call: a split and a merge between two calls leave
    // the count as it was, but an operation that ran across them may have read a link of the
    // split runs (a present key looked absent), so its result must not be used. `retrying`: the
    // caller recomputes a result, so a republished count without a remap counts as a retry.
    bool doResize(bool retrying = true) {
        bool changed = slots_.doResize(&anchor_);
        if (buckets_.attached()) {
            // Pairs with the writer's release store of the (version, count) pair.
            const Mem::VerU32 published = buckets_.publishedCount();
            if (published.value != buckets_.count()) changed = buckets_.doResize() || changed;
            if (published.version != bucketsVersion_) {
                bucketsVersion_ = published.version;
                if (!changed && retrying) ++counters_->retries;
                changed = true;
            }
        }
        return changed;
    }
    std::string dumpHeaders() const {
        std::ostringstream os;
        os << "Hoard table \"" << hoardName() << "\"\n\n\n"
           << (slots_.mapped() ? slots_.headerText() : std::string("(slots detached)")) << "\n\n"
           << buckets_.headerToString();
        return os.str();
    }

    std::uint32_t members() const override {
        return slots_.mapped() ? Mem::Atomics::loadRelaxed(slots_.header()->occupiedSlots) : 0;
    }
    std::uint32_t minSize() const override { return 0; }
    std::uint32_t maxSize() const override {
        // Loaded atomically because a writer that re-formats the file stores the field again
        // meanwhile. Its value was published by the writer's release store of the numSlots pair,
        // which this reader's acquire load in doResize() took before the mapping was used.
        return slots_.mapped() ? Mem::Atomics::loadAcquire(slots_.header()->maxSlots) : 0;
    }
    std::uint32_t capacity() const override { return slots_.capacity(); }
    HoardType type() const override { return reader; }
    bool quiesced() const override { return this->initialized(); }
    Reader::Counters readerCounters() const override { return *counters_; }
    const RootPath& rootPath() const override { return rootPath_; }
    std::string hoardName() const override { return rootPath_.hoardName(); }
    int mountStatus() const override { return this->initialized() ? 1 : 0; }
    std::uint32_t fenixId() const override { return fenix_.value(); }
    void validateVersionAnchor() override {
        if (this->versionAnchorHook()) this->versionAnchorHook()();
        // A grow or shrink the writer published since the anchor was taken may have re-formatted
        // the anchored slot: pairs with the writer's release store of the (version, numSlots)
        // word.
        anchor_.validate(slots_.mapped() ? slots_.header()->numSlots().version : 0);
    }
    Mem::CacheVersionAnchor getCacheVersionAnchor() const override {
        return Mem::CacheVersionAnchor{anchor_.status, anchor_.offset, anchor_.epoch};
    }
    const Ops& ops() const { return ops_; }

  private:
    // Runs `op` on the writer's current mapping; a corruption report or a result met while the
    // writer moved the counts is retried after following the writer's new mapping.
    //
    // The first attempt follows the published counts before it walks: a reader that sat idle
    // may still map a tail the writer has shrunk away and, after its grace time, released (or
    // grown again with other records). Only an operation already running when the writer
    // shrinks may read the old tail, and the re-check after it rejects what it read there. When
    // nothing moved this costs one acquire load per file.
    template <class F>
    auto withRemaps(F&& op) -> decltype(op()) {
        restarts_ = 0;
        for (std::uint32_t attempt = 0;; ++attempt) {
            try {
                if (attempt == 0 && countsMoved()) doResize(false);
                auto result = op();
                if (attempt < maxRemaps && countsMoved() && doResize()) continue;
                return result;
            } catch (const Basalt::CorruptionDetectedException&) {
                // The writer moved the counts under this attempt: what it found came from a
                // stale view (a bucket word the writer no longer keeps, a slot beyond the new
                // count), so the attempt is retried on the new mapping and nothing is reported.
                // Only a finding that survives the remaps is corruption.
                if (attempt < maxRemaps && doResize()) continue;
                ++counters_->corruptions;
                throw;
            }
        }
    }

    std::uint32_t hash(const K& key) const { return ops_.hash(key); }
    // Empty when the header was written for this reader's value type: the same type name and the
    // same value and slot sizes; otherwise why not. Two value types may share a size, so the name
    // is what keeps a reader from misreading another type's records.
    static std::string foreignType(const SlotTable::Header& h) {
        const std::size_t length = strnlen(h.valueType, SlotTable::nameSize);
        const bool sameName = length == std::strlen(V::typeName) &&
                              std::memcmp(h.valueType, V::typeName, length) == 0;
        const std::uint32_t slotSize = SlotReaderTable<V>::slotSize;
        if (sameName && h.valueSize == sizeof(V) && h.slotSize == slotSize) return {};
        std::ostringstream os;
        os << "holds \"" << h.valueTypeText() << "\"";
        if (sameName) {
            os << " of valueSize:" << h.valueSize << " slotSize:" << h.slotSize
               << ", not of valueSize:" << sizeof(V) << " slotSize:" << slotSize;
        } else {
            os << ", not \"" << V::typeName << "\"";
        }
        return os.str();
    }
    // Iteration visits buckets in bit-reversed order, about one record per bucket, and every step
    // waits for one cache miss (the next record) that no step before could have known. So each
    // step starts the fetches of steps to come: the bucket word `bucketLead` buckets ahead, and
    // the first record of the bucket `slotLead` ahead (whose word an earlier step fetched). A
    // prefetch is only a hint: a stale word costs a wasted fetch, and no address is formed from
    // an index outside the mapping.
    static constexpr std::uint32_t slotLead = 4;
    static constexpr std::uint32_t bucketLead = 16;
    void prefetchAhead(std::uint32_t bucket, std::uint32_t n) const {
        const int bits = std::countr_zero(n);
        if (bits == 0 || bucket >= n) return;
        const std::uint32_t position = Basalt::Util::reverse(bucket) >> (32 - bits);
        auto ahead = [&](std::uint32_t lead) {
            return Basalt::Util::reverse(position + lead) >> (32 - bits);
        };
        if (position + bucketLead < n) __builtin_prefetch(buckets_.address(ahead(bucketLead)));
        if (position + slotLead >= n) return;
        const std::uint32_t s = buckets_[ahead(slotLead)].next;
        if (SlotLink::isSlot(s) && s < slots_.capacity()) prefetchSlot(slots_.slots()[s]);
    }
    // Raises corruption unless `storedRhash`, the rhash slot `slot` holds next to `key`, is the
    // key's own (`h` reversed). A run's order and an iteration's resume point come from both: a
    // record that disagrees (a damaged slot, a lookaside copy holding another key) would be
    // found after its own key again and again.
    void verifyRhash(const char* where, std::uint32_t slot, std::uint32_t storedRhash,
                     std::uint32_t h, const K& key) const {
        if (storedRhash == Basalt::Util::reverse(h)) return;
        std::ostringstream os;
        os << where << " corrupt rhash detected, slot:" << slot << std::hex
           << " slot.rhash:" << storedRhash << " rhash:" << Basalt::Util::reverse(h) << std::dec
           << " key:" << key;
        Basalt::CorruptionDetectedException::throwException(os.str());
    }
    // True when a key of hash `h` may stand in bucket `b` of `n` while the writer may be halfway
    // through a split (2n) or a merge (n/2).
    static bool belongs(std::uint32_t h, std::uint32_t b, std::uint32_t n) {
        return (h & (n - 1)) == b || (n > 1 && (h & (n / 2 - 1)) == b) || (h & (2 * n - 1)) == b;
    }
    static int compare(std::uint32_t rh, const K& key, std::uint32_t slotRh, const K& slotKey) {
        if (rh != slotRh) return rh < slotRh ? -1 : 1;
        if (Ops::equal(key, slotKey)) return 0;
        return Ops::less(key, slotKey) ? -1 : 1;
    }
    // True when `slot` holds `key`: the key's words are copied relaxed, so the caller brackets
    // the call with two reads of the slot's status.
    static bool holdsKey(const typename SlotReaderTable<V>::Slot& slot, const K& key) {
        static_assert(std::is_trivially_copyable_v<K>, "keys are stored byte for byte");
        const auto* value = reinterpret_cast<const char*>(&slot.value);
        const std::size_t offset =
            static_cast<std::size_t>(reinterpret_cast<const char*>(&Ops::key(slot.value)) - value);
        const std::size_t from = offset / 8 * 8;  // the slot's value is 8-aligned and padded
        alignas(8) unsigned char buffer[(sizeof(V) + 7) / 8 * 8];
        Mem::Atomics::copyWordsRelaxed(buffer + from, value + from, offset + sizeof(K) - from);
        K copy;
        std::memcpy(static_cast<void*>(&copy), buffer + offset, sizeof(K));
        return Ops::equal(copy, key);
    }
    // The fast path's level-9 trace, kept out of the iteration step's code.
    [[gnu::cold, gnu::noinline]] void traceFastStep(const K& key, const V& value,
                                                    const IterHint& hint,
                                                    std::uint32_t next) const {
        BASALT_TRACE(debug_, 9,
                     "HoardReader::doNext() " << key << " success " << value << " using " << hint
                                              << ", saving new slot hint " << next);
    }
    // Traces the bytes of `key` in hex at level 0 ("<who> key bytes: 0a 00 ..."), beside a
    // corruption report that names the key: a damaged key may print like a sound one.
    // Nothing is traced while the counts have moved: the finding is then a stale view that the
    // retry on the new mapping settles.
    void traceKeyBytes(const char* who, const K& key) const {
        if (!debug_ || !debug_->enabled(0) || countsMoved()) return;
        std::ostringstream os;
        os << who << " key bytes:" << std::hex << std::setfill('0');
        const auto* bytes = reinterpret_cast<const unsigned char*>(&key);
        for (std::size_t i = 0; i < sizeof(K); ++i) os << ' ' << std::setw(2) << int{bytes[i]};
        BASALT_TRACE(debug_, 0, os.str());
    }
    void restart() {
        ++counters_->retries;
        if (++restarts_ > maxRestarts) {
            restarts_ = 0;
            Basalt::CorruptionDetectedException::throwException(
                "HoardReader restarted too often: the table keeps changing under the reader");
        }
    }
    // Counts a re-read of slot `slot` whose status changed under a copy; a slot that kept
    // changing over maxStatusRereads reads is corruption (as in SlotReaderTable::getValue).
    void countReread(const char* who, std::uint32_t slot, std::uint32_t tries) {
        ++counters_->retries;
        if (tries < SlotReaderTable<V>::maxStatusRereads) return;
        std::ostringstream os;
        os << who << " slot:" << slot << " kept changing over " << tries << " reads";
        Basalt::CorruptionDetectedException::throwException(os.str());
    }
    static constexpr std::size_t batchGroup = 16;
    static constexpr std::uint32_t scanChunk = 256;
    // Looks `key` (of hash `h`) up in the mapped bucket count `n`: lookup()'s walk, except that
    // a slot ordered before the key is judged by its rhash (read between two reads of its status)
    // and only a slot of the key's own rhash is copied whole. On a hit `anchor` names the slot.
    bool lookupHashed(const K& key, std::uint32_t h, std::uint32_t n, V& out,
                      Mem::VersionAnchor& anchor);
    // Starts fetching the bucket words of `hashes` and then the first records they name, so that
    // the walks that follow find them in the cache. Only a hint: nothing is formed from an index
    // outside the mapping.
    void prefetchGroup(const std::uint32_t* hashes, std::size_t count, std::uint32_t n) const;
    // Copies the value words [from, to) of `source` into `out` (the last word of a value whose
    // size is not a multiple of 8 is cut to fit; the slot's padding keeps the load in bounds).
    static void loadValueWords(const TypedSlot<V>& source, V& out, std::size_t from,
                               std::size_t to) {
        const auto* words = reinterpret_cast<const std::uint64_t*>(&source.value);
        auto* bytes = reinterpret_cast<unsigned char*>(&out);
        for (std::size_t i = from; i < to; ++i) {
            const std::uint64_t w = Mem::Atomics::loadRelaxed(words[i]);
            std::memcpy(bytes + 8 * i, &w, std::min<std::size_t>(8, sizeof(V) - 8 * i));
        }
    }
    // Copies slot `index` into `out` as SlotReaderTable::getValue does (LOOKASIDE redirects to
    // the lookaside slot; the status is read again after the copy and a change copies again);
    // false when the slot holds no record. A whole copy under one status is still only a record
    // of this slot's current incarnation: a shrink and a later growth format the slot again with
    // its status counter restarted, so the caller also checks that the slot count held still.
    bool copyOccupied(std::uint32_t index, V& out);
    // Whether the step between two published (version, numSlots) words a scan saw may hide a
    // shrink: anything but one growth (version + 1, more slots) may.
    static bool mayHideShrink(Mem::VerU32 before, Mem::VerU32 now) {
        if (now.version == before.version) return now.value != before.value;
        return !(now.version == before.version + 1 && now.value > before.value);
    }
    // The link word a walk came through: a bucket entry or a slot's own link.
    SlotLink linkOf(bool inBucket, std::uint32_t index) const {
        return inBucket ? buckets_[index] : SlotLink::load(slots_.slots()[index].head.link);
    }
    // What a run walk's visitor decides for each slot it is handed.
    enum class RunStep { advance, stop };
    // Walks bucket b's run from its head. Each slot's value is copied into `value` and handed to
    // `visit(slot, rhashAndStatus, anchor, count)` only once the link that led to the slot is
    // seen unchanged after the copy (pairs with the writer's seq bump of that link before it
    // relinks): a changed link restarts the run. The walk is bounded by the slot capacity
    // ("<who> hash chain cycle detected"). True when `visit` stopped the walk; false at the
    // run's end, whose link word (end of list or a bucket marker) is left in `end`.
    template <class Visit>
    bool walkRun(const char* who, std::uint32_t b, V& value, std::uint32_t& end, Visit&& visit);

    std::shared_ptr<Basalt::Platform::DebugHandler> debug_;
    RootPath rootPath_;
    V defaultValue_{};
    V buffer_{};
    Ops ops_;
    Reader::Counters ownCounters_;
    Reader::Counters* counters_;
    BucketReaderTable buckets_;
    SlotReaderTable<V> slots_;
    SharedMem::FenixId fenix_;
    Mem::VersionAnchor anchor_;
    std::uint32_t bucketsVersion_ = 0;  // version half of the bucket count pair last followed
    std::uint32_t restarts_ = 0;
    bool markCorruption_ = true;
    std::unique_ptr<V[]> scanBuffer_;  // one chunk of a scan, allocated by the first scan
};

}  // namespace Hoard

#include "Hoard/HoardReaderImpl.h"
