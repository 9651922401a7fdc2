// The exporter's output as tools we did not write read it: tshark decodes the IPFIX file field
// by field, nfcapd receives the same flows over UDP and nfdump lists them, and every JSON line
// parses with Python's json module.

#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "contracts/Basalt/Exception.h"
#include "tests/support/ShmRoot.h"
#include "tests/tools/flowtrack/Programs.h"
#include "tools/flowtrack/IpfixExporter.h"
#include "tools/flowtrack/JsonExporter.h"

namespace {

using FlowTracking::FlowEndReason;

struct Row {
    const char* src;
    const char* dst;
    int proto;
    std::uint16_t sport, dport;
    std::uint8_t tos;
    std::uint16_t tcpWord;  // data offset and flags, as the manager ORs them
    std::uint64_t bytes, pkts;
    double start, end;
    FlowEndReason reason;
    std::uint32_t in, out;
    std::uint16_t vlan;
    std::uint32_t label;
    std::uint32_t vni, vrf;
};

constexpr std::uint32_t noVni = Vxlan::VniExtOrNone::noneValue;

// IPv4 and IPv6, every end reason, with and without VLAN and VNI (0 and the largest
// included); times carry milliseconds.
const Row rows[] = {
    {"10.0.0.1", "10.0.0.2", 6, 40000, 80, 0, 0x5013, 1500, 10, 1765000000.125, 1765000001.5,
     FlowEndReason::endOfFlow, 1, 2, 10, 0, 5000, 42},
    {"192.0.2.1", "198.51.100.7", 17, 5353, 53, 0xb8, 0, 300, 3, 1765000002.0, 1765000003.25,
     FlowEndReason::idleTimeout, 3, 0, 0, 0, noVni, 0},
    {"2001:db8::1", "2001:db8::2", 6, 443, 50000, 0x28, 0x5018, 90000, 60, 1765000004.5,
     1765000034.5, FlowEndReason::activeTimeout, 4, 5, 100, 0xabcde, 0, 7},
    {"fe80::1", "ff02::fb", 17, 5353, 5353, 0, 0, 4200000000ull, 3000000, 1765000040.0,
     1765000041.999, FlowEndReason::forcedEnd, 6, 7, 4094, 1, noVni, 0},
    {"10.1.1.1", "10.2.2.2", 1, 0, 0x0800, 0, 0, 84, 1, 1765000050.0, 1765000050.0,
     FlowEndReason::lackOfResources, 8, 9, 0, 0, 0xFFFFFF, 0xFFFFFF},
};

Kiln::Ptr<FlowTracking::FlowInfo> flowOf(const Row& r) {
    auto address = [](const char* text) {
        const char* pos = text;
        return Wirekit::IpGenAddr(pos, text + std::strlen(text));
    };
    auto flow = FlowTracking::flowInfoFactory(
        FlowTracking::FtId(1), FlowTracking::TemplateId(1), Vrf::VrfIdMap::VrfId(r.vrf), {}, {},
        address(r.src), address(r.dst), Wirekit::IpProtocolNumber(r.proto), r.tos, r.sport, r.dport,
        Wirekit::TcpDataOffsetAndFlags(r.tcpWord), r.bytes, r.pkts, r.start, r.end, r.reason, r.in,
        r.out, 0, Bridging::VlanIdOrAnyOrNone(r.vlan), Bridging::VlanIdOrAnyOrNone(0));
    flow->flowLabelIs(r.label);
    flow->vniIs(Vxlan::VniExtOrNone(r.vni));
    return flow;
}

std::uint64_t ms(double t) { return static_cast<std::uint64_t>(std::llround(t * 1000)); }

class ExporterTest : public ::testing::Test {
  protected:
    // Pushes every row (`copies` times) through the queue to an exporter thread with `sinks`;
    // each flow is a message of its own when `oneByOne` (drained before the next is pushed).
    Flowtrack::Exporter& exportRows(std::vector<std::unique_ptr<Flowtrack::FlowSink>> sinks,
                                    bool oneByOne, int copies = 1) {
        auto queue = Kiln::Ptr<Loom::EventSpscQueue>(new Loom::EventSpscQueue(128));
        exporter_ = std::make_unique<Flowtrack::Exporter>(queue);
        for (auto& sink : sinks) exporter_->sinkIs(std::move(sink));
        if (!oneByOne) exporter_->start();
        for (int copy = 0; copy < copies; ++copy) {
            for (const Row& r : rows) {
                Kiln::Ptr<Loom::CrossThreadDesc> desc = flowOf(r);
                EXPECT_TRUE(queue->push(std::move(desc)));
                if (oneByOne) exporter_->drain();
            }
        }
        if (oneByOne) exporter_->close();
        exporter_->stop();
        return *exporter_;
    }

