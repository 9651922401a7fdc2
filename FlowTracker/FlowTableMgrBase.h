#pragma once

// The flow-table manager: the thread base that drains sampled packets into per-tracker state
// machines and keeps the counters, the base of those state machines, and the test manager.

#include <array>
#include <cstdint>
#include <vector>

#include "FlowTracker/FlowTableTypes.h"
#include "FlowTracker/FtCounters.h"
#include "FlowTracker/PacketTypes.h"
#include "contracts/Config/FlowTrackingConfig.h"
#include "contracts/Config/FtId.h"
#include "contracts/Config/HwFlowTrackingConfig.h"
#include "contracts/Config/TemplateId.h"
#include "contracts/Kiln/AllocTrack.h"
#include "contracts/Kiln/KilnType.h"
#include "contracts/Kiln/Notifiee.h"
#include "contracts/Kiln/Ptr.h"
#include "contracts/Kiln/String.h"
#include "contracts/Kiln/System.h"
#include "contracts/Loom/EventLoop.h"
#include "contracts/Loom/EventLoopHeartBeatCtx.h"
#include "contracts/Loom/EventLoopThread.h"
#include "contracts/Loom/EventSpscQueue.h"
#include "contracts/Loom/FifoEvent.h"
#include "contracts/Loom/Task.h"

namespace FlowTracking {

using U64 = std::uint64_t;

// A hook the derived class must provide was called: prints "<className>::<hook>", the flight
// recorder's lines and the assertion "0 && \"Implement in derived class\"", then aborts.
[[noreturn]] void implementInDerivedClass(const char* className, const char* hook);

// A watcher of one notifier on behalf of an owner: it holds the notifier counted (the notifier's
// list holds the reactor counted too, so drop() breaks that cycle) and a plain back pointer to
// its owner, which the owner clears when it lets the reactor go. A reactor marked as a zombie
// (the deletion mark) or without an owner calls nothing.
//
// Thread safety: the owner's thread only.
template <class Notifier, class Owner>
class KilnReactor : public Kiln::PtrInterface::NotifieeConst {
  public:
    using NotifierType = Notifier;

    const Kiln::Ptr<Notifier>& notifierRef() const { return notifier_; }
    // The owner to call, or null for a zombie or orphaned reactor.
    Owner* live() const { return kilnMarkedForDeletion() ? nullptr : owner_; }
    void kilnDoZombieReactors(bool zombie) { kilnMarkedForDeletionIs(zombie); }

    // Becomes a zombie without an owner, leaves the notifier's list and releases the notifier.
    void drop() {
        kilnMarkedForDeletionIs(true);
        owner_ = nullptr;
        hasNotificationActiveIs(false);
        if (isRegisteredNotifiee()) isRegisteredNotifieeIs(false);
        notifier_ = nullptr;
    }

    // Makes a reactor of type R watching `notifier` (registered, notification on). Attaching
    // here runs no handler.
    template <class R, class... Args>
    static Kiln::Ptr<R> make(Owner* owner, Kiln::Ptr<Notifier> notifier, Args&&... args) {
        Kiln::Ptr<R> reactor(new R(owner, std::forward<Args>(args)...));
        reactor->notifier_ = std::move(notifier);
        reactor->notifierIs(reactor->notifier_.ptr());
        if (reactor->notifier_ && reactor->notifier_->notifieeList()) {
            reactor->isRegisteredNotifieeIs(true);
        }
        reactor->hasNotificationActiveIs(true);
        return reactor;
    }

  protected:
    explicit KilnReactor(Owner* owner) : owner_(owner) {}

