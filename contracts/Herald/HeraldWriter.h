#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <type_traits>

#include "contracts/Basalt/DebugHandler.h"
#include "contracts/Herald/HeraldView.h"
#include "contracts/HoardBase/HeraldPos.h"
#include "contracts/Mem/RootPath.h"
#include "contracts/Mem/SharedMemWrapper.h"

namespace Herald {

// The writer of a table's change-notification queue: the "herald" file of the table directory
// (layout in HeraldView.h). The table writer calls notify(slot) after it published a change of
// the slot, and tombstone(slot) when a record moves away from the slot; readers follow the
// queue with HeraldReader and re-read each notified slot.
//
// Each notification gets the next sequence number and overwrites the oldest cell of the ring,
// so a reader that falls more than ringSize notifications behind is lapped and must
// resynchronise from the table itself. Slot s's latest notification is recorded as the slot's
// position; the earlier notification of s, when still in the ring, is marked superseded, so a
// lagging reader skips it and the ring holds at most one live notification per slot.
//
// Slot positions: the record covers slotCapacity() slots, a power of two of at least 512. It
// grows (file, mapping and the published capacity, in that order) when slotCapacityIs(n) asks
// for more, and by itself when notify() or tombstone() names a slot beyond it; it never shrinks,
// so slots above a shrunk table's count keep their positions. The table writer should call
// slotCapacityIs(numSlots) when it grows, so a failure to grow the file surfaces there.
//
// Thread safety: one thread of the single writer process calls every member. Reader processes
// map the file PROT_READ at any time; each store they depend on is an atomic release store
// whose comment names the reader check it pairs with. Client progress records (quiesced) live
// only in the writer process's memory.
template <class SlotT, class PosT = Hoard::HeraldPos>
class HeraldWriter {
    static_assert(std::is_unsigned_v<SlotT> && sizeof(SlotT) <= 4,
                  "slot indices are unsigned and fit the 29 bits a cell keeps for them");
    static_assert(std::is_same_v<PosT, Hoard::HeraldPos>,
                  "queue positions are the 64-bit sequences the file stores");

  public:
    enum AttachResult : int { newFile = 1, adopted = 2, reformatted = 4 };
    static constexpr bool isDummy = false;

    // `ringSize`: cells in the ring of a newly formatted file, a power of two in
    // [HeraldView::minRingSize, HeraldView::maxRingSize] (else InvalidInitializeException); an
    // adopted file keeps its own. `fileName`: the file in the table directory.
    HeraldWriter(std::shared_ptr<Basalt::Platform::DebugHandler> debug,
                 const Mem::RootPath& rootPath,
                 std::uint32_t ringSize = HeraldView::defaultRingSize,
                 std::string fileName = HeraldView::defaultFileName);
    ~HeraldWriter();
    HeraldWriter(const HeraldWriter&) = delete;
    HeraldWriter& operator=(const HeraldWriter&) = delete;

    // Maps the file, creating the table directory and the file when missing. Returns 1 when a
    // new file was formatted; 2 when an existing file was adopted (valid header, same fenix,
    // queue consistent after finishing a notification a crashed writer left half-made): its
    // sequence, cells, slot positions and shrink record are kept; 4 when an existing file was
    // re-formatted in place (another fenix, or it failed the checks; the reason is traced at
    // level 1): the format epoch moves on, so readers of the old queue see it swapped. A file
    // that cannot be mapped or grown is a MemoryResourceException.
    int attach(std::uint32_t fenix);
    // Maps the existing file copy-on-write and adopts it as attach() would (finishing a
    // half-made notification), changing only this process's pages: a trial repair. False with
    // `why` when the file is missing or attach() would re-format it. Whatever needs the file to
    // grow fails with MemoryResourceException.
    bool attachCopy(std::uint32_t fenix, std::string& why);
    bool attached() const { return base_ != nullptr; }

    // Appends a notification of `slot` and records it as the slot's position; the slot's
    // previous notification, when still in the ring, is marked superseded. A slot index of
    // HeraldView::maxSlots or more, or a detached writer, is an AssertException.
    void notify(SlotT slot);
    // Appends a tombstone notification of `slot` (its record moved away). Returns false, and
    // appends nothing, when the slot's latest notification is already a tombstone still in the
    // ring; true when the queue took it. Same assertions as notify.
    bool tombstone(SlotT slot);

