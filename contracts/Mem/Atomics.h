#pragma once

// The loads and stores through which shared-memory words are published and read.
//
// The writer publishes with release stores and readers load with acquire loads, through
// std::atomic_ref on the mapped words; record bytes are copied as relaxed 64-bit words so that a
// copy racing with the writer is a data race on atomics (defined, possibly torn across words),
// which the reader's re-check then rejects. On x86-64 all of this compiles to plain moves.
//
// Readers map files PROT_READ: a load through atomic_ref never writes, so the const_cast below
// is only a way to name the word.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace Mem::Atomics {

// False when the processor cannot do lock-free 16-, 32- and 64-bit loads and stores.
bool checkCpuSupport();

template <class T>
    requires(std::is_integral_v<T> && sizeof(T) <= 8)
inline void storeRelease(T& word, T value) {
    std::atomic_ref<T>(word).store(value, std::memory_order_release);
}

template <class T>
    requires(std::is_integral_v<T> && sizeof(T) <= 8)
inline void storeRelaxed(T& word, T value) {
    std::atomic_ref<T>(word).store(value, std::memory_order_relaxed);
}

template <class T>
    requires(std::is_integral_v<T> && sizeof(T) <= 8)
inline T loadAcquire(const T& word) {
    return std::atomic_ref<T>(const_cast<T&>(word)).load(std::memory_order_acquire);
}

template <class T>
    requires(std::is_integral_v<T> && sizeof(T) <= 8)
inline T loadRelaxed(const T& word) {
    return std::atomic_ref<T>(const_cast<T&>(word)).load(std::memory_order_relaxed);
}

// Copies `bytes` bytes of record data between 8-aligned locations (a slot's value and a local
// buffer, or two slots) as relaxed 64-bit words. `bytes` is rounded up to whole words: slots and
// local buffers are padded to a multiple of 8. Callers that need the copy ordered after earlier
// stores put a release fence before it; readers put an acquire fence after it, before their
// re-check.
inline void copyWordsRelaxed(void* dst, const void* src, std::size_t bytes) {
    auto* d = static_cast<std::uint64_t*>(dst);
    const auto* s = static_cast<const std::uint64_t*>(src);
    for (std::size_t i = 0, n = (bytes + 7) / 8; i < n; ++i) {
        storeRelaxed(d[i], loadRelaxed(s[i]));
    }
}

}  // namespace Mem::Atomics
