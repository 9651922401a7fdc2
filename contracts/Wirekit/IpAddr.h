#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <ostream>

#include "contracts/Kiln/String.h"

namespace Wirekit {

// An IPv4 address, held as its 4 bytes in network order (alignment 1, so it packs into the flow
// key layouts at any offset). Plain bytes: a byte copy is an equal address.
class IpAddr {
  public:
    constexpr IpAddr() = default;
    constexpr IpAddr(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d)
        : bytes_{a, b, c, d} {}
    // From the address as a host-order number (10.0.0.1 is 0x0A000001).
    static constexpr IpAddr fromHostOrder(std::uint32_t v) {
        return IpAddr(static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16),
                      static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v));
    }
    // Parser: reads the dotted-quad text that valueToStrep writes, and nothing after it.
    IpAddr(Kiln::String::IteratorConst& pos, Kiln::String::IteratorConst end);

    constexpr std::uint32_t value() const {
        return (std::uint32_t{bytes_[0]} << 24) | (std::uint32_t{bytes_[1]} << 16) |
               (std::uint32_t{bytes_[2]} << 8) | std::uint32_t{bytes_[3]};
    }
    constexpr const std::array<std::uint8_t, 4>& bytes() const { return bytes_; }

    // Frozen: part of every flow key's hash, so shared by all processes of a table.
    std::uint32_t hash() const;

    friend constexpr bool operator==(const IpAddr&, const IpAddr&) = default;
    friend constexpr std::strong_ordering operator<=>(const IpAddr& a, const IpAddr& b) {
        return a.value() <=> b.value();
    }
    friend std::ostream& operator<<(std::ostream& os, const IpAddr& a);
    friend Kiln::String valueToStrep(const IpAddr& a);

  private:
    std::array<std::uint8_t, 4> bytes_{};
};

static_assert(sizeof(IpAddr) == 4 && alignof(IpAddr) == 1,
              "an IPv4 address packs into flow keys as 4 unaligned bytes");

}  // namespace Wirekit
