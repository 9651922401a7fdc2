// Network value types: numeric order of addresses, the frozen hashes every process of a table
// must agree on, the wire order of the TCP flags, and the address families.

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstring>

#include "contracts/Kiln/Hash.h"
#include "contracts/Wirekit/Ip6Addr.h"
#include "contracts/Wirekit/IpAddr.h"
#include "contracts/Wirekit/IpGenPrefix.h"
#include "contracts/Wirekit/TcpDataOffsetAndFlags.h"
#include "contracts/Wirekit/VlanIdOrAnyOrNone.h"
#include "tests/support/TextParsing.h"

namespace {

using Wirekit::IpGenAddr;
using Wirekit::IpGenPrefix;

TEST(WirekitAddresses, OrderIsNumericNotTextual) {
    EXPECT_LT(Wirekit::IpAddr(9, 255, 255, 255), Wirekit::IpAddr(10, 0, 0, 0));
    EXPECT_LT(Wirekit::IpAddr::fromHostOrder(0x7FFFFFFF), Wirekit::IpAddr(128, 0, 0, 0));
    EXPECT_LT(Wirekit::Ip6Addr::fromWords(0, 0, 0, 0xFFFFFFFF),
              Wirekit::Ip6Addr::fromWords(0, 0, 1, 0));
    EXPECT_EQ(Wirekit::IpAddr::fromHostOrder(0x0A000001), Wirekit::IpAddr(10, 0, 0, 1));
}

TEST(WirekitAddresses, FamiliesAndPrefixBounds) {
    EXPECT_EQ(IpGenAddr(12345), IpGenAddr());  // an unknown family is no address
    EXPECT_LT(IpGenAddr(), IpGenAddr(AF_INET));
    const IpGenAddr v6 = TestSupport::parseExact<IpGenAddr>("2001:db8::1");
    EXPECT_EQ(v6.v4(), Wirekit::IpAddr());  // the other family's view is all zero
    EXPECT_EQ(v6.maxPrefixLength(), 128);
    EXPECT_NO_THROW(IpGenPrefix(IpGenAddr(AF_INET), 32));
    EXPECT_NO_THROW(IpGenPrefix(IpGenAddr(AF_INET6), 128));
    EXPECT_THROW(IpGenPrefix(IpGenAddr(AF_INET), 33), Kiln::RangeException);
    EXPECT_THROW(IpGenPrefix(IpGenAddr(AF_INET6), 129), Kiln::RangeException);
    EXPECT_THROW(IpGenPrefix(IpGenAddr(), 1), Kiln::RangeException);
}

// Records hold the flags as they are on the wire; the value is the host-order number.
TEST(WirekitTcpFlags, NetworkOrderInMemory) {
    const Wirekit::TcpDataOffsetAndFlags f(0x5012);
    unsigned char bytes[2];
    std::memcpy(bytes, &f, 2);
    EXPECT_EQ(bytes[0], 0x50);
    EXPECT_EQ(bytes[1], 0x12);
    Wirekit::TcpDataOffsetAndFlags fromWire;
    std::memcpy(&fromWire, "\x80\x02", 2);
    EXPECT_EQ(fromWire.value(), 0x8002);
}

// Golden vectors: these numbers decide bucket positions in tables shared between processes and
// builds. A change to any of them is a change of the table format.
TEST(WirekitGoldenHashes, HashFunctionsAreFrozen) {
    EXPECT_EQ(Kiln::Hash(0).result(), 0u);
    EXPECT_EQ(Kiln::Hash(1).result(), 0x40f3f2beu);
    Kiln::Hash one(0);
    one.hashMix<4>(0x01020304);
    EXPECT_EQ(one.result(), 0x0f99c028u);
    Kiln::Hash mixed(0x9e3779b9);
    mixed.hashMix<2>(0xBEEF);
    mixed.hashMix<4>(0xDEADBEEF);
    mixed.hashMix<4>(7);
    mixed.hashMix<2>(0xABCD0001);  // a two-byte mix ignores the high bits
    EXPECT_EQ(mixed.result(), 0x1b8deb32u);
    EXPECT_EQ(Kiln::hashSingleAttr(0, std::uint16_t{100}), 0xd50e425cu);
    EXPECT_EQ(Kiln::hashSingleAttr(0, std::uint32_t{100}), 0xd50e425cu);
    EXPECT_EQ(Kiln::hashSingleAttr(42, std::uint32_t{100}), 0x9543f8e6u);
    EXPECT_EQ(Kiln::hashSingleAttr(0, Bridging::VlanIdOrAnyOrNone(100)), 0xd50e425cu);
    EXPECT_EQ(Wirekit::IpAddr(10, 0, 0, 1).hash(), 0xe02ce04cu);
    EXPECT_EQ(Wirekit::Ip6Addr::fromWords(0x20010db8, 0, 0, 1).hash(), 0xbf23a609u);
}

}  // namespace
