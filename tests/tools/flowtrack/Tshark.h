#pragma once

// tshark's reading of a pcap, frame by frame, to check flowtrack's decoding and counts against
// a decoder nobody here wrote. Runs `tshark` through popen (its own process, waited for).

#include <fmt/format.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace Tshark {

// One frame as tshark decodes it: its flow key, "vlan vni src dst protocol sport dport" (vni
// "-" when there is none; ICMP: sport 0, dport type * 256 + code; non-first fragments: ports
// 0), and the IP length that flow's byte count adds up.
struct Frame {
    std::string key;
    std::uint64_t ipLength = 0;
};

// Every frame of the pcap at `path`, in order, without reassembling fragments; from the last
// occurrence of each field, so that VXLAN's inner packet is the flow; the VLAN is the outer tag
// (802.1ad's when there is one: tshark names 802.1Q tags vlan.id). Empty when tshark cannot run.
inline std::vector<Frame> frames(const std::string& path) {
    static const std::vector<std::string> fields = {
        "ieee8021ad.id",    "vlan.id",          "vxlan.vni",        "ip.src",
        "ip.dst",           "ipv6.src",         "ipv6.dst",         "ip.proto",
        "ipv6.nxt",         "ipv6.hopopts.nxt", "ipv6.routing.nxt", "ipv6.dstopts.nxt",
        "ipv6.fraghdr.nxt", "tcp.srcport",      "tcp.dstport",      "udp.srcport",
        "udp.dstport",      "icmp.type",        "icmp.code",        "icmpv6.type",
        "icmpv6.code",      "ip.len",           "ipv6.plen"};
    std::string command = "tshark -r " + path +
                          " -o ip.defragment:FALSE -o ipv6.defragment:FALSE -T fields"
                          " -E occurrence=l -E separator=, 2>/dev/null";
    for (const auto& f : fields) command.insert(command.find(" 2>"), " -e " + f);
    std::vector<Frame> flows;
    FILE* pipe = ::popen(command.c_str(), "r");
    char line[4096];
    while (pipe != nullptr && std::fgets(line, sizeof line, pipe) != nullptr) {
        std::map<std::string, std::string> v;
        std::istringstream in(line);
        for (std::size_t i = 0; i < fields.size(); ++i) std::getline(in, v[fields[i]], ',');
        for (auto& [name, value] : v) {
            if (!value.empty() && value.back() == '\n') value.pop_back();
        }
        const auto n = [&](const char* f) { return v[f].empty() ? 0 : std::stoi(v[f]); };
        const bool v6 = !v["ipv6.src"].empty(), tcp = !v["tcp.srcport"].empty();
        const bool icmp = !v["icmp.type"].empty() || !v["icmpv6.type"].empty();
        std::string protocol;  // the last next-header field of the chain, ip.proto .. fraghdr.nxt
        for (std::size_t i = 7; i <= 12; ++i) {
            if (!v[fields[i]].empty()) protocol = v[fields[i]];
        }
        const int dport = tcp                         ? n("tcp.dstport")
                          : !v["icmp.type"].empty()   ? n("icmp.type") * 256 + n("icmp.code")
                          : !v["icmpv6.type"].empty() ? n("icmpv6.type") * 256 + n("icmpv6.code")
                                                      : n("udp.dstport");
        flows.push_back(Frame{fmt::format("{} {} {} {} {} {} {}",
                                          n("ieee8021ad.id") ? n("ieee8021ad.id") : n("vlan.id"),
                                          v["vxlan.vni"].empty() ? "-" : v["vxlan.vni"],
                                          v6 ? v["ipv6.src"] : v["ip.src"],
                                          v6 ? v["ipv6.dst"] : v["ip.dst"], protocol,
                                          tcp    ? n("tcp.srcport")
                                          : icmp ? 0
                                                 : n("udp.srcport"),
                                          dport),
                              static_cast<std::uint64_t>(v6 ? 40 + n("ipv6.plen") : n("ip.len"))});
    }
    if (pipe != nullptr) ::pclose(pipe);
    return flows;
}

}  // namespace Tshark
