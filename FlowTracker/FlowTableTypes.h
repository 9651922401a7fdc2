#pragma once

// Flow keys (and, with them, the flow records): plain values stored byte for byte in the
// shared-memory tables. Their layouts, hashes, orderings and text forms are shared by every
// process that opens a table, so each is pinned by compile-time asserts or golden tests.

#include <cstdint>
#include <functional>
#include <ostream>

#include "contracts/Kiln/String.h"
#include "contracts/Kiln/TextForm.h"
#include "contracts/Kiln/ValueText.h"
#include "contracts/Wirekit/Ip6Addr.h"
#include "contracts/Wirekit/IpAddr.h"
#include "contracts/Wirekit/IpProtocolNumber.h"
#include "contracts/Wirekit/VlanIdOrAnyOrNone.h"
#include "contracts/Wirekit/VrfId.h"

namespace FlowTracking {

struct FlowKeyLayout;

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
    using BasicFlowKey::BasicFlowKey;
};

// The key of an IPv6 flow: 48 bytes, layout fixed by the table format.
class Ip6FlowKey : public BasicFlowKey<Wirekit::Ip6Addr> {
  public:
    using BasicFlowKey::BasicFlowKey;
};

// Value text: "Value('FlowTracking::IpFlowKey', ** {'vrfId': 1, 'vlanId': 0, ...})".
Kiln::String valueToStrep(const IpFlowKey& key);
Kiln::String valueToStrep(const Ip6FlowKey& key);
// Writes the value text form (not the display text).
std::ostream& operator<<(std::ostream& os, const IpFlowKey& key);
std::ostream& operator<<(std::ostream& os, const Ip6FlowKey& key);

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
