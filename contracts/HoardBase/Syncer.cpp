#include "contracts/HoardBase/Syncer.h"

#include "contracts/Kiln/System.h"

namespace Hoard {

Syncer::Syncer(std::shared_ptr<Basalt::Platform::DebugHandler> debug, Client& client)
    : debug_(std::move(debug)), client_(client) {
    task_ = new Loom::Task(Loom::TaskSchedulerRoot::findOrCreateScheduler(), Loom::TaskPriority(0),
                           "Hoard::Syncer");
    watcher_ = new Kiln::AttributeWatcher(task_.ptr(), Loom::Task::runAttribute, [this] { run(); });
}

Syncer::~Syncer() {
    // The task may still be queued on its scheduler: it must reach nobody.
    watcher_->cancel();
}

const char* Syncer::modeText(Mode mode) {
    switch (mode) {
        case sync:
            return "sync";
        case resync:
            return "resync";
        case flush:
            return "flush";
    }
    return "unknown";
}

void Syncer::start(Mode mode, bool async) {
    BASALT_TRACE(debug_, 5,
                 "Syncer::start() mode:" << modeText(mode) << " async:" << async
                                         << " replacing:" << modeText(mode_) << " done:" << done_);
    if (mode == sync && !done_) {
        syncPending_ = true;
        return;
    }
    if (mode == flush) syncPending_ = false;
    mode_ = mode;
    done_ = false;
    next_ = 0;
    if (mode == resync) resyncFrom_ = client_.writerSequence();
    ++passes_;
    if (async) {
        task_->scheduleTask();
    } else {
        finishNow();
    }
}

void Syncer::syncRequest() { start(sync, true); }

void Syncer::finishNow() {
    while (!done_) step(true);
}

void Syncer::run() {
    if (done_) return;
    if (!step(false)) task_->scheduleTask();
}

bool Syncer::step(bool unbounded) {
    const Kiln::Seconds sliceEnd = Kiln::System::monotonicTime() + yieldTime_;
    // The slice is checked every `batch` slots: reading the clock costs more than a slot.
    constexpr std::uint32_t batch = 64;
    auto sliceOver = [&] { return !unbounded && Kiln::System::monotonicTime() >= sliceEnd; };
    switch (mode_) {
        case resync: {
            for (;;) {
                const std::uint32_t end = client_.resyncSlots();
                const std::uint32_t stop = next_ + batch < end ? next_ + batch : end;
                for (; next_ < stop; ++next_) client_.doSlot(next_, noSequence, true);
                if (next_ >= end) break;
                if (sliceOver()) return false;
            }
            sequence_ = resyncFrom_;
            client_.resyncDone(sequence_);
            done_ = true;
            client_.syncComplete();
            // What the writer queued while the slots were re-read follows as a sync pass.
            if (done_) start(sync, !unbounded);
            return done_;
        }
        case sync: {
            for (;;) {
                const int status = client_.applyNotifications(unbounded ? 4096 : batch * 16);
                if (status == 2) {
                    BASALT_TRACE(debug_, 2, "Syncer::step() resynchronising");
                    done_ = true;
                    start(resync, !unbounded);
                    return done_;
                }
                if (status == 0) break;
                if (sliceOver()) return false;
            }
            done_ = true;
            if (syncPending_) {
                syncPending_ = false;
                start(sync, !unbounded);
            }
            return done_;
        }
        case flush: {
            for (;;) {
                const std::uint32_t end = client_.flushSlots();
                const std::uint32_t stop = next_ + batch < end ? next_ + batch : end;
                for (; next_ < stop; ++next_) client_.doFlushSlot(next_);
                if (next_ >= end) break;
                if (sliceOver()) return false;
            }
            done_ = true;
            client_.flushComplete();
            return true;
        }
    }
    return true;
}

}  // namespace Hoard