  private:
    Owner* owner_;
    Kiln::Ptr<Notifier> notifier_;
};

// The notifier the reactor in `slot` watches, or null.
template <class R>
Kiln::Ptr<typename R::NotifierType> reactorNotifier(const Kiln::Ptr<R>& slot) {
    return slot ? slot->notifierRef() : nullptr;
}

// Drops the reactor in `slot`, if any, and returns the notifier it watched.
template <class R>
Kiln::Ptr<typename R::NotifierType> dropReactor(Kiln::Ptr<R>& slot) {
    Kiln::Ptr<typename R::NotifierType> notifier = reactorNotifier(slot);
    if (slot) std::exchange(slot, nullptr)->drop();
    return notifier;
}

// How an owner installs the task (or timer task) one of its reactors runs: the installed task
// when scheduler (same object), priority and name match; otherwise a reactor from `make` on a
// new task, given the owner's zombie state, with the replaced reactor marked a zombie, then
// `firstRun`, then the replaced reactor dropped and the new task's notification on.
template <class R, class Make, class FirstRun>
Kiln::Ptr<typename R::NotifierType> reinstallTask(Kiln::Ptr<R>& slot, bool ownerZombie,
                                                  const Kiln::Ptr<Loom::TaskScheduler>& scheduler,
                                                  Loom::TaskPriority priority,
                                                  const Kiln::String& name, Make&& make,
                                                  FirstRun&& firstRun) {
    using Task = typename R::NotifierType;
    if (slot) {
        const Kiln::Ptr<Task>& installed = slot->notifierRef();
        if (installed->taskScheduler() == scheduler && installed->taskPriority() == priority &&
            installed->taskName() == name.stdString()) {
            return installed;
        }
    }
    Kiln::Ptr<R> reactor = make(Kiln::Ptr<Task>(new Task(scheduler, priority, name.stdString())));
    Kiln::Ptr<R> replaced = std::exchange(slot, reactor);
    reactor->kilnDoZombieReactors(ownerZombie);
    if (replaced) replaced->kilnDoZombieReactors(true);
    firstRun();
    if (replaced) replaced->drop();
    Kiln::Ptr<Task> task = reactor->notifierRef();
    task->hasNotificationActiveIs(true);
    return task;
}

// The base of the state machine of one flow tracker, run by the manager thread: the tracker's
// configuration (watched: a change of a period re-arms that period's timers once the derived
// machine is initialized), four aging timers, the bookkeeping of the aging scans and the rule
// that turns a finished scan into the delay before the next one, and the counter updates.
// What a packet or a scan step does is the derived class's (hooks).
//
// Thread safety: the manager's thread only; timers and configuration changes arrive there.
class FlowTableMgrSmBase : public Kiln::PtrInterface, public Kiln::TrackedAllocation {
  public:
    // The type record; registered when the library loads.
    static Kiln::KilnType _kilnType;
    const Kiln::KilnType* fwkType() const override { return &_kilnType; }
    static Kiln::AllocTrackTypeInfo allocTrackTypeInfo;

    // Reacts to the tracker's configuration: its inactive timeout and active interval.
    class KilnFtConfig : public KilnReactor<const HwFlowTracking::FtConfig, FlowTableMgrSmBase> {
      public:
        explicit KilnFtConfig(FlowTableMgrSmBase* owner) : KilnReactor(owner) {}
        void onAttribute(Kiln::AttributeId attributeId) override;
    };
    // Runs one aging timer's handler when the timer fires.
    class KilnTimerTask : public KilnReactor<Loom::TimerTask, FlowTableMgrSmBase> {
      public:
        KilnTimerTask(FlowTableMgrSmBase* owner, void (FlowTableMgrSmBase::*handler)())
            : KilnReactor(owner), handler_(handler) {}
        void onAttribute(Kiln::AttributeId attributeId) override;

      private:
        void (FlowTableMgrSmBase::*const handler_)();
    };

    FlowTableMgrSmBase(Kiln::String ftrTypeStr, FtId ftId,
                       const Kiln::Ptr<const HwFlowTracking::FtConfig>& ftConfig,
                       const Kiln::Ptr<Loom::EventSpscQueue>& exporterQueue,
                       const Kiln::Ptr<Loom::TaskSchedulerRoot>& scheduler, Kiln::String sysname,
                       const Kiln::Ptr<Hoard::FlowTracker::FtCounters>& counters);
    ~FlowTableMgrSmBase() override;

