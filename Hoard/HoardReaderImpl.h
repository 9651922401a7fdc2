#pragma once

// Implementation of Hoard::HoardReader; included from HoardReader.h only.

namespace Hoard {

template <class Ops>
bool HoardReader<Ops>::initialize(const std::string& event) {
    if (!Mem::Atomics::checkCpuSupport()) {
        BASALT_TRACE(debug_, 0, "Hardware does not support Atomics");
        Basalt::InvalidInitializeException::throwException("Hardware does not support Atomics");
    }
    if (this->initialized()) return true;
    if (!buckets_.attach()) {
        BASALT_TRACE(debug_, 0, "HoardReader::initialize() failed to attach to buckets");
        return false;
    }
    if (!slots_.attach()) {
        BASALT_TRACE(debug_, 0, "HoardReader::initialize() failed to attach to slots");
        buckets_.detach();
        return false;
    }
    SharedMem::FenixFile fenixFile(debug_, rootPath_);
    fenix_ = fenixFile.read();
    const double mtime = fenixFile.mtime();
    auto fail = [&](const std::string& why) {
        BASALT_TRACE(debug_, 0, why);
        BASALT_TRACE(debug_, 0, dumpHeaders());
        slots_.detach();
        buckets_.detach();
        return false;
    };
    if (fenix_.value() == 0) return fail("HoardReader::initialize() failed to read fenix file");
    std::string error;
    if (!buckets_.validate(fenix_.value(), error)) {
        if (markCorruption_) Util::writeCorruptionFile(rootPath_, error);
        return fail("HoardReader::initialize() failed to validate buckets");
    }
    try {
        const SlotTable::Header h = slots_.snapshot();
        if (!SlotTable::Header::validate(&h, debug_, slots_.mappedSize(), fenix_.value(), error)) {
            // The snapshot's sizes are checked against the whole file, which is mapped by now.
            if (markCorruption_) Util::writeCorruptionFile(rootPath_, error);
            return fail("HoardReader::initialize() failed to validate slots");
        }
        // A sound table of another type: refused without a corruption marker.
        const std::string foreign = foreignType(h);
        if (!foreign.empty()) {
            return fail("HoardReader::initialize() table " + hoardName() + " " + foreign);
        }
        ops_.hashSeedIs(h.hashSeed);
        slots_.doResize(&anchor_);
    } catch (const Basalt::CorruptionDetectedException& e) {
        // A header that never held still, or a file that cannot hold the count it publishes.
        return fail(std::string("HoardReader::initialize() failed to map slots: ") + e.what());
    }
    bucketsVersion_ = buckets_.publishedCount().version;
    this->initializedIs(true);
    // Times in full, to the microsecond. The writer's clock may run ahead of this one: a delay
    // below zero shows as 0.
    const double delay = std::max(0.0, Kiln::System::currentTime() - mtime);
    BASALT_TRACE(debug_, 1,
                 "HoardReader::initialize() success " << hoardName() << " capacity:" << capacity()
                                                      << " fenixId:" << fenix_ << std::fixed
                                                      << std::setprecision(6) << " mtime:" << mtime
                                                      << " delay:" << delay << " event:" << event);
    return true;
}

template <class Ops>
void HoardReader<Ops>::detach(bool force) {
    (void)force;
    if (!this->initialized()) {
        BASALT_TRACE(debug_, 5, "HoardReader::detach() already detached");
        return;
    }
    buckets_.detach();
    slots_.detach();
    anchor_ = Mem::VersionAnchor{};
    this->initializedIs(false);
    BASALT_TRACE(debug_, 1, "HoardReader::detach() " << hoardName() << " detached");
}

template <class Ops>
template <class Visit>
bool HoardReader<Ops>::walkRun(const char* who, std::uint32_t b, V& value, std::uint32_t& end,
                               Visit&& visit) {
    for (;;) {
        bool prevInBucket = true;
        std::uint32_t prevIndex = b;
        SlotLink link = buckets_[b];
        bool again = false;
        for (std::uint32_t count = 1; !again; ++count) {
            if (!SlotLink::isSlot(link.next)) {
                end = link.next;
                return false;
            }
            if (count > slots_.capacity()) {
                std::ostringstream os;
                os << who << " hash chain cycle detected, slotCount:" << count
                   << " capacity:" << slots_.capacity();
                Basalt::CorruptionDetectedException::throwException(os.str());
            }
            const std::uint32_t s = link.next;
            HOARD_READER_SLOT_READ(s);
            Mem::VersionAnchor candidate;
            const std::uint64_t rs = slots_.getValue(s, value, &candidate);
            const SlotLink own = SlotLink::load(slots_.slots()[s].head.link);
            if (linkOf(prevInBucket, prevIndex).seq != link.seq) {
                restart();
                again = true;
                continue;
            }
            if (visit(s, rs, candidate, count) == RunStep::stop) return true;
            prevInBucket = false;
            prevIndex = s;
            link = own;
        }
    }
}

template <class Ops>
const typename HoardReader<Ops>::V* HoardReader<Ops>::doLookup(const K& key, bool& found, V& out) {
    found = false;
    const std::uint32_t n = buckets_.count();
    if (n == 0) {
        BASALT_TRACE(debug_, 5, "HoardReader::doLookup() bucket table detached");
        return &defaultValue_;
    }
    const std::uint32_t h = hash(key);
    const std::uint32_t b = h & (n - 1);
    const std::uint32_t r = Basalt::Util::reverse(h);
    std::uint32_t end = 0;
    walkRun(
        "HoardReader::doLookup()", b, out, end,
        [&](std::uint32_t s, std::uint64_t rs, const Mem::VersionAnchor& candidate,
            std::uint32_t /*count*/) {
            if (!(static_cast<std::uint32_t>(rs) & SlotTable::occupied)) {
                traceKeyBytes("HoardReader::doLookup()", key);
                std::ostringstream os;
                os << "HoardReader::doLookup() slot:" << s << " not marked as occupied key:" << key;
                Basalt::CorruptionDetectedException::throwException(os.str());
            }
            const int order = compare(r, key, static_cast<std::uint32_t>(rs >> 32), Ops::key(out));
            if (order == 0) {
                found = true;
                anchor_ = candidate;
                return RunStep::stop;
            }
            if (!belongs(hash(Ops::key(out)), b, n)) {
                std::ostringstream os;
                os << "HoardReader::doLookup() corrupt key detected. key:" << Ops::key(out)
                   << " bucketIndex:" << b;
                Basalt::CorruptionDetectedException::throwException(os.str());
            }
            // A slot that sorts after the key ends the search: the key is absent.
            return order < 0 ? RunStep::stop : RunStep::advance;
        });
    if (found) return &out;
    buckets_.checkResize();
    return &defaultValue_;
}

template <class Ops>
bool HoardReader<Ops>::first(std::uint32_t bucket, V& value, IterHint& hint) {
    for (;;) {
        const std::uint32_t n = buckets_.count();
        if (n == 0) return false;
        std::uint32_t b = bucket;
        SlotLink link = buckets_[b];
        for (std::uint32_t hops = 0; SlotLink::isBucketMarker(link.next);) {
            const std::uint32_t c = SlotLink::markerBucket(link.next);
            verifyNextBucket(b, link.next);
            if (++hops >= n) {
                std::ostringstream os;
                os << "HoardReader::first() has bucket cycle detected, bucketCount: " << hops
                   << " numBuckets: " << n;
                Basalt::CorruptionDetectedException::throwException(os.str());
            }
            b = c;
            link = buckets_[b];
        }
        if (link.next == SlotLink::endOfList) {
            verifyNextBucket(b, SlotLink::endOfList);
            BASALT_TRACE(debug_, 8, "HoardReader::first() none found!");
            return false;
        }
        const std::uint32_t s = link.next;
        Mem::VersionAnchor candidate;
        const std::uint64_t rs = slots_.getValue(s, value, &candidate);
        if (buckets_[b].seq != link.seq) {
            restart();
            continue;
        }
        const std::uint32_t status = static_cast<std::uint32_t>(rs);
        if (!(status & SlotTable::occupied)) {
            traceKeyBytes("HoardReader::first()", Ops::key(value));
            std::ostringstream os;
            os << "HoardReader::first() slot:" << s
               << " not marked as occupied key:" << Ops::key(value);
            Basalt::CorruptionDetectedException::throwException(os.str());
        }
        const std::uint32_t h = hash(Ops::key(value));
        if (!belongs(h, b, n)) {
            std::ostringstream os;
            os << "HoardReader::first() corrupt key detected, key:" << Ops::key(value)
               << " bucket:" << b;
            Basalt::CorruptionDetectedException::throwException(os.str());
        }
        verifyRhash("HoardReader::first()", s, static_cast<std::uint32_t>(rs >> 32), h,
                    Ops::key(value));
        hint = IterHint{status, s, h & (n - 1)};
        anchor_ = candidate;
        BASALT_TRACE(
            debug_, 9,
            "HoardReader::first() " << value << " found at bucket " << b << ", saving " << hint);
        prefetchAhead(hint.bucket, n);
        return true;
    }
}

template <class Ops>
bool HoardReader<Ops>::doNext(const K& key, V& value, IterHint& hint) {
    const std::uint32_t n = buckets_.count();
    if (n == 0) return false;
    // Fast path: the hinted slot still holds the caller's record, so its link leads to the next
    // record. An equal status alone does not prove that: a shrink releases slots and a later
    // growth formats them again with the status counter restarted, so the slot's key must be the
    // caller's too. Link, rhash and key are read between two reads of the unchanged status.
    if (hint.slot < slots_.capacity() && hint.bucket < n &&
        Mem::Atomics::loadAcquire(slots_.slots()[hint.slot].head.status) == hint.status) {
        const auto& hinted = slots_.slots()[hint.slot];
        const SlotLink link = SlotLink::load(hinted.head.link);
        const std::uint32_t hintedRhash = Mem::Atomics::loadRelaxed(hinted.head.rhash);
        const bool sameKey = holdsKey(hinted, key);
        // Pairs with the writer's release store of the status that starts a change of the slot.
        std::atomic_thread_fence(std::memory_order_acquire);
        if (sameKey && Mem::Atomics::loadRelaxed(hinted.head.status) == hint.status) {
            // The hint's bucket was computed under the bucket count of its time; the writer may
            // have split or merged buckets since (and this reader remapped), so the record's
            // bucket under the mapped count comes from its rhash.
            const std::uint32_t hintBucket = Basalt::Util::reverse(hintedRhash) & (n - 1);
            if (link.next == SlotLink::endOfList) {
                verifyNextBucket(hintBucket, SlotLink::endOfList);
                BASALT_TRACE(debug_, 9, "HoardReader::doNext() " << key << " failed");
                return false;
            }
            if (SlotLink::isBucketMarker(link.next)) {
                const std::uint32_t c = SlotLink::markerBucket(link.next);
                BASALT_TRACE(
                    debug_, 9,
                    "HoardReader::doNext() " << key << " next bucket " << c << " using " << hint);
                verifyNextBucket(hintBucket, link.next);
                return first(c, value, hint);
            }
            Mem::VersionAnchor candidate;
            const std::uint64_t rs = slots_.getValue(link.next, value, &candidate);
            const std::uint32_t status = static_cast<std::uint32_t>(rs);
            const bool unchanged = SlotLink::load(hinted.head.link).seq == link.seq &&
                                   Mem::Atomics::loadAcquire(hinted.head.status) == hint.status;
            if (unchanged) {
                if (compare(hintedRhash, key, static_cast<std::uint32_t>(rs >> 32),
                            Ops::key(value)) >= 0) {
                    // The list is sorted: a link back to an earlier record is a loop, and an
                    // iteration that followed it would never end.
                    std::ostringstream os;
                    os << "HoardReader::doNext() slot:" << link.next
                       << " out of order after key:" << key;
                    Basalt::CorruptionDetectedException::throwException(os.str());
                }
                if (!(status & SlotTable::occupied)) {
                    traceKeyBytes("HoardReader::doNext()", key);
                    std::ostringstream os;
                    os << "HoardReader::doNext() slot:" << link.next
                       << " not marked as occupied key:" << key;
                    Basalt::CorruptionDetectedException::throwException(os.str());
                }
                const std::uint32_t h = hash(Ops::key(value));
                if (!belongs(h, hintBucket, n)) {
                    std::ostringstream os;
                    os << "HoardReader::doNext() corrupt key detected. key:" << Ops::key(value)
                       << " bucketIndex " << hintBucket;
                    Basalt::CorruptionDetectedException::throwException(os.str());
                }
                verifyRhash("HoardReader::doNext()", link.next,
                            static_cast<std::uint32_t>(rs >> 32), h, Ops::key(value));
                if (debug_->enabled(9)) [[unlikely]] {
                    traceFastStep(key, value, hint, link.next);
                }
                hint = IterHint{status, link.next, h & (n - 1)};
                anchor_ = candidate;
                prefetchAhead(hint.bucket, n);
                return true;
            }
        }
    }
    // Slow path: the first record ordered after `key` in the key's own run.
    ++counters_->slowPaths;
    const std::uint32_t h = hash(key);
    const std::uint32_t b = h & (n - 1);
    const std::uint32_t r = Basalt::Util::reverse(h);
    std::uint32_t end = 0;
    const bool found = walkRun(
        "HoardReader::doNext()", b, value, end,
        [&](std::uint32_t s, std::uint64_t rs, const Mem::VersionAnchor& candidate,
            std::uint32_t count) {
            const std::uint32_t status = static_cast<std::uint32_t>(rs);
            if (!(status & SlotTable::occupied)) {
                traceKeyBytes("HoardReader::doNext()", key);
                std::ostringstream os;
                os << "HoardReader::doNext() slow-path slot:" << s
                   << " not marked as occupied key:" << key << " slotCount:" << count;
                Basalt::CorruptionDetectedException::throwException(os.str());
            }
            BASALT_TRACE(debug_, 9, "HoardReader::doNext() " << key << " comparing slot " << s);
            // Every record of the run must belong to its bucket, as doLookup() checks: a foreign
            // one would be returned out of its place in the iteration.
            const std::uint32_t slotHash = hash(Ops::key(value));
            if (!belongs(slotHash, b, n)) {
                std::ostringstream os;
                os << "HoardReader::doNext() corrupt key detected. key:" << Ops::key(value)
                   << " bucketIndex " << b;
                Basalt::CorruptionDetectedException::throwException(os.str());
            }
            verifyRhash("HoardReader::doNext()", s, static_cast<std::uint32_t>(rs >> 32), slotHash,
                        Ops::key(value));
            if (compare(r, key, static_cast<std::uint32_t>(rs >> 32), Ops::key(value)) >= 0) {
                return RunStep::advance;
            }
            hint = IterHint{status, s, slotHash & (n - 1)};
            anchor_ = candidate;
            BASALT_TRACE(debug_, 9,
                         "HoardReader::doNext() " << key << " next slot " << s << " success ");
            BASALT_TRACE(
                debug_, 9,
                "HoardReader::doNext() " << key << " success " << value << ", saving " << hint);
            return RunStep::stop;
        });
    if (found) return true;
    // The run's end must lead where bucket b's run ends (as on the fast path): a marker to any
    // other bucket would skip or repeat records, or loop.
    if (end == SlotLink::endOfList) {
        verifyNextBucket(b, SlotLink::endOfList);
        return false;
    }
    const std::uint32_t c = SlotLink::markerBucket(end);
    verifyNextBucket(b, end);
    return first(c, value, hint);
}

template <class Ops>
std::size_t HoardReader<Ops>::lookupBatch(const K* keys, std::size_t count, V* out, bool* found) {
    std::size_t hits = 0;
    anchor_ = Mem::VersionAnchor{};
    for (std::size_t start = 0; start < count; start += batchGroup) {
        const std::size_t m = std::min(batchGroup, count - start);
        // The group's keys are copied before any of its answers is written.
        K group[batchGroup];
        std::uint32_t hashes[batchGroup];
        for (std::size_t i = 0; i < m; ++i) group[i] = keys[start + i];
        for (std::size_t i = 0; i < m; ++i) hashes[i] = hash(group[i]);
        V* answers = out + start;
        bool* hit = found + start;
        Mem::VersionAnchor groupAnchor;
        // As one lookup: a group that ran while either file's (version, count) word moved, or
        // that met corruption then, runs again on the new mapping.
        const bool groupHit = withRemaps([&] {
            bool any = false;
            const std::uint32_t n = buckets_.count();
            if (n == 0) {
                BASALT_TRACE(debug_, 5, "HoardReader::lookupBatch() bucket table detached");
                std::fill(hit, hit + m, false);
                return any;
            }
            prefetchGroup(hashes, m, n);
            for (std::size_t i = 0; i < m; ++i) {
                // Each key has lookup()'s restart bound of its own.
                restarts_ = 0;
                Mem::VersionAnchor candidate;
                hit[i] = lookupHashed(group[i], hashes[i], n, answers[i], candidate);
                if (hit[i]) {
                    groupAnchor = candidate;
                    any = true;
                }
            }
            return any;
        });
        for (std::size_t i = 0; i < m; ++i) {
            if (hit[i]) {
                ++hits;
            } else {
                answers[i] = defaultValue_;
            }
        }
        // Taken on the mapping the group was checked on; later groups' remaps keep it current.
        if (groupHit) anchor_ = groupAnchor;
    }
    return hits;
}

template <class Ops>
void HoardReader<Ops>::prefetchGroup(const std::uint32_t* hashes, std::size_t count,
                                     std::uint32_t n) const {
    for (std::size_t i = 0; i < count; ++i) {
        __builtin_prefetch(buckets_.address(hashes[i] & (n - 1)));
    }
    const std::uint32_t capacity = slots_.capacity();
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint32_t s = buckets_[hashes[i] & (n - 1)].next;
        if (SlotLink::isSlot(s) && s < capacity) prefetchSlot(slots_.slots()[s]);
    }
}

