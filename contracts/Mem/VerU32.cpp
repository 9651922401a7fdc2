#include "contracts/Mem/VerU32.h"

#include <string>

#include "contracts/Basalt/Exception.h"

namespace Mem {

std::size_t multiplyOverflowCheck(std::size_t a, std::size_t b) {
    std::size_t product;
    if (__builtin_mul_overflow(a, b, &product)) {
        Basalt::MemoryResourceException::throwException(
            "Mem::multiplyOverflowCheck() " + std::to_string(a) + " * " + std::to_string(b) +
            " overflows");
    }
    return product;
}

}  // namespace Mem
