#pragma once

#include <cstdint>

namespace Basalt::Util {

// Bit reversal of a 32-bit word: bit 0 <-> bit 31, bit 1 <-> bit 30, and so on.
constexpr uint32_t reverse(uint32_t x) {
    x = (x >> 16) | (x << 16);
    x = ((x & 0xFF00FF00u) >> 8) | ((x & 0x00FF00FFu) << 8);
    x = ((x & 0xF0F0F0F0u) >> 4) | ((x & 0x0F0F0F0Fu) << 4);
    x = ((x & 0xCCCCCCCCu) >> 2) | ((x & 0x33333333u) << 2);
    x = ((x & 0xAAAAAAAAu) >> 1) | ((x & 0x55555555u) << 1);
    return x;
}

}  // namespace Basalt::Util
