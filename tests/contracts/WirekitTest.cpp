// Network value types: numeric order of addresses and the frozen hashes every process of a table
// must agree on.

#include <gtest/gtest.h>

#include <cstdint>

#include "contracts/Kiln/Hash.h"
#include "contracts/Wirekit/Ip6Addr.h"
#include "contracts/Wirekit/IpAddr.h"
#include "contracts/Wirekit/VlanIdOrAnyOrNone.h"

namespace {

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

}  // namespace
