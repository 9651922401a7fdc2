#include <fmt/format.h>
#include <fmt/ranges.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "contracts/Basalt/Exception.h"
#include "tests/support/ShmRoot.h"
#include "tests/tools/flowtrack/FrameBuilder.h"
#include "tools/flowtrack/Capture.h"

namespace Flowtrack {
namespace {

constexpr double t0 = 1'700'000'000.0;

// A temporary directory holding a pcap of the given frames at t0, t0 + 0.25, ...
struct PcapFixture {
    TestSupport::ShmRoot dir;
    std::string path = dir.path() + "/test.pcap";

    explicit PcapFixture(const std::vector<FrameBuilder::Bytes>& frames, int linkType = 1) {
        FrameBuilder::PcapFile file(path, linkType);
        for (std::size_t i = 0; i < frames.size(); ++i) file.write(frames[i], t0 + 0.25 * i);
    }
};

std::vector<FrameBuilder::Bytes> sampleFrames() {
    std::vector<FrameBuilder::Bytes> frames;
    for (const auto& s : FrameBuilder::samples()) frames.push_back(FrameBuilder::build(s));
    return frames;
}

// Runs a capture of `path` to its end into a queue of `capacity`; the descriptors pushed.
std::vector<Kiln::Ptr<FlowTracking::PacketInfo>> runToEnd(Capture& capture,
                                                          const CaptureConfig& config,
                                                          std::size_t capacity = 64) {
    Kiln::Ptr<Loom::EventSpscQueue> queue(new Loom::EventSpscQueue(capacity));
    EXPECT_EQ(capture.run(config, *queue), Capture::RunResult::endOfInput) << capture.errorText();
    std::vector<Kiln::Ptr<FlowTracking::PacketInfo>> out;
    while (auto desc = queue->descPop()) {
        out.emplace_back(static_cast<FlowTracking::PacketInfo*>(desc.ptr()));
    }
    return out;
}

// What the end-to-end test's sums against tshark leave out: each packet's time, tracker, flow
// group and the attributes beyond its flow key.
TEST(CaptureTest, FillsEveryPacketInfo) {
    PcapFixture pcap(sampleFrames());
    auto capture = Capture::openFile(pcap.path);
    const auto infos =
        runToEnd(*capture, {.ftId = FlowTracking::FtId(3), .fgId = FlowTracking::TemplateId(7)});
    ASSERT_EQ(infos.size(), FrameBuilder::samples().size());
    for (std::size_t i = 0; i < infos.size(); ++i) {
        EXPECT_DOUBLE_EQ(infos[i]->pktRcvTime(), t0 + 0.25 * i);
        EXPECT_EQ(infos[i]->ftId(), FlowTracking::FtId(3));
        EXPECT_EQ(infos[i]->fgId(), FlowTracking::TemplateId(7));
    }
    EXPECT_EQ(infos[0]->tcpFlags().value(), 0x5002);
    EXPECT_TRUE(infos[0]->dontFrag());
    EXPECT_EQ(infos[6]->tosFlowLabel().trafficClass(), 0x20);
    EXPECT_EQ(infos[6]->tosFlowLabel().flowLabel(), 0x12345u);
    EXPECT_TRUE(infos[4]->fragmentedPkt() && infos[9]->fragmentedPkt());
    EXPECT_EQ(infos[11]->tunnelState(), FlowTracking::TunnelState::vxlanDecap);
    EXPECT_EQ(capture->counters().packetsDecoded.load(), infos.size());
}

// Ten frames, the last four undecodable: 1-in-N sampling counts from the first packet read,
// and a full queue drops and counts, never blocks.
TEST(CaptureTest, SamplesOneInNAndCountsDrops) {
    auto frames = sampleFrames();
    frames.resize(6);
    for (int i = 0; i < 3; ++i) frames.push_back(frames[0]);
    frames[6][12] = 0x08, frames[6][13] = 0x06;  // ARP
    frames[7].resize(40);
    frames[8][14] = 0x44;  // an IPv4 header length of 16 bytes
    frames.push_back(FrameBuilder::build({.vlans = {1, 2, 3, 4, 5}}));  // too many tags
    PcapFixture pcap(frames);
    const std::string undecodable =
        "undecodable 4 (packet shorter than its headers 1, malformed "
        "header 2, not an IP packet 1)";
    const struct {
        std::uint32_t rate;
        std::size_t capacity;
        std::string counters, ports;  // the destination ports pushed, in order
    } cases[] = {
        {1, 64, "read 10, sampled 10, decoded 6, dropped 0, " + undecodable, "80 53 80 2048 80 0"},
        {3, 64,
         "read 10, sampled 4, decoded 2, dropped 0, undecodable 2 (malformed header 1, "
         "not an IP packet 1)",
         "80 2048"},
        {1, 4, "read 10, sampled 10, decoded 6, dropped 2, " + undecodable, "80 53 80 2048"},
    };
    for (const auto& c : cases) {
        auto capture = Capture::openFile(pcap.path);
        const auto infos = runToEnd(*capture, CaptureConfig{.sampleRate = c.rate}, c.capacity);
        EXPECT_EQ(capture->counters().text(), c.counters);
        std::vector<std::uint16_t> ports;
        for (const auto& info : infos) ports.push_back(info->dstPort().value());
        EXPECT_EQ(fmt::format("{}", fmt::join(ports, " ")), c.ports) << c.rate << " " << c.capacity;
    }
}

TEST(CaptureTest, ReportsBadInput) {
    const auto frames = sampleFrames();
    PcapFixture raw({frames[0]}, DLT_RAW), pcap(frames);
    const auto refused = [](const char* text) {
        return ::testing::ThrowsMessage<Basalt::Exception>(::testing::HasSubstr(text));
    };
    EXPECT_THAT([&] { Capture::openFile(raw.path); }, refused("unknown link type"));
    EXPECT_THAT([&] { Capture::openFile(pcap.path, "udp and and"); },
                refused("bad filter expression \"udp and and\": "));
    EXPECT_THAT([&] { Capture::openFile(pcap.path + ".missing"); }, refused("cannot read pcap"));
    // A filter that compiles keeps what it matches: the IPv4 and IPv6 TCP frames.
    auto capture = Capture::openFile(pcap.path, "tcp and not vlan");
    EXPECT_EQ(runToEnd(*capture, CaptureConfig{}).size(), 2u);
}

// Asked to wait, a sampler facing a full queue holds on until the consumer makes room: the
// consumer here starts only once the sampler is waiting, and still receives every packet.
TEST(CaptureTest, WaitsForTheConsumerWhenAskedTo) {
    PcapFixture pcap(sampleFrames());
    auto capture = Capture::openFile(pcap.path);
    Kiln::Ptr<Loom::EventSpscQueue> queue(new Loom::EventSpscQueue(2));
    std::atomic<bool> done{false};
    std::thread sampler([&] {
        EXPECT_EQ(capture->run(CaptureConfig{.waitWhenFull = true}, *queue),
                  Capture::RunResult::endOfInput);
        done = true;
    });
    while (capture->counters().queueWaits.load() == 0) std::this_thread::yield();
    std::size_t popped = 0;
    for (bool last = false; !last;) {
        last = done.load();  // read before the pop: a pop after it sees every push
        while (queue->descPop()) ++popped;
        std::this_thread::yield();
    }
    sampler.join();
    EXPECT_EQ(popped, FrameBuilder::samples().size());
    EXPECT_EQ(capture->counters().queueDrops.load(), 0u);
}

}  // namespace
}  // namespace Flowtrack
