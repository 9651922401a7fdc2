#include "contracts/HoardBase/Compatibility.h"

namespace Hoard::Compatibility {

std::string platformType(std::uint32_t code) {
    switch (code) {
        case 1:
            return "i386-linux";
        case 2:
            return "x86_64-linux";
        case 3:
            return "aarch64-linux";
        default:
            return "unknown platform " + std::to_string(code);
    }
}

}  // namespace Hoard::Compatibility
