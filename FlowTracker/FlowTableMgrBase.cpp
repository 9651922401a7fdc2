#include "FlowTracker/FlowTableMgrBase.h"

#include <cstdio>
#include <cstdlib>
#include <limits>

#include "contracts/Basalt/DebugHandler.h"
#include "contracts/Basalt/Exception.h"
#include "contracts/Basalt/TraceSink.h"
#include "contracts/Flashlog/Flashlog.h"
#include "contracts/Kiln/Trace.h"

namespace FlowTracking {

namespace {

// Shared handlers: a test or an operator switches their levels by name.
const auto smTrace = Basalt::Platform::getDebugHandler("FlowTableMgrSmBase");
const auto mgrTrace = Basalt::Platform::getDebugHandler("FlowTableMgrThreadBase");
const auto testMgrTrace = Basalt::Platform::getDebugHandler("TestFlowTableMgrThread");

// A manager trace line: to the trace sink when the handle's level is on, and into the flight
// recorder for errors, warnings and level 2 whatever the switches say. The text is built only
// when one of them takes it.
#define FTMGR_TRACE(handle, level, expr)                                                           \
    do {                                                                                           \
        const bool toSink_ = (handle)->enabled(level);                                             \
        if (toSink_ || (level) <= Flashlog::recordedLevel) {                                       \
            Kiln::TraceStream text_;                                                               \
            text_ << expr;                                                                         \
            const std::string line_ = text_.str();                                                 \
            if (toSink_) {                                                                         \
                Basalt::traceSink().write((handle)->name(), (level), __FILE__, __LINE__, __func__, \
                                          line_);                                                  \
            }                                                                                      \
            if ((level) <= Flashlog::recordedLevel) {                                              \
                Flashlog::ring().record((handle)->name(), (level), line_);                         \
            }                                                                                      \
        }                                                                                          \
    } while (0)

constexpr std::uint16_t clearTimeFgId = TemplateId::clearTimeValue;

}  // namespace

[[noreturn]] void implementInDerivedClass(const char* className, const char* hook) {
    std::fprintf(stderr, "%s::%s\n", className, hook);
    Flashlog::ring().dump(stderr);
    std::fprintf(stderr, "FlowTracker/FlowTableMgrBase: assertion failed: %s\n",
                 "0 && \"Implement in derived class\"");
    std::fflush(stderr);
    std::abort();
}

// ---------------------------------------------------------------------------------------------
// FlowTableMgrSmBase

Kiln::AllocTrackTypeInfo FlowTableMgrSmBase::allocTrackTypeInfo;

void FlowTableMgrSmBase::KilnFtConfig::onAttribute(Kiln::AttributeId attributeId) {
    FlowTableMgrSmBase* owner = live();
    if (!owner) return;
    if (attributeId == HwFlowTracking::FtConfig::inactiveTimeoutAttribute) {
        owner->handleInactiveTimeout();
    } else if (attributeId == HwFlowTracking::FtConfig::activeIntervalAttribute) {
        owner->handleActiveInterval();
    }
}

void FlowTableMgrSmBase::KilnTimerTask::onAttribute(Kiln::AttributeId attributeId) {
    FlowTableMgrSmBase* owner = live();
    if (owner && attributeId == Loom::Task::runAttribute) (owner->*handler_)();
}

FlowTableMgrSmBase::FlowTableMgrSmBase(Kiln::String ftrTypeStr, FtId ftId,
                                       const Kiln::Ptr<const HwFlowTracking::FtConfig>& ftConfig,
                                       const Kiln::Ptr<Loom::EventSpscQueue>& exporterQueue,
                                       const Kiln::Ptr<Loom::TaskSchedulerRoot>& scheduler,
                                       Kiln::String sysname,
                                       const Kiln::Ptr<Hoard::FlowTracker::FtCounters>& counters)
    : ftrTypeStr_(std::move(ftrTypeStr)), ftId_(ftId) {
    if (ftConfig) ftConfigReactor_ = KilnFtConfig::make<KilnFtConfig>(this, ftConfig);
    exporterQueue_ = exporterQueue;
    scheduler_ = scheduler;
    sysname_ = std::move(sysname);
    counters_ = counters;
    FlowTableMgrSmBase::handleInitialized();
}

FlowTableMgrSmBase::~FlowTableMgrSmBase() {
    FlowTableMgrSmBase::doCleanup();
    FlowTableMgrSmBase::kilnDoZombieReactors(true);
    if (ftConfigReactor_) ftConfigReactor_->ownerIs(nullptr);
    for (const auto& timer : timers_) {
        if (timer) timer->ownerIs(nullptr);
    }
    for (int t = active4; t < timerCount; ++t) timerTaskDel(static_cast<Timer>(t));
    counters_ = nullptr;
    sysname_ = Kiln::String();
    scheduler_ = nullptr;
    exporterQueue_ = nullptr;
    if (ftConfigReactor_) std::exchange(ftConfigReactor_, nullptr)->drop();
}

Kiln::Ptr<const HwFlowTracking::FtConfig> FlowTableMgrSmBase::ftConfig() const {
    return ftConfigReactor_ ? ftConfigReactor_->notifierRef() : nullptr;
}

void FlowTableMgrSmBase::hasNotificationActiveIs(bool on) {
    if (hasNotificationActive() == on) return;
    PtrInterface::hasNotificationActiveIs(on);
    if (ftConfigReactor_) ftConfigReactor_->hasNotificationActiveIs(on);
    for (const auto& timer : timers_) {
        if (timer) timer->hasNotificationActiveIs(on);
    }
}

Kiln::Seconds FlowTableMgrSmBase::activeInterval() const {
    BASALT_ASSERT(ftConfigReactor_ && ftConfigReactor_->notifierRef());
    return ftConfigReactor_->notifierRef()->activeInterval() / 1000.0;
}

Kiln::Seconds FlowTableMgrSmBase::inactiveTimeout() const {
    BASALT_ASSERT(ftConfigReactor_ && ftConfigReactor_->notifierRef());
    return ftConfigReactor_->notifierRef()->inactiveTimeout() / 1000.0;
}

void FlowTableMgrSmBase::rearm(Timer ip4, Timer ip6, Kiln::Seconds period) {
    for (Timer t : {ip4, ip6}) {
        if (timers_[t]) timers_[t]->notifierRef()->scheduleTaskLowestDelay(period);
    }
}

void FlowTableMgrSmBase::handleActiveInterval() {
    if (!initialized()) return;
    FTMGR_TRACE(smTrace, 4,
                "FlowTableMgrSmBase::handleActiveInterval activeInterval= " << activeInterval());
    rearm(active4, active6, activeInterval());
}

void FlowTableMgrSmBase::handleInactiveTimeout() {
    if (!initialized()) return;
    FTMGR_TRACE(smTrace, 4,
                "FlowTableMgrSmBase::handleInactiveTimeout inactiveTimeout= " << inactiveTimeout());
    rearm(inactive4, inactive6, inactiveTimeout());
}

Kiln::Seconds FlowTableMgrSmBase::computeTimeDelay(bool active, TemplateId fgId) {
    const Kiln::Seconds now = Kiln::System::currentTime();
    // The scan's duration on the wall clock; a clock stepped back during the scan would make it
    // negative and push the next scan out by the step, so it counts as 0.
    Kiln::Seconds elapsed = now - currScanStartTime(active, fgId);
    if (!(elapsed > 0)) elapsed = 0;
    if (elapsed > maxScanDuration(active, fgId)) updateMaxScanDuration(active, fgId, elapsed);
    updateLastScanDuration(active, fgId, elapsed);
    updateCurrScanStartTime(active, fgId, std::numeric_limits<Kiln::Seconds>::infinity());
    const Kiln::Seconds period = active ? activeInterval() : inactiveTimeout();
    return period > elapsed ? period - elapsed : 0.0;
}

Kiln::Seconds FlowTableMgrSmBase::maxScanDuration(bool, TemplateId) const {
    implementInDerivedClass("FlowTableMgrSmBase", "maxScanDuration");
}
void FlowTableMgrSmBase::updateMaxScanDuration(bool, TemplateId, const Kiln::Seconds&) {
    implementInDerivedClass("FlowTableMgrSmBase", "updateMaxScanDuration");
}
void FlowTableMgrSmBase::updateLastScanDuration(bool, TemplateId, const Kiln::Seconds&) {
    implementInDerivedClass("FlowTableMgrSmBase", "updateLastScanDuration");
}
Kiln::Seconds FlowTableMgrSmBase::currScanStartTime(bool, TemplateId) const {
    implementInDerivedClass("FlowTableMgrSmBase", "currScanStartTime");
}
void FlowTableMgrSmBase::updateCurrScanStartTime(bool, TemplateId, const Kiln::Seconds&) {
    implementInDerivedClass("FlowTableMgrSmBase", "updateCurrScanStartTime");
}
void FlowTableMgrSmBase::handleActiveTimer() {
    FTMGR_TRACE(smTrace, 0, "FlowTableMgrSm::handleActiveTimer");
    implementInDerivedClass("FlowTableMgrSm", "handleActiveTimer");
}
void FlowTableMgrSmBase::handleInactiveTimer() {
    implementInDerivedClass("FlowTableMgrSmBase", "handleInactiveTimer");
}
void FlowTableMgrSmBase::handleIp6ActiveTimer() {
    implementInDerivedClass("FlowTableMgrSmBase", "handleIp6ActiveTimer");
}
void FlowTableMgrSmBase::handleIp6InactiveTimer() {
    implementInDerivedClass("FlowTableMgrSmBase", "handleIp6InactiveTimer");
}
void FlowTableMgrSmBase::updateFlowEntry(const Kiln::Ptr<PacketInfo>&) {
    implementInDerivedClass("FlowTableMgrSmBase", "updateFlowEntry");
}

void FlowTableMgrSmBase::handleInitialized() {
    FTMGR_TRACE(smTrace, 4, "FlowTableMgrSmBase::handleInitialized");
}

void FlowTableMgrSmBase::doCleanup() { FTMGR_TRACE(smTrace, 4, "FlowTableMgrSmBase::doCleanup"); }

namespace {

// The counts stored under `key` plus the given amounts (wrapping). An absent key, or corruption
// met by the lookup (reported to its table there), starts from zero counts.
template <class Wrapper, class Binding, class Key>
Hoard::FlowTracker::FlowEntry countsPlus(Binding& binding, const Key& key, U64 packets, U64 flows,
                                         U64 expiredFlows) {
    bool found = false;
    Wrapper buffer;
    const Wrapper* stored = binding.safeLookup(key, found, &buffer);
    Hoard::FlowTracker::FlowEntry counts;
    if (found && stored && stored->key() == key) counts = stored->flowEntry();
    counts.flowsIs(counts.flows() + flows);
    counts.expiredFlowsIs(counts.expiredFlows() + expiredFlows);
    counts.packetsIs(counts.packets() + packets);
    return counts;
}

}  // namespace

void FlowTableMgrSmBase::updateCounters(FtId ftId, TemplateId fgId, const U64& packets,
                                        const U64& flows, const U64& expiredFlows) {
    using namespace Hoard::FlowTracker;
    BASALT_ASSERT(counters_);
    const FlowGroupCounterKey groupKey(ftId, fgId);
    counters_->flowGroupCounterIs(FlowGroupCounterEntry(
        groupKey, countsPlus<FlowGroupCounterEntryWrapper>(counters_->flowGroupCounter(), groupKey,
                                                           packets, flows, expiredFlows)));
    const FlowCounterKey totalKey(0);
    counters_->flowsCounterIs(FlowCounterEntry(
        totalKey, countsPlus<FlowCounterEntryWrapper>(counters_->flowsCounter(), totalKey, packets,
                                                      flows, expiredFlows)));
}

const Kiln::Ptr<Loom::TimerTask>& FlowTableMgrSmBase::timerTask(Timer t) const {
    static const Kiln::Ptr<Loom::TimerTask> none;
    return timers_[t] ? timers_[t]->notifierRef() : none;
}

Kiln::Ptr<Loom::TimerTask> FlowTableMgrSmBase::timerTaskIs(
    Timer t, const Kiln::Ptr<Loom::TaskScheduler>& taskScheduler, Loom::TaskPriority taskPriority,
    Kiln::String taskName) {
    static constexpr void (FlowTableMgrSmBase::*handlers[timerCount])() = {
        &FlowTableMgrSmBase::handleActiveTimer, &FlowTableMgrSmBase::handleInactiveTimer,
        &FlowTableMgrSmBase::handleIp6ActiveTimer, &FlowTableMgrSmBase::handleIp6InactiveTimer};
    if (const auto& installed = timers_[t]) {
        const Kiln::Ptr<Loom::TimerTask>& task = installed->notifierRef();
        if (task->taskScheduler() == taskScheduler && task->taskPriority() == taskPriority &&
            task->taskName() == taskName.stdString()) {
            return task;
        }
    }
    auto reactor =
        KilnTimerTask::make<KilnTimerTask>(this,
                                           Kiln::Ptr<Loom::TimerTask>(new Loom::TimerTask(
                                               taskScheduler, taskPriority, taskName.stdString())),
                                           handlers[t]);
    Kiln::Ptr<KilnTimerTask> replaced = std::exchange(timers_[t], reactor);
    reactor->kilnDoZombieReactors(kilnMarkedForDeletion());
    if (replaced) replaced->kilnDoZombieReactors(true);
    (this->*handlers[t])();  // a new timer starts its first scan step at once
    if (replaced) replaced->drop();
    Kiln::Ptr<Loom::TimerTask> task = reactor->notifierRef();
    task->hasNotificationActiveIs(true);
    return task;
}

void FlowTableMgrSmBase::timerTaskDel(Timer t) {
    if (auto reactor = std::exchange(timers_[t], nullptr)) reactor->drop();
}

Kiln::Ptr<const HwFlowTracking::FtConfig> FlowTableMgrSmBase::ftConfigDel() {
    if (!ftConfigReactor_) return nullptr;
    Kiln::Ptr<const HwFlowTracking::FtConfig> config = ftConfigReactor_->notifierRef();
    std::exchange(ftConfigReactor_, nullptr)->drop();
    return config;
}

void FlowTableMgrSmBase::kilnDoZombieReactors(bool zombie) {
    kilnMarkedForDeletionIs(zombie);
    if (ftConfigReactor_) ftConfigReactor_->kilnDoZombieReactors(zombie);
    for (const auto& timer : timers_) {
        if (timer) timer->kilnDoZombieReactors(zombie);
    }
}

Kiln::Ptr<FlowTableMgrSmBase> flowTableMgrSmBaseFactory(
    Kiln::String ftrTypeStr, FtId ftId, const Kiln::Ptr<const HwFlowTracking::FtConfig>& ftConfig,
    const Kiln::Ptr<Loom::EventSpscQueue>& exporterQueue,
    const Kiln::Ptr<Loom::TaskSchedulerRoot>& scheduler, Kiln::String sysname,
    const Kiln::Ptr<Hoard::FlowTracker::FtCounters>& counters) {
    return Kiln::factoryNew<FlowTableMgrSmBase>(
        FlowTableMgrSmBase::allocTrackTypeInfo, std::move(ftrTypeStr), ftId, ftConfig,
        exporterQueue, scheduler, std::move(sysname), counters);
}

// ---------------------------------------------------------------------------------------------
// FlowTableMgrThreadBase

Kiln::AllocTrackTypeInfo FlowTableMgrThreadBase::allocTrackTypeInfo;

void FlowTableMgrThreadBase::KilnHwConfig::onAttribute(Kiln::AttributeId attributeId,
                                                       const void* key) {
    FlowTableMgrThreadBase* owner = live();
    if (owner && key && attributeId == HwFlowTracking::Config::ftConfigAttribute) {
        owner->handleFtConfig(*static_cast<const Kiln::String*>(key));
    }
}

void FlowTableMgrThreadBase::KilnFlowTrackingConfigReq::onAttribute(Kiln::AttributeId attributeId) {
    FlowTableMgrThreadBase* owner = live();
    if (owner && attributeId == ConfigReq::clearCountersReqAttribute) owner->clearCounters();
}

void FlowTableMgrThreadBase::KilnFtInputQueueEvent::onAttribute(Kiln::AttributeId attributeId) {
    FlowTableMgrThreadBase* owner = live();
    if (owner && attributeId == Loom::FifoEvent::readableCountAttribute) {
        owner->kiln_handleFtInputQueueEvent_readableCount();
    }
}

void FlowTableMgrThreadBase::KilnTask::onAttribute(Kiln::AttributeId attributeId) {
    FlowTableMgrThreadBase* owner = live();
    if (owner && attributeId == Loom::Task::runAttribute) owner->doReadFtInputQueue();
}

FlowTableMgrThreadBase::FlowTableMgrThreadBase(
    Kiln::Name name, const Kiln::Ptr<Loom::EventLoop>& evLoop, Kiln::String ftrTypeStr,
    const Kiln::Ptr<Loom::EventLoopHeartBeatCtx>& hbCtx,
    const Kiln::Ptr<Loom::TaskSchedulerRoot>& mainThreadScheduler,
    const Kiln::Ptr<Loom::EventSpscQueue>& ftInputQueue,
    const Kiln::Ptr<Loom::EventSpscQueue>& exporterQueue,
    const Kiln::Ptr<const HwFlowTracking::Config>& hwConfig,
    const Kiln::Ptr<const Config>& flowTrackingConfig,
    const Kiln::Ptr<const ConfigReq>& flowTrackingConfigReq, Kiln::String sysname)
    : EventLoopThread(std::move(name), evLoop),
      ftrTypeStr_(std::move(ftrTypeStr)),
      hbCtx_(hbCtx),
      mainThreadScheduler_(mainThreadScheduler),
      ftInputQueue_(ftInputQueue),
      exporterQueue_(exporterQueue) {
    if (hwConfig) hwConfigReactor_ = KilnHwConfig::make<KilnHwConfig>(this, hwConfig);
    if (flowTrackingConfig) {
        flowTrackingConfigReactor_ =
            KilnFlowTrackingConfig::make<KilnFlowTrackingConfig>(this, flowTrackingConfig);
    }
    if (flowTrackingConfigReq) {
        flowTrackingConfigReqReactor_ =
            KilnFlowTrackingConfigReq::make<KilnFlowTrackingConfigReq>(this, flowTrackingConfigReq);
    }
    sysname_ = std::move(sysname);
}

FlowTableMgrThreadBase::~FlowTableMgrThreadBase() {
    // The serving thread must be gone before the members it uses (the base destructor would be
    // too late); a thread still running here was not stopped by its owner.
    threadEnd();
    FlowTableMgrThreadBase::kilnDoZombieReactors(true);
    if (hwConfigReactor_) hwConfigReactor_->ownerIs(nullptr);
    if (flowTrackingConfigReactor_) flowTrackingConfigReactor_->ownerIs(nullptr);
    if (flowTrackingConfigReqReactor_) flowTrackingConfigReqReactor_->ownerIs(nullptr);
    if (ftInputQueueEventReactor_) ftInputQueueEventReactor_->ownerIs(nullptr);
    if (taskReactor_) taskReactor_->ownerIs(nullptr);
    FlowTableMgrThreadBase::taskDel();
    counters_ = nullptr;
    scheduler_ = nullptr;
    if (ftInputQueueEventReactor_) {
        ftInputQueueEventReactor_->notifierRef()->eventLoopIs(nullptr);
        std::exchange(ftInputQueueEventReactor_, nullptr)->drop();
    }
    sysname_ = Kiln::String();
    if (hwConfigReactor_) std::exchange(hwConfigReactor_, nullptr)->drop();
    if (flowTrackingConfigReactor_) std::exchange(flowTrackingConfigReactor_, nullptr)->drop();
    if (flowTrackingConfigReqReactor_)
        std::exchange(flowTrackingConfigReqReactor_, nullptr)->drop();
    exporterQueue_ = nullptr;
    ftInputQueue_ = nullptr;
    mainThreadScheduler_ = nullptr;
    hbCtx_ = nullptr;
}

Kiln::Ptr<const HwFlowTracking::Config> FlowTableMgrThreadBase::hwConfig() const {
    return hwConfigReactor_ ? hwConfigReactor_->notifierRef() : nullptr;
}
Kiln::Ptr<const Config> FlowTableMgrThreadBase::flowTrackingConfig() const {
    return flowTrackingConfigReactor_ ? flowTrackingConfigReactor_->notifierRef() : nullptr;
}
Kiln::Ptr<const ConfigReq> FlowTableMgrThreadBase::flowTrackingConfigReq() const {
    return flowTrackingConfigReqReactor_ ? flowTrackingConfigReqReactor_->notifierRef() : nullptr;
}
Kiln::Ptr<Loom::FifoEvent> FlowTableMgrThreadBase::ftInputQueueEvent() const {
    return ftInputQueueEventReactor_ ? ftInputQueueEventReactor_->notifierRef() : nullptr;
}
Kiln::Ptr<Loom::Task> FlowTableMgrThreadBase::task() const {
    return taskReactor_ ? taskReactor_->notifierRef() : nullptr;
}

void FlowTableMgrThreadBase::hasNotificationActiveIs(bool on) {
    if (hasNotificationActive() == on) return;
    PtrInterface::hasNotificationActiveIs(on);
    if (hwConfigReactor_) hwConfigReactor_->hasNotificationActiveIs(on);
    if (flowTrackingConfigReactor_) flowTrackingConfigReactor_->hasNotificationActiveIs(on);
    if (flowTrackingConfigReqReactor_) flowTrackingConfigReqReactor_->hasNotificationActiveIs(on);
    if (ftInputQueueEventReactor_) ftInputQueueEventReactor_->hasNotificationActiveIs(on);
    if (taskReactor_) taskReactor_->hasNotificationActiveIs(on);
}

void FlowTableMgrThreadBase::doInitSm() {
    FTMGR_TRACE(mgrTrace, 4, "FlowTableMgrThreadBase::doInitSm");
    if (evLoop()->useKilnEventLoop()) {
        schedulerIs(mainThreadScheduler_);
    } else {
        evLoop()->hbCtxIs(hbCtx_);
        schedulerIs(Loom::TaskSchedulerRoot::findOrCreateScheduler());
    }
    // The task exists before the queue is watched: the readable-count handler schedules it.
    taskIs(scheduler_, Loom::TaskPriority(0), "taskFtInputReq");
    if (ftInputQueue_) ftInputQueueEventIs(ftInputQueue_->fifoEvent());
    countersIs(Hoard::FlowTracker::ftCountersFactory(Kiln::Name(sysname_ + countersPath())));
    counters_->flowGroupCounterControl()->init(Hoard::writer, false, 20);
    counters_->flowGroupCounterDelAll();
    counters_->flowsCounterControl()->init(Hoard::writer, false, 1);
    counters_->flowsCounterDelAll();
    // The walk resumes after the last name visited, so the hook may change the configuration.
    if (const auto config = hwConfig()) {
        Kiln::String name;
        while (const auto entry = config->ftConfigAfter(name)) {
            name = entry->name();
            handleFtConfig(name);
        }
    }
}

void FlowTableMgrThreadBase::doDelSm() {
    implementInDerivedClass("FlowTableMgrThreadBase", "doDelSm");
}
Kiln::String FlowTableMgrThreadBase::countersPath() {
    implementInDerivedClass("FlowTableMgrThreadBase", "countersPath");
}
bool FlowTableMgrThreadBase::flowTableMgrSmExists(FtId) {
    implementInDerivedClass("FlowTableMgrThreadBase", "flowTableMgrSmExists");
}
void FlowTableMgrThreadBase::updateflowTableSmFlowEntry(const Kiln::Ptr<PacketInfo>&) {
    implementInDerivedClass("FlowTableMgrThreadBase", "updateflowTableSmFlowEntry");
}
void FlowTableMgrThreadBase::handleFtConfig(Kiln::String) {
    implementInDerivedClass("FlowTableMgrThreadBase", "handleFtConfig");
}

void FlowTableMgrThreadBase::kilnDoZombieReactors(bool zombie) {
    kilnMarkedForDeletionIs(zombie);
    if (hwConfigReactor_) hwConfigReactor_->kilnDoZombieReactors(zombie);
    if (flowTrackingConfigReactor_) flowTrackingConfigReactor_->kilnDoZombieReactors(zombie);
    if (flowTrackingConfigReqReactor_) flowTrackingConfigReqReactor_->kilnDoZombieReactors(zombie);
    if (ftInputQueueEventReactor_) ftInputQueueEventReactor_->kilnDoZombieReactors(zombie);
    if (taskReactor_) taskReactor_->kilnDoZombieReactors(zombie);
}

void FlowTableMgrThreadBase::ftInputQueueEventIs(const Kiln::Ptr<Loom::FifoEvent>& event) {
    if (ftInputQueueEvent() == event) return;
    Kiln::Ptr<KilnFtInputQueueEvent> replaced = std::exchange(ftInputQueueEventReactor_, nullptr);
    if (replaced) {
        replaced->notifierRef()->eventLoopIs(nullptr);
        replaced->drop();
    }
    if (!event) return;
    ftInputQueueEventReactor_ = KilnFtInputQueueEvent::make<KilnFtInputQueueEvent>(this, event);
    ftInputQueueEventReactor_->kilnDoZombieReactors(kilnMarkedForDeletion());
    if (scheduler_) event->eventLoopIs(scheduler_->eventLoop());
    kiln_handleFtInputQueueEvent_readableCount();  // what is queued already gets read
}

Kiln::Ptr<Loom::Task> FlowTableMgrThreadBase::taskIs(
    const Kiln::Ptr<Loom::TaskScheduler>& taskScheduler, Loom::TaskPriority taskPriority,
    Kiln::String taskName) {
    if (taskReactor_) {
        const Kiln::Ptr<Loom::Task>& installed = taskReactor_->notifierRef();
        if (installed->taskScheduler() == taskScheduler &&
            installed->taskPriority() == taskPriority &&
            installed->taskName() == taskName.stdString()) {
            return installed;
        }
    }
    auto reactor = KilnTask::make<KilnTask>(
        this,
        Kiln::Ptr<Loom::Task>(new Loom::Task(taskScheduler, taskPriority, taskName.stdString())));
    Kiln::Ptr<KilnTask> replaced = std::exchange(taskReactor_, reactor);
    reactor->kilnDoZombieReactors(kilnMarkedForDeletion());
    if (replaced) replaced->kilnDoZombieReactors(true);
    doReadFtInputQueue();
    if (replaced) replaced->drop();
    Kiln::Ptr<Loom::Task> task = reactor->notifierRef();
    task->hasNotificationActiveIs(true);
    return task;
}

void FlowTableMgrThreadBase::taskDel() {
    if (auto reactor = std::exchange(taskReactor_, nullptr)) reactor->drop();
}

void FlowTableMgrThreadBase::kiln_handleFtInputQueueEvent_readableCount() {
    if (taskReactor_) taskReactor_->notifierRef()->scheduleTask();
}

void FlowTableMgrThreadBase::doReadFtInputQueue() {
    FTMGR_TRACE(mgrTrace, 4, "FlowTableMgrThreadBase::doReadFtInputQueue");
    if (!ftInputQueue_) return;
    const Kiln::Ptr<Loom::Task> task = this->task();
    std::uint32_t count = 0;
    Kiln::Ptr<PacketInfo> pi;
    while (Kiln::Ptr<Loom::CrossThreadDesc> desc = ftInputQueue_->descPop()) {
        pi = Kiln::Ptr<PacketInfo>(dynamic_cast<PacketInfo*>(desc.ptr()));
        if (pi) {
            ++count;
            if (flowTableMgrSmExists(pi->ftId())) {
                updateflowTableSmFlowEntry(pi);
            } else {
                FTMGR_TRACE(mgrTrace, 2,
                            "flowTableMgrSm is not available for ftId: " << pi->ftId().value());
            }
        } else {
            // Only packets belong on this queue; anything else is dropped and counted, and the
            // drain goes on (stopping here would leave the packets behind it waiting for the
            // next push).
            ++droppedDescriptors_;
            FTMGR_TRACE(mgrTrace, 1,
                        "FlowTableMgrThreadBase::doReadFtInputQueue dropped a "
                        "descriptor that is not a packet");
        }
        if (task && task->taskShouldYield()) {
            FTMGR_TRACE(mgrTrace, 4, "readFtInputQueue yielding");
            task->scheduleTask();
            break;
        }
    }
    pi = nullptr;
    FTMGR_TRACE(mgrTrace, 4, "doReadFtInputQueue processed " << count << " packets");
    if (task) task->taskWorkCountInc(count);
}

void FlowTableMgrThreadBase::clearCounters() {
    using namespace Hoard::FlowTracker;
    const auto request = flowTrackingConfigReq();
    if (!request) return;
    const ClearCountersReq& req = request->clearCountersReq();
    if (req.requestTime == 0) {
        FTMGR_TRACE(mgrTrace, 4,
                    "FlowTableMgrThreadBase::clearCounters clear counters requestTime is zero");
        return;
    }
    if (!counters_) {
        // Counters exist from doInitSm on; a request before that has nothing to clear.
        FTMGR_TRACE(mgrTrace, 1, "FlowTableMgrThreadBase::clearCounters before the counters exist");
        return;
    }
    FTMGR_TRACE(mgrTrace, 4, "FlowTableMgrThreadBase::clearCounters tracker " << req.trackerName);
    std::uint32_t filter = 0;
    if (!req.trackerName.empty()) {
        const auto config = hwConfig();
        const auto entry = config ? config->ftConfig(req.trackerName) : nullptr;
        if (!entry || !entry->ftId().valid()) {
            FTMGR_TRACE(mgrTrace, 1,
                        "FlowTableMgrThreadBase::clearCounters tracker " << req.trackerName
                                                                         << " not found.");
            return;
        }
        filter = entry->ftId().value();
    }
    // The iterator copies each entry and resumes after its key, so deleting the current entry
    // and adding clear-time entries keep the walk going; corruption is reported to the table
    // and ends it.
    for (FtCounters::FlowGroupCounterCollection::Binding::IteratorConst it(
             &counters_->flowGroupCounter());
         it.valid(); it.advance()) {
        const FlowGroupCounterKey key = it->key();
        if (filter != 0 && key.ftId().value() != filter) {
            FTMGR_TRACE(
                mgrTrace, 4,
                "FlowTableMgrThreadBase::clearCounters did not match " << key.hoardString());
        } else if (key.fgId().value() == clearTimeFgId) {
            FTMGR_TRACE(mgrTrace, 4,
                        "FlowTableMgrThreadBase::clearCounters skip 'clear time' entry "
                            << key.hoardString());
        } else {
            FTMGR_TRACE(
                mgrTrace, 4,
                "FlowTableMgrThreadBase::clearCounters clear counters " << key.hoardString());
            counters_->flowGroupCounterDel(key);
            counters_->flowGroupCounterIs(
                FlowGroupCounterEntry(FlowGroupCounterKey(key.ftId(), TemplateId(clearTimeFgId)),
                                      FlowEntry(0, 0, 0, Kiln::System::currentTime())));
        }
    }
    if (req.trackerName.empty()) {
        counters_->flowsCounterIs(
            FlowCounterEntry(FlowCounterKey(0), FlowEntry(0, 0, 0, Kiln::System::currentTime())));
    }
}

Kiln::Ptr<const HwFlowTracking::Config> FlowTableMgrThreadBase::hwConfigDel() {
    if (!hwConfigReactor_) return nullptr;
    auto config = hwConfigReactor_->notifierRef();
    std::exchange(hwConfigReactor_, nullptr)->drop();
    return config;
}
Kiln::Ptr<const Config> FlowTableMgrThreadBase::flowTrackingConfigDel() {
    if (!flowTrackingConfigReactor_) return nullptr;
    auto config = flowTrackingConfigReactor_->notifierRef();
    std::exchange(flowTrackingConfigReactor_, nullptr)->drop();
    return config;
}
Kiln::Ptr<const ConfigReq> FlowTableMgrThreadBase::flowTrackingConfigReqDel() {
    if (!flowTrackingConfigReqReactor_) return nullptr;
    auto config = flowTrackingConfigReqReactor_->notifierRef();
    std::exchange(flowTrackingConfigReqReactor_, nullptr)->drop();
    return config;
}

Kiln::Ptr<FlowTableMgrThreadBase> flowTableMgrThreadBaseFactory(
    Kiln::Name name, const Kiln::Ptr<Loom::EventLoop>& evLoop, Kiln::String ftrTypeStr,
    const Kiln::Ptr<Loom::EventLoopHeartBeatCtx>& hbCtx,
    const Kiln::Ptr<Loom::TaskSchedulerRoot>& mainThreadScheduler,
    const Kiln::Ptr<Loom::EventSpscQueue>& ftInputQueue,
    const Kiln::Ptr<Loom::EventSpscQueue>& exporterQueue,
    const Kiln::Ptr<const HwFlowTracking::Config>& hwConfig,
    const Kiln::Ptr<const Config>& flowTrackingConfig,
    const Kiln::Ptr<const ConfigReq>& flowTrackingConfigReq, Kiln::String sysname) {
    return Kiln::factoryNew<FlowTableMgrThreadBase>(
        FlowTableMgrThreadBase::allocTrackTypeInfo, std::move(name), evLoop, std::move(ftrTypeStr),
        hbCtx, mainThreadScheduler, ftInputQueue, exporterQueue, hwConfig, flowTrackingConfig,
        flowTrackingConfigReq, std::move(sysname));
}

// ---------------------------------------------------------------------------------------------
// TestFlowTableMgrThread

TestFlowTableMgrThread::~TestFlowTableMgrThread() { kilnDoZombieReactors(true); }

void TestFlowTableMgrThread::hasNotificationActiveIs(bool on) {
    if (hasNotificationActive() != on) FlowTableMgrThreadBase::hasNotificationActiveIs(on);
}

void TestFlowTableMgrThread::kilnDoZombieReactors(bool zombie) {
    if (zombie_ == zombie) return;
    FlowTableMgrThreadBase::kilnDoZombieReactors(zombie);
    zombie_ = zombie;
}

Kiln::String TestFlowTableMgrThread::countersPath() { return "/Shmem/flowtracking/test/counters"; }

bool TestFlowTableMgrThread::flowTableMgrSmExists(FtId) {
    FTMGR_TRACE(testMgrTrace, 4, "TestFlowTableMgrThread::flowTableMgrSmExists");
    return true;
}

void TestFlowTableMgrThread::updateflowTableSmFlowEntry(const Kiln::Ptr<PacketInfo>&) {
    FTMGR_TRACE(testMgrTrace, 4, "TestFlowTableMgrThread::updateflowTableSmFlowEntry");
}

void TestFlowTableMgrThread::handleFtConfig(Kiln::String) {
    FTMGR_TRACE(testMgrTrace, 4, "TestFlowTableMgrThread::handleFtConfig");
}

Kiln::Ptr<TestFlowTableMgrThread> testFlowTableMgrThreadFactory(
    Kiln::Name name, const Kiln::Ptr<Loom::EventLoop>& evLoop, Kiln::String ftrTypeStr,
    const Kiln::Ptr<Loom::EventLoopHeartBeatCtx>& hbCtx,
    const Kiln::Ptr<Loom::TaskSchedulerRoot>& mainThreadScheduler,
    const Kiln::Ptr<Loom::EventSpscQueue>& ftInputQueue,
    const Kiln::Ptr<Loom::EventSpscQueue>& exporterQueue,
    const Kiln::Ptr<const HwFlowTracking::Config>& hwConfig,
    const Kiln::Ptr<const Config>& flowTrackingConfig,
    const Kiln::Ptr<const ConfigReq>& flowTrackingConfigReq, Kiln::String sysname) {
    return Kiln::factoryNew<TestFlowTableMgrThread>(
        FlowTableMgrThreadBase::allocTrackTypeInfo, std::move(name), evLoop, std::move(ftrTypeStr),
        hbCtx, mainThreadScheduler, ftInputQueue, exporterQueue, hwConfig, flowTrackingConfig,
        flowTrackingConfigReq, std::move(sysname));
}

}  // namespace FlowTracking
