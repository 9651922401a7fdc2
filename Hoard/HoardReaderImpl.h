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
