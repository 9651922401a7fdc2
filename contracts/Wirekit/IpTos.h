#pragma once

#include <cstdint>

#include "contracts/Wirekit/NumberValue.h"

namespace Wirekit {

// The IPv4 type-of-service byte (the IPv6 traffic class), in host order. Text forms are the decimal number.
class IpTos : public NumberValue<IpTos, std::uint8_t> {
  public:
    using NumberValue::NumberValue;
};

static_assert(sizeof(IpTos) == 1, "IpTos is stored as 1 byte(s)");

}  // namespace Wirekit
