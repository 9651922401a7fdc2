// The value types that descriptors carry: MAC addresses, generic addresses and prefixes, quoted
// names, the TCP flags word and the VXLAN identifier. Texts at their limits, parsers that stop at
// their own text and never read past it, and hostile input.

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "contracts/Config/FtId.h"
#include "contracts/Config/TemplateId.h"
#include "contracts/Kiln/TextForm.h"
#include "contracts/Wirekit/EthAddr.h"
#include "contracts/Wirekit/IpGenPrefix.h"
#include "contracts/Wirekit/TcpDataOffsetAndFlags.h"
#include "contracts/Wirekit/TextValue.h"
#include "contracts/Wirekit/VniExtOrNone.h"
#include "contracts/Wirekit/VrfName.h"
#include "tests/support/Seed.h"
#include "tests/support/TextParsing.h"

namespace {

using Wirekit::EthAddr;
using Wirekit::IntfId;
using Wirekit::IpGenAddr;
using Wirekit::IpGenPrefix;

using TestSupport::parseExact;
using TestSupport::parseWhole;
template <class T>
std::string text(const T& v) {
    return TestSupport::textOf(v);
}
template <class T>
std::string display(const T& v) {
    return TestSupport::displayOf(v);
}

bool isOnePrintableLine(const std::string& s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return c >= 0x20 && c < 0x7F; });
}

TEST(WirekitEthAddr, HexInAnyCaseLowerCaseOutAndExactlySixGroups) {
    EXPECT_EQ(text(parseWhole<EthAddr>("00:00:00:00:00:00")), "00:00:00:00:00:00");
    const EthAddr mixed = parseWhole<EthAddr>("AA:bb:Cc:dD:0F:f0");
    EXPECT_EQ(mixed, EthAddr({0xAA, 0xBB, 0xCC, 0xDD, 0x0F, 0xF0}));
    EXPECT_EQ(text(mixed), "aa:bb:cc:dd:0f:f0");
    EXPECT_EQ(display(mixed), "aa:bb:cc:dd:0f:f0");
    std::size_t consumed = 0;
    EXPECT_EQ(parseExact<EthAddr>("00:11:22:33:44:55:66", &consumed),
              EthAddr({0, 0x11, 0x22, 0x33, 0x44, 0x55}));
    EXPECT_EQ(consumed, 17u);
    for (const char* bad : {"", "00:11:22:33:44:5", "00:11:22:33:44", "0:11:22:33:44:55:6",
                            "00-11-22-33-44-55", "0g:11:22:33:44:55", "00:11:22:33:44:5g",
                            " 00:11:22:33:44:55", "00:11:22:33:44::5", "001122334455abcde"}) {
        EXPECT_THROW(parseWhole<EthAddr>(bad), Kiln::RangeException) << bad;
    }
}

TEST(WirekitIpGen, AddressParserTellsFamiliesApartAndStopsAtItsOwnText) {
    EXPECT_EQ(IpGenAddr().family(), 0);
    EXPECT_EQ(text(IpGenAddr()), "none");
    EXPECT_EQ(IpGenAddr(12345), IpGenAddr());
    EXPECT_LT(IpGenAddr(), IpGenAddr(AF_INET));  // the unspecified address is still an address
    EXPECT_EQ(text(IpGenAddr(AF_INET)), "0.0.0.0");
    EXPECT_EQ(text(IpGenAddr(AF_INET6)), "::");

    struct Case {
        const char* text;
        int family;
        std::size_t ownLength;
    };
    for (const Case& c : std::vector<Case>{{"none, 'x'", 0, 4},
                                           {"10.1.2.3, 'x'", AF_INET, 8},
                                           {"255.255.255.255:80", AF_INET, 15},
                                           {"::, 'x'", AF_INET6, 2},
                                           {"fe80::1, 'x'", AF_INET6, 7},
                                           {"abcd:ef01::, 'x'", AF_INET6, 11},
                                           {"ABCD::EF, 'x'", AF_INET6, 8},
                                           {"::ffff:1.2.3.4, 'x'", AF_INET6, 14},
                                           {"1:2:3:4:5:6:7:8/64", AF_INET6, 15}}) {
        std::size_t consumed = 0;
        const IpGenAddr a = parseExact<IpGenAddr>(c.text, &consumed);
        EXPECT_EQ(a.family(), c.family) << c.text;
        EXPECT_EQ(consumed, c.ownLength) << c.text;
        EXPECT_EQ(parseWhole<IpGenAddr>(text(a)), a) << c.text;
    }
    const IpGenAddr v6 = parseWhole<IpGenAddr>("2001:db8::1");
    EXPECT_EQ(v6.v4(), Wirekit::IpAddr());  // the other family's view is all zero
    EXPECT_EQ(v6.maxPrefixLength(), 128);
    for (const char* bad : {"", "non", "None", "nonex", "1.2.3", "1.2.3.4.5", "12345::1",
                            "1:2:3:4:5:6:7:8:9", ":::", "g::1", "-1.2.3.4"}) {
        EXPECT_THROW(parseWhole<IpGenAddr>(bad), Kiln::RangeException) << bad;
    }
}

