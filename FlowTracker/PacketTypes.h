#pragma once

// Descriptors that travel between the agent's threads (a sampled packet, a finished flow) and
// their small value types: the packed packet flags, the packed traffic class and flow label, the
// flow end reasons and the tunnel states.

#include <cstdint>
#include <optional>
#include <ostream>

#include "contracts/Config/FtId.h"
#include "contracts/Config/TemplateId.h"
#include "contracts/Kiln/AllocTrack.h"
#include "contracts/Kiln/EnumType.h"
#include "contracts/Kiln/KilnType.h"
#include "contracts/Kiln/Ptr.h"
#include "contracts/Kiln/String.h"
#include "contracts/Kiln/System.h"
#include "contracts/Loom/CrossThreadDesc.h"
#include "contracts/Wirekit/AutonomousSystem.h"
#include "contracts/Wirekit/EthAddr.h"
#include "contracts/Wirekit/IpGenAddr.h"
#include "contracts/Wirekit/IpGenPrefix.h"
#include "contracts/Wirekit/IpProtocolNumber.h"
#include "contracts/Wirekit/Port.h"
#include "contracts/Wirekit/TcpDataOffsetAndFlags.h"
#include "contracts/Wirekit/TextValue.h"
#include "contracts/Wirekit/VlanIdOrAnyOrNone.h"
#include "contracts/Wirekit/VniExtOrNone.h"
#include "contracts/Wirekit/VrfId.h"
#include "contracts/Wirekit/VrfName.h"

namespace FlowTracking {

// ---- Enumerations ------------------------------------------------------------------------------

// Why a flow ended, numbered as the IPFIX flowEndReason element; 0 has no name.
enum class FlowEndReason : std::uint32_t {
    idleTimeout = 1,
    activeTimeout = 2,
    endOfFlow = 3,
    forcedEnd = 4,
    lackOfResources = 5,
};

// The tunnel encapsulation state of a packet or flow.
enum class TunnelState : std::uint32_t {
    unknown = 0,
    vxlanEncap = 1,
    vxlanDecap = 2,
};

const Kiln::EnumType<unsigned>& flowEndReasonType();
const Kiln::EnumType<unsigned>& tunnelStateType();

// Look-ups by value and by name; empty when no enumerator matches.
std::optional<FlowEndReason> FlowEndReasonInstance(unsigned value);
std::optional<FlowEndReason> FlowEndReasonInstance(const Kiln::String& name);
std::optional<TunnelState> TunnelStateInstance(unsigned value);
std::optional<TunnelState> TunnelStateInstance(const Kiln::String& name);

// The enumerations' type records (an enumeration has no members to hold them).
extern Kiln::KilnType flowEndReasonKilnType;
extern Kiln::KilnType tunnelStateKilnType;

// The enumerator's name (the number for a value without one); value texts are the same.
Kiln::String stringValue(FlowEndReason v);
Kiln::String stringValue(TunnelState v);
Kiln::String valueToStrep(FlowEndReason v);
Kiln::String valueToStrep(TunnelState v);
std::ostream& operator<<(std::ostream& os, FlowEndReason v);
std::ostream& operator<<(std::ostream& os, TunnelState v);
// Parse an enumerator name (or number) from a character sequence.
FlowEndReason sequenceToValue(Kiln::String::IteratorConst& pos, Kiln::String::IteratorConst end,
                              FlowEndReason* type);
TunnelState sequenceToValue(Kiln::String::IteratorConst& pos, Kiln::String::IteratorConst end,
                            TunnelState* type);

// ---- Packed words ------------------------------------------------------------------------------

// A packet's boolean properties and its TCP flags word, packed into one 32-bit word:
// bit 0 srcIntfRoutedPort, 1 fragmentedPkt, 2 dontFag, 3 updateEntry, 4 isBgpRoute, 5 hoEntry,
// bits 6..21 the TCP data-offset-and-flags word in host order. Bits 22..31 carry nothing and
// every setter leaves them as they are. Text forms: the decimal word.
class PacketInfoFlags {
  public:
    // The type record; registered when the library loads.
    static Kiln::KilnType _kilnType;
    constexpr PacketInfoFlags() = default;
    explicit constexpr PacketInfoFlags(std::uint32_t value) : value_(value) {}
    // Reads one unsigned 32-bit number; a failure names the attribute "value".
    PacketInfoFlags(Kiln::String::IteratorConst& pos, Kiln::String::IteratorConst end);