    const Kiln::String& ftrTypeStr() const { return ftrTypeStr_; }
    FtId ftId() const { return ftId_; }
    Kiln::Ptr<const HwFlowTracking::FtConfig> ftConfig() const {
        return reactorNotifier(ftConfigReactor_);
    }
    const Kiln::Ptr<Loom::EventSpscQueue>& exporterQueue() const { return exporterQueue_; }
    const Kiln::Ptr<Loom::TaskSchedulerRoot>& scheduler() const { return scheduler_; }
    const Kiln::String& sysname() const { return sysname_; }
    const Kiln::Ptr<Hoard::FlowTracker::FtCounters>& counters() const { return counters_; }

    // Switches notification of the machine and of its reactors (configuration first, then the
    // four timers); setting the value it has changes nothing.
    void hasNotificationActiveIs(bool on);

    // The configured periods in seconds (the configuration holds milliseconds). They need the
    // configuration: not after ftConfigDel().
    Kiln::Seconds activeInterval() const;
    virtual Kiln::Seconds inactiveTimeout() const;

    // Re-arm the timers of one kind with the full period (IPv4 first), once initialized.
    virtual void handleActiveInterval();
    virtual void handleInactiveTimeout();

    // Closes the running scan of kind `active` for template `fgId` (records its duration, marks
    // no scan running) and returns the delay before the next one: the period minus the scan's
    // duration, never below 0, also when the wall clock was stepped back during the scan.
    Kiln::Seconds computeTimeDelay(bool active, TemplateId fgId);

    // Scan-time bookkeeping of the derived class (hooks).
    virtual Kiln::Seconds maxScanDuration(bool active, TemplateId fgId) const;
    virtual void updateMaxScanDuration(bool active, TemplateId fgId, const Kiln::Seconds& scanTime);
    virtual void updateLastScanDuration(bool active, TemplateId fgId,
                                        const Kiln::Seconds& scanTime);
    virtual Kiln::Seconds currScanStartTime(bool active, TemplateId fgId) const;
    virtual void updateCurrScanStartTime(bool active, TemplateId fgId,
                                         const Kiln::Seconds& scanTime);

    // One step of an aging scan, run when its timer fires (hooks).
    virtual void handleActiveTimer();
    virtual void handleInactiveTimer();
    virtual void handleIp6ActiveTimer();
    virtual void handleIp6InactiveTimer();
    // Applies one sampled packet to the tracker's flows (hook).
    virtual void updateFlowEntry(const Kiln::Ptr<PacketInfo>& pi);

    virtual bool initialized() const { return initialized_; }
    virtual void initializedIs(bool v) { initialized_ = v; }
    // Trace only; a derived class extends them.
    virtual void handleInitialized();
    virtual void doCleanup();

    // Adds a tracker's work to the counter of its flow group and to the overall counter.
    void updateCounters(FtId ftId, TemplateId fgId, const U64& packets, const U64& flows,
                        const U64& expiredFlows);

