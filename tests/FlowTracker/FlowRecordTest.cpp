// Flow records and counter records: value texts that read back exactly (also under hostile
// input), byte copies that stay valid records, emptiness, and the malformed texts each record
// must refuse naming the failing attribute.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "FlowTracker/FlowTableTypes.h"
#include "FlowTracker/FtCounterTypes.h"
#include "tests/support/RandomFlows.h"
#include "tests/support/Seed.h"
#include "tests/support/TextParsing.h"

namespace {

using namespace FlowTracking;
using Hoard::FlowTracker::FlowCounterEntry;
using Hoard::FlowTracker::FlowEntry;
using Hoard::FlowTracker::FlowGroupCounterEntry;
using TestSupport::errorOf;
using TestSupport::parseWhole;
using TestSupport::replaced;

template <class Record>
class RecordTest : public ::testing::Test {
  protected:
    const std::uint64_t seed =
        TestSupport::testSeed(::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::mt19937_64 rng{seed};
    Record random() { return TestSupport::randomRecord<Record>(rng); }
    static std::string text(const Record& r) { return valueToStrep(r).stdString(); }
};

using RecordTypes = ::testing::Types<IpFlowEntry, Ip6FlowEntry, BgpFlowEntry, Bgp6FlowEntry,
                                     FlowEntry, FlowCounterEntry, FlowGroupCounterEntry>;
TYPED_TEST_SUITE(RecordTest, RecordTypes);

TYPED_TEST(RecordTest, EveryWrittenTextParsesBackEqual) {
    for (int i = 0; i < 500; ++i) {
        const TypeParam r = this->random();
        const std::string text = this->text(r);
        ASSERT_EQ(parseWhole<TypeParam>(text), r) << text << " seed " << this->seed;
        ASSERT_EQ(Kiln::strepToValue<TypeParam>(Kiln::String(text)), r);
    }
    EXPECT_EQ(parseWhole<TypeParam>(this->text(TypeParam())), TypeParam());
}

TYPED_TEST(RecordTest, ByteCopiesAreEqualRecordsWhateverThePadding) {
    for (int i = 0; i < 100; ++i) {
        const TypeParam r = this->random();
        // A slot's bytes: the record copied in, then any padding byte scribbled on by a writer
        // that never cleared it. Only attribute bytes may matter.
        alignas(TypeParam) unsigned char slot[sizeof(TypeParam)];
        std::memcpy(slot, &r, sizeof r);
        TypeParam copy;
        std::memcpy(static_cast<void*>(&copy), slot, sizeof slot);
        ASSERT_EQ(copy, r);
        ASSERT_EQ(this->text(copy), this->text(r));
    }
}

TYPED_TEST(RecordTest, EveryPrefixIsRejectedAndMutationsNeverCrash) {
    const std::string text = this->text(this->random());
    for (std::size_t n = 0; n < text.size(); ++n) {
        ASSERT_NE(errorOf<TypeParam>(text.substr(0, n)), "accepted") << text.substr(0, n);
    }
    for (int i = 0; i < 1500; ++i) {
        const std::string bad = TestSupport::mutated(this->text(this->random()), this->rng);
        try {
            const TypeParam r = parseWhole<TypeParam>(bad);
            // Whatever is accepted is a real record: its own text reads back to it (unless a
            // mutation produced a NaN time, which is equal to nothing).
            const std::string again = this->text(r);
            if (again.find("nan") == std::string::npos) {
                ASSERT_EQ(parseWhole<TypeParam>(again), r) << bad << " seed " << this->seed;
            }
        } catch (const Kiln::RangeException&) {
        }
    }
}

TEST(FlowRecord, EmptinessIsEqualityWithTheDefaultRecord) {
    IpFlowEntry e;
    EXPECT_TRUE(!e);
    e.pktsIs(1);
    EXPECT_FALSE(!e);
    e.pktsIs(0);
    e.entryExportedIs(true);
    EXPECT_FALSE(!e);
    EXPECT_FALSE(!IpFlowEntry(
        IpFlowKey(Vrf::VrfIdMap::VrfId(1), {}, {}, {}, Wirekit::ipProtoReserved, 0, 0)));
    EXPECT_TRUE(!BgpFlowEntry());
    EXPECT_TRUE(!Bgp6FlowEntry(Ip6FlowKey()));
    Ip6FlowEntry v6;
    v6.vniIs(Vxlan::VniExtOrNone(0));  // 0 is a VNI; "none" is all bits set
    EXPECT_FALSE(!v6);
}

TEST(FlowRecord, KeyConstructorGivesEveryOtherAttributeItsDefault) {
    std::mt19937_64 rng(7);
    const Ip6FlowKey key = TestSupport::randomKey<Ip6FlowKey>(rng);
    const Ip6FlowEntry e(key);
    EXPECT_EQ(e.key(), key);
    EXPECT_EQ(e.ipProtocol(), Wirekit::ipProtoReserved);
    EXPECT_TRUE(e.vni().isNone());
    EXPECT_EQ(e.vni().value(), 0xFFFFFFFFu);
    EXPECT_EQ(e.tunnelState(), TunnelState::unknown);
    EXPECT_EQ(e.bytes() + e.pkts() + e.flowLabel(), 0u);
    EXPECT_EQ(e.startTime(), 0.0);
    EXPECT_EQ(e.lastPktTime(), 0.0);
    EXPECT_FALSE(e.entryExported());
}

TEST(FlowRecord, TimesCompareAsDoubles) {
    IpFlowEntry a, b;
    b.lastPktTimeIs(1e-9);
    EXPECT_NE(a, b);
    a.startTimeIs(std::numeric_limits<double>::quiet_NaN());
    EXPECT_NE(a, a);  // NaN is equal to nothing, itself included
    b = a;
    EXPECT_NE(a, b);
    IpFlowEntry z1, z2;
    z1.startTimeIs(0.0);
    z2.startTimeIs(-0.0);
    EXPECT_EQ(z1, z2);
}

TEST(FlowRecord, DisplayTextIsThePrefixAndTheKeysText) {
    std::mt19937_64 rng(11);
    const IpFlowKey key = TestSupport::randomKey<IpFlowKey>(rng);
    EXPECT_EQ(IpFlowEntry(key).str(), Kiln::String(" IpFlowEntry key: ") + key.str());
    EXPECT_EQ(Bgp6FlowEntry().str(), Kiln::String(" Bgp6FlowEntry key: ") + Ip6FlowKey().str());
    EXPECT_EQ(BgpFlowEntry().str().stdString().rfind(" BgpFlowEntry key:  vrf: ", 0), 0u);
}

TEST(FlowRecord, MalformedTextsAreRefusedNamingTheAttribute) {
    const std::string ip = valueToStrep(IpFlowEntry()).stdString();
    const std::string ip6 = valueToStrep(Ip6FlowEntry()).stdString();
    EXPECT_NE(errorOf<IpFlowEntry>(replaced(ip, " 'hwBytes': 0,", "")), "accepted");
    EXPECT_NE(
        errorOf<Ip6FlowEntry>(replaced(ip6, "'tcpFlags': 0, 'tos': 0", "'tos': 0, 'tcpFlags': 0")),
        "accepted");
    EXPECT_NE(errorOf<IpFlowEntry>(ip6), "accepted");
    EXPECT_NE(errorOf<BgpFlowEntry>(ip), "accepted");
    EXPECT_NE(errorOf<IpFlowEntry>(ip + "x"), "accepted");
    // Failures name the attribute, and inside the key "key" first.
    EXPECT_EQ(errorOf<IpFlowEntry>(
                  replaced(ip, "'srcPort': 0, 'dstPort': 0})", "'srcPort': 70000, 'dstPort': 0})"))
                  .rfind("key: srcPort: ", 0),
              0u);
    EXPECT_EQ(errorOf<IpFlowEntry>(replaced(ip, "'bytes': 0", "'bytes': -1")).rfind("bytes: ", 0),
              0u);
    EXPECT_EQ(errorOf<IpFlowEntry>(replaced(ip, "'startTime': 0", "'startTime': 1e999"))
                  .rfind("startTime: ", 0),
              0u);
    EXPECT_EQ(errorOf<IpFlowEntry>(replaced(ip, "'tunnelState': unknown", "'tunnelState': gre"))
                  .rfind("tunnelState: ", 0),
              0u);
    EXPECT_EQ(errorOf<IpFlowEntry>(replaced(ip, "'entryExported': False", "'entryExported': 0"))
                  .rfind("entryExported: ", 0),
              0u);
    EXPECT_EQ(errorOf<Bgp6FlowEntry>(replaced(valueToStrep(Bgp6FlowEntry()).stdString(),
                                              "'srcPrefixLen': 0", "'srcPrefixLen': 256"))
                  .rfind("srcPrefixLen: ", 0),
              0u);
}

TEST(FlowRecord, ExactTextIsPinned) {
    BgpFlowEntry e;
    e.srcAsIs(65001);
    e.nextHopIpIs(Wirekit::IpAddr(10, 0, 0, 254));
    e.dstPrefixLenIs(24);
    EXPECT_EQ(valueToStrep(e),
              "Value('FlowTracking::BgpFlowEntry', ** {'key': Value('FlowTracking::IpFlowKey', ** "
              "{'vrfId': 16777215, 'vlanId': 0, 'srcAddr': 0.0.0.0, 'dstAddr': 0.0.0.0, "
              "'ipProtocol': 255, 'srcPort': 0, 'dstPort': 0}), 'srcAs': 65001, 'dstAs': 0, "
              "'nextHopIp': 10.0.0.254, 'bgpNextHopIp': 0.0.0.0, 'srcPrefixLen': 0, "
              "'dstPrefixLen': 24})");
    IpFlowEntry f;
    f.tcpFlagsIs(Wirekit::TcpDataOffsetAndFlags(0x5012));
    f.startTimeIs(1.5);
    f.tunnelStateIs(TunnelState::vxlanDecap);
    const std::string t = valueToStrep(f).stdString();
    EXPECT_NE(t.find("'tos': 0, 'tcpFlags': 20498, 'srcPort': 0"), std::string::npos) << t;
    EXPECT_NE(t.find("'startTime': 1.5, 'lastPktTime': 0,"), std::string::npos) << t;
    EXPECT_NE(t.find("'vni': 4294967295, 'tunnelState': vxlanDecap, 'entryExported': False})"),
              std::string::npos)
        << t;
}

}  // namespace
