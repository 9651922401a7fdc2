#include "FlowTracker/FlowTableTypes.h"

#include <cstddef>
#include <sstream>
#include <string>

#include "FlowTracker/TypeRegistration.h"
#include "contracts/Kiln/Hash.h"
#include "contracts/Kiln/ValueTypeDescriptor.h"

namespace FlowTracking {

// Offsets and sizes are the table file format: a change here breaks every stored table.
struct FlowKeyLayout {
    static_assert(sizeof(IpFlowKey) == 24, "IpFlowKey is 24 bytes in the table format");
    static_assert(alignof(IpFlowKey) == 4, "IpFlowKey is 4-aligned");
    static_assert(offsetof(IpFlowKey, vrfId_) == 0, "IpFlowKey.vrfId at 0");
    static_assert(offsetof(IpFlowKey, vlanId_) == 4, "IpFlowKey.vlanId at 4");
    static_assert(offsetof(IpFlowKey, srcAddr_) == 6, "IpFlowKey.srcAddr at 6");
    static_assert(offsetof(IpFlowKey, dstAddr_) == 10, "IpFlowKey.dstAddr at 10");
    static_assert(offsetof(IpFlowKey, padding_) == 14, "IpFlowKey padding at 14");
    static_assert(offsetof(IpFlowKey, ipProtocol_) == 16, "IpFlowKey.ipProtocol at 16");
    static_assert(offsetof(IpFlowKey, srcPort_) == 20, "IpFlowKey.srcPort at 20");
    static_assert(offsetof(IpFlowKey, dstPort_) == 22, "IpFlowKey.dstPort at 22");

    static_assert(sizeof(Ip6FlowKey) == 48, "Ip6FlowKey is 48 bytes in the table format");
    static_assert(alignof(Ip6FlowKey) == 4, "Ip6FlowKey is 4-aligned");
    static_assert(offsetof(Ip6FlowKey, vrfId_) == 0, "Ip6FlowKey.vrfId at 0");
    static_assert(offsetof(Ip6FlowKey, vlanId_) == 4, "Ip6FlowKey.vlanId at 4");
    static_assert(offsetof(Ip6FlowKey, srcAddr_) == 6, "Ip6FlowKey.srcAddr at 6");
    static_assert(offsetof(Ip6FlowKey, dstAddr_) == 22, "Ip6FlowKey.dstAddr at 22");
    static_assert(offsetof(Ip6FlowKey, padding_) == 38, "Ip6FlowKey padding at 38");
    static_assert(offsetof(Ip6FlowKey, ipProtocol_) == 40, "Ip6FlowKey.ipProtocol at 40");
    static_assert(offsetof(Ip6FlowKey, srcPort_) == 44, "Ip6FlowKey.srcPort at 44");
    static_assert(offsetof(Ip6FlowKey, dstPort_) == 46, "Ip6FlowKey.dstPort at 46");

