// Flow keys and counter keys: the padding and hash every process shares, equality and ordering.
// Their value texts are tested with the records' in FlowRecordTest.

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "FlowTracker/FlowTableTypes.h"
#include "FlowTracker/FtCounterTypes.h"
#include "tests/support/AllocationCounter.h"
#include "tests/support/RandomFlows.h"
#include "tests/support/Seed.h"

namespace {

using FlowTracking::Ip6FlowKey;
using FlowTracking::IpFlowKey;
using Vrf::VrfIdMap;

template <class Key>
struct KeyMaker {
    using Addr = std::remove_cvref_t<decltype(Key().srcAddr())>;
    static Addr addr(std::mt19937_64& rng) { return TestSupport::randomAddr<Addr>(rng); }
    static constexpr std::size_t paddingOffset = std::is_same_v<Key, IpFlowKey> ? 14 : 38;
};

using TestSupport::randomKey;

template <class Key>
class FlowKeyTest : public ::testing::Test {
  protected:
    const std::uint64_t seed =
        TestSupport::testSeed(::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::mt19937_64 rng{seed};
};

using KeyTypes = ::testing::Types<IpFlowKey, Ip6FlowKey>;
TYPED_TEST_SUITE(FlowKeyTest, KeyTypes);

TYPED_TEST(FlowKeyTest, PaddingIsZeroedAndTakesNoPartInIdentity) {
    // A default key's bytes are deterministic in table files.
    const TypeParam empty;
    std::uint16_t padding = 1;
    std::memcpy(&padding,
                reinterpret_cast<const char*>(&empty) + KeyMaker<TypeParam>::paddingOffset, 2);
    EXPECT_EQ(padding, 0);
    for (int i = 0; i < 200; ++i) {
        const TypeParam k = randomKey<TypeParam>(this->rng);
        TypeParam copy;
        std::memcpy(static_cast<void*>(&copy), &k, sizeof k);
        const std::uint16_t junk = static_cast<std::uint16_t>(this->rng() | 1);
        std::memcpy(reinterpret_cast<char*>(&copy) + KeyMaker<TypeParam>::paddingOffset, &junk, 2);
        ASSERT_EQ(copy, k);
        ASSERT_FALSE(copy < k || k < copy);
        ASSERT_EQ(copy.hash(0), k.hash(0));
        ASSERT_EQ(copy.hash(12345), k.hash(12345));
        ASSERT_EQ(valueToStrep(copy), valueToStrep(k));
    }
}

TYPED_TEST(FlowKeyTest, OrderingIsAStrictWeakOrderConsistentWithEquality) {
    // Few distinct values per attribute, so many pairs tie on a prefix of attributes.
    std::vector<TypeParam> keys;
    std::mt19937_64 small(this->seed);
    for (int i = 0; i < 300; ++i) {
        auto k = randomKey<TypeParam>(small);
        keys.emplace_back(VrfIdMap::VrfId(small() % 2), Bridging::VlanIdOrAnyOrNone(small() % 2),
                          small() % 2 ? k.srcAddr() : typename KeyMaker<TypeParam>::Addr(),
                          small() % 2 ? k.dstAddr() : typename KeyMaker<TypeParam>::Addr(),
                          static_cast<Wirekit::IpProtocolNumber>(static_cast<int>(small() % 3) - 1),
                          small() % 2, small() % 2);
    }
    for (const auto& a : keys) {
        for (const auto& b : keys) {
            const bool lt = a < b, gt = b < a;
            ASSERT_FALSE(lt && gt);
            ASSERT_EQ(!lt && !gt, a == b) << valueToStrep(a) << " vs " << valueToStrep(b);
        }
    }
}

TYPED_TEST(FlowKeyTest, HashEqualityAndOrderingAllocateNothing) {
    const TypeParam a = randomKey<TypeParam>(this->rng), b = randomKey<TypeParam>(this->rng);
    const std::uint64_t before = TestSupport::threadAllocations();
    std::uint32_t sink = a.hash(0) ^ b.hash(12345);
    sink += (a == b) + (a < b) + (b < a) + std::less<TypeParam>{}(a, b);
    EXPECT_EQ(TestSupport::threadAllocations(), before) << sink;
    // The counter itself works: a display text allocates.
    EXPECT_FALSE(a.str().empty());
    EXPECT_GT(TestSupport::threadAllocations(), before);
}

TYPED_TEST(FlowKeyTest, AttributesDecideInDeclarationOrder) {
    using Addr = typename KeyMaker<TypeParam>::Addr;
    const Addr lo = KeyMaker<TypeParam>::addr(this->rng);
    Addr hi = lo;
    while (!(lo < hi)) hi = KeyMaker<TypeParam>::addr(this->rng);
    const VrfIdMap::VrfId vrf(7);
    const Bridging::VlanIdOrAnyOrNone vlan(10);
    // Only dstPort differs: unequal and ordered by dstPort.
    const TypeParam a(vrf, vlan, lo, lo, Wirekit::ipProtoTcp, 5, 80);
    const TypeParam b(vrf, vlan, lo, lo, Wirekit::ipProtoTcp, 5, 81);
    EXPECT_NE(a, b);
    EXPECT_TRUE(a < b);
    EXPECT_FALSE(b < a);
    // srcAddr decides whatever the later attributes say.
    const TypeParam c(vrf, vlan, lo, hi, Wirekit::ipProtoUdp, 65535, 65535);
    const TypeParam d(vrf, vlan, hi, lo, Wirekit::ipProtoIcmp, 0, 0);
    EXPECT_TRUE(c < d);
    // ipProtocol compares as a signed number.
    const TypeParam neg(vrf, vlan, lo, lo, static_cast<Wirekit::IpProtocolNumber>(-1), 0, 0);
    EXPECT_TRUE(neg < a);
    // vrfId compares as an unsigned number.
    const TypeParam bigVrf(VrfIdMap::VrfId(0x80000000u), vlan, lo, lo, Wirekit::ipProtoTcp, 0, 0);
    EXPECT_TRUE(a < bigVrf);
}

// Golden vectors: bucket positions in shared tables come from these numbers.
TEST(FlowKeyHash, HashesAreFrozen) {
    EXPECT_EQ(IpFlowKey().hash(0), 0x90f9e9b0u);
    EXPECT_EQ(Ip6FlowKey().hash(0), 0x90f9e9b0u);
    const IpFlowKey k(VrfIdMap::VrfId(1), Bridging::VlanIdOrAnyOrNone(100),
                      Wirekit::IpAddr(10, 0, 0, 1), Wirekit::IpAddr(10, 0, 0, 2),
                      Wirekit::ipProtoTcp, 1234, 80);
    EXPECT_EQ(k.hash(0), 0x9a897aa0u);
    EXPECT_EQ(k.hash(0x12345678), 0x780cf68eu);
    const Ip6FlowKey k6(VrfIdMap::VrfId(1), Bridging::VlanIdOrAnyOrNone(100),
                        Wirekit::Ip6Addr::fromWords(0x20010db8, 0, 0, 1),
                        Wirekit::Ip6Addr::fromWords(0x20010db8, 0, 0, 2), Wirekit::ipProtoUdp, 53,
                        5353);
    EXPECT_EQ(k6.hash(0), 0xb04e6939u);

    // Counter tables hash their keys with the stored seed; the total key hashes as its number.
    using Hoard::FlowTracker::FlowCounterKey;
    using Hoard::FlowTracker::FlowGroupCounterKey;
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

TEST(CounterKeys, OrderIsByTrackerThenGroupUnsigned) {
    using Hoard::FlowTracker::FlowCounterKey;
    auto groupKey = [](std::uint32_t ft, std::uint16_t fg) {
        return Hoard::FlowTracker::FlowGroupCounterKey(FlowTracking::FtId(ft),
                                                       FlowTracking::TemplateId(fg));
    };
    EXPECT_TRUE(groupKey(1, 5) < groupKey(1, 6));
    EXPECT_TRUE(groupKey(1, 65535) < groupKey(2, 0));
    EXPECT_FALSE(groupKey(2, 0) < groupKey(1, 65535));
    EXPECT_TRUE(groupKey(0x7FFFFFFF, 0) < groupKey(0x80000000u, 0));
    EXPECT_FALSE(groupKey(1, 5) < groupKey(1, 5));
    EXPECT_TRUE(FlowCounterKey(1) < FlowCounterKey(0x80000000u));
}

TEST(FlowKeyHash, SequentialKeysSpreadOverBuckets) {
    // Tables pick buckets from the hash's low bits; keys that differ in one port or one address
    // byte must not pile up there.
    constexpr int kBuckets = 256, kKeys = 65536;
    std::vector<int> perBucket(kBuckets);
    for (int i = 0; i < kKeys; ++i) {
        const IpFlowKey k(VrfIdMap::VrfId(1), Bridging::VlanIdOrAnyOrNone(1),
                          Wirekit::IpAddr::fromHostOrder(0x0A000000u + (i >> 8)),
                          Wirekit::IpAddr(10, 0, 0, 1), Wirekit::ipProtoTcp,
                          static_cast<std::uint16_t>(i & 0xFF), 80);
        ++perBucket[k.hash(0) % kBuckets];
    }
    for (int n : perBucket) {
        EXPECT_GT(n, kKeys / kBuckets / 2);
        EXPECT_LT(n, kKeys / kBuckets * 2);
    }
}

}  // namespace