template <class Ops>
bool HoardReader<Ops>::lookupHashed(const K& key, std::uint32_t h, std::uint32_t n, V& out,
                                    Mem::VersionAnchor& anchor) {
    const std::uint32_t b = h & (n - 1);
    const std::uint32_t r = Basalt::Util::reverse(h);
    // The run's records that sort before the key are passed by on their rhash, and the first one
    // after it ends the search: none is copied whole or hashed. Their place in the run is checked
    // from the rhash too (reverse(rhash) modulo n, n/2 or 2n is b), where lookup() hashes the key.
    // Both agree for every record the writer wrote: it stores the key's own hash as rhash (the
    // validator checks that). They differ only for a record whose key was damaged and rhash kept:
    // lookup() reports it, this walk passes it by. The walk's answer is the same either way: the
    // order of a run is decided by rhash alone until two rhashes are equal, and a slot of the
    // key's own rhash is copied whole and its key compared, as lookup() does.
    auto notOccupied = [&](std::uint32_t s) {
        traceKeyBytes("HoardReader::lookupBatch()", key);
        std::ostringstream os;
        os << "HoardReader::lookupBatch() slot:" << s << " not marked as occupied key:" << key;
        Basalt::CorruptionDetectedException::throwException(os.str());
    };
    auto checkBelongs = [&](std::uint32_t s, std::uint32_t slotRhash) {
        if (belongs(Basalt::Util::reverse(slotRhash), b, n)) return;
        std::ostringstream os;
        os << "HoardReader::lookupBatch() corrupt rhash detected. slot:" << s << std::hex
           << " rhash:" << slotRhash << std::dec << " bucketIndex:" << b;
        Basalt::CorruptionDetectedException::throwException(os.str());
    };
    for (;;) {
        bool prevInBucket = true;
        std::uint32_t prevIndex = b;
        SlotLink link = buckets_[b];
        bool again = false;
        for (std::uint32_t count = 1; !again; ++count) {
            if (!SlotLink::isSlot(link.next)) return false;
            if (count > slots_.capacity()) {
                std::ostringstream os;
                os << "HoardReader::lookupBatch() hash chain cycle detected, slotCount:" << count
                   << " capacity:" << slots_.capacity();
                Basalt::CorruptionDetectedException::throwException(os.str());
            }
            const std::uint32_t s = link.next;
            HOARD_READER_SLOT_READ(s);
            const auto& slot = slots_.slots()[s];
            // The slot's status and rhash (from the lookaside slot while LOOKASIDE is set), and
            // its own link, between two reads of the status, as getValue() copies a value. Pairs
            // with the writer's release stores of the status (and of the lookaside rhash before
            // LOOKASIDE).
            std::uint32_t status = Mem::Atomics::loadAcquire(slot.head.status);
            std::uint32_t slotRhash = 0;
            SlotLink own;
            for (std::uint32_t tries = 0;; ++tries) {
                const auto& source =
                    (status & SlotTable::lookaside) ? slots_.lookasideSlot() : slot;
                slotRhash = Mem::Atomics::loadRelaxed(source.head.rhash);
                own = SlotLink::load(slot.head.link);
                std::atomic_thread_fence(std::memory_order_acquire);
                const std::uint32_t now = Mem::Atomics::loadRelaxed(slot.head.status);
                if (now == status) break;
                countReread("HoardReader::lookupBatch()", s, tries);
                status = now;
            }
            if (slotRhash == r && (status & SlotTable::occupied)) {
                // The key decides: the record is copied whole, and its own link read after.
                Mem::VersionAnchor candidate;
                const std::uint64_t rs = slots_.getValue(s, out, &candidate);
                status = static_cast<std::uint32_t>(rs);
                slotRhash = static_cast<std::uint32_t>(rs >> 32);
                own = SlotLink::load(slot.head.link);
                // Pairs with the writer's seq bump of the link before it relinks (as walkRun).
                if (linkOf(prevInBucket, prevIndex).seq != link.seq) {
                    restart();
                    again = true;
                    continue;
                }
                if (!(status & SlotTable::occupied)) notOccupied(s);
                const int order = compare(r, key, slotRhash, Ops::key(out));
                if (order == 0) {
                    anchor = candidate;
                    return true;
                }
                checkBelongs(s, slotRhash);
                if (order < 0) return false;
            } else {
                // Pairs with the writer's seq bump of the link before it relinks (as walkRun).
                if (linkOf(prevInBucket, prevIndex).seq != link.seq) {
                    restart();
                    again = true;
                    continue;
                }
                if (!(status & SlotTable::occupied)) notOccupied(s);
                checkBelongs(s, slotRhash);
                // A slot that sorts after the key ends the search: the key is absent.
                if (r < slotRhash) return false;
            }
            prevInBucket = false;
            prevIndex = s;
            link = own;
        }
    }
}

