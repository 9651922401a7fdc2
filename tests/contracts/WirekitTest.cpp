// Network value types: address texts at their limits, parsers that stop at their own text, and
// the frozen hashes every process of a table must agree on.

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <sstream>
#include <string>

#include "contracts/Kiln/Hash.h"
#include "contracts/Kiln/TextForm.h"
#include "contracts/Wirekit/Ip6Addr.h"
#include "contracts/Wirekit/IpAddr.h"
#include "contracts/Wirekit/IpProtocolNumber.h"
#include "contracts/Wirekit/VlanIdOrAnyOrNone.h"
#include "contracts/Wirekit/VrfId.h"
#include "tests/support/TextParsing.h"

namespace {

using TestSupport::parseExact;

template <class T>
std::string text(const T& v) {
    return valueToStrep(v).stdString();
}

TEST(WirekitAddresses, TextsRoundTripAtTheirLimits) {
    for (const char* t : {"0.0.0.0", "255.255.255.255", "10.0.0.1", "192.168.100.200"}) {
        EXPECT_EQ(text(parseExact<Wirekit::IpAddr>(t)), t);
    }
    for (const char* t : {"::", "::1", "2001:db8::1", "fe80::1:2:3:4",
                          "1234:5678:9abc:def0:1234:5678:9abc:def0", "::ffff:1.2.3.4"}) {
        EXPECT_EQ(text(parseExact<Wirekit::Ip6Addr>(t)), t);
    }
    EXPECT_EQ(parseExact<Wirekit::Ip6Addr>("ffff:ffff:ffff:ffff:ffff:ffff:255.255.255.255"),
              Wirekit::Ip6Addr::fromWords(~0u, ~0u, ~0u, ~0u));
    // The longest IPv6 text (45 characters) fits; a longer run of address characters is refused.
    const std::string longest = "0000:0000:0000:0000:0000:ffff:255.255.255.255";
    ASSERT_EQ(longest.size(), 45u);
    EXPECT_NO_THROW(parseExact<Wirekit::Ip6Addr>(longest));
    EXPECT_THROW(parseExact<Wirekit::Ip6Addr>("0" + longest), Kiln::RangeException);
    EXPECT_THROW(parseExact<Wirekit::IpAddr>("1111.2222.3333.4444"), Kiln::RangeException);
}

TEST(WirekitAddresses, MalformedAddressesAreRejected) {
    for (const char* t : {"", "1.2.3", "256.1.1.1", "1.2.3.4.5", "1..2.3", "a.b.c.d", ".1.2.3"}) {
        EXPECT_THROW(parseExact<Wirekit::IpAddr>(t), Kiln::RangeException) << t;
    }
    for (const char* t : {"", ":", "1:2:3:4:5:6:7:8:9", "2001:db8:::1", "g::1", "1::2::3"}) {
        EXPECT_THROW(parseExact<Wirekit::Ip6Addr>(t), Kiln::RangeException) << t;
    }
}

TEST(WirekitAddresses, ParsersConsumeOnlyTheirOwnText) {
    std::size_t consumed = 0;
    EXPECT_EQ(parseExact<Wirekit::IpAddr>("10.1.2.3, 'dstAddr'", &consumed),
              Wirekit::IpAddr(10, 1, 2, 3));
    EXPECT_EQ(consumed, 8u);
    EXPECT_EQ(parseExact<Wirekit::Ip6Addr>("::, 'dstAddr'", &consumed), Wirekit::Ip6Addr());
    EXPECT_EQ(consumed, 2u);
}

TEST(WirekitAddresses, OrderIsNumericNotTextual) {
    EXPECT_LT(Wirekit::IpAddr(9, 255, 255, 255), Wirekit::IpAddr(10, 0, 0, 0));
    EXPECT_LT(Wirekit::IpAddr::fromHostOrder(0x7FFFFFFF), Wirekit::IpAddr(128, 0, 0, 0));
    EXPECT_LT(Wirekit::Ip6Addr::fromWords(0, 0, 0, 0xFFFFFFFF),
              Wirekit::Ip6Addr::fromWords(0, 0, 1, 0));
    EXPECT_EQ(Wirekit::IpAddr::fromHostOrder(0x0A000001), Wirekit::IpAddr(10, 0, 0, 1));
}

// Golden vectors: these numbers decide bucket positions in tables shared between processes and
// builds. A change to any of them is a change of the table format.
TEST(WirekitGoldenHashes, HashFunctionsAreFrozen) {
    EXPECT_EQ(Kiln::Hash(0).result(), 0u);
    EXPECT_EQ(Kiln::Hash(1).result(), 0x40f3f2beu);
    {
        Kiln::Hash h(0);
        h.hashMix<4>(0x01020304);
        EXPECT_EQ(h.result(), 0x0f99c028u);
    }
    {
        Kiln::Hash h(0x9e3779b9);
        h.hashMix<2>(0xBEEF);
        h.hashMix<4>(0xDEADBEEF);
        h.hashMix<4>(7);
        h.hashMix<2>(1);
        EXPECT_EQ(h.result(), 0x1b8deb32u);
    }
    EXPECT_EQ(Kiln::hashSingleAttr(0, std::uint16_t{100}), 0xd50e425cu);
    EXPECT_EQ(Kiln::hashSingleAttr(0, std::uint32_t{100}), 0xd50e425cu);
    EXPECT_EQ(Kiln::hashSingleAttr(42, std::uint32_t{100}), 0x9543f8e6u);
    EXPECT_EQ(Kiln::hashSingleAttr(0, Bridging::VlanIdOrAnyOrNone(100)), 0xd50e425cu);
    EXPECT_EQ(Wirekit::IpAddr(10, 0, 0, 1).hash(), 0xe02ce04cu);
    EXPECT_EQ(Wirekit::Ip6Addr::fromWords(0x20010db8, 0, 0, 1).hash(), 0xbf23a609u);
}

TEST(WirekitGoldenHashes, TwoByteMixIgnoresHighBits) {
    Kiln::Hash a(5), b(5);
    a.hashMix<2>(0x1234);
    b.hashMix<2>(0xABCD1234);
    EXPECT_EQ(a.result(), b.result());
}

TEST(WirekitSmallTypes, NumbersReadBackAndDisplayNamesSpecialVlans) {
    EXPECT_EQ(text(Vrf::VrfIdMap::VrfId(16777215)), "16777215");
    EXPECT_EQ(parseExact<Vrf::VrfIdMap::VrfId>("4294967295").value(), 4294967295u);
    EXPECT_THROW(parseExact<Vrf::VrfIdMap::VrfId>("4294967296"), Kiln::RangeException);

    EXPECT_EQ(text(Bridging::VlanIdOrAnyOrNone::any()), "65535");
    EXPECT_EQ(parseExact<Bridging::VlanIdOrAnyOrNone>("65535"), Bridging::VlanIdOrAnyOrNone::any());
    EXPECT_THROW(parseExact<Bridging::VlanIdOrAnyOrNone>("65536"), Kiln::RangeException);
    std::ostringstream os;
    os << Bridging::VlanIdOrAnyOrNone::none() << ' ' << Bridging::VlanIdOrAnyOrNone::any() << ' '
       << Bridging::VlanIdOrAnyOrNone(42);
    EXPECT_EQ(os.str(), "none any 42");

    EXPECT_EQ(text(Wirekit::ipProtoTcp), "6");
    EXPECT_EQ(text(static_cast<Wirekit::IpProtocolNumber>(-7)), "-7");
    EXPECT_EQ(parseExact<Wirekit::IpProtocolNumber>("-7"),
              static_cast<Wirekit::IpProtocolNumber>(-7));
    EXPECT_THROW(parseExact<Wirekit::IpProtocolNumber>("2147483648"), Kiln::RangeException);
}

}  // namespace
