#pragma once

// Flow keys (and, with them, the flow records): plain values stored byte for byte in the
// shared-memory tables. Their layouts, hashes, orderings and text forms are shared by every
// process that opens a table, so each is pinned by compile-time asserts or golden tests.

#include <cstdint>
#include <functional>
#include <ostream>

#include "FlowTracker/PacketTypes.h"
#include "contracts/Kiln/KilnType.h"
#include "contracts/Kiln/String.h"
#include "contracts/Kiln/System.h"
#include "contracts/Kiln/TextForm.h"
#include "contracts/Kiln/ValueText.h"
#include "contracts/Wirekit/EthAddr.h"
#include "contracts/Wirekit/Ip6Addr.h"
#include "contracts/Wirekit/IpAddr.h"
#include "contracts/Wirekit/IpProtocolNumber.h"
#include "contracts/Wirekit/IpTos.h"
#include "contracts/Wirekit/TcpDataOffsetAndFlags.h"
#include "contracts/Wirekit/VlanIdOrAnyOrNone.h"
#include "contracts/Wirekit/VniExtOrNone.h"
#include "contracts/Wirekit/VrfId.h"

namespace FlowTracking {

struct FlowKeyLayout;
struct FlowRecordLayout;

// The qualified type name each key writes into its value text.
template <class Addr>
struct FlowKeyTraits;
template <>
struct FlowKeyTraits<Wirekit::IpAddr> {
    static constexpr const char* typeName = "FlowTracking::IpFlowKey";
};
template <>
struct FlowKeyTraits<Wirekit::Ip6Addr> {
    static constexpr const char* typeName = "FlowTracking::Ip6FlowKey";
};

// The VRF, VLAN and five-tuple of one flow, over an IPv4 or IPv6 address type. `IpFlowKey` and
// `Ip6FlowKey` below are the two keys; this template holds what they share.
//
// A key never changes after construction. Hash, equality and ordering read the attributes
// directly and allocate nothing: they run on every table lookup. The two padding bytes are
// zeroed on construction (so table files are deterministic) and take part in nothing.
template <class Addr>
class BasicFlowKey {
  public:
    using VrfId = Vrf::VrfIdMap::VrfId;
    using VlanId = Bridging::VlanIdOrAnyOrNone;

    static constexpr std::uint32_t defaultVrfId = 0xFFFFFF;
    static constexpr const char* typeName = FlowKeyTraits<Addr>::typeName;

    constexpr BasicFlowKey() = default;
    constexpr BasicFlowKey(VrfId vrfId, VlanId vlanId, const Addr& srcAddr, const Addr& dstAddr,
                           Wirekit::IpProtocolNumber ipProtocol, std::uint16_t srcPort,
                           std::uint16_t dstPort)
        : vrfId_(vrfId),
          vlanId_(vlanId),
          srcAddr_(srcAddr),
          dstAddr_(dstAddr),
          ipProtocol_(ipProtocol),
          srcPort_(srcPort),
          dstPort_(dstPort) {}
    // Parser: reads exactly the text valueToStrep writes; raises Kiln::RangeException otherwise.
    BasicFlowKey(Kiln::String::IteratorConst& pos, Kiln::String::IteratorConst end);

    constexpr VrfId vrfId() const { return vrfId_; }
    constexpr VlanId vlanId() const { return vlanId_; }
    constexpr const Addr& srcAddr() const { return srcAddr_; }
    constexpr const Addr& dstAddr() const { return dstAddr_; }
    constexpr Wirekit::IpProtocolNumber ipProtocol() const { return ipProtocol_; }
    constexpr std::uint16_t srcPort() const { return srcPort_; }
    constexpr std::uint16_t dstPort() const { return dstPort_; }
    // The low 8 bits of ipProtocol.
    constexpr std::uint8_t ipProtocolNumber() const {
        return static_cast<std::uint8_t>(static_cast<std::uint32_t>(ipProtocol_) & 0xFF);
    }

    std::uint32_t hash(std::uint32_t seed) const;

