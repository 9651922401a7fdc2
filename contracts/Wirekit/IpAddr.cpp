#include "contracts/Wirekit/IpAddr.h"

#include <arpa/inet.h>

#include <cstring>

#include "contracts/Kiln/Hash.h"
#include "contracts/Kiln/TextForm.h"
#include "contracts/Wirekit/Ip6Addr.h"

namespace Wirekit {

namespace {

// Copies the run of characters that can belong to an address (at most `maxLength`) into a
// NUL-terminated buffer for inet_pton, and parses it. Consumes exactly that run.
template <std::size_t kBuffer>
void parseAddress(Kiln::String::IteratorConst& pos, Kiln::String::IteratorConst end, int family,
                  void* out, const char* what) {
    auto isAddressChar = [family](char c) {
        if ((c >= '0' && c <= '9') || c == '.') return true;
        return family == AF_INET6 &&
               ((c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == ':');
    };
    auto stop = pos;
    while (stop < end && isAddressChar(*stop) && static_cast<std::size_t>(stop - pos) < kBuffer) {
        ++stop;
    }
    const auto length = static_cast<std::size_t>(stop - pos);
    char buf[kBuffer + 1];
    if (length == 0 || length >= kBuffer) {
        throw Kiln::RangeException(std::string("expected ") + what + " at " +
                                   Kiln::textExcerpt(pos, end));
    }
    std::memcpy(buf, pos, length);
    buf[length] = '\0';
    if (inet_pton(family, buf, out) != 1) {
        throw Kiln::RangeException(std::string("expected ") + what + " at " +
                                   Kiln::textExcerpt(pos, end));
    }
    pos = stop;
}

}  // namespace

IpAddr::IpAddr(Kiln::String::IteratorConst& pos, Kiln::String::IteratorConst end) {
    parseAddress<INET_ADDRSTRLEN>(pos, end, AF_INET, bytes_.data(), "an IPv4 address");
}

std::uint32_t IpAddr::hash() const {
    Kiln::Hash h(0);
    h.hashMix<4>(value());
    return h.result();
}

std::ostream& operator<<(std::ostream& os, const IpAddr& a) {
    char buf[INET_ADDRSTRLEN];
    return os << inet_ntop(AF_INET, a.bytes_.data(), buf, sizeof buf);
}

Kiln::String valueToStrep(const IpAddr& a) {
    char buf[INET_ADDRSTRLEN];
    return Kiln::String(inet_ntop(AF_INET, a.bytes_.data(), buf, sizeof buf));
}

Ip6Addr::Ip6Addr(Kiln::String::IteratorConst& pos, Kiln::String::IteratorConst end) {
    parseAddress<INET6_ADDRSTRLEN>(pos, end, AF_INET6, bytes_.data(), "an IPv6 address");
}

std::uint32_t Ip6Addr::hash() const {
    Kiln::Hash h(0);
    for (int i = 0; i < 4; ++i) h.hashMix<4>(word(i));
    return h.result();
}

std::ostream& operator<<(std::ostream& os, const Ip6Addr& a) {
    char buf[INET6_ADDRSTRLEN];
    return os << inet_ntop(AF_INET6, a.bytes_.data(), buf, sizeof buf);
}

Kiln::String valueToStrep(const Ip6Addr& a) {
    char buf[INET6_ADDRSTRLEN];
    return Kiln::String(inet_ntop(AF_INET6, a.bytes_.data(), buf, sizeof buf));
}

}  // namespace Wirekit