    constexpr std::uint32_t value() const { return value_; }
    constexpr void valueIs(std::uint32_t v) { value_ = v; }

    constexpr bool srcIntfRoutedPort() const { return bit(0); }
    constexpr void srcIntfRoutedPortIs(bool v) { bitIs(0, v); }
    constexpr bool fragmentedPkt() const { return bit(1); }
    constexpr void fragmentedPktIs(bool v) { bitIs(1, v); }
    constexpr bool dontFag() const { return bit(2); }
    constexpr void dontFagIs(bool v) { bitIs(2, v); }
    constexpr bool updateEntry() const { return bit(3); }
    constexpr void updateEntryIs(bool v) { bitIs(3, v); }
    constexpr bool isBgpRoute() const { return bit(4); }
    constexpr void isBgpRouteIs(bool v) { bitIs(4, v); }
    constexpr bool hoEntry() const { return bit(5); }
    constexpr void hoEntryIs(bool v) { bitIs(5, v); }
    constexpr Wirekit::TcpDataOffsetAndFlags tcpFlags() const {
        return Wirekit::TcpDataOffsetAndFlags(
            static_cast<std::uint16_t>((value_ & tcpFlagsMask) >> tcpFlagsShift));
    }
    constexpr void tcpFlagsIs(Wirekit::TcpDataOffsetAndFlags v) {
        value_ = (value_ & ~tcpFlagsMask) | (std::uint32_t{v.value()} << tcpFlagsShift);
    }

    friend constexpr bool operator==(PacketInfoFlags, PacketInfoFlags) = default;
    friend std::ostream& operator<<(std::ostream& os, PacketInfoFlags f) { return os << f.value_; }
    friend Kiln::String valueToStrep(PacketInfoFlags f) { return Kiln::valueToStrep(f.value_); }

  private:
    static constexpr int tcpFlagsShift = 6;
    static constexpr std::uint32_t tcpFlagsMask = 0xFFFFu << tcpFlagsShift;

    constexpr bool bit(int n) const { return (value_ >> n) & 1u; }
    constexpr void bitIs(int n, bool v) {
        value_ = (value_ & ~(1u << n)) | (std::uint32_t{v} << n);
    }

    std::uint32_t value_ = 0;
};

// An IPv6 traffic class (bits 0..7) and flow label (bits 8..27) in one 32-bit word; the setters
// leave bits 28..31 as they are. Text forms: the decimal word.
class TosFlowLabel {
  public:
    // The type record; registered when the library loads.
    static Kiln::KilnType _kilnType;
    constexpr TosFlowLabel() = default;
    explicit constexpr TosFlowLabel(std::uint32_t value) : value_(value) {}
    // Reads one unsigned 32-bit number; a failure names the attribute "value".
    TosFlowLabel(Kiln::String::IteratorConst& pos, Kiln::String::IteratorConst end);

    constexpr std::uint32_t value() const { return value_; }
    constexpr void valueIs(std::uint32_t v) { value_ = v; }
    constexpr std::uint8_t trafficClass() const { return static_cast<std::uint8_t>(value_); }
    constexpr void trafficClassIs(std::uint8_t v) { value_ = (value_ & ~0xFFu) | v; }
    // Only the low 20 bits of `v` are kept.
    constexpr std::uint32_t flowLabel() const { return (value_ & flowLabelMask) >> 8; }
    constexpr void flowLabelIs(std::uint32_t v) {
        value_ = (value_ & ~flowLabelMask) | ((v << 8) & flowLabelMask);
    }