    // Attribute by attribute in declaration order, stopping at the first difference.
    friend bool operator==(const BasicFlowKey& a, const BasicFlowKey& b) {
        return a.vrfId_ == b.vrfId_ && a.vlanId_ == b.vlanId_ && a.srcAddr_ == b.srcAddr_ &&
               a.dstAddr_ == b.dstAddr_ && a.ipProtocol_ == b.ipProtocol_ &&
               a.srcPort_ == b.srcPort_ && a.dstPort_ == b.dstPort_;
    }
    // Lexicographic in declaration order; ipProtocol compares as a signed number.
    friend bool operator<(const BasicFlowKey& a, const BasicFlowKey& b) {
        if (a.vrfId_ != b.vrfId_) return a.vrfId_.value() < b.vrfId_.value();
        if (a.vlanId_ != b.vlanId_) return a.vlanId_.value() < b.vlanId_.value();
        if (a.srcAddr_ != b.srcAddr_) return a.srcAddr_ < b.srcAddr_;
        if (a.dstAddr_ != b.dstAddr_) return a.dstAddr_ < b.dstAddr_;
        if (a.ipProtocol_ != b.ipProtocol_) {
            return static_cast<std::int32_t>(a.ipProtocol_) <
                   static_cast<std::int32_t>(b.ipProtocol_);
        }
        if (a.srcPort_ != b.srcPort_) return a.srcPort_ < b.srcPort_;
        return a.dstPort_ < b.dstPort_;
    }

    // Display text: " vrf: 1, vlan: none, src: 10.0.0.1, ..." (leading blank, no trailing
    // separator).
    Kiln::String str() const;

  private:
    friend struct FlowKeyLayout;
    friend struct Kiln::ValueText;

    template <class Visitor, class... Self>
    static void forEachAttribute(Visitor&& visit, Self&... self) {
        visit("vrfId", self.vrfId_...);
        visit("vlanId", self.vlanId_...);
        visit("srcAddr", self.srcAddr_...);
        visit("dstAddr", self.dstAddr_...);
        visit("ipProtocol", self.ipProtocol_...);
        visit("srcPort", self.srcPort_...);
        visit("dstPort", self.dstPort_...);
    }

    VrfId vrfId_{defaultVrfId};
    VlanId vlanId_{};
    Addr srcAddr_{};
    Addr dstAddr_{};
    std::uint8_t padding_[2] = {0, 0};
    Wirekit::IpProtocolNumber ipProtocol_ = Wirekit::ipProtoReserved;
    std::uint16_t srcPort_ = 0;
    std::uint16_t dstPort_ = 0;
};

// The key of an IPv4 flow: 24 bytes, layout fixed by the table format.
class IpFlowKey : public BasicFlowKey<Wirekit::IpAddr> {
  public:
    // The type record; registered when the library loads.
    static Kiln::KilnType _kilnType;
    using BasicFlowKey::BasicFlowKey;
};

// The key of an IPv6 flow: 48 bytes, layout fixed by the table format.
class Ip6FlowKey : public BasicFlowKey<Wirekit::Ip6Addr> {
  public:
    // The type record; registered when the library loads.
    static Kiln::KilnType _kilnType;
    using BasicFlowKey::BasicFlowKey;
};

// Value text: "Value('FlowTracking::IpFlowKey', ** {'vrfId': 1, 'vlanId': 0, ...})".
Kiln::String valueToStrep(const IpFlowKey& key);
Kiln::String valueToStrep(const Ip6FlowKey& key);
// Writes the value text form (not the display text).
std::ostream& operator<<(std::ostream& os, const IpFlowKey& key);
std::ostream& operator<<(std::ostream& os, const Ip6FlowKey& key);

// ---- Flow records ------------------------------------------------------------------------------
//
// Plain values stored byte for byte in the flow tables: no pointers, padding zeroed and never
// read. The key is fixed at construction; every other attribute has a reader and a setter
// `<attribute>Is`. Records have no hash or ordering of their own: tables use key().

// A flag the table format stores as one byte (entryExported). A record copied out of a table
// file holds whatever byte the file had there, so the flag is "the byte is not 0" and is never
// loaded as a bool (a bool holding a byte other than 0 or 1 is undefined behaviour); every
// non-zero byte compares, prints and parses as True. Value text: True or False.
class FlagByte {
  public:
    FlagByte() = default;
    FlagByte(bool value) : byte_(value ? 1 : 0) {}  // NOLINT: a flag is set from a bool
    FlagByte(Kiln::String::IteratorConst& pos, Kiln::String::IteratorConst end)
        : FlagByte(Kiln::parseBool(pos, end)) {}
    operator bool() const { return byte_ != 0; }  // NOLINT: a flag is read as a bool

