// Packet and flow descriptors: the bit layout of the packed flag and flow-label words, the texts
// and numbers of the words and enumerations, the factories' argument order, and the allocation
// count the factories keep.

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

// Every flag view of a packet, with the bits of the flags word it owns. The views go through the
// PacketInfoFlags setters and readers, so this covers both.
using FlagWriter = std::function<void(PacketInfo&, std::uint32_t)>;
const std::vector<std::pair<std::uint32_t, FlagWriter>> kFlagWriters = {
    {1u << 0, [](PacketInfo& p, std::uint32_t a) { p.srcIntfRoutedPortIs(a & 1); }},
    {1u << 1, [](PacketInfo& p, std::uint32_t a) { p.fragmentedPktIs(a & 1); }},
    {1u << 2, [](PacketInfo& p, std::uint32_t a) { p.dontFragIs(a & 1); }},
    {1u << 3, [](PacketInfo& p, std::uint32_t a) { p.updateEntryIs(a & 1); }},
    {1u << 4, [](PacketInfo& p, std::uint32_t a) { p.isBgpRouteIs(a & 1); }},
    {1u << 5, [](PacketInfo& p, std::uint32_t a) { p.hoEntryIs(a & 1); }},
    {0x003FFFC0u, [](PacketInfo& p, std::uint32_t a) {
         p.tcpFlagsIs(TcpDataOffsetAndFlags(static_cast<std::uint16_t>(a)));
     }}};

// What the views read, packed back into their bit positions.
std::uint32_t viewsOf(const PacketInfo& p) {
    return std::uint32_t{p.srcIntfRoutedPort()} | std::uint32_t{p.fragmentedPkt()} << 1 |
           std::uint32_t{p.dontFrag()} << 2 | std::uint32_t{p.updateEntry()} << 3 |
           std::uint32_t{p.isBgpRoute()} << 4 | std::uint32_t{p.hoEntry()} << 5 |
           std::uint32_t{p.tcpFlags().value()} << 6;
}

TEST(PacketTypesBits, FlagViewsReadAndWriteOnlyTheirOwnBits) {
    const std::uint64_t seed = TestSupport::testSeed("FlagViewsReadAndWriteOnlyTheirOwnBits");
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937_64 rng(seed);
    const auto p = makePacket();
    for (int i = 0; i < 2000; ++i) {
        const std::uint32_t start = i == 0 ? 0xFFC00000u : static_cast<std::uint32_t>(rng());
        p->pktInfoFlagsIs(PacketInfoFlags(start));
        ASSERT_EQ(viewsOf(*p), start & 0x003FFFFFu) << start;
        for (const auto& [mask, write] : kFlagWriters) {
            p->pktInfoFlagsIs(PacketInfoFlags(start));
            const auto arg = static_cast<std::uint32_t>(rng());
            write(*p, arg);
            const std::uint32_t own =
                mask == 0x003FFFC0u ? (arg & 0xFFFF) << 6 : ((arg & 1) ? mask : 0);
            ASSERT_EQ(p->pktInfoFlags().value(), (start & ~mask) | own) << std::hex << start;
        }
        // The IPv6 traffic class is bits 0..7, the flow label bits 8..27.
        TosFlowLabel a(start), b(start);
        a.flowLabelIs(~start);
        ASSERT_EQ(a.value(), (start & 0xF00000FFu) | ((~start & 0xFFFFFu) << 8)) << start;
        ASSERT_EQ(a.flowLabel(), ~start & 0xFFFFFu);
        b.trafficClassIs(static_cast<std::uint8_t>(~start));
        ASSERT_EQ(b.value(), (start & 0xFFFFFF00u) | (~start & 0xFFu)) << start;
        ASSERT_EQ(b.trafficClass(), static_cast<std::uint8_t>(~start));
    }
}

