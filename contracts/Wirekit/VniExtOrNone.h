#pragma once

#include <cstdint>
#include <ostream>

#include "contracts/Wirekit/NumberValue.h"

namespace Vxlan {

// A VXLAN network identifier, or none (all bits set, the default). The value text is the
// decimal number (4294967295 for none); the display text says "none".
class VniExtOrNone : public Wirekit::NumberValue<VniExtOrNone, std::uint32_t> {
  public:
    static constexpr std::uint32_t noneValue = 0xFFFFFFFF;

    constexpr VniExtOrNone() : NumberValue(noneValue) {}
    using NumberValue::NumberValue;

    constexpr bool isNone() const { return value() == noneValue; }
    void print(std::ostream& os) const {
        if (isNone()) {
            os << "none";
        } else {
            os << value();
        }
    }
};

static_assert(sizeof(VniExtOrNone) == 4, "a VNI is stored as 4 bytes");

}  // namespace Vxlan
