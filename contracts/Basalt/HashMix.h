#pragma once

#include <cstddef>
#include <cstdint>

namespace Basalt::Impl {

// Byte-wise hash mixing, defined for each supported hash word type.
template <typename T>
struct HashMix;

// 32-bit FNV-1a. The values are stable across processes and builds: they may be stored in
// shared memory and compared by other processes.
template <>
struct HashMix<uint32_t> {
    static constexpr uint32_t offsetBasis = 0x811C9DC5u;
    static constexpr uint32_t prime = 16777619u;

    static constexpr uint32_t mix(uint32_t h, uint8_t byte) {
        h ^= byte;
        h *= prime;
        return h;
    }

    // Mixes `len` bytes at `data` in memory order (so the result for a multi-byte integer
    // depends on the host's byte order).
    static uint32_t mixFixedLen(uint32_t h, const void* data, std::size_t len) {
        const auto* bytes = static_cast<const uint8_t*>(data);
        for (std::size_t i = 0; i < len; ++i) h = mix(h, bytes[i]);
        return h;
    }
};

}  // namespace Basalt::Impl