template <class Ops>
bool HoardReader<Ops>::copyOccupied(std::uint32_t index, V& out) {
    constexpr std::size_t words = (sizeof(V) + 7) / 8;
    const auto& slot = slots_.slots()[index];
    // Pairs with the writer's release store of the status that ends a change, and with its
    // LOOKASIDE store made after the lookaside copy (as getValue).
    std::uint32_t status = Mem::Atomics::loadAcquire(slot.head.status);
    for (std::uint32_t tries = 0;; ++tries) {
        if (!(status & SlotTable::occupied)) return false;
        const auto& source = (status & SlotTable::lookaside) ? slots_.lookasideSlot() : slot;
        if (status & SlotTable::lookaside) ++counters_->lookasideReads;
        loadValueWords(source, out, 0, words / 2);
        HOARD_READER_SLOT_COPYING(index);
        loadValueWords(source, out, words / 2, words);
        // Pairs with the writer's LOOKASIDE store and the release fence that starts a value's
        // bytes (storeSlotValue): a status unchanged across the copy means the copy is whole.
        std::atomic_thread_fence(std::memory_order_acquire);
        const std::uint32_t again = Mem::Atomics::loadRelaxed(slot.head.status);
        if (again == status) return true;
        countReread("HoardReader::scan()", index, tries);
        status = again;
    }
}

