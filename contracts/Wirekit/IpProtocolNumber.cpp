#include "contracts/Wirekit/IpProtocolNumber.h"

#include <string>

#include "contracts/Kiln/TextForm.h"

namespace Wirekit {

std::ostream& operator<<(std::ostream& os, IpProtocolNumber p) {
    return os << static_cast<std::int32_t>(p);
}

Kiln::String valueToStrep(IpProtocolNumber p) {
    return Kiln::String(std::to_string(static_cast<std::int32_t>(p)));
}

IpProtocolNumber sequenceToValue(Kiln::String::IteratorConst& pos, Kiln::String::IteratorConst end,
                                 IpProtocolNumber*) {
    return static_cast<IpProtocolNumber>(Kiln::parseNumber<std::int32_t>(pos, end));
}

}  // namespace Wirekit
