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
    // Visits the slots from next_ up to end() (asked again per batch: the table may change size
    // meanwhile); false when the slice ran out first.
    auto walkSlots = [&](auto end, auto visit) {
        for (;;) {
            const std::uint32_t last = end();
            const std::uint32_t stop = next_ + batch < last ? next_ + batch : last;
            for (; next_ < stop; ++next_) visit(next_);
            if (next_ >= last) return true;
            if (sliceOver()) return false;
        }
    };
    switch (mode_) {
        case resync: {
            if (!walkSlots([&] { return client_.resyncSlots(); },
                           [&](std::uint32_t i) { client_.doSlot(i, noSequence, true); })) {
                return false;
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
            if (!walkSlots([&] { return client_.flushSlots(); },
                           [&](std::uint32_t i) { client_.doFlushSlot(i); })) {
                return false;
            }
            done_ = true;
            client_.flushComplete();
            return true;
        }
    }
    return true;
}

}  // namespace Hoard
