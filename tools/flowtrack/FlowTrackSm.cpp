#include "tools/flowtrack/FlowTrackSm.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <type_traits>

#include "contracts/Basalt/DebugHandler.h"
#include "contracts/Basalt/Exception.h"

namespace Flowtrack {

using namespace FlowTracking;

namespace {

// Level 1: packets that find the table full; 5: every scan step.
const auto trace = Basalt::Platform::getDebugHandler("FlowTrackSm");

constexpr const char* scanName[] = {"active", "inactive", "ip6 active", "ip6 inactive"};

// TCP flag bits a record keeps (the data offset is not a flag).
constexpr std::uint16_t tcpFlagBits = 0x0FFF;
constexpr std::uint16_t tcpFin = 0x01;
constexpr std::uint16_t tcpRst = 0x04;

// What differs between the IPv4 and the IPv6 flows of a table.
struct Ip4Family {
    static constexpr int index = 0;
    using Key = IpFlowKey;
    using Entry = IpFlowEntry;
    using Wrapper = IpFlowEntryWrapper;
    static Wirekit::IpAddr addr(const Wirekit::IpGenAddr& a) { return a.v4(); }
    static FlowTable::IpFlowEntryCollection::Binding& binding(FlowTable& t) {
        return t.ipFlowEntry();
    }
    static void put(FlowTable& t, const Entry& e) { t.ipFlowEntryIs(e); }
    static void del(FlowTable& t, const Key& k) { t.ipFlowEntryDel(k); }
};

struct Ip6Family {
    static constexpr int index = 1;
    using Key = Ip6FlowKey;
    using Entry = Ip6FlowEntry;
    using Wrapper = Ip6FlowEntryWrapper;
    static Wirekit::Ip6Addr addr(const Wirekit::IpGenAddr& a) { return a.v6(); }
    static FlowTable::Ip6FlowEntryCollection::Binding& binding(FlowTable& t) {
        return t.ip6FlowEntry();
    }
    static void put(FlowTable& t, const Entry& e) { t.ip6FlowEntryIs(e); }
    static void del(FlowTable& t, const Key& k) { t.ip6FlowEntryDel(k); }
};

bool isTcp(Wirekit::IpProtocolNumber p) { return p == Wirekit::ipProtoTcp; }

// The base's plain attributes of each scan, in FlowTrackSm::Scan order (IPv4 active, IPv4
// inactive, IPv6 active, IPv6 inactive), kept up to date for readers of the machine.
using B = FlowTableMgrSmBase;
using SecondsSetter = void (B::*)(Kiln::Seconds);
using SecondsGetter = Kiln::Seconds (B::*)() const;
constexpr SecondsSetter startTimeSetter[] = {
    &B::currActiveTimerStartTimeIs, &B::currInactiveTimerStartTimeIs,
    &B::currIp6ActiveTimerStartTimeIs, &B::currIp6InactiveTimerStartTimeIs};
constexpr SecondsSetter lastScanSetter[] = {
    &B::lastActiveScanDurationIs, &B::lastInactiveScanDurationIs, &B::lastIp6ActiveScanDurationIs,
    &B::lastIp6InactiveScanDurationIs};
constexpr SecondsGetter maxScanGetter[] = {&B::maxActiveScanDuration, &B::maxInactiveScanDuration,
                                           &B::maxIp6ActiveScanDuration,
                                           &B::maxIp6InactiveScanDuration};
constexpr SecondsSetter maxScanSetter[] = {
    &B::maxActiveScanDurationIs, &B::maxInactiveScanDurationIs, &B::maxIp6ActiveScanDurationIs,
    &B::maxIp6InactiveScanDurationIs};

}  // namespace

Kiln::AllocTrackTypeInfo FlowTrackSm::allocTrackTypeInfo;

FlowTrackSm::FlowTrackSm(Kiln::String ftrTypeStr, Kiln::String ftName, FtId ftId,
                         const Kiln::Ptr<const HwFlowTracking::FtConfig>& ftConfig,
                         const Kiln::Ptr<Loom::EventSpscQueue>& exporterQueue,
                         const Kiln::Ptr<Loom::TaskSchedulerRoot>& scheduler, Kiln::String sysname,
                         const Kiln::Ptr<Hoard::FlowTracker::FtCounters>& counters)
    : FlowTableMgrSmBase(std::move(ftrTypeStr), ftId, ftConfig, exporterQueue, scheduler,
                         std::move(sysname), counters),
      ftName_(std::move(ftName)) {}

FlowTrackSm::~FlowTrackSm() {
    // Timers first: a firing must not reach a machine whose table is gone.
    kilnDoZombieReactors(true);
    activeTimerTaskDel();
    inactiveTimerTaskDel();
    ip6ActiveTimerTaskDel();
    ip6InactiveTimerTaskDel();
}

void FlowTrackSm::start(const Kiln::Ptr<FlowTable>& table) {
    BASALT_ASSERT(!flowTable_ && "FlowTrackSm::start runs once");
    flowTable_ = table;
    if (!flowTable_) {
        flowTable_ =
            flowTableFactory(Kiln::Name(FlowTable::mountPath(ftrTypeStr(), Kiln::Name(ftName_))));
        flowTable_->ipFlowEntryControl()->init(Hoard::writer, false, initialTableSize);
        flowTable_->ip6FlowEntryControl()->init(Hoard::writer, false, initialTableSize);
    }
    // A previous run's flows are not this run's.
    flowTable_->ipFlowEntryDelAll();
    flowTable_->ip6FlowEntryDelAll();
    const Kiln::Ptr<Loom::TaskScheduler> s = scheduler();
    activeTimerTaskIs(s, Loom::TaskPriority(1), "ftActiveScan");
    inactiveTimerTaskIs(s, Loom::TaskPriority(1), "ftInactiveScan");
    ip6ActiveTimerTaskIs(s, Loom::TaskPriority(1), "ft6ActiveScan");
    ip6InactiveTimerTaskIs(s, Loom::TaskPriority(1), "ft6InactiveScan");
    initializedIs(true);
}

// ---- Scan-time bookkeeping ----------------------------------------------------------------

Kiln::Seconds FlowTrackSm::maxScanDuration(bool active, TemplateId fgId) const {
    const auto it = scanTimes_.find({active, fgId.value()});
    return it == scanTimes_.end() ? 0.0 : it->second.max;
}
void FlowTrackSm::updateMaxScanDuration(bool active, TemplateId fgId,
                                        const Kiln::Seconds& scanTime) {
    scanTimes_[{active, fgId.value()}].max = scanTime;
}
void FlowTrackSm::updateLastScanDuration(bool active, TemplateId fgId,
                                         const Kiln::Seconds& scanTime) {
    scanTimes_[{active, fgId.value()}].last = scanTime;
}
Kiln::Seconds FlowTrackSm::currScanStartTime(bool active, TemplateId fgId) const {
    const auto it = scanTimes_.find({active, fgId.value()});
    return it == scanTimes_.end() ? 0.0 : it->second.start;
}
void FlowTrackSm::updateCurrScanStartTime(bool active, TemplateId fgId,
                                          const Kiln::Seconds& scanTime) {
    scanTimes_[{active, fgId.value()}].start = scanTime;
}

// ---- Packets ------------------------------------------------------------------------------

void FlowTrackSm::updateFlowEntry(const Kiln::Ptr<PacketInfo>& pi) {
    if (!flowTable_) return;
    if (pi->srcIpAddr().isV4()) {
        update<Ip4Family>(*pi);
    } else if (pi->srcIpAddr().isV6()) {
        update<Ip6Family>(*pi);
    }
}

template <class Family>
void FlowTrackSm::update(const PacketInfo& pi) {
    using Entry = typename Family::Entry;
    fgId_[Family::index] = pi.fgId();
    const Kiln::Seconds t = pi.pktRcvTime();
    const std::uint64_t packets = pi.packets() ? pi.packets() : 1;
    const typename Family::Key key(pi.vrfId(), pi.vlanId(), Family::addr(pi.srcIpAddr()),
                                   Family::addr(pi.dstIpAddr()), pi.ipProtocol(),
                                   pi.srcPort().value(), pi.dstPort().value());
    bool found = false;
    typename Family::Wrapper buffer;
    const auto* stored = Family::binding(*flowTable_).safeLookup(key, found, &buffer);
    const bool isNew = !(found && stored && stored->key() == key);
    Entry e(key);
    if (isNew) {
        e.srcEthAddrIs(pi.srcEthAddr());
        e.dstEthAddrIs(pi.dstEthAddr());
        e.egressVlanIdIs(pi.egressVlanId());
        e.srcIpAddrIs(Family::addr(pi.srcIpAddr()));
        e.dstIpAddrIs(Family::addr(pi.dstIpAddr()));
        e.ipProtocolIs(pi.ipProtocol());
        e.srcPortIs(pi.srcPort().value());
        e.dstPortIs(pi.dstPort().value());
        e.inIfIndexIs(pi.inIfIndex());
        e.outIfIndexIs(pi.outIfIndex());
        e.inIfTypeIs(pi.inIfType());
        e.vniIs(pi.vni());
        e.tunnelStateIs(pi.tunnelState());
        if (flowCount_[Family::index] >= maxFlowTableEntries()) {
            // No room: the packet is its own record.
            ++stats_.tableFull;
            BASALT_TRACE(trace, 1,
                         ftName_ << ": table full at " << flowCount_[Family::index]
                                 << " flows; a packet of " << key << " exported alone");
            e.bytesIs(pi.bytes());
            e.pktsIs(packets);
            e.startTimeIs(t);
            e.lastPktTimeIs(t);
            if (isTcp(pi.ipProtocol())) {
                e.tcpFlagsIs(Wirekit::TcpDataOffsetAndFlags(pi.tcpFlags().value() & tcpFlagBits));
            }
            e.tosIs(Wirekit::IpTos(pi.tosFlowLabel().trafficClass()));
            exportFlow<Family>(e, FlowEndReason::lackOfResources);
            updateCounters(ftId(), pi.fgId(), packets, 0, 0);
            return;
        }
        ++flowCount_[Family::index];
        ++stats_.flowsCreated;
    } else {
        e = stored->value();
    }
    // A record restarted by an active export begins again with its next packet.
    if (e.pkts() == 0) {
        e.startTimeIs(t);
        e.lastPktTimeIs(t);
    }
    e.bytesIs(e.bytes() + pi.bytes());
    e.pktsIs(e.pkts() + packets);
    e.lastPktTimeIs(std::max(e.lastPktTime(), t));
    if (isTcp(pi.ipProtocol())) {
        e.tcpFlagsIs(Wirekit::TcpDataOffsetAndFlags(e.tcpFlags().value() |
                                                    (pi.tcpFlags().value() & tcpFlagBits)));
    }
    e.tosIs(Wirekit::IpTos(pi.tosFlowLabel().trafficClass()));
    if constexpr (std::is_same_v<Entry, Ip6FlowEntry>) {
        e.flowLabelIs(pi.tosFlowLabel().flowLabel());
    }
    Family::put(*flowTable_, e);
    ++stats_.packets;
    updateCounters(ftId(), pi.fgId(), packets, isNew ? 1 : 0, 0);
}

// ---- Records ------------------------------------------------------------------------------

template <class Family>
void FlowTrackSm::exportFlow(const typename Family::Entry& e, FlowEndReason reason) {
    Kiln::Ptr<FlowInfo> fi = flowInfoFactory(
        ftId(), fgId_[Family::index], e.key().vrfId(), e.srcEthAddr(), e.dstEthAddr(),
        Wirekit::IpGenAddr(e.srcIpAddr()), Wirekit::IpGenAddr(e.dstIpAddr()), e.ipProtocol(),
        e.tos().value(), e.srcPort(), e.dstPort(), e.tcpFlags(), e.bytes(), e.pkts(), e.startTime(),
        e.lastPktTime(), reason, e.inIfIndex(), e.outIfIndex(), e.inIfType(), e.key().vlanId(),
        e.egressVlanId());
    fi->vniIs(e.vni());
    fi->tunnelStateIs(e.tunnelState());
    if constexpr (std::is_same_v<typename Family::Entry, Ip6FlowEntry>) {
        fi->flowLabelIs(e.flowLabel());
    }
    Kiln::Ptr<Loom::CrossThreadDesc> desc = std::move(fi);
    if (!exporterQueue()) {
        ++stats_.exporterQueueFull;
        return;
    }
    // A failed push leaves desc as it was, so it can be tried again.
    if (!exporterQueue()->push(std::move(desc))) {
        if (!waitWhenExporterFull_) {
            ++stats_.exporterQueueFull;
            return;
        }
        ++stats_.exporterQueueWaits;
        while (!exporterQueue()->push(std::move(desc))) {
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    }
    ++stats_.flowsExported;
}

void FlowTrackSm::flushFlows(FlowEndReason reason) {
    if (!flowTable_) return;
    const auto flush = [&]<class Family>(Family) {
        std::uint64_t ended = 0;
        auto& binding = Family::binding(*flowTable_);
        for (typename std::remove_reference_t<decltype(binding)>::IteratorConst it(&binding);
             it.valid(); it.advance()) {
            if (it->pkts() > 0) exportFlow<Family>(it->value(), reason);
            ++ended;
        }
        if constexpr (Family::index == 0) {
            flowTable_->ipFlowEntryDelAll();
        } else {
            flowTable_->ip6FlowEntryDelAll();
        }
        flowCount_[Family::index] = 0;
        if (ended) updateCounters(ftId(), fgId_[Family::index], 0, 0, ended);
    };
    flush(Ip4Family{});
    flush(Ip6Family{});
}

// ---- Scans --------------------------------------------------------------------------------

void FlowTrackSm::handleActiveTimer() { scan<Ip4Family>(true); }
void FlowTrackSm::handleInactiveTimer() { scan<Ip4Family>(false); }
void FlowTrackSm::handleIp6ActiveTimer() { scan<Ip6Family>(true); }
void FlowTrackSm::handleIp6InactiveTimer() { scan<Ip6Family>(false); }

template <class Family>
auto& FlowTrackSm::walk(bool active) {
    if constexpr (Family::index == 0) {
        return walk4_[active];
    } else {
        return walk6_[active];
    }
}

template <class Family>
void FlowTrackSm::scan(bool active) {
    const Scan which =
        Family::index == 0 ? (active ? active4 : inactive4) : (active ? active6 : inactive6);
    // Before start() the timer runs its first step with no table yet: nothing to age.
    if (!flowTable_) return;
    const TemplateId fgId = fgId_[Family::index];
    const Kiln::Seconds now = Kiln::System::currentTime();
    auto& binding = Family::binding(*flowTable_);
    auto& at = walk<Family>(active).at;
    if (!at) {
        updateCurrScanStartTime(active, fgId, now);
        (this->*startTimeSetter[which])(now);
        at.emplace(&binding);
    }
    const Kiln::Seconds interval = activeInterval();
    const Kiln::Seconds timeout = inactiveTimeout();
    std::uint64_t expired = 0;
    // The walk copies each entry and resumes after its key, so rewriting or deleting the
    // current entry keeps it going.
    std::size_t visited = 0;
    for (; at->valid() && visited < scanStepEntries_; at->advance(), ++visited) {
        const typename Family::Entry& e = (*at)->value();
        const bool finished =
            isTcp(e.ipProtocol()) && (e.tcpFlags().value() & (tcpFin | tcpRst)) != 0;
        const bool idle = now - e.lastPktTime() >= timeout;
        // The active scan leaves idle flows to the inactive scan (their records grow no longer)
        // and ends a finished flow due for a record at once, with its own reason.
        const bool due = active && e.pkts() > 0 && now - e.startTime() >= interval && !idle;
        if (due && !finished) {
            exportFlow<Family>(e, FlowEndReason::activeTimeout);
            typename Family::Entry restarted = e;
            restarted.bytesIs(0);
            restarted.pktsIs(0);
            restarted.tcpFlagsIs(Wirekit::TcpDataOffsetAndFlags());
            restarted.entryExportedIs(true);
            Family::put(*flowTable_, restarted);
            continue;
        }
        if (active && !due) continue;
        if (!finished && !idle) continue;
        if (e.pkts() > 0) {
            exportFlow<Family>(e, finished ? FlowEndReason::endOfFlow : FlowEndReason::idleTimeout);
        }
        Family::del(*flowTable_, e.key());
        --flowCount_[Family::index];
        ++expired;
    }
    if (expired) updateCounters(ftId(), fgId, 0, 0, expired);
    BASALT_TRACE(trace, 5,
                 ftName_ << ": " << scanName[which] << " scan step: " << visited << " visited, "
                         << expired << " ended" << (at->valid() ? ", more to walk" : ""));
    const auto& t = timer(which);
    if (at->valid()) {
        // More to walk: the next step as soon as the loop has served what waits.
        if (t) t->scheduleTaskLowestDelay(0);
        return;
    }
    at.reset();
    const Kiln::Seconds delay = computeTimeDelay(active, fgId);
    const Kiln::Seconds last = scanTimes_[{active, fgId.value()}].last;  // computeTimeDelay's
    (this->*lastScanSetter[which])(last);
    if (last > (this->*maxScanGetter[which])()) (this->*maxScanSetter[which])(last);
    if (t) t->scheduleTaskLowestDelay(std::max(delay, minScanDelay));
}

const Kiln::Ptr<Loom::TimerTask>& FlowTrackSm::timer(Scan scan) const {
    switch (scan) {
        case active4:
            return activeTimerTask();
        case inactive4:
            return inactiveTimerTask();
        case active6:
            return ip6ActiveTimerTask();
        default:
            return ip6InactiveTimerTask();
    }
}

bool FlowTrackSm::nextScanDue(Kiln::Seconds* due, Scan* scan) const {
    bool any = false;
    for (int s = 0; s < scanCount; ++s) {
        Kiln::Seconds d = 0;
        const auto& t = timer(static_cast<Scan>(s));
        if (t && t->firingDue(&d) && (!any || d < *due)) {
            *due = d;
            *scan = static_cast<Scan>(s);
            any = true;
        }
    }
    return any;
}

void FlowTrackSm::runScan(Scan scan) {
    if (const auto& t = timer(scan)) t->firingDel();
    switch (scan) {
        case active4:
            handleActiveTimer();
            break;
        case inactive4:
            handleInactiveTimer();
            break;
        case active6:
            handleIp6ActiveTimer();
            break;
        default:
            handleIp6InactiveTimer();
            break;
    }
}

Kiln::Ptr<FlowTrackSm> flowTrackSmFactory(
    Kiln::String ftrTypeStr, Kiln::String ftName, FtId ftId,
    const Kiln::Ptr<const HwFlowTracking::FtConfig>& ftConfig,
    const Kiln::Ptr<Loom::EventSpscQueue>& exporterQueue,
    const Kiln::Ptr<Loom::TaskSchedulerRoot>& scheduler, Kiln::String sysname,
    const Kiln::Ptr<Hoard::FlowTracker::FtCounters>& counters) {
    return Kiln::factoryNew<FlowTrackSm>(FlowTrackSm::allocTrackTypeInfo, std::move(ftrTypeStr),
                                         std::move(ftName), ftId, ftConfig, exporterQueue,
                                         scheduler, std::move(sysname), counters);
}

}  // namespace Flowtrack
