#include <fmt/format.h>
#include <fmt/ostream.h>
#include <gtest/gtest.h>

#include <random>

#include "tests/tools/flowtrack/FrameBuilder.h"
#include "tools/flowtrack/PacketDecoder.h"

namespace Flowtrack {
namespace {

std::string describe(const DecodedPacket& p) {
    return fmt::format(
        "{} > {} p{} {}>{} vlan{} vni{} tun{} tcp{:x} len{} tos{} fl{} frag{:d}{:d}{:d}",
        fmt::streamed(p.srcIp), fmt::streamed(p.dstIp), static_cast<int>(p.protocol), p.srcPort,
        p.dstPort, p.vlanId,
        p.vni == Vxlan::VniExtOrNone::noneValue ? std::string("-") : std::to_string(p.vni),
        static_cast<int>(p.tunnelState), p.tcpFlags, p.ipLength, p.tos, p.flowLabel, p.fragmented,
        p.nonFirstFragment, p.dontFragment);
}

// Decodes from a heap copy of exactly the captured bytes, so that the sanitizers see any read
// past the end.
DecodedPacket decode(const FrameBuilder::Bytes& frame, int linkType = linkTypeEthernet) {
    const std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[frame.size()]);
    std::copy(frame.begin(), frame.end(), copy.get());
    DecodedPacket out;
    PacketDecoder(linkType).decode(copy.get(), frame.size(), out);
    return out;
}

// Field by field, in the order of FrameBuilder::samples(); frag bits: fragmented, non-first, DF.
const char* const expected[] = {
    "10.0.0.1 > 10.0.0.2 p6 40000>80 vlan0 vni- tun0 tcp5002 len54 tos16 fl0 frag001",
    "10.0.0.1 > 10.0.0.2 p17 40000>53 vlan100 vni- tun0 tcp0 len33 tos0 fl0 frag000",
    "10.0.0.1 > 10.0.0.2 p17 40000>80 vlan200 vni- tun0 tcp0 len28 tos0 fl0 frag000",
    "10.0.0.1 > 10.0.0.2 p1 0>2048 vlan0 vni- tun0 tcp0 len28 tos0 fl0 frag000",
    "10.0.0.1 > 10.0.0.2 p17 40000>80 vlan0 vni- tun0 tcp0 len128 tos0 fl0 frag100",
    "10.0.0.1 > 10.0.0.2 p17 0>0 vlan0 vni- tun0 tcp0 len70 tos0 fl0 frag110",
    "2001:db8::1 > 2001:db8::2 p6 40000>80 vlan0 vni- tun0 tcp5011 len60 tos32 fl74565 frag000",
    "2001:db8::1 > 2001:db8::2 p17 40000>80 vlan0 vni- tun0 tcp0 len75 tos0 fl0 frag000",
    "2001:db8::1 > 2001:db8::2 p17 40000>80 vlan0 vni- tun0 tcp0 len72 tos0 fl0 frag100",
    "2001:db8::1 > 2001:db8::2 p17 0>0 vlan0 vni- tun0 tcp0 len68 tos0 fl0 frag110",
    "2001:db8::1 > 2001:db8::2 p58 0>32768 vlan0 vni- tun0 tcp0 len48 tos0 fl0 frag000",
    "10.1.0.1 > 10.1.0.2 p6 40000>80 vlan10 vni5000 tun2 tcp5004 len40 tos0 fl0 frag000",
    "fd00::1 > fd00::2 p17 40000>80 vlan0 vni70000 tun2 tcp0 len48 tos0 fl0 frag000",
};

TEST(PacketDecoderTest, DecodesEveryKindFieldByField) {
    const auto samples = FrameBuilder::samples();
    ASSERT_EQ(samples.size(), std::size(expected));
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const DecodedPacket p = decode(FrameBuilder::build(samples[i]));
        EXPECT_EQ(p.status, DecodeStatus::ok) << i;
        EXPECT_EQ(describe(p), expected[i]) << i;
        EXPECT_EQ(p.srcMac, Wirekit::EthAddr(samples[i].srcMac)) << i;
    }
    // Linux cooked v2: the first sample's IP packet behind the 20-byte header.
    const FrameBuilder::Bytes frame = FrameBuilder::build(samples[0]);
    FrameBuilder::Bytes sll2 = {0x08, 0x00, 0, 0, 0, 0, 0, 1, 0, 1, 4, 6, 2, 0, 0, 0, 0, 1, 0, 0};
    sll2.insert(sll2.end(), frame.begin() + 14, frame.end());
    EXPECT_EQ(describe(decode(sll2, linkTypeLinuxSll2)), expected[0]);
}

TEST(PacketDecoderTest, RefusesWhatItCannotRead) {
    const FrameBuilder::Packet tcp;
    FrameBuilder::Bytes arp = FrameBuilder::build(tcp);
    arp[12] = 0x08, arp[13] = 0x06;
    FrameBuilder::Bytes shortHeader = FrameBuilder::build(tcp);
    shortHeader[14] = 0x44;
    FrameBuilder::Packet tags;
    tags.vlans = {1, 2, 3, 4, 5};
    FrameBuilder::Bytes cut = FrameBuilder::build(tcp);
    cut.resize(14 + 20 + 19);
    const struct {
        FrameBuilder::Bytes frame;
        int linkType;
        DecodeStatus status;
    } cases[] = {
        {arp, linkTypeEthernet, DecodeStatus::unsupported},
        {shortHeader, linkTypeEthernet, DecodeStatus::malformed},
        {FrameBuilder::build(tags), linkTypeEthernet, DecodeStatus::malformed},
        {cut, linkTypeEthernet, DecodeStatus::truncated},
        {FrameBuilder::build(tcp), 12 /* DLT_RAW */, DecodeStatus::unknownLinkType},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(decode(c.frame, c.linkType).status, c.status) << decodeStatusText(c.status);
    }
    EXPECT_STREQ(decodeStatusText(DecodeStatus::truncated), "packet shorter than its headers");
}

// Cuts and byte flips of every sample: a cut decodes to the whole frame's fields (it removed
// only payload) or reports truncation; nothing reads past the captured bytes (the sanitizer
// build checks that).
TEST(PacketDecoderTest, SurvivesCutAndMutatedFrames) {
    std::mt19937_64 rng(20261207);
    std::vector<FrameBuilder::Bytes> frames;
    for (const auto& s : FrameBuilder::samples()) frames.push_back(FrameBuilder::build(s));
    for (const auto& frame : frames) {
        const std::string whole = describe(decode(frame));
        for (std::size_t length = 0; length < frame.size(); ++length) {
            const DecodedPacket p = decode({frame.begin(), frame.begin() + length});
            if (p.status != DecodeStatus::truncated) {
                EXPECT_EQ(describe(p), whole) << length;
            }
        }
    }
    std::size_t decoded = 0;
    for (int round = 0; round < 20000; ++round) {
        FrameBuilder::Bytes frame = frames[rng() % frames.size()];
        for (int flips = 1 + rng() % 4; flips > 0; --flips) {
            frame[rng() % frame.size()] ^= static_cast<std::uint8_t>(1 + rng() % 255);
        }
        frame.resize(rng() % (frame.size() + 1));
        decoded += decode(frame, rng() % 8 == 0 ? linkTypeLinuxSll : linkTypeEthernet).status ==
                   DecodeStatus::ok;
    }
    EXPECT_GT(decoded, 0u);  // the mutations reach the deep headers, not only the first check
}

}  // namespace
}  // namespace Flowtrack
