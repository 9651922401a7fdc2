#pragma once

#include <compare>
#include <concepts>
#include <ostream>

#include "contracts/Kiln/String.h"
#include "contracts/Kiln/TextForm.h"

namespace Wirekit {

// What every one-number value type shares (VRF ids, VLAN ids, ports, AS numbers, tracker and
// template numbers): the number in host order and nothing else, so a byte copy is an equal value;
// ordering as the unsigned number; value text and display text as the decimal number; a parser
// that reads that number back.
//
// A derived type may print itself differently by declaring `void print(std::ostream&) const`.
template <class Derived, std::unsigned_integral T>
class NumberValue {
  public:
    using ValueType = T;

    constexpr NumberValue() = default;
    explicit constexpr NumberValue(T value) : value_(value) {}
    NumberValue(Kiln::String::IteratorConst& pos, Kiln::String::IteratorConst end)
        : value_(Kiln::parseNumber<T>(pos, end)) {}

    constexpr T value() const { return value_; }

    void print(std::ostream& os) const { os << Kiln::valueToStrep(value_); }

    friend constexpr bool operator==(const Derived& a, const Derived& b) {
        return a.value_ == b.value_;
    }
    friend constexpr std::strong_ordering operator<=>(const Derived& a, const Derived& b) {
        return a.value_ <=> b.value_;
    }
    friend std::ostream& operator<<(std::ostream& os, const Derived& v) {
        v.print(os);
        return os;
    }
    friend Kiln::String valueToStrep(const Derived& v) { return Kiln::valueToStrep(v.value_); }

  private:
    T value_{};
};

}  // namespace Wirekit
