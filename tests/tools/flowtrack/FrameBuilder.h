#pragma once

// Builds Ethernet frames with known flows (FrameBuilder::build(Packet)) and writes them to pcap
// files (PcapFile::write), for tests. Addresses are text: a ':' makes the packet IPv6. Every
// length field is filled in, the IPv4 header checksum is right, the transport checksums are zero.

#include <arpa/inet.h>
#include <pcap/pcap.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace FrameBuilder {

using Bytes = std::vector<std::uint8_t>;

struct Packet {
    std::string src = "10.0.0.1";
    std::string dst = "10.0.0.2";
    std::uint8_t proto = 6;  // TCP; 17 UDP, 1 ICMP, 58 ICMPv6, anything else: payload only
    // TCP and UDP ports. ICMP and ICMPv6 take their type and code from dport (type * 256 +
    // code), the way the decoder reports them.
    std::uint16_t sport = 40000;
    std::uint16_t dport = 80;
    std::uint8_t tcpFlags = 0x10;  // ACK; FIN 0x01, SYN 0x02, RST 0x04, PSH 0x08
    std::size_t payload = 0;       // zero bytes after the transport header
    std::uint8_t tos = 0;          // IPv4 TOS or IPv6 traffic class
    std::uint32_t flowLabel = 0;   // IPv6
    std::size_t ipOptions = 0;     // IPv4 option bytes (NOPs), a multiple of 4
    // Fragments: the offset counts 8-byte units. A packet at a non-zero offset has no transport
    // header (its payload bytes stand for the rest of the datagram). IPv6 fragments get a
    // fragment header.
    std::uint16_t fragOffset = 0;
    bool moreFragments = false;
    bool dontFragment = false;
    // IPv6 extension headers (0 hop-by-hop, 43 routing, 60 destination options), in order,
    // each 8 bytes, before any fragment header.
    std::vector<std::uint8_t> v6Extensions{};
    std::vector<std::uint16_t> vlans{};  // 802.1Q tags, outermost first (QinQ outer is 0x88A8)
    std::array<std::uint8_t, 6> srcMac{0x02, 0, 0, 0, 0, 0x01};
    std::array<std::uint8_t, 6> dstMac{0x02, 0, 0, 0, 0, 0x02};
    // Set: the frame above travels as the payload of VXLAN (UDP 4789) between the outer
    // addresses; the VLAN tags go on the outer frame.
    std::optional<std::uint32_t> vni{};
    std::string outerSrc = "192.0.2.1";
    std::string outerDst = "192.0.2.2";
};

namespace detail {

inline void put16(Bytes& b, std::uint16_t v) {
    b.insert(b.end(), {std::uint8_t(v >> 8), std::uint8_t(v)});
}
inline void put32(Bytes& b, std::uint32_t v) {
    put16(b, std::uint16_t(v >> 16)), put16(b, std::uint16_t(v));
}
inline void append(Bytes& b, const Bytes& tail) { b.insert(b.end(), tail.begin(), tail.end()); }

inline Bytes address(const std::string& text) {
    const bool v6 = text.find(':') != std::string::npos;
    Bytes a(v6 ? 16 : 4);
    if (inet_pton(v6 ? AF_INET6 : AF_INET, text.c_str(), a.data()) != 1) {
        throw std::invalid_argument("not an address: " + text);
    }
    return a;
}

inline Bytes transport(const Packet& p) {
    Bytes t;
    if (p.fragOffset == 0) {
        if (p.proto == 6) {
            put16(t, p.sport), put16(t, p.dport), put32(t, 1), put32(t, 0);
            put16(t, static_cast<std::uint16_t>(0x5000 | p.tcpFlags)), put16(t, 65535), put32(t, 0);
        } else if (p.proto == 17) {
            put16(t, p.sport), put16(t, p.dport);
            put16(t, static_cast<std::uint16_t>(8 + p.payload)), put16(t, 0);
        } else if (p.proto == 1 || p.proto == 58) {
            put16(t, p.dport), put16(t, 0), put32(t, 0);
        }
    }
    t.resize(t.size() + p.payload);
    return t;
}

inline Bytes ipv4(const Packet& p, const Bytes& payload) {
    Bytes h;
    const std::size_t headerLength = 20 + p.ipOptions;
    h.push_back(static_cast<std::uint8_t>(0x40 | headerLength / 4));
    h.push_back(p.tos);
    put16(h, static_cast<std::uint16_t>(headerLength + payload.size()));
    put16(h, 0x1234);
    put16(h, static_cast<std::uint16_t>((p.dontFragment ? 0x4000 : 0) |
                                        (p.moreFragments ? 0x2000 : 0) | p.fragOffset));
    h.push_back(64), h.push_back(p.proto), put16(h, 0);
    append(h, address(p.src)), append(h, address(p.dst));
    h.resize(headerLength, 1);  // NOP options
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < headerLength; i += 2) sum += (h[i] << 8) | h[i + 1];
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    h[10] = static_cast<std::uint8_t>(~sum >> 8), h[11] = static_cast<std::uint8_t>(~sum);
    append(h, payload);
    return h;
}

