#pragma once

// The flow table of one flow tracker: the four flow collections' records as their tables store
// them, and their table operations (seed-0 hash, no notification queue).

#include "FlowTracker/FlowTableTypes.h"
#include "KilnHoard/KilnHoardMapValueWrapper.h"
#include "contracts/Herald/DummyHeraldWriter.h"

namespace FlowTracking {

using IpFlowEntryWrapper =
    KilnHoard::KilnHoardMapValueWrapper<IpFlowEntry, IpFlowKey, &IpFlowEntry::key, true>;
using Ip6FlowEntryWrapper =
    KilnHoard::KilnHoardMapValueWrapper<Ip6FlowEntry, Ip6FlowKey, &Ip6FlowEntry::key, true>;
using BgpFlowEntryWrapper =
    KilnHoard::KilnHoardMapValueWrapper<BgpFlowEntry, IpFlowKey, &BgpFlowEntry::key, true>;
using Bgp6FlowEntryWrapper =
    KilnHoard::KilnHoardMapValueWrapper<Bgp6FlowEntry, Ip6FlowKey, &Bgp6FlowEntry::key, true>;

using IpFlowEntryOps = KilnHoard::KilnHoardOps<IpFlowEntryWrapper, Herald::DummyHeraldWriter>;
using Ip6FlowEntryOps = KilnHoard::KilnHoardOps<Ip6FlowEntryWrapper, Herald::DummyHeraldWriter>;
using BgpFlowEntryOps = KilnHoard::KilnHoardOps<BgpFlowEntryWrapper, Herald::DummyHeraldWriter>;
using Bgp6FlowEntryOps = KilnHoard::KilnHoardOps<Bgp6FlowEntryWrapper, Herald::DummyHeraldWriter>;

static_assert(sizeof(IpFlowEntryWrapper) == sizeof(IpFlowEntry) &&
                  sizeof(Ip6FlowEntryWrapper) == sizeof(Ip6FlowEntry) &&
                  sizeof(BgpFlowEntryWrapper) == sizeof(BgpFlowEntry) &&
                  sizeof(Bgp6FlowEntryWrapper) == sizeof(Bgp6FlowEntry),
              "a table slot holds exactly the record's bytes");

}  // namespace FlowTracking
