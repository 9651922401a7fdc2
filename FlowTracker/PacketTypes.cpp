#include "FlowTracker/PacketTypes.h"

#include <new>

#include "FlowTracker/TypeRegistration.h"
#include "contracts/Kiln/ValueTypeDescriptor.h"

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

// The packed words are plain values; their attributes (the word, then its fields) are
// numbered in declaration order and are all writable. The descriptors are counted objects
// made by their factories: generic code reads and writes their attributes (the constructor's
// read-only, the rest writable, numbered in declaration order) and sees them as their bases,
// but neither copies, prints nor compares them. The enumerations have no attributes.
void describePacketTypes() {
    Kiln::ValueTypeDescriptor<PacketInfoFlags>(PacketInfoFlags::_kilnType)
        .ctorArgs<std::uint32_t>()
        .readWrite("value", &PacketInfoFlags::value, &PacketInfoFlags::valueIs)
        .readWrite("srcIntfRoutedPort", &PacketInfoFlags::srcIntfRoutedPort,
                   &PacketInfoFlags::srcIntfRoutedPortIs)
        .readWrite("fragmentedPkt", &PacketInfoFlags::fragmentedPkt,
                   &PacketInfoFlags::fragmentedPktIs)
        .readWrite("dontFag", &PacketInfoFlags::dontFag, &PacketInfoFlags::dontFagIs)
        .readWrite("updateEntry", &PacketInfoFlags::updateEntry, &PacketInfoFlags::updateEntryIs)
        .readWrite("isBgpRoute", &PacketInfoFlags::isBgpRoute, &PacketInfoFlags::isBgpRouteIs)
        .readWrite("hoEntry", &PacketInfoFlags::hoEntry, &PacketInfoFlags::hoEntryIs)
        .readWrite("tcpFlags", &PacketInfoFlags::tcpFlags, &PacketInfoFlags::tcpFlagsIs)
        .install();
    Kiln::ValueTypeDescriptor<TosFlowLabel>(TosFlowLabel::_kilnType)
        .ctorArgs<std::uint32_t>()
        .readWrite("value", &TosFlowLabel::value, &TosFlowLabel::valueIs)
        .readWrite("trafficClass", &TosFlowLabel::trafficClass, &TosFlowLabel::trafficClassIs)
        .readWrite("flowLabel", &TosFlowLabel::flowLabel, &TosFlowLabel::flowLabelIs)
        .install();

    using P = PacketInfo;
    Kiln::ValueTypeDescriptor<P>(P::_kilnType)
        .bases<Loom::CrossThreadDesc, Kiln::PtrInterface>()
        .readOnly("ftId", &P::ftId)
        .readOnly("fgId", &P::fgId)
        .readOnly("srcIpAddr", &P::srcIpAddr)
        .readOnly("dstIpAddr", &P::dstIpAddr)
        .readOnly("ipProtocol", &P::ipProtocol)
        .readOnly("srcPort", &P::srcPort)
        .readOnly("dstPort", &P::dstPort)
        .readOnly("pktRcvTime", &P::pktRcvTime)
        .readOnly("inIfIndex", &P::inIfIndex)
        .readOnly("inIntfId", &P::inIntfId)
        .readOnly("inIfType", &P::inIfType)
        .readOnly("vlanId", &P::vlanId)
        .readOnly("srcEthAddr", &P::srcEthAddr)
        .readWrite("inDstEthAddr", &P::inDstEthAddr, &P::inDstEthAddrIs)
        .readWrite("tosFlowLabel", &P::tosFlowLabel, &P::tosFlowLabelIs)
        .readWrite("pktInfoFlags", &P::pktInfoFlags, &P::pktInfoFlagsIs)
        .readWrite("packets", &P::packets, &P::packetsIs)
        .readWrite("bytes", &P::bytes, &P::bytesIs)
        .readWrite("vni", &P::vni, &P::vniIs)
        .readWrite("tunnelState", &P::tunnelState, &P::tunnelStateIs)
        .readWrite("inL3IntfId", &P::inL3IntfId, &P::inL3IntfIdIs)
        .readWrite("outL3IntfId", &P::outL3IntfId, &P::outL3IntfIdIs)
        .readWrite("vrfName", &P::vrfName, &P::vrfNameIs)
        .readWrite("vrfId", &P::vrfId, &P::vrfIdIs)
        .readWrite("egressVlanId", &P::egressVlanId, &P::egressVlanIdIs)
        .readWrite("dstEthAddr", &P::dstEthAddr, &P::dstEthAddrIs)
        .readWrite("outIfIndex", &P::outIfIndex, &P::outIfIndexIs)
        .readWrite("nextHopIntf", &P::nextHopIntf, &P::nextHopIntfIs)
        .readWrite("nextHopEthAddr", &P::nextHopEthAddr, &P::nextHopEthAddrIs)
        .readWrite("srcNextHopIp", &P::srcNextHopIp, &P::srcNextHopIpIs)
        .readWrite("nextHopIp", &P::nextHopIp, &P::nextHopIpIs)
        .readWrite("srcPrefix", &P::srcPrefix, &P::srcPrefixIs)
        .readWrite("dstPrefix", &P::dstPrefix, &P::dstPrefixIs)
        .readWrite("srcMask", &P::srcMask, &P::srcMaskIs)
        .readWrite("dstMask", &P::dstMask, &P::dstMaskIs)
        .readWrite("bgpNextHopIp", &P::bgpNextHopIp, &P::bgpNextHopIpIs)
        .readWrite("srcAs", &P::srcAs, &P::srcAsIs)
        .readWrite("dstAs", &P::dstAs, &P::dstAsIs)
        .readWrite("srcIntfRoutedPort", &P::srcIntfRoutedPort, &P::srcIntfRoutedPortIs)
        .readWrite("fragmentedPkt", &P::fragmentedPkt, &P::fragmentedPktIs)
        .readWrite("dontFrag", &P::dontFrag, &P::dontFragIs)
        .readWrite("updateEntry", &P::updateEntry, &P::updateEntryIs)
        .readWrite("isBgpRoute", &P::isBgpRoute, &P::isBgpRouteIs)
        .readWrite("hoEntry", &P::hoEntry, &P::hoEntryIs)
        .readWrite("tcpFlags", &P::tcpFlags, &P::tcpFlagsIs)
        .install();

    using F = FlowInfo;
    Kiln::ValueTypeDescriptor<F>(F::_kilnType)
        .bases<Loom::CrossThreadDesc, Kiln::PtrInterface>()
        .readOnly("ftId", &F::ftId)
        .readOnly("templateId", &F::templateId)
        .readOnly("vrfId", &F::vrfId)
        .readOnly("srcEthAddr", &F::srcEthAddr)
        .readOnly("dstEthAddr", &F::dstEthAddr)
        .readOnly("srcIpAddr", &F::srcIpAddr)
        .readOnly("dstIpAddr", &F::dstIpAddr)
        .readOnly("ipProtocol", &F::ipProtocol)
        .readOnly("tos", &F::tos)
        .readOnly("srcPort", &F::srcPort)
        .readOnly("dstPort", &F::dstPort)
        .readOnly("tcpFlags", &F::tcpFlags)
        .readOnly("bytes", &F::bytes)
        .readOnly("pkts", &F::pkts)
        .readOnly("startTime", &F::startTime)
        .readOnly("endTime", &F::endTime)
        .readOnly("endReason", &F::endReason)
        .readOnly("inIfIndex", &F::inIfIndex)
        .readOnly("outIfIndex", &F::outIfIndex)
        .readOnly("inIfType", &F::inIfType)
        .readOnly("vlanId", &F::vlanId)
        .readOnly("egressVlanId", &F::egressVlanId)
        .readWrite("flowLabel", &F::flowLabel, &F::flowLabelIs)
        .readWrite("srcAs", &F::srcAs, &F::srcAsIs)
        .readWrite("dstAs", &F::dstAs, &F::dstAsIs)
        .readWrite("nextHopIp", &F::nextHopIp, &F::nextHopIpIs)
        .readWrite("bgpNextHopIp", &F::bgpNextHopIp, &F::bgpNextHopIpIs)
        .readWrite("srcPrefixLen", &F::srcPrefixLen, &F::srcPrefixLenIs)
        .readWrite("dstPrefixLen", &F::dstPrefixLen, &F::dstPrefixLenIs)
        .readWrite("vni", &F::vni, &F::vniIs)
        .readWrite("tunnelState", &F::tunnelState, &F::tunnelStateIs)
        .install();

    Kiln::ValueTypeDescriptor<FlowEndReason>(flowEndReasonKilnType).install();
    Kiln::ValueTypeDescriptor<TunnelState>(tunnelStateKilnType).install();
}

void registerPacketTypes() {
    describePacketTypes();
    for (Kiln::KilnType* type :
         {&tunnelStateKilnType, &flowEndReasonKilnType, &FlowInfo::_kilnType,
          &PacketInfoFlags::_kilnType, &PacketInfo::_kilnType, &TosFlowLabel::_kilnType}) {
        Kiln::typeNodeIs(*type);
    }
}

}  // namespace FlowTracking
