#pragma once

#include <cstdint>

#include "contracts/Wirekit/NumberValue.h"

namespace Vrf {

struct VrfIdMap {
    // A VRF number, unsigned 32-bit, in host order. Text forms are the decimal number.
    class VrfId : public Wirekit::NumberValue<VrfId, std::uint32_t> {
      public:
        using NumberValue::NumberValue;
    };
};

static_assert(sizeof(VrfIdMap::VrfId) == 4, "a VRF id is stored as 4 bytes");

}  // namespace Vrf
