#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <ostream>

#include "contracts/Kiln/String.h"

namespace Wirekit {

// An IPv6 address, held as its 16 bytes in network order (alignment 1). Plain bytes: a byte
// copy is an equal address. Ordered as a 128-bit big-endian number.
class Ip6Addr {
  public:
    constexpr Ip6Addr() = default;
    explicit constexpr Ip6Addr(const std::array<std::uint8_t, 16>& bytes) : bytes_(bytes) {}
    // From four host-order 32-bit words, most significant first (2001:db8:: is 0x20010DB8, 0...).
    static constexpr Ip6Addr fromWords(std::uint32_t w0, std::uint32_t w1, std::uint32_t w2,
                                       std::uint32_t w3) {
        Ip6Addr a;
        const std::uint32_t w[4] = {w0, w1, w2, w3};
        for (int i = 0; i < 16; ++i) {
            a.bytes_[i] = static_cast<std::uint8_t>(w[i / 4] >> (24 - 8 * (i % 4)));
        }
        return a;
    }
    // Parser: reads the inet_ntop text that valueToStrep writes, and nothing after it.
    Ip6Addr(Kiln::String::IteratorConst& pos, Kiln::String::IteratorConst end);

    constexpr const std::array<std::uint8_t, 16>& bytes() const { return bytes_; }
    // Word i (0..3) of the address as a host-order number.
    constexpr std::uint32_t word(int i) const {
        return (std::uint32_t{bytes_[4 * i]} << 24) | (std::uint32_t{bytes_[4 * i + 1]} << 16) |
               (std::uint32_t{bytes_[4 * i + 2]} << 8) | std::uint32_t{bytes_[4 * i + 3]};
    }

    // Frozen: part of every IPv6 flow key's hash, so shared by all processes of a table.
    std::uint32_t hash() const;

    friend constexpr bool operator==(const Ip6Addr&, const Ip6Addr&) = default;
    friend constexpr std::strong_ordering operator<=>(const Ip6Addr& a, const Ip6Addr& b) {
        return a.bytes_ <=> b.bytes_;
    }
    friend std::ostream& operator<<(std::ostream& os, const Ip6Addr& a);
    friend Kiln::String valueToStrep(const Ip6Addr& a);

  private:
    std::array<std::uint8_t, 16> bytes_{};
};

static_assert(sizeof(Ip6Addr) == 16 && alignof(Ip6Addr) == 1,
              "an IPv6 address packs into flow keys as 16 unaligned bytes");

}  // namespace Wirekit
