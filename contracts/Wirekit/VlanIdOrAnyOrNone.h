#pragma once

#include <cstdint>
#include <ostream>

#include "contracts/Wirekit/NumberValue.h"

namespace Bridging {

// A VLAN identifier that can also stand for "no VLAN" (0) or "any VLAN" (0xFFFF); 16 bits in
// host order. The value text is the 16-bit number, so every stored value reads back unchanged;
// the display text names the two special values.
class VlanIdOrAnyOrNone : public Wirekit::NumberValue<VlanIdOrAnyOrNone, std::uint16_t> {
  public:
    static constexpr std::uint16_t noneValue = 0;
    static constexpr std::uint16_t anyValue = 0xFFFF;

    using NumberValue::NumberValue;
    static constexpr VlanIdOrAnyOrNone any() { return VlanIdOrAnyOrNone(anyValue); }
    static constexpr VlanIdOrAnyOrNone none() { return VlanIdOrAnyOrNone(noneValue); }

    constexpr bool isAny() const { return value() == anyValue; }
    constexpr bool isNone() const { return value() == noneValue; }

    void print(std::ostream& os) const {
        if (isNone()) {
            os << "none";
        } else if (isAny()) {
            os << "any";
        } else {
            os << value();
        }
    }
};

static_assert(sizeof(VlanIdOrAnyOrNone) == 2 && alignof(VlanIdOrAnyOrNone) == 2,
              "a VLAN id is stored as 2 bytes at an even offset");

}  // namespace Bridging
