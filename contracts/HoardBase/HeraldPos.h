#pragma once

#include <cstdint>

namespace Hoard {

// A position in a table's change-notification queue: the sequence number of one notification.
// The writer numbers its notifications 1, 2, 3, ... for as long as the queue file keeps its
// identity (fenix and format epoch); 0 means "no notification". Positions never wrap in
// practice (2^64 notifications), so a larger position is always a later notification.
using HeraldPos = std::uint64_t;

// The position that names no notification.
inline constexpr HeraldPos noHeraldPos = 0;

}  // namespace Hoard
