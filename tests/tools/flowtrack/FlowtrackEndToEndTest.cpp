// build/flowtrack on a pcap with known flows, checked against tshark: the per-key packet and
// byte sums of the exported flows (JSON lines, and the IPFIX file as tshark decodes it) equal
// tshark's sums from the pcap; a truncated pcap exits 1 with the flows read before exported.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <utility>

#include "tests/support/ShmRoot.h"
#include "tests/tools/flowtrack/FrameBuilder.h"
#include "tests/tools/flowtrack/Tshark.h"

namespace {

using Sums = std::map<std::string, std::pair<std::uint64_t, std::uint64_t>>;  // packets, bytes
constexpr double T0 = 1'800'000'000.0;

// Runs `command`; returns its exit status and what it printed (stdout and stderr).
std::pair<int, std::string> run(const std::string& command) {
    std::string text;
    FILE* p = ::popen((command + " 2>&1").c_str(), "r");
    char buf[4096];
    for (std::size_t n; p && (n = std::fread(buf, 1, sizeof buf, p)) > 0;) text.append(buf, n);
    const int status = p ? ::pclose(p) : -1;
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, text};
}

// tshark's per-key sums; the VNI is left out of the key (the exported records do not carry it;
// the VXLAN flows' inner addresses are unique here).
Sums tsharkSums(const std::string& pcap, std::size_t* frames) {
    Sums sums;
    const auto all = Tshark::frames(pcap);
    *frames = all.size();
    for (const auto& f : all) {
        std::string key = f.key;
        const auto a = key.find(' '), b = key.find(' ', a + 1);
        key.replace(a + 1, b - a - 1, "-");
        sums[key].first += 1;
        sums[key].second += f.ipLength;
    }
    return sums;
}

// A python reading of the JSON lines or, through `tshark -T json`, of the IPFIX file: one
// "vlan - src dst proto sport dport packets bytes span" line per record.
const char* const reader = R"(
import json, sys
def out(v, s, d, p, sp, dp, n, b, span): print(v, '-', s, d, p, sp, dp, n, b, span)
if sys.argv[1] == 'json':
  for l in open(sys.argv[2]):
    o = json.loads(l); f = 'IPv6' if 'sourceIPv6Address' in o else 'IPv4'
    out(o['vlanId'], o['source%sAddress' % f], o['destination%sAddress' % f],
        o['protocolIdentifier'], o['sourceTransportPort'], o['destinationTransportPort'],
        o['packetDeltaCount'], o['octetDeltaCount'],
        (o['flowEndMilliseconds'] - o['flowStartMilliseconds']) / 1000)
else:
  def walk(x):
    if isinstance(x, dict):
      if 'cflow.packets' in x:
        g = lambda k: x.get(k, x.get(k + 'v6'))
        out(x.get('cflow.vlanid', 0), g('cflow.srcaddr'), g('cflow.dstaddr'), x['cflow.protocol'],
            x['cflow.srcport'], x['cflow.dstport'], x['cflow.packets'], x['cflow.octets'], 0)
      for v in x.values(): walk(v)
    elif isinstance(x, list):
      for v in x: walk(v)
  walk(json.load(sys.stdin))
)";

// The records' per-key sums; the longest span of a record.
Sums exportedSums(const std::string& lines, double* maxSpan = nullptr) {
    Sums sums;
    std::istringstream in(lines);
    std::string vlan, vni, src, dst, proto, sport, dport;
    std::uint64_t packets, bytes;
    double span;
    while (in >> vlan >> vni >> src >> dst >> proto >> sport >> dport >> packets >> bytes >> span) {
        auto& s =
            sums[fmt::format("{} {} {} {} {} {} {}", vlan, vni, src, dst, proto, sport, dport)];
        s.first += packets, s.second += bytes;
        if (maxSpan) *maxSpan = std::max(*maxSpan, span);
    }
    return sums;
}