    friend bool operator==(FlagByte a, FlagByte b) {
        return static_cast<bool>(a) == static_cast<bool>(b);
    }
    friend Kiln::String valueToStrep(FlagByte f) {
        return Kiln::valueToStrep(static_cast<bool>(f));
    }

  private:
    std::uint8_t byte_ = 0;
};
static_assert(sizeof(FlagByte) == 1, "a flag is one byte of the record");

// What is known about one IPv4 flow: 136 bytes, alignment 8, stored byte for byte in the
// ipFlowEntry table. Holds no pointers, so a byte copy is an equal record.
class IpFlowEntry {
  public:
    // The type record; registered when the library loads.
    static Kiln::KilnType _kilnType;
    static constexpr const char* typeName = "FlowTracking::IpFlowEntry";

    IpFlowEntry() = default;
    explicit IpFlowEntry(const IpFlowKey& key) : key_(key) {}
    // Parser: reads exactly the text valueToStrep writes; raises Kiln::RangeException naming the
    // failing attribute otherwise.
    IpFlowEntry(Kiln::String::IteratorConst& pos, Kiln::String::IteratorConst end);

    const IpFlowKey& key() const { return key_; }
    const Wirekit::EthAddr& srcEthAddr() const { return srcEthAddr_; }
    void srcEthAddrIs(const Wirekit::EthAddr& v) { srcEthAddr_ = v; }
    Bridging::VlanIdOrAnyOrNone egressVlanId() const { return egressVlanId_; }
    void egressVlanIdIs(Bridging::VlanIdOrAnyOrNone v) { egressVlanId_ = v; }
    const Wirekit::EthAddr& dstEthAddr() const { return dstEthAddr_; }
    void dstEthAddrIs(const Wirekit::EthAddr& v) { dstEthAddr_ = v; }
    const Wirekit::IpAddr& srcIpAddr() const { return srcIpAddr_; }
    void srcIpAddrIs(const Wirekit::IpAddr& v) { srcIpAddr_ = v; }
    const Wirekit::IpAddr& dstIpAddr() const { return dstIpAddr_; }
    void dstIpAddrIs(const Wirekit::IpAddr& v) { dstIpAddr_ = v; }
    Wirekit::IpProtocolNumber ipProtocol() const { return ipProtocol_; }
    void ipProtocolIs(Wirekit::IpProtocolNumber v) { ipProtocol_ = v; }
    Wirekit::IpTos tos() const { return tos_; }
    void tosIs(Wirekit::IpTos v) { tos_ = v; }
    Wirekit::TcpDataOffsetAndFlags tcpFlags() const { return tcpFlags_; }
    void tcpFlagsIs(Wirekit::TcpDataOffsetAndFlags v) { tcpFlags_ = v; }
    std::uint16_t srcPort() const { return srcPort_; }
    void srcPortIs(std::uint16_t v) { srcPort_ = v; }
    std::uint16_t dstPort() const { return dstPort_; }
    void dstPortIs(std::uint16_t v) { dstPort_ = v; }
    std::uint64_t bytes() const { return bytes_; }
    void bytesIs(std::uint64_t v) { bytes_ = v; }
    std::uint64_t pkts() const { return pkts_; }
    void pktsIs(std::uint64_t v) { pkts_ = v; }
    std::uint64_t hwBytes() const { return hwBytes_; }
    void hwBytesIs(std::uint64_t v) { hwBytes_ = v; }
    std::uint64_t hwPkts() const { return hwPkts_; }
    void hwPktsIs(std::uint64_t v) { hwPkts_ = v; }
    Kiln::Seconds startTime() const { return startTime_; }
    void startTimeIs(Kiln::Seconds v) { startTime_ = v; }
    Kiln::Seconds lastPktTime() const { return lastPktTime_; }
    void lastPktTimeIs(Kiln::Seconds v) { lastPktTime_ = v; }
    std::uint32_t inIfIndex() const { return inIfIndex_; }
    void inIfIndexIs(std::uint32_t v) { inIfIndex_ = v; }
    std::uint32_t outIfIndex() const { return outIfIndex_; }
    void outIfIndexIs(std::uint32_t v) { outIfIndex_ = v; }
    std::uint32_t inIfType() const { return inIfType_; }
    void inIfTypeIs(std::uint32_t v) { inIfType_ = v; }
    Vxlan::VniExtOrNone vni() const { return vni_; }
    void vniIs(Vxlan::VniExtOrNone v) { vni_ = v; }
    TunnelState tunnelState() const { return tunnelState_; }
    void tunnelStateIs(TunnelState v) { tunnelState_ = v; }
    bool entryExported() const { return entryExported_; }
    void entryExportedIs(bool v) { entryExported_ = v; }

