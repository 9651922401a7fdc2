#pragma once

// Implementation of Hoard::HoardWriter; included from HoardWriter.h only.

namespace Hoard {

// ---- Attach, detach, cleanup -------------------------------------------------------------------

template <class Ops>
void HoardWriter<Ops>::attach() {
    BASALT_TRACE(debug_, 5,
                 "HoardWriter::attach() localMem_: " << local_ << " rootPath:" << rootPath_);
    SharedMem::ShocketInfo shocketInfo;
    SharedMem::FenixId fenix;
    if (local_) {
        fenix = SharedMem::FenixId::fromParts(static_cast<std::uint16_t>(::getpid()), 0);
    } else {
        rootPath_.ensureDirectory();
        // The writer lock first, then the owner file's record lock only around record updates:
        // a writer waiting for the lock never holds the record lock the owner needs to detach.
        writerLock_.acquireWriterLock(debug_, rootPath_, ownerFile_);
        if (getToggleState("OneSocketKick", "SharedMem.json", true)) {
            // The table's own kick socket; should it fail, the process's name alone still tells
            // who owns the table, and readers find no socket to connect to.
            const std::string& name = Kick::ShocketAcceptSm::instance().socketName();
            if (kick_.doEnableListen(name)) {
                shocketInfo = SharedMem::ShocketInfo(kick_.socketName(), kick_.tableId());
            } else {
                BASALT_TRACE(debug_, 0,
                             "HoardWriter::attach() no kick socket for " << hoardName() << ": "
                                                                         << std::strerror(errno));
                shocketInfo = SharedMem::ShocketInfo(name, SharedMem::ShocketInfo::kAnyTable);
            }
        }
        fenix = fenixFile_.read();
    }
    if (fenix.value() == 0) {
        fenix = SharedMem::FenixId::fromParts(static_cast<std::uint16_t>(::getpid()),
                                              nextFenixSequence());
    }
    fenix_ = fenix;
    bool force = false;
    std::string ownerError;
    if (!local_ && !ownerFile_.validate(ownerError)) {
        BASALT_TRACE(
            debug_, 1,
            "HoardWriter::attach() owner file validation failed, dumping owner file string: "
                << ownerFile_.headerToString());
        force = true;
    }
    if (!attachAndValidate(force, shocketInfo)) {
        if (force || !attachAndValidate(true, shocketInfo)) {
            Basalt::debugAndThrowAssertException(
                "HoardWriter::attach() failed to attach to and validate new files", __FILE__,
                __LINE__, __func__);
        }
    }
    rootPath_.removeFile(Util::corruptionFileName);
    if (!local_) fenixFile_.write(fenix_);
    BASALT_TRACE(debug_, 1,
                 "HoardWriter::attach() success "
                     << hoardName() << " capacity:" << capacity() << " fenixId:" << fenix_
                     << std::fixed << std::setprecision(6) << " mtime:" << fenixFile_.mtime()
                     << " shocketInfo:" << shocketInfo);
}

template <class Ops>
bool HoardWriter<Ops>::attachAndValidate(bool force, const SharedMem::ShocketInfo& shocketInfo) {
    if (force) {
        BASALT_TRACE(
            debug_, 1,
            "HoardWriter::attachAndValidate() all entries from " << hoardName() << " will be lost");
        fenix_ = SharedMem::FenixId::fromParts(
            fenix_.processPart(), static_cast<std::uint16_t>(fenix_.sequencePart() + 1));
    }
    counters_ = Writer::Counters{};
    repairs_.clear();
    int r = slots_.attach(fenix_.value()) | buckets_.attach(fenix_.value());
    if constexpr (Ops::hasQueue) {
        r |= herald_.attach(fenix_.value());
        herald_.slotCapacityIs(slots_.capacity());
    }
    index_.attach();
    auto dumpAndFail = [&](const char* why) {
        BASALT_TRACE(debug_, 0, why);
        BASALT_TRACE(debug_, 0, dumpHeaders());
        BASALT_TRACE(debug_, 0, "owner file: " << ownerFile_.headerToString());
        return false;
    };
    if (!force && r != 1 && r != 2) {
        return dumpAndFail("HoardWriter::attachAndValidate() failed to attach to existing files");
    }
    bool valid = validate();
    // The files were adopted: a writer that died inside an operation left them between two of
    // its store steps (the flag still set), or in a state the validator rejects. Recovery
    // finishes or abandons that step in place; the validator has the last word.
    if (!force && r == 2 && descriptor_.recoverOnAttach && (!valid || interrupted())) {
        valid = recover() && validate();
    }
    if (!valid) {
        if (!force) {
            if (Util::runningOnPhysicalDut() && Util::strictValidation()) {
                rootPath_.removeFile(SharedMem::FenixFile::kFileName);
                // The failed files stay as they are, for the post-mortem of this process's core.
                slots_.includeInCoreDump();
                buckets_.includeInCoreDump();
                Basalt::InvalidInitializeException::throwException(
                    "HoardWriter::attachAndValidate() failed initial validation of " + hoardName() +
                    " after re-attaching");
            }
            return dumpAndFail(
                "HoardWriter::attachAndValidate() failed to validate existing files");
        }
        Basalt::InvalidInitializeException::throwException(
            "HoardWriter::attachAndValidate() failed validation");
    }
    // From here the queue's pending word is kept: 0 in it means a writer from before the word.
    pendingDone();
    if (local_) return true;
    {
        auto lock = ownerFile_.lock();
        ownerFile_.shocketInfoIs(shocketInfo);
    }
    std::string error;
    if (!ownerFile_.validate(error)) {
        const std::string text =
            "HoardWriter::validateAndAttach() wrote to owner file but validation failed: " + error;
        Basalt::debugAndThrowAssertException(text.c_str(), __FILE__, __LINE__, __func__);
    }
    ownerWritten_ = true;
    if (force)
        BASALT_TRACE(debug_, 1, "HoardWriter::attachAndValidate(): re-formatted successfully");
    return true;
}

template <class Ops>
bool HoardWriter<Ops>::recover() {
    Recovery<Ops, Herald> recovery(debug_, hoardName(), slots_, buckets_, index_, herald_,
                                   counters_);
    const bool done = recovery.run();
    repairs_ = recovery.repairs();
    BASALT_TRACE(debug_, 1,
                 "HoardWriter::recover() "
                     << hoardName() << (done ? " recovered" : " not recovered") << " after "
                     << repairs_.size() << " repairs" << (done ? "" : ": " + recovery.error()));
    return done;
}

template <class Ops>
void HoardWriter<Ops>::detach(bool force) {
    BASALT_TRACE(debug_, 2,
                 "HoardWriter::detach() owner:" << ownerWritten_ << " localMem_:" << local_
                                                << " rootPath:" << rootPath_ << " force:" << force);
    if (directSlot_ != noDirectSlot && directNew_) {
        assertNoDirect("HoardWriter::detach()", "");
    }
    herald_.onDetach();
    if (ownerWritten_) {
        try {
            if (writerLock_.ownerIsMe()) {
                BASALT_TRACE(debug_, 1, "HoardWriter::detach() clearing shocketInfo");
                auto lock = ownerFile_.lock();
                ownerFile_.shocketInfoIs(SharedMem::ShocketInfo());
            }
        } catch (const std::exception& e) {
            BASALT_TRACE(debug_, 0,
                         "HoardWriter::detach() ignoring owner file corruption:" << e.what());
        }
        ownerWritten_ = false;
    }
    kick_.doDisableListen();  // after the owner record no longer names it; readers see EOF
    notified_ = false;
    releaseFreedTails();
    slots_.detach();
    buckets_.detach();
    herald_.detach();
    writerLock_.release();
    directSlot_ = noDirectSlot;
    this->initializedIs(false);
}

template <class Ops>
void HoardWriter<Ops>::cleanup() {
    BASALT_TRACE(debug_, 1,
                 "HoardWriter::cleanup() owner:" << ownerWritten_ << " rootPath:" << rootPath_);
    if (this->initialized()) detach(false);
    if (!local_) {
        rootPath_.ensureDirectory();
        writerLock_.acquireWriterLock(debug_, rootPath_, ownerFile_);
        std::string error;
        if (!ownerFile_.validate(error)) {
            BASALT_TRACE(
                debug_, 1,
                "HoardWriter::cleanup() owner file corruption detected but continuing with "
                "cleanup, dumped owner file: "
                    << ownerFile_.headerToString());
        }
    }
    BASALT_TRACE(debug_, 1, "HoardWriter::removeFiles() removing Hoard files in " << rootPath_);
    rootPath_.removeFile(Util::corruptionFileName);
    buckets_.cleanup();
    herald_.cleanup();
    BASALT_TRACE(debug_, 1, "SlotWriter::cleanup() removing file: " << slots_.fileName());
    rootPath_.removeFile(SlotTable::slotsFileName);
    rootPath_.removeFile(SharedMem::FenixFile::kFileName);
    rootPath_.removeFile(SharedMem::OwnerFile::kFileName);
    writerLock_.release();
}

template <class Ops>
bool HoardWriter<Ops>::validateFiles() {
    if (local_) return true;  // private memory: no files to check
    buckets_.validateFile();
    std::string error;
    if (!Util::validateFile(
            rootPath_.filePath(SlotTable::slotsFileName),
            slots_.header() ? slots_.header()->headerSize() : sizeof(SlotTable::Header), error)) {
        Basalt::CorruptionDetectedException::throwException(error);
    }
    if (!local_) {
        if (!fenixFile_.validate(fenix_)) {
            std::ostringstream os;
            os << "HoardWriter::validateFiles() fenix file holds " << fenixFile_.read()
               << ", wanted " << fenix_;
            Basalt::CorruptionDetectedException::throwException(os.str());
        }
        ownerFile_.validateFile();
    }
    if constexpr (Ops::hasQueue) {
        if (!herald_.validateFile()) {
            Basalt::CorruptionDetectedException::throwException(
                "HoardWriter::validateFiles() notification queue file is invalid");
        }
    }
    rootPath_.removeFile(Util::corruptionFileName);
    return true;
}

// ---- Writes ------------------------------------------------------------------------------------

template <class Ops>
void HoardWriter<Ops>::assertNoDirect(const char* who, const std::string& what) const {
    if (directSlot_ == noDirectSlot) return;
    std::ostringstream os;
    os << who << " unbalanced directSlot:" << directSlot_
       << " containing value:" << slots_.slots()[directSlot_].value << what
       << " - Make sure the DirectIs/Commit are properly paired!";
    const std::string text = os.str();
    Basalt::debugAndThrowAssertException(text.c_str(), __FILE__, __LINE__, __func__);
}

template <class Ops>
void HoardWriter<Ops>::publishValue(Slot& slot, const V& value) {
    std::uint32_t status = slot.head.status;
    if (status & SlotTable::occupied) {
        Slot& lookaside = slots_.lookasideSlot();
        HOARD_CRASH_POINT("write.lookaside");
        // The complete new record stands in the lookaside slot before LOOKASIDE is set (the
        // release store below): pairs with getValue's acquire load of the status, after which
        // a reader that sees LOOKASIDE copies the lookaside slot.
        Mem::Atomics::storeRelease(lookaside.head.rhash, slot.head.rhash);
        storeSlotValue(lookaside, value);
    }
    HOARD_CRASH_POINT("write.lookasideSet");
    // LOOKASIDE set, then the release fence that storeSlotValue starts with, then the value's
    // bytes: pairs with getValue's acquire fence and status re-read, so a reader whose copy saw
    // any byte of the new value sees this status and copies again (from the lookaside slot).
    Mem::Atomics::storeRelease(slot.head.status, status += 2);
    HOARD_CRASH_POINT("write.value");
    storeSlotValue(slot, value);
    HOARD_CRASH_POINT("write.status");
    // LOOKASIDE cleared after the value: pairs with getValue's acquire load of the status, so a
    // reader that sees this status copies the complete new value from the slot.
    Mem::Atomics::storeRelease(slot.head.status, (status + 2) | SlotTable::occupied);
}

template <class Ops>
const typename HoardWriter<Ops>::V* HoardWriter<Ops>::write(const V& value, bool overwrite) {
    if (directSlot_ != noDirectSlot) {
        std::ostringstream os;
        os << " when writing value:" << value;
        assertNoDirect("HoardWriter::write()", os.str());
    }
    releaseFreedTails();
    runtimeFlagSet();
    const std::uint32_t s = writeRecord(value, overwrite, index_.hash(Ops::key(value)));
    runtimeFlagClear();
    kickIfNotified();
    return &slots_.slots()[s].value;
}

template <class Ops>
void HoardWriter<Ops>::writeBatch(const V* values, std::size_t count) {
    if (count == 0) return;
    if (directSlot_ != noDirectSlot) {
        std::ostringstream os;
        os << " when writing value:" << values[0];
        assertNoDirect("HoardWriter::writeBatch()", os.str());
    }
    releaseFreedTails();
    runtimeFlagSet();
    // Each key's hash, computed once, in a ring over the records in flight: record i + 2 * ahead
    // is hashed and its bucket word prefetched while record i + ahead has its run's first slot
    // prefetched and record i is written.
    constexpr std::size_t ahead = 8;
    constexpr std::size_t ring = 32;  // a power of two above 2 * ahead
    static_assert((ring & (ring - 1)) == 0 && ring > 2 * ahead,
                  "the ring holds the hash of every record in flight");
    std::uint32_t hashes[ring];
    auto stage = [&](std::size_t j) {
        if (j < count) {
            hashes[j & (ring - 1)] = index_.hash(Ops::key(values[j]));
            index_.prefetchBucket(hashes[j & (ring - 1)]);
        }
    };
    for (std::size_t j = 0; j < 2 * ahead; ++j) stage(j);
    // For writing: an overwrite stores every line of the slot's value.
    for (std::size_t j = 0; j < ahead && j < count; ++j)
        index_.template prefetchRun<true>(hashes[j]);
    try {
        for (std::size_t i = 0; i < count; ++i) {
            if (i > 0) HOARD_CRASH_POINT("writeBatch.record");
            stage(i + 2 * ahead);
            if (i + ahead < count)
                index_.template prefetchRun<true>(hashes[(i + ahead) & (ring - 1)]);
            writeRecord(values[i], true, hashes[i & (ring - 1)]);
        }
    } catch (...) {
        // runtimeFlags bit 0x1 stays set, as after a failed write; the records written before
        // the failure are published and notified, so their readers are kicked.
        kickIfNotified();
        throw;
    }
    runtimeFlagClear();
    kickIfNotified();
}

template <class Ops>
std::uint32_t HoardWriter<Ops>::writeRecord(const V& value, bool overwrite, std::uint32_t h) {
    const K& key = Ops::key(value);
    const std::uint32_t bucket = index_.bucketOf(h);
    std::uint64_t* prev = nullptr;
    std::uint32_t curr = 0;
    if (index_.find(key, bucket, prev, curr, h)) {
        Slot& slot = slots_.slots()[curr];
        BASALT_TRACE(debug_, 9,
                     "HoardWriter::write() existing "
                         << key << " bucket:" << bucket << " slot:" << curr
                         << " next:" << SlotLink::load(slot.head.link).next);
        if (overwrite) {
            pendingIs(Pending::overwrite, curr);
            publishValue(slot, value);
            ++counters_.overwrites;
            notify(curr);
            pendingDone();
        }
        return curr;
    }
    const LinkPosition at = positionOf(prev);
    const std::uint32_t s = allocSlot(h);
    prev = linkAt(at);
    Slot& slot = slots_.slots()[s];
    const SlotLink p = SlotLink::load(*prev);
    const SlotLink own = SlotLink::load(slot.head.link);
    HOARD_CRASH_POINT("write.link");
    // Not yet reachable: pairs with nothing until prev's link below publishes the slot.
    SlotLink::store(slot.head.link, SlotLink{own.seq + SlotLink::seqStep, p.next});
    publishValue(slot, value);
    HOARD_CRASH_POINT("write.publish");
    // From this store on readers find the record: pairs with the reader's acquire load of the
    // link and its seq re-check; the value and status above are complete.
    SlotLink::store(*prev, SlotLink{p.seq + SlotLink::seqStep, s});
    BASALT_TRACE(debug_, 9,
                 "HoardWriter::write() new " << key << " bucket:" << bucket << " slot:" << s
                                             << " next:" << p.next);
    ++counters_.writes;
    notify(s);
    pendingDone();
    maybeGrowBuckets("HoardWriter::write()");
    return s;
}

template <class Ops>
bool HoardWriter<Ops>::remove(const K& key, V& value) {
    if (directSlot_ != noDirectSlot) {
        std::ostringstream os;
        os << " when removing key:" << key;
        assertNoDirect("HoardWriter::remove()", os.str());
    }
    releaseFreedTails();
    const std::uint32_t h = index_.hash(key);
    const std::uint32_t bucket = index_.bucketOf(h);
    std::uint64_t* prev = nullptr;
    std::uint32_t s = 0;
    if (!index_.find(key, bucket, prev, s, h)) {
        BASALT_TRACE(debug_, 9, "HoardWriter::remove() not found " << key);
        return false;
    }
    runtimeFlagSet();
    pendingIs(Pending::remove, s);
    Slot& slot = slots_.slots()[s];
    value = slot.value;
    const SlotLink p = SlotLink::load(*prev);
    const SlotLink own = SlotLink::load(slot.head.link);
    HOARD_CRASH_POINT("remove.unlink");
    // The record leaves the list: pairs with the reader's seq re-check of the link it followed.
    SlotLink::store(*prev, SlotLink{p.seq + SlotLink::seqStep, own.next});
    HOARD_CRASH_POINT("remove.clear");
    // Pairs with getValue's status re-read and the version anchor's status load: a reader still
    // on this slot sees the status change (OCCUPIED gone).
    Mem::Atomics::storeRelease(slot.head.status, slot.head.status & ~SlotTable::occupied);
    auto* header = slots_.header();
    const std::uint32_t oldFree = header->freeSlots;
    HOARD_CRASH_POINT("remove.free");
    // The free list and the count: the writer's own (readers read occupiedSlots only as a
    // statistic, and no reader follows a free slot's link; the seq moves on with every rewrite).
    Mem::Atomics::storeRelaxed(header->freeSlots, s);
    SlotLink::store(slot.head.link, SlotLink{own.seq + SlotLink::seqStep, oldFree});
    Mem::Atomics::storeRelaxed(header->occupiedSlots, header->occupiedSlots - 1);
    ++counters_.removes;
    notify(s);
    pendingDone();
    shrinkSlots();
    index_.maybeShrink();
    runtimeFlagClear();
    kickIfNotified();
    return true;
}

template <class Ops>
void HoardWriter<Ops>::doMaybeShrinkSlots(std::uint32_t limit) {
    if (limit == 0) return;
    if (herald_.shrinkInProgress()) {
        BASALT_TRACE(
            debug_, 5,
            "HoardWriter::doMaybeShrinkSlots() shrink started, ignoring shrinkThreshold:" << limit);
        return;
    }
    const std::uint32_t occupiedSlots = slots_.header()->occupiedSlots;
    std::uint32_t target = slots_.minSize();
    if (occupiedSlots != 0) {
        target = std::max(target, 1u << (std::bit_width(occupiedSlots) - 1 + 2));
    }
    BASALT_TRACE(
        debug_, 5,
        "HoardWriter::doMaybeShrinkSlots() threshold:" << target << " shrinkThreshold:" << limit
                                                       << (limit > target ? " SUPER SHRINK!" : ""));
    if (target >= slots_.capacity()) return;
    slots_.purgeFreeSlots(target);
    if constexpr (Ops::hasQueue) herald_.markShrinkStart();
    std::uint64_t moved = 0;
    const std::uint32_t numSlots = slots_.capacity();
    for (std::uint32_t i = target; i < numSlots; ++i) {
        Slot& from = slots_.slots()[i];
        if (!(from.head.status & SlotTable::occupied)) {
            BASALT_TRACE(debug_, 9,
                         "HoardWriter::doMaybeShrinkSlots skipping not occupied slot:" << i);
            continue;
        }
        const K key = Ops::key(from.value);
        const std::uint32_t h = index_.hash(key);
        std::uint64_t* prev = nullptr;
        std::uint32_t curr = 0;
        if (!index_.find(key, index_.bucketOf(h), prev, curr, h) || curr != i) {
            const std::string text =
                "HoardWriter::doMaybeShrinkSlots() fromSlot:" + std::to_string(i) +
                " key not found";
            Basalt::debugAndThrowAssertException(text.c_str(), __FILE__, __LINE__, __func__);
        }
        if (prev == nullptr) {
            const std::string text =
                "HoardWriter::doMaybeShrinkSlots() fromSlot:" + std::to_string(i) +
                " not referenced";
            Basalt::debugAndThrowAssertException(text.c_str(), __FILE__, __LINE__, __func__);
        }
        const std::uint32_t to = slots_.header()->freeSlots;
        BASALT_TRACE(debug_, 9,
                     "HoardWriter::doMaybeShrinkSlots() moving fromSlot:" << i << " toSlot:" << to);
        pendingIs(Pending::move, to, i);
        HOARD_CRASH_POINT("shrink.move");
        slots_.move(i, to, *prev);
        if constexpr (Ops::hasQueue) {
            herald_.notify(to);
            if (herald_.tombstone(i)) ++counters_.pendingTombstones;
        }
        // Pairs with getValue's status re-read and the version anchor's status load: a reader
        // still on the old slot sees it change and retries.
        Mem::Atomics::storeRelease(from.head.status, from.head.status & ~SlotTable::occupied);
        notify(i);
        pendingDone();
        ++moved;
    }
    if constexpr (Ops::hasQueue) herald_.markShrinkEnd();
    HOARD_CRASH_POINT("shrink.publish");
    slots_.shrink(target);
    BASALT_TRACE(debug_, 5, "HoardWriter::doMaybeShrinkSlots() at threshold:" << target << " done");
    counters_.movedRecords += moved;
}

// ---- Direct mode -------------------------------------------------------------------------------

template <class Ops>
typename HoardWriter<Ops>::V* HoardWriter<Ops>::directWrite(const K& key) {
    {
        std::ostringstream os;
        os << " when modifying key:" << key;
        assertNoDirect("HoardWriter::directWrite()", os.str());
    }
    releaseFreedTails();
    runtimeFlagSet();
    const std::uint32_t h = index_.hash(key);
    const std::uint32_t bucket = index_.bucketOf(h);
    std::uint64_t* prev = nullptr;
    std::uint32_t s = 0;
    const bool found = index_.find(key, bucket, prev, s, h);
    if (!found) {
        directPrev_ = positionOf(prev);
        s = allocSlot(h);
    } else {
        pendingIs(Pending::overwrite, s);
    }
    Slot& slot = slots_.slots()[s];
    Slot& area = (slot.head.status & SlotTable::occupied) ? slots_.lookasideSlot() : slot;
    storeSlotValue(area, V(key));
    directSlot_ = s;
    directNew_ = !found;
    BASALT_TRACE(debug_, 9,
                 "HoardWriter::directWrite() "
                     << (found ? " existing " : " new ") << key << " bucket:" << bucket
                     << " slot:" << s << " next:"
                     << (found ? SlotLink::load(slot.head.link).next
                               : SlotLink::load(*linkAt(directPrev_)).next));
    // The caller's plain stores into the area come after this fence: they stay behind every
    // publication made so far. No reader reads the area until directCommit publishes it (the
    // slot is on no run, or the lookaside slot is read only while a status carries LOOKASIDE).
    std::atomic_thread_fence(std::memory_order_release);
    return &area.value;
}

template <class Ops>
typename HoardWriter<Ops>::V* HoardWriter<Ops>::directUpdate(const K& key) {
    {
        std::ostringstream os;
        os << " when modifying key:" << key;
        assertNoDirect("HoardWriter::directUpdate()", os.str());
    }
    const std::uint32_t h = index_.hash(key);
    std::uint64_t* prev = nullptr;
    std::uint32_t s = 0;
    if (!index_.find(key, index_.bucketOf(h), prev, s, h)) return nullptr;
    runtimeFlagSet();
    pendingIs(Pending::overwrite, s);
    Slot& slot = slots_.slots()[s];
    Slot& area = (slot.head.status & SlotTable::occupied) ? slots_.lookasideSlot() : slot;
    // The area starts as the current record, so the caller may change only some fields.
    if (&area != &slot) storeSlotValue(area, V(slot.value));
    directSlot_ = s;
    directNew_ = false;
    // As in directWrite: the caller's stores stay behind everything published so far.
    std::atomic_thread_fence(std::memory_order_release);
    return &area.value;
}

template <class Ops>
void HoardWriter<Ops>::directCommit() {
    BASALT_TRACE(debug_, 9, "HoardWriter::directCommit() slot: " << directSlot_);
    if (directSlot_ == noDirectSlot) {
        Basalt::debugAndThrowAssertException(
            "HoardWriter::directCommit() not in direct mode! Make sure the DirectIs/Commit are "
            "properly paired!",
            __FILE__, __LINE__, __func__);
    }
    const std::uint32_t s = directSlot_;
    Slot& slot = slots_.slots()[s];
    std::uint64_t* prev = nullptr;
    SlotLink p;
    if (directNew_) {
        prev = linkAt(directPrev_);
        p = SlotLink::load(*prev);
        const SlotLink own = SlotLink::load(slot.head.link);
        HOARD_CRASH_POINT("directCommit.link");
        // Not yet reachable: published by prev's link store below.
        SlotLink::store(slot.head.link, SlotLink{own.seq + SlotLink::seqStep, p.next});
    }
    std::uint32_t status = slot.head.status;
    if (status & SlotTable::occupied) {
        Slot& lookaside = slots_.lookasideSlot();
        HOARD_CRASH_POINT("directCommit.lookasideSet");
        Mem::Atomics::storeRelease(lookaside.head.rhash, slot.head.rhash);
        // The lookaside copy (filled by the caller) is complete before LOOKASIDE is set: pairs
        // with getValue's acquire load of the status and its LOOKASIDE test.
        std::atomic_thread_fence(std::memory_order_release);
        // As in publishValue: LOOKASIDE set, then storeSlotValue's release fence and the value's
        // bytes (pairs with getValue's acquire fence and status re-read), then LOOKASIDE cleared
        // after the value (pairs with getValue's acquire load of the status).
        Mem::Atomics::storeRelease(slot.head.status, status += 2);
        HOARD_CRASH_POINT("directCommit.value");
        storeSlotValue(slot, V(lookaside.value));
        HOARD_CRASH_POINT("directCommit.status");
        Mem::Atomics::storeRelease(slot.head.status, status + 2);
    } else {
        // The caller filled the unreachable slot: its bytes come before the status store, and
        // both before prev's link store that publishes the record.
        std::atomic_thread_fence(std::memory_order_release);
        HOARD_CRASH_POINT("directCommit.status");
        Mem::Atomics::storeRelease(slot.head.status, (status + 4) | SlotTable::occupied);
    }
    directSlot_ = noDirectSlot;
    if (directNew_) {
        HOARD_CRASH_POINT("directCommit.publish");
        // Pairs with the readers' acquire load of the link (walkRun, first) and its seq
        // re-check: the record is complete.
        SlotLink::store(*prev, SlotLink{p.seq + SlotLink::seqStep, s});
        directNew_ = false;
        ++counters_.writes;
        notify(s);
        pendingDone();
        maybeGrowBuckets("HoardWriter::directCommit()");
    } else {
        ++counters_.overwrites;
        notify(s);
        pendingDone();
    }
    runtimeFlagClear();
    kickIfNotified();
}

}  // namespace Hoard
