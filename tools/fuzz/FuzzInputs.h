#pragma once

// The inputs of the fuzz harnesses (tests/fuzz/*Fuzz.cpp), shared with the seed-corpus writer
// (tools/fuzz/SeedCorpora.cpp) that makes their seeds: the byte layout of a table input, and the
// value text parsers a value text input chooses from.
//
// A table input is the files of one table, one after the other:
//     u32 slots length, the slots file, u32 buckets length, the buckets file, the herald file
// (lengths little-endian; a length past the end of the input takes what is left).
//
// A value text input is one byte choosing the parser (modulo their count), then the text.
//
// Thread safety: none; a harness runs on libFuzzer's one thread.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "contracts/Basalt/TraceSink.h"
#include "contracts/Config/FtId.h"
#include "contracts/Config/TemplateId.h"
#include "contracts/Kiln/KilnType.h"
#include "contracts/Kiln/TextForm.h"
#include "contracts/Kiln/ValueText.h"
#include "contracts/Wirekit/AutonomousSystem.h"
#include "contracts/Wirekit/EthAddr.h"
#include "contracts/Wirekit/Ip6Addr.h"
#include "contracts/Wirekit/IpAddr.h"
#include "contracts/Wirekit/IpGenAddr.h"
#include "contracts/Wirekit/IpGenPrefix.h"
#include "contracts/Wirekit/IpProtocolNumber.h"
#include "contracts/Wirekit/IpTos.h"
#include "contracts/Wirekit/Port.h"
#include "contracts/Wirekit/TcpDataOffsetAndFlags.h"
#include "contracts/Wirekit/TextValue.h"
#include "contracts/Wirekit/VlanIdOrAnyOrNone.h"
#include "contracts/Wirekit/VniExtOrNone.h"
#include "contracts/Wirekit/VrfId.h"
#include "contracts/Wirekit/VrfName.h"

