#pragma once

#include "contracts/HoardBase/Hash.h"

namespace Hoard {

// Everything a table needs to know about its key and value types, bundled as one type argument:
// the key operations (key of a value, hash, equality, order) and the change-notification writer
// the table's writer feeds. Tables built with Herald::DummyHeraldWriter have no queue, so readers
// cannot follow them in shadow modes.
template <class K, class V, bool seedZero, class HeraldT>
struct Ops : KeyOps<K, V, seedZero> {
    using Herald = HeraldT;
    static constexpr bool hasQueue = !HeraldT::isDummy;
    static constexpr bool hashSeedZero = seedZero;
};

}  // namespace Hoard
