// The library's value types as generic code meets them: by name through the registry, then only
// through their records and function tables. One table of non-default samples drives the
// attribute numbering, copies, texts, hashes and attribute ops of every value type; the counted
// descriptors and the constructor arguments follow.

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>

#include "FlowTracker/FlowTableTypes.h"
#include "FlowTracker/FtCounterTypes.h"
#include "FlowTracker/PacketTypes.h"
#include "contracts/Basalt/Exception.h"
#include "contracts/Kiln/KilnType.h"
#include "tests/support/TextParsing.h"

namespace {

using namespace FlowTracking;
using namespace Hoard::FlowTracker;
using Kiln::GenericIf;
using Kiln::KilnType;
using Vlan = Bridging::VlanIdOrAnyOrNone;
using VrfId = Vrf::VrfIdMap::VrfId;

const KilnType& record(std::string_view name) {
    const KilnType* type = Kiln::typeNode(name);
    if (type && type->genericIf()) return *type;
    throw std::runtime_error("no generic table for " + std::string(name));
}

// Raw storage for a value or an attribute of a value type (all trivially copyable).
struct alignas(16) Storage {
    unsigned char bytes[256] = {};
};

// The record's attributes in number order, which must run from 2 without gaps: each name, with
// "=" when writable and "()" when a function.
std::string listing(const KilnType& type) {
    std::string out;
    std::size_t count = 0;
    for (std::uint32_t n = 2; const KilnType::Attribute* a = type.attribute(n); ++n, ++count) {
        out += (out.empty() ? "" : " ") + a->name;
        out += a->access == KilnType::Access::readWrite  ? "="
               : a->access == KilnType::Access::function ? "()"
                                                         : "";
    }
    EXPECT_EQ(count, type.attributes().size()) << type.name() << ": a gap in the numbers";
    return out;
}

struct Sample {
    const char* type;
    const void* value;
    std::string text;                   // its valueToStrep
    std::optional<std::uint32_t> hash;  // keys only
    const char* attributes;             // listing()
};

template <class T>
Sample sample(const char* type, const T& value, std::optional<std::uint32_t> hash,
              const char* attributes) {
    return {type, &value, TestSupport::textOf(value), hash, attributes};
}

bool isEqual(const KilnType& type, void* a, const void* b) {
    bool equal = false;
    EXPECT_EQ(type.genericIf()->attributeOp(&equal, a, 0, GenericIf::isEqual, b, nullptr), 0);
    return equal;
}

const IpFlowKey kKey(VrfId(3), Vlan(100), Wirekit::IpAddr(10, 0, 0, 1),
                     Wirekit::IpAddr(10, 0, 0, 2), Wirekit::ipProtoTcp, 1234, 80);
const Ip6FlowKey kKey6(VrfId(4), Vlan(200), Wirekit::Ip6Addr::fromWords(0x20010db8, 0, 0, 1),
                       Wirekit::Ip6Addr::fromWords(0x20010db8, 0, 0, 2), Wirekit::ipProtoUdp, 53,
                       5353);

TEST(GenericValueTest, EveryValueTypeThroughItsRecordOnly) {
    IpFlowEntry entry(kKey);
    entry.bytesIs(1500);
    entry.tunnelStateIs(TunnelState::vxlanEncap);
    Ip6FlowEntry entry6(kKey6);
    entry6.flowLabelIs(0x12345);
    BgpFlowEntry bgp(kKey);
    bgp.srcAsIs(65001);
    Bgp6FlowEntry bgp6(kKey6);
    bgp6.dstPrefixLenIs(48);
    const FlowEntry counters(5, 2, 90, 1234.5);
    const FlowCounterKey total(3);
    const FlowGroupCounterKey group(FtId(1), TemplateId(5));
    const FlowCounterEntry totalEntry(total, counters);
    const FlowGroupCounterEntry groupEntry(group, counters);
    const PacketInfoFlags flags(0x45);
    const TosFlowLabel tos(0x123456);
    const FlowEndReason reason = FlowEndReason::endOfFlow;
    const TunnelState tunnel = TunnelState::vxlanDecap;

    const char* const key =
        "vrfId vlanId srcAddr dstAddr ipProtocol srcPort dstPort str() "
        "ipProtocolNumber hash()";
    const char* const bgpAttributes =
        "key srcAs= dstAs= nextHopIp= bgpNextHopIp= srcPrefixLen= dstPrefixLen= str()";
    const Sample samples[] = {
        sample("FlowTracking::IpFlowKey", kKey, kKey.hash(0), key),
        sample("FlowTracking::Ip6FlowKey", kKey6, kKey6.hash(0), key),
        sample("FlowTracking::IpFlowEntry", entry, std::nullopt,
               "key srcEthAddr= egressVlanId= dstEthAddr= srcIpAddr= dstIpAddr= ipProtocol= tos= "
               "tcpFlags= srcPort= dstPort= bytes= pkts= hwBytes= hwPkts= startTime= "
               "lastPktTime= inIfIndex= outIfIndex= inIfType= vni= tunnelState= entryExported= "
               "str()"),
        sample("FlowTracking::Ip6FlowEntry", entry6, std::nullopt,
               "key srcEthAddr= egressVlanId= dstEthAddr= srcIpAddr= dstIpAddr= ipProtocol= "
               "tcpFlags= tos= flowLabel= srcPort= dstPort= bytes= pkts= startTime= "
               "lastPktTime= inIfIndex= outIfIndex= inIfType= vni= tunnelState= entryExported= "
               "str()"),
        sample("FlowTracking::BgpFlowEntry", bgp, std::nullopt, bgpAttributes),
        sample("FlowTracking::Bgp6FlowEntry", bgp6, std::nullopt, bgpAttributes),
        sample("Hoard::FlowTracker::FlowEntry", counters, std::nullopt,
               "flows= expiredFlows= packets= lastClearedTime= hoardString()"),
        sample("Hoard::FlowTracker::FlowCounterKey", total, Kiln::hashSingleAttr(0, 3u),
               "key hoardString() hash()"),
        sample("Hoard::FlowTracker::FlowGroupCounterKey", group, group.hash(0),
               "ftId fgId hoardString() hash()"),
        sample("Hoard::FlowTracker::FlowCounterEntry", totalEntry, std::nullopt,
               "key flowEntry= hoardString()"),
        sample("Hoard::FlowTracker::FlowGroupCounterEntry", groupEntry, std::nullopt,
               "key flowEntry= hoardString()"),
        sample("FlowTracking::PacketInfoFlags", flags, std::nullopt,
               "value= srcIntfRoutedPort= fragmentedPkt= dontFag= updateEntry= isBgpRoute= "
               "hoEntry= tcpFlags="),
        sample("FlowTracking::TosFlowLabel", tos, std::nullopt, "value= trafficClass= flowLabel="),
        sample("FlowTracking::FlowEndReason", reason, std::nullopt, ""),
        sample("FlowTracking::TunnelState", tunnel, std::nullopt, ""),
    };
    const KilnType& entity = *Kiln::typeNode("Kiln::Entity");
    for (const Sample& s : samples) {
        SCOPED_TRACE(s.type);
        const KilnType& type = record(s.type);
        const GenericIf::Table& g = *type.genericIf();
        EXPECT_EQ(listing(type), s.attributes);

        // A copy prints as the value does; its text parses into a default value (which is the
        // default, the sample is not), back equal.
        Storage copy, parsed;
        g.construct(copy.bytes, s.value);
        g.construct(parsed.bytes, nullptr);
        bool isDefault = false;
        EXPECT_EQ(g.attributeOp(&isDefault, parsed.bytes, 0, GenericIf::isDefault, 0, 0), 0);
        EXPECT_TRUE(isDefault);
        EXPECT_EQ(g.attributeOp(&isDefault, copy.bytes, 0, GenericIf::isDefault, 0, 0), 0);
        EXPECT_FALSE(isDefault);
        EXPECT_EQ(g.strRep(copy.bytes, type).stdString(), s.text);
        g.strepToValue(parsed.bytes, Kiln::String(s.text), type);
        EXPECT_EQ(g.strRep(parsed.bytes, type).stdString(), s.text);
        EXPECT_TRUE(isEqual(type, parsed.bytes, copy.bytes));

        // Keys hash and order; nothing else does.
        bool less = false;
        EXPECT_EQ(g.attributeOp(&less, copy.bytes, 0, GenericIf::isLess, parsed.bytes, 0),
                  s.hash ? 0 : 1);
        EXPECT_FALSE(less);
        if (s.hash) {
            EXPECT_EQ(g.hash(copy.bytes, type), *s.hash);
        } else {
            EXPECT_THROW(g.hash(copy.bytes, type), Basalt::TypeException);
        }

        // Every listed attribute answers: read, or call. Only writable ones take a write.
        for (const KilnType::Attribute& a : type.attributes()) {
            SCOPED_TRACE(a.name);
            Storage result, zero;
            Kiln::String text;
            std::uint32_t hash = 0;
            if (a.access != KilnType::Access::function) {
                EXPECT_EQ(g.attributeOp(result.bytes, copy.bytes, a.number, GenericIf::attrGet,
                                        nullptr, nullptr),
                          0);
            } else if (a.name == "hash") {
                EXPECT_EQ(g.attributeOp(&hash, copy.bytes, a.number, GenericIf::attrCall, 0, 0), 0);
                EXPECT_EQ(hash, s.hash);
            } else {
                EXPECT_EQ(g.attributeOp(&text, copy.bytes, a.number, GenericIf::attrCall, 0, 0), 0);
                EXPECT_FALSE(text.stdString().empty());
            }
            if (a.access != KilnType::Access::readWrite) {
                EXPECT_EQ(g.attributeOp(nullptr, copy.bytes, a.number, GenericIf::attrSet,
                                        zero.bytes, nullptr),
                          1);
                EXPECT_TRUE(isEqual(type, parsed.bytes, copy.bytes));
            }
        }
        Storage result;
        EXPECT_EQ(g.attributeOp(result.bytes, copy.bytes, 1, GenericIf::attrGet, 0, 0), 2);
        EXPECT_EQ(g.attributeOp(result.bytes, copy.bytes, 99, GenericIf::attrGet, 0, 0), 2);

        EXPECT_EQ(g.voidPtrIs(copy.bytes, type, type), copy.bytes);
        EXPECT_THROW(g.voidPtrIs(copy.bytes, type, entity), Basalt::TypeException);
        g.destruct(copy.bytes);
        g.destruct(parsed.bytes);
    }
}

TEST(GenericValueTest, AttributeValuesWritesAndConstructorArguments) {
    const KilnType& keyType = record("FlowTracking::IpFlowKey");
    const KilnType& entryType = record("FlowTracking::IpFlowEntry");

    // The protocol number is the low 8 bits of ipProtocol.
    IpFlowKey key(VrfId(3), Vlan(100), Wirekit::IpAddr(10, 0, 0, 1), Wirekit::IpAddr(10, 0, 0, 2),
                  static_cast<Wirekit::IpProtocolNumber>(0x106), 1234, 80);
    std::uint8_t number = 0;
    EXPECT_EQ(keyType.genericIf()->attributeOp(&number, &key, 10, GenericIf::attrGet, 0, 0), 0);
    EXPECT_EQ(number, 6);

    // Attributes travel as their own C++ types.
    IpFlowEntry entry(kKey);
    const std::uint64_t bytes = 77;
    IpFlowKey readKey;
    EXPECT_EQ(
        entryType.genericIf()->attributeOp(nullptr, &entry, 13, GenericIf::attrSet, &bytes, 0), 0);
    EXPECT_EQ(entry.bytes(), 77u);
    EXPECT_EQ(entryType.genericIf()->attributeOp(&readKey, &entry, 2, GenericIf::attrGet, 0, 0), 0);
    EXPECT_EQ(readKey, kKey);

    // Keys from all their attributes in declaration order, records from their key alone.
    const VrfId vrf(3);
    const Vlan vlan(100);
    const Wirekit::IpAddr src(10, 0, 0, 1), dst(10, 0, 0, 2);
    const Wirekit::IpProtocolNumber protocol = Wirekit::ipProtoTcp;
    const std::uint16_t srcPort = 1234, dstPort = 80;
    const void* keyArgs[] = {&vrf, &vlan, &src, &dst, &protocol, &srcPort, &dstPort};
    Storage made;
    keyType.genericIf()->constructFromCtorArgs(made.bytes, keyArgs);
    EXPECT_EQ(*reinterpret_cast<const IpFlowKey*>(made.bytes), kKey);
    const void* entryArgs[] = {&kKey};
    entryType.genericIf()->constructFromCtorArgs(made.bytes, entryArgs);
    EXPECT_EQ(*reinterpret_cast<const IpFlowEntry*>(made.bytes), IpFlowEntry(kKey));
}

// Counted descriptors: attributes by number, their bases as subobjects, no value operations.
TEST(GenericValueTest, CountedDescriptorsShowAttributesAndBases) {
    const auto packet = packetInfoFactory(
        FtId(7), TemplateId(3), Wirekit::IpGenAddr(Wirekit::IpAddr(10, 0, 0, 1)),
        Wirekit::IpGenAddr(Wirekit::IpAddr(10, 0, 0, 2)), Wirekit::ipProtoTcp, Wirekit::Port(1),
        Wirekit::Port(2), 1.25, 11, Wirekit::IntfId("Ethernet1"), 6, Vlan(100), {});
    const KilnType& type = record("FlowTracking::PacketInfo");
    const GenericIf::Table& g = *type.genericIf();
    EXPECT_EQ(listing(type).substr(0, 20), "ftId fgId srcIpAddr ");
    EXPECT_EQ(type.attribute("dontFrag")->number, 42u);
    EXPECT_EQ(type.attribute(46)->name, "tcpFlags");
    EXPECT_EQ(listing(record("FlowTracking::FlowInfo")).substr(0, 16), "ftId templateId ");
    EXPECT_EQ(record("FlowTracking::FlowInfo").attribute(32)->name, "tunnelState");

    FtId ftId;
    Wirekit::IntfId intf;
    const std::uint64_t bytes = 9;
    EXPECT_EQ(g.attributeOp(&ftId, packet.ptr(), 2, GenericIf::attrGet, 0, 0), 0);
    EXPECT_EQ(ftId, FtId(7));
    EXPECT_EQ(g.attributeOp(&intf, packet.ptr(), 11, GenericIf::attrGet, 0, 0), 0);
    EXPECT_EQ(intf, Wirekit::IntfId("Ethernet1"));
    EXPECT_EQ(g.attributeOp(0, packet.ptr(), 2, GenericIf::attrSet, &ftId, 0), 1);
    EXPECT_EQ(g.attributeOp(0, packet.ptr(), type.attribute("bytes")->number, GenericIf::attrSet,
                            &bytes, 0),
              0);
    EXPECT_EQ(packet->bytes(), 9u);
    bool equal = false;
    EXPECT_EQ(g.attributeOp(&equal, packet.ptr(), 0, GenericIf::isEqual, packet.ptr(), 0), 1);

    const KilnType& desc = *Kiln::typeNode("Loom::CrossThreadDesc");
    EXPECT_EQ(g.voidPtrIs(packet.ptr(), type, desc),
              static_cast<Loom::CrossThreadDesc*>(packet.ptr()));
    EXPECT_EQ(g.voidPtrIs(packet.ptr(), type, *Kiln::typeNode("Kiln::PtrInterface")),
              static_cast<Kiln::PtrInterface*>(packet.ptr()));
    EXPECT_THROW(g.voidPtrIs(packet.ptr(), type, *Kiln::typeNode("Kiln::Entity")),
                 Basalt::TypeException);
    EXPECT_THROW(g.hash(packet.ptr(), type), Basalt::TypeException);
    EXPECT_EQ(g.construct, nullptr);
}

}  // namespace
