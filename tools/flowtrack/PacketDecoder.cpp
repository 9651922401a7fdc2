#include "tools/flowtrack/PacketDecoder.h"

#include <fmt/format.h>
#include <fmt/ostream.h>

#include <array>

namespace Flowtrack {

namespace {

constexpr std::uint16_t etherTypeIpv4 = 0x0800;
constexpr std::uint16_t etherTypeIpv6 = 0x86DD;
constexpr std::uint16_t etherTypeVlan = 0x8100;
constexpr std::uint16_t etherTypeQinQ = 0x88A8;
constexpr std::uint16_t etherTypeQinQOld = 0x9100;
// Bounds on the walks through headers that a packet may repeat: a frame with more is refused
// as malformed, so no input can keep the decoder looping.
constexpr int maxVlanTags = 4;
constexpr int maxIpv6ExtensionHeaders = 8;

// The captured bytes; every accessor's caller has checked has() for the range it reads.
struct Bytes {
    const std::uint8_t* data;
    std::size_t size;

    bool has(std::size_t offset, std::size_t length) const {
        return offset <= size && length <= size - offset;
    }
    std::uint8_t u8(std::size_t at) const { return data[at]; }
    std::uint16_t u16(std::size_t at) const {
        return static_cast<std::uint16_t>((data[at] << 8) | data[at + 1]);
    }
    std::uint32_t u32(std::size_t at) const { return (std::uint32_t{u16(at)} << 16) | u16(at + 2); }
    template <std::size_t N>
    std::array<std::uint8_t, N> array(std::size_t at) const {
        std::array<std::uint8_t, N> a{};
        for (std::size_t i = 0; i < N; ++i) a[i] = data[at + i];
        return a;
    }
};

class Walk {
  public:
    Walk(Bytes bytes, DecodedPacket& out) : b_(bytes), out_(out) {}

    DecodeStatus ethernet(std::size_t off, bool inner) {
        if (!b_.has(off, 14)) return DecodeStatus::truncated;
        out_.dstMac = Wirekit::EthAddr(b_.array<6>(off));
        out_.srcMac = Wirekit::EthAddr(b_.array<6>(off + 6));
        return etherType(off + 14, b_.u16(off + 12), inner);
    }

    // A Linux cooked header: the protocol and the sender's link address, no destination.
    DecodeStatus linuxSll(bool version2) {
        const std::size_t headerSize = version2 ? 20 : 16;
        if (!b_.has(0, headerSize)) return DecodeStatus::truncated;
        const std::size_t addrLength = version2 ? b_.u8(11) : b_.u16(4);
        if (addrLength >= 6) out_.srcMac = Wirekit::EthAddr(b_.array<6>(version2 ? 12 : 6));
        return etherType(headerSize, b_.u16(version2 ? 0 : 14), false);
    }

  private:
    // Skips VLAN tags (recording the outermost one of the outer frame) and decodes the IP
    // packet after them.
    DecodeStatus etherType(std::size_t off, std::uint16_t type, bool inner) {
        for (int tags = 0;
             type == etherTypeVlan || type == etherTypeQinQ || type == etherTypeQinQOld; ++tags) {
            if (tags == maxVlanTags) return DecodeStatus::malformed;
            if (!b_.has(off, 4)) return DecodeStatus::truncated;
            if (!inner && tags == 0) out_.vlanId = b_.u16(off) & 0x0FFF;
            type = b_.u16(off + 2);
            off += 4;
        }
        if (type == etherTypeIpv4) return ipv4(off, inner);
        if (type == etherTypeIpv6) return ipv6(off, inner);
        return DecodeStatus::unsupported;
    }