TEST(FlowtrackEndToEnd, ExportedSumsEqualTsharksAndTruncatedInputExportsWhatWasRead) {
    TestSupport::ShmRoot shm;
    const std::string dir = shm.path() + "/e2e", pcap = dir + "/flows.pcap";
    std::filesystem::create_directories(dir);
    {
        // Every kind of packet the decoder reads (IPv4 options, VLAN, QinQ, ICMP, fragments,
        // IPv6 extension headers, TCP FIN, VXLAN with a TCP RST inside), each three times, and a
        // flow with a packet every 10 s for 300 s, longer than the 60 s active interval.
        FrameBuilder::PcapFile file(pcap);
        const auto samples = FrameBuilder::samples();
        for (int round = 0; round < 3; ++round) {
            for (std::size_t i = 0; i < samples.size(); ++i) {
                file.write(FrameBuilder::build(samples[i]), T0 + round * 20 + i * 0.01);
            }
        }
        FrameBuilder::Packet longFlow{.src = "10.9.0.1", .dst = "10.9.0.2", .proto = 17};
        longFlow.payload = 100;
        for (int i = 0; i <= 30; ++i) file.write(FrameBuilder::build(longFlow), T0 + 70 + i * 10);
    }
    std::size_t frames = 0;
    const Sums expected = tsharkSums(pcap, &frames);
    ASSERT_EQ(frames, 13u * 3 + 31) << "tshark did not read the pcap";

    const std::string flowtrack = std::string(FLOWTRACK_PATH) + " run --tracker t1:1:60:15";
    const auto [status, summary] = run(flowtrack + " --pcap " + pcap + " --ipfix " + dir +
                                       "/f.ipfix --json " + dir + "/f.json");
    EXPECT_EQ(status, 0) << summary;
    EXPECT_NE(summary.find(fmt::format("read {}, sampled {}, decoded {}", frames, frames, frames)),
              std::string::npos)
        << summary;
    EXPECT_NE(summary.find("export errors 0"), std::string::npos) << summary;

    const std::string python = "python3 -c \"$READER\" ";
    ::setenv("READER", reader, 1);
    double maxSpan = 0;
    const Sums json = exportedSums(run(python + "json " + dir + "/f.json").second, &maxSpan);
    EXPECT_EQ(json, expected);
    EXPECT_GT(maxSpan, 0.0);
    EXPECT_LE(maxSpan, 60.0 + 60.0);  // the active interval plus one scan period
    const auto ipfix =
        run("tshark -r " + dir + "/f.ipfix -T json 2>/dev/null | " + python + "ipfix").second;
    EXPECT_EQ(exportedSums(ipfix), expected) << ipfix;
    // The long flow ends at each active scan it spans and at the end of capture.
    std::size_t longRecords = 0;
    for (std::size_t at = 0; (at = ipfix.find("10.9.0.1", at)) != std::string::npos; ++at) {
        ++longRecords;
    }
    EXPECT_GE(longRecords, 3u) << ipfix;

    // A pcap cut inside its last packet: exit 1, the packets before it exported.
    const auto size = std::filesystem::file_size(pcap);
    std::filesystem::resize_file(pcap, size - 10);
    const auto [cutStatus, cutSummary] =
        run(flowtrack + " --pcap " + pcap + " --json " + dir + "/cut.json");
    EXPECT_EQ(cutStatus, 1) << cutSummary;
    EXPECT_NE(cutSummary.find("the flows read before were exported"), std::string::npos)
        << cutSummary;
    Sums cut = exportedSums(run(python + "json " + dir + "/cut.json").second);
    Sums less = expected;
    less["0 - 10.9.0.1 10.9.0.2 17 40000 80"].first -= 1;
    less["0 - 10.9.0.1 10.9.0.2 17 40000 80"].second -= 128;
    EXPECT_EQ(cut, less);

    // Usage errors are refused before anything runs.
    EXPECT_EQ(run(flowtrack + " --tracker t1:2 --pcap " + pcap).first, 2);
    EXPECT_EQ(run(flowtrack + " --pcap " + pcap + " --sample x").first, 2);
}

}  // namespace
