#include "contracts/Mem/Atomics.h"

namespace Mem::Atomics {

bool checkCpuSupport() {
    return std::atomic_ref<std::uint16_t>::is_always_lock_free &&
           std::atomic_ref<std::uint32_t>::is_always_lock_free &&
           std::atomic_ref<std::uint64_t>::is_always_lock_free;
}

}  // namespace Mem::Atomics
