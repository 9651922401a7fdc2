#pragma once

#include <cstdint>
#include <ostream>

namespace Hoard {

// Where an iteration stands: the status word of the slot last returned (as it was then), the
// slot's index and its bucket. When the slot's status is unchanged and the slot still holds the
// key the step starts from, the next step follows its link directly; otherwise it searches the
// key's run again. (An unchanged status alone proves nothing: a shrink releases slots and a later
// growth formats them again with the status counter restarted.)
struct IterHint {
    std::uint32_t status = 0;
    std::uint32_t slot = 0xFFFFFFFFu;
    std::uint32_t bucket = 0;
};

// The form traces print a hint in, all three fields decimal: "hint(status:<status> slot:<slot>
// bucket:<bucket>)", e.g. "hint(status:13 slot:4 bucket:7)"; a hint that names no slot yet
// shows slot:4294967295.
inline std::ostream& operator<<(std::ostream& os, const IterHint& hint) {
    return os << "hint(status:" << hint.status << " slot:" << hint.slot << " bucket:" << hint.bucket
              << ")";
}

}  // namespace Hoard
