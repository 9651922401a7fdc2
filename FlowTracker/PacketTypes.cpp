#include "FlowTracker/PacketTypes.h"

#include <new>

#include "FlowTracker/TypeRegistration.h"

namespace FlowTracking {

// ---- Enumerations ------------------------------------------------------------------------------

const Kiln::EnumType<unsigned>& flowEndReasonType() {
    static const Kiln::EnumType<unsigned> type("FlowTracking::FlowEndReason",
                                               {{1, "idleTimeout"},
                                                {2, "activeTimeout"},
                                                {3, "endOfFlow"},
                                                {4, "forcedEnd"},
                                                {5, "lackOfResources"}});
    return type;
}

const Kiln::EnumType<unsigned>& tunnelStateType() {
    static const Kiln::EnumType<unsigned> type(
        "FlowTracking::TunnelState", {{0, "unknown"}, {1, "vxlanEncap"}, {2, "vxlanDecap"}});
    return type;
}

namespace {

template <class E>
std::optional<E> instance(const Kiln::EnumType<unsigned>& type, unsigned value) {
    if (type.find(value) == nullptr) return std::nullopt;
    return static_cast<E>(value);
}

template <class E>
std::optional<E> instance(const Kiln::EnumType<unsigned>& type, const Kiln::String& name) {
    const auto* e = type.find(name.view());
    if (e == nullptr) return std::nullopt;
    return static_cast<E>(e->value);
}

}  // namespace

std::optional<FlowEndReason> FlowEndReasonInstance(unsigned value) {
    return instance<FlowEndReason>(flowEndReasonType(), value);
}
std::optional<FlowEndReason> FlowEndReasonInstance(const Kiln::String& name) {
    return instance<FlowEndReason>(flowEndReasonType(), name);
}
std::optional<TunnelState> TunnelStateInstance(unsigned value) {
    return instance<TunnelState>(tunnelStateType(), value);
}
std::optional<TunnelState> TunnelStateInstance(const Kiln::String& name) {
    return instance<TunnelState>(tunnelStateType(), name);
}

Kiln::String stringValue(FlowEndReason v) {
    return flowEndReasonType().text(static_cast<unsigned>(v));
}
Kiln::String stringValue(TunnelState v) { return tunnelStateType().text(static_cast<unsigned>(v)); }
Kiln::String valueToStrep(FlowEndReason v) { return stringValue(v); }
Kiln::String valueToStrep(TunnelState v) { return stringValue(v); }
std::ostream& operator<<(std::ostream& os, FlowEndReason v) { return os << stringValue(v); }
std::ostream& operator<<(std::ostream& os, TunnelState v) { return os << stringValue(v); }

FlowEndReason sequenceToValue(Kiln::String::IteratorConst& pos, Kiln::String::IteratorConst end,
                              FlowEndReason*) {
    return static_cast<FlowEndReason>(flowEndReasonType().parse(pos, end));
}
TunnelState sequenceToValue(Kiln::String::IteratorConst& pos, Kiln::String::IteratorConst end,
                            TunnelState*) {
    return static_cast<TunnelState>(tunnelStateType().parse(pos, end));
}

// ---- Packed words ------------------------------------------------------------------------------

PacketInfoFlags::PacketInfoFlags(Kiln::String::IteratorConst& pos, Kiln::String::IteratorConst end)
    : value_(Kiln::deserializeAttr<std::uint32_t>(pos, end, "value")) {}

TosFlowLabel::TosFlowLabel(Kiln::String::IteratorConst& pos, Kiln::String::IteratorConst end)
    : value_(Kiln::deserializeAttr<std::uint32_t>(pos, end, "value")) {}

// ---- Descriptors -------------------------------------------------------------------------------

Kiln::AllocTrackTypeInfo PacketInfo::kilnAllocTrackTypeInfo_;
Kiln::AllocTrackTypeInfo FlowInfo::kilnAllocTrackTypeInfo_;

PacketInfo::PacketInfo(FtId ftId, TemplateId fgId, const Wirekit::IpGenAddr& srcIpAddr,
                       const Wirekit::IpGenAddr& dstIpAddr, Wirekit::IpProtocolNumber ipProtocol,
                       Wirekit::Port srcPort, Wirekit::Port dstPort,
                       const Kiln::Seconds& pktRcvTime, std::uint32_t inIfIndex,
                       const Wirekit::IntfId& inIntfId, std::uint32_t inIfType,
                       Bridging::VlanIdOrAnyOrNone vlanId, const Wirekit::EthAddr& srcEthAddr)
    : ftId_(ftId),
      fgId_(fgId),
      srcIpAddr_(srcIpAddr),
      dstIpAddr_(dstIpAddr),
      ipProtocol_(ipProtocol),
      srcPort_(srcPort),
      dstPort_(dstPort),
      pktRcvTime_(pktRcvTime),
      inIfIndex_(inIfIndex),
      inIntfId_(inIntfId),
      inIfType_(inIfType),
      vlanId_(vlanId),
      srcEthAddr_(srcEthAddr) {}

FlowInfo::FlowInfo(FtId ftId, TemplateId templateId, Vrf::VrfIdMap::VrfId vrfId,
                   const Wirekit::EthAddr& srcEthAddr, const Wirekit::EthAddr& dstEthAddr,
                   const Wirekit::IpGenAddr& srcIpAddr, const Wirekit::IpGenAddr& dstIpAddr,
                   Wirekit::IpProtocolNumber ipProtocol, std::uint8_t tos, std::uint16_t srcPort,
                   std::uint16_t dstPort, Wirekit::TcpDataOffsetAndFlags tcpFlags,
                   std::uint64_t bytes, std::uint64_t pkts, Kiln::Seconds startTime,
                   Kiln::Seconds endTime, FlowEndReason endReason, std::uint32_t inIfIndex,
                   std::uint32_t outIfIndex, std::uint32_t inIfType,
                   Bridging::VlanIdOrAnyOrNone vlanId, Bridging::VlanIdOrAnyOrNone egressVlanId)
    : ftId_(ftId),
      templateId_(templateId),
      vrfId_(vrfId),
      srcEthAddr_(srcEthAddr),
      dstEthAddr_(dstEthAddr),
      srcIpAddr_(srcIpAddr),
      dstIpAddr_(dstIpAddr),
      ipProtocol_(ipProtocol),
      tos_(tos),
      srcPort_(srcPort),
      dstPort_(dstPort),
      tcpFlags_(tcpFlags),
      bytes_(bytes),
      pkts_(pkts),
      startTime_(startTime),
      endTime_(endTime),
      endReason_(endReason),
      inIfIndex_(inIfIndex),
      outIfIndex_(outIfIndex),
      inIfType_(inIfType),
      vlanId_(vlanId),
      egressVlanId_(egressVlanId) {}

PacketInfo::~PacketInfo() {
    Kiln::AllocTrackTypeInfo::trackDeallocation(&kilnAllocTrackTypeInfo_, sizeof(PacketInfo));
}

FlowInfo::~FlowInfo() {
    Kiln::AllocTrackTypeInfo::trackDeallocation(&kilnAllocTrackTypeInfo_, sizeof(FlowInfo));
}

namespace {

// Counts the allocation, constructs the descriptor in the runtime's heap (PtrInterface's
// operator new), and switches notification on. A constructor that throws leaves nothing counted
// and nothing allocated.
template <class T, class... Args>
Kiln::Ptr<T> makeTracked(Args&&... args) {
    Kiln::AllocTrackTypeInfo::trackAllocation(&T::kilnAllocTrackTypeInfo_, typeid(T), sizeof(T));
    T* object;
    try {
        object = new T(std::forward<Args>(args)...);
    } catch (...) {
        Kiln::AllocTrackTypeInfo::trackDeallocation(&T::kilnAllocTrackTypeInfo_, sizeof(T));
        throw;
    }
    object->hasNotificationActiveIs(true);
    return Kiln::Ptr<T>(object);
}

}  // namespace

Kiln::Ptr<PacketInfo> packetInfoFactory(FtId ftId, TemplateId fgId,
                                        const Wirekit::IpGenAddr& srcIpAddr,
                                        const Wirekit::IpGenAddr& dstIpAddr,
                                        Wirekit::IpProtocolNumber ipProtocol, Wirekit::Port srcPort,
                                        Wirekit::Port dstPort, const Kiln::Seconds& pktRcvTime,
                                        std::uint32_t inIfIndex, const Wirekit::IntfId& inIntfId,
                                        std::uint32_t inIfType, Bridging::VlanIdOrAnyOrNone vlanId,
                                        const Wirekit::EthAddr& srcEthAddr) {
    return makeTracked<PacketInfo>(ftId, fgId, srcIpAddr, dstIpAddr, ipProtocol, srcPort, dstPort,
                                   pktRcvTime, inIfIndex, inIntfId, inIfType, vlanId, srcEthAddr);
}

Kiln::Ptr<FlowInfo> flowInfoFactory(
    FtId ftId, TemplateId templateId, Vrf::VrfIdMap::VrfId vrfId,
    const Wirekit::EthAddr& srcEthAddr, const Wirekit::EthAddr& dstEthAddr,
    const Wirekit::IpGenAddr& srcIpAddr, const Wirekit::IpGenAddr& dstIpAddr,
    Wirekit::IpProtocolNumber ipProtocol, std::uint8_t tos, std::uint16_t srcPort,
    std::uint16_t dstPort, Wirekit::TcpDataOffsetAndFlags tcpFlags, std::uint64_t bytes,
    std::uint64_t pkts, Kiln::Seconds startTime, Kiln::Seconds endTime, FlowEndReason endReason,
    std::uint32_t inIfIndex, std::uint32_t outIfIndex, std::uint32_t inIfType,
    Bridging::VlanIdOrAnyOrNone vlanId, Bridging::VlanIdOrAnyOrNone egressVlanId) {
    return makeTracked<FlowInfo>(ftId, templateId, vrfId, srcEthAddr, dstEthAddr, srcIpAddr,
                                 dstIpAddr, ipProtocol, tos, srcPort, dstPort, tcpFlags, bytes,
                                 pkts, startTime, endTime, endReason, inIfIndex, outIfIndex,
                                 inIfType, vlanId, egressVlanId);
}

// ---- Type registration -----------------------------------------------------------------------

constinit Kiln::KilnType flowEndReasonKilnType{typeNameOf(LibraryType::flowEndReason)};
constinit Kiln::KilnType tunnelStateKilnType{typeNameOf(LibraryType::tunnelState)};
constinit Kiln::KilnType PacketInfoFlags::_kilnType{typeNameOf(LibraryType::packetInfoFlags)};
constinit Kiln::KilnType TosFlowLabel::_kilnType{typeNameOf(LibraryType::tosFlowLabel)};
constinit Kiln::KilnType PacketInfo::_kilnType{typeNameOf(LibraryType::packetInfo),
                                               {&Loom::CrossThreadDesc::_kilnType}};
constinit Kiln::KilnType FlowInfo::_kilnType{typeNameOf(LibraryType::flowInfo),
                                             {&Loom::CrossThreadDesc::_kilnType}};

void describePacketTypes() {}

void registerPacketTypes() {
    describePacketTypes();
    for (Kiln::KilnType* type :
         {&tunnelStateKilnType, &flowEndReasonKilnType, &FlowInfo::_kilnType,
          &PacketInfoFlags::_kilnType, &PacketInfo::_kilnType, &TosFlowLabel::_kilnType}) {
        Kiln::typeNodeIs(*type);
    }
}

}  // namespace FlowTracking