// A scan reads the slot array from the top down, a chunk at a time, and hands a chunk's records
// out only once the published (version, numSlots) word read before the chunk is read unchanged
// after it. Why each piece is needed:
//  - Status re-checks alone do not make a copy whole: a shrink releases a slot and a later growth
//    formats it again with its status counter restarted, so a slot copied across a shrink and a
//    growth may show the same status before and after with two records' bytes in the copy. Both
//    change the version, so a chunk read under one unchanged word holds only whole records, and
//    one read across a change is read again (nothing of it was handed out yet).
//  - Records move only in a shrink, and only downwards: from a slot at or above the new count to
//    a free slot below it; the copy is complete (OCCUPIED set) before the source loses OCCUPIED.
//    A record present for the whole scan starts below the count the scan starts from. Reading
//    downwards, the scan has read none of the slots below the one it is at. So when a move takes
//    a record the scan has not read yet, from a slot above or at the scan's position to a lower
//    one, the scan finds the copy later; and when the scan reaches a source the writer already
//    emptied, the copy lies below it, still ahead. A record is missed by neither order of events
//    and is read twice only when the scan read it at its old slot before the move and at its new
//    one after. An ascending scan would miss a record moved from ahead of it to behind it.
//  - A growth adds slots above the old count: records written there were written during the
//    scan, so the scan goes on by index. After a shrink every record lies below the new count,
//    so the scan goes on from min(position, new count).
//  - mayRepeat: a shrink moves its records before it publishes the smaller count, and it runs
//    inside a removal (or an explicit shrink), which holds runtimeFlags bit 0x1 from before the
//    first move until after the count is published. A scan that read some record twice read the
//    second copy after the move that made it, so its final read of runtimeFlags sees the bit
//    still set or cleared, and a clear seen (a release store after the publication) makes the
//    smaller count seen by the final read of the word. So the scan reports mayRepeat when the
//    bit is set at its end, or when any step between the words it saw was not a single growth.
//    On a quiet table neither holds. A writer that died inside an operation leaves the bit set,
//    and every scan then says mayRepeat until a writer recovers the table; the recovery keeps an
//    unpublished shrink's moves but stores the count again under a new version before it clears
//    the bit, so a scan that overlapped the moves sees either the bit or the new word.
template <class Ops>
template <class Visit>
ScanResult HoardReader<Ops>::scan(Visit&& visit) {
    ScanResult result;
    if (!slots_.mapped()) return result;
    if (!scanBuffer_) scanBuffer_ = std::make_unique<V[]>(scanChunk);
    if (countsMoved()) doResize(false);
    // Pairs with the writer's release store of the (version, numSlots) word.
    Mem::VerU32 seen = slots_.header()->numSlots();
    bool shrinkSeen = false;
    std::uint32_t position = seen.value;
    while (position > 0) {
        std::uint32_t low = 0, buffered = 0;
        for (std::uint32_t tries = 0;; ++tries) {
            if (tries > maxRemaps) {
                std::ostringstream os;
                os << "HoardReader::scan() numSlots kept changing over " << tries
                   << " reads of a chunk";
                Basalt::CorruptionDetectedException::throwException(os.str());
            }
            // Pairs with the writer's release store of the word: slots below the count read here
            // are formatted, and mapped once the mapping follows this word.
            const Mem::VerU32 before = slots_.header()->numSlots();
            shrinkSeen |= mayHideShrink(seen, before);
            seen = before;
            if (before != slots_.mappedNumSlots()) {
                slots_.doResize(&anchor_);
                continue;
            }
            const std::uint32_t top = std::min(position, slots_.capacity());
            low = top > scanChunk ? top - scanChunk : 0;
            buffered = 0;
            for (std::uint32_t i = top; i-- > low;) {
                HOARD_READER_SLOT_READ(i);
                if (copyOccupied(i, scanBuffer_[buffered])) ++buffered;
            }
            // Orders the chunk's copies before the re-load below, which pairs with the writer's
            // release store of the next (version, numSlots) word.
            std::atomic_thread_fence(std::memory_order_acquire);
            const Mem::VerU32 after = slots_.header()->numSlots();
            if (after == before) break;
            shrinkSeen |= mayHideShrink(seen, after);
            seen = after;
            ++counters_->retries;
        }
        for (std::uint32_t k = 0; k < buffered; ++k) visit(static_cast<const V&>(scanBuffer_[k]));
        result.records += buffered;
        position = low;
    }
    // Orders the scan's reads before these loads. The flag load pairs with the writer's release
    // store that clears runtimeFlags bit 0x1 after a shrink published its count
    // (HoardWriter::runtimeFlagClear); the word's load with the release store of the count.
    std::atomic_thread_fence(std::memory_order_acquire);
    const std::uint16_t flags = Mem::Atomics::loadAcquire(slots_.header()->runtimeFlags);
    shrinkSeen |= mayHideShrink(seen, slots_.header()->numSlots());
    result.mayRepeat = shrinkSeen || (flags & SlotTable::writeInProgress) != 0;
    return result;
}

