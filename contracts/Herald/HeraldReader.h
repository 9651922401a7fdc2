#pragma once

#include <sys/types.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>

#include "contracts/Basalt/DebugHandler.h"
#include "contracts/Herald/HeraldView.h"
#include "contracts/HoardBase/HeraldPos.h"
#include "contracts/Mem/RootPath.h"
#include "contracts/Mem/SharedMemWrapper.h"

namespace Herald {

// A follower of a table's change-notification queue over a PROT_READ mapping of the "herald"
// file (layout in HeraldView.h); it never writes the file.
//
// The reader keeps a position: the last notification it consumed. poll() hands over each
// later notification in order as (slot, sequence, tombstone), skipping the ones the writer
// marked superseded (the slot has a later notification, which follows). It reports instead of
// delivering:
//  - lapped: the writer overwrote notifications the reader had not consumed (it fell more than
//    the ring behind). Nothing is delivered and the position stays; the caller resynchronises
//    from the table: take writerSequence() first, re-read every slot, then positionIs() that
//    sequence.
//  - swapped: the file is no longer the queue the reader attached to (the writer re-formatted
//    it, or retired and removed it); the caller re-attaches and resynchronises.
// A file that neither a writer nor a lap can explain (a cell older than its sequence, a slot
// beyond the slot capacity, a writer sequence behind the reader's position) is a
// Basalt::CorruptionDetectedException; nothing garbled is ever delivered: a batch is checked
// whole (after an acquire fence and a re-check of the queue's identity) before any of it is.
//
// Work per call is bounded: poll() examines at most `maxEntries` cells; validateNotif() and
// quiesced() a few words (and at most one remap).
//
// Thread safety: one thread uses an instance. The writer process changes the file
// concurrently; every load here is an atomic acquire load paired with a named writer store.
template <class SlotT, class PosT = Hoard::HeraldPos>
class HeraldReader {
    static_assert(std::is_unsigned_v<SlotT> && sizeof(SlotT) <= 4,
                  "slot indices are unsigned and fit the 29 bits a cell keeps for them");
    static_assert(std::is_same_v<PosT, Hoard::HeraldPos>,
                  "queue positions are the 64-bit sequences the file stores");

  public:
    enum class PollStatus {
        caughtUp,  // everything the writer published is consumed
        more,      // the budget ran out first
        lapped,    // see above: resynchronise
        swapped,   // see above: re-attach
        detached,  // not attached
    };
    struct Notification {
        SlotT slot;
        PosT sequence;
        bool tombstone;
    };
    static constexpr std::size_t defaultPollBudget = 1024;
    static constexpr std::size_t batchSize = 64;

    HeraldReader(std::shared_ptr<Basalt::Platform::DebugHandler> debug,
                 const Mem::RootPath& rootPath, std::string fileName = HeraldView::defaultFileName);
    ~HeraldReader();
    HeraldReader(const HeraldReader&) = delete;
    HeraldReader& operator=(const HeraldReader&) = delete;

    // Maps the file read-only and checks its header. The position starts at the writer's
    // current sequence (a new reader synchronises from the table first). False, with reason(),
    // when the file is missing, too small, retired, or its header fails its checks.
    bool attach();
    void detach();
    bool attached() const { return base_ != nullptr; }
    const std::string& reason() const { return reason_; }

    // Delivers each notification after the position, in order, as
    // deliver(SlotT slot, PosT sequence, bool tombstone), examining at most `maxEntries` cells.
    // The position advances past each notification once `deliver` returned (an exception from
    // it leaves the notification to the next poll).
    template <class F>
    PollStatus poll(F&& deliver, std::size_t maxEntries = defaultPollBudget);

    // The last notification consumed.
    PosT position() const { return position_; }
    // Continue after notification `applied` (after a resynchronisation).
    void positionIs(PosT applied) { position_ = applied; }
    // The writer's latest notification (0 when detached).
    PosT writerSequence() const;
    std::uint32_t fenix() const { return static_cast<std::uint32_t>(identity_); }
    std::uint32_t ringSize() const { return ringSize_; }

    // True when `sequence` is still `slot`'s latest notification (the slot was not notified,
    // or tombstoned, since). A slot beyond the queue's slot capacity traces "out-of-range
    // index:<slot> max:<capacity>" at level 5 and gives false; so does a swapped queue.
    bool validateNotif(SlotT slot, PosT sequence);

    // True when the writer's latest notification is at most `applied` (the caller applied
    // everything queued). False, tracing at level 5, when not attached ("not attached"), when
    // the queue was swapped ("herald swapped"), or when the latest notification names a slot
    // beyond the slot capacity ("latest notification out-of-range"); otherwise traces
    // "writerSeq:<seq> shadowSeq:<applied>" at level 5.
    bool quiesced(PosT applied) const;
    bool quiesced() const { return quiesced(position_); }
    // True when the file is no longer the queue the reader attached to: another identity
    // (fenix, format epoch), retired, or the file at the path removed or replaced.
    bool swapped() const;
    bool shrinkInProgress() const;

    // A read-only view of the mapping (see HeraldView); invalidated by a remap (validateNotif
    // may remap) or detach.
    HeraldView view() const;
    // The queue's own check (HeraldView::validate) with the fenix seen at attach.
    bool validate(std::string& error) const;
    const std::string& path() const { return path_; }

  private:
    // Reads the cells after the position (at most `capacity`, at most batchSize) into `out`,
    // the live ones only; `through` is the last sequence examined.
    PollStatus fetch(Notification* out, std::size_t capacity, std::size_t& count, PosT& through);
    bool identityHolds() const;
    bool remap();

    std::shared_ptr<Basalt::Platform::DebugHandler> debug_;
    std::string path_;
    Mem::SharedMemWrapper mem_;
    const unsigned char* base_ = nullptr;
    const std::uint64_t* cells_ = nullptr;
    std::uint32_t ringSize_ = 0;
    std::uint64_t identity_ = 0;
    PosT position_ = 0;
    dev_t dev_ = 0;
    ino_t ino_ = 0;
    std::string reason_;
};

template <class SlotT, class PosT>
template <class F>
typename HeraldReader<SlotT, PosT>::PollStatus HeraldReader<SlotT, PosT>::poll(
    F&& deliver, std::size_t maxEntries) {
    Notification batch[batchSize];
    std::size_t budget = maxEntries;
    while (budget > 0) {
        std::size_t count = 0;
        PosT through = position_;
        const PosT from = position_;
        const PollStatus status = fetch(batch, std::min(budget, batchSize), count, through);
        for (std::size_t i = 0; i < count; ++i) {
            deliver(batch[i].slot, batch[i].sequence, batch[i].tombstone);
            position_ = batch[i].sequence;
        }
        position_ = std::max(position_, through);
        if (status != PollStatus::more) return status;
        budget -= std::min<std::size_t>(budget, static_cast<std::size_t>(through - from));
    }
    return PollStatus::more;
}

extern template class HeraldReader<std::uint32_t, Hoard::HeraldPos>;

}  // namespace Herald
