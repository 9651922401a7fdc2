#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "contracts/Basalt/DebugHandler.h"
#include "contracts/Herald/HeraldReader.h"
#include "contracts/HoardBase/Syncer.h"
#include "contracts/Kick/ReaderKickSm.h"
#include "contracts/Kiln/AttributeWatcher.h"
#include "contracts/Kiln/Ptr.h"
#include "contracts/Loom/Task.h"
#include "contracts/Mem/RootPath.h"

namespace Hoard {

// What every shadow has besides its copy: the reader of the table's notification queue, the
// Syncer that applies it, and the wake-up that says when to look: the writer's doorbell (the
// table socket its owner file names), or a poll timer when the doorbell cannot be reached. The
// doorbell closing is the writer's disconnect. The template shadow supplies the slot work
// (Syncer::Client's doSlot, doFlushSlot, slot counts and completions) and handleDisconnect().
//
// Thread safety: the thread that initialised the shadow only (it serves a Loom loop, on which
// the Syncer's task and the wake-ups run). The queue file is only read.
class HoardShadowBase : public Syncer::Client {
  public:
    // How often the queue is looked at when no doorbell rings.
    static constexpr double pollInterval = 0.01;
    // Poll ticks between attempts to reach the doorbell again.
    static constexpr std::uint64_t reconnectTicks = 10;

    HoardShadowBase(std::shared_ptr<Basalt::Platform::DebugHandler> debug,
                    const Mem::RootPath& rootPath, unsigned options);
    ~HoardShadowBase() override;
    HoardShadowBase(const HoardShadowBase&) = delete;
    HoardShadowBase& operator=(const HoardShadowBase&) = delete;

    // Starts a resynchronisation from the table.
    virtual void resync();
    // After a completed synchronisation: wake-ups on (the doorbell, else the poll timer).
    virtual void maybeEnableHerald();
    // A wake-up: apply what the writer queued since.
    virtual void syncFromHerald();
    // The writer's side of the doorbell went away.
    virtual void handleDisconnect() = 0;

    Herald::HeraldReader<std::uint32_t>& heraldReader() { return herald_; }
    Syncer& syncer() { return syncer_; }
    unsigned options() const { return options_; }
    // The sequence of the last notification applied.
    std::uint64_t shadowSequence() const { return shadowSequence_; }
    void shadowSequenceIs(std::uint64_t s) { shadowSequence_ = s; }
    // True while the writer's doorbell is connected.
    bool kickConnected() const { return kick_ && kick_->connected(); }

    // Syncer::Client: the queue side.
    std::uint64_t writerSequence() override { return herald_.writerSequence(); }
    int applyNotifications(std::size_t budget) override;
    void resyncDone(std::uint64_t sequence) override;

  protected:
    bool initializeHerald();
    // Wake-ups off, the queue reader detached and its position forgotten.
    void detachHerald();

  private:
    // Forwards the doorbell's events.
    struct KickNotifiee : Kick::ReaderKickSm::Notifiee {
        explicit KickNotifiee(HoardShadowBase* owner) : owner(owner) {}
        void onKick() override { owner->syncFromHerald(); }
        void onDisconnect() override {
            // Until the writer is back on its doorbell, the queue is polled (the reader sentry
            // may find the same writer alive and keep the shadow attached).
            owner->armPollTimer();
            owner->handleDisconnect();
        }
        HoardShadowBase* owner;
    };
    void armPollTimer();
    // Connects the writer's doorbell named in the owner file; true when it rings from now on.
    bool connectDoorbell();

    std::shared_ptr<Basalt::Platform::DebugHandler> debug_;
    const unsigned options_;
    Herald::HeraldReader<std::uint32_t> herald_;
    Syncer syncer_;
    Kiln::Ptr<Loom::TimerTask> pollTimer_;
    Kiln::Ptr<Kiln::AttributeWatcher> pollWatcher_;  // a poll tick when the timer fires
    Mem::RootPath rootPath_;
    KickNotifiee kickNotifiee_{this};
    std::unique_ptr<Kick::ReaderKickSm> kick_;
    bool wakeUpsOn_ = false;
    std::uint64_t shadowSequence_ = 0;
    std::uint64_t pollTicks_ = 0;
};

}  // namespace Hoard
