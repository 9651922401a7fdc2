#pragma once

#include <cstdint>

#include "contracts/Wirekit/NumberValue.h"

namespace Wirekit {

// An autonomous system number, in host order. Text forms are the decimal number.
class AutonomousSystem : public NumberValue<AutonomousSystem, std::uint32_t> {
  public:
    using NumberValue::NumberValue;
};

static_assert(sizeof(AutonomousSystem) == 4, "AutonomousSystem is stored as 4 byte(s)");

}  // namespace Wirekit