TEST(WirekitIpGen, PrefixLengthIsBoundedByTheFamily) {
    EXPECT_EQ(text(IpGenPrefix()), "none");
    EXPECT_EQ(parseWhole<IpGenPrefix>("none"), IpGenPrefix());
    for (const char* t : {"0.0.0.0/0", "10.0.0.0/8", "255.255.255.255/32", "::/0", "2001:db8::/32",
                          "ffff::1/128"}) {
        EXPECT_EQ(text(parseWhole<IpGenPrefix>(t)), t);
    }
    try {
        parseWhole<IpGenPrefix>("10.0.0.0/33");
        ADD_FAILURE() << "length 33 accepted for IPv4";
    } catch (const Kiln::RangeException& e) {
        EXPECT_NE(e.message().find("prefix length"), std::string::npos) << e.message();
    }
    for (const char* bad : {"::/129", "10.0.0.0/256", "10.0.0.0/", "10.0.0.0", "10.0.0.0/-1",
                            "10.0.0.0 /8", "/8", "none/0", "10.0.0.0/+8"}) {
        EXPECT_THROW(parseWhole<IpGenPrefix>(bad), Kiln::RangeException) << bad;
    }
    std::size_t consumed = 0;
    EXPECT_EQ(parseExact<IpGenPrefix>("10.0.0.0/8, 'x'", &consumed).length(), 8);
    EXPECT_EQ(consumed, 10u);

    EXPECT_NO_THROW(IpGenPrefix(IpGenAddr(AF_INET), 32));
    EXPECT_NO_THROW(IpGenPrefix(IpGenAddr(AF_INET6), 128));
    EXPECT_THROW(IpGenPrefix(IpGenAddr(AF_INET), 33), Kiln::RangeException);
    EXPECT_THROW(IpGenPrefix(IpGenAddr(AF_INET6), 129), Kiln::RangeException);
    EXPECT_THROW(IpGenPrefix(IpGenAddr(), 1), Kiln::RangeException);
}

TEST(WirekitQuotedText, EveryByteRoundTripsOnOnePrintableLine) {
    EXPECT_EQ(Kiln::quotedText("a'b\\c").stdString(), R"('a\'b\\c')");
    EXPECT_EQ(Kiln::quotedText(std::string("\0\x7f\xff\n", 4)).stdString(),
              R"('\x00\x7f\xff\x0a')");
    EXPECT_EQ(parseWhole<IntfId>(R"('\xFF\x0A')").stdString(), "\xff\n");  // either hex case

    std::string every;
    for (int c = 0; c < 256; ++c) every += static_cast<char>(c);
    for (const std::string& s :
         {std::string(), std::string("Ethernet1"), std::string("'"), std::string("\\"),
          std::string("\\'\\''"), std::string("a\0b", 3), std::string("x\\x41"), every}) {
        const std::string quoted = text(IntfId(s));
        EXPECT_TRUE(isOnePrintableLine(quoted)) << quoted;
        ASSERT_GE(quoted.size(), 2u);
        EXPECT_EQ(quoted.front(), '\'');
        EXPECT_EQ(quoted.back(), '\'');
        EXPECT_EQ(parseWhole<IntfId>(quoted).stdString(), s) << quoted;
        EXPECT_EQ(parseWhole<L3::VrfName>(quoted), L3::VrfName(s)) << quoted;
    }
    EXPECT_EQ(display(IntfId("it's")), "it's");  // display text is the bare name
    std::size_t consumed = 0;
    EXPECT_EQ(parseExact<IntfId>(R"('a\'', 'b')", &consumed), IntfId("a'"));
    EXPECT_EQ(consumed, 5u);
}

