#pragma once

#include <cstdint>
#include <ostream>
#include <string>

namespace Hoard {

// The mode a process opens a table in: the single writer, or one of the three reader kinds.
// Stored as a 32-bit number; a value outside 0..3 is not a valid mode.
enum HoardType : std::uint32_t { writer = 0, shadow = 1, reader = 2, keyshadow = 3 };

// "writer", "shadow", "reader", "keyshadow"; "" for any other value.
inline std::string hoardTypeText(HoardType t) {
    switch (t) {
        case writer:
            return "writer";
        case shadow:
            return "shadow";
        case reader:
            return "reader";
        case keyshadow:
            return "keyshadow";
    }
    return "";
}

inline std::ostream& operator<<(std::ostream& os, HoardType t) { return os << hoardTypeText(t); }

}  // namespace Hoard
