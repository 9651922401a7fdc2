// build/flowtrack as a program: on a pcap with known flows, the per-key packet and byte sums of
// the exported JSON lines equal tshark's sums from the pcap, and the IPFIX file (as tshark reads
// it) and nfdump's listing of what nfcapd collected hold the same records; a truncated pcap exits
// 1 with the flows read before exported; bad configurations exit 2; `flowtrack clear` reaches a
// running agent; live capture on lo counts what the test sends.

#include <fmt/ranges.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/ShmRoot.h"
#include "tests/tools/flowtrack/FrameBuilder.h"
#include "tests/tools/flowtrack/Programs.h"

namespace {

using Programs::run;
using ::testing::HasSubstr;

using Sums = std::map<std::string, std::pair<std::uint64_t, std::uint64_t>>;  // packets, bytes
constexpr double T0 = 1'800'000'000.0;

// tshark's per-key sums of the pcap at `path`, and its frame count. Each frame's key is "vlan
// vni src dst protocol sport dport" (vni "-" when there is none; ICMP: sport 0, dport type * 256
// + code; non-first fragments: ports 0), read without reassembling fragments and from the last
// occurrence of each field, so that VXLAN's inner packet is the flow; the VLAN is the outer tag
// (802.1ad's when there is one: tshark names 802.1Q tags vlan.id). Its bytes are the IP length.
Sums tsharkSums(const std::string& path, std::size_t* frames) {
    std::vector<std::string> fields;
    std::istringstream names(
        "ieee8021ad.id vlan.id vxlan.vni ip.src ip.dst ipv6.src ipv6.dst ip.proto ipv6.nxt "
        "ipv6.hopopts.nxt ipv6.routing.nxt ipv6.dstopts.nxt ipv6.fraghdr.nxt tcp.srcport "
        "tcp.dstport udp.srcport udp.dstport icmp.type icmp.code icmpv6.type icmpv6.code ip.len "
        "ipv6.plen");
    for (std::string name; names >> name;) fields.push_back(name);
    std::string command = "tshark -r " + path +
                          " -o ip.defragment:FALSE -o ipv6.defragment:FALSE -T fields"
                          " -E occurrence=l -E separator=,";
    for (const auto& f : fields) command += " -e " + f;
    Sums sums;
    *frames = 0;
    std::istringstream lines(run("(" + command + " 2>/dev/null)").second);
    for (std::string line; std::getline(lines, line); ++*frames) {
        std::map<std::string, std::string> v;
        std::istringstream in(line);
        for (const auto& f : fields) std::getline(in, v[f], ',');
        const auto n = [&](const char* f) { return v[f].empty() ? 0 : std::stoi(v[f]); };
        const bool v6 = !v["ipv6.src"].empty(), tcp = !v["tcp.srcport"].empty();
        const bool icmp = !v["icmp.type"].empty() || !v["icmpv6.type"].empty();
        std::string protocol;  // the last next-header field of the chain, ip.proto .. fraghdr.nxt
        for (std::size_t i = 7; i <= 12; ++i) {
            if (!v[fields[i]].empty()) protocol = v[fields[i]];
        }
        const int sport = tcp ? n("tcp.srcport") : icmp ? 0 : n("udp.srcport");
        const int dport = tcp                         ? n("tcp.dstport")
                          : !v["icmp.type"].empty()   ? n("icmp.type") * 256 + n("icmp.code")
                          : !v["icmpv6.type"].empty() ? n("icmpv6.type") * 256 + n("icmpv6.code")
                                                      : n("udp.dstport");
        auto& sum = sums[fmt::format(
            "{} {} {} {} {} {} {}", n("ieee8021ad.id") ? n("ieee8021ad.id") : n("vlan.id"),
            v["vxlan.vni"].empty() ? "-" : v["vxlan.vni"], v6 ? v["ipv6.src"] : v["ip.src"],
            v6 ? v["ipv6.dst"] : v["ip.dst"], protocol, sport, dport)];
        sum.first += 1, sum.second += v6 ? 40 + n("ipv6.plen") : n("ip.len");
    }
    return sums;
}

// A python reading of the JSON lines: one "vlan vni src dst proto sport dport packets bytes span
// vrf endReason" line per record (vni "-" for a flow without one).
const char* const reader = R"(
import json, sys
for l in sys.stdin:
  o = json.loads(l); f = 'IPv6' if 'sourceIPv6Address' in o else 'IPv4'
  print(o['vlanId'], o.get('vni', '-'), o['source%sAddress' % f], o['destination%sAddress' % f],
        o['protocolIdentifier'], o['sourceTransportPort'], o['destinationTransportPort'],
        o['packetDeltaCount'], o['octetDeltaCount'],
        (o['flowEndMilliseconds'] - o['flowStartMilliseconds']) / 1000, o['ingressVRFID'],
        o['flowEndReason'])
)";