inline Bytes ipv6(const Packet& p, const Bytes& payload) {
    Bytes ext;
    std::vector<std::uint8_t> chain = p.v6Extensions;
    if (p.fragOffset != 0 || p.moreFragments) chain.push_back(44);
    for (std::size_t i = 0; i < chain.size(); ++i) {
        ext.push_back(i + 1 < chain.size() ? chain[i + 1] : p.proto);
        if (chain[i] == 44) {
            ext.push_back(0);
            put16(ext, static_cast<std::uint16_t>(p.fragOffset << 3 | (p.moreFragments ? 1 : 0)));
            put32(ext, 0xABCD);
        } else if (chain[i] == 43) {
            ext.push_back(0), ext.push_back(253), ext.push_back(0), put32(ext, 0);  // experimental
        } else {
            ext.push_back(0), put16(ext, 0x0104), put32(ext, 0);  // PadN to 8 bytes
        }
    }
    Bytes h;
    put32(h, 0x60000000u | std::uint32_t{p.tos} << 20 | (p.flowLabel & 0xFFFFF));
    put16(h, static_cast<std::uint16_t>(ext.size() + payload.size()));
    h.push_back(chain.empty() ? p.proto : chain[0]), h.push_back(64);
    append(h, address(p.src)), append(h, address(p.dst));
    append(h, ext), append(h, payload);
    return h;
}

inline Bytes ethernet(const Packet& p, const std::vector<std::uint16_t>& vlans, bool v6,
                      const Bytes& ip) {
    Bytes f(p.dstMac.begin(), p.dstMac.end());
    f.insert(f.end(), p.srcMac.begin(), p.srcMac.end());
    for (std::size_t i = 0; i < vlans.size(); ++i) {
        put16(f, i == 0 && vlans.size() > 1 ? 0x88A8 : 0x8100), put16(f, vlans[i]);
    }
    put16(f, v6 ? 0x86DD : 0x0800);
    append(f, ip);
    return f;
}

}  // namespace detail

// The frame of `p`, Ethernet header first.
inline Bytes build(const Packet& p) {
    const bool v6 = p.src.find(':') != std::string::npos;
    const Bytes transport = detail::transport(p);
    const Bytes ip = v6 ? detail::ipv6(p, transport) : detail::ipv4(p, transport);
    if (!p.vni) return detail::ethernet(p, p.vlans, v6, ip);
    Bytes tunnel;
    detail::put16(tunnel, 49152), detail::put16(tunnel, 4789);
    const Bytes inner = detail::ethernet(p, {}, v6, ip);
    detail::put16(tunnel, static_cast<std::uint16_t>(16 + inner.size())), detail::put16(tunnel, 0);
    detail::put32(tunnel, 0x08000000), detail::put32(tunnel, *p.vni << 8);
    detail::append(tunnel, inner);
    Packet outer = p;
    outer.src = p.outerSrc, outer.dst = p.outerDst, outer.proto = 17;
    outer.tos = 0, outer.ipOptions = 0, outer.fragOffset = 0, outer.moreFragments = false;
    return detail::ethernet(p, p.vlans, false, detail::ipv4(outer, tunnel));
}

