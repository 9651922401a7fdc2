#pragma once

// flowtrack's state machine of one flow tracker: the tracker's flows in its shared flow table,
// updated from sampled packets, aged by the four scan timers and handed to the exporter as
// finished flow records.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <utility>

#include "FlowTracker/FlowTable.h"
#include "FlowTracker/FlowTableMgrBase.h"

namespace Flowtrack {

using FlowTracking::FlowEndReason;
using FlowTracking::FtId;
using FlowTracking::TemplateId;

// What one tracker did, for the agent's progress line and summary.
struct FlowTrackStats {
    std::uint64_t packets = 0;             // packets applied to flows
    std::uint64_t flowsCreated = 0;        // flow entries added to the table
    std::uint64_t flowsExported = 0;       // records handed to the exporter queue
    std::uint64_t exporterQueueFull = 0;   // records dropped: the exporter queue was full
    std::uint64_t exporterQueueWaits = 0;  // records that waited for room (waitWhenExporterFull)
    std::uint64_t tableFull = 0;  // packets of new flows refused by a full table (each exported
                                  // as a one-packet record with reason lackOfResources)
};

// The state machine of one tracker. start() mounts the tracker's flow table as shared writer
// tables named FlowTable::mountPath(type, tracker name), "flowtracking/<type>/flowTable/<name>"
// (IPv4 and IPv6 flow collections; the BGP ones stay private), installs the four scan timers and
// marks the machine initialized.
//
// Flows: a packet creates or updates the entry of its key (VRF, VLAN, addresses, protocol,
// ports): bytes and packets add up, TCP flag bits OR together, startTime is the first packet of
// the record and lastPktTime the latest. A record ends with one of these reasons:
//  - end of flow: the flow has seen FIN or RST; it is exported at the next inactive scan, so
//    that the last packets of the closing exchange stay in the same record;
//  - idle timeout: exported at the first inactive scan at or after lastPktTime + inactive
//    timeout;
//  - active timeout: a flow whose record started at least an active interval ago is exported
//    at the active scan and goes on with its counts restarted (the next packet starts the next
//    record); scans run every active interval, so no record spans more than the active interval
//    plus one scan period. An idle flow is left to the inactive scan (its record no longer
//    grows); a finished one due for a record ends there as end of flow;
//  - forced end: flushFlows() at end of capture or when the tracker goes;
//  - lack of resources: the table holds maxFlowTableEntries flows and a packet of a new flow
//    comes; that packet is exported alone.
// A scan walks its table in steps of at most scanStepEntries() entries, one step per timer
// firing: a step that leaves entries re-arms its timer at once, so the packets queued meanwhile
// are applied between steps and a large table never holds the loop for a whole walk. Each step
// judges its entries by the time it runs; the scan's duration, first step to last, is what
// computeTimeDelay subtracts from the next delay. With recorded input the manager runs the steps
// of a due scan back to back at the scan's time (runScan), so the records stay those of a
// one-step walk. Exported records go to the exporter queue; a full queue drops the record and
// counts it, unless waitWhenExporterFull.
//
// Counters: each packet adds to the counter of its flow group (packets, new flows), each ended
// flow to expired flows, through the base's updateCounters.
//
// Thread safety: the manager's thread only, as the base.
class FlowTrackSm : public FlowTracking::FlowTableMgrSmBase {
  public:
    static Kiln::AllocTrackTypeInfo allocTrackTypeInfo;

    // The four timers, in the order of the base's handlers.
    enum Scan { active4, inactive4, active6, inactive6, scanCount };
    // Scans are never closer than this, whatever the configuration says (a zero period would
    // make the scans spin).
    static constexpr Kiln::Seconds minScanDelay = 0.001;
    // The tables' initial slot count; they grow as flows come.
    static constexpr unsigned initialTableSize = 1024;
    // Entries one scan step visits by default.
    static constexpr std::size_t defaultScanStepEntries = 4096;

    FlowTrackSm(Kiln::String ftrTypeStr, Kiln::String ftName, FtId ftId,
                const Kiln::Ptr<const HwFlowTracking::FtConfig>& ftConfig,
                const Kiln::Ptr<Loom::EventSpscQueue>& exporterQueue,
                const Kiln::Ptr<Loom::TaskSchedulerRoot>& scheduler, Kiln::String sysname,
                const Kiln::Ptr<Hoard::FlowTracker::FtCounters>& counters);
    ~FlowTrackSm() override;

    // Takes `table` as its flow table (null: mounts a new one), empties it, installs the timers
    // (each runs its first scan at once) and sets initialized. Once.
    void start(const Kiln::Ptr<FlowTracking::FlowTable>& table = nullptr);

