#pragma once

#include <cstdint>
#include <ostream>

#include "contracts/Kiln/String.h"
#include "contracts/Kiln/TextForm.h"

namespace Wirekit {

// A 16-bit number held in network byte order, alignment 1 (it sits at odd offsets in records).
class NetU16 {
  public:
    constexpr NetU16() = default;
    explicit constexpr NetU16(std::uint16_t hostValue)
        : bytes_{static_cast<std::uint8_t>(hostValue >> 8), static_cast<std::uint8_t>(hostValue)} {}
    constexpr std::uint16_t value() const {
        return static_cast<std::uint16_t>((bytes_[0] << 8) | bytes_[1]);
    }
    friend constexpr bool operator==(const NetU16&, const NetU16&) = default;

  private:
    std::uint8_t bytes_[2] = {0, 0};
};

// The TCP data-offset-and-flags word (data offset in the top 4 bits, then reserved bits and the
// flags), kept in network byte order as on the wire. Text forms are its host-order value in
// decimal.
class TcpDataOffsetAndFlags {
  public:
    constexpr TcpDataOffsetAndFlags() = default;
    explicit constexpr TcpDataOffsetAndFlags(std::uint16_t hostValue) : word_(hostValue) {}
    TcpDataOffsetAndFlags(Kiln::String::IteratorConst& pos, Kiln::String::IteratorConst end)
        : word_(Kiln::parseNumber<std::uint16_t>(pos, end)) {}

    constexpr std::uint16_t value() const { return word_.value(); }
    constexpr NetU16 netValue() const { return word_; }

    friend constexpr bool operator==(const TcpDataOffsetAndFlags&,
                                     const TcpDataOffsetAndFlags&) = default;
    friend std::ostream& operator<<(std::ostream& os, const TcpDataOffsetAndFlags& v) {
        return os << v.value();
    }
    friend Kiln::String valueToStrep(const TcpDataOffsetAndFlags& v) {
        return Kiln::valueToStrep(v.value());
    }

  private:
    NetU16 word_;
};

static_assert(sizeof(TcpDataOffsetAndFlags) == 2 && alignof(TcpDataOffsetAndFlags) == 1,
              "the TCP flags word is 2 unaligned bytes in network order");

}  // namespace Wirekit