namespace FuzzSupport {

// ---- Table inputs ------------------------------------------------------------------------------

struct TableInput {
    std::string_view slots, buckets, herald;
};

inline std::string_view takeFile(const std::uint8_t*& pos, const std::uint8_t* end) {
    std::uint32_t length = 0;
    const std::size_t have = static_cast<std::size_t>(end - pos);
    std::memcpy(&length, pos, have < 4 ? have : 4);
    pos += have < 4 ? have : 4;
    const std::size_t take = std::min<std::size_t>(length, static_cast<std::size_t>(end - pos));
    std::string_view file(reinterpret_cast<const char*>(pos), take);
    pos += take;
    return file;
}

inline TableInput splitTableInput(const std::uint8_t* data, std::size_t size) {
    const std::uint8_t* pos = data;
    const std::uint8_t* end = data + size;
    TableInput in;
    in.slots = takeFile(pos, end);
    in.buckets = takeFile(pos, end);
    in.herald =
        std::string_view(reinterpret_cast<const char*>(pos), static_cast<std::size_t>(end - pos));
    return in;
}

inline std::string joinTableInput(const std::string& slots, const std::string& buckets,
                                  const std::string& herald) {
    std::string out;
    for (const std::string* file : {&slots, &buckets}) {
        const auto length = static_cast<std::uint32_t>(file->size());
        out.append(reinterpret_cast<const char*>(&length), 4);
        out += *file;
    }
    return out + herald;
}

class NullSink : public Basalt::TraceSink {
  public:
    void write(std::string_view, int, const char*, int, const char*, std::string_view) override {}
};

// ---- Observing what was read -------------------------------------------------------------------

// Everything a harness reads is folded in here, and the sum is handed to an empty asm statement
// the compiler must assume reads it: no read can be optimised away.
struct Sink {
    std::uint64_t sum = 0xCBF29CE484222325ull;
    void fold(const void* bytes, std::size_t size) {
        const auto* p = static_cast<const unsigned char*>(bytes);
        for (std::size_t i = 0; i < size; ++i) sum = (sum ^ p[i]) * 0x100000001B3ull;
    }
    void fold(std::uint64_t v) { fold(&v, sizeof v); }
    void fold(std::string_view s) { fold(s.data(), s.size()); }
    void observe() const { asm volatile("" : : "r"(sum) : "memory"); }
};

// ---- Value texts -------------------------------------------------------------------------------

// One parser under test: its name and the round trip of one text, which returns false when the
// text does not parse (a Kiln::RangeException) and aborts when what parsed does not come back
// equal (text -> value -> text -> value).
struct ValueTextTarget {
    std::string name;
    std::function<bool(const std::string& text, Sink& sink)> roundTrip;
    // The value text of a sample value (its default for registered types).
    std::function<std::string()> sample;
};

template <class T>
ValueTextTarget networkTarget(const char* name, T sampleValue) {
    auto parse = [](const std::string& text) {
        const Kiln::String s(text);
        return Kiln::strepToValue<T>(s);
    };
    return {name,
            [parse](const std::string& text, Sink& sink) {
                T first;
                try {
                    first = parse(text);
                } catch (const Kiln::RangeException&) {
                    return false;
                }
                const std::string once = Kiln::attributeToStrep(first).stdString();
                const T second = parse(once);  // a printed value must parse
                // A NaN is equal to nothing; it must come back a NaN of the same sign.
                bool same = second == first;
                if constexpr (std::is_floating_point_v<T>) {
                    same = same || (std::isnan(first) && std::isnan(second) &&
                                    std::signbit(first) == std::signbit(second));
                }
                if (!same) std::abort();
                if (Kiln::attributeToStrep(second).stdString() != once) std::abort();
                sink.fold(once);
                return true;
            },
            [sampleValue] { return Kiln::attributeToStrep(sampleValue).stdString(); }};
}

// A registered value type through its record only (construct, strepToValue, strRep, isEqual).
inline ValueTextTarget registeredTarget(const Kiln::KilnType& type) {
    // Raw storage for any registered value type (they are small and trivially copyable).
    struct alignas(16) Storage {
        unsigned char bytes[512];
    };
    const Kiln::GenericIf::Table& g = *type.genericIf();
    auto parse = [&type, &g](Storage& s, const std::string& text) {
        g.construct(s.bytes, nullptr);
        try {
            g.strepToValue(s.bytes, Kiln::String(text), type);
        } catch (...) {
            g.destruct(s.bytes);
            throw;
        }
    };
    return {std::string(type.name()),
            [&type, &g, parse](const std::string& text, Sink& sink) {
                Storage first, second;
                try {
                    parse(first, text);
                } catch (const Kiln::RangeException&) {
                    return false;
                }
                const std::string once = g.strRep(first.bytes, type).stdString();
                parse(second, once);  // a printed value must parse
                const std::string twice = g.strRep(second.bytes, type).stdString();
                bool equal = false;
                if (g.attributeOp(&equal, first.bytes, 0, Kiln::GenericIf::isEqual, second.bytes,
                                  nullptr) != Kiln::GenericIf::success) {
                    std::abort();
                }
                // A NaN double is equal to nothing, itself included; then the texts decide.
                const bool nan = once.find("nan") != std::string::npos;
                if ((!equal && !nan) || twice != once) std::abort();
                sink.fold(once);
                g.destruct(first.bytes);
                g.destruct(second.bytes);
                return true;
            },
            [&type, &g] {
                Storage s;
                g.construct(s.bytes, nullptr);
                std::string text = g.strRep(s.bytes, type).stdString();
                g.destruct(s.bytes);
                return text;
            }};
}

// Every parser: the registered value types with a text form (by name), then the network and
// number value types their attributes are made of. A value text input is one byte choosing the
// target (modulo their count), then the text.
inline const std::vector<ValueTextTarget>& valueTextTargets() {
    static const std::vector<ValueTextTarget> targets = [] {
        std::vector<ValueTextTarget> out;
        std::vector<const Kiln::KilnType*> registered;
        for (const Kiln::KilnType* type : Kiln::types()) {
            const Kiln::GenericIf::Table* g = type->genericIf();
            if (g != nullptr && g->construct != nullptr && g->destruct != nullptr &&
                g->strRep != nullptr && g->strepToValue != nullptr &&
                g->newEntityForDir == nullptr) {
                registered.push_back(type);
            }
        }
        std::sort(registered.begin(), registered.end(),
                  [](const auto* a, const auto* b) { return a->name() < b->name(); });
        for (const Kiln::KilnType* type : registered) out.push_back(registeredTarget(*type));
        out.push_back(networkTarget("Wirekit::IpAddr", Wirekit::IpAddr(10, 1, 2, 3)));
        out.push_back(
            networkTarget("Wirekit::Ip6Addr", Wirekit::Ip6Addr::fromWords(0x20010db8, 0, 0, 1)));
        out.push_back(
            networkTarget("Wirekit::IpGenAddr", Wirekit::IpGenAddr(Wirekit::IpAddr(10, 0, 0, 1))));
        out.push_back(networkTarget("Wirekit::IpGenPrefix", Wirekit::IpGenPrefix()));
        out.push_back(networkTarget("Wirekit::EthAddr", Wirekit::EthAddr()));
        out.push_back(networkTarget("Wirekit::IpProtocolNumber", Wirekit::ipProtoTcp));
        out.push_back(
            networkTarget("Wirekit::TcpDataOffsetAndFlags", Wirekit::TcpDataOffsetAndFlags()));
        out.push_back(networkTarget("Wirekit::IntfId", Wirekit::IntfId("Ethernet1")));
        out.push_back(networkTarget("L3::VrfName", L3::VrfName("default")));
        out.push_back(networkTarget("Vrf::VrfIdMap::VrfId", Vrf::VrfIdMap::VrfId(7)));
        out.push_back(
            networkTarget("Bridging::VlanIdOrAnyOrNone", Bridging::VlanIdOrAnyOrNone(100)));
        out.push_back(networkTarget("Vxlan::VniExtOrNone", Vxlan::VniExtOrNone()));
        out.push_back(networkTarget("Wirekit::Port", Wirekit::Port(443)));
        out.push_back(networkTarget("Wirekit::AutonomousSystem", Wirekit::AutonomousSystem(65001)));
        out.push_back(networkTarget("Wirekit::IpTos", Wirekit::IpTos(0x10)));
        out.push_back(networkTarget("FlowTracking::FtId", FlowTracking::FtId(1)));
        out.push_back(networkTarget("FlowTracking::TemplateId", FlowTracking::TemplateId(5)));
        out.push_back(networkTarget("double", 1234.5));
        out.push_back(networkTarget("bool", true));
        out.push_back(networkTarget("std::uint64_t", std::uint64_t{18446744073709551615ull}));
        return out;
    }();
    return targets;
}

}  // namespace FuzzSupport
