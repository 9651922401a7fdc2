// Flow keys and counter keys: the padding and hash every process shares, equality and ordering.
// Their value texts are tested with the records' in FlowRecordTest.

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "FlowTracker/FlowTableTypes.h"
#include "FlowTracker/FtCounterTypes.h"
#include "tests/support/RandomFlows.h"
#include "tests/support/Seed.h"

namespace {

using FlowTracking::Ip6FlowKey;
using FlowTracking::IpFlowKey;
using Hoard::FlowTracker::FlowCounterKey;
using Hoard::FlowTracker::FlowGroupCounterKey;
using Vlan = Bridging::VlanIdOrAnyOrNone;
using VrfId = Vrf::VrfIdMap::VrfId;

template <class Key>
class FlowKeyTest : public ::testing::Test {
  protected:
    using Addr = std::remove_cvref_t<decltype(Key().srcAddr())>;
    static constexpr std::size_t paddingOffset = std::is_same_v<Key, IpFlowKey> ? 14 : 38;
    const std::uint64_t seed =
        TestSupport::testSeed(::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::mt19937_64 rng{seed};
};

using KeyTypes = ::testing::Types<IpFlowKey, Ip6FlowKey>;
TYPED_TEST_SUITE(FlowKeyTest, KeyTypes);

// A default key's bytes are deterministic in table files, and the padding takes part in nothing.
TYPED_TEST(FlowKeyTest, PaddingIsZeroedAndTakesNoPartInIdentity) {
    const TypeParam empty;
    std::uint16_t padding = 1;
    std::memcpy(&padding, reinterpret_cast<const char*>(&empty) + this->paddingOffset, 2);
    EXPECT_EQ(padding, 0);
    for (int i = 0; i < 200; ++i) {
        const TypeParam k = TestSupport::randomRecord<TypeParam>(this->rng);
        TypeParam copy = k;
        const std::uint16_t junk = static_cast<std::uint16_t>(this->rng() | 1);
        std::memcpy(reinterpret_cast<char*>(&copy) + this->paddingOffset, &junk, 2);
        ASSERT_EQ(copy, k);
        ASSERT_FALSE(copy < k || k < copy);
        ASSERT_EQ(copy.hash(12345), k.hash(12345));
        ASSERT_EQ(valueToStrep(copy), valueToStrep(k));
    }
}

// Few distinct values per attribute, so many pairs tie on a prefix of attributes: an ordering
// that skips an attribute calls unequal keys equivalent.
TYPED_TEST(FlowKeyTest, OrderingIsAStrictWeakOrderConsistentWithEquality) {
    using Addr = typename TestFixture::Addr;
    std::vector<TypeParam> keys;
    for (int i = 0; i < 300; ++i) {
        auto& r = this->rng;
        const auto k = TestSupport::randomRecord<TypeParam>(r);
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
    using Addr = typename TestFixture::Addr;
    const Addr lo = TestSupport::randomRecord<TypeParam>(this->rng).srcAddr();
    Addr hi = lo;
    while (!(lo < hi)) hi = TestSupport::randomRecord<TypeParam>(this->rng).srcAddr();
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
    const IpFlowKey k(VrfId(1), Vlan(100), Wirekit::IpAddr(10, 0, 0, 1),
                      Wirekit::IpAddr(10, 0, 0, 2), Wirekit::ipProtoTcp, 1234, 80);
    EXPECT_EQ(k.hash(0), 0x9a897aa0u);
    EXPECT_EQ(k.hash(0x12345678), 0x780cf68eu);
    const Ip6FlowKey k6(VrfId(1), Vlan(100), Wirekit::Ip6Addr::fromWords(0x20010db8, 0, 0, 1),
                        Wirekit::Ip6Addr::fromWords(0x20010db8, 0, 0, 2), Wirekit::ipProtoUdp, 53,
                        5353);
    EXPECT_EQ(k6.hash(0), 0xb04e6939u);

    // Counter tables hash their keys with the stored seed; the total key hashes as its number.
    const FlowGroupCounterKey group(FlowTracking::FtId(7), FlowTracking::TemplateId(3));
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

// Tables pick buckets from the hash's low bits; keys that differ in one port or one address byte
// must not pile up there.
TEST(FlowKeyHash, SequentialKeysSpreadOverBuckets) {
    constexpr int kBuckets = 256, kKeys = 65536;
    std::vector<int> perBucket(kBuckets);
    for (int i = 0; i < kKeys; ++i) {
        const IpFlowKey k(VrfId(1), Vlan(1), Wirekit::IpAddr::fromHostOrder(0x0A000000u + (i >> 8)),
                          Wirekit::IpAddr(10, 0, 0, 1), Wirekit::ipProtoTcp,
                          static_cast<std::uint16_t>(i & 0xFF), 80);
        ++perBucket[k.hash(0) % kBuckets];
    }
    for (int n : perBucket) {
        EXPECT_GT(n, kKeys / kBuckets / 2);
        EXPECT_LT(n, kKeys / kBuckets * 2);
    }
}

TEST(CounterKeys, OrderIsByTrackerThenGroupUnsigned) {
    const auto key = [](std::uint32_t ft, std::uint16_t fg) {
        return FlowGroupCounterKey(FlowTracking::FtId(ft), FlowTracking::TemplateId(fg));
    };
    EXPECT_TRUE(key(1, 5) < key(1, 6));
    EXPECT_TRUE(key(1, 65535) < key(2, 0));
    EXPECT_FALSE(key(2, 0) < key(1, 65535));
    EXPECT_TRUE(key(0x7FFFFFFF, 0) < key(0x80000000u, 0));
    EXPECT_FALSE(key(1, 5) < key(1, 5));
    EXPECT_TRUE(FlowCounterKey(1) < FlowCounterKey(0x80000000u));
}

}  // namespace
