#pragma once

#include <cstdint>

namespace Hoard {

// Where an iteration stands: the status word of the slot last returned (as it was then), the
// slot's index and its bucket. When the slot's status is unchanged the next step follows its link
// directly; otherwise the step searches the key's run again.
struct IterHint {
    std::uint32_t status = 0;
    std::uint32_t slot = 0xFFFFFFFFu;
    std::uint32_t bucket = 0;
};

}  // namespace Hoard
