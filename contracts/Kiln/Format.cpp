#include "contracts/Kiln/Format.h"

#include <cstdarg>
#include <cstdio>

namespace Kiln {

String format(const char* fmt, ...) {
    char small[256];
    va_list args;
    va_start(args, fmt);
    va_list again;
    va_copy(again, args);
    const int needed = std::vsnprintf(small, sizeof small, fmt, args);
    va_end(args);
    if (needed < 0) {
        va_end(again);
        return String();
    }
    if (static_cast<std::size_t>(needed) < sizeof small) {
        va_end(again);
        return String(small, static_cast<std::size_t>(needed));
    }
    std::string big(static_cast<std::size_t>(needed), '\0');
    std::vsnprintf(big.data(), big.size() + 1, fmt, again);
    va_end(again);
    return String(std::move(big));
}

}  // namespace Kiln
