// The network value types' texts: one table of texts and what each parser makes of them (limits,
// case, where a parser stops, malformed input), quoted names over every byte, and hostile input
// from truncation and random mutation.

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "contracts/Config/FtId.h"
#include "contracts/Kiln/TextForm.h"
#include "contracts/Wirekit/EthAddr.h"
#include "contracts/Wirekit/Ip6Addr.h"
#include "contracts/Wirekit/IpAddr.h"
#include "contracts/Wirekit/IpGenPrefix.h"
#include "contracts/Wirekit/IpProtocolNumber.h"
#include "contracts/Wirekit/TcpDataOffsetAndFlags.h"
#include "contracts/Wirekit/TextValue.h"
#include "contracts/Wirekit/VlanIdOrAnyOrNone.h"
#include "contracts/Wirekit/VniExtOrNone.h"
#include "contracts/Wirekit/VrfId.h"
#include "contracts/Wirekit/VrfName.h"
#include "tests/support/Seed.h"
#include "tests/support/TextParsing.h"

namespace {

using TestSupport::displayOf;
using TestSupport::parserOf;
using TestSupport::textOf;
using Wirekit::EthAddr;
using Wirekit::IntfId;
using Wirekit::IpGenAddr;
using Wirekit::IpGenPrefix;

const TestSupport::Parsers kParsers = {
    {"EthAddr", parserOf<EthAddr>()},
    {"IpAddr", parserOf<Wirekit::IpAddr>()},
    {"Ip6Addr", parserOf<Wirekit::Ip6Addr>()},
    {"IpGenAddr", parserOf<IpGenAddr>()},
    {"IpGenPrefix", parserOf<IpGenPrefix>()},
    {"IntfId", parserOf<IntfId>()},
    {"TcpFlags", parserOf<Wirekit::TcpDataOffsetAndFlags>()},
    {"Vni", parserOf<Vxlan::VniExtOrNone>()},
    {"VrfId", parserOf<Vrf::VrfIdMap::VrfId>()},
    {"Vlan", parserOf<Bridging::VlanIdOrAnyOrNone>()},
    {"IpProtocol", parserOf<Wirekit::IpProtocolNumber>()},
};

const std::string kLongestIp6 = "0000:0000:0000:0000:0000:ffff:255.255.255.255";  // 45 characters

const std::vector<TestSupport::TextRow> kRows = {
    {"EthAddr", "00:00:00:00:00:00", "00:00:00:00:00:00"},
    {"EthAddr", "AA:bb:Cc:dD:0F:f0", "aa:bb:cc:dd:0f:f0"},
    {"EthAddr", "00:11:22:33:44:55:66", "00:11:22:33:44:55", 17},

    {"IpAddr", "0.0.0.0", "0.0.0.0"},
    {"IpAddr", "255.255.255.255", "255.255.255.255"},
    {"IpAddr", "192.168.100.200", "192.168.100.200"},

    {"Ip6Addr", "::", "::"},
    {"Ip6Addr", "::1", "::1"},
    {"Ip6Addr", "fe80::1:2:3:4", "fe80::1:2:3:4"},
    {"Ip6Addr", "1234:5678:9abc:def0:1234:5678:9abc:def0",
     "1234:5678:9abc:def0:1234:5678:9abc:def0"},
    {"Ip6Addr", "::ffff:1.2.3.4", "::ffff:1.2.3.4"},
    {"Ip6Addr", "ffff:ffff:ffff:ffff:ffff:ffff:255.255.255.255",
     "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"},
    {"Ip6Addr", kLongestIp6, "::ffff:255.255.255.255"},
    {"Ip6Addr", "0" + kLongestIp6, "!"},  // a longer run of address characters is refused

    {"IpGenAddr", "none", "none"},
    {"IpGenAddr", "10.1.2.3", "10.1.2.3"},
    {"IpGenAddr", "255.255.255.255:80", "255.255.255.255", 15},
    {"IpGenAddr", "::", "::"},
    {"IpGenAddr", "abcd:ef01::", "abcd:ef01::"},
    {"IpGenAddr", "ABCD::EF", "abcd::ef"},
    {"IpGenAddr", "::ffff:1.2.3.4", "::ffff:1.2.3.4"},
    {"IpGenAddr", "1:2:3:4:5:6:7:8/64", "1:2:3:4:5:6:7:8", 15},

    {"IpGenPrefix", "none", "none"},
    {"IpGenPrefix", "0.0.0.0/0", "0.0.0.0/0"},
    {"IpGenPrefix", "255.255.255.255/32", "255.255.255.255/32"},
    {"IpGenPrefix", "::/0", "::/0"},
    {"IpGenPrefix", "2001:db8::/32", "2001:db8::/32"},
    {"IpGenPrefix", "ffff::1/128", "ffff::1/128"},
    {"IpGenPrefix", "10.0.0.0/33", "!out-of-range prefix length"},

    {"IntfId", R"('a\'b\\c')", R"('a\'b\\c')"},
    {"IntfId", R"('\x00\x7f\xff\x0a')", R"('\x00\x7f\xff\x0a')"},
    {"IntfId", R"('\xFF\x0A')", R"('\xff\x0a')"},  // either hex case
    {"IntfId", R"('a\'', 'b')", R"('a\'')", 5},

    // The flags' text is the host-order number; a VNI's "none" is only a display text.
    {"TcpFlags", "20498", "20498"},
    {"TcpFlags", "65535", "65535"},
    {"Vni", "4294967295", "4294967295"},
    {"VrfId", "4294967295", "4294967295"},
    {"Vlan", "65535", "65535"},
    {"IpProtocol", "-7", "-7"},
};

const std::vector<TestSupport::Rejected> kRejected = {
    {"EthAddr",
     {"", "00:11:22:33:44:5", "00:11:22:33:44", "0:11:22:33:44:55:6", "00-11-22-33-44-55",
      "0g:11:22:33:44:55", "00:11:22:33:44:5g", " 00:11:22:33:44:55", "00:11:22:33:44::5",
      "001122334455abcde"}},
    {"IpAddr",
     {"1111.2222.3333.4444", "", "1.2.3", "256.1.1.1", "1.2.3.4.5", "1..2.3", "a.b.c.d", ".1.2.3"}},
    {"Ip6Addr", {"", ":", "1:2:3:4:5:6:7:8:9", "2001:db8:::1", "g::1", "1::2::3"}},
    {"IpGenAddr",
     {"", "non", "None", "nonex", "1.2.3", "1.2.3.4.5", "12345::1", "1:2:3:4:5:6:7:8:9",
      ":::", "g::1", "-1.2.3.4"}},
    {"IpGenPrefix",
     {"::/129", "10.0.0.0/256", "10.0.0.0/", "10.0.0.0", "10.0.0.0/-1", "10.0.0.0 /8", "/8",
      "none/0", "10.0.0.0/+8"}},
    {"IntfId",
     {"", "abc", "'", "'abc", R"('abc\')", R"('\)", R"('\q')", R"('\x4')", R"('\x')", R"('\xg0')",
      R"('\x0)", "'a\nb'", "'a\tb'", std::string("'a\0b'", 5), "'\x7f'", "'\x80'", "'\xff'",
      "\"abc\""}},
    {"TcpFlags", {"65536", "-1", "", "0x10", " 1"}},
    {"Vni", {"4294967296", "none"}},
    {"VrfId", {"4294967296"}},
    {"Vlan", {"65536"}},
    {"IpProtocol", {"2147483648"}},
};

TEST(WirekitText, TableOfTexts) {
    TestSupport::expectRows(kParsers, kRows);
    TestSupport::expectRejected(kParsers, kRejected);
}

TEST(WirekitText, ValuesWriteTheirTextsAndDisplayTexts) {
    const EthAddr mac({0xAA, 0xBB, 0xCC, 0xDD, 0x0F, 0xF0});
    EXPECT_EQ(textOf(mac), "aa:bb:cc:dd:0f:f0");
    EXPECT_EQ(displayOf(mac), "aa:bb:cc:dd:0f:f0");
    EXPECT_EQ(textOf(Wirekit::IpAddr(10, 0, 0, 1)), "10.0.0.1");
    EXPECT_EQ(textOf(Wirekit::Ip6Addr::fromWords(0x20010db8, 0, 0, 1)), "2001:db8::1");
    EXPECT_EQ(textOf(IpGenAddr()), "none");
    EXPECT_EQ(textOf(IpGenAddr(AF_INET)), "0.0.0.0");
    EXPECT_EQ(textOf(IpGenAddr(AF_INET6)), "::");
    EXPECT_EQ(textOf(IpGenPrefix()), "none");
    EXPECT_EQ(textOf(Wirekit::ipProtoTcp), "6");
    EXPECT_EQ(displayOf(IntfId("it's")), "it's");  // the display text is the bare name
    EXPECT_EQ(textOf(Wirekit::TcpDataOffsetAndFlags(0x5012)), "20498");
    EXPECT_EQ(displayOf(Wirekit::TcpDataOffsetAndFlags(0x5012)), "20498");
    EXPECT_EQ(textOf(Vxlan::VniExtOrNone()), "4294967295");
    EXPECT_EQ(displayOf(Vxlan::VniExtOrNone()), "none");
    EXPECT_EQ(displayOf(Vxlan::VniExtOrNone(0)), "0");
    EXPECT_EQ(textOf(Bridging::VlanIdOrAnyOrNone::any()), "65535");
    EXPECT_EQ(displayOf(Bridging::VlanIdOrAnyOrNone::none()) + ' ' +
                  displayOf(Bridging::VlanIdOrAnyOrNone::any()) + ' ' +
                  displayOf(Bridging::VlanIdOrAnyOrNone(42)),
              "none any 42");
    EXPECT_FALSE(FlowTracking::FtId(0).valid());
}

TEST(WirekitIpGen, FamiliesAndPrefixBounds) {
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

TEST(WirekitText, QuotedNamesCarryEveryByteOnOnePrintableLine) {
    std::string every;
    for (int c = 0; c < 256; ++c) every += static_cast<char>(c);
    for (const std::string& s :
         {std::string(), std::string("Ethernet1"), std::string("'"), std::string("\\"),
          std::string("\\'\\''"), std::string("a\0b", 3), std::string("x\\x41"), every}) {
        const std::string quoted = textOf(IntfId(s));
        EXPECT_TRUE(TestSupport::isOnePrintableLine(quoted)) << quoted;
        EXPECT_TRUE(quoted.size() >= 2 && quoted.front() == '\'' && quoted.back() == '\'');
        EXPECT_EQ(TestSupport::parseExact<IntfId>(quoted).stdString(), s) << quoted;
        EXPECT_EQ(TestSupport::parseExact<L3::VrfName>(quoted), L3::VrfName(s)) << quoted;
    }
}

TEST(WirekitText, TcpFlagsAreNetworkOrderInMemory) {
    const Wirekit::TcpDataOffsetAndFlags f(0x5012);
    unsigned char bytes[2];
    std::memcpy(bytes, &f, 2);
    EXPECT_EQ(bytes[0], 0x50);
    EXPECT_EQ(bytes[1], 0x12);
    Wirekit::TcpDataOffsetAndFlags fromWire;
    std::memcpy(&fromWire, "\x80\x02", 2);
    EXPECT_EQ(fromWire.value(), 0x8002);
}

TEST(WirekitText, TruncatedAndMutatedTextsAreHandled) {
    const std::uint64_t seed = TestSupport::testSeed("mutations");
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937_64 rng(seed);
    for (const auto& [type, parse] : kParsers) {
        SCOPED_TRACE(type);
        std::vector<std::string> valid;
        for (const auto& row : kRows) {
            if (row.type == type && row.reads == row.text) valid.push_back(row.text);
        }
        TestSupport::expectHostileTextsHandled(parse, valid, rng, 2000);
    }
}

}  // namespace