    // The pending-notification word (HeraldView::Pending): stored before an operation's first
    // table store, cleared (to Pending::kept) after its last notification.
    void pendingIs(std::uint64_t word);
    std::uint64_t pending() const;
    // Starts the queue afresh in place with the format epoch moved on, as a re-format does:
    // followers see the queue swapped and resynchronise from the table.
    void renew();

    // Records that a shrink of the slot table starts / ended. A shrink that never ended (the
    // writer died during it) stays recorded in an adopted file until markShrinkEnd().
    void markShrinkStart();
    void markShrinkEnd();
    bool shrinkInProgress() const;
    std::uint32_t shrinkStarts() const;
    std::uint32_t shrinkEnds() const;

    // Makes the slot position record cover at least `slots` slots (rounded up to a power of
    // two). A slot count above HeraldView::maxSlots is an AssertException; a failed grow of the
    // file is a MemoryResourceException with nothing published.
    void slotCapacityIs(std::uint32_t slots);
    // The release of a tail the file no longer uses (a re-format to a smaller ring):
    // Mem::SharedMemWrapper::releaseTail.
    void releaseGraceIs(double seconds) { mem_.releaseGraceIs(seconds); }
    bool releaseTail() { return mem_.releaseTail(); }
    std::uint32_t slotCapacity() const { return slotCapacity_; }
    std::uint32_t ringSize() const { return ringSize_; }

    // The latest notification's position (0 when none, or detached).
    PosT sequence() const { return head_; }
    std::uint32_t fenix() const { return fenix_; }
    // 1 for the real queue (0 is the no-op twin's).
    int type() const { return 1; }

    // The queue's own check (HeraldView::validate) with the writer's `fenix` and the slot
    // table's `mostSlots` (0: not checked). On false `error` holds the reason. A detached
    // writer fails.
    bool validate(std::uint32_t fenix, std::uint32_t mostSlots, std::string& error) const;
    // Checks the mapped file against this writer's own fenix; on failure traces
    // "HeraldWriter::validateFile() <path>: <reason>" at level 0 and returns false.
    bool validateFile() const;
    // A read-only view of this writer's mapping, for the table validator's queue checks. It is
    // invalidated by anything that remaps (attach, slotCapacityIs, notify of a slot beyond the
    // capacity, detach).
    HeraldView view() const;
    std::string headerToString() const;

    // Client progress, kept in this process only: `name` has applied every notification up to
    // `applied`. quiesced() is true when every recorded client has applied the writer's
    // latest notification (true with no clients); clientQuiesced(name) the same for one client,
    // false for a client never recorded.
    void clientProgressIs(const std::string& name, PosT applied);
    void clientRemoved(const std::string& name);
    std::size_t clients() const { return clients_.size(); }
    bool quiesced() const;
    bool clientQuiesced(const std::string& name) const;

    // The table writer is detaching: forgets the client progress records (the clients follow
    // the next incarnation from scratch). The mapping stays until detach().
    void onDetach();
    // Unmaps; the file stays and readers keep following what it holds.
    void detach();
    // Marks the queue retired (readers see it swapped), unmaps and removes the file.
    void cleanup();

    const std::string& path() const { return path_; }

  private:
    void append(SlotT slot, bool isTombstone);
    bool adopt(std::uint32_t fenix, std::string& why);
    void recover();
    void format(std::uint32_t fenix, bool existed);
    void bind();
    void mapOrThrow(std::size_t size, const char* what);
    std::uint64_t& headerWord(std::size_t offset) const;
    std::uint32_t& headerU32(std::size_t offset) const;

    std::shared_ptr<Basalt::Platform::DebugHandler> debug_;
    Mem::RootPath rootPath_;
    std::string fileName_;
    std::string path_;
    std::uint32_t configuredRingSize_;
    Mem::SharedMemWrapper mem_;
    unsigned char* base_ = nullptr;
    std::uint64_t* cells_ = nullptr;
    std::uint64_t* positions_ = nullptr;
    std::uint32_t ringSize_ = 0;
    std::uint32_t slotCapacity_ = 0;
    std::uint32_t fenix_ = 0;
    PosT head_ = 0;  // the writer's copy of the header's sequence
    std::map<std::string, PosT> clients_;
};

#ifdef FLOWTABLE_TEST_HOOKS
// Test hook: the process SIGKILLs itself at the named point of the next notifications, to leave
// the file as a writer crash would.
enum class HeraldCrashPoint { none, afterCell, afterSlotPosition, afterSequence };
void heraldCrashPointIs(HeraldCrashPoint point);
#endif

extern template class HeraldWriter<std::uint32_t, Hoard::HeraldPos>;

}  // namespace Herald
