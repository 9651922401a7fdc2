#pragma once

// The table writer instantiations tests use: a flow table (seed-0 hash, no queue) and a counter
// table (the header's hash seed, a real notification queue).

#include "FlowTracker/FlowTableTypes.h"
#include "FlowTracker/FtCounterTypes.h"
#include "Hoard/HoardWriter.h"
#include "contracts/Herald/DummyHeraldWriter.h"
#include "contracts/Herald/HeraldWriter.h"
#include "contracts/HoardBase/Ops.h"

namespace TestSupport {

using FlowOps =
    Hoard::Ops<FlowTracking::IpFlowKey, FlowTracking::IpFlowEntry, true, Herald::DummyHeraldWriter>;
using CounterOps =
    Hoard::Ops<Hoard::FlowTracker::FlowGroupCounterKey, Hoard::FlowTracker::FlowGroupCounterEntry,
               false, Herald::HeraldWriter<std::uint32_t, Hoard::HeraldPos>>;
// The other counter table: its records have the same size as CounterOps' (only the header's
// value type tells the two apart).
using TotalCounterOps =
    Hoard::Ops<Hoard::FlowTracker::FlowCounterKey, Hoard::FlowTracker::FlowCounterEntry, false,
               Herald::HeraldWriter<std::uint32_t, Hoard::HeraldPos>>;
using FlowWriter = Hoard::HoardWriter<FlowOps>;
using CounterWriter = Hoard::HoardWriter<CounterOps>;

inline FlowTracking::IpFlowEntry flowEntry(std::uint32_t i, std::uint64_t generation = 0) {
    FlowTracking::IpFlowEntry e(FlowTracking::IpFlowKey(
        Vrf::VrfIdMap::VrfId(i % 3), Bridging::VlanIdOrAnyOrNone(static_cast<std::uint16_t>(i % 5)),
        Wirekit::IpAddr::fromHostOrder(0x0A000000u + i), Wirekit::IpAddr(10, 9, 9, 9),
        Wirekit::ipProtoTcp, static_cast<std::uint16_t>(i), 443));
    e.pktsIs(generation);
    e.bytesIs(i * 1000ull + generation);
    return e;
}

inline Hoard::FlowTracker::FlowGroupCounterEntry groupEntry(std::uint32_t i,
                                                            std::uint64_t generation = 0) {
    return Hoard::FlowTracker::FlowGroupCounterEntry(
        Hoard::FlowTracker::FlowGroupCounterKey(FlowTracking::FtId(1 + i / 100),
                                                FlowTracking::TemplateId(i % 100)),
        Hoard::FlowTracker::FlowEntry(generation, i, i * 7ull, 0.0));
}

}  // namespace TestSupport