    // The four aging timers. `<timer>Is` returns the installed timer when scheduler, priority and
    // name match; otherwise it installs a new one, runs its handler once, and returns it.
    const Kiln::Ptr<Loom::TimerTask>& activeTimerTask() const { return timerTask(active4); }
    const Kiln::Ptr<Loom::TimerTask>& inactiveTimerTask() const { return timerTask(inactive4); }
    const Kiln::Ptr<Loom::TimerTask>& ip6ActiveTimerTask() const { return timerTask(active6); }
    const Kiln::Ptr<Loom::TimerTask>& ip6InactiveTimerTask() const { return timerTask(inactive6); }
    virtual void activeTimerTaskDel() { timerTaskDel(active4); }
    virtual Kiln::Ptr<Loom::TimerTask> activeTimerTaskIs(
        const Kiln::Ptr<Loom::TaskScheduler>& taskScheduler, Loom::TaskPriority taskPriority,
        Kiln::String taskName) {
        return timerTaskIs(active4, taskScheduler, taskPriority, std::move(taskName));
    }
    virtual void inactiveTimerTaskDel() { timerTaskDel(inactive4); }
    virtual Kiln::Ptr<Loom::TimerTask> inactiveTimerTaskIs(
        const Kiln::Ptr<Loom::TaskScheduler>& taskScheduler, Loom::TaskPriority taskPriority,
        Kiln::String taskName) {
        return timerTaskIs(inactive4, taskScheduler, taskPriority, std::move(taskName));
    }
    virtual void ip6ActiveTimerTaskDel() { timerTaskDel(active6); }
    virtual Kiln::Ptr<Loom::TimerTask> ip6ActiveTimerTaskIs(
        const Kiln::Ptr<Loom::TaskScheduler>& taskScheduler, Loom::TaskPriority taskPriority,
        Kiln::String taskName) {
        return timerTaskIs(active6, taskScheduler, taskPriority, std::move(taskName));
    }
    virtual void ip6InactiveTimerTaskDel() { timerTaskDel(inactive6); }
    virtual Kiln::Ptr<Loom::TimerTask> ip6InactiveTimerTaskIs(
        const Kiln::Ptr<Loom::TaskScheduler>& taskScheduler, Loom::TaskPriority taskPriority,
        Kiln::String taskName) {
        return timerTaskIs(inactive6, taskScheduler, taskPriority, std::move(taskName));
    }

    // Stops watching the configuration and returns it.
    Kiln::Ptr<const HwFlowTracking::FtConfig> ftConfigDel();
    // Marks (or unmarks) the reactors as zombies, the machine's own state first.
    virtual void kilnDoZombieReactors(bool zombie);

    // Plain attributes the base only stores.
    Kiln::Seconds exporterQueueDelay() const { return exporterQueueDelay_; }
    void exporterQueueDelayIs(Kiln::Seconds v) { exporterQueueDelay_ = v; }
    Kiln::Seconds currActiveTimerStartTime() const { return currTimerStartTime_[active4]; }
    void currActiveTimerStartTimeIs(Kiln::Seconds v) { currTimerStartTime_[active4] = v; }
    Kiln::Seconds currInactiveTimerStartTime() const { return currTimerStartTime_[inactive4]; }
    void currInactiveTimerStartTimeIs(Kiln::Seconds v) { currTimerStartTime_[inactive4] = v; }
    Kiln::Seconds currIp6ActiveTimerStartTime() const { return currTimerStartTime_[active6]; }
    void currIp6ActiveTimerStartTimeIs(Kiln::Seconds v) { currTimerStartTime_[active6] = v; }
    Kiln::Seconds currIp6InactiveTimerStartTime() const { return currTimerStartTime_[inactive6]; }
    void currIp6InactiveTimerStartTimeIs(Kiln::Seconds v) { currTimerStartTime_[inactive6] = v; }
    const IpFlowKey& ftActiveBookmark() const { return ftActiveBookmark_; }
    void ftActiveBookmarkIs(const IpFlowKey& v) { ftActiveBookmark_ = v; }
    const Ip6FlowKey& ft6ActiveBookmark() const { return ft6ActiveBookmark_; }
    void ft6ActiveBookmarkIs(const Ip6FlowKey& v) { ft6ActiveBookmark_ = v; }
    const IpFlowKey& ftInactiveBookmark() const { return ftInactiveBookmark_; }
    void ftInactiveBookmarkIs(const IpFlowKey& v) { ftInactiveBookmark_ = v; }
    const Ip6FlowKey& ft6InactiveBookmark() const { return ft6InactiveBookmark_; }
    void ft6InactiveBookmarkIs(const Ip6FlowKey& v) { ft6InactiveBookmark_ = v; }
    std::uint32_t maxFlowTableEntries() const { return maxFlowTableEntries_; }
    void maxFlowTableEntriesIs(std::uint32_t v) { maxFlowTableEntries_ = v; }
    Kiln::Seconds maxActiveScanDuration() const { return maxScan_[active4]; }
    void maxActiveScanDurationIs(Kiln::Seconds v) { maxScan_[active4] = v; }
    Kiln::Seconds maxIp6ActiveScanDuration() const { return maxScan_[active6]; }
    void maxIp6ActiveScanDurationIs(Kiln::Seconds v) { maxScan_[active6] = v; }
    Kiln::Seconds maxInactiveScanDuration() const { return maxScan_[inactive4]; }
    void maxInactiveScanDurationIs(Kiln::Seconds v) { maxScan_[inactive4] = v; }
    Kiln::Seconds maxIp6InactiveScanDuration() const { return maxScan_[inactive6]; }
    void maxIp6InactiveScanDurationIs(Kiln::Seconds v) { maxScan_[inactive6] = v; }
    Kiln::Seconds lastActiveScanDuration() const { return lastScan_[active4]; }
    void lastActiveScanDurationIs(Kiln::Seconds v) { lastScan_[active4] = v; }
    Kiln::Seconds lastIp6ActiveScanDuration() const { return lastScan_[active6]; }
    void lastIp6ActiveScanDurationIs(Kiln::Seconds v) { lastScan_[active6] = v; }
    Kiln::Seconds lastInactiveScanDuration() const { return lastScan_[inactive4]; }
    void lastInactiveScanDurationIs(Kiln::Seconds v) { lastScan_[inactive4] = v; }
    Kiln::Seconds lastIp6InactiveScanDuration() const { return lastScan_[inactive6]; }
    void lastIp6InactiveScanDurationIs(Kiln::Seconds v) { lastScan_[inactive6] = v; }

