#pragma once

#include <cstdint>

#include "contracts/Wirekit/NumberValue.h"

namespace Wirekit {

// A transport-protocol port number, in host order. Text forms are the decimal number.
class Port : public NumberValue<Port, std::uint16_t> {
  public:
    using NumberValue::NumberValue;
};

static_assert(sizeof(Port) == 2, "Port is stored as 2 byte(s)");

}  // namespace Wirekit