    // Every attribute equal, in declaration order; a NaN time is equal to nothing.
    friend bool operator==(const IpFlowEntry& a, const IpFlowEntry& b) {
        return Kiln::ValueText::equal(a, b);
    }
    // True exactly when the record equals a default-constructed one, key included.
    bool operator!() const { return *this == IpFlowEntry(); }
    // " IpFlowEntry key: " followed by the key's display text.
    Kiln::String str() const;

  private:
    friend struct FlowRecordLayout;
    friend struct Kiln::ValueText;

    template <class Visitor, class... Self>
    static void forEachAttribute(Visitor&& visit, Self&... self) {
        visit("key", self.key_...);
        visit("srcEthAddr", self.srcEthAddr_...);
        visit("egressVlanId", self.egressVlanId_...);
        visit("dstEthAddr", self.dstEthAddr_...);
        visit("srcIpAddr", self.srcIpAddr_...);
        visit("dstIpAddr", self.dstIpAddr_...);
        visit("ipProtocol", self.ipProtocol_...);
        visit("tos", self.tos_...);
        visit("tcpFlags", self.tcpFlags_...);
        visit("srcPort", self.srcPort_...);
        visit("dstPort", self.dstPort_...);
        visit("bytes", self.bytes_...);
        visit("pkts", self.pkts_...);
        visit("hwBytes", self.hwBytes_...);
        visit("hwPkts", self.hwPkts_...);
        visit("startTime", self.startTime_...);
        visit("lastPktTime", self.lastPktTime_...);
        visit("inIfIndex", self.inIfIndex_...);
        visit("outIfIndex", self.outIfIndex_...);
        visit("inIfType", self.inIfType_...);
        visit("vni", self.vni_...);
        visit("tunnelState", self.tunnelState_...);
        visit("entryExported", self.entryExported_...);
    }

    IpFlowKey key_{};
    Wirekit::EthAddr srcEthAddr_{};
    Bridging::VlanIdOrAnyOrNone egressVlanId_{};
    Wirekit::EthAddr dstEthAddr_{};
    Wirekit::IpAddr srcIpAddr_{};
    Wirekit::IpAddr dstIpAddr_{};
    [[maybe_unused]] std::uint8_t padding0_[2] = {};  // never read
    Wirekit::IpProtocolNumber ipProtocol_ = Wirekit::ipProtoReserved;
    Wirekit::IpTos tos_{};
    Wirekit::TcpDataOffsetAndFlags tcpFlags_{};
    [[maybe_unused]] std::uint8_t padding1_[1] = {};  // never read
    std::uint16_t srcPort_{};
    std::uint16_t dstPort_{};
    [[maybe_unused]] std::uint8_t padding2_[4] = {};  // never read
    std::uint64_t bytes_{};
    std::uint64_t pkts_{};
    std::uint64_t hwBytes_{};
    std::uint64_t hwPkts_{};
    Kiln::Seconds startTime_{};
    Kiln::Seconds lastPktTime_{};
    std::uint32_t inIfIndex_{};
    std::uint32_t outIfIndex_{};
    std::uint32_t inIfType_{};
    Vxlan::VniExtOrNone vni_{};
    TunnelState tunnelState_ = TunnelState::unknown;
    FlagByte entryExported_{};
    [[maybe_unused]] std::uint8_t padding3_[3] = {};  // never read
};

// What is known about one IPv6 flow: 168 bytes, alignment 8, stored byte for byte in the
// ip6FlowEntry table. Unlike IpFlowEntry: tcpFlags before tos, a flowLabel, no hardware counts.
class Ip6FlowEntry {
  public:
    // The type record; registered when the library loads.
    static Kiln::KilnType _kilnType;
    static constexpr const char* typeName = "FlowTracking::Ip6FlowEntry";