  private:
    enum Timer { active4, inactive4, active6, inactive6, timerCount };

    const Kiln::Ptr<Loom::TimerTask>& timerTask(Timer t) const;
    Kiln::Ptr<Loom::TimerTask> timerTaskIs(Timer t,
                                           const Kiln::Ptr<Loom::TaskScheduler>& taskScheduler,
                                           Loom::TaskPriority taskPriority, Kiln::String taskName);
    void timerTaskDel(Timer t);
    void rearm(Timer ip4, Timer ip6, Kiln::Seconds period);
    // The reactors in the order notification and zombie state pass to them (those that exist).
    std::vector<Kiln::PtrInterface*> reactors() const;

    const Kiln::String ftrTypeStr_;
    const FtId ftId_;
    Kiln::Ptr<KilnFtConfig> ftConfigReactor_;
    Kiln::Ptr<Loom::EventSpscQueue> exporterQueue_;
    Kiln::Ptr<Loom::TaskSchedulerRoot> scheduler_;
    Kiln::String sysname_;
    Kiln::Ptr<Hoard::FlowTracker::FtCounters> counters_;
    Kiln::Seconds exporterQueueDelay_ = 0.001;
    std::array<Kiln::Ptr<KilnTimerTask>, timerCount> timers_;
    std::array<Kiln::Seconds, timerCount> currTimerStartTime_{};
    IpFlowKey ftActiveBookmark_{};
    Ip6FlowKey ft6ActiveBookmark_{};
    IpFlowKey ftInactiveBookmark_{};
    Ip6FlowKey ft6InactiveBookmark_{};
    std::uint32_t maxFlowTableEntries_ = 153600;
    std::array<Kiln::Seconds, timerCount> maxScan_{};
    std::array<Kiln::Seconds, timerCount> lastScan_{};
    bool initialized_ = false;
};

Kiln::Ptr<FlowTableMgrSmBase> flowTableMgrSmBaseFactory(
    Kiln::String ftrTypeStr, FtId ftId, const Kiln::Ptr<const HwFlowTracking::FtConfig>& ftConfig,
    const Kiln::Ptr<Loom::EventSpscQueue>& exporterQueue,
    const Kiln::Ptr<Loom::TaskSchedulerRoot>& scheduler, Kiln::String sysname,
    const Kiln::Ptr<Hoard::FlowTracker::FtCounters>& counters);

// The flow-table manager, one per agent, served by an event-loop thread (its own, or the
// agent's main loop). It owns the task "taskFtInputReq" that drains the queue of sampled packets
// into the derived manager's state machines, the watch on that queue's FIFO event, the
// scheduler its tasks run on, and the counters entity, which it creates and empties when it
// starts; it tells the derived manager about each tracker configured, changed or removed, and
// clears counters on request. Which state machine a packet goes to is the derived class's.
//
// Thread safety: everything runs on the serving thread, including configuration and request
// changes (other threads post them to the loop). The input queue is the only structure another
// thread (the sampler) touches. Counted references cross threads: switch thread-safe pointers
// on before starting a thread of its own. Stop and join that thread before the last reference
// goes: the thread's end calls doDelSm(), which is the derived class's.
class FlowTableMgrThreadBase : public Loom::EventLoopThread, public Kiln::TrackedAllocation {
  public:
    // The type record; registered when the library loads.
    static Kiln::KilnType _kilnType;
    const Kiln::KilnType* fwkType() const override { return &_kilnType; }
    static Kiln::AllocTrackTypeInfo allocTrackTypeInfo;