    DecodeStatus ipv4(std::size_t off, bool inner) {
        if (!b_.has(off, 20)) return DecodeStatus::truncated;
        if (b_.u8(off) >> 4 != 4) return DecodeStatus::malformed;
        const std::size_t headerLength = std::size_t{b_.u8(off) & 0x0Fu} * 4;
        if (headerLength < 20) return DecodeStatus::malformed;
        if (!b_.has(off, headerLength)) return DecodeStatus::truncated;
        out_.tos = b_.u8(off + 1);
        out_.flowLabel = 0;
        out_.ipLength = b_.u16(off + 2);
        if (out_.ipLength == 0) {
            // Segmentation offload hands the capture oversized packets with length 0: the
            // frame's own length is the best count there is.
            const std::size_t frame = out_.wireLength > 0 ? out_.wireLength : b_.size;
            out_.ipLength = frame > off ? static_cast<std::uint32_t>(frame - off) : 0;
        } else if (out_.ipLength < headerLength) {
            return DecodeStatus::malformed;
        }
        const std::uint16_t fragment = b_.u16(off + 6);
        const bool moreFragments = fragment & 0x2000;
        const std::uint16_t fragmentOffset = fragment & 0x1FFF;
        out_.dontFragment = fragment & 0x4000;
        out_.fragmented = moreFragments || fragmentOffset != 0;
        out_.nonFirstFragment = fragmentOffset != 0;
        out_.srcIp =
            Wirekit::IpAddr(b_.u8(off + 12), b_.u8(off + 13), b_.u8(off + 14), b_.u8(off + 15));
        out_.dstIp =
            Wirekit::IpAddr(b_.u8(off + 16), b_.u8(off + 17), b_.u8(off + 18), b_.u8(off + 19));
        return transport(off + headerLength, b_.u8(off + 9), inner);
    }

    DecodeStatus ipv6(std::size_t off, bool inner) {
        if (!b_.has(off, 40)) return DecodeStatus::truncated;
        const std::uint32_t first = b_.u32(off);
        if (first >> 28 != 6) return DecodeStatus::malformed;
        out_.tos = static_cast<std::uint8_t>(first >> 20);
        out_.flowLabel = first & 0xFFFFF;
        out_.ipLength = 40u + b_.u16(off + 4);
        out_.dontFragment = false;
        out_.fragmented = false;
        out_.nonFirstFragment = false;
        out_.srcIp = Wirekit::Ip6Addr(b_.array<16>(off + 8));
        out_.dstIp = Wirekit::Ip6Addr(b_.array<16>(off + 24));
        std::uint8_t next = b_.u8(off + 6);
        off += 40;
        for (int headers = 0;; ++headers) {
            const bool options = next == 0 || next == 43 || next == 60;  // hop-by-hop, routing,
                                                                         // destination options
            if (!options && next != 44) break;
            if (headers == maxIpv6ExtensionHeaders) return DecodeStatus::malformed;
            if (!b_.has(off, 8)) return DecodeStatus::truncated;
            if (next == 44) {
                const std::uint16_t fragment = b_.u16(off + 2);
                out_.fragmented = out_.fragmented || (fragment & 0xFFF9) != 0;
                out_.nonFirstFragment = out_.nonFirstFragment || (fragment >> 3) != 0;
                next = b_.u8(off);
                off += 8;
            } else {
                const std::size_t length = (std::size_t{b_.u8(off + 1)} + 1) * 8;
                next = b_.u8(off);
                off += length;
            }
        }
        return transport(off, next, inner);
    }

