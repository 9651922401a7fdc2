#include <fmt/format.h>
#include <fmt/ostream.h>
#include <gtest/gtest.h>

#include <random>

#include "tests/tools/flowtrack/FrameBuilder.h"
#include "tools/flowtrack/PacketDecoder.h"

namespace Flowtrack {
namespace {

std::string describe(const DecodedPacket& p) { return fmt::format("{}", fmt::streamed(p)); }

// Decodes from a heap copy of exactly the captured bytes, so that the sanitizers see any read
// past the end.
DecodedPacket decode(const FrameBuilder::Bytes& frame, int linkType = linkTypeEthernet) {
    const std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[frame.size()]);
    std::copy(frame.begin(), frame.end(), copy.get());
    DecodedPacket out;
    PacketDecoder(linkType).decode(copy.get(), frame.size(), out);
    return out;
}

// Field by field, in the order of FrameBuilder::samples().
const char* const expected[] = {
    "10.0.0.1.40000 > 10.0.0.2.80 proto 6 len 54 tcp 0x5002 tos 16 df",
    "10.0.0.1.40000 > 10.0.0.2.53 proto 17 len 33 vlan 100",
    "10.0.0.1.40000 > 10.0.0.2.80 proto 17 len 28 vlan 200",
    "10.0.0.1.0 > 10.0.0.2.2048 proto 1 len 28",
    "10.0.0.1.40000 > 10.0.0.2.80 proto 17 len 128 first fragment",
    "10.0.0.1.0 > 10.0.0.2.0 proto 17 len 70 fragment",
    "2001:db8::1.40000 > 2001:db8::2.80 proto 6 len 60 tcp 0x5011 tos 32 label 74565",
    "2001:db8::1.40000 > 2001:db8::2.80 proto 17 len 75",
    "2001:db8::1.40000 > 2001:db8::2.80 proto 17 len 72 first fragment",
    "2001:db8::1.0 > 2001:db8::2.0 proto 17 len 68 fragment",
    "2001:db8::1.0 > 2001:db8::2.32768 proto 58 len 48",
    "10.1.0.1.40000 > 10.1.0.2.80 proto 6 len 40 vlan 10 vni 5000 vxlanDecap tcp 0x5004",
    "fd00::1.40000 > fd00::2.80 proto 17 len 48 vni 70000 vxlanDecap",
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
