// Packet and flow descriptors: the bit layout of the packed flag and flow-label words, the texts
// of the words and enumerations, the descriptors' argument order, and the tracked allocation
// behind the factories.

#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "FlowTracker/PacketTypes.h"
#include "tests/support/Seed.h"
#include "tests/support/TextParsing.h"

namespace {

using namespace FlowTracking;
using Wirekit::TcpDataOffsetAndFlags;

// Every writer of a PacketInfoFlags word, with the bits it owns.
using FlagWriter = std::function<void(PacketInfoFlags&, std::uint32_t)>;
const std::vector<std::pair<std::uint32_t, FlagWriter>> kFlagWriters = {
    {1u << 0, [](PacketInfoFlags& f, std::uint32_t a) { f.srcIntfRoutedPortIs(a & 1); }},
    {1u << 1, [](PacketInfoFlags& f, std::uint32_t a) { f.fragmentedPktIs(a & 1); }},
    {1u << 2, [](PacketInfoFlags& f, std::uint32_t a) { f.dontFagIs(a & 1); }},
    {1u << 3, [](PacketInfoFlags& f, std::uint32_t a) { f.updateEntryIs(a & 1); }},
    {1u << 4, [](PacketInfoFlags& f, std::uint32_t a) { f.isBgpRouteIs(a & 1); }},
    {1u << 5, [](PacketInfoFlags& f, std::uint32_t a) { f.hoEntryIs(a & 1); }},
    {0x003FFFC0u, [](PacketInfoFlags& f, std::uint32_t a) {
         f.tcpFlagsIs(TcpDataOffsetAndFlags(static_cast<std::uint16_t>(a)));
     }}};

// What the views read, packed back into their documented bit positions.
std::uint32_t viewsOf(const PacketInfoFlags& f) {
    return std::uint32_t{f.srcIntfRoutedPort()} | std::uint32_t{f.fragmentedPkt()} << 1 |
           std::uint32_t{f.dontFag()} << 2 | std::uint32_t{f.updateEntry()} << 3 |
           std::uint32_t{f.isBgpRoute()} << 4 | std::uint32_t{f.hoEntry()} << 5 |
           std::uint32_t{f.tcpFlags().value()} << 6;
}

TEST(PacketInfoFlagsBits, SettersWriteOnlyTheirOwnBits) {
    PacketInfoFlags f;
    f.tcpFlagsIs(TcpDataOffsetAndFlags(0x5012));  // the word holds the flags in host order
    EXPECT_EQ(f.value(), 0x5012u << 6);
    EXPECT_EQ(f.tcpFlags().netValue(), Wirekit::NetU16(0x5012));

    const std::uint64_t seed = TestSupport::testSeed("SettersWriteOnlyTheirOwnBits");
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937_64 rng(seed);
    for (int i = 0; i < 2000; ++i) {
        const std::uint32_t start = i == 0 ? 0xFFC00000u : static_cast<std::uint32_t>(rng());
        ASSERT_EQ(viewsOf(PacketInfoFlags(start)), start & 0x003FFFFFu) << start;
        for (const auto& [mask, write] : kFlagWriters) {
            PacketInfoFlags w(start);
            const auto arg = static_cast<std::uint32_t>(rng());
            write(w, arg);
            const std::uint32_t own =
                mask == 0x003FFFC0u ? (arg & 0xFFFF) << 6 : ((arg & 1) ? mask : 0);
            ASSERT_EQ(w.value(), (start & ~mask) | own) << std::hex << start << " " << mask;
        }
    }
}

TEST(TosFlowLabelBits, FlowLabelKeepsTwentyBitsAndLeavesTheRestAlone) {
    TosFlowLabel t(0xF00000ABu);
    t.flowLabelIs(0x1ABCDEu);
    EXPECT_EQ(t.flowLabel(), 0xABCDEu);
    EXPECT_EQ(t.trafficClass(), 0xAB);

    const std::uint64_t seed =
        TestSupport::testSeed("FlowLabelKeepsTwentyBitsAndLeavesTheRestAlone");
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937_64 rng(seed);
    for (int i = 0; i < 2000; ++i) {
        const auto start = static_cast<std::uint32_t>(rng());
        const auto arg = static_cast<std::uint32_t>(rng());
        TosFlowLabel a(start), b(start);
        a.flowLabelIs(arg);
        ASSERT_EQ(a.value(), (start & 0xF00000FFu) | ((arg & 0xFFFFFu) << 8))
            << start << " " << arg;
        b.trafficClassIs(static_cast<std::uint8_t>(arg));
        ASSERT_EQ(b.value(), (start & 0xFFFFFF00u) | (arg & 0xFFu)) << start << " " << arg;
    }
}

using TestSupport::parserOf;

// The packed words' text is the decimal word; enumerations are written by name, and a value
// without a name as its number.
TEST(PacketTypesText, TableOfTexts) {
    const TestSupport::Parsers parsers = {
        {"PacketInfoFlags", parserOf<PacketInfoFlags>()},
        {"TosFlowLabel", parserOf<TosFlowLabel>()},
        {"FlowEndReason", parserOf<FlowEndReason>()},
        {"TunnelState", parserOf<TunnelState>()},
    };
    std::vector<TestSupport::TextRow> rows;
    for (const char* type : {"PacketInfoFlags", "TosFlowLabel"}) {
        rows.insert(rows.end(), {{type, "4194256", "4194256"},
                                 {type, "4294967295", "4294967295"},
                                 {type, "0", "0"},
                                 {type, "4294967296", "!value: "},
                                 {type, "-1", "!value: "},
                                 {type, "", "!value: "},
                                 {type, "x", "!value: "},
                                 {type, " 1", "!value: "},
                                 {type, "12x", "!"}});
    }
    for (const char* name :
         {"idleTimeout", "activeTimeout", "endOfFlow", "forcedEnd", "lackOfResources"}) {
        rows.push_back({"FlowEndReason", name, name});
    }
    for (const char* name : {"unknown", "vxlanEncap", "vxlanDecap"}) {
        rows.push_back({"TunnelState", name, name});
    }
    for (const char* type : {"FlowEndReason", "TunnelState"}) {
        rows.insert(rows.end(), {{type, "77", "77"},
                                 {type, "", "!"},
                                 {type, "Unknown", "!"},
                                 {type, "idleTimeout ", "!"},
                                 {type, "vxlanEncapX", "!"},
                                 {type, "bogus", "!"},
                                 {type, "-1", "!"}});
    }
    TestSupport::expectRows(parsers, rows);
    EXPECT_EQ(TestSupport::displayOf(PacketInfoFlags(0x003FFFD0u)), "4194256");
    EXPECT_EQ(TestSupport::displayOf(TosFlowLabel(0x003FFFD0u)), "4194256");
}

// The numbers behind the names are part of the stored records.
TEST(PacketTypesText, EnumeratorsHaveTheirNumbers) {
    const std::vector<std::pair<unsigned, const char*>> reasons = {{1, "idleTimeout"},
                                                                   {2, "activeTimeout"},
                                                                   {3, "endOfFlow"},
                                                                   {4, "forcedEnd"},
                                                                   {5, "lackOfResources"}};
    ASSERT_EQ(flowEndReasonType().enumerators().size(), reasons.size());
    for (const auto& [value, name] : reasons) {
        EXPECT_EQ(FlowEndReasonInstance(value), static_cast<FlowEndReason>(value)) << name;
        EXPECT_EQ(FlowEndReasonInstance(Kiln::String(name)), static_cast<FlowEndReason>(value));
        EXPECT_EQ(TestSupport::displayOf(static_cast<FlowEndReason>(value)), name);
    }
    const std::vector<std::pair<unsigned, const char*>> states = {
        {0, "unknown"}, {1, "vxlanEncap"}, {2, "vxlanDecap"}};
    ASSERT_EQ(tunnelStateType().enumerators().size(), states.size());
    for (const auto& [value, name] : states) {
        EXPECT_EQ(TunnelStateInstance(value), static_cast<TunnelState>(value)) << name;
        EXPECT_EQ(TunnelStateInstance(Kiln::String(name)), static_cast<TunnelState>(value));
        EXPECT_EQ(TestSupport::displayOf(static_cast<TunnelState>(value)), name);
    }
    EXPECT_FALSE(FlowEndReasonInstance(0u));
    EXPECT_FALSE(TunnelStateInstance(77u));
    EXPECT_FALSE(FlowEndReasonInstance(Kiln::String("noSuchReason")));
    EXPECT_EQ(TestSupport::displayOf(static_cast<TunnelState>(77)), "77");
}

const Wirekit::IpGenAddr kSrc(Wirekit::IpAddr(10, 0, 0, 1));
const Wirekit::IpGenAddr kDst(Wirekit::Ip6Addr::fromWords(0x20010db8, 0, 0, 2));
const Wirekit::EthAddr kMac1({0, 1, 2, 3, 4, 5});
const Wirekit::EthAddr kMac2({0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF});

Kiln::Ptr<PacketInfo> makePacket() {
    return packetInfoFactory(FtId(7), TemplateId(3), kSrc, kDst, Wirekit::ipProtoTcp,
                             Wirekit::Port(1234), Wirekit::Port(80), 1.25, 11,
                             Wirekit::IntfId("Ethernet1"), 6, Bridging::VlanIdOrAnyOrNone(100),
                             kMac1);
}

Kiln::Ptr<FlowInfo> makeFlow() {
    return flowInfoFactory(FtId(9), TemplateId(4), Vrf::VrfIdMap::VrfId(5), kMac1, kMac2, kSrc,
                           kDst, Wirekit::ipProtoTcp, 0xB8, 4321, 443,
                           TcpDataOffsetAndFlags(0x5012), 1500, 3, 100.5, 200.25,
                           FlowEndReason::forcedEnd, 21, 22, 23, Bridging::VlanIdOrAnyOrNone(10),
                           Bridging::VlanIdOrAnyOrNone(20));
}

TEST(PacketInfoDescriptor, ArgumentsReadBackInOrderAndTheRestStartEmpty) {
    const auto p = makePacket();
    // Constructor arguments read back in order (as tuples, so a swap shows in the message).
    EXPECT_EQ(std::tuple(p->ftId(), p->fgId(), p->srcIpAddr(), p->dstIpAddr(), p->ipProtocol(),
                         p->srcPort(), p->dstPort(), p->pktRcvTime()),
              std::tuple(FtId(7), TemplateId(3), kSrc, kDst, Wirekit::ipProtoTcp,
                         Wirekit::Port(1234), Wirekit::Port(80), 1.25));
    EXPECT_EQ(
        std::tuple(p->inIfIndex(), p->inIntfId(), p->inIfType(), p->vlanId(), p->srcEthAddr()),
        std::tuple(11u, Wirekit::IntfId("Ethernet1"), 6u, Bridging::VlanIdOrAnyOrNone(100), kMac1));

    // What the agent fills in later starts empty.
    EXPECT_EQ(p->tunnelState(), TunnelState::unknown);
    EXPECT_TRUE(p->vni().isNone());
    EXPECT_EQ(p->vrfId().value(), 0xFFFFFFu);
    EXPECT_EQ(p->pktInfoFlags().value() + p->tosFlowLabel().value() + p->packets() + p->bytes(),
              0u);
    EXPECT_EQ(p->nextHopIp().family() + p->bgpNextHopIp().family(), 0);
    EXPECT_TRUE(p->vrfName().empty() && p->dstEthAddr().isZero());
}

TEST(PacketInfoDescriptor, FlagViewsRewriteOnlyTheirBitsOfTheFlagsWord) {
    const auto p = makePacket();
    const std::vector<std::pair<std::uint32_t, std::function<void(bool)>>> views = {
        {1u << 0, [&](bool v) { p->srcIntfRoutedPortIs(v); }},
        {1u << 1, [&](bool v) { p->fragmentedPktIs(v); }},
        {1u << 2, [&](bool v) { p->dontFragIs(v); }},  // named dontFag in the flags word
        {1u << 3, [&](bool v) { p->updateEntryIs(v); }},
        {1u << 4, [&](bool v) { p->isBgpRouteIs(v); }},
        {1u << 5, [&](bool v) { p->hoEntryIs(v); }},
        {0x003FFFC0u, [&](bool v) { p->tcpFlagsIs(TcpDataOffsetAndFlags(v ? 0xFFFF : 0)); }}};
    const std::uint32_t start = 0x5A5A5A5Au;
    for (const auto& [mask, set] : views) {
        p->pktInfoFlagsIs(PacketInfoFlags(start));
        set(true);
        EXPECT_EQ(p->pktInfoFlags().value(), start | mask) << std::hex << mask;
        set(false);
        EXPECT_EQ(p->pktInfoFlags().value(), start & ~mask) << std::hex << mask;
    }
    p->pktInfoFlagsIs(PacketInfoFlags(0xFFC00000u | 0x5012u << 6 | 1u << 2));
    EXPECT_TRUE(p->dontFrag());
    EXPECT_FALSE(p->srcIntfRoutedPort() || p->fragmentedPkt() || p->updateEntry() ||
                 p->isBgpRoute() || p->hoEntry());
    EXPECT_EQ(p->tcpFlags().value(), 0x5012);
}

TEST(FlowInfoDescriptor, ArgumentsReadBackInOrderAndWritablesStartAtDefaults) {
    const auto f = makeFlow();
    EXPECT_EQ(std::tuple(f->ftId(), f->templateId(), f->vrfId(), f->srcEthAddr(), f->dstEthAddr(),
                         f->srcIpAddr(), f->dstIpAddr(), f->ipProtocol()),
              std::tuple(FtId(9), TemplateId(4), Vrf::VrfIdMap::VrfId(5), kMac1, kMac2, kSrc, kDst,
                         Wirekit::ipProtoTcp));
    EXPECT_EQ(std::tuple(f->tos(), f->srcPort(), f->dstPort(), f->tcpFlags(), f->bytes(), f->pkts(),
                         f->startTime(), f->endTime(), f->endReason()),
              std::tuple(std::uint8_t{0xB8}, std::uint16_t{4321}, std::uint16_t{443},
                         TcpDataOffsetAndFlags(0x5012), std::uint64_t{1500}, std::uint64_t{3},
                         100.5, 200.25, FlowEndReason::forcedEnd));
    EXPECT_EQ(
        std::tuple(f->inIfIndex(), f->outIfIndex(), f->inIfType(), f->vlanId(), f->egressVlanId()),
        std::tuple(21u, 22u, 23u, Bridging::VlanIdOrAnyOrNone(10),
                   Bridging::VlanIdOrAnyOrNone(20)));

    EXPECT_EQ(f->tunnelState(), TunnelState::unknown);
    EXPECT_TRUE(f->vni().isNone());
    f->flowLabelIs(0xFFFFF);
    EXPECT_EQ(f->flowLabel(), 0xFFFFFu);
    EXPECT_EQ(f->tos(), 0xB8);  // tos and flowLabel are kept apart
}

template <class T>
void expectTrackedLifetime(Kiln::Ptr<T> (*make)()) {
    const Kiln::AllocTrackTypeInfo& info = T::kilnAllocTrackTypeInfo_;
    const auto live = info.live(), bytes = info.liveBytes();
    const auto allocs = info.allocations(), frees = info.deallocations();
    {
        Kiln::Ptr<T> a = make();
        EXPECT_TRUE(a->hasNotificationActive());
        EXPECT_EQ(a->refCount(), 1u);  // the notification flag is not part of the count
        EXPECT_EQ(info.live(), live + 1);
        EXPECT_EQ(info.liveBytes(), bytes + static_cast<std::int64_t>(sizeof(T)));
        Kiln::Ptr<T> b = make();
        EXPECT_EQ(info.live(), live + 2);
        {
            Kiln::Ptr<T> copy = a;
            Kiln::Ptr<Loom::CrossThreadDesc> base = b;
            EXPECT_EQ(a->refCount(), 2u);
            a = nullptr;
            b = nullptr;
            EXPECT_EQ(info.live(), live + 2);  // copies still hold both
            Kiln::Ptr<T> moved = std::move(copy);
            EXPECT_EQ(moved->refCount(), 1u);
        }
        EXPECT_EQ(info.live(), live);
        a = make();
    }
    EXPECT_EQ(info.live(), live);
    EXPECT_EQ(info.liveBytes(), bytes);
    EXPECT_EQ(info.allocations(), allocs + 3);
    EXPECT_EQ(info.deallocations(), frees + 3);
}

TEST(PacketTypesFactories, AllocationIsCountedUntilTheLastReferenceGoes) {
    expectTrackedLifetime<PacketInfo>(&makePacket);
    expectTrackedLifetime<FlowInfo>(&makeFlow);
}

}  // namespace