    friend constexpr bool operator==(TosFlowLabel, TosFlowLabel) = default;
    friend std::ostream& operator<<(std::ostream& os, TosFlowLabel t) { return os << t.value_; }
    friend Kiln::String valueToStrep(TosFlowLabel t) { return Kiln::valueToStrep(t.value_); }

  private:
    static constexpr std::uint32_t flowLabelMask = 0x0FFFFF00u;
    std::uint32_t value_ = 0;
};

// ---- Descriptors -------------------------------------------------------------------------------
//
// Thread safety: a descriptor is owned by one thread at a time; the SPSC queue that carries it
// hands over the reference (see Loom::CrossThreadDesc). Create them only through their
// factories: the factory counts the allocation per type in kilnAllocTrackTypeInfo_, and the
// destructor uncounts it when the last reference goes.

// One sampled packet, created by the sampling thread (packetInfoFactory) and consumed by the
// manager thread, which hands it to the state machine of its tracker. The first thirteen
// attributes are fixed at construction; the flag views read and write single bits of
// pktInfoFlags.
class PacketInfo : public Loom::CrossThreadDesc {
  public:
    // The type record; registered when the library loads.
    static Kiln::KilnType _kilnType;
    const Kiln::KilnType* fwkType() const override { return &_kilnType; }
    static Kiln::AllocTrackTypeInfo kilnAllocTrackTypeInfo_;

    PacketInfo(FtId ftId, TemplateId fgId, const Wirekit::IpGenAddr& srcIpAddr,
               const Wirekit::IpGenAddr& dstIpAddr, Wirekit::IpProtocolNumber ipProtocol,
               Wirekit::Port srcPort, Wirekit::Port dstPort, const Kiln::Seconds& pktRcvTime,
               std::uint32_t inIfIndex, const Wirekit::IntfId& inIntfId, std::uint32_t inIfType,
               Bridging::VlanIdOrAnyOrNone vlanId, const Wirekit::EthAddr& srcEthAddr);
    ~PacketInfo() override;

    // Constructor attributes: fixed for the descriptor's lifetime.
    FtId ftId() const { return ftId_; }
    TemplateId fgId() const { return fgId_; }
    const Wirekit::IpGenAddr& srcIpAddr() const { return srcIpAddr_; }
    const Wirekit::IpGenAddr& dstIpAddr() const { return dstIpAddr_; }
    Wirekit::IpProtocolNumber ipProtocol() const { return ipProtocol_; }
    Wirekit::Port srcPort() const { return srcPort_; }
    Wirekit::Port dstPort() const { return dstPort_; }
    Kiln::Seconds pktRcvTime() const { return pktRcvTime_; }
    std::uint32_t inIfIndex() const { return inIfIndex_; }
    const Wirekit::IntfId& inIntfId() const { return inIntfId_; }
    std::uint32_t inIfType() const { return inIfType_; }
    Bridging::VlanIdOrAnyOrNone vlanId() const { return vlanId_; }
    const Wirekit::EthAddr& srcEthAddr() const { return srcEthAddr_; }