    const Kiln::String& ftName() const { return ftName_; }
    const Kiln::Ptr<FlowTracking::FlowTable>& flowTable() const { return flowTable_; }
    const FlowTrackStats& stats() const { return stats_; }
    bool waitWhenExporterFull() const { return waitWhenExporterFull_; }
    std::size_t scanStepEntries() const { return scanStepEntries_; }
    void scanStepEntriesIs(std::size_t n) { scanStepEntries_ = std::max<std::size_t>(n, 1); }
    // Flows in the table now.
    std::uint64_t activeFlows() const { return flowCount_[0] + flowCount_[1]; }

    // A record that finds the exporter queue full: dropped and counted (false, the default: a
    // live capture must not stall), or waited for until the exporter makes room (true: recorded
    // input, where a record is never lost; the exporter must be draining the queue meanwhile).
    void waitWhenExporterFullIs(bool wait) { waitWhenExporterFull_ = wait; }

    // Exports every flow that has counts with `reason` and empties the table.
    void flushFlows(FlowEndReason reason);

    // The earliest pending scan firing (monotonic time) and its timer; false when none is armed.
    bool nextScanDue(Kiln::Seconds* due, Scan* scan) const;
    // Runs one step of the scan of `scan` now, in place of its pending firing (which it
    // cancels); the step arms the next firing itself (at once when the walk goes on).
    void runScan(Scan scan);

    // Hooks of the base.
    Kiln::Seconds maxScanDuration(bool active, TemplateId fgId) const override;
    void updateMaxScanDuration(bool active, TemplateId fgId,
                               const Kiln::Seconds& scanTime) override;
    void updateLastScanDuration(bool active, TemplateId fgId,
                                const Kiln::Seconds& scanTime) override;
    Kiln::Seconds currScanStartTime(bool active, TemplateId fgId) const override;
    void updateCurrScanStartTime(bool active, TemplateId fgId,
                                 const Kiln::Seconds& scanTime) override;
    void handleActiveTimer() override;
    void handleInactiveTimer() override;
    void handleIp6ActiveTimer() override;
    void handleIp6InactiveTimer() override;
    void updateFlowEntry(const Kiln::Ptr<FlowTracking::PacketInfo>& pi) override;

  private:
    struct ScanTimes {
        Kiln::Seconds max = 0;
        Kiln::Seconds last = 0;
        Kiln::Seconds start = 0;
    };
    template <class Family>
    void update(const FlowTracking::PacketInfo& pi);
    // A scan between its steps: the walk resumes after the key it stopped at (the iterator
    // holds a copy of that entry, so the entry may change or go meanwhile).
    template <class Binding>
    struct Walk {
        std::optional<typename Binding::IteratorConst> at;
    };
    template <class Family>
    void scan(bool active);
    template <class Family>
    auto& walk(bool active);
    template <class Family>
    void exportFlow(const typename Family::Entry& entry, FlowEndReason reason);
    const Kiln::Ptr<Loom::TimerTask>& timer(Scan scan) const;

    const Kiln::String ftName_;
    Kiln::Ptr<FlowTracking::FlowTable> flowTable_;
    // The flow group of the latest packet of each family (IPv4, IPv6): the group the family's
    // scans, records and expiry counts belong to.
    TemplateId fgId_[2] = {TemplateId(0), TemplateId(0)};
    std::uint64_t flowCount_[2] = {0, 0};
    std::map<std::pair<bool, std::uint16_t>, ScanTimes> scanTimes_;
    FlowTrackStats stats_;
    bool waitWhenExporterFull_ = false;
    std::size_t scanStepEntries_ = defaultScanStepEntries;
    Walk<FlowTracking::FlowTable::IpFlowEntryCollection::Binding> walk4_[2];   // [active]
    Walk<FlowTracking::FlowTable::Ip6FlowEntryCollection::Binding> walk6_[2];  // [active]
};

Kiln::Ptr<FlowTrackSm> flowTrackSmFactory(
    Kiln::String ftrTypeStr, Kiln::String ftName, FtId ftId,
    const Kiln::Ptr<const HwFlowTracking::FtConfig>& ftConfig,
    const Kiln::Ptr<Loom::EventSpscQueue>& exporterQueue,
    const Kiln::Ptr<Loom::TaskSchedulerRoot>& scheduler, Kiln::String sysname,
    const Kiln::Ptr<Hoard::FlowTracker::FtCounters>& counters);

}  // namespace Flowtrack