TEST(WirekitQuotedText, HostileQuotesAreRejectedWithAPrintableMessage) {
    for (const std::string& bad :
         {std::string(""), std::string("abc"), std::string("'"), std::string("'abc"),
          std::string(R"('abc\')"), std::string(R"('\)"), std::string(R"('\q')"),
          std::string(R"('\x4')"), std::string(R"('\x')"), std::string(R"('\xg0')"),
          std::string(R"('\x0)"), std::string("'a\nb'"), std::string("'a\tb'"),
          std::string("'a\0b'", 5), std::string("'\x7f'"), std::string("'\x80'"),
          std::string("'\xff'"), std::string("\"abc\"")}) {
        try {
            parseWhole<IntfId>(bad);
            ADD_FAILURE() << "accepted " << Kiln::quotedText(bad);
        } catch (const Kiln::RangeException& e) {
            EXPECT_TRUE(isOnePrintableLine(e.message())) << e.message();
        }
    }
}

TEST(WirekitNumberTypes, TcpFlagsAreNetworkOrderInMemoryAndVniDefaultsToNone) {
    const Wirekit::TcpDataOffsetAndFlags f(0x5012);
    unsigned char bytes[2];
    std::memcpy(bytes, &f, 2);
    EXPECT_EQ(bytes[0], 0x50);
    EXPECT_EQ(bytes[1], 0x12);
    EXPECT_EQ(text(f), "20498");  // the text is the host-order value
    EXPECT_EQ(display(f), "20498");
    EXPECT_EQ(parseWhole<Wirekit::TcpDataOffsetAndFlags>("20498"), f);
    Wirekit::TcpDataOffsetAndFlags fromWire;
    std::memcpy(&fromWire, "\x80\x02", 2);
    EXPECT_EQ(fromWire.value(), 0x8002);
    EXPECT_EQ(parseWhole<Wirekit::TcpDataOffsetAndFlags>("65535").value(), 0xFFFF);
    for (const char* bad : {"65536", "-1", "", "0x10", " 1"}) {
        EXPECT_THROW(parseWhole<Wirekit::TcpDataOffsetAndFlags>(bad), Kiln::RangeException) << bad;
    }

    const Vxlan::VniExtOrNone none;
    EXPECT_EQ(none.value(), 4294967295u);
    EXPECT_EQ(text(none), "4294967295");
    EXPECT_EQ(display(none), "none");
    EXPECT_TRUE(parseWhole<Vxlan::VniExtOrNone>("4294967295").isNone());
    EXPECT_EQ(display(Vxlan::VniExtOrNone(0)), "0");
    EXPECT_THROW(parseWhole<Vxlan::VniExtOrNone>("4294967296"), Kiln::RangeException);
    // The value text is always the number; only the display text says "none".
    EXPECT_THROW(parseWhole<Vxlan::VniExtOrNone>("none"), Kiln::RangeException);

    EXPECT_FALSE(FlowTracking::FtId(0).valid());
    EXPECT_EQ(text(FlowTracking::TemplateId(FlowTracking::TemplateId::clearTimeValue)), "65535");
}