// The packed words' text is the decimal word. Enumerations are written by name and read by name
// or number (the numbers are stored in records); a value without a name is written as its number.
TEST(PacketTypesText, TableOfTexts) {
    const TestSupport::Parsers parsers = {
        {"PacketInfoFlags", TestSupport::parserOf<PacketInfoFlags>()},
        {"TosFlowLabel", TestSupport::parserOf<TosFlowLabel>()},
        {"FlowEndReason", TestSupport::parserOf<FlowEndReason>()},
        {"TunnelState", TestSupport::parserOf<TunnelState>()},
    };
    std::vector<TestSupport::TextRow> rows = {
        {"FlowEndReason", "idleTimeout", {"1", "idleTimeout"}},
        {"FlowEndReason", "activeTimeout", {"2", "activeTimeout"}},
        {"FlowEndReason", "endOfFlow", {"3", "endOfFlow"}},
        {"FlowEndReason", "forcedEnd", {"4", "forcedEnd"}},
        {"FlowEndReason", "lackOfResources", {"5", "lackOfResources"}},
        {"TunnelState", "unknown", {"0", "unknown"}},
        {"TunnelState", "vxlanEncap", {"1", "vxlanEncap"}},
        {"TunnelState", "vxlanDecap", {"2", "vxlanDecap"}},
    };
    for (const char* type : {"PacketInfoFlags", "TosFlowLabel"}) {
        rows.push_back({type, "=", {"4194256", "4294967295", "0"}});
        rows.push_back({type, "!value: ", {"4294967296", "-1", "", "x", " 1"}});
        rows.push_back({type, "!", {"12x"}});
    }
    for (const char* type : {"FlowEndReason", "TunnelState"}) {
        rows.push_back({type, "=", {"77"}});
        rows.push_back({type, "!", {"", "Unknown", "idleTimeout ", "vxlanEncapX", "bogus", "-1"}});
    }
    TestSupport::expectRows(parsers, rows);
    EXPECT_EQ(TestSupport::displayOf(PacketInfoFlags(0x003FFFD0u)), "4194256");
    EXPECT_EQ(TestSupport::displayOf(TosFlowLabel(0x003FFFD0u)), "4194256");
    EXPECT_EQ(TestSupport::displayOf(FlowEndReason::endOfFlow), "endOfFlow");
    EXPECT_EQ(TestSupport::displayOf(static_cast<TunnelState>(77)), "77");

    EXPECT_EQ(FlowEndReasonInstance(Kiln::String("forcedEnd")), FlowEndReason::forcedEnd);
    EXPECT_EQ(TunnelStateInstance(2u), TunnelState::vxlanDecap);
    EXPECT_FALSE(FlowEndReasonInstance(0u));
    EXPECT_FALSE(TunnelStateInstance(Kiln::String("noSuchState")));
}

// Constructor arguments read back in order (as tuples, so a swap shows in the message), and what
// the agent fills in later starts empty.
TEST(PacketTypesDescriptors, ArgumentsReadBackInOrder) {
    const auto p = makePacket();
    EXPECT_EQ(std::tuple(p->ftId(), p->fgId(), p->srcIpAddr(), p->dstIpAddr(), p->ipProtocol(),
                         p->srcPort(), p->dstPort(), p->pktRcvTime()),
              std::tuple(FtId(7), TemplateId(3), kSrc, kDst, Wirekit::ipProtoTcp,
                         Wirekit::Port(1234), Wirekit::Port(80), 1.25));
    EXPECT_EQ(
        std::tuple(p->inIfIndex(), p->inIntfId(), p->inIfType(), p->vlanId(), p->srcEthAddr()),
        std::tuple(11u, Wirekit::IntfId("Ethernet1"), 6u, Bridging::VlanIdOrAnyOrNone(100), kMac1));
    EXPECT_EQ(p->vrfId().value(), 0xFFFFFFu);
    EXPECT_EQ(p->nextHopIp().family() + p->bgpNextHopIp().family(), 0);

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
}

// The factories switch notification on (outside the reference count) and count each descriptor
// per type until its last reference goes.
template <class T>
void expectTrackedLifetime(Kiln::Ptr<T> (*make)()) {
    const Kiln::AllocTrackTypeInfo& info = T::kilnAllocTrackTypeInfo_;
    const auto live = info.live(), bytes = info.liveBytes();
    Kiln::Ptr<T> a = make();
    EXPECT_TRUE(a->hasNotificationActive());
    EXPECT_EQ(a->refCount(), 1u);
    Kiln::Ptr<Loom::CrossThreadDesc> copy = a;
    EXPECT_EQ(info.live(), live + 1);
    EXPECT_EQ(info.liveBytes(), bytes + static_cast<std::int64_t>(sizeof(T)));
    a = nullptr;
    copy = nullptr;  // the last reference, through the base class
    EXPECT_EQ(info.live(), live);
    EXPECT_EQ(info.liveBytes(), bytes);
}

TEST(PacketTypesDescriptors, AllocationIsCountedUntilTheLastReferenceGoes) {
    expectTrackedLifetime<PacketInfo>(&makePacket);
    expectTrackedLifetime<FlowInfo>(&makeFlow);
}

}  // namespace
