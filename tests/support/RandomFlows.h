#pragma once

// Random flow keys and records (randomRecord makes either) for round-trip and property tests. Every
// attribute gets a value from its whole range (including unnamed enumerators and non-finite times),
// so text forms and comparisons are exercised beyond the values the agent usually stores.

#include <array>
#include <bit>
#include <cstdint>
#include <random>

#include "FlowTracker/FlowTableTypes.h"
#include "FlowTracker/FtCounterTypes.h"

namespace TestSupport {

template <class Addr>
Addr randomAddr(std::mt19937_64& rng) {
    if constexpr (std::is_same_v<Addr, Wirekit::IpAddr>) {
        return Addr::fromHostOrder(static_cast<std::uint32_t>(rng()));
    } else {
        // Runs of zero words exercise the "::" compression of the address text.
        std::uint32_t w[4];
        for (auto& x : w) x = (rng() % 3 == 0) ? 0 : static_cast<std::uint32_t>(rng());
        return Addr::fromWords(w[0], w[1], w[2], w[3]);
    }
}

template <class Key>
Key randomKey(std::mt19937_64& rng) {
    using Addr = std::remove_cvref_t<decltype(Key().srcAddr())>;
    return Key(Vrf::VrfIdMap::VrfId(static_cast<std::uint32_t>(rng())),
               Bridging::VlanIdOrAnyOrNone(static_cast<std::uint16_t>(rng())),
               randomAddr<Addr>(rng), randomAddr<Addr>(rng),
               static_cast<Wirekit::IpProtocolNumber>(static_cast<std::int32_t>(rng())),
               static_cast<std::uint16_t>(rng()), static_cast<std::uint16_t>(rng()));
}

// A double from all bit patterns but NaN (a NaN record is unequal to itself).
inline double randomTime(std::mt19937_64& rng) {
    for (;;) {
        const double d = std::bit_cast<double>(rng());
        if (d == d) return d;
    }
}

inline Wirekit::EthAddr randomEth(std::mt19937_64& rng) {
    std::array<std::uint8_t, 6> b;
    for (auto& x : b) x = static_cast<std::uint8_t>(rng());
    return Wirekit::EthAddr(b);
}

// Attributes IpFlowEntry and Ip6FlowEntry share.
template <class Entry>
void fillCommonFlowAttributes(Entry& e, std::mt19937_64& rng) {
    using Addr = std::remove_cvref_t<decltype(e.srcIpAddr())>;
    e.srcEthAddrIs(randomEth(rng));
    e.egressVlanIdIs(Bridging::VlanIdOrAnyOrNone(static_cast<std::uint16_t>(rng())));
    e.dstEthAddrIs(randomEth(rng));
    e.srcIpAddrIs(randomAddr<Addr>(rng));
    e.dstIpAddrIs(randomAddr<Addr>(rng));
    e.ipProtocolIs(static_cast<Wirekit::IpProtocolNumber>(static_cast<std::int32_t>(rng())));
    e.tosIs(Wirekit::IpTos(static_cast<std::uint8_t>(rng())));
    e.tcpFlagsIs(Wirekit::TcpDataOffsetAndFlags(static_cast<std::uint16_t>(rng())));
    e.srcPortIs(static_cast<std::uint16_t>(rng()));
    e.dstPortIs(static_cast<std::uint16_t>(rng()));
    e.bytesIs(rng());
    e.pktsIs(rng());
    e.startTimeIs(randomTime(rng));
    e.lastPktTimeIs(randomTime(rng));
    e.inIfIndexIs(static_cast<std::uint32_t>(rng()));
    e.outIfIndexIs(static_cast<std::uint32_t>(rng()));
    e.inIfTypeIs(static_cast<std::uint32_t>(rng()));
    e.vniIs(Vxlan::VniExtOrNone(static_cast<std::uint32_t>(rng())));
    e.tunnelStateIs(static_cast<FlowTracking::TunnelState>(rng() % 4));  // 3 has no name
    e.entryExportedIs(rng() % 2);
}

template <class Record>
Record randomRecord(std::mt19937_64& rng) {
    using namespace FlowTracking;
    if constexpr (std::is_same_v<Record, IpFlowKey> || std::is_same_v<Record, Ip6FlowKey>) {
        return randomKey<Record>(rng);
    } else if constexpr (std::is_same_v<Record, IpFlowEntry> ||
                         std::is_same_v<Record, Ip6FlowEntry>) {
        Record e(randomKey<std::remove_cvref_t<decltype(Record().key())>>(rng));
        fillCommonFlowAttributes(e, rng);
        if constexpr (std::is_same_v<Record, IpFlowEntry>) {
            e.hwBytesIs(rng());
            e.hwPktsIs(rng());
        } else {
            e.flowLabelIs(static_cast<std::uint32_t>(rng()));
        }
        return e;
    } else if constexpr (std::is_same_v<Record, BgpFlowEntry> ||
                         std::is_same_v<Record, Bgp6FlowEntry>) {
        using Addr = std::remove_cvref_t<decltype(Record().nextHopIp())>;
        Record e(randomKey<std::remove_cvref_t<decltype(Record().key())>>(rng));
        e.srcAsIs(static_cast<std::uint32_t>(rng()));
        e.dstAsIs(static_cast<std::uint32_t>(rng()));
        e.nextHopIpIs(randomAddr<Addr>(rng));
        e.bgpNextHopIpIs(randomAddr<Addr>(rng));
        e.srcPrefixLenIs(static_cast<std::uint8_t>(rng()));
        e.dstPrefixLenIs(static_cast<std::uint8_t>(rng()));
        return e;
    } else {
        using namespace Hoard::FlowTracker;
        const FlowEntry counters(rng(), rng(), rng(), randomTime(rng));
        if constexpr (std::is_same_v<Record, FlowEntry>) {
            return counters;
        } else if constexpr (std::is_same_v<Record, FlowCounterEntry>) {
            return FlowCounterEntry(FlowCounterKey(static_cast<std::uint32_t>(rng())), counters);
        } else {
            static_assert(std::is_same_v<Record, FlowGroupCounterEntry>);
            return FlowGroupCounterEntry(
                FlowGroupCounterKey(FtId(static_cast<std::uint32_t>(rng())),
                                    TemplateId(static_cast<std::uint16_t>(rng()))),
                counters);
        }
    }
}

}  // namespace TestSupport
