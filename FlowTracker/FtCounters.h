#pragma once

// The flow-tracking counters: the two counter collections' records as their tables store them,
// and their table operations (the table's hash seed, a real notification queue that shadow
// readers follow).

#include <cstdint>

#include "FlowTracker/FtCounterTypes.h"
#include "KilnHoard/KilnHoardMapValueWrapper.h"
#include "contracts/Herald/HeraldWriter.h"
#include "contracts/HoardBase/HeraldPos.h"

namespace Hoard::FlowTracker {

using CounterHeraldWriter = Herald::HeraldWriter<std::uint32_t, Hoard::HeraldPos>;

using FlowCounterEntryWrapper =
    KilnHoard::KilnHoardMapValueWrapper<FlowCounterEntry, FlowCounterKey, &FlowCounterEntry::key,
                                        false>;
using FlowGroupCounterEntryWrapper =
    KilnHoard::KilnHoardMapValueWrapper<FlowGroupCounterEntry, FlowGroupCounterKey,
                                        &FlowGroupCounterEntry::key, false>;

using FlowCounterEntryOps = KilnHoard::KilnHoardOps<FlowCounterEntryWrapper, CounterHeraldWriter>;
using FlowGroupCounterEntryOps =
    KilnHoard::KilnHoardOps<FlowGroupCounterEntryWrapper, CounterHeraldWriter>;

static_assert(sizeof(FlowCounterEntryWrapper) == sizeof(FlowCounterEntry) &&
                  sizeof(FlowGroupCounterEntryWrapper) == sizeof(FlowGroupCounterEntry),
              "a table slot holds exactly the record's bytes");

}  // namespace Hoard::FlowTracker
