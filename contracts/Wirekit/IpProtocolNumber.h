#pragma once

#include <cstdint>
#include <ostream>

#include "contracts/Kiln/String.h"

namespace Wirekit {

// The IP protocol number as a 32-bit enumeration. Values without a name are valid; text forms
// are the signed decimal number, so every stored value reads back unchanged.
enum IpProtocolNumber : std::int32_t {
    ipProtoIcmp = 1,
    ipProtoIgmp = 2,
    ipProtoTcp = 6,
    ipProtoUdp = 17,
    ipProtoGre = 47,
    ipProtoEsp = 50,
    ipProtoAh = 51,
    ipProtoIcmpv6 = 58,
    ipProtoSctp = 132,
    ipProtoReserved = 255,
};

std::ostream& operator<<(std::ostream& os, IpProtocolNumber p);
Kiln::String valueToStrep(IpProtocolNumber p);
// Parser hook for Kiln::deserializeAttr: a signed 32-bit decimal number.
IpProtocolNumber sequenceToValue(Kiln::String::IteratorConst& pos, Kiln::String::IteratorConst end,
                                 IpProtocolNumber* /*type*/);

}  // namespace Wirekit
