#include "FlowTracker/FlowTableTypes.h"

#include <cstddef>
#include <sstream>
#include <string>

#include "contracts/Kiln/Hash.h"

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
std::ostream& operator<<(std::ostream& os, const IpFlowKey& key) {
    return os << valueToStrep(key);
}
std::ostream& operator<<(std::ostream& os, const Ip6FlowKey& key) {
    return os << valueToStrep(key);
}

}  // namespace FlowTracking