// One packet of every kind the decoder reads: TCP with IPv4 options, VLAN, QinQ, ICMP, IPv4
// and IPv6 fragments (first and not), IPv6 extension headers, ICMPv6, VXLAN with an inner IPv4
// TCP RST and an inner IPv6 UDP packet.
inline std::vector<Packet> samples() {
    std::vector<Packet> v(13);
    v[0].tcpFlags = 0x02, v[0].ipOptions = 4, v[0].tos = 0x10, v[0].dontFragment = true;
    v[0].payload = 10;
    v[1].proto = 17, v[1].dport = 53, v[1].payload = 5, v[1].vlans = {100};
    v[2].proto = 17, v[2].vlans = {200, 300};
    v[3].proto = 1, v[3].dport = 0x0800;  // echo request
    v[4].proto = 17, v[4].moreFragments = true, v[4].payload = 100;
    v[5].proto = 17, v[5].fragOffset = 16, v[5].payload = 50;
    for (std::size_t i = 6; i < 11; ++i) v[i].src = "2001:db8::1", v[i].dst = "2001:db8::2";
    v[6].tcpFlags = 0x11, v[6].tos = 0x20, v[6].flowLabel = 0x12345;  // FIN ACK
    v[7].proto = 17, v[7].payload = 3, v[7].v6Extensions = {0, 43, 60};
    v[8].proto = 17, v[8].moreFragments = true, v[8].payload = 16;
    v[9].proto = 17, v[9].fragOffset = 100, v[9].payload = 20;
    v[10].proto = 58, v[10].dport = 0x8000;  // echo request
    v[11].src = "10.1.0.1", v[11].dst = "10.1.0.2", v[11].tcpFlags = 0x04, v[11].vni = 5000;
    v[11].vlans = {10};
    v[12].src = "fd00::1", v[12].dst = "fd00::2", v[12].proto = 17, v[12].vni = 70000;
    return v;
}

// A pcap file being written (microsecond timestamps); closed by the destructor.
class PcapFile {
  public:
    explicit PcapFile(const std::string& path, int linkType = DLT_EN10MB)
        : dead_(pcap_open_dead(linkType, 262144)), dumper_(pcap_dump_open(dead_, path.c_str())) {
        if (dumper_ == nullptr) {
            pcap_close(dead_);
            throw std::runtime_error("cannot write " + path);
        }
    }
    PcapFile(const PcapFile&) = delete;
    PcapFile& operator=(const PcapFile&) = delete;
    ~PcapFile() {
        pcap_dump_close(dumper_);
        pcap_close(dead_);
    }

    // One packet at `time` (seconds since the epoch); `wireLength` 0 means the frame's size.
    void write(const Bytes& frame, double time, std::uint32_t wireLength = 0) {
        pcap_pkthdr header{};
        const long long micros = std::llround(time * 1e6);
        header.ts.tv_sec = static_cast<time_t>(micros / 1000000);
        header.ts.tv_usec = static_cast<suseconds_t>(micros % 1000000);
        header.caplen = static_cast<bpf_u_int32>(frame.size());
        header.len = wireLength != 0 ? wireLength : header.caplen;
        pcap_dump(reinterpret_cast<u_char*>(dumper_), &header, frame.data());
    }

  private:
    pcap_t* dead_;
    pcap_dumper_t* dumper_;
};

}  // namespace FrameBuilder
