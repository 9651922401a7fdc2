#include "contracts/Wirekit/EthAddr.h"

#include <cstdio>
#include <string>

#include "contracts/Kiln/TextForm.h"

namespace Wirekit {

EthAddr::EthAddr(Kiln::String::IteratorConst& pos, Kiln::String::IteratorConst end) {
    constexpr std::ptrdiff_t kLength = 17;  // "xx:xx:xx:xx:xx:xx"
    auto fail = [&]() {
        throw Kiln::RangeException("expected a MAC address at " + Kiln::textExcerpt(pos, end));
    };
    if (end - pos < kLength) fail();
    for (int i = 0; i < 6; ++i) {
        const char* p = pos + 3 * i;
        const int hi = Kiln::hexDigitValue(p[0]), lo = Kiln::hexDigitValue(p[1]);
        if (hi < 0 || lo < 0 || (i < 5 && p[2] != ':')) fail();
        bytes_[i] = static_cast<std::uint8_t>(hi * 16 + lo);
    }
    pos += kLength;
}

Kiln::String valueToStrep(const EthAddr& a) {
    char buf[18];
    std::snprintf(buf, sizeof buf, "%02x:%02x:%02x:%02x:%02x:%02x", a.bytes_[0], a.bytes_[1],
                  a.bytes_[2], a.bytes_[3], a.bytes_[4], a.bytes_[5]);
    return Kiln::String(buf, 17);
}

std::ostream& operator<<(std::ostream& os, const EthAddr& a) { return os << valueToStrep(a); }

}  // namespace Wirekit
