#pragma once

#include <cstdint>

#include "contracts/Wirekit/NumberValue.h"

namespace FlowTracking {

// The number of a flow tracker, unsigned 32-bit; 0 is not a valid tracker. Text forms are the
// decimal number.
class FtId : public Wirekit::NumberValue<FtId, std::uint32_t> {
  public:
    using NumberValue::NumberValue;
    constexpr bool valid() const { return value() != 0; }
};

static_assert(sizeof(FtId) == 4, "a tracker number is stored as 4 bytes");

}  // namespace FlowTracking