    // Writable attributes.
    const Wirekit::EthAddr& inDstEthAddr() const { return inDstEthAddr_; }
    void inDstEthAddrIs(const Wirekit::EthAddr& v) { inDstEthAddr_ = v; }
    TosFlowLabel tosFlowLabel() const { return tosFlowLabel_; }
    void tosFlowLabelIs(TosFlowLabel v) { tosFlowLabel_ = v; }
    PacketInfoFlags pktInfoFlags() const { return pktInfoFlags_; }
    void pktInfoFlagsIs(PacketInfoFlags v) { pktInfoFlags_ = v; }
    std::uint64_t packets() const { return packets_; }
    void packetsIs(std::uint64_t v) { packets_ = v; }
    std::uint64_t bytes() const { return bytes_; }
    void bytesIs(std::uint64_t v) { bytes_ = v; }
    Vxlan::VniExtOrNone vni() const { return vni_; }
    void vniIs(Vxlan::VniExtOrNone v) { vni_ = v; }
    TunnelState tunnelState() const { return tunnelState_; }
    void tunnelStateIs(TunnelState v) { tunnelState_ = v; }
    const Wirekit::IntfId& inL3IntfId() const { return inL3IntfId_; }
    void inL3IntfIdIs(const Wirekit::IntfId& v) { inL3IntfId_ = v; }
    const Wirekit::IntfId& outL3IntfId() const { return outL3IntfId_; }
    void outL3IntfIdIs(const Wirekit::IntfId& v) { outL3IntfId_ = v; }
    const L3::VrfName& vrfName() const { return vrfName_; }
    // Replaces the held name; the name already held is not copied again.
    void vrfNameIs(const L3::VrfName& v) {
        if (!(vrfName_ == v)) vrfName_ = v;
    }
    Vrf::VrfIdMap::VrfId vrfId() const { return vrfId_; }
    void vrfIdIs(Vrf::VrfIdMap::VrfId v) { vrfId_ = v; }
    Bridging::VlanIdOrAnyOrNone egressVlanId() const { return egressVlanId_; }
    void egressVlanIdIs(Bridging::VlanIdOrAnyOrNone v) { egressVlanId_ = v; }
    const Wirekit::EthAddr& dstEthAddr() const { return dstEthAddr_; }
    void dstEthAddrIs(const Wirekit::EthAddr& v) { dstEthAddr_ = v; }
    std::uint32_t outIfIndex() const { return outIfIndex_; }
    void outIfIndexIs(std::uint32_t v) { outIfIndex_ = v; }
    const Wirekit::IntfId& nextHopIntf() const { return nextHopIntf_; }
    void nextHopIntfIs(const Wirekit::IntfId& v) { nextHopIntf_ = v; }
    const Wirekit::EthAddr& nextHopEthAddr() const { return nextHopEthAddr_; }
    void nextHopEthAddrIs(const Wirekit::EthAddr& v) { nextHopEthAddr_ = v; }
    const Wirekit::IpGenAddr& srcNextHopIp() const { return srcNextHopIp_; }
    void srcNextHopIpIs(const Wirekit::IpGenAddr& v) { srcNextHopIp_ = v; }
    const Wirekit::IpGenAddr& nextHopIp() const { return nextHopIp_; }
    void nextHopIpIs(const Wirekit::IpGenAddr& v) { nextHopIp_ = v; }
    const Wirekit::IpGenPrefix& srcPrefix() const { return srcPrefix_; }
    void srcPrefixIs(const Wirekit::IpGenPrefix& v) { srcPrefix_ = v; }
    const Wirekit::IpGenPrefix& dstPrefix() const { return dstPrefix_; }
    void dstPrefixIs(const Wirekit::IpGenPrefix& v) { dstPrefix_ = v; }
    std::uint8_t srcMask() const { return srcMask_; }
    void srcMaskIs(std::uint8_t v) { srcMask_ = v; }
    std::uint8_t dstMask() const { return dstMask_; }
    void dstMaskIs(std::uint8_t v) { dstMask_ = v; }
    const Wirekit::IpGenAddr& bgpNextHopIp() const { return bgpNextHopIp_; }
    void bgpNextHopIpIs(const Wirekit::IpGenAddr& v) { bgpNextHopIp_ = v; }
    Wirekit::AutonomousSystem srcAs() const { return srcAs_; }
    void srcAsIs(Wirekit::AutonomousSystem v) { srcAs_ = v; }
    Wirekit::AutonomousSystem dstAs() const { return dstAs_; }
    void dstAsIs(Wirekit::AutonomousSystem v) { dstAs_ = v; }

