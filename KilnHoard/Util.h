#pragma once

#include "contracts/Kiln/Entity.h"
#include "contracts/Kiln/String.h"

namespace KilnSharedMem::Util {

// The entity's path from the root of its tree: the names joined by '/'.
inline Kiln::String fullName(const Kiln::Entity* entity) { return entity->fullName(); }

}  // namespace KilnSharedMem::Util