    // Keeps the hardware configuration referenced; a keyed entry change calls handleFtConfig.
    class KilnHwConfig : public KilnReactor<const HwFlowTracking::Config, FlowTableMgrThreadBase> {
      public:
        explicit KilnHwConfig(FlowTableMgrThreadBase* owner) : KilnReactor(owner) {}
        void onAttribute(Kiln::AttributeId attributeId, const void* key) override;
    };
    // Only keeps the flow-tracking configuration referenced.
    class KilnFlowTrackingConfig : public KilnReactor<const Config, FlowTableMgrThreadBase> {
      public:
        explicit KilnFlowTrackingConfig(FlowTableMgrThreadBase* owner) : KilnReactor(owner) {}
    };
    // A clear-counters request calls clearCounters.
    class KilnFlowTrackingConfigReq : public KilnReactor<const ConfigReq, FlowTableMgrThreadBase> {
      public:
        explicit KilnFlowTrackingConfigReq(FlowTableMgrThreadBase* owner) : KilnReactor(owner) {}
        void onAttribute(Kiln::AttributeId attributeId) override;
    };
    // The input queue's FIFO event turning readable schedules the input task.
    class KilnFtInputQueueEvent : public KilnReactor<Loom::FifoEvent, FlowTableMgrThreadBase> {
      public:
        explicit KilnFtInputQueueEvent(FlowTableMgrThreadBase* owner) : KilnReactor(owner) {}
        void onAttribute(Kiln::AttributeId attributeId) override;
    };
    // A run of the input task reads the queue.
    class KilnTask : public KilnReactor<Loom::Task, FlowTableMgrThreadBase> {
      public:
        explicit KilnTask(FlowTableMgrThreadBase* owner) : KilnReactor(owner) {}
        void onAttribute(Kiln::AttributeId attributeId) override;
    };

    FlowTableMgrThreadBase(Kiln::Name name, const Kiln::Ptr<Loom::EventLoop>& evLoop,
                           Kiln::String ftrTypeStr,
                           const Kiln::Ptr<Loom::EventLoopHeartBeatCtx>& hbCtx,
                           const Kiln::Ptr<Loom::TaskSchedulerRoot>& mainThreadScheduler,
                           const Kiln::Ptr<Loom::EventSpscQueue>& ftInputQueue,
                           const Kiln::Ptr<Loom::EventSpscQueue>& exporterQueue,
                           const Kiln::Ptr<const HwFlowTracking::Config>& hwConfig,
                           const Kiln::Ptr<const Config>& flowTrackingConfig,
                           const Kiln::Ptr<const ConfigReq>& flowTrackingConfigReq,
                           Kiln::String sysname);
    ~FlowTableMgrThreadBase() override;

