#pragma once

// The dispatch from a slot header's `valueType` text (or a value text's type name) to code
// templated on the table's operations: the library's six table instantiations, the same the flow
// tracker's writers use, so hoardctl hashes, stores and checks every table exactly as they do.
// Each Ops' Value is the stored wrapper of a record; it carries the record's type name.

#include <string>
#include <string_view>

#include "FlowTracker/FlowTable.h"
#include "FlowTracker/FtCounters.h"

namespace Hoardctl {

template <class Ops>
struct KindTag {
    using type = Ops;
};

// Calls `f(KindTag<Ops>{})` for every table kind, in a fixed order.
template <class F>
void forEachKind(F&& f) {
    f(KindTag<FlowTracking::IpFlowEntryOps>{});
    f(KindTag<FlowTracking::Ip6FlowEntryOps>{});
    f(KindTag<FlowTracking::BgpFlowEntryOps>{});
    f(KindTag<FlowTracking::Bgp6FlowEntryOps>{});
    f(KindTag<Hoard::FlowTracker::FlowCounterEntryOps>{});
    f(KindTag<Hoard::FlowTracker::FlowGroupCounterEntryOps>{});
}

// Calls `f(KindTag<Ops>{})` for the kind whose value type is named `valueType` and returns
// true; false (f not called) for a name of no known kind.
template <class F>
bool dispatchValueType(std::string_view valueType, F&& f) {
    bool found = false;
    forEachKind([&](auto tag) {
        using Ops = typename decltype(tag)::type;
        if (!found && valueType == Ops::Value::typeName) {
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
