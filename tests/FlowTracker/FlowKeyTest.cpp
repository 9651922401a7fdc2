// Flow keys: the byte layout and hash every process shares, the value text form and its parser
// (including hostile input), equality and ordering.

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "FlowTracker/FlowTableTypes.h"
#include "tests/support/AllocationCounter.h"
#include "tests/support/RandomFlows.h"
#include "tests/support/Seed.h"
#include "tests/support/TextParsing.h"

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

using TestSupport::parseWhole;
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

TYPED_TEST(FlowKeyTest, DefaultsAreTheEmptyKey) {
    const TypeParam k;
    EXPECT_EQ(k.vrfId().value(), 16777215u);
    EXPECT_EQ(k.vlanId().value(), 0);
    EXPECT_EQ(k.srcAddr(), typename KeyMaker<TypeParam>::Addr());
    EXPECT_EQ(k.dstAddr(), typename KeyMaker<TypeParam>::Addr());
    EXPECT_EQ(k.ipProtocol(), 255);
    EXPECT_EQ(k.ipProtocolNumber(), 255);
    EXPECT_EQ(k.srcPort(), 0);
    EXPECT_EQ(k.dstPort(), 0);
    // Padding is zeroed, so a default key's bytes are deterministic in table files.
    std::array<unsigned char, sizeof(TypeParam)> bytes;
    std::memcpy(bytes.data(), &k, sizeof k);
    EXPECT_EQ(bytes[KeyMaker<TypeParam>::paddingOffset], 0);
    EXPECT_EQ(bytes[KeyMaker<TypeParam>::paddingOffset + 1], 0);
}

TYPED_TEST(FlowKeyTest, EveryWrittenTextParsesBackEqual) {
    for (int i = 0; i < 2000; ++i) {
        const TypeParam k = randomKey<TypeParam>(this->rng);
        const Kiln::String text = valueToStrep(k);
        ASSERT_EQ(parseWhole<TypeParam>(text.stdString()), k) << text << " seed " << this->seed;
        ASSERT_EQ(Kiln::strepToValue(text, static_cast<const TypeParam*>(nullptr)), k);
    }
}

TYPED_TEST(FlowKeyTest, PaddingAndByteCopiesDoNotChangeIdentity) {
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

TYPED_TEST(FlowKeyTest, DisplayTextBeginsWithABlankAndEndsWithTheDestinationPort) {
    const TypeParam k(VrfIdMap::VrfId(3), Bridging::VlanIdOrAnyOrNone(0),
                      typename KeyMaker<TypeParam>::Addr(), typename KeyMaker<TypeParam>::Addr(),
                      Wirekit::ipProtoTcp, 1, 65535);
    const std::string s = k.str().stdString();
    EXPECT_EQ(s.rfind(" vrf: 3, vlan: none, src: ", 0), 0u) << s;
    EXPECT_TRUE(s.ends_with(", proto: 6, srcPort: 1, dstPort: 65535")) << s;
}

TYPED_TEST(FlowKeyTest, EveryPrefixOfAValidTextIsRejected) {
    const std::string text = valueToStrep(randomKey<TypeParam>(this->rng)).stdString();
    for (std::size_t n = 0; n < text.size(); ++n) {
        EXPECT_THROW(parseWhole<TypeParam>(text.substr(0, n)), Kiln::RangeException)
            << text.substr(0, n);
    }
}

TYPED_TEST(FlowKeyTest, RandomMutationsNeverCrashAndWhatParsesIsSelfConsistent) {
    for (int i = 0; i < 3000; ++i) {
        const std::string text = TestSupport::mutated(
            valueToStrep(randomKey<TypeParam>(this->rng)).stdString(), this->rng);
        try {
            const TypeParam k = parseWhole<TypeParam>(text);
            // Whatever was accepted is a real key: its own text reads back to it.
            ASSERT_EQ(parseWhole<TypeParam>(valueToStrep(k).stdString()), k)
                << text << " seed " << this->seed;
        } catch (const Kiln::RangeException&) {
        }
    }
}

TEST(FlowKeyText, ExactTextsArePinned) {
    const IpFlowKey k(VrfIdMap::VrfId(1), Bridging::VlanIdOrAnyOrNone(100),
                      Wirekit::IpAddr(10, 0, 0, 1), Wirekit::IpAddr(10, 0, 0, 2),
                      Wirekit::ipProtoTcp, 1234, 80);
    EXPECT_EQ(valueToStrep(k),
              "Value('FlowTracking::IpFlowKey', ** {'vrfId': 1, 'vlanId': 100, 'srcAddr': "
              "10.0.0.1, 'dstAddr': 10.0.0.2, 'ipProtocol': 6, 'srcPort': 1234, 'dstPort': 80})");
    EXPECT_EQ(k.str(),
              " vrf: 1, vlan: 100, src: 10.0.0.1, dst: 10.0.0.2, proto: 6, srcPort: 1234, "
              "dstPort: 80");
    std::ostringstream os;
    os << k;
    EXPECT_EQ(os.str(), valueToStrep(k).stdString());
    EXPECT_EQ(valueToStrep(Ip6FlowKey()),
              "Value('FlowTracking::Ip6FlowKey', ** {'vrfId': 16777215, 'vlanId': 0, 'srcAddr': "
              "::, 'dstAddr': ::, 'ipProtocol': 255, 'srcPort': 0, 'dstPort': 0})");
}

TEST(FlowKeyText, MalformedTextsAreRejectedNamingTheAttribute) {
    const std::string good = valueToStrep(IpFlowKey()).stdString();
    auto errorOf = [](const std::string& text) { return TestSupport::errorOf<IpFlowKey>(text); };
    auto replaced = [&](const std::string& from, const std::string& to) {
        return TestSupport::replaced(good, from, to);
    };
    // Reordered, missing, repeated attributes.
    EXPECT_NE(errorOf(replaced("'srcPort': 0, 'dstPort': 0", "'dstPort': 0, 'srcPort': 0")),
              "accepted");
    EXPECT_NE(errorOf(replaced(", 'vlanId': 0", "")), "accepted");
    EXPECT_NE(errorOf(replaced("'srcPort': 0", "'srcPort': 0, 'srcPort': 0")), "accepted");
    // An IPv6 key's text given to the IPv4 parser, and the other way round.
    EXPECT_NE(errorOf(valueToStrep(Ip6FlowKey()).stdString()), "accepted");
    EXPECT_THROW(Kiln::strepToValue<Ip6FlowKey>(Kiln::String(good)), Kiln::RangeException);
    // Anything after the closing "})", and extra blanks between pieces.
    EXPECT_NE(errorOf(good + " "), "accepted");
    EXPECT_NE(errorOf(good + "})"), "accepted");
    EXPECT_NE(errorOf(replaced("'vrfId': ", "'vrfId':  ")), "accepted");
    // Values out of their type's range name the attribute.
    EXPECT_EQ(errorOf(replaced("'srcPort': 0", "'srcPort': 65536")).rfind("srcPort: ", 0), 0u);
    EXPECT_EQ(errorOf(replaced("'dstPort': 0", "'dstPort': -1")).rfind("dstPort: ", 0), 0u);
    EXPECT_EQ(errorOf(replaced("'vrfId': 16777215", "'vrfId': 4294967296")).rfind("vrfId: ", 0),
              0u);
    EXPECT_EQ(errorOf(replaced("'srcAddr': 0.0.0.0", "'srcAddr': 0.0.0.256")).rfind("srcAddr: ", 0),
              0u);
    EXPECT_EQ(errorOf(replaced("'dstPort': 0", "'dstPort': 65535")), "accepted");
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
