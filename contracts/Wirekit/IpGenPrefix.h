#pragma once

#include <compare>
#include <cstdint>
#include <ostream>

#include "contracts/Kiln/String.h"
#include "contracts/Wirekit/IpGenAddr.h"

namespace Wirekit {

// A route prefix: an IpGenAddr and a length within the family's bits; all zero (no address,
// length 0) by default. Text forms: "10.0.0.0/8", "2001:db8::/32", or "none".
class IpGenPrefix {
  public:
    IpGenPrefix() = default;
    // Raises Kiln::RangeException when `length` exceeds the family's bits.
    IpGenPrefix(const IpGenAddr& addr, std::uint8_t length);
    IpGenPrefix(Kiln::String::IteratorConst& pos, Kiln::String::IteratorConst end);

    const IpGenAddr& addr() const { return addr_; }
    std::uint8_t length() const { return length_; }

    friend bool operator==(const IpGenPrefix&, const IpGenPrefix&) = default;
    friend auto operator<=>(const IpGenPrefix&, const IpGenPrefix&) = default;
    friend std::ostream& operator<<(std::ostream& os, const IpGenPrefix& p);
    friend Kiln::String valueToStrep(const IpGenPrefix& p);

  private:
    IpGenAddr addr_;
    std::uint8_t length_ = 0;
};

}  // namespace Wirekit
