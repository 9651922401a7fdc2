#pragma once

// flowtrack's flow-table manager: one state machine per configured tracker, the packets of the
// input queue handed to them, and, for recorded input, a process clock that follows the
// packets' timestamps.

#include <cstdint>
#include <map>

#include "FlowTracker/FlowTableMgrBase.h"
#include "contracts/Kiln/System.h"
#include "tools/flowtrack/FlowTrackSm.h"

namespace Flowtrack {

// Capture time as the process's time. It drives a Kiln::ManualClock that the caller installed as
// the process clock (Kiln::clockIs), so that everything reading Kiln::System::currentTime() or
// the monotonic time (the manager's timers included) sees the time of the packets being read,
// not the time it takes to read them: the same capture gives the same flows at any read speed.
//
// The first packet sets the wall time (a step: monotonic time, and so the timers, stay put);
// later packets move both times forward and never back (an older packet leaves the clock alone).
//
// Thread safety: only the manager's thread moves it; any thread may read the installed clock.
class CaptureClock {
  public:
    explicit CaptureClock(Kiln::ManualClock& clock) : clock_(clock) {}

    bool started() const { return started_; }
    Kiln::Seconds now() const { return clock_.wallTime(); }
    Kiln::Seconds monotonicNow() const { return clock_.monotonicTime(); }
    // Sets the wall time to the first packet's time.
    void startAt(Kiln::Seconds wallTime) {
        clock_.wallTimeIs(wallTime);
        started_ = true;
    }
    // Moves both times forward to wall time `wallTime`; a time not after now changes nothing.
    void advanceTo(Kiln::Seconds wallTime) {
        const Kiln::Seconds delta = wallTime - clock_.wallTime();
        if (delta > 0) clock_.advance(delta);
    }

  private:
    Kiln::ManualClock& clock_;
    bool started_ = false;
};

// The manager of flowtrack. Trackers come from the HwFlowTracking::Config entries (name, FtId,
// active interval, inactive timeout): each gets a FlowTrackSm, started at once; a changed FtId
// replaces the machine (the old one's flows end as forced ends), a changed period re-arms the
// machine's timers (the base does), a removed entry ends the tracker's flows and its machine.
// Counters live at "<sysname>/Shmem/flowtracking/<type>/counters"; clear requests are the base's.
//
// Time: with a capture clock (captureClockIs), each packet first moves the clock to its
// timestamp, running every scan that falls due on the way, at its due time and in due order, so
// an aging scan always runs before the packet that passes its time (while no tracker has flows,
// the clock moves in one step: the scans would find nothing). Without one, the event loop fires
// the timers on the process clock (live capture). Packets of unknown trackers move no clock.
//
// Thread safety: as FlowTableMgrThreadBase; everything on the serving thread.
class FlowTrackMgr : public FlowTracking::FlowTableMgrThreadBase {
  public:
    static Kiln::AllocTrackTypeInfo allocTrackTypeInfo;

    using FlowTableMgrThreadBase::FlowTableMgrThreadBase;
    ~FlowTrackMgr() override;

    // Set before the manager starts; the clock must outlive the manager's use of it.
    void captureClockIs(CaptureClock* clock) { captureClock_ = clock; }
    CaptureClock* captureClock() const { return captureClock_; }
    // Whether the trackers wait for room in a full exporter queue instead of dropping the
    // record (FlowTrackSm::waitWhenExporterFullIs); set before the manager starts.
    void waitWhenExporterFullIs(bool wait) { waitWhenExporterFull_ = wait; }

    Kiln::String countersPath() override;
    bool flowTableMgrSmExists(FtId ftId) override;
    void updateflowTableSmFlowEntry(const Kiln::Ptr<FlowTracking::PacketInfo>& pi) override;
    void handleFtConfig(Kiln::String ftName) override;
    // The serving thread's end: every tracker's flows end as forced ends.
    void doDelSm() override;
    void kilnDoZombieReactors(bool zombie) override;

    // End of capture: the packets still queued are applied, then every tracker's flows are
    // exported as forced ends; the trackers stay. On the serving thread (the sampler, done
    // pushing, posts it to the manager's loop).
    void endOfCapture();

    // The state machine of tracker `ftId`, or null.
    Kiln::Ptr<FlowTrackSm> flowTrackSm(FtId ftId) const;
    // Packets of a tracker without a state machine, dropped.
    std::uint64_t unknownTrackerPackets() const { return unknownTrackerPackets_; }
    // The trackers' counts added up (serving thread; a status line posts its read there).
    FlowTrackStats stats() const;
    std::uint64_t activeFlows() const;

  private:
    // Runs the scans due up to wall time `t` and moves the capture clock there.
    void followPacketTime(Kiln::Seconds t);
    void removeSm(std::map<std::uint32_t, Kiln::Ptr<FlowTrackSm>>::iterator it);

    CaptureClock* captureClock_ = nullptr;
    bool waitWhenExporterFull_ = false;
    std::map<std::uint32_t, Kiln::Ptr<FlowTrackSm>> sms_;  // by FtId
    // The flow tables mounted so far, by tracker name: a tracker that comes back (or changes
    // its FtId) writes the table it had, whose writer this process already is.
    std::map<Kiln::String, Kiln::Ptr<FlowTracking::FlowTable>> flowTables_;
    std::uint64_t unknownTrackerPackets_ = 0;
    FlowTrackStats retired_;  // counts of the machines already gone
    bool zombie_ = false;
};

Kiln::Ptr<FlowTrackMgr> flowTrackMgrFactory(
    Kiln::Name name, const Kiln::Ptr<Loom::EventLoop>& evLoop, Kiln::String ftrTypeStr,
    const Kiln::Ptr<Loom::EventLoopHeartBeatCtx>& hbCtx,
    const Kiln::Ptr<Loom::TaskSchedulerRoot>& mainThreadScheduler,
    const Kiln::Ptr<Loom::EventSpscQueue>& ftInputQueue,
    const Kiln::Ptr<Loom::EventSpscQueue>& exporterQueue,
    const Kiln::Ptr<const HwFlowTracking::Config>& hwConfig,
    const Kiln::Ptr<const FlowTracking::Config>& flowTrackingConfig,
    const Kiln::Ptr<const FlowTracking::ConfigReq>& flowTrackingConfigReq, Kiln::String sysname);

}  // namespace Flowtrack