    DecodeStatus transport(std::size_t off, std::uint8_t protocol, bool inner) {
        out_.protocol = static_cast<Wirekit::IpProtocolNumber>(protocol);
        out_.srcPort = 0;
        out_.dstPort = 0;
        out_.tcpFlags = 0;
        if (out_.nonFirstFragment) return DecodeStatus::ok;
        switch (protocol) {
            case Wirekit::ipProtoTcp:
                if (!b_.has(off, 20)) return DecodeStatus::truncated;
                out_.srcPort = b_.u16(off);
                out_.dstPort = b_.u16(off + 2);
                out_.tcpFlags = b_.u16(off + 12);
                return DecodeStatus::ok;
            case Wirekit::ipProtoUdp:
                if (!b_.has(off, 8)) return DecodeStatus::truncated;
                out_.srcPort = b_.u16(off);
                out_.dstPort = b_.u16(off + 2);
                if (out_.dstPort == PacketDecoder::vxlanPort && !inner) return vxlan(off + 8);
                return DecodeStatus::ok;
            case Wirekit::ipProtoIcmp:
            case Wirekit::ipProtoIcmpv6:
                if (!b_.has(off, 4)) return DecodeStatus::truncated;
                out_.dstPort = b_.u16(off);  // type * 256 + code
                return DecodeStatus::ok;
            default:
                return DecodeStatus::ok;
        }
    }

    // A VXLAN header with its VNI flag set makes the inner frame the flow; without the flag
    // the datagram stays a plain UDP flow. Tunnels inside tunnels are not opened.
    DecodeStatus vxlan(std::size_t off) {
        if (!b_.has(off, 8)) return DecodeStatus::truncated;
        if ((b_.u8(off) & 0x08) == 0) return DecodeStatus::ok;
        out_.vni = b_.u32(off + 4) >> 8;
        out_.tunnelState = FlowTracking::TunnelState::vxlanDecap;
        return ethernet(off + 8, true);
    }

    const Bytes b_;
    DecodedPacket& out_;
};

}  // namespace

const char* decodeStatusText(DecodeStatus status) {
    switch (status) {
        case DecodeStatus::ok:
            return "decoded";
        case DecodeStatus::truncated:
            return "packet shorter than its headers";
        case DecodeStatus::malformed:
            return "malformed header";
        case DecodeStatus::unsupported:
            return "not an IP packet";
        case DecodeStatus::unknownLinkType:
            return "unknown link type";
    }
    return "unknown status";
}

std::ostream& operator<<(std::ostream& os, const DecodedPacket& p) {
    os << fmt::format("{}.{} > {}.{} proto {} len {}", fmt::streamed(p.srcIp), p.srcPort,
                      fmt::streamed(p.dstIp), p.dstPort, static_cast<int>(p.protocol), p.ipLength);
    if (p.vlanId != 0) os << " vlan " << p.vlanId;
    if (p.vni != Vxlan::VniExtOrNone::noneValue) os << " vni " << p.vni << ' ' << p.tunnelState;
    if (p.tcpFlags != 0) os << fmt::format(" tcp {:#x}", p.tcpFlags);
    if (p.tos != 0) os << " tos " << int{p.tos};
    if (p.flowLabel != 0) os << " label " << p.flowLabel;
    if (p.fragmented) os << (p.nonFirstFragment ? " fragment" : " first fragment");
    if (p.dontFragment) os << " df";
    if (p.status != DecodeStatus::ok) os << " [" << decodeStatusText(p.status) << ']';
    return os;
}

bool PacketDecoder::linkTypeSupported(int linkType) {
    return linkType == linkTypeEthernet || linkType == linkTypeLinuxSll ||
           linkType == linkTypeLinuxSll2;
}

DecodeStatus PacketDecoder::decode(const std::uint8_t* frame, std::size_t capLength,
                                   DecodedPacket& out) const {
    DecodedPacket fresh;
    fresh.timestamp = out.timestamp;
    fresh.wireLength = out.wireLength;
    out = fresh;
    Walk walk(Bytes{frame, frame == nullptr ? 0 : capLength}, out);
    switch (linkType_) {
        case linkTypeEthernet:
            out.status = walk.ethernet(0, false);
            break;
        case linkTypeLinuxSll:
        case linkTypeLinuxSll2:
            out.status = walk.linuxSll(linkType_ == linkTypeLinuxSll2);
            break;
        default:
            out.status = DecodeStatus::unknownLinkType;
    }
    return out.status;
}

}  // namespace Flowtrack
