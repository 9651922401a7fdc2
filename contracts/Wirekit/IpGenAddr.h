#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <ostream>

#include "contracts/Kiln/String.h"
#include "contracts/Wirekit/Ip6Addr.h"
#include "contracts/Wirekit/IpAddr.h"

namespace Wirekit {

// An IPv4 or IPv6 address, or no address (family 0, the default). Equal when family and address
// are equal; ordered by family, then address. Text forms: the address's own text, or "none".
class IpGenAddr {
  public:
    constexpr IpGenAddr() = default;
    // The unspecified address of `family` (AF_INET or AF_INET6); any other value gives no
    // address, as 0 does.
    explicit IpGenAddr(int family);
    IpGenAddr(const IpAddr& a);   // NOLINT: an IPv4 address is an IpGenAddr
    IpGenAddr(const Ip6Addr& a);  // NOLINT: an IPv6 address is an IpGenAddr
    // Parser: "none", an IPv4 text or an IPv6 text (told apart by a ':').
    IpGenAddr(Kiln::String::IteratorConst& pos, Kiln::String::IteratorConst end);

    int family() const;  // 0, AF_INET or AF_INET6
    bool isNone() const { return kind_ == Kind::none; }
    bool isV4() const { return kind_ == Kind::v4; }
    bool isV6() const { return kind_ == Kind::v6; }
    // The address; all zero when the family differs.
    IpAddr v4() const;
    Ip6Addr v6() const;
    // Bits in the address: 0, 32 or 128.
    int maxPrefixLength() const { return isV4() ? 32 : isV6() ? 128 : 0; }

    friend bool operator==(const IpGenAddr&, const IpGenAddr&) = default;
    friend auto operator<=>(const IpGenAddr&, const IpGenAddr&) = default;
    friend std::ostream& operator<<(std::ostream& os, const IpGenAddr& a);
    friend Kiln::String valueToStrep(const IpGenAddr& a);

  private:
    enum class Kind : std::uint8_t { none = 0, v4 = 1, v6 = 2 };
    Kind kind_ = Kind::none;
    std::array<std::uint8_t, 16> bytes_{};  // the first 4 for IPv4; unused bytes stay zero
};

}  // namespace Wirekit