    static_assert(std::is_trivially_copyable_v<IpFlowKey> &&
                      std::is_trivially_copyable_v<Ip6FlowKey>,
                  "keys are copied byte for byte into shared memory");
};

struct FlowRecordLayout {
    static_assert(sizeof(IpFlowEntry) == 136 && alignof(IpFlowEntry) == 8,
                  "IpFlowEntry is 136 bytes, 8-aligned");
    static_assert(offsetof(IpFlowEntry, key_) == 0, "IpFlowEntry.key at 0");
    static_assert(offsetof(IpFlowEntry, srcEthAddr_) == 24, "IpFlowEntry.srcEthAddr at 24");
    static_assert(offsetof(IpFlowEntry, egressVlanId_) == 30, "IpFlowEntry.egressVlanId at 30");
    static_assert(offsetof(IpFlowEntry, dstEthAddr_) == 32, "IpFlowEntry.dstEthAddr at 32");
    static_assert(offsetof(IpFlowEntry, srcIpAddr_) == 38, "IpFlowEntry.srcIpAddr at 38");
    static_assert(offsetof(IpFlowEntry, dstIpAddr_) == 42, "IpFlowEntry.dstIpAddr at 42");
    static_assert(offsetof(IpFlowEntry, ipProtocol_) == 48, "IpFlowEntry.ipProtocol at 48");
    static_assert(offsetof(IpFlowEntry, tos_) == 52, "IpFlowEntry.tos at 52");
    static_assert(offsetof(IpFlowEntry, tcpFlags_) == 53, "IpFlowEntry.tcpFlags at 53");
    static_assert(offsetof(IpFlowEntry, srcPort_) == 56, "IpFlowEntry.srcPort at 56");
    static_assert(offsetof(IpFlowEntry, dstPort_) == 58, "IpFlowEntry.dstPort at 58");
    static_assert(offsetof(IpFlowEntry, bytes_) == 64, "IpFlowEntry.bytes at 64");
    static_assert(offsetof(IpFlowEntry, pkts_) == 72, "IpFlowEntry.pkts at 72");
    static_assert(offsetof(IpFlowEntry, hwBytes_) == 80, "IpFlowEntry.hwBytes at 80");
    static_assert(offsetof(IpFlowEntry, hwPkts_) == 88, "IpFlowEntry.hwPkts at 88");
    static_assert(offsetof(IpFlowEntry, startTime_) == 96, "IpFlowEntry.startTime at 96");
    static_assert(offsetof(IpFlowEntry, lastPktTime_) == 104, "IpFlowEntry.lastPktTime at 104");
    static_assert(offsetof(IpFlowEntry, inIfIndex_) == 112, "IpFlowEntry.inIfIndex at 112");
    static_assert(offsetof(IpFlowEntry, outIfIndex_) == 116, "IpFlowEntry.outIfIndex at 116");
    static_assert(offsetof(IpFlowEntry, inIfType_) == 120, "IpFlowEntry.inIfType at 120");
    static_assert(offsetof(IpFlowEntry, vni_) == 124, "IpFlowEntry.vni at 124");
    static_assert(offsetof(IpFlowEntry, tunnelState_) == 128, "IpFlowEntry.tunnelState at 128");
    static_assert(offsetof(IpFlowEntry, entryExported_) == 132, "IpFlowEntry.entryExported at 132");
    static_assert(sizeof(Ip6FlowEntry) == 168 && alignof(Ip6FlowEntry) == 8,
                  "Ip6FlowEntry is 168 bytes, 8-aligned");
    static_assert(offsetof(Ip6FlowEntry, key_) == 0, "Ip6FlowEntry.key at 0");
    static_assert(offsetof(Ip6FlowEntry, srcEthAddr_) == 48, "Ip6FlowEntry.srcEthAddr at 48");
    static_assert(offsetof(Ip6FlowEntry, egressVlanId_) == 54, "Ip6FlowEntry.egressVlanId at 54");
    static_assert(offsetof(Ip6FlowEntry, dstEthAddr_) == 56, "Ip6FlowEntry.dstEthAddr at 56");
    static_assert(offsetof(Ip6FlowEntry, srcIpAddr_) == 62, "Ip6FlowEntry.srcIpAddr at 62");
    static_assert(offsetof(Ip6FlowEntry, dstIpAddr_) == 78, "Ip6FlowEntry.dstIpAddr at 78");
    static_assert(offsetof(Ip6FlowEntry, ipProtocol_) == 96, "Ip6FlowEntry.ipProtocol at 96");
    static_assert(offsetof(Ip6FlowEntry, tcpFlags_) == 100, "Ip6FlowEntry.tcpFlags at 100");
    static_assert(offsetof(Ip6FlowEntry, tos_) == 102, "Ip6FlowEntry.tos at 102");
    static_assert(offsetof(Ip6FlowEntry, flowLabel_) == 104, "Ip6FlowEntry.flowLabel at 104");
    static_assert(offsetof(Ip6FlowEntry, srcPort_) == 108, "Ip6FlowEntry.srcPort at 108");
    static_assert(offsetof(Ip6FlowEntry, dstPort_) == 110, "Ip6FlowEntry.dstPort at 110");
    static_assert(offsetof(Ip6FlowEntry, bytes_) == 112, "Ip6FlowEntry.bytes at 112");
    static_assert(offsetof(Ip6FlowEntry, pkts_) == 120, "Ip6FlowEntry.pkts at 120");
    static_assert(offsetof(Ip6FlowEntry, startTime_) == 128, "Ip6FlowEntry.startTime at 128");
    static_assert(offsetof(Ip6FlowEntry, lastPktTime_) == 136, "Ip6FlowEntry.lastPktTime at 136");
    static_assert(offsetof(Ip6FlowEntry, inIfIndex_) == 144, "Ip6FlowEntry.inIfIndex at 144");
    static_assert(offsetof(Ip6FlowEntry, outIfIndex_) == 148, "Ip6FlowEntry.outIfIndex at 148");
    static_assert(offsetof(Ip6FlowEntry, inIfType_) == 152, "Ip6FlowEntry.inIfType at 152");
    static_assert(offsetof(Ip6FlowEntry, vni_) == 156, "Ip6FlowEntry.vni at 156");
    static_assert(offsetof(Ip6FlowEntry, tunnelState_) == 160, "Ip6FlowEntry.tunnelState at 160");
    static_assert(offsetof(Ip6FlowEntry, entryExported_) == 164,
                  "Ip6FlowEntry.entryExported at 164");
    static_assert(sizeof(BgpFlowEntry) == 44 && alignof(BgpFlowEntry) == 4,
                  "BgpFlowEntry is 44 bytes, 4-aligned");
    static_assert(offsetof(BgpFlowEntry, key_) == 0, "BgpFlowEntry.key at 0");
    static_assert(offsetof(BgpFlowEntry, srcAs_) == 24, "BgpFlowEntry.srcAs at 24");
    static_assert(offsetof(BgpFlowEntry, dstAs_) == 28, "BgpFlowEntry.dstAs at 28");
    static_assert(offsetof(BgpFlowEntry, nextHopIp_) == 32, "BgpFlowEntry.nextHopIp at 32");
    static_assert(offsetof(BgpFlowEntry, bgpNextHopIp_) == 36, "BgpFlowEntry.bgpNextHopIp at 36");
    static_assert(offsetof(BgpFlowEntry, srcPrefixLen_) == 40, "BgpFlowEntry.srcPrefixLen at 40");
    static_assert(offsetof(BgpFlowEntry, dstPrefixLen_) == 41, "BgpFlowEntry.dstPrefixLen at 41");
    static_assert(sizeof(Bgp6FlowEntry) == 92 && alignof(Bgp6FlowEntry) == 4,
                  "Bgp6FlowEntry is 92 bytes, 4-aligned");
    static_assert(offsetof(Bgp6FlowEntry, key_) == 0, "Bgp6FlowEntry.key at 0");
    static_assert(offsetof(Bgp6FlowEntry, srcAs_) == 48, "Bgp6FlowEntry.srcAs at 48");
    static_assert(offsetof(Bgp6FlowEntry, dstAs_) == 52, "Bgp6FlowEntry.dstAs at 52");
    static_assert(offsetof(Bgp6FlowEntry, nextHopIp_) == 56, "Bgp6FlowEntry.nextHopIp at 56");
    static_assert(offsetof(Bgp6FlowEntry, bgpNextHopIp_) == 72, "Bgp6FlowEntry.bgpNextHopIp at 72");
    static_assert(offsetof(Bgp6FlowEntry, srcPrefixLen_) == 88, "Bgp6FlowEntry.srcPrefixLen at 88");
    static_assert(offsetof(Bgp6FlowEntry, dstPrefixLen_) == 89, "Bgp6FlowEntry.dstPrefixLen at 89");
    static_assert(std::is_trivially_copyable_v<IpFlowEntry> &&
                      std::is_trivially_copyable_v<Ip6FlowEntry> &&
                      std::is_trivially_copyable_v<BgpFlowEntry> &&
                      std::is_trivially_copyable_v<Bgp6FlowEntry>,
                  "records are copied byte for byte into shared memory");
};

template <class Addr>
BasicFlowKey<Addr>::BasicFlowKey(Kiln::String::IteratorConst& pos,
                                 Kiln::String::IteratorConst end) {
    Kiln::ValueText::read(typeName, *this, pos, end);
}

template <class Addr>
std::uint32_t BasicFlowKey<Addr>::hash(std::uint32_t seed) const {
    Kiln::Hash h(seed);
    h.hashMix<4>(vrfId_.value());
    h.hashMix<4>(Kiln::hashSingleAttr(0, vlanId_));
    h.hashMix<4>(srcAddr_.hash());
    h.hashMix<4>(dstAddr_.hash());
    h.hashMix<4>(static_cast<std::uint32_t>(ipProtocol_));
    h.hashMix<2>(srcPort_);
    h.hashMix<2>(dstPort_);
    return h.result();
}

template <class Addr>
Kiln::String BasicFlowKey<Addr>::str() const {
    std::ostringstream os;
    os << " vrf: " << vrfId_ << ", vlan: " << vlanId_ << ", src: " << srcAddr_
       << ", dst: " << dstAddr_ << ", proto: " << ipProtocol_ << ", srcPort: " << srcPort_
       << ", dstPort: " << dstPort_;
    return Kiln::String(os.str());
}

template class BasicFlowKey<Wirekit::IpAddr>;
template class BasicFlowKey<Wirekit::Ip6Addr>;

Kiln::String valueToStrep(const IpFlowKey& key) {
    return Kiln::ValueText::write(IpFlowKey::typeName, key);
}
Kiln::String valueToStrep(const Ip6FlowKey& key) {
    return Kiln::ValueText::write(Ip6FlowKey::typeName, key);
}
std::ostream& operator<<(std::ostream& os, const IpFlowKey& key) { return os << valueToStrep(key); }
std::ostream& operator<<(std::ostream& os, const Ip6FlowKey& key) {
    return os << valueToStrep(key);
}

#define FLOW_RECORD_TEXT(Record)                                                                  \
    Record::Record(Kiln::String::IteratorConst& pos, Kiln::String::IteratorConst end) {           \
        Kiln::ValueText::read(typeName, *this, pos, end);                                         \
    }                                                                                             \
    Kiln::String Record::str() const { return Kiln::String(" " #Record " key: ") + key().str(); } \
    Kiln::String valueToStrep(const Record& e) {                                                  \
        return Kiln::ValueText::write(Record::typeName, e);                                       \
    }                                                                                             \
    std::ostream& operator<<(std::ostream& os, const Record& e) { return os << valueToStrep(e); }

FLOW_RECORD_TEXT(IpFlowEntry)
FLOW_RECORD_TEXT(Ip6FlowEntry)
FLOW_RECORD_TEXT(BgpFlowEntry)
FLOW_RECORD_TEXT(Bgp6FlowEntry)

#undef FLOW_RECORD_TEXT

// ---- Type records ----------------------------------------------------------------------------

constinit Kiln::KilnType IpFlowKey::_kilnType{typeNameOf(LibraryType::ipFlowKey)};
constinit Kiln::KilnType Ip6FlowKey::_kilnType{typeNameOf(LibraryType::ip6FlowKey)};
constinit Kiln::KilnType IpFlowEntry::_kilnType{typeNameOf(LibraryType::ipFlowEntry)};
constinit Kiln::KilnType Ip6FlowEntry::_kilnType{typeNameOf(LibraryType::ip6FlowEntry)};
constinit Kiln::KilnType BgpFlowEntry::_kilnType{typeNameOf(LibraryType::bgpFlowEntry)};
constinit Kiln::KilnType Bgp6FlowEntry::_kilnType{typeNameOf(LibraryType::bgp6FlowEntry)};

// The names the tables write into their headers are the registered names.
static_assert(typeNameOf(LibraryType::ipFlowKey) == IpFlowKey::typeName);
static_assert(typeNameOf(LibraryType::ip6FlowKey) == Ip6FlowKey::typeName);
static_assert(typeNameOf(LibraryType::ipFlowEntry) == IpFlowEntry::typeName);
static_assert(typeNameOf(LibraryType::ip6FlowEntry) == Ip6FlowEntry::typeName);
static_assert(typeNameOf(LibraryType::bgpFlowEntry) == BgpFlowEntry::typeName);
static_assert(typeNameOf(LibraryType::bgp6FlowEntry) == Bgp6FlowEntry::typeName);

namespace {

using Access = Kiln::KilnType::Access;

// The key's attributes 2 to 8 (fixed at construction) and what generic code asks of a key:
// its display text, the protocol as a plain number, its table hash.
template <class Key, class Addr>
void describeFlowKey() {
    Kiln::ValueTypeDescriptor<Key>(Key::_kilnType)
        .key()
        .template ctorArgs<typename Key::VrfId, typename Key::VlanId, Addr, Addr,
                           Wirekit::IpProtocolNumber, std::uint16_t, std::uint16_t>()
        .textAttributes(2, Access::readOnly)
        .function(9, "str", &Key::str)
        .readOnly(10, "ipProtocolNumber", &Key::ipProtocolNumber)
        .function(11, "hash", [](const Key& key) { return key.hash(0); })
        .install();
}

// A flow record: its key fixed (attribute 2), the rest writable, then its display text. Made
// from its key alone.
template <class Record, class Key>
void describeFlowRecord(std::uint32_t strNumber) {
    Kiln::ValueTypeDescriptor<Record>(Record::_kilnType)
        .template ctorArgs<Key>()
        .textAttributes(2, Access::readWrite, {"key"})
        .function(strNumber, "str", &Record::str)
        .install();
}

}  // namespace

void describeFlowTableValueTypes() {
    describeFlowKey<IpFlowKey, Wirekit::IpAddr>();
    describeFlowKey<Ip6FlowKey, Wirekit::Ip6Addr>();
    describeFlowRecord<IpFlowEntry, IpFlowKey>(25);
    describeFlowRecord<Ip6FlowEntry, Ip6FlowKey>(24);
    describeFlowRecord<BgpFlowEntry, IpFlowKey>(9);
    describeFlowRecord<Bgp6FlowEntry, Ip6FlowKey>(9);
}

}  // namespace FlowTracking
