// Value texts of the runtime's numbers and the network value types: one table of texts and what
// each parser makes of them (limits, case, where a parser stops, malformed input), exact doubles,
// quoted names over every byte, literal matching, and hostile input from truncation and mutation.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <random>
#include <string>
#include <vector>

#include "contracts/Config/FtId.h"
#include "contracts/Kiln/Format.h"
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
using TestSupport::parseExact;
using TestSupport::parserOf;
using TestSupport::textOf;
using Wirekit::IntfId;
using Wirekit::IpGenAddr;
using Wirekit::IpGenPrefix;
using Vlan = Bridging::VlanIdOrAnyOrNone;

const TestSupport::Parsers kParsers = {
    {"u8", parserOf<std::uint8_t>()},
    {"u16", parserOf<std::uint16_t>()},
    {"u32", parserOf<std::uint32_t>()},
    {"u64", parserOf<std::uint64_t>()},
    {"i32", parserOf<std::int32_t>()},
    {"double", parserOf<double>()},
    {"bool", parserOf<bool>()},
    {"EthAddr", parserOf<Wirekit::EthAddr>()},
    {"IpAddr", parserOf<Wirekit::IpAddr>()},
    {"Ip6Addr", parserOf<Wirekit::Ip6Addr>()},
    {"IpGenAddr", parserOf<IpGenAddr>()},
    {"IpGenPrefix", parserOf<IpGenPrefix>()},
    {"IntfId", parserOf<IntfId>()},
    {"TcpFlags", parserOf<Wirekit::TcpDataOffsetAndFlags>()},
    {"Vni", parserOf<Vxlan::VniExtOrNone>()},
    {"VrfId", parserOf<Vrf::VrfIdMap::VrfId>()},
    {"Vlan", parserOf<Vlan>()},
    {"IpProtocol", parserOf<Wirekit::IpProtocolNumber>()},
};

const std::string kLongestIp6 = "0000:0000:0000:0000:0000:ffff:255.255.255.255";  // 45 characters

const std::vector<TestSupport::TextRow> kRows = {
    // Numbers are plain decimal with exact bounds, no sign on unsigned numbers and no blanks.
    {"u8", "=", {"255"}},
    {"u16", "=", {"65535"}},
    {"u32", "=", {"4294967295"}},
    {"u64", "=", {"0", "18446744073709551615"}},
    {"i32", "=", {"-2147483648"}},
    {"u8", "!", {"256"}},
    {"u16", "!", {"65536", "-1", "-0", "+1", " 1", "", "x1"}},
    {"u32", "!", {"4294967296"}},
    {"u64", "!", {"18446744073709551616", "99999999999999999999999999", "-1", "+1", " 1", ""}},
    {"i32", "!", {"2147483648"}},
    // Doubles are written in the fewest digits that read back to the same bits, with fixed texts
    // for the special values; hexadecimal is no value text (the parser takes the "0" and leaves
    // "x10"). Booleans are the capitalised words only.
    {"double", "=", {"inf", "-inf", "nan", "-nan", "0", "-0", "0.1", "1e+300", "-1e-300"}},
    {"double", "=", {"5e-324", "2.2250738585072014e-308", "-1.7976931348623157e+308"}},
    {"double", "0", {"0x10"}, 1},
    {"double", "!", {"1e999", "", "e5"}},
    {"bool", "=", {"True", "False"}},
    {"bool", "!", {"true", "1", "Tru", "", "F"}},

    {"EthAddr", "=", {"00:00:00:00:00:00"}},
    {"EthAddr", "aa:bb:cc:dd:0f:f0", {"AA:bb:Cc:dD:0F:f0"}},
    {"EthAddr", "00:11:22:33:44:55", {"00:11:22:33:44:55:66"}, 17},
    {"EthAddr",
     "!",
     {"", "00:11:22:33:44:5", "00:11:22:33:44", "0:11:22:33:44:55:6", "00-11-22-33-44-55",
      "0g:11:22:33:44:55", "00:11:22:33:44:5g", " 00:11:22:33:44:55", "00:11:22:33:44::5",
      "001122334455abcde"}},

    {"IpAddr", "=", {"0.0.0.0", "255.255.255.255", "192.168.100.200"}},
    {"IpAddr",
     "!",
     {"1111.2222.3333.4444", "", "1.2.3", "256.1.1.1", "1.2.3.4.5", "1..2.3", "a.b.c.d", ".1.2.3"}},
    {"Ip6Addr",
     "=",
     {"::", "::1", "fe80::1:2:3:4", "1234:5678:9abc:def0:1234:5678:9abc:def0", "::ffff:1.2.3.4"}},
    {"Ip6Addr",
     "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff",
     {"ffff:ffff:ffff:ffff:ffff:ffff:255.255.255.255"}},
    {"Ip6Addr", "::ffff:255.255.255.255", {kLongestIp6}},
    // A longer run of address characters is refused.
    {"Ip6Addr",
     "!",
     {"0" + kLongestIp6, "", ":", "1:2:3:4:5:6:7:8:9", "2001:db8:::1", "g::1", "1::2::3"}},

    {"IpGenAddr", "=", {"none", "10.1.2.3", "::", "abcd:ef01::", "::ffff:1.2.3.4"}},
    {"IpGenAddr", "abcd::ef", {"ABCD::EF"}},
    {"IpGenAddr", "255.255.255.255", {"255.255.255.255:80"}, 15},
    {"IpGenAddr", "1:2:3:4:5:6:7:8", {"1:2:3:4:5:6:7:8/64"}, 15},
    {"IpGenAddr",
     "!",
     {"", "non", "None", "nonex", "1.2.3", "1.2.3.4.5", "12345::1", "1:2:3:4:5:6:7:8:9",
      ":::", "g::1", "-1.2.3.4"}},

    {"IpGenPrefix",
     "=",
     {"none", "0.0.0.0/0", "255.255.255.255/32", "::/0", "2001:db8::/32", "ffff::1/128"}},
    {"IpGenPrefix", "!out-of-range prefix length", {"10.0.0.0/33"}},
    {"IpGenPrefix",
     "!",
     {"::/129", "10.0.0.0/256", "10.0.0.0/", "10.0.0.0", "10.0.0.0/-1", "10.0.0.0 /8", "/8",
      "none/0", "10.0.0.0/+8"}},

    {"IntfId", "=", {R"('a\'b\\c')", R"('\x00\x7f\xff\x0a')"}},
    {"IntfId", R"('\xff\x0a')", {R"('\xFF\x0A')"}},  // either hex case
    {"IntfId", R"('a\'')", {R"('a\'', 'b')"}, 5},
    {"IntfId",
     "!",
     {"", "abc", "'", "'abc", R"('abc\')", R"('\)", R"('\q')", R"('\x4')", R"('\x')", R"('\xg0')",
      R"('\x0)", "'a\nb'", "'a\tb'", std::string("'a\0b'", 5), "'\x7f'", "'\x80'", "'\xff'",
      "\"abc\""}},

    // The flags' text is the host-order number; a VNI's "none" is only a display text.
    {"TcpFlags", "=", {"20498", "65535"}},
    {"TcpFlags", "!", {"65536", "-1", "", "0x10", " 1"}},
    {"Vni", "=", {"4294967295"}},
    {"Vni", "!", {"4294967296", "none"}},
    {"VrfId", "=", {"4294967295"}},
    {"VrfId", "!", {"4294967296"}},
    {"Vlan", "=", {"65535"}},
    {"Vlan", "!", {"65536"}},
    {"IpProtocol", "=", {"-7"}},
    {"IpProtocol", "!", {"2147483648"}},
};

