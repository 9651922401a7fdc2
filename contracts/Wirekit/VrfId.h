#pragma once

#include <compare>
#include <cstdint>
#include <ostream>

#include "contracts/Kiln/String.h"
#include "contracts/Kiln/TextForm.h"

namespace Vrf {

struct VrfIdMap {
    // A VRF number, unsigned 32-bit, in host order. Text forms are the decimal number.
    class VrfId {
      public:
        constexpr VrfId() = default;
        explicit constexpr VrfId(std::uint32_t value) : value_(value) {}
        VrfId(Kiln::String::IteratorConst& pos, Kiln::String::IteratorConst end)
            : value_(Kiln::parseNumber<std::uint32_t>(pos, end)) {}

        constexpr std::uint32_t value() const { return value_; }

        friend constexpr bool operator==(VrfId, VrfId) = default;
        friend constexpr auto operator<=>(VrfId, VrfId) = default;
        friend std::ostream& operator<<(std::ostream& os, VrfId v) { return os << v.value_; }
        friend Kiln::String valueToStrep(VrfId v) { return Kiln::valueToStrep(v.value_); }

      private:
        std::uint32_t value_ = 0;
    };
};

static_assert(sizeof(VrfIdMap::VrfId) == 4, "a VRF id is stored as 4 bytes");

}  // namespace Vrf
