#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <ostream>

#include "contracts/Kiln/String.h"

namespace Wirekit {

// A MAC address: 6 bytes in wire order, alignment 1. Text forms: "00:11:22:33:44:55".
class EthAddr {
  public:
    constexpr EthAddr() = default;
    explicit constexpr EthAddr(const std::array<std::uint8_t, 6>& bytes) : bytes_(bytes) {}
    // Parser: exactly six two-digit hexadecimal groups separated by ':'.
    EthAddr(Kiln::String::IteratorConst& pos, Kiln::String::IteratorConst end);

    constexpr const std::array<std::uint8_t, 6>& bytes() const { return bytes_; }
    constexpr bool isZero() const { return bytes_ == std::array<std::uint8_t, 6>{}; }

    friend constexpr bool operator==(const EthAddr&, const EthAddr&) = default;
    friend constexpr auto operator<=>(const EthAddr&, const EthAddr&) = default;
    friend std::ostream& operator<<(std::ostream& os, const EthAddr& a);
    friend Kiln::String valueToStrep(const EthAddr& a);

  private:
    std::array<std::uint8_t, 6> bytes_{};
};

static_assert(sizeof(EthAddr) == 6 && alignof(EthAddr) == 1, "a MAC address is 6 unaligned bytes");

}  // namespace Wirekit
