#pragma once

// The six kinds of table hoardctl knows, and the dispatch from a slot header's `valueType` text
// (or a value text's type name) to code templated on the kind. Flow tables hash with seed 0 and
// have no notification queue; counter tables hash with the header's seed and feed a queue, the
// same instantiations the flow tracker's writers use.

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

#include "FlowTracker/FlowTableTypes.h"
#include "FlowTracker/FtCounterTypes.h"
#include "contracts/Herald/DummyHeraldWriter.h"
#include "contracts/Herald/HeraldWriter.h"
#include "contracts/HoardBase/HeraldPos.h"
#include "contracts/HoardBase/Ops.h"

namespace Hoardctl {

template <class K, class V, bool seedZero, class Queue>
struct TableKind {
    using Key = K;
    using Value = V;
    using Ops = Hoard::Ops<K, V, seedZero, Queue>;
};

using FlowQueue = Herald::DummyHeraldWriter;
using CounterQueue = Herald::HeraldWriter<std::uint32_t, Hoard::HeraldPos>;

using IpFlowKind = TableKind<FlowTracking::IpFlowKey, FlowTracking::IpFlowEntry, true, FlowQueue>;
using Ip6FlowKind =
    TableKind<FlowTracking::Ip6FlowKey, FlowTracking::Ip6FlowEntry, true, FlowQueue>;
using BgpFlowKind = TableKind<FlowTracking::IpFlowKey, FlowTracking::BgpFlowEntry, true, FlowQueue>;
using Bgp6FlowKind =
    TableKind<FlowTracking::Ip6FlowKey, FlowTracking::Bgp6FlowEntry, true, FlowQueue>;
using FlowCounterKind = TableKind<Hoard::FlowTracker::FlowCounterKey,
                                  Hoard::FlowTracker::FlowCounterEntry, false, CounterQueue>;
using FlowGroupCounterKind =
    TableKind<Hoard::FlowTracker::FlowGroupCounterKey, Hoard::FlowTracker::FlowGroupCounterEntry,
              false, CounterQueue>;

template <class Kind>
struct KindTag {
    using type = Kind;
};

// Calls `f(KindTag<Kind>{})` for every kind, in a fixed order.
template <class F>
void forEachKind(F&& f) {
    f(KindTag<IpFlowKind>{});
    f(KindTag<Ip6FlowKind>{});
    f(KindTag<BgpFlowKind>{});
    f(KindTag<Bgp6FlowKind>{});
    f(KindTag<FlowCounterKind>{});
    f(KindTag<FlowGroupCounterKind>{});
}

// Calls `f(KindTag<Kind>{})` for the kind whose value type is named `valueType` and returns
// true; false (f not called) for a name of no known kind.
template <class F>
bool dispatchValueType(std::string_view valueType, F&& f) {
    bool found = false;
    forEachKind([&](auto tag) {
        using Kind = typename decltype(tag)::type;
        if (!found && valueType == Kind::Value::typeName) {
            found = true;
            f(tag);
        }
    });
    return found;
}

// The type name a value text starts with ("Value('<type>', ** {..."), or "" when it does not
// start that way. Reads no further than the closing quote.
inline std::string valueTextTypeName(std::string_view text) {
    constexpr std::string_view prefix = "Value('";
    if (text.substr(0, prefix.size()) != prefix) return "";
    const std::size_t end = text.find('\'', prefix.size());
    if (end == std::string_view::npos) return "";
    return std::string(text.substr(prefix.size(), end - prefix.size()));
}

// The known value type names, comma separated, for messages.
inline std::string knownValueTypes() {
    std::string names;
    forEachKind([&](auto tag) {
        names += (names.empty() ? "" : ", ") + std::string(decltype(tag)::type::Value::typeName);
    });
    return names;
}

}  // namespace Hoardctl
