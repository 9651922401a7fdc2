// The library's types as other processes and generic code see them: the name table's layout
// (read back as raw bytes, the way a header's reader meets the names), the registration order,
// the derivation of the counted types, and the records their objects report.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "FlowTracker/FlowTable.h"
#include "FlowTracker/FlowTableMgrBase.h"
#include "FlowTracker/FtCounters.h"
#include "FlowTracker/PacketTypes.h"
#include "FlowTracker/TypeRegistration.h"
#include "contracts/Kiln/KilnType.h"

namespace {

using FlowTracking::libraryTypeNames;
using FlowTracking::typeNameTable;

TEST(TypeRegistrationTest, NameTableHoldsEachNameOnA32ByteBoundaryInOrder) {
    const char* const table = typeNameTable.text;
    const std::size_t size = sizeof(typeNameTable.text);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(table) % 32, 0u);
    EXPECT_EQ(size % 32, 0u);

    // Walk the bytes: a name, its NUL, NUL padding up to the next boundary.
    std::vector<std::string> names;
    for (std::size_t at = 0; at < size;) {
        ASSERT_EQ(at % 32, 0u);
        ASSERT_NE(table[at], '\0') << "a gap in the table at " << at;
        const std::size_t length = ::strnlen(table + at, size - at);
        ASSERT_LT(at + length, size) << "name at " << at << " is not NUL-terminated";
        names.emplace_back(table + at, length);
        at += length + 1;
        while (at % 32 != 0) ASSERT_EQ(table[at++], '\0');
    }
    const std::vector<std::string> expected{
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
    EXPECT_EQ(names, expected);

    // Every registered record's name is the table's text, not a copy of it.
    for (const std::string& name : expected) {
        const Kiln::KilnType* type = Kiln::typeNode(name);
        ASSERT_NE(type, nullptr) << name;
        EXPECT_GE(type->name().data(), table) << name;
        EXPECT_LT(type->name().data(), table + size) << name;
    }
}

TEST(TypeRegistrationTest, UnitsRegisterInOrderAndCountedTypesKnowTheirBases) {
    FlowTracking::registerLibraryTypes();  // already done at load: changes nothing
    std::vector<std::string> registered;
    for (const Kiln::KilnType* t : Kiln::types()) {
        if (std::find(libraryTypeNames.begin(), libraryTypeNames.end(), t->name()) !=
            libraryTypeNames.end()) {
            registered.emplace_back(t->name());
        }
    }
    const std::vector<std::string> order{
        // flow table
        "FlowTracking::Ip6FlowKey", "FlowTracking::Bgp6FlowEntry", "FlowTracking::IpFlowKey",
        "FlowTracking::FlowTableBase", "FlowTracking::Ip6FlowEntry", "FlowTracking::IpFlowEntry",
        "FlowTracking::FlowTable", "FlowTracking::BgpFlowEntry",
        // counters
        "Hoard::FlowTracker::FlowGroupCounterKey", "Hoard::FlowTracker::FlowCounterKey",
        "Hoard::FlowTracker::FtCounters", "Hoard::FlowTracker::FlowCounterEntry",
        "Hoard::FlowTracker::FlowGroupCounterEntry", "Hoard::FlowTracker::FlowEntry",
        // manager
        "FlowTracking::FlowTableMgrSmBase", "FlowTracking::FlowTableMgrThreadBase",
        "FlowTracking::TestFlowTableMgrThread",
        // packet types
        "FlowTracking::TunnelState", "FlowTracking::FlowEndReason", "FlowTracking::FlowInfo",
        "FlowTracking::PacketInfoFlags", "FlowTracking::PacketInfo", "FlowTracking::TosFlowLabel"};
    EXPECT_EQ(registered, order);

    const auto type = [](const char* name) -> const Kiln::KilnType& {
        const Kiln::KilnType* t = Kiln::typeNode(name);
        if (t == nullptr) throw std::runtime_error(std::string("not registered: ") + name);
        return *t;
    };
    const struct {
        const char* type;
        const char* base;
    } derivation[] = {
        {"FlowTracking::FlowTable", "FlowTracking::FlowTableBase"},
        {"FlowTracking::FlowTableBase", "Kiln::Entity"},
        {"Hoard::FlowTracker::FtCounters", "Kiln::Entity"},
        {"FlowTracking::TestFlowTableMgrThread", "Loom::EventLoopThread"},
        {"FlowTracking::FlowTableMgrSmBase", "Kiln::PtrInterface"},
        {"FlowTracking::PacketInfo", "Loom::CrossThreadDesc"},
        {"FlowTracking::FlowInfo", "Kiln::PtrInterface"},
    };
    for (const auto& d : derivation) {
        EXPECT_TRUE(type(d.type).isDerived(type(d.base))) << d.type << " " << d.base;
        EXPECT_FALSE(type(d.base).isDerived(type(d.type))) << d.base << " " << d.type;
    }

    // A counted object reports its most derived record.
    const auto table = FlowTracking::flowTableFactory("fwkType");
    const Kiln::Ptr<FlowTracking::FlowTableBase> base = table;
    EXPECT_EQ(base->fwkType(), &type("FlowTracking::FlowTable"));
    EXPECT_EQ(Hoard::FlowTracker::ftCountersFactory("fwkType")->fwkType(),
              &type("Hoard::FlowTracker::FtCounters"));
}

}  // namespace