TEST(TextForm, TableOfTexts) { TestSupport::expectRows(kParsers, kRows); }

TEST(TextForm, TruncatedAndMutatedTextsAreHandled) {
    const std::uint64_t seed = TestSupport::testSeed("mutations");
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937_64 rng(seed);
    for (const auto& [type, parse] : kParsers) {
        SCOPED_TRACE(type);
        std::vector<std::string> valid;
        for (const auto& row : kRows) {
            if (row.type == type && row.reads == "=") {
                valid.insert(valid.end(), row.texts.begin(), row.texts.end());
            }
        }
        TestSupport::expectHostileTextsHandled(parse, valid, rng, 2000);
    }
}

TEST(TextForm, QuotedNamesCarryEveryByteOnOnePrintableLine) {
    std::string every;
    for (int c = 0; c < 256; ++c) every += static_cast<char>(c);
    for (const std::string& s :
         {std::string(), std::string("Ethernet1"), std::string("'"), std::string("\\"),
          std::string("\\'\\''"), std::string("a\0b", 3), std::string("x\\x41"), every}) {
        const std::string quoted = textOf(IntfId(s));
        EXPECT_TRUE(TestSupport::isOnePrintableLine(quoted)) << quoted;
        EXPECT_TRUE(quoted.size() >= 2 && quoted.front() == '\'' && quoted.back() == '\'');
        EXPECT_EQ(parseExact<IntfId>(quoted).stdString(), s) << quoted;
        EXPECT_EQ(parseExact<L3::VrfName>(quoted), L3::VrfName(s)) << quoted;
    }
}

// Texts of values the table cannot reach through a parser, and the display texts.
TEST(TextForm, ValuesWriteTheirTextsAndDisplayTexts) {
    EXPECT_EQ(displayOf(Wirekit::EthAddr({0xAA, 0xBB, 0xCC, 0xDD, 0x0F, 0xF0})),
              "aa:bb:cc:dd:0f:f0");
    EXPECT_EQ(textOf(IpGenAddr()) + ' ' + textOf(IpGenPrefix()), "none none");
    EXPECT_EQ(textOf(IpGenAddr(AF_INET)) + ' ' + textOf(IpGenAddr(AF_INET6)), "0.0.0.0 ::");
    EXPECT_EQ(displayOf(IntfId("it's")), "it's");  // the display text is the bare name
    EXPECT_EQ(displayOf(Wirekit::TcpDataOffsetAndFlags(0x5012)), "20498");
    EXPECT_EQ(displayOf(Vxlan::VniExtOrNone()) + ' ' + displayOf(Vxlan::VniExtOrNone(0)), "none 0");
    EXPECT_EQ(textOf(Vlan::any()), "65535");
    EXPECT_EQ(displayOf(Vlan::none()) + ' ' + displayOf(Vlan::any()) + ' ' + displayOf(Vlan(42)),
              "none any 42");
    EXPECT_FALSE(FlowTracking::FtId(0).valid());
}

// A whole-text parse rejects what follows the value, and quotes it printably.
TEST(TextForm, TrailingTextIsRejectedAndQuotedPrintably) {
    EXPECT_EQ(Kiln::strepToValue<std::uint32_t>(Kiln::String("12")), 12u);
    EXPECT_THAT([] { Kiln::strepToValue<std::uint32_t>(Kiln::String("12\x01 tail")); },
                testing::ThrowsMessage<Kiln::RangeException>(testing::HasSubstr("\\x01 tail")));
}

TEST(TextForm, FormatDoesNotTruncateLongResults) {
    const std::string big(1000, 'x');
    const Kiln::String s = Kiln::format("<%s|%d>", big.c_str(), 42);
    EXPECT_EQ(s.size(), 1000u + 5u);
    EXPECT_EQ(s.stdString().substr(1000), "x|42>");
}

}  // namespace