    const Kiln::String& ftrTypeStr() const { return ftrTypeStr_; }
    const Kiln::Ptr<Loom::EventLoopHeartBeatCtx>& hbCtx() const { return hbCtx_; }
    const Kiln::Ptr<Loom::TaskSchedulerRoot>& mainThreadScheduler() const {
        return mainThreadScheduler_;
    }
    const Kiln::Ptr<Loom::EventSpscQueue>& ftInputQueue() const { return ftInputQueue_; }
    const Kiln::Ptr<Loom::EventSpscQueue>& exporterQueue() const { return exporterQueue_; }
    Kiln::Ptr<const HwFlowTracking::Config> hwConfig() const {
        return reactorNotifier(hwConfigReactor_);
    }
    Kiln::Ptr<const Config> flowTrackingConfig() const {
        return reactorNotifier(flowTrackingConfigReactor_);
    }
    Kiln::Ptr<const ConfigReq> flowTrackingConfigReq() const {
        return reactorNotifier(flowTrackingConfigReqReactor_);
    }
    const Kiln::String& sysname() const { return sysname_; }
    Kiln::Ptr<Loom::FifoEvent> ftInputQueueEvent() const {
        return reactorNotifier(ftInputQueueEventReactor_);
    }
    const Kiln::Ptr<Loom::TaskSchedulerRoot>& scheduler() const { return scheduler_; }
    Kiln::Ptr<Loom::Task> task() const { return reactorNotifier(taskReactor_); }
    const Kiln::Ptr<Hoard::FlowTracker::FtCounters>& counters() const { return counters_; }
    // Descriptors taken from the input queue that were not packets: dropped, counted here and
    // not as processed work.
    std::uint64_t droppedDescriptors() const { return droppedDescriptors_; }

    void hasNotificationActiveIs(bool on);

    // Starts the manager on the serving thread: scheduler, input task, queue watch, counters
    // created and emptied, then handleFtConfig for each configured tracker.
    void doInitSm() override;
    // Hooks of the derived manager.
    void doDelSm() override;
    virtual Kiln::String countersPath();
    virtual bool flowTableMgrSmExists(FtId ftId);
    virtual void updateflowTableSmFlowEntry(const Kiln::Ptr<PacketInfo>& pi);
    virtual void handleFtConfig(Kiln::String ftName);

    virtual void kilnDoZombieReactors(bool zombie);

    // Watches `event` (null: stops watching). A new event is watched on the scheduler's loop and
    // runs the readable-count handler once, so packets already queued are read.
    virtual void ftInputQueueEventIs(const Kiln::Ptr<Loom::FifoEvent>& event);
    virtual void ftInputQueueEventDel() { ftInputQueueEventIs(nullptr); }
    // Returns the input task when scheduler, priority and name match; otherwise installs a new
    // one and reads the queue once.
    virtual Kiln::Ptr<Loom::Task> taskIs(const Kiln::Ptr<Loom::TaskScheduler>& taskScheduler,
                                         Loom::TaskPriority taskPriority, Kiln::String taskName);
    virtual void taskDel();

    // One run of the input task: hands packets over until the queue is empty or the task should
    // yield (then it asks for another run).
    void doReadFtInputQueue();
    void kiln_handleFtInputQueueEvent_readableCount();
    // Carries out the clear-counters request of flowTrackingConfigReq.
    void clearCounters();

    void schedulerIs(const Kiln::Ptr<Loom::TaskSchedulerRoot>& s) { scheduler_ = s; }
    void countersIs(const Kiln::Ptr<Hoard::FlowTracker::FtCounters>& c) { counters_ = c; }
    Kiln::Ptr<const HwFlowTracking::Config> hwConfigDel() { return dropReactor(hwConfigReactor_); }
    Kiln::Ptr<const Config> flowTrackingConfigDel() {
        return dropReactor(flowTrackingConfigReactor_);
    }
    Kiln::Ptr<const ConfigReq> flowTrackingConfigReqDel() {
        return dropReactor(flowTrackingConfigReqReactor_);
    }

  private:
    // The reactors in the order notification and zombie state pass to them (those that exist).
    std::vector<Kiln::PtrInterface*> reactors() const;