    // Views on pktInfoFlags: each reads or rewrites only its own bits.
    bool srcIntfRoutedPort() const { return pktInfoFlags_.srcIntfRoutedPort(); }
    void srcIntfRoutedPortIs(bool v) { pktInfoFlags_.srcIntfRoutedPortIs(v); }
    bool fragmentedPkt() const { return pktInfoFlags_.fragmentedPkt(); }
    void fragmentedPktIs(bool v) { pktInfoFlags_.fragmentedPktIs(v); }
    bool dontFrag() const { return pktInfoFlags_.dontFag(); }
    void dontFragIs(bool v) { pktInfoFlags_.dontFagIs(v); }
    bool updateEntry() const { return pktInfoFlags_.updateEntry(); }
    void updateEntryIs(bool v) { pktInfoFlags_.updateEntryIs(v); }
    bool isBgpRoute() const { return pktInfoFlags_.isBgpRoute(); }
    void isBgpRouteIs(bool v) { pktInfoFlags_.isBgpRouteIs(v); }
    bool hoEntry() const { return pktInfoFlags_.hoEntry(); }
    void hoEntryIs(bool v) { pktInfoFlags_.hoEntryIs(v); }
    Wirekit::TcpDataOffsetAndFlags tcpFlags() const { return pktInfoFlags_.tcpFlags(); }
    void tcpFlagsIs(Wirekit::TcpDataOffsetAndFlags v) { pktInfoFlags_.tcpFlagsIs(v); }

  private:
    const FtId ftId_;
    const TemplateId fgId_;
    const Wirekit::IpGenAddr srcIpAddr_;
    const Wirekit::IpGenAddr dstIpAddr_;
    const Wirekit::IpProtocolNumber ipProtocol_;
    const Wirekit::Port srcPort_;
    const Wirekit::Port dstPort_;
    const Kiln::Seconds pktRcvTime_;
    const std::uint32_t inIfIndex_;
    const Wirekit::IntfId inIntfId_;
    const std::uint32_t inIfType_;
    const Bridging::VlanIdOrAnyOrNone vlanId_;
    const Wirekit::EthAddr srcEthAddr_;
    Wirekit::EthAddr inDstEthAddr_{};
    TosFlowLabel tosFlowLabel_{};
    PacketInfoFlags pktInfoFlags_{};
    std::uint64_t packets_{0};
    std::uint64_t bytes_{0};
    Vxlan::VniExtOrNone vni_{};
    TunnelState tunnelState_{TunnelState::unknown};
    Wirekit::IntfId inL3IntfId_{};
    Wirekit::IntfId outL3IntfId_{};
    L3::VrfName vrfName_{};
    Vrf::VrfIdMap::VrfId vrfId_{0xFFFFFF};
    Bridging::VlanIdOrAnyOrNone egressVlanId_{};
    Wirekit::EthAddr dstEthAddr_{};
    std::uint32_t outIfIndex_{0};
    Wirekit::IntfId nextHopIntf_{};
    Wirekit::EthAddr nextHopEthAddr_{};
    Wirekit::IpGenAddr srcNextHopIp_{0};  // family 0: no address
    Wirekit::IpGenAddr nextHopIp_{0};     // family 0: no address
    Wirekit::IpGenPrefix srcPrefix_{};
    Wirekit::IpGenPrefix dstPrefix_{};
    std::uint8_t srcMask_{0};
    std::uint8_t dstMask_{0};
    Wirekit::IpGenAddr bgpNextHopIp_{0};  // family 0: no address
    Wirekit::AutonomousSystem srcAs_{};
    Wirekit::AutonomousSystem dstAs_{};
};

// One finished or reported flow, as handed to the exporter (flowInfoFactory). All attributes
// but flowLabel and the last seven are fixed at construction.
class FlowInfo : public Loom::CrossThreadDesc {
  public:
    // The type record; registered when the library loads.
    static Kiln::KilnType _kilnType;
    const Kiln::KilnType* fwkType() const override { return &_kilnType; }
    static Kiln::AllocTrackTypeInfo kilnAllocTrackTypeInfo_;

