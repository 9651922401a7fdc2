#pragma once

// The library's 23 types as the runtime's reflection knows them: their qualified names in one
// read-only table, and the registration that runs once when the library is loaded.
//
// The name table is part of what other processes see: the shared-memory tables write these
// names into the `valueType` and `classType` fields of their file headers, and readers look
// record types up by them. Each name is NUL-terminated and starts on a 32-byte boundary; the
// records' names point into the table, so a record's name and the table's text are one text.
//
// Registration order: four units, each registering its own types (flow table, counters,
// manager, packet types), called in that order from one initialiser, since the order of static
// initialisation across files is unspecified. Every record is constant-initialised, so the
// initialiser may name records defined in any file.

#include <array>
#include <cstddef>
#include <string_view>

namespace FlowTracking {

// The types in the order of the name table.
enum class LibraryType : std::size_t {
    bgpFlowEntry,
    flowTable,
    ipFlowEntry,
    ip6FlowEntry,
    flowTableBase,
    ipFlowKey,
    bgp6FlowEntry,
    ip6FlowKey,
    flowEntry,
    flowGroupCounterEntry,
    flowCounterEntry,
    ftCounters,
    flowCounterKey,
    flowGroupCounterKey,
    testFlowTableMgrThread,
    flowTableMgrThreadBase,
    flowTableMgrSmBase,
    tosFlowLabel,
    packetInfo,
    packetInfoFlags,
    flowInfo,
    flowEndReason,
    tunnelState,
    count
};

inline constexpr std::array<std::string_view, static_cast<std::size_t>(LibraryType::count)>
    libraryTypeNames{
        "FlowTracking::BgpFlowEntry",
        "FlowTracking::FlowTable",
        "FlowTracking::IpFlowEntry",
        "FlowTracking::Ip6FlowEntry",
        "FlowTracking::FlowTableBase",
        "FlowTracking::IpFlowKey",
        "FlowTracking::Bgp6FlowEntry",
        "FlowTracking::Ip6FlowKey",
        "Hoard::FlowTracker::FlowEntry",
        "Hoard::FlowTracker::FlowGroupCounterEntry",
        "Hoard::FlowTracker::FlowCounterEntry",
        "Hoard::FlowTracker::FtCounters",
        "Hoard::FlowTracker::FlowCounterKey",
        "Hoard::FlowTracker::FlowGroupCounterKey",
        "FlowTracking::TestFlowTableMgrThread",
        "FlowTracking::FlowTableMgrThreadBase",
        "FlowTracking::FlowTableMgrSmBase",
        "FlowTracking::TosFlowLabel",
        "FlowTracking::PacketInfo",
        "FlowTracking::PacketInfoFlags",
        "FlowTracking::FlowInfo",
        "FlowTracking::FlowEndReason",
        "FlowTracking::TunnelState",
    };

inline constexpr std::size_t typeNameAlignment = 32;

// Where each name starts in the table: the previous name's end plus its NUL, rounded up.
inline constexpr auto typeNameOffsets = [] {
    std::array<std::size_t, libraryTypeNames.size() + 1> at{};
    for (std::size_t i = 0; i < libraryTypeNames.size(); ++i) {
        const std::size_t end = at[i] + libraryTypeNames[i].size() + 1;
        at[i + 1] = (end + typeNameAlignment - 1) / typeNameAlignment * typeNameAlignment;
    }
    return at;
}();

// The table itself: the names at their offsets, NUL everywhere else.
struct alignas(typeNameAlignment) TypeNameTable {
    char text[typeNameOffsets.back()];
};

inline constexpr TypeNameTable typeNameTable = [] {
    TypeNameTable t{};
    for (std::size_t i = 0; i < libraryTypeNames.size(); ++i) {
        for (std::size_t c = 0; c < libraryTypeNames[i].size(); ++c) {
            t.text[typeNameOffsets[i] + c] = libraryTypeNames[i][c];
        }
    }
    return t;
}();

// A type's name, pointing into the table.
constexpr std::string_view typeNameOf(LibraryType type) {
    const auto i = static_cast<std::size_t>(type);
    return {typeNameTable.text + typeNameOffsets[i], libraryTypeNames[i].size()};
}

// Registers every library type with the runtime, once; later calls do nothing. Runs when the
// library is loaded.
void registerLibraryTypes();

// The four units' registrations, each defined with its unit's types and called in this order
// by registerLibraryTypes. Each first describes its records (attributes, generic functions),
// then registers them in its unit's order.
void registerFlowTableTypes();
void registerFtCounterTypes();
void registerFlowTableMgrTypes();
void registerPacketTypes();

// What the units call to describe their records before registering them; each is defined
// next to the types it describes.
void describeFlowTableValueTypes();  // the flow keys and flow records
void describeFlowTableEntities();    // FlowTableBase, FlowTable
void describeFtCounterValueTypes();  // the counter keys and records
void describeFtCountersEntity();     // FtCounters
void describeFlowTableMgrTypes();    // the manager, its state machine, the test manager
void describePacketTypes();          // the descriptors, their packed words and enumerations

// The table kinds of the six table instantiations, registered with the flow table and
// counters units.
void registerFlowTableKinds();
void registerFtCounterKinds();

}  // namespace FlowTracking