    const Kiln::String ftrTypeStr_;
    Kiln::Ptr<Loom::EventLoopHeartBeatCtx> hbCtx_;
    Kiln::Ptr<Loom::TaskSchedulerRoot> mainThreadScheduler_;
    Kiln::Ptr<Loom::EventSpscQueue> ftInputQueue_;
    Kiln::Ptr<Loom::EventSpscQueue> exporterQueue_;
    Kiln::Ptr<KilnHwConfig> hwConfigReactor_;
    Kiln::Ptr<KilnFlowTrackingConfig> flowTrackingConfigReactor_;
    Kiln::Ptr<KilnFlowTrackingConfigReq> flowTrackingConfigReqReactor_;
    Kiln::String sysname_;
    Kiln::Ptr<KilnFtInputQueueEvent> ftInputQueueEventReactor_;
    Kiln::Ptr<Loom::TaskSchedulerRoot> scheduler_;
    Kiln::Ptr<KilnTask> taskReactor_;
    Kiln::Ptr<Hoard::FlowTracker::FtCounters> counters_;
    std::uint64_t droppedDescriptors_ = 0;
};

Kiln::Ptr<FlowTableMgrThreadBase> flowTableMgrThreadBaseFactory(
    Kiln::Name name, const Kiln::Ptr<Loom::EventLoop>& evLoop, Kiln::String ftrTypeStr,
    const Kiln::Ptr<Loom::EventLoopHeartBeatCtx>& hbCtx,
    const Kiln::Ptr<Loom::TaskSchedulerRoot>& mainThreadScheduler,
    const Kiln::Ptr<Loom::EventSpscQueue>& ftInputQueue,
    const Kiln::Ptr<Loom::EventSpscQueue>& exporterQueue,
    const Kiln::Ptr<const HwFlowTracking::Config>& hwConfig,
    const Kiln::Ptr<const Config>& flowTrackingConfig,
    const Kiln::Ptr<const ConfigReq>& flowTrackingConfigReq, Kiln::String sysname);

// The manager with the simplest hooks: every tracker accepts every packet and does nothing with
// it, configuration changes create nothing, and the counters live under
// "<sysname>/Shmem/flowtracking/test/counters". It runs the input loop, the counters' creation
// and clear requests end to end without state machines. It provides no doDelSm().
//
// Thread safety: as FlowTableMgrThreadBase.
class TestFlowTableMgrThread : public FlowTableMgrThreadBase {
  public:
    // The type record; registered when the library loads.
    static Kiln::KilnType _kilnType;
    const Kiln::KilnType* fwkType() const override { return &_kilnType; }
    using FlowTableMgrThreadBase::FlowTableMgrThreadBase;
    ~TestFlowTableMgrThread() override;

    void hasNotificationActiveIs(bool on);
    void kilnDoZombieReactors(bool zombie) override;
    Kiln::String countersPath() override;
    bool flowTableMgrSmExists(FtId ftId) override;
    void updateflowTableSmFlowEntry(const Kiln::Ptr<PacketInfo>& pi) override;
    void handleFtConfig(Kiln::String ftName) override;

  private:
    bool zombie_ = false;
};

Kiln::Ptr<TestFlowTableMgrThread> testFlowTableMgrThreadFactory(
    Kiln::Name name, const Kiln::Ptr<Loom::EventLoop>& evLoop, Kiln::String ftrTypeStr,
    const Kiln::Ptr<Loom::EventLoopHeartBeatCtx>& hbCtx,
    const Kiln::Ptr<Loom::TaskSchedulerRoot>& mainThreadScheduler,
    const Kiln::Ptr<Loom::EventSpscQueue>& ftInputQueue,
    const Kiln::Ptr<Loom::EventSpscQueue>& exporterQueue,
    const Kiln::Ptr<const HwFlowTracking::Config>& hwConfig,
    const Kiln::Ptr<const Config>& flowTrackingConfig,
    const Kiln::Ptr<const ConfigReq>& flowTrackingConfigReq, Kiln::String sysname);

}  // namespace FlowTracking
