#pragma once

#include <compare>
#include <cstdint>
#include <ostream>

#include "contracts/Kiln/String.h"
#include "contracts/Kiln/TextForm.h"

namespace Bridging {

// A VLAN identifier that can also stand for "no VLAN" (0) or "any VLAN" (0xFFFF); 16 bits in
// host order. The value text is the 16-bit number, so every stored value reads back unchanged;
// the display text names the two special values.
class VlanIdOrAnyOrNone {
  public:
    static constexpr std::uint16_t noneValue = 0;
    static constexpr std::uint16_t anyValue = 0xFFFF;

    constexpr VlanIdOrAnyOrNone() = default;
    explicit constexpr VlanIdOrAnyOrNone(std::uint16_t value) : value_(value) {}
    VlanIdOrAnyOrNone(Kiln::String::IteratorConst& pos, Kiln::String::IteratorConst end)
        : value_(Kiln::parseNumber<std::uint16_t>(pos, end)) {}
    static constexpr VlanIdOrAnyOrNone any() { return VlanIdOrAnyOrNone(anyValue); }
    static constexpr VlanIdOrAnyOrNone none() { return VlanIdOrAnyOrNone(noneValue); }

    constexpr std::uint16_t value() const { return value_; }
    constexpr bool isAny() const { return value_ == anyValue; }
    constexpr bool isNone() const { return value_ == noneValue; }

    friend constexpr bool operator==(VlanIdOrAnyOrNone, VlanIdOrAnyOrNone) = default;
    friend constexpr auto operator<=>(VlanIdOrAnyOrNone, VlanIdOrAnyOrNone) = default;
    friend std::ostream& operator<<(std::ostream& os, VlanIdOrAnyOrNone v) {
        if (v.isNone()) return os << "none";
        if (v.isAny()) return os << "any";
        return os << v.value_;
    }
    friend Kiln::String valueToStrep(VlanIdOrAnyOrNone v) { return Kiln::valueToStrep(v.value_); }

  private:
    std::uint16_t value_ = noneValue;
};

static_assert(sizeof(VlanIdOrAnyOrNone) == 2 && alignof(VlanIdOrAnyOrNone) == 2,
              "a VLAN id is stored as 2 bytes at an even offset");

}  // namespace Bridging