    FlowInfo(FtId ftId, TemplateId templateId, Vrf::VrfIdMap::VrfId vrfId,
             const Wirekit::EthAddr& srcEthAddr, const Wirekit::EthAddr& dstEthAddr,
             const Wirekit::IpGenAddr& srcIpAddr, const Wirekit::IpGenAddr& dstIpAddr,
             Wirekit::IpProtocolNumber ipProtocol, std::uint8_t tos, std::uint16_t srcPort,
             std::uint16_t dstPort, Wirekit::TcpDataOffsetAndFlags tcpFlags, std::uint64_t bytes,
             std::uint64_t pkts, Kiln::Seconds startTime, Kiln::Seconds endTime,
             FlowEndReason endReason, std::uint32_t inIfIndex, std::uint32_t outIfIndex,
             std::uint32_t inIfType, Bridging::VlanIdOrAnyOrNone vlanId,
             Bridging::VlanIdOrAnyOrNone egressVlanId);
    ~FlowInfo() override;

    // Constructor attributes: fixed for the descriptor's lifetime.
    FtId ftId() const { return ftId_; }
    TemplateId templateId() const { return templateId_; }
    Vrf::VrfIdMap::VrfId vrfId() const { return vrfId_; }
    const Wirekit::EthAddr& srcEthAddr() const { return srcEthAddr_; }
    const Wirekit::EthAddr& dstEthAddr() const { return dstEthAddr_; }
    const Wirekit::IpGenAddr& srcIpAddr() const { return srcIpAddr_; }
    const Wirekit::IpGenAddr& dstIpAddr() const { return dstIpAddr_; }
    Wirekit::IpProtocolNumber ipProtocol() const { return ipProtocol_; }
    std::uint8_t tos() const { return tos_; }
    std::uint16_t srcPort() const { return srcPort_; }
    std::uint16_t dstPort() const { return dstPort_; }
    Wirekit::TcpDataOffsetAndFlags tcpFlags() const { return tcpFlags_; }
    std::uint64_t bytes() const { return bytes_; }
    std::uint64_t pkts() const { return pkts_; }
    Kiln::Seconds startTime() const { return startTime_; }
    Kiln::Seconds endTime() const { return endTime_; }
    FlowEndReason endReason() const { return endReason_; }
    std::uint32_t inIfIndex() const { return inIfIndex_; }
    std::uint32_t outIfIndex() const { return outIfIndex_; }
    std::uint32_t inIfType() const { return inIfType_; }
    Bridging::VlanIdOrAnyOrNone vlanId() const { return vlanId_; }
    Bridging::VlanIdOrAnyOrNone egressVlanId() const { return egressVlanId_; }

    // Writable attributes.
    std::uint32_t flowLabel() const { return flowLabel_; }
    void flowLabelIs(std::uint32_t v) { flowLabel_ = v; }
    std::uint32_t srcAs() const { return srcAs_; }
    void srcAsIs(std::uint32_t v) { srcAs_ = v; }
    std::uint32_t dstAs() const { return dstAs_; }
    void dstAsIs(std::uint32_t v) { dstAs_ = v; }
    const Wirekit::IpGenAddr& nextHopIp() const { return nextHopIp_; }
    void nextHopIpIs(const Wirekit::IpGenAddr& v) { nextHopIp_ = v; }
    const Wirekit::IpGenAddr& bgpNextHopIp() const { return bgpNextHopIp_; }
    void bgpNextHopIpIs(const Wirekit::IpGenAddr& v) { bgpNextHopIp_ = v; }
    std::uint8_t srcPrefixLen() const { return srcPrefixLen_; }
    void srcPrefixLenIs(std::uint8_t v) { srcPrefixLen_ = v; }
    std::uint8_t dstPrefixLen() const { return dstPrefixLen_; }
    void dstPrefixLenIs(std::uint8_t v) { dstPrefixLen_ = v; }
    Vxlan::VniExtOrNone vni() const { return vni_; }
    void vniIs(Vxlan::VniExtOrNone v) { vni_ = v; }
    TunnelState tunnelState() const { return tunnelState_; }
    void tunnelStateIs(TunnelState v) { tunnelState_ = v; }