    TestSupport::ShmRoot shm_;  // a temporary directory
    const std::string dir_ = shm_.path();
    std::unique_ptr<Flowtrack::Exporter> exporter_;
};

std::string tsharkTime(double t) {
    const std::time_t s = static_cast<std::time_t>(t);
    char text[64];
    std::strftime(text, sizeof text, "%b %e, %Y %H:%M:%S", std::gmtime(&s));
    char frac[32];
    std::snprintf(frac, sizeof frac, ".%03llu000000 UTC",
                  static_cast<unsigned long long>(ms(t) % 1000));
    return text + std::string(frac);
}

TEST_F(ExporterTest, TsharkDecodesEveryFieldOfTheIpfixFileAndJsonLinesAgree) {
    const std::string ipfix = dir_ + "/flows.ipfix", json = dir_ + "/flows.json";
    std::vector<std::unique_ptr<Flowtrack::FlowSink>> sinks;
    sinks.push_back(Flowtrack::IpfixExporter::toFile(ipfix, {.observationDomainId = 7}));
    sinks.push_back(std::make_unique<Flowtrack::JsonExporter>(json));
    auto& exporter = exportRows(std::move(sinks), true);
    EXPECT_EQ(exporter.flowsExported(), std::size(rows));
    EXPECT_EQ(exporter.errors(), 0u) << exporter.lastError();

    // Each message is stamped with the latest flow end it carries, not the wall clock.
    std::string expectedTshark, expectedJson;
    for (const Row& r : rows) {
        const bool v6 = std::string(r.src).find(':') != std::string::npos;
        // The IPv4 and IPv6 address fields side by side; the family's other one is empty.
        const std::string src = v6 ? std::string(";") + r.src : r.src + std::string(";");
        const std::string dst = v6 ? std::string(";") + r.dst : r.dst + std::string(";");
        const std::uint64_t segment = r.vni == noVni ? 0 : std::uint64_t{1} << 56 | r.vni;
        expectedTshark +=
            fmt::format("{};7;{};{};{};{};{};{:#04x};{:#06x};{};{};{};{};{};{};{};{};{};{};{}\n",
                        static_cast<std::uint64_t>(r.end), src, dst, r.proto, r.sport, r.dport,
                        r.tos, r.tcpWord & 0xFFF, r.bytes, r.pkts, tsharkTime(r.start),
                        tsharkTime(r.end), static_cast<int>(r.reason), r.vlan, r.in, r.out, r.vrf,
                        segment, v6 ? std::to_string(r.label) : "");
        expectedJson += fmt::format(
            "source{0}Address={1} destination{0}Address={2} protocolIdentifier={3} "
            "sourceTransportPort={4} destinationTransportPort={5} ipClassOfService={6} "
            "tcpControlBits={7} octetDeltaCount={8} packetDeltaCount={9} "
            "flowStartMilliseconds={10} flowEndMilliseconds={11} flowEndReason={12} vlanId={13} "
            "ingressInterface={14} egressInterface={15} ingressVRFID={16}{17}{18}\n",
            v6 ? "IPv6" : "IPv4", r.src, r.dst, r.proto, r.sport, r.dport, r.tos, r.tcpWord & 0xFFF,
            r.bytes, r.pkts, ms(r.start), ms(r.end), static_cast<int>(r.reason), r.vlan, r.in,
            r.out, r.vrf, v6 ? " flowLabelIPv6=" + std::to_string(r.label) : "",
            r.vni == noVni ? "" : " vni=" + std::to_string(r.vni));
    }
    const std::string tshark = "TZ=UTC tshark -r " + ipfix + " -T fields -E separator=';' ";
    EXPECT_EQ(
        Programs::run("(" + tshark +
                      "-e cflow.exporttime -e cflow.od_id -e cflow.srcaddr -e cflow.srcaddrv6 "
                      "-e cflow.dstaddr -e cflow.dstaddrv6 -e cflow.protocol -e cflow.srcport "
                      "-e cflow.dstport -e cflow.tos -e cflow.tcpflags -e cflow.octets "
                      "-e cflow.packets -e cflow.abstimestart -e cflow.abstimeend "
                      "-e cflow.flow_end_reason -e cflow.vlanid -e cflow.inputint "
                      "-e cflow.outputint -e cflow.ingress_vrfid -e cflow.layer2_segment_id "
                      "-e cflow.ipv6flowlabel -Y cflow.octets 2>/dev/null)")
            .second,
        expectedTshark);
    const std::string issues =
        Programs::run("(" + tshark + "-e _ws.malformed -e _ws.expert.severity 2>/dev/null)").second;
    EXPECT_EQ(issues.find_first_not_of(";\n"), std::string::npos) << issues;

    // Each line is a JSON object with these names, in this order, and no others.
    std::ofstream(dir_ + "/check.py")
        << "import json, sys\nfor l in sys.stdin:\n"
           "  print(*[f'{k}={v}' for k, v in json.loads(l).items()])\n";
    EXPECT_EQ(Programs::run("python3 " + dir_ + "/check.py < " + json).second, expectedJson);
}

TEST_F(ExporterTest, NfcapdStartedLateReceivesEveryFlowOverUdpAndNfdumpListsTheSameCounts) {
    const std::uint16_t port = Programs::freeLoopbackPort();
    // The exporter sends its templates before nfcapd listens; only the refresh teaches them.
    auto sink = Flowtrack::IpfixExporter::toCollector("127.0.0.1:" + std::to_string(port),
                                                      {.templateRefreshMessages = 1});
    try {
        sink->write(Flowtrack::FlowFields::of(*flowOf(rows[0])));
        sink->flush();
    } catch (const Basalt::Exception&) {
        // Refused: nobody listens yet.
    }
    Programs::Nfcapd nfcapd(dir_ + "/nfcapd", port);
    ASSERT_TRUE(nfcapd.bound) << "nfcapd never bound";

    std::vector<std::unique_ptr<Flowtrack::FlowSink>> sinks;
    sinks.push_back(std::move(sink));
    // Enough flows for more than one datagram.
    const int copies = 12;
    ::testing::internal::CaptureStderr();
    auto& exporter = exportRows(std::move(sinks), false, copies);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");  // errors are counted, not printed
    EXPECT_EQ(exporter.flowsExported(), copies * std::size(rows));
    // The one error: the refusal of the message sent before nfcapd listened.
    EXPECT_EQ(exporter.errors(), 1u);
    EXPECT_EQ(exporter.lastError(), "IPFIX collector 127.0.0.1:" + std::to_string(port) +
                                        ": the collector refused an earlier message: "
                                        "Connection refused");
    ASSERT_EQ(nfcapd.stop(), 0);
    std::vector<std::string> expected;
    for (const Row& r : rows) {
        expected.insert(expected.end(), copies,
                        fmt::format("{} {} {} {}", r.src, r.dst, r.pkts, r.bytes));
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(nfcapd.flows(), expected);
}

TEST_F(ExporterTest, UnusableDestinationsAreRefusedWithTheReason) {
    const std::string missing = dir_ + "/no/such/dir/flows";
    const std::pair<std::function<void()>, std::string> cases[] = {
        {[&] { Flowtrack::IpfixExporter::toFile(missing); },
         "cannot open IPFIX file " + missing + ": No such file or directory"},
        {[&] { Flowtrack::JsonExporter json(missing); },
         "cannot open JSON file " + missing + ": No such file or directory"},
        {[] { Flowtrack::IpfixExporter::toCollector("no-such-host.invalid:4739"); },
         "cannot resolve IPFIX collector no-such-host.invalid:4739: "},
        {[] { Flowtrack::IpfixExporter::toCollector("::1:4739"); },
         "IPFIX collector ::1:4739: expected HOST:PORT or [ADDRESS]:PORT"},
    };
    for (const auto& [open, message] : cases) {
        EXPECT_THAT(open, ::testing::ThrowsMessage<Basalt::InvalidInitializeException>(
                              ::testing::StartsWith(message)));
    }
}

}  // namespace
