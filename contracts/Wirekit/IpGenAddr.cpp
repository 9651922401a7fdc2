#include "contracts/Wirekit/IpGenAddr.h"

#include <sys/socket.h>

#include <algorithm>
#include <cstring>

#include "contracts/Kiln/TextForm.h"
#include "contracts/Wirekit/IpGenPrefix.h"

namespace Wirekit {

IpGenAddr::IpGenAddr(int family)
    : kind_(family == AF_INET ? Kind::v4 : family == AF_INET6 ? Kind::v6 : Kind::none) {}

IpGenAddr::IpGenAddr(const IpAddr& a) : kind_(Kind::v4) {
    std::copy(a.bytes().begin(), a.bytes().end(), bytes_.begin());
}

IpGenAddr::IpGenAddr(const Ip6Addr& a) : kind_(Kind::v6), bytes_(a.bytes()) {}

IpGenAddr::IpGenAddr(Kiln::String::IteratorConst& pos, Kiln::String::IteratorConst end) {
    if (end - pos >= 4 && std::memcmp(pos, "none", 4) == 0) {
        pos += 4;
        return;
    }
    // An IPv6 text has a ':' among its first few characters ("::", "fe80:", "2001:db8:").
    bool v6 = false;
    for (auto p = pos; p < end && p - pos < 5; ++p) {
        if (*p == ':') v6 = true;
        const bool hex = (*p >= '0' && *p <= '9') || (*p >= 'a' && *p <= 'f') ||
                         (*p >= 'A' && *p <= 'F');
        if (!hex && *p != ':') break;
    }
    *this = v6 ? IpGenAddr(Ip6Addr(pos, end)) : IpGenAddr(IpAddr(pos, end));
}

int IpGenAddr::family() const { return isV4() ? AF_INET : isV6() ? AF_INET6 : 0; }

IpAddr IpGenAddr::v4() const {
    return isV4() ? IpAddr(bytes_[0], bytes_[1], bytes_[2], bytes_[3]) : IpAddr();
}

Ip6Addr IpGenAddr::v6() const { return isV6() ? Ip6Addr(bytes_) : Ip6Addr(); }

Kiln::String valueToStrep(const IpGenAddr& a) {
    if (a.isV4()) return valueToStrep(a.v4());
    if (a.isV6()) return valueToStrep(a.v6());
    return Kiln::String("none");
}

std::ostream& operator<<(std::ostream& os, const IpGenAddr& a) { return os << valueToStrep(a); }

IpGenPrefix::IpGenPrefix(const IpGenAddr& addr, std::uint8_t length)
    : addr_(addr), length_(length) {
    if (length_ > addr_.maxPrefixLength()) {
        throw Kiln::RangeException("prefix length " + std::to_string(length_) +
                                   " exceeds the address");
    }
}

IpGenPrefix::IpGenPrefix(Kiln::String::IteratorConst& pos, Kiln::String::IteratorConst end)
    : addr_(pos, end) {
    if (addr_.isNone()) return;
    Kiln::needString(pos, end, "/");
    const auto at = pos;
    length_ = Kiln::parseNumber<std::uint8_t>(pos, end);
    if (length_ > addr_.maxPrefixLength()) {
        throw Kiln::RangeException("out-of-range prefix length at " + Kiln::textExcerpt(at, end));
    }
}

Kiln::String valueToStrep(const IpGenPrefix& p) {
    if (p.addr_.isNone()) return Kiln::String("none");
    return valueToStrep(p.addr_) + "/" + Kiln::valueToStrep(p.length_);
}

std::ostream& operator<<(std::ostream& os, const IpGenPrefix& p) { return os << valueToStrep(p); }

}  // namespace Wirekit