// One parser under test, type-erased: parses a text from an exact buffer and returns how much it
// consumed and the canonical text of what it read (or throws RangeException).
struct Parser {
    const char* name;
    std::function<std::string(const std::string&, std::size_t*)> parse;
    std::vector<std::string> valid;
};

template <class T>
Parser parserFor(const char* name, std::vector<std::string> valid) {
    return {name,
            [](const std::string& t, std::size_t* consumed) {
                return text(parseExact<T>(t, consumed));
            },
            std::move(valid)};
}

std::vector<Parser> parsers() {
    return {parserFor<EthAddr>("EthAddr", {"00:11:22:33:44:55", "FF:ee:dd:cc:bb:aa"}),
            parserFor<IpGenAddr>("IpGenAddr",
                                 {"none", "192.168.100.200", "2001:db8::1", "::ffff:10.0.0.1"}),
            parserFor<IpGenPrefix>("IpGenPrefix", {"none", "10.0.0.0/8", "2001:db8::/128"}),
            parserFor<IntfId>("IntfId", {"'Ethernet1'", R"('a\'b\\c\x00\xff')"}),
            parserFor<Wirekit::TcpDataOffsetAndFlags>("TcpDataOffsetAndFlags", {"65535"}),
            parserFor<Vxlan::VniExtOrNone>("VniExtOrNone", {"4294967295"})};
}

TEST(WirekitRecordTypesHostile, EveryPrefixOfAValidTextIsRejectedOrConsumesLess) {
    for (const Parser& p : parsers()) {
        for (const std::string& full : p.valid) {
            std::size_t consumed = 0;
            const std::string canonical = p.parse(full, &consumed);
            ASSERT_EQ(consumed, full.size()) << p.name << " " << full;
            for (std::size_t n = 0; n < full.size(); ++n) {
                const std::string prefix = full.substr(0, n);
                try {
                    const std::string got = p.parse(prefix, &consumed);
                    EXPECT_LE(consumed, n) << p.name << " " << prefix;
                    EXPECT_NE(got, canonical)
                        << p.name << " prefix " << prefix << " reads as the whole";
                } catch (const Kiln::RangeException&) {
                }
            }
        }
    }
}

TEST(WirekitRecordTypesHostile, RandomMutationsNeverCrashAndAcceptedTextsAreStable) {
    const std::uint64_t seed = TestSupport::testSeed("mutations");
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937_64 rng(seed);
    // Characters that matter to some parser, the bytes that must be escaped, and any byte.
    const std::string alphabet = std::string("0123456789abcdefABCDEFnox:./'\\, -\n\x7f\xff") + '\0';
    auto randomChar = [&]() {
        return rng() % 4 ? alphabet[rng() % alphabet.size()] : static_cast<char>(rng());
    };
    const std::vector<Parser> all = parsers();
    for (int i = 0; i < 20000; ++i) {
        const Parser& p = all[rng() % all.size()];
        std::string t = p.valid[rng() % p.valid.size()];
        for (int edits = 1 + static_cast<int>(rng() % 3); edits > 0; --edits) {
            const std::size_t at = t.empty() ? 0 : rng() % (t.size() + 1);
            const auto op = rng() % 4;
            if (op == 0 && at < t.size()) t[at] = randomChar();
            if (op == 1) t.insert(at, 1, randomChar());
            if (op == 2 && at < t.size()) t.erase(at, 1);
            if (op == 3) t.resize(at);
        }
        std::size_t consumed = 0;
        std::string canonical;
        try {
            canonical = p.parse(t, &consumed);
        } catch (const Kiln::RangeException& e) {
            ASSERT_TRUE(isOnePrintableLine(e.message())) << p.name << " " << e.message();
            continue;
        }
        ASSERT_LE(consumed, t.size());
        // Whatever is accepted writes a canonical text that reads back to itself.
        std::size_t again = 0;
        ASSERT_EQ(p.parse(canonical, &again), canonical) << p.name << " " << Kiln::quotedText(t);
        ASSERT_EQ(again, canonical.size()) << p.name << " " << canonical;
    }
}

}  // namespace
