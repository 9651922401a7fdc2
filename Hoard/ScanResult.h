#pragma once

#include <cstdint>

namespace Hoard {

// What a slot-order scan did: how many records it handed out, and whether one may have been
// handed out twice (a shrink moved records while the scan ran).
struct ScanResult {
    std::uint64_t records = 0;
    bool mayRepeat = false;
};

}  // namespace Hoard
