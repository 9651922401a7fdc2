#include "contracts/HoardBase/HoardShadowBase.h"

#include "contracts/Basalt/Exception.h"
#include "contracts/SharedMem/OwnerFile.h"

namespace Hoard {

HoardShadowBase::HoardShadowBase(std::shared_ptr<Basalt::Platform::DebugHandler> debug,
                                 const Mem::RootPath& rootPath, unsigned options)
    : debug_(std::move(debug)),
      options_(options),
      herald_(debug_, rootPath),
      syncer_(debug_, *this),
      rootPath_(rootPath) {}

HoardShadowBase::~HoardShadowBase() {
    kick_.reset();
    if (pollWatcher_) pollWatcher_->cancel();
}

bool HoardShadowBase::initializeHerald() {
    if (herald_.attached()) return true;
    if (!herald_.attach()) {
        BASALT_TRACE(debug_, 1, "HoardShadowBase::initializeHerald() failed: " << herald_.reason());
        return false;
    }
    return true;
}

void HoardShadowBase::detachHerald() {
    wakeUpsOn_ = false;
    if (kick_) kick_->onDetach();
    if (pollTimer_) pollTimer_->firingDel();
    herald_.detach();
    shadowSequence_ = 0;
}

void HoardShadowBase::resync() { syncer_.start(Syncer::resync, true); }

void HoardShadowBase::maybeEnableHerald() {
    if (wakeUpsOn_ || !herald_.attached()) return;
    wakeUpsOn_ = true;
    const bool rung = connectDoorbell();
    BASALT_TRACE(debug_, 2,
                 "HoardShadowBase::maybeEnableHerald() " << rootPath_ << " doorbell:" << rung);
    // A change between the pass that just ended and the connection rang no bell: look once.
    syncer_.syncRequest();
    if (!rung) armPollTimer();
}

bool HoardShadowBase::connectDoorbell() {
    Loom::EventLoop* loop = syncer_.task()->taskScheduler()->eventLoop();
    if (loop && !kick_) kick_ = std::make_unique<Kick::ReaderKickSm>(&kickNotifiee_, loop);
    if (!kick_) return false;
    try {
        return kick_->connect(SharedMem::OwnerFile(debug_, rootPath_, false).shocketInfo());
    } catch (const Basalt::CorruptionDetectedException& e) {
        BASALT_TRACE(debug_, 1, "HoardShadowBase::connectDoorbell() owner file: " << e.what());
        return false;
    }
}

void HoardShadowBase::armPollTimer() {
    if (!pollTimer_) {
        pollTimer_ = new Loom::TimerTask(syncer_.task()->taskScheduler(), Loom::TaskPriority(0),
                                         "Hoard::HoardShadowBase::poll");
        pollWatcher_ = new Kiln::AttributeWatcher(pollTimer_.ptr(), Loom::Task::runAttribute,
                                                  [this] { syncFromHerald(); });
    }
    pollTimer_->scheduleTaskLowestDelay(pollInterval);
}

void HoardShadowBase::syncFromHerald() {
    if (!wakeUpsOn_) return;
    // Every tenth poll tick also tries the doorbell again (a writer that came back), which reads
    // the owner file; a connection made now rings for every later change, and this pass covers
    // the earlier ones.
    if (!kickConnected() && (++pollTicks_ % reconnectTicks != 0 || !connectDoorbell())) {
        armPollTimer();
    }
    syncer_.syncRequest();
}

int HoardShadowBase::applyNotifications(std::size_t budget) {
    bool failed = false;
    const auto status = herald_.poll(
        [&](std::uint32_t slot, std::uint64_t sequence, bool /*tombstone*/) {
            if (!doSlot(slot, sequence, false)) failed = true;
        },
        budget);
    using Status = Herald::HeraldReader<std::uint32_t>::PollStatus;
    if (failed || status == Status::lapped || status == Status::swapped ||
        status == Status::detached) {
        BASALT_TRACE(debug_, 2,
                     "HoardShadowBase::applyNotifications() resync needed, failed:"
                         << failed << " status:" << static_cast<int>(status));
        if (status == Status::swapped) {
            herald_.detach();
            if (!herald_.attach()) return 0;  // the writer is gone; the sentry will tell
        }
        return status == Status::detached ? 0 : 2;
    }
    shadowSequence_ = herald_.position();
    return status == Status::more ? 1 : 0;
}

void HoardShadowBase::resyncDone(std::uint64_t sequence) {
    herald_.positionIs(sequence);
    shadowSequence_ = sequence;
}

}  // namespace Hoard
