#include "FlowTracker/FlowTableMgrBase.h"

#include <cstdio>
#include <cstdlib>
#include <limits>
#include <sstream>

#include "FlowTracker/TypeRegistration.h"
#include "contracts/Basalt/DebugHandler.h"
#include "contracts/Basalt/Exception.h"
#include "contracts/Flashlog/Flashlog.h"
#include "contracts/Kiln/EntityTypeDescriptor.h"

namespace FlowTracking {

namespace {

// Shared handlers: a test or an operator switches their levels by name.
const auto smTrace = Basalt::Platform::getDebugHandler("FlowTableMgrSmBase");
const auto mgrTrace = Basalt::Platform::getDebugHandler("FlowTableMgrThreadBase");
const auto testMgrTrace = Basalt::Platform::getDebugHandler("TestFlowTableMgrThread");

// A manager trace line: to the trace sink when the handle's level is on, and into the flight
// recorder for errors, warnings and level 2 whatever the switches say (FTMGR_TRACE_RECORDING:
// only when `keep` also holds, so that a line repeated per packet is kept once per run and
// does not flush the recorder's history). The text is built only when one of them takes it.
#define FTMGR_TRACE_RECORDING(handle, level, keep, expr)                                   \
    do {                                                                                   \
        const bool toSink_ = (handle)->enabled(level);                                     \
        const bool toRing_ = (level) <= Flashlog::recordedLevel && (keep);                 \
        if (toSink_ || toRing_) {                                                          \
            std::ostringstream text_;                                                      \
            text_ << expr;                                                                 \
            if (toSink_) (handle)->report(text_, (level), __FILE__, __LINE__, __func__);   \
            if (toRing_) Flashlog::ring().record((handle)->name(), (level), text_.view()); \
        }                                                                                  \
    } while (0)
#define FTMGR_TRACE(handle, level, expr) FTMGR_TRACE_RECORDING(handle, level, true, expr)

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
    // Zombies call nothing from here on; dropping a reactor also clears its back pointer.
    FlowTableMgrSmBase::kilnDoZombieReactors(true);
    for (auto& timer : timers_) dropReactor(timer);
    counters_ = nullptr;
    sysname_ = Kiln::String();
    scheduler_ = nullptr;
    exporterQueue_ = nullptr;
    dropReactor(ftConfigReactor_);
}

std::vector<Kiln::PtrInterface*> FlowTableMgrSmBase::reactors() const {
    std::vector<Kiln::PtrInterface*> out;
    if (ftConfigReactor_) out.push_back(ftConfigReactor_.ptr());
    for (const auto& timer : timers_) {
        if (timer) out.push_back(timer.ptr());
    }
    return out;
}

void FlowTableMgrSmBase::hasNotificationActiveIs(bool on) {
    if (hasNotificationActive() == on) return;
    PtrInterface::hasNotificationActiveIs(on);
    for (Kiln::PtrInterface* reactor : reactors()) reactor->hasNotificationActiveIs(on);
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
    void (FlowTableMgrSmBase::*const handler)() = handlers[t];
    return reinstallTask(
        timers_[t], kilnMarkedForDeletion(), taskScheduler, taskPriority, taskName,
        [this, handler](Kiln::Ptr<Loom::TimerTask> task) {
            return KilnTimerTask::make<KilnTimerTask>(this, std::move(task), handler);
        },
        [this, handler] { (this->*handler)(); });  // a new timer starts its first scan step at once
}

void FlowTableMgrSmBase::timerTaskDel(Timer t) { dropReactor(timers_[t]); }

Kiln::Ptr<const HwFlowTracking::FtConfig> FlowTableMgrSmBase::ftConfigDel() {
    return dropReactor(ftConfigReactor_);
}

void FlowTableMgrSmBase::kilnDoZombieReactors(bool zombie) {
    kilnMarkedForDeletionIs(zombie);
    for (Kiln::PtrInterface* reactor : reactors()) reactor->kilnMarkedForDeletionIs(zombie);
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
    // Zombies call nothing from here on; dropping a reactor also clears its back pointer.
    FlowTableMgrThreadBase::kilnDoZombieReactors(true);
    FlowTableMgrThreadBase::taskDel();
    counters_ = nullptr;
    scheduler_ = nullptr;
    FlowTableMgrThreadBase::ftInputQueueEventDel();
    sysname_ = Kiln::String();
    dropReactor(hwConfigReactor_);
    dropReactor(flowTrackingConfigReactor_);
    dropReactor(flowTrackingConfigReqReactor_);
    exporterQueue_ = nullptr;
    ftInputQueue_ = nullptr;
    mainThreadScheduler_ = nullptr;
    hbCtx_ = nullptr;
}

std::vector<Kiln::PtrInterface*> FlowTableMgrThreadBase::reactors() const {
    std::vector<Kiln::PtrInterface*> out;
    for (Kiln::PtrInterface* r : std::initializer_list<Kiln::PtrInterface*>{
             hwConfigReactor_.ptr(), flowTrackingConfigReactor_.ptr(),
             flowTrackingConfigReqReactor_.ptr(), ftInputQueueEventReactor_.ptr(),
             taskReactor_.ptr()}) {
        if (r) out.push_back(r);
    }
    return out;
}

void FlowTableMgrThreadBase::hasNotificationActiveIs(bool on) {
    if (hasNotificationActive() == on) return;
    PtrInterface::hasNotificationActiveIs(on);
    for (Kiln::PtrInterface* reactor : reactors()) reactor->hasNotificationActiveIs(on);
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
    for (Kiln::PtrInterface* reactor : reactors()) reactor->kilnMarkedForDeletionIs(zombie);
}

void FlowTableMgrThreadBase::ftInputQueueEventIs(const Kiln::Ptr<Loom::FifoEvent>& event) {
    if (ftInputQueueEvent() == event) return;
    if (const auto replaced = dropReactor(ftInputQueueEventReactor_))
        replaced->eventLoopIs(nullptr);
    if (!event) return;
    ftInputQueueEventReactor_ = KilnFtInputQueueEvent::make<KilnFtInputQueueEvent>(this, event);
    ftInputQueueEventReactor_->kilnDoZombieReactors(kilnMarkedForDeletion());
    if (scheduler_) event->eventLoopIs(scheduler_->eventLoop());
    kiln_handleFtInputQueueEvent_readableCount();  // what is queued already gets read
}

Kiln::Ptr<Loom::Task> FlowTableMgrThreadBase::taskIs(
    const Kiln::Ptr<Loom::TaskScheduler>& taskScheduler, Loom::TaskPriority taskPriority,
    Kiln::String taskName) {
    return reinstallTask(
        taskReactor_, kilnMarkedForDeletion(), taskScheduler, taskPriority, taskName,
        [&](Kiln::Ptr<Loom::Task> task) { return KilnTask::make<KilnTask>(this, std::move(task)); },
        [&] { doReadFtInputQueue(); });
}

void FlowTableMgrThreadBase::taskDel() { dropReactor(taskReactor_); }

void FlowTableMgrThreadBase::kiln_handleFtInputQueueEvent_readableCount() {
    if (taskReactor_) taskReactor_->notifierRef()->scheduleTask();
}

void FlowTableMgrThreadBase::doReadFtInputQueue() {
    FTMGR_TRACE(mgrTrace, 4, "FlowTableMgrThreadBase::doReadFtInputQueue");
    if (!ftInputQueue_) return;
    const Kiln::Ptr<Loom::Task> task = this->task();
    std::uint32_t count = 0;
    bool missingRecorded = false;
    bool droppedRecorded = false;
    while (Kiln::Ptr<Loom::CrossThreadDesc> desc = ftInputQueue_->descPop()) {
        if (auto* packet = dynamic_cast<PacketInfo*>(desc.ptr())) {
            // The queue's reference passes on to the packet handle: no extra count per packet.
            const Kiln::Ptr<PacketInfo> pi = Kiln::Ptr<PacketInfo>::adopt(packet);
            (void)desc.release();
            ++count;
            if (flowTableMgrSmExists(pi->ftId())) {
                updateflowTableSmFlowEntry(pi);
            } else {
                FTMGR_TRACE_RECORDING(
                    mgrTrace, 2, !std::exchange(missingRecorded, true),
                    "flowTableMgrSm is not available for ftId: " << pi->ftId().value());
            }
        } else {
            // Only packets belong on this queue; anything else is dropped and counted, and the
            // drain goes on (stopping here would leave the packets behind it waiting for the
            // next push).
            ++droppedDescriptors_;
            FTMGR_TRACE_RECORDING(mgrTrace, 1, !std::exchange(droppedRecorded, true),
                                  "FlowTableMgrThreadBase::doReadFtInputQueue dropped a "
                                  "descriptor that is not a packet");
        }
        if (task && task->taskShouldYield()) {
            FTMGR_TRACE(mgrTrace, 4, "readFtInputQueue yielding");
            task->scheduleTask();
            break;
        }
    }
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

// ---- Type registration -----------------------------------------------------------------------

constinit Kiln::KilnType FlowTableMgrSmBase::_kilnType{typeNameOf(LibraryType::flowTableMgrSmBase),
                                                       {&Kiln::PtrInterface::_kilnType}};
constinit Kiln::KilnType FlowTableMgrThreadBase::_kilnType{
    typeNameOf(LibraryType::flowTableMgrThreadBase), {&Loom::EventLoopThread::_kilnType}};
constinit Kiln::KilnType TestFlowTableMgrThread::_kilnType{
    typeNameOf(LibraryType::testFlowTableMgrThread), {&FlowTableMgrThreadBase::_kilnType}};

namespace {

// The manager's attributes, numbered from 2 in declaration order (the hook methods are not
// attributes); read-write where the manager has a plain setter.
template <class E>
void describeFlowTableMgrThread(Kiln::KilnType& type) {
    using M = FlowTableMgrThreadBase;
    Kiln::EntityTypeDescriptor<E>(type)
        .readOnly(2, "ftrTypeStr", &M::ftrTypeStr)
        .readOnly(3, "hbCtx", &M::hbCtx)
        .readOnly(4, "mainThreadScheduler", &M::mainThreadScheduler)
        .readOnly(5, "ftInputQueue", &M::ftInputQueue)
        .readOnly(6, "exporterQueue", &M::exporterQueue)
        .readOnly(7, "hwConfig", &M::hwConfig)
        .readOnly(8, "flowTrackingConfig", &M::flowTrackingConfig)
        .readOnly(9, "flowTrackingConfigReq", &M::flowTrackingConfigReq)
        .readOnly(10, "sysname", &M::sysname)
        .readWrite(11, "ftInputQueueEvent", &M::ftInputQueueEvent, &M::ftInputQueueEventIs)
        .readWrite(12, "scheduler", &M::scheduler, &M::schedulerIs)
        .readOnly(13, "task", &M::task)
        .readWrite(14, "counters", &M::counters, &M::countersIs)
        .install();
}

}  // namespace

void describeFlowTableMgrTypes() {
    using S = FlowTableMgrSmBase;
    // The state machine's attributes, numbered from 2 in declaration order: the constructor's
    // arguments (read-only), then the stored values (read-write); the timers are replaced only
    // through their <timer>Is(scheduler, priority, name), so they read only.
    Kiln::EntityTypeDescriptor<S>(S::_kilnType)
        .readOnly(2, "ftrTypeStr", &S::ftrTypeStr)
        .readOnly(3, "ftId", &S::ftId)
        .readOnly(4, "ftConfig", &S::ftConfig)
        .readOnly(5, "exporterQueue", &S::exporterQueue)
        .readOnly(6, "scheduler", &S::scheduler)
        .readOnly(7, "sysname", &S::sysname)
        .readOnly(8, "counters", &S::counters)
        .readWrite(9, "exporterQueueDelay", &S::exporterQueueDelay, &S::exporterQueueDelayIs)
        .readOnly(10, "activeTimerTask", &S::activeTimerTask)
        .readOnly(11, "inactiveTimerTask", &S::inactiveTimerTask)
        .readOnly(12, "ip6ActiveTimerTask", &S::ip6ActiveTimerTask)
        .readOnly(13, "ip6InactiveTimerTask", &S::ip6InactiveTimerTask)
        .readWrite(14, "currActiveTimerStartTime", &S::currActiveTimerStartTime,
                   &S::currActiveTimerStartTimeIs)
        .readWrite(15, "currInactiveTimerStartTime", &S::currInactiveTimerStartTime,
                   &S::currInactiveTimerStartTimeIs)
        .readWrite(16, "currIp6ActiveTimerStartTime", &S::currIp6ActiveTimerStartTime,
                   &S::currIp6ActiveTimerStartTimeIs)
        .readWrite(17, "currIp6InactiveTimerStartTime", &S::currIp6InactiveTimerStartTime,
                   &S::currIp6InactiveTimerStartTimeIs)
        .readWrite(18, "ftActiveBookmark", &S::ftActiveBookmark, &S::ftActiveBookmarkIs)
        .readWrite(19, "ft6ActiveBookmark", &S::ft6ActiveBookmark, &S::ft6ActiveBookmarkIs)
        .readWrite(20, "ftInactiveBookmark", &S::ftInactiveBookmark, &S::ftInactiveBookmarkIs)
        .readWrite(21, "ft6InactiveBookmark", &S::ft6InactiveBookmark, &S::ft6InactiveBookmarkIs)
        .readWrite(22, "maxFlowTableEntries", &S::maxFlowTableEntries, &S::maxFlowTableEntriesIs)
        .readWrite(23, "maxActiveScanDuration", &S::maxActiveScanDuration,
                   &S::maxActiveScanDurationIs)
        .readWrite(24, "maxIp6ActiveScanDuration", &S::maxIp6ActiveScanDuration,
                   &S::maxIp6ActiveScanDurationIs)
        .readWrite(25, "maxInactiveScanDuration", &S::maxInactiveScanDuration,
                   &S::maxInactiveScanDurationIs)
        .readWrite(26, "maxIp6InactiveScanDuration", &S::maxIp6InactiveScanDuration,
                   &S::maxIp6InactiveScanDurationIs)
        .readWrite(27, "lastActiveScanDuration", &S::lastActiveScanDuration,
                   &S::lastActiveScanDurationIs)
        .readWrite(28, "lastIp6ActiveScanDuration", &S::lastIp6ActiveScanDuration,
                   &S::lastIp6ActiveScanDurationIs)
        .readWrite(29, "lastInactiveScanDuration", &S::lastInactiveScanDuration,
                   &S::lastInactiveScanDurationIs)
        .readWrite(30, "lastIp6InactiveScanDuration", &S::lastIp6InactiveScanDuration,
                   &S::lastIp6InactiveScanDurationIs)
        .readWrite(31, "initialized", &S::initialized, &S::initializedIs)
        .install();

    describeFlowTableMgrThread<FlowTableMgrThreadBase>(FlowTableMgrThreadBase::_kilnType);
    // The test manager adds no attribute: its list is the base's.
    describeFlowTableMgrThread<TestFlowTableMgrThread>(TestFlowTableMgrThread::_kilnType);
}

void registerFlowTableMgrTypes() {
    describeFlowTableMgrTypes();
    for (Kiln::KilnType* type : {&FlowTableMgrSmBase::_kilnType, &FlowTableMgrThreadBase::_kilnType,
                                 &TestFlowTableMgrThread::_kilnType}) {
        Kiln::typeNodeIs(*type);
    }
}

}  // namespace FlowTracking