  private:
    const FtId ftId_;
    const TemplateId templateId_;
    const Vrf::VrfIdMap::VrfId vrfId_;
    const Wirekit::EthAddr srcEthAddr_;
    const Wirekit::EthAddr dstEthAddr_;
    const Wirekit::IpGenAddr srcIpAddr_;
    const Wirekit::IpGenAddr dstIpAddr_;
    const Wirekit::IpProtocolNumber ipProtocol_;
    const std::uint8_t tos_;
    std::uint32_t flowLabel_{0};
    const std::uint16_t srcPort_;
    const std::uint16_t dstPort_;
    const Wirekit::TcpDataOffsetAndFlags tcpFlags_;
    const std::uint64_t bytes_;
    const std::uint64_t pkts_;
    const Kiln::Seconds startTime_;
    const Kiln::Seconds endTime_;
    const FlowEndReason endReason_;
    const std::uint32_t inIfIndex_;
    const std::uint32_t outIfIndex_;
    const std::uint32_t inIfType_;
    const Bridging::VlanIdOrAnyOrNone vlanId_;
    const Bridging::VlanIdOrAnyOrNone egressVlanId_;
    std::uint32_t srcAs_{0};
    std::uint32_t dstAs_{0};
    Wirekit::IpGenAddr nextHopIp_{0};     // family 0: no address
    Wirekit::IpGenAddr bgpNextHopIp_{0};  // family 0: no address
    std::uint8_t srcPrefixLen_{0};
    std::uint8_t dstPrefixLen_{0};
    Vxlan::VniExtOrNone vni_{};
    TunnelState tunnelState_{TunnelState::unknown};
};

Kiln::Ptr<PacketInfo> packetInfoFactory(FtId ftId, TemplateId fgId,
                                        const Wirekit::IpGenAddr& srcIpAddr,
                                        const Wirekit::IpGenAddr& dstIpAddr,
                                        Wirekit::IpProtocolNumber ipProtocol, Wirekit::Port srcPort,
                                        Wirekit::Port dstPort, const Kiln::Seconds& pktRcvTime,
                                        std::uint32_t inIfIndex, const Wirekit::IntfId& inIntfId,
                                        std::uint32_t inIfType, Bridging::VlanIdOrAnyOrNone vlanId,
                                        const Wirekit::EthAddr& srcEthAddr);
Kiln::Ptr<FlowInfo> flowInfoFactory(
    FtId ftId, TemplateId templateId, Vrf::VrfIdMap::VrfId vrfId,
    const Wirekit::EthAddr& srcEthAddr, const Wirekit::EthAddr& dstEthAddr,
    const Wirekit::IpGenAddr& srcIpAddr, const Wirekit::IpGenAddr& dstIpAddr,
    Wirekit::IpProtocolNumber ipProtocol, std::uint8_t tos, std::uint16_t srcPort,
    std::uint16_t dstPort, Wirekit::TcpDataOffsetAndFlags tcpFlags, std::uint64_t bytes,
    std::uint64_t pkts, Kiln::Seconds startTime, Kiln::Seconds endTime, FlowEndReason endReason,
    std::uint32_t inIfIndex, std::uint32_t outIfIndex, std::uint32_t inIfType,
    Bridging::VlanIdOrAnyOrNone vlanId, Bridging::VlanIdOrAnyOrNone egressVlanId);

}  // namespace FlowTracking
