#pragma once

// Decoding one captured frame into the fields a flow tracker keys and counts on.

#include <cstddef>
#include <cstdint>
#include <ostream>

#include "FlowTracker/PacketTypes.h"
#include "contracts/Kiln/System.h"
#include "contracts/Wirekit/EthAddr.h"
#include "contracts/Wirekit/IpGenAddr.h"
#include "contracts/Wirekit/IpProtocolNumber.h"

namespace Flowtrack {

// The link types the decoder reads (pcap's DLT numbers).
inline constexpr int linkTypeEthernet = 1;     // DLT_EN10MB
inline constexpr int linkTypeLinuxSll = 113;   // DLT_LINUX_SLL, "tcpdump -i any" before 4.99
inline constexpr int linkTypeLinuxSll2 = 276;  // DLT_LINUX_SLL2, "tcpdump -i any" since 4.99

enum class DecodeStatus : std::uint8_t {
    ok,
    truncated,        // the frame ends inside a header it needs
    malformed,        // a header contradicts itself (IP version, header length below minimum)
    unsupported,      // not an IP packet (ARP, LLDP, ...)
    unknownLinkType,  // the capture's link type is not one the decoder reads
};
inline constexpr std::size_t decodeStatusCount = 5;

// The text people read for a status ("packet shorter than its headers").
const char* decodeStatusText(DecodeStatus status);

// The flow-relevant fields of one frame. For a VXLAN frame every field describes the inner
// packet (its addresses, ports, length, MAC), except vlanId, the outer frame's outermost tag,
// the VLAN the packet arrived on; vni and tunnelState record the tunnel.
struct DecodedPacket {
    DecodeStatus status = DecodeStatus::ok;
    Kiln::Seconds timestamp = 0;   // capture time, seconds since the epoch with fraction
    std::uint32_t wireLength = 0;  // the frame's length on the wire (may exceed what was captured)
    Wirekit::EthAddr srcMac;
    Wirekit::EthAddr dstMac;
    std::uint16_t vlanId = 0;  // 0: untagged; with QinQ the outer tag
    std::uint32_t vni = Vxlan::VniExtOrNone::noneValue;
    FlowTracking::TunnelState tunnelState = FlowTracking::TunnelState::unknown;
    Wirekit::IpGenAddr srcIp;
    Wirekit::IpGenAddr dstIp;
    Wirekit::IpProtocolNumber protocol = Wirekit::IpProtocolNumber{0};  // the transport protocol
    // TCP and UDP ports; ICMP and ICMPv6: srcPort 0 and dstPort type * 256 + code; 0 for
    // non-first fragments and for other protocols.
    std::uint16_t srcPort = 0;
    std::uint16_t dstPort = 0;
    std::uint16_t tcpFlags = 0;  // TCP data offset (high 4 bits) and flags, as on the wire
    // The IP packet's length from its header (IPv4 total length, IPv6 40 + payload length):
    // the byte count of the flow, whatever part of it the capture kept.
    std::uint32_t ipLength = 0;
    std::uint8_t tos = 0;           // IPv4 TOS or IPv6 traffic class
    std::uint32_t flowLabel = 0;    // IPv6 only
    bool fragmented = false;        // a fragment, first or not
    bool nonFirstFragment = false;  // a fragment at a non-zero offset: no transport header
    bool dontFragment = false;      // IPv4 DF
};

// One line for people, "10.0.0.1.40000 > 10.0.0.2.80 proto 6 len 54 tcp 0x5002 tos 16 df":
// addresses and ports, protocol and IP length, then only what the packet has of VLAN, VNI and
// tunnel state, TCP flags word, TOS, flow label, fragment and DF, and the status text in
// brackets when it is not ok.
std::ostream& operator<<(std::ostream& os, const DecodedPacket& p);

// Decodes frames of one link type. Stateless apart from the link type; every read is checked
// against the captured length, so any byte sequence is safe to pass.
class PacketDecoder {
  public:
    // The UDP destination port that marks VXLAN.
    static constexpr std::uint16_t vxlanPort = 4789;

    explicit PacketDecoder(int linkType) : linkType_(linkType) {}

    static bool linkTypeSupported(int linkType);
    int linkType() const { return linkType_; }

    // Decodes `capLength` captured bytes at `frame` into `out` and returns out.status. Every
    // field is reset first except timestamp and wireLength, which the caller sets from the
    // capture header (a zero IPv4 total length, as segmentation offload leaves it, counts the
    // frame's wire length instead).
    DecodeStatus decode(const std::uint8_t* frame, std::size_t capLength, DecodedPacket& out) const;

  private:
    const int linkType_;
};

}  // namespace Flowtrack
