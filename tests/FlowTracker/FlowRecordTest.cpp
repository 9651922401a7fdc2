// Flow keys, flow records and counter records: the padding and hashes every process shares,
// equality and ordering, the value texts (random values read back equal, hostile texts never
// crash, one table of pinned and malformed texts) and the display texts.

#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "FlowTracker/FlowTableTypes.h"
#include "FlowTracker/FtCounterTypes.h"
#include "tests/support/ManualClockGuard.h"
#include "tests/support/Seed.h"
#include "tests/support/TextParsing.h"

namespace {

using namespace FlowTracking;
using namespace Hoard::FlowTracker;
using TestSupport::parserOf;
using TestSupport::textOf;
using Vlan = Bridging::VlanIdOrAnyOrNone;
using VrfId = Vrf::VrfIdMap::VrfId;

// A double from all bit patterns but NaN (a NaN record is unequal to itself).
double randomTime(std::mt19937_64& rng) {
    for (;;) {
        const double d = std::bit_cast<double>(rng());
        if (d == d) return d;
    }
}

// A random key or record: every attribute takes a value from its whole range (unnamed enumerators
// and non-finite times included), so texts and comparisons are exercised beyond the values the
// agent stores. Random bytes, a third of them zero (so addresses have the zero runs "::"
// compresses), then valid values where not every byte pattern is one: times and booleans.
template <class Record>
Record randomRecord(std::mt19937_64& rng) {
    static_assert(std::is_trivially_copyable_v<Record>);
    Record r;
    auto* bytes = reinterpret_cast<unsigned char*>(&r);
    for (std::size_t i = 0; i < sizeof r; ++i) {
        bytes[i] = rng() % 3 ? static_cast<unsigned char>(rng()) : 0;
    }
    if constexpr (requires { r.entryExportedIs(true); }) {
        r.startTimeIs(randomTime(rng));
        r.lastPktTimeIs(randomTime(rng));
        r.entryExportedIs(rng() % 2);
    } else if constexpr (requires { r.flowEntryIs(FlowEntry()); }) {
        r.flowEntryIs(FlowEntry(rng(), rng(), rng(), randomTime(rng)));
    } else if constexpr (requires { r.lastClearedTimeIs(0.0); }) {
        r.lastClearedTimeIs(randomTime(rng));
    }
    return r;
}

// Typed tests with a fresh seed each (printed, for a replay).
template <class T>
class Seeded : public ::testing::Test {
  protected:
    const std::uint64_t seed =
        TestSupport::testSeed(::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::mt19937_64 rng{seed};
};

const IpFlowKey kKey(VrfId(1), Vlan(100), Wirekit::IpAddr(10, 0, 0, 1),
                     Wirekit::IpAddr(10, 0, 0, 2), Wirekit::ipProtoTcp, 1234, 80);

template <class Key>
class FlowKeyTest : public Seeded<Key> {};
using KeyTypes = ::testing::Types<IpFlowKey, Ip6FlowKey>;
TYPED_TEST_SUITE(FlowKeyTest, KeyTypes);

// A default key's bytes are deterministic in table files, and the padding takes part in nothing.
TYPED_TEST(FlowKeyTest, PaddingIsZeroedAndTakesNoPartInIdentity) {
    constexpr std::size_t offset = std::is_same_v<TypeParam, IpFlowKey> ? 14 : 38;
    const TypeParam empty;
    std::uint16_t padding = 1;
    std::memcpy(&padding, reinterpret_cast<const char*>(&empty) + offset, 2);
    EXPECT_EQ(padding, 0);
    for (int i = 0; i < 200; ++i) {
        const TypeParam k = randomRecord<TypeParam>(this->rng);
        TypeParam copy = k;
        const std::uint16_t junk = static_cast<std::uint16_t>(this->rng() | 1);
        std::memcpy(reinterpret_cast<char*>(&copy) + offset, &junk, 2);
        ASSERT_EQ(copy, k);
        ASSERT_FALSE(copy < k || k < copy);
        ASSERT_EQ(copy.hash(12345), k.hash(12345));
        ASSERT_EQ(valueToStrep(copy), valueToStrep(k));
    }
}

// Few distinct values per attribute, so many pairs tie on a prefix of attributes: an ordering
// that skips an attribute calls unequal keys equivalent.
TYPED_TEST(FlowKeyTest, OrderingIsAStrictWeakOrderConsistentWithEquality) {
    using Addr = std::remove_cvref_t<decltype(TypeParam().srcAddr())>;
    std::vector<TypeParam> keys;
    for (int i = 0; i < 300; ++i) {
        auto& r = this->rng;
        const auto k = randomRecord<TypeParam>(r);
        keys.emplace_back(VrfId(r() % 2), Vlan(r() % 2), r() % 2 ? k.srcAddr() : Addr(),
                          r() % 2 ? k.dstAddr() : Addr(),
                          static_cast<Wirekit::IpProtocolNumber>(static_cast<int>(r() % 3) - 1),
                          r() % 2, r() % 2);
    }
    for (const auto& a : keys) {
        for (const auto& b : keys) {
            const bool lt = a < b, gt = b < a;
            ASSERT_FALSE(lt && gt);
            ASSERT_EQ(!lt && !gt, a == b) << valueToStrep(a) << " vs " << valueToStrep(b);
        }
    }
}

TYPED_TEST(FlowKeyTest, AttributesDecideInDeclarationOrder) {
    using Addr = std::remove_cvref_t<decltype(TypeParam().srcAddr())>;
    const Addr lo = randomRecord<TypeParam>(this->rng).srcAddr();
    Addr hi = lo;
    while (!(lo < hi)) hi = randomRecord<TypeParam>(this->rng).srcAddr();
    const TypeParam a(VrfId(7), Vlan(10), lo, lo, Wirekit::ipProtoTcp, 5, 80);
    EXPECT_TRUE(a < TypeParam(VrfId(7), Vlan(10), lo, lo, Wirekit::ipProtoTcp, 5, 81));
    // srcAddr decides whatever the later attributes say.
    EXPECT_TRUE(TypeParam(VrfId(7), Vlan(10), lo, hi, Wirekit::ipProtoUdp, 65535, 65535) <
                TypeParam(VrfId(7), Vlan(10), hi, lo, Wirekit::ipProtoIcmp, 0, 0));
    // ipProtocol compares as a signed number, vrfId as an unsigned one.
    const auto minus1 = static_cast<Wirekit::IpProtocolNumber>(-1);
    EXPECT_TRUE(TypeParam(VrfId(7), Vlan(10), lo, lo, minus1, 9, 0) < a);
    EXPECT_TRUE(a < TypeParam(VrfId(0x80000000u), Vlan(10), lo, lo, Wirekit::ipProtoTcp, 0, 0));
}

// Golden vectors: bucket positions in shared tables come from these numbers.
TEST(FlowKeyHash, HashesAreFrozen) {
    EXPECT_EQ(IpFlowKey().hash(0), 0x90f9e9b0u);
    EXPECT_EQ(Ip6FlowKey().hash(0), 0x90f9e9b0u);
    EXPECT_EQ(kKey.hash(0), 0x9a897aa0u);
    EXPECT_EQ(kKey.hash(0x12345678), 0x780cf68eu);
    const Ip6FlowKey k6(VrfId(1), Vlan(100), Wirekit::Ip6Addr::fromWords(0x20010db8, 0, 0, 1),
                        Wirekit::Ip6Addr::fromWords(0x20010db8, 0, 0, 2), Wirekit::ipProtoUdp, 53,
                        5353);
    EXPECT_EQ(k6.hash(0), 0xb04e6939u);

    // Counter tables hash their keys with the stored seed; the total key hashes as its number.
    const FlowGroupCounterKey group(FtId(7), TemplateId(3));
    EXPECT_EQ(FlowGroupCounterKey().hash(0), 0x30ab28b3u);
    EXPECT_EQ(group.hash(0), 0x81782345u);
    EXPECT_EQ(group.hash(0xC0FFEE), 0xcc575334u);
    EXPECT_EQ(Kiln::hashSingleAttr(99, FlowCounterKey(12)), Kiln::hashSingleAttr(99, 12u));
    // The group key's padding bytes take no part.
    FlowGroupCounterKey dirty = group;
    reinterpret_cast<unsigned char*>(&dirty)[6] = 0xAB;
    EXPECT_EQ(dirty.hash(5), group.hash(5));
    EXPECT_EQ(dirty, group);
}

TEST(CounterKeys, OrderIsByTrackerThenGroupUnsigned) {
    const auto key = [](std::uint32_t ft, std::uint16_t fg) {
        return FlowGroupCounterKey(FtId(ft), TemplateId(fg));
    };
    EXPECT_TRUE(key(1, 5) < key(1, 6));
    EXPECT_TRUE(key(1, 65535) < key(2, 0));
    EXPECT_FALSE(key(2, 0) < key(1, 65535));
    EXPECT_TRUE(key(0x7FFFFFFF, 0) < key(0x80000000u, 0));
    EXPECT_FALSE(key(1, 5) < key(1, 5));
    EXPECT_TRUE(FlowCounterKey(1) < FlowCounterKey(0x80000000u));
}

template <class Record>
class RecordText : public Seeded<Record> {};

using RecordTypes =
    ::testing::Types<IpFlowKey, Ip6FlowKey, IpFlowEntry, Ip6FlowEntry, BgpFlowEntry, Bgp6FlowEntry,
                     FlowEntry, FlowCounterEntry, FlowGroupCounterEntry>;
TYPED_TEST_SUITE(RecordText, RecordTypes);

TYPED_TEST(RecordText, EveryWrittenTextParsesBackEqual) {
    for (int i = 0; i < 1000; ++i) {
        const TypeParam r = i == 0 ? TypeParam() : randomRecord<TypeParam>(this->rng);
        const Kiln::String text = valueToStrep(r);
        ASSERT_EQ(TestSupport::parseExact<TypeParam>(text.stdString()), r)
            << text << " seed " << this->seed;
        ASSERT_EQ(Kiln::strepToValue<TypeParam>(text), r);
    }
}

TYPED_TEST(RecordText, TruncatedAndMutatedTextsAreHandled) {
    SCOPED_TRACE("seed " + std::to_string(this->seed));
    std::vector<std::string> valid = {textOf(TypeParam())};
    for (int i = 0; i < 3; ++i) valid.push_back(textOf(randomRecord<TypeParam>(this->rng)));
    TestSupport::expectHostileTextsHandled(parserOf<TypeParam>(), valid, this->rng, 1500);
}

const TestSupport::Parsers kParsers = {
    {"IpFlowKey", parserOf<IpFlowKey>()},
    {"Ip6FlowKey", parserOf<Ip6FlowKey>()},
    {"IpFlowEntry", parserOf<IpFlowEntry>()},
    {"Ip6FlowEntry", parserOf<Ip6FlowEntry>()},
    {"BgpFlowEntry", parserOf<BgpFlowEntry>()},
    {"Bgp6FlowEntry", parserOf<Bgp6FlowEntry>()},
    {"FlowCounterKey", parserOf<FlowCounterKey>()},
    {"FlowGroupCounterKey", parserOf<FlowGroupCounterKey>()},
    {"FlowCounterEntry", parserOf<FlowCounterEntry>()},
    {"FlowGroupCounterEntry", parserOf<FlowGroupCounterEntry>()},
};

// `text` with its first `from` replaced by `to` (`from` must occur).
std::string replaced(std::string text, const std::string& from, const std::string& to) {
    const auto at = text.find(from);
    if (at == std::string::npos) throw std::logic_error("no \"" + from + "\" in " + text);
    return text.replace(at, from.size(), to);
}

// `text` with the value of its first attribute `name` replaced by `value`.
std::string withValue(std::string text, const std::string& name, const std::string& value) {
    const auto at = text.find("'" + name + "': ");
    if (at == std::string::npos) throw std::logic_error("no " + name + " in " + text);
    const auto from = at + name.size() + 4;
    return text.replace(from, text.find_first_of(",}", from) - from, value);
}

const std::string kIpKey =
    "Value('FlowTracking::IpFlowKey', ** {'vrfId': 16777215, 'vlanId': 0, 'srcAddr': 0.0.0.0, "
    "'dstAddr': 0.0.0.0, 'ipProtocol': 255, 'srcPort': 0, 'dstPort': 0})";
const std::string kIp6Key =
    "Value('FlowTracking::Ip6FlowKey', ** {'vrfId': 16777215, 'vlanId': 0, 'srcAddr': ::, "
    "'dstAddr': ::, 'ipProtocol': 255, 'srcPort': 0, 'dstPort': 0})";
const std::string kIpEntry =
    "Value('FlowTracking::IpFlowEntry', ** {'key': " + kIpKey +
    ", 'srcEthAddr': 00:00:00:00:00:00, 'egressVlanId': 0, 'dstEthAddr': 00:00:00:00:00:00, "
    "'srcIpAddr': 0.0.0.0, 'dstIpAddr': 0.0.0.0, 'ipProtocol': 255, 'tos': 0, 'tcpFlags': 0, "
    "'srcPort': 0, 'dstPort': 0, 'bytes': 0, 'pkts': 0, 'hwBytes': 0, 'hwPkts': 0, "
    "'startTime': 0, 'lastPktTime': 0, 'inIfIndex': 0, 'outIfIndex': 0, 'inIfType': 0, "
    "'vni': 4294967295, 'tunnelState': unknown, 'entryExported': False})";
const std::string kIp6Entry = textOf(Ip6FlowEntry());
const std::string kGroupKey =
    "Value('Hoard::FlowTracker::FlowGroupCounterKey', ** {'ftId': 3, 'fgId': 9})";
const std::string kBgp6Entry = textOf(Bgp6FlowEntry());
const std::string kGroup = textOf(FlowGroupCounterEntry());
const std::string kTotal = textOf(FlowCounterEntry());

// Golden texts (other processes and stored files read them) and malformed texts.
TEST(RecordTexts, TableOfTexts) {
    TestSupport::expectRows(
        kParsers,
        {
            {"IpFlowKey", "=", {kIpKey}},
            {"Ip6FlowKey", "=", {kIp6Key}},
            {"IpFlowEntry", "=", {kIpEntry}},
            {"FlowGroupCounterKey", "=", {kGroupKey}},
            {"FlowCounterKey", "=", {"4294967295"}},  // the total key is a bare number
            {"FlowCounterKey", "!key: ", {"4294967296"}},

            // Attributes reordered, missing, repeated; a key of the other family; anything after
            // the closing "})"; extra blanks.
            {"IpFlowKey",
             "!",
             {replaced(kIpKey, "'srcPort': 0, 'dstPort': 0", "'dstPort': 0, 'srcPort': 0"),
              replaced(kIpKey, ", 'vlanId': 0", ""),
              replaced(kIpKey, "'srcPort': 0", "'srcPort': 0, 'srcPort': 0"), kIp6Key, kIpKey + " ",
              kIpKey + "})", replaced(kIpKey, "'vrfId': ", "'vrfId':  ")}},
            {"Ip6FlowKey", "!", {kIpKey, kIp6Key + ", 'x'"}},
            {"IpFlowEntry",
             "!",
             {replaced(kIpEntry, " 'hwBytes': 0,", ""), kIp6Entry, kIpEntry + "x"}},
            {"Ip6FlowEntry",
             "!",
             {replaced(kIp6Entry, "'tcpFlags': 0, 'tos': 0", "'tos': 0, 'tcpFlags': 0")}},
            {"BgpFlowEntry", "!", {kIpEntry}},
            // A group key where a total key belongs, and the other way round.
            {"FlowCounterEntry",
             "!",
             {replaced(kGroup, "FlowGroupCounterEntry", "FlowCounterEntry")}},
            {"FlowGroupCounterEntry",
             "!",
             {replaced(kTotal, "FlowCounterEntry", "FlowGroupCounterEntry")}},

            // Values out of their type's range name the attribute, inside a record "key" first.
            {"IpFlowKey", "!srcPort: ", {withValue(kIpKey, "srcPort", "65536")}},
            {"IpFlowKey", "!dstPort: ", {withValue(kIpKey, "dstPort", "-1")}},
            {"IpFlowKey", "!vrfId: ", {withValue(kIpKey, "vrfId", "4294967296")}},
            {"IpFlowKey", "!srcAddr: ", {withValue(kIpKey, "srcAddr", "0.0.0.256")}},
            {"IpFlowEntry", "!key: dstPort: ", {withValue(kIpEntry, "dstPort", "70000")}},
            {"IpFlowEntry", "!bytes: ", {withValue(kIpEntry, "bytes", "-1")}},
            {"IpFlowEntry", "!startTime: ", {withValue(kIpEntry, "startTime", "1e999")}},
            {"IpFlowEntry", "!tunnelState: ", {withValue(kIpEntry, "tunnelState", "gre")}},
            {"IpFlowEntry", "!entryExported: ", {withValue(kIpEntry, "entryExported", "0")}},
            {"Bgp6FlowEntry", "!srcPrefixLen: ", {withValue(kBgp6Entry, "srcPrefixLen", "256")}},
            {"FlowGroupCounterEntry", "!key: fgId: ", {withValue(kGroup, "fgId", "65536")}},
            {"FlowGroupCounterEntry", "!key: ftId: ", {withValue(kGroup, "ftId", "x")}},
            {"FlowGroupCounterEntry", "!flowEntry: ", {withValue(kGroup, "packets", "1.5")}},
            {"FlowGroupCounterEntry",
             "!flowEntry: lastClearedTime: ",
             {withValue(kGroup, "lastClearedTime", "zero")}},
            {"FlowCounterEntry", "!key: ", {withValue(kTotal, "key", "-1")}},
        });
}

// Each attribute lands in its own place of the text.
TEST(RecordTexts, ValuesWriteThePinnedTexts) {
    EXPECT_EQ(valueToStrep(kKey),
              "Value('FlowTracking::IpFlowKey', ** {'vrfId': 1, 'vlanId': 100, 'srcAddr': "
              "10.0.0.1, 'dstAddr': 10.0.0.2, 'ipProtocol': 6, 'srcPort': 1234, 'dstPort': 80})");
    EXPECT_EQ(TestSupport::displayOf(kKey), valueToStrep(kKey).stdString());

    BgpFlowEntry e;
    e.srcAsIs(65001);
    e.nextHopIpIs(Wirekit::IpAddr(10, 0, 0, 254));
    e.dstPrefixLenIs(24);
    EXPECT_EQ(valueToStrep(e),
              "Value('FlowTracking::BgpFlowEntry', ** {'key': " + kIpKey +
                  ", 'srcAs': 65001, 'dstAs': 0, 'nextHopIp': 10.0.0.254, 'bgpNextHopIp': "
                  "0.0.0.0, 'srcPrefixLen': 0, 'dstPrefixLen': 24})");
    IpFlowEntry f;
    f.tcpFlagsIs(Wirekit::TcpDataOffsetAndFlags(0x5012));
    f.startTimeIs(1.5);
    f.tunnelStateIs(TunnelState::vxlanDecap);
    const std::string flags = withValue(kIpEntry, "tcpFlags", "20498");
    EXPECT_EQ(textOf(f),
              withValue(withValue(flags, "startTime", "1.5"), "tunnelState", "vxlanDecap"));

    EXPECT_EQ(valueToStrep(FlowCounterEntry(FlowCounterKey(7), FlowEntry(1, 2, 3, 0.5))),
              "Value('Hoard::FlowTracker::FlowCounterEntry', ** {'key': 7, 'flowEntry': "
              "Value('Hoard::FlowTracker::FlowEntry', ** {'flows': 1, 'expiredFlows': 2, "
              "'packets': 3, 'lastClearedTime': 0.5})})");
    EXPECT_EQ(textOf(FlowGroupCounterKey(FtId(3), TemplateId(9))), kGroupKey);
}

TEST(RecordTexts, DisplayTexts) {
    EXPECT_EQ(kKey.str(),
              " vrf: 1, vlan: 100, src: 10.0.0.1, dst: 10.0.0.2, proto: 6, srcPort: 1234, "
              "dstPort: 80");
    EXPECT_EQ(Ip6FlowKey().str(),
              " vrf: 16777215, vlan: none, src: ::, dst: ::, proto: 255, srcPort: 0, dstPort: 0");
    EXPECT_EQ(IpFlowEntry(kKey).str(), Kiln::String(" IpFlowEntry key: ") + kKey.str());
    EXPECT_EQ(Bgp6FlowEntry().str(), Kiln::String(" Bgp6FlowEntry key: ") + Ip6FlowKey().str());
    EXPECT_EQ(BgpFlowEntry().str().stdString().rfind(" BgpFlowEntry key:  vrf: ", 0), 0u);

    // Counters show the age since the last clearing ("inf": never cleared).
    TestSupport::ManualClockGuard clock(1'000'000.0);
    const FlowEntry never(4, 1, 100, 0.0);
    const FlowEntry recent(0, 0, 0, 1'000'000.0 - 2.5);
    EXPECT_EQ(recent.hoardString(), "flows: 0, expiredFlows: 0, packets: 0, cleared: 2.5");
    clock.advance(10);
    EXPECT_EQ(recent.hoardString(), "flows: 0, expiredFlows: 0, packets: 0, cleared: 12.5");
    EXPECT_EQ(
        FlowGroupCounterEntry(FlowGroupCounterKey(FtId(1), TemplateId(5)), never).hoardString(),
        "[ ftId: 1, fgId: 5] flows: 4, expiredFlows: 1, packets: 100, cleared: inf");
    EXPECT_EQ(FlowCounterEntry(FlowCounterKey(0), never).hoardString(),
              "[ Total counters: 0] flows: 4, expiredFlows: 1, packets: 100, cleared: inf");
}

TEST(FlowRecord, TimesCompareAsDoubles) {
    IpFlowEntry a, b;
    b.lastPktTimeIs(1e-9);
    EXPECT_NE(a, b);
    b = IpFlowEntry();
    b.startTimeIs(-0.0);
    EXPECT_EQ(a, b);
    a.startTimeIs(std::numeric_limits<double>::quiet_NaN());
    b = a;
    EXPECT_NE(a, b);  // NaN is equal to nothing, itself included
}

// A record copied out of a table file holds whatever byte the file has where entryExported
// lives (a damaged file, found by fuzzing the readers): any byte but 0 is an exported flow, and
// the record prints, parses back and compares as one.
template <class Entry>
void expectExportedForEveryNonZeroByte(std::size_t offset) {
    Entry exported;
    exported.entryExportedIs(true);
    for (const unsigned char byte : {1, 2, 0x80, 0xff}) {
        Entry e;
        std::memcpy(reinterpret_cast<unsigned char*>(&e) + offset, &byte, 1);
        EXPECT_TRUE(e.entryExported()) << int(byte);
        EXPECT_EQ(e, exported) << int(byte);
        EXPECT_EQ(Kiln::strepToValue<Entry>(Kiln::String(textOf(e))), exported) << int(byte);
    }
}

TEST(FlowRecord, EntryExportedByteOtherThanOneReadsAsExported) {
    expectExportedForEveryNonZeroByte<IpFlowEntry>(132);
    expectExportedForEveryNonZeroByte<Ip6FlowEntry>(164);
}

}  // namespace