struct Record {
    std::string word[7];  // the key: vlan vni src dst proto sport dport
    std::uint64_t packets, bytes;
    double span;
    std::string vrf;
    int endReason;
    std::string key() const { return fmt::format("{}", fmt::join(word, " ")); }
};

// The JSON file's records, as the reader prints them.
std::vector<Record> exported(const std::string& path) {
    ::setenv("READER", reader, 1);
    std::istringstream in(run("python3 -c \"$READER\" < " + path).second);
    std::vector<Record> out;
    for (Record r; in >> r.word[0] >> r.word[1] >> r.word[2] >> r.word[3] >> r.word[4] >>
                   r.word[5] >> r.word[6] >> r.packets >> r.bytes >> r.span >> r.vrf >>
                   r.endReason;) {
        out.push_back(r);
    }
    return out;
}

// The records' per-key sums.
Sums sums(const std::vector<Record>& records) {
    Sums sums;
    for (const Record& r : records) {
        sums[r.key()].first += r.packets, sums[r.key()].second += r.bytes;
    }
    return sums;
}

// Every kind of packet the decoder reads (IPv4 options, VLAN, QinQ, ICMP, fragments, IPv6
// extension headers, TCP FIN, VXLAN with a TCP RST inside), each three times, and a flow with a
// packet every 10 s for 300 s, longer than the 60 s active interval.
void writeSamples(const std::string& pcap) {
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

const std::string flowtrack = std::string(FLOWTRACK_PATH);

// One run with an INI file of two trackers, each exporting every flow, and a [vni] map: VNI
// 5000's flow takes VRF 42, an unmapped VNI is its own VRF. nfcapd, listening before the run,
// collects the same flows over UDP.
TEST(FlowtrackEndToEnd, ExportedSumsEqualTsharksAndTruncatedInputExportsWhatWasRead) {
    TestSupport::ShmRoot shm;
    const std::string dir = shm.path(), pcap = dir + "/flows.pcap", ini = dir + "/f.ini";
    writeSamples(pcap);
    std::size_t frames = 0;
    Sums expected = tsharkSums(pcap, &frames);
    ASSERT_EQ(frames, 13u * 3 + 31) << "tshark did not read the pcap";
    for (auto& [key, sum] : expected) sum.first *= 2, sum.second *= 2;
    std::ofstream(ini) << "; two trackers\n[tracker a]\nftId = 1\n\n[tracker b]\nftId = 2\n"
                          "activeInterval = 60  ; seconds\n[vni]\n5000 = 42\n";
    Programs::Nfcapd nfcapd(dir + "/nfcapd");
    ASSERT_TRUE(nfcapd.bound) << "nfcapd never bound";

    const std::string command = flowtrack + " run --config " + ini + " --pcap " + pcap;
    const auto [status, summary] =
        run(fmt::format("{} --ipfix {}/f.ipfix --json {}/f.json --collector 127.0.0.1:{}", command,
                        dir, dir, nfcapd.port()));
    EXPECT_EQ(status, 0) << summary;
    EXPECT_THAT(summary, HasSubstr(fmt::format("read {0}, sampled {0}, decoded {0}", frames)));
    EXPECT_THAT(summary, HasSubstr("export errors 0"));

    const auto json = exported(dir + "/f.json");
    EXPECT_EQ(sums(json), expected);
    // The IPFIX file (which tshark checks field by field in the exporter's test) has the same
    // records; nfdump lists the collected ones with the same counts.
    std::istringstream ipfix(run("(tshark -r " + dir + "/f.ipfix -T fields -e cflow.packets " +
                                 "-E aggregator=' ' 2>/dev/null)")
                                 .second);
    std::size_t records = 0, packets = 0;
    for (std::size_t n; ipfix >> n; ++records) packets += n;
    EXPECT_EQ(records, json.size());
    EXPECT_EQ(packets, 2 * frames);
    // The long flow ends at each active scan it spans and at the end of capture.
    EXPECT_GE(std::count_if(json.begin(), json.end(),
                            [](const Record& r) { return r.word[2] == "10.9.0.1"; }),
              6);
    using Vrfs = std::map<std::string, std::set<std::string>>;
    Vrfs vrfsByVni;
    std::vector<std::string> counts;
    double maxSpan = 0;
    for (const Record& r : json) {
        maxSpan = std::max(maxSpan, r.span);
        vrfsByVni[r.word[1]].insert(r.vrf);
        counts.push_back(fmt::format("{} {} {} {}", r.word[2], r.word[3], r.packets, r.bytes));
    }
    EXPECT_GT(maxSpan, 0.0);
    EXPECT_LE(maxSpan, 60.0 + 60.0);  // the active interval plus one scan period
    EXPECT_EQ(vrfsByVni, (Vrfs{{"-", {"0"}}, {"5000", {"42"}}, {"70000", {"70000"}}}));
    ASSERT_EQ(nfcapd.stop(), 0);
    std::sort(counts.begin(), counts.end());
    EXPECT_EQ(nfcapd.flows(), counts);

    // A pcap cut inside its last packet: exit 1, the packets before it exported.
    std::filesystem::resize_file(pcap, std::filesystem::file_size(pcap) - 10);
    const auto [cutStatus, cutSummary] = run(command + " --json " + dir + "/cut.json");
    EXPECT_EQ(cutStatus, 1) << cutSummary;
    EXPECT_THAT(cutSummary, HasSubstr("read errors 1"));
    EXPECT_THAT(cutSummary, HasSubstr("the flows read before were exported"));
    Sums less = expected;
    less["0 - 10.9.0.1 10.9.0.2 17 40000 80"].first -= 2;
    less["0 - 10.9.0.1 10.9.0.2 17 40000 80"].second -= 2 * 128;
    EXPECT_EQ(sums(exported(dir + "/cut.json")), less);
}

// A bad --config file (or flag) exits 2 before anything runs, naming the line at fault.
TEST(FlowtrackEndToEnd, ConfigErrorsNameTheLine) {
    TestSupport::ShmRoot shm;
    const std::string dir = shm.path(), pcap = dir + "/none.pcap";  // never read
    const struct {
        const char* ini;  // nullptr: no file
        const char* message;
    } bad[] = {
        {"[tracker a]\nftId = 1\n[tracker a]\nftId = 2\n", ":3: tracker 'a' is named twice"},
        {"[tracker a]\nftId = 1\n[tracker b]\nftId = 1\n",
         ":4: trackers 'a' and 'b' have the same FtId 1"},
        {"[tracker a]\n\nftId = x\n", ":3: ftId needs a positive number, not 'x'"},
        {"[tracker a]\nftId = 1\nidle = 5\n", ":3: unknown key 'idle'"},
        {"[tracker a]\nftId = 1\n[trackers]\nftId = 2\n", ":3: unknown section [trackers]"},
        {"ftId = 1\n", ":1: 'ftId' outside a section"},
        {"[tracker a]\nftId 1\n", ":2: expected [SECTION] or KEY = VALUE"},
        {"[tracker a]\n[tracker b]\nftId = 2\n", ":1: a section without keys"},
        {"[tracker a]\nactiveInterval = 5\n", ":1: tracker 'a' has no ftId"},
        {nullptr, ": No such file or directory"},
    };
    const std::string command = flowtrack + " run --pcap " + pcap + " --json " + dir + "/x.json";
    for (const auto& c : bad) {
        const std::string path = dir + (c.ini ? "/bad.ini" : "/missing.ini");
        if (c.ini) std::ofstream(path) << c.ini;
        const auto [status, message] = run(command + " --config " + path);
        EXPECT_EQ(status, 2) << c.message;
        EXPECT_THAT(message, HasSubstr(path + c.message));
    }
    // The flags' errors too: a tracker named twice, a bad number.
    EXPECT_EQ(run(command + " --tracker a:1 --tracker a:2").first, 2);
    EXPECT_EQ(run(command + " --sample x").first, 2);
    EXPECT_FALSE(std::filesystem::exists(dir + "/x.json")) << "a run despite the errors";
}

// A child process's body: the agent with `args`, its output in `log`.
std::function<bool()> agent(const std::string& args, const std::string& log) {
    return [command = "exec " + flowtrack + " " + args + " >" + log + " 2>&1"] {
        ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        return false;
    };
}

// The agent's flow-group counters as hoardctl lists them, and their packets summed (-1 when
// there is no counter table).
std::pair<long, std::string> counters() {
    const auto [status, text] =
        run(std::string(HOARDCTL_PATH) +
            " list flowtrack/Shmem/flowtracking/ip/counters/flowGroupCounter");
    long packets = status == 0 ? 0 : -1;
    for (std::size_t at = 0; status == 0 && (at = text.find("'packets': ", at)) != text.npos;) {
        packets += std::stol(text.substr(at += 11));
    }
    return {packets, text};
}

// `flowtrack clear` reaches the running agent (and only it): the tracker's counters go to zero,
// an unknown tracker is refused; SIGTERM ends the agent with the open flows as forced ends.
TEST(FlowtrackEndToEnd, ClearReachesTheRunningAgentAndSigtermExportsTheOpenFlows) {
    TestSupport::ShmRoot shm;
    // Replayed in real time, the samples' first round takes 0.12 s and the second starts 20 s
    // later: the agent runs, idle, while the test talks to it.
    const std::string dir = shm.path(), pcap = dir + "/flows.pcap";
    writeSamples(pcap);
    const auto [noAgent, noAgentText] = run(flowtrack + " clear t1");
    EXPECT_EQ(noAgent, 1);
    EXPECT_THAT(noAgentText, HasSubstr("no flowtrack agent with --type ip runs on " + dir));

    TestSupport::Child child(
        agent("run --realtime --tracker t1:1 --pcap " + pcap + " --json " + dir + "/f.json",
              dir + "/log"));
    ASSERT_TRUE(Programs::eventually([] { return counters().first == 13; })) << counters().second;
    const auto [cleared, clearedText] = run(flowtrack + " clear t1");
    EXPECT_EQ(cleared, 0);
    EXPECT_EQ(clearedText, "cleared the counters of tracker t1\n");
    // What is left is the tracker's clear-time entry, flow group 65535.
    EXPECT_TRUE(Programs::eventually([] { return counters().first == 0; })) << counters().second;
    EXPECT_THAT(counters().second, HasSubstr("'fgId': 65535"));
    const auto [unknown, unknownText] = run(flowtrack + " clear t2");
    EXPECT_EQ(unknown, 1);
    EXPECT_THAT(unknownText, HasSubstr("no tracker 't2'"));

    ::kill(child.pid(), SIGTERM);
    EXPECT_EQ(child.wait(10), 0) << run("cat " + dir + "/log").second;
    std::map<int, int> reasons;  // records by end reason
    for (const Record& r : exported(dir + "/f.json")) ++reasons[r.endReason];
    EXPECT_EQ(reasons, (std::map<int, int>{{4, 12}}));  // forced ends only
}

// Live capture on lo: the agent counts the datagrams the test sends it and exports their flow
// at SIGINT. Without the privilege, flowtrack says what it needs.
TEST(FlowtrackEndToEnd, LiveCaptureOnLoopbackExportsTheFlowAtSigint) {
    TestSupport::ShmRoot shm;
    const std::string dir = shm.path();
    const std::uint16_t port = Programs::freeLoopbackPort();
    const std::string args = fmt::format(
        "run --interface lo --json {}/f.json udp port {} and host 127.0.0.1", dir, port);
    if (::geteuid() != 0) {
        const auto [status, text] = run(flowtrack + " " + args);
        EXPECT_EQ(status, 1);
        EXPECT_THAT(text, HasSubstr("needs root or CAP_NET_RAW"));
        GTEST_SKIP() << "live capture on lo needs root";
    }
    TestSupport::Child child(agent(args, dir + "/log"));
    // The counter table appears once the capture is open (the manager starts after it).
    ASSERT_TRUE(Programs::eventually([] { return counters().first == 0; })) << counters().second;
    const int sender = ::socket(AF_INET, SOCK_DGRAM, 0);
    const sockaddr_in to = Programs::loopback(port);
    const int k = 7;
    for (int i = 0; i < k; ++i)
        ::sendto(sender, "x", 1, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    ::close(sender);
    EXPECT_TRUE(Programs::eventually([] { return counters().first == k; })) << counters().second;
    ::kill(child.pid(), SIGINT);
    EXPECT_EQ(child.wait(10), 0) << run("cat " + dir + "/log").second;
    const auto json = exported(dir + "/f.json");
    ASSERT_EQ(json.size(), 1u);
    EXPECT_EQ(json[0].packets, static_cast<std::uint64_t>(k));
    EXPECT_EQ(json[0].key(),
              fmt::format("0 - 127.0.0.1 127.0.0.1 17 {} {}", json[0].word[5], port));
}

}  // namespace