    Ip6FlowEntry() = default;
    explicit Ip6FlowEntry(const Ip6FlowKey& key) : key_(key) {}
    // Parser: reads exactly the text valueToStrep writes; raises Kiln::RangeException naming the
    // failing attribute otherwise.
    Ip6FlowEntry(Kiln::String::IteratorConst& pos, Kiln::String::IteratorConst end);

    const Ip6FlowKey& key() const { return key_; }
    const Wirekit::EthAddr& srcEthAddr() const { return srcEthAddr_; }
    void srcEthAddrIs(const Wirekit::EthAddr& v) { srcEthAddr_ = v; }
    Bridging::VlanIdOrAnyOrNone egressVlanId() const { return egressVlanId_; }
    void egressVlanIdIs(Bridging::VlanIdOrAnyOrNone v) { egressVlanId_ = v; }
    const Wirekit::EthAddr& dstEthAddr() const { return dstEthAddr_; }
    void dstEthAddrIs(const Wirekit::EthAddr& v) { dstEthAddr_ = v; }
    const Wirekit::Ip6Addr& srcIpAddr() const { return srcIpAddr_; }
    void srcIpAddrIs(const Wirekit::Ip6Addr& v) { srcIpAddr_ = v; }
    const Wirekit::Ip6Addr& dstIpAddr() const { return dstIpAddr_; }
    void dstIpAddrIs(const Wirekit::Ip6Addr& v) { dstIpAddr_ = v; }
    Wirekit::IpProtocolNumber ipProtocol() const { return ipProtocol_; }
    void ipProtocolIs(Wirekit::IpProtocolNumber v) { ipProtocol_ = v; }
    Wirekit::TcpDataOffsetAndFlags tcpFlags() const { return tcpFlags_; }
    void tcpFlagsIs(Wirekit::TcpDataOffsetAndFlags v) { tcpFlags_ = v; }
    Wirekit::IpTos tos() const { return tos_; }
    void tosIs(Wirekit::IpTos v) { tos_ = v; }
    std::uint32_t flowLabel() const { return flowLabel_; }
    void flowLabelIs(std::uint32_t v) { flowLabel_ = v; }
    std::uint16_t srcPort() const { return srcPort_; }
    void srcPortIs(std::uint16_t v) { srcPort_ = v; }
    std::uint16_t dstPort() const { return dstPort_; }
    void dstPortIs(std::uint16_t v) { dstPort_ = v; }
    std::uint64_t bytes() const { return bytes_; }
    void bytesIs(std::uint64_t v) { bytes_ = v; }
    std::uint64_t pkts() const { return pkts_; }
    void pktsIs(std::uint64_t v) { pkts_ = v; }
    Kiln::Seconds startTime() const { return startTime_; }
    void startTimeIs(Kiln::Seconds v) { startTime_ = v; }
    Kiln::Seconds lastPktTime() const { return lastPktTime_; }
    void lastPktTimeIs(Kiln::Seconds v) { lastPktTime_ = v; }
    std::uint32_t inIfIndex() const { return inIfIndex_; }
    void inIfIndexIs(std::uint32_t v) { inIfIndex_ = v; }
    std::uint32_t outIfIndex() const { return outIfIndex_; }
    void outIfIndexIs(std::uint32_t v) { outIfIndex_ = v; }
    std::uint32_t inIfType() const { return inIfType_; }
    void inIfTypeIs(std::uint32_t v) { inIfType_ = v; }
    Vxlan::VniExtOrNone vni() const { return vni_; }
    void vniIs(Vxlan::VniExtOrNone v) { vni_ = v; }
    TunnelState tunnelState() const { return tunnelState_; }
    void tunnelStateIs(TunnelState v) { tunnelState_ = v; }
    bool entryExported() const { return entryExported_; }
    void entryExportedIs(bool v) { entryExported_ = v; }