template <class Ops>
bool HoardReader<Ops>::safeValue(std::uint32_t slotIndex, V& value, V* out) {
    V* target = out ? out : &buffer_;
    if (!slots_.mapped()) {
        BASALT_TRACE(debug_, 5,
                     "HoardReader::safeValue() unable to retrieve slotIndex:"
                         << slotIndex << ", returning not found");
        *target = defaultValue_;
        return false;
    }
    const std::uint32_t shared = slots_.snapshot().numSlots().value;
    if (slotIndex >= shared) {
        BASALT_TRACE(debug_, 5,
                     "HoardReader::safeValue() slotIndex:" << slotIndex << " shmemCapacity:"
                                                           << shared << ", returning not found");
        *target = defaultValue_;
        return false;
    }
    const bool found = withRemaps([&] {
        if (slotIndex >= slots_.capacity()) return false;
        Mem::VersionAnchor candidate;
        const auto status =
            static_cast<std::uint32_t>(slots_.getValue(slotIndex, value, &candidate));
        anchor_ = candidate;
        return (status & SlotTable::occupied) != 0;
    });
    if (!found) {
        anchor_ = Mem::VersionAnchor{};
        *target = defaultValue_;
        return false;
    }
    *target = value;
    return true;
}

}  // namespace Hoard
