#pragma once

#include <cstdint>
#include <memory>

#include "contracts/Basalt/DebugHandler.h"
#include "contracts/Kiln/AttributeWatcher.h"
#include "contracts/Kiln/Ptr.h"
#include "contracts/Loom/Task.h"

namespace Hoard {

// Drives a shadow's passes over its table as a Loom task on the scheduler of the thread that
// created it (the thread that initialised the shadow, which must serve a Loom loop):
//  - sync: apply the notifications queued since the last one applied;
//  - resync: take the writer's latest sequence, re-read every shared slot, then continue the
//    notifications after that sequence (after a lap, a swap, a failed slot, or at start);
//  - flush: drop every local slot (after a detach).
// A pass does its work in slices of at most the yield time and asks for another run while work
// remains; a pass can also run to its end at once (finishNow: synchronous start-up, forced
// flush). Completion is reported to the client: syncComplete() after a resync (and after a sync
// pass when the client asked), flushComplete() after a flush.
//
// Thread safety: the creating thread only; the client is called on it.
class Syncer {
  public:
    enum Mode : std::uint32_t { sync = 0, resync = 1, flush = 2 };
    static constexpr std::uint64_t noSequence = ~std::uint64_t{0};

    // What a pass calls.
    class Client {
      public:
        virtual ~Client() = default;
        // Applies shared slot `slotIndex` (notification `sequence`, or noSequence); false when
        // the notification can no longer be validated (the pass then resynchronises).
        virtual bool doSlot(std::uint32_t slotIndex, std::uint64_t sequence, bool compare) = 0;
        virtual void doFlushSlot(std::uint32_t slotIndex) = 0;
        // Slots a resync re-reads (the shared table's) and a flush drops (the local copy's).
        virtual std::uint32_t resyncSlots() = 0;
        virtual std::uint32_t flushSlots() = 0;
        // The writer's latest notification, taken before a resync re-reads the slots.
        virtual std::uint64_t writerSequence() = 0;
        // Applies up to `budget` queued notifications through doSlot: 0 caught up, 1 more to do,
        // 2 must resynchronise (lapped, swapped or a failed slot).
        virtual int applyNotifications(std::size_t budget) = 0;
        // A resync ended having applied everything up to `sequence`.
        virtual void resyncDone(std::uint64_t sequence) = 0;
        virtual void syncComplete() = 0;
        virtual void flushComplete() = 0;
    };

    Syncer(std::shared_ptr<Basalt::Platform::DebugHandler> debug, Client& client);
    ~Syncer();
    Syncer(const Syncer&) = delete;
    Syncer& operator=(const Syncer&) = delete;

    static const char* modeText(Mode mode);

    // Starts a pass of `mode`, replacing the one in progress (a sync request during a resync or
    // a flush is kept for after it). Runs it at once to its end when `async` is false.
    void start(Mode mode, bool async);
    // A sync pass after the current one (a doorbell or a poll tick).
    void syncRequest();
    // Runs the current pass to its end now.
    void finishNow();

    Mode mode() const { return mode_; }
    bool done() const { return done_; }
    std::uint64_t sequence() const { return sequence_; }
    void yieldTimeIs(double seconds) { yieldTime_ = seconds; }
    void notifyingIs(bool on) { notifying_ = on; }
    bool notifying() const { return notifying_; }
    std::uint64_t passes() const { return passes_; }
    const Kiln::Ptr<Loom::Task>& task() const { return task_; }

  private:
    // One slice of the current pass; true when the pass ended.
    bool step(bool unbounded);
    void run();

    std::shared_ptr<Basalt::Platform::DebugHandler> debug_;
    Client& client_;
    Kiln::Ptr<Loom::Task> task_;
    Kiln::Ptr<Kiln::AttributeWatcher> watcher_;  // runs a slice when the task runs
    Mode mode_ = sync;
    bool done_ = true;
    bool syncPending_ = false;
    bool notifying_ = false;
    double yieldTime_ = 0.05;
    std::uint32_t next_ = 0;        // next slot of a resync or flush
    std::uint64_t resyncFrom_ = 0;  // the writer's sequence a resync started at
    std::uint64_t sequence_ = 0;    // last notification applied
    std::uint64_t passes_ = 0;
};

}  // namespace Hoard
