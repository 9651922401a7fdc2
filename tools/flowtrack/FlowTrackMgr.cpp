#include "tools/flowtrack/FlowTrackMgr.h"

#include "contracts/Basalt/DebugHandler.h"

namespace Flowtrack {

using namespace FlowTracking;

namespace {

// Level 0: a tracker that cannot run; 2: trackers started and removed.
const auto trace = Basalt::Platform::getDebugHandler("FlowTrackMgr");

void add(FlowTrackStats& to, const FlowTrackStats& s) {
    to.packets += s.packets;
    to.flowsCreated += s.flowsCreated;
    to.flowsExported += s.flowsExported;
    to.exporterQueueFull += s.exporterQueueFull;
    to.exporterQueueWaits += s.exporterQueueWaits;
    to.tableFull += s.tableFull;
}

}  // namespace

Kiln::AllocTrackTypeInfo FlowTrackMgr::allocTrackTypeInfo;

FlowTrackMgr::~FlowTrackMgr() {
    // A thread of its own still running would use the machines below.
    threadEnd();
    kilnDoZombieReactors(true);
    sms_.clear();
}

void FlowTrackMgr::kilnDoZombieReactors(bool zombie) {
    if (zombie_ == zombie) return;
    FlowTableMgrThreadBase::kilnDoZombieReactors(zombie);
    for (auto& [id, sm] : sms_) sm->kilnDoZombieReactors(zombie);
    zombie_ = zombie;
}

Kiln::String FlowTrackMgr::countersPath() {
    return "/Shmem/flowtracking/" + ftrTypeStr() + "/counters";
}

bool FlowTrackMgr::flowTableMgrSmExists(FtId ftId) {
    if (sms_.count(ftId.value())) return true;
    ++unknownTrackerPackets_;
    return false;
}

void FlowTrackMgr::updateflowTableSmFlowEntry(const Kiln::Ptr<PacketInfo>& pi) {
    followPacketTime(pi->pktRcvTime());
    const auto it = sms_.find(pi->ftId().value());
    if (it != sms_.end()) it->second->updateFlowEntry(pi);
}

void FlowTrackMgr::followPacketTime(Kiln::Seconds t) {
    if (!captureClock_) return;
    if (!captureClock_->started()) {
        captureClock_->startAt(t);
        return;
    }
    if (!(t > captureClock_->now())) return;
    const Kiln::Seconds target = captureClock_->monotonicNow() + (t - captureClock_->now());
    // A scan's last step re-arms its timer at least minScanDelay ahead, and the steps before it
    // each advance the walk, so this ends.
    for (;;) {
        // With no flows left the scans on the way would find empty tables: each runs once, at
        // `t`, so a gap in the capture costs nothing however long it is.
        if (activeFlows() == 0) captureClock_->advanceTo(t);
        FlowTrackSm* next = nullptr;
        FlowTrackSm::Scan nextScan = FlowTrackSm::active4;
        Kiln::Seconds nextDue = 0;
        for (auto& [id, sm] : sms_) {
            Kiln::Seconds due = 0;
            FlowTrackSm::Scan scan;
            if (sm->nextScanDue(&due, &scan) && due <= target && (!next || due < nextDue)) {
                next = sm.ptr();
                nextScan = scan;
                nextDue = due;
            }
        }
        if (!next) break;
        captureClock_->advanceTo(captureClock_->now() + (nextDue - captureClock_->monotonicNow()));
        next->runScan(nextScan);
    }
    captureClock_->advanceTo(t);
}

void FlowTrackMgr::handleFtConfig(Kiln::String ftName) {
    // Before the start there is nowhere to run a machine; the start walks every entry.
    if (!scheduler() || !counters()) return;
    const auto config = hwConfig();
    const auto entry = config ? config->ftConfig(ftName) : nullptr;
    auto current = sms_.end();
    for (auto it = sms_.begin(); it != sms_.end(); ++it) {
        if (it->second->ftName() == ftName) current = it;
    }
    if (current != sms_.end()) {
        // The same tracker: its machine watches the periods itself.
        if (entry && entry->ftId() == current->second->ftId()) return;
        removeSm(current);
    }
    if (!entry || !entry->ftId().valid()) return;
    if (const auto taken = sms_.find(entry->ftId().value()); taken != sms_.end()) {
        // Another tracker has this number; the first one configured keeps it.
        BASALT_TRACE(trace, 0,
                     "tracker " << ftName << " not started: FtId " << entry->ftId().value()
                                << " belongs to tracker " << taken->second->ftName());
        return;
    }
    auto sm = flowTrackSmFactory(ftrTypeStr(), ftName, entry->ftId(), entry, exporterQueue(),
                                 scheduler(), sysname(), counters());
    sm->kilnDoZombieReactors(zombie_);
    sm->waitWhenExporterFullIs(waitWhenExporterFull_);
    sms_.emplace(entry->ftId().value(), sm);
    auto& table = flowTables_[ftName];
    sm->start(table);
    table = sm->flowTable();
    BASALT_TRACE(trace, 2,
                 "tracker " << ftName << " started with FtId " << entry->ftId().value() << " on "
                            << FlowTable::mountPath(ftrTypeStr(), Kiln::Name(ftName)));
}

void FlowTrackMgr::removeSm(std::map<std::uint32_t, Kiln::Ptr<FlowTrackSm>>::iterator it) {
    const Kiln::Ptr<FlowTrackSm> sm = it->second;
    sms_.erase(it);
    sm->flushFlows(FlowEndReason::forcedEnd);
    add(retired_, sm->stats());
    BASALT_TRACE(trace, 2, "tracker " << sm->ftName() << " removed");
}

void FlowTrackMgr::endOfCapture() {
    // Outside a run of the input task the read does not yield: it takes every queued packet.
    doReadFtInputQueue();
    for (auto& [id, sm] : sms_) sm->flushFlows(FlowEndReason::forcedEnd);
}

void FlowTrackMgr::doDelSm() {
    endOfCapture();
    while (!sms_.empty()) removeSm(sms_.begin());
}

Kiln::Ptr<FlowTrackSm> FlowTrackMgr::flowTrackSm(FtId ftId) const {
    const auto it = sms_.find(ftId.value());
    return it == sms_.end() ? nullptr : it->second;
}

FlowTrackStats FlowTrackMgr::stats() const {
    FlowTrackStats out = retired_;
    for (const auto& [id, sm] : sms_) add(out, sm->stats());
    return out;
}

std::uint64_t FlowTrackMgr::activeFlows() const {
    std::uint64_t n = 0;
    for (const auto& [id, sm] : sms_) n += sm->activeFlows();
    return n;
}

Kiln::Ptr<FlowTrackMgr> flowTrackMgrFactory(
    Kiln::Name name, const Kiln::Ptr<Loom::EventLoop>& evLoop, Kiln::String ftrTypeStr,
    const Kiln::Ptr<Loom::EventLoopHeartBeatCtx>& hbCtx,
    const Kiln::Ptr<Loom::TaskSchedulerRoot>& mainThreadScheduler,
    const Kiln::Ptr<Loom::EventSpscQueue>& ftInputQueue,
    const Kiln::Ptr<Loom::EventSpscQueue>& exporterQueue,
    const Kiln::Ptr<const HwFlowTracking::Config>& hwConfig,
    const Kiln::Ptr<const Config>& flowTrackingConfig,
    const Kiln::Ptr<const ConfigReq>& flowTrackingConfigReq, Kiln::String sysname) {
    return Kiln::factoryNew<FlowTrackMgr>(FlowTrackMgr::allocTrackTypeInfo, std::move(name), evLoop,
                                          std::move(ftrTypeStr), hbCtx, mainThreadScheduler,
                                          ftInputQueue, exporterQueue, hwConfig, flowTrackingConfig,
                                          flowTrackingConfigReq, std::move(sysname));
}

}  // namespace Flowtrack