    // Every attribute equal, in declaration order; a NaN time is equal to nothing.
    friend bool operator==(const Ip6FlowEntry& a, const Ip6FlowEntry& b) {
        return Kiln::ValueText::equal(a, b);
    }
    // True exactly when the record equals a default-constructed one, key included.
    bool operator!() const { return *this == Ip6FlowEntry(); }
    // " Ip6FlowEntry key: " followed by the key's display text.
    Kiln::String str() const;

  private:
    friend struct FlowRecordLayout;
    friend struct Kiln::ValueText;

    template <class Visitor, class... Self>
    static void forEachAttribute(Visitor&& visit, Self&... self) {
        visit("key", self.key_...);
        visit("srcEthAddr", self.srcEthAddr_...);
        visit("egressVlanId", self.egressVlanId_...);
        visit("dstEthAddr", self.dstEthAddr_...);
        visit("srcIpAddr", self.srcIpAddr_...);
        visit("dstIpAddr", self.dstIpAddr_...);
        visit("ipProtocol", self.ipProtocol_...);
        visit("tcpFlags", self.tcpFlags_...);
        visit("tos", self.tos_...);
        visit("flowLabel", self.flowLabel_...);
        visit("srcPort", self.srcPort_...);
        visit("dstPort", self.dstPort_...);
        visit("bytes", self.bytes_...);
        visit("pkts", self.pkts_...);
        visit("startTime", self.startTime_...);
        visit("lastPktTime", self.lastPktTime_...);
        visit("inIfIndex", self.inIfIndex_...);
        visit("outIfIndex", self.outIfIndex_...);
        visit("inIfType", self.inIfType_...);
        visit("vni", self.vni_...);
        visit("tunnelState", self.tunnelState_...);
        visit("entryExported", self.entryExported_...);
    }

    Ip6FlowKey key_{};
    Wirekit::EthAddr srcEthAddr_{};
    Bridging::VlanIdOrAnyOrNone egressVlanId_{};
    Wirekit::EthAddr dstEthAddr_{};
    Wirekit::Ip6Addr srcIpAddr_{};
    Wirekit::Ip6Addr dstIpAddr_{};
    [[maybe_unused]] std::uint8_t padding0_[2] = {};  // never read
    Wirekit::IpProtocolNumber ipProtocol_ = Wirekit::ipProtoReserved;
    Wirekit::TcpDataOffsetAndFlags tcpFlags_{};
    Wirekit::IpTos tos_{};
    [[maybe_unused]] std::uint8_t padding1_[1] = {};  // never read
    std::uint32_t flowLabel_{};
    std::uint16_t srcPort_{};
    std::uint16_t dstPort_{};
    std::uint64_t bytes_{};
    std::uint64_t pkts_{};
    Kiln::Seconds startTime_{};
    Kiln::Seconds lastPktTime_{};
    std::uint32_t inIfIndex_{};
    std::uint32_t outIfIndex_{};
    std::uint32_t inIfType_{};
    Vxlan::VniExtOrNone vni_{};
    TunnelState tunnelState_ = TunnelState::unknown;
    FlagByte entryExported_{};
    [[maybe_unused]] std::uint8_t padding2_[3] = {};  // never read
};

// The BGP attributes learnt for a flow, over its key and address types. BgpFlowEntry (IPv4, 44
// bytes) and Bgp6FlowEntry (IPv6, 92 bytes) below are the two records; alignment 4.
template <class Key, class Addr>
class BasicBgpFlowEntry {
  public:
    BasicBgpFlowEntry() = default;
    explicit BasicBgpFlowEntry(const Key& key) : key_(key) {}

    const Key& key() const { return key_; }
    std::uint32_t srcAs() const { return srcAs_; }
    void srcAsIs(std::uint32_t v) { srcAs_ = v; }
    std::uint32_t dstAs() const { return dstAs_; }
    void dstAsIs(std::uint32_t v) { dstAs_ = v; }
    const Addr& nextHopIp() const { return nextHopIp_; }
    void nextHopIpIs(const Addr& v) { nextHopIp_ = v; }
    const Addr& bgpNextHopIp() const { return bgpNextHopIp_; }
    void bgpNextHopIpIs(const Addr& v) { bgpNextHopIp_ = v; }
    std::uint8_t srcPrefixLen() const { return srcPrefixLen_; }
    void srcPrefixLenIs(std::uint8_t v) { srcPrefixLen_ = v; }
    std::uint8_t dstPrefixLen() const { return dstPrefixLen_; }
    void dstPrefixLenIs(std::uint8_t v) { dstPrefixLen_ = v; }

    // Every attribute equal, in declaration order.
    friend bool operator==(const BasicBgpFlowEntry& a, const BasicBgpFlowEntry& b) {
        return Kiln::ValueText::equal(a, b);
    }
    // True exactly when the record equals a default-constructed one, key included.
    bool operator!() const { return *this == BasicBgpFlowEntry(); }

  private:
    friend struct FlowRecordLayout;
    friend struct Kiln::ValueText;

    template <class Visitor, class... Self>
    static void forEachAttribute(Visitor&& visit, Self&... self) {
        visit("key", self.key_...);
        visit("srcAs", self.srcAs_...);
        visit("dstAs", self.dstAs_...);
        visit("nextHopIp", self.nextHopIp_...);
        visit("bgpNextHopIp", self.bgpNextHopIp_...);
        visit("srcPrefixLen", self.srcPrefixLen_...);
        visit("dstPrefixLen", self.dstPrefixLen_...);
    }

    Key key_{};
    std::uint32_t srcAs_{};
    std::uint32_t dstAs_{};
    Addr nextHopIp_{};
    Addr bgpNextHopIp_{};
    std::uint8_t srcPrefixLen_{};
    std::uint8_t dstPrefixLen_{};
    [[maybe_unused]] std::uint8_t padding0_[2] = {};  // never read
};

class BgpFlowEntry : public BasicBgpFlowEntry<IpFlowKey, Wirekit::IpAddr> {
  public:
    // The type record; registered when the library loads.
    static Kiln::KilnType _kilnType;
    static constexpr const char* typeName = "FlowTracking::BgpFlowEntry";
    using BasicBgpFlowEntry::BasicBgpFlowEntry;
    // Parser: reads exactly the text valueToStrep writes; raises Kiln::RangeException naming the
    // failing attribute otherwise.
    BgpFlowEntry(Kiln::String::IteratorConst& pos, Kiln::String::IteratorConst end);
    // " BgpFlowEntry key: " followed by the key's display text.
    Kiln::String str() const;
};

class Bgp6FlowEntry : public BasicBgpFlowEntry<Ip6FlowKey, Wirekit::Ip6Addr> {
  public:
    // The type record; registered when the library loads.
    static Kiln::KilnType _kilnType;
    static constexpr const char* typeName = "FlowTracking::Bgp6FlowEntry";
    using BasicBgpFlowEntry::BasicBgpFlowEntry;
    Bgp6FlowEntry(Kiln::String::IteratorConst& pos, Kiln::String::IteratorConst end);
    // " Bgp6FlowEntry key: " followed by the key's display text.
    Kiln::String str() const;
};

// Value texts ("Value('FlowTracking::IpFlowEntry', ** {'key': Value(...), ...})") and their
// stream form.
Kiln::String valueToStrep(const IpFlowEntry& e);
Kiln::String valueToStrep(const Ip6FlowEntry& e);
Kiln::String valueToStrep(const BgpFlowEntry& e);
Kiln::String valueToStrep(const Bgp6FlowEntry& e);
std::ostream& operator<<(std::ostream& os, const IpFlowEntry& e);
std::ostream& operator<<(std::ostream& os, const Ip6FlowEntry& e);
std::ostream& operator<<(std::ostream& os, const BgpFlowEntry& e);
std::ostream& operator<<(std::ostream& os, const Bgp6FlowEntry& e);

extern template class BasicFlowKey<Wirekit::IpAddr>;
extern template class BasicFlowKey<Wirekit::Ip6Addr>;

}  // namespace FlowTracking

template <>
struct std::hash<FlowTracking::IpFlowKey> {
    std::size_t operator()(const FlowTracking::IpFlowKey& k) const noexcept { return k.hash(0); }
};
template <>
struct std::hash<FlowTracking::Ip6FlowKey> {
    std::size_t operator()(const FlowTracking::Ip6FlowKey& k) const noexcept { return k.hash(0); }
};
