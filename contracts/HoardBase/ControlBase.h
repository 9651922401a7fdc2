#pragma once

#include "contracts/Mem/CollectionDescriptor.h"

namespace Hoard {

// What a collection's control object (KilnHoard::CollectionControl) does to the table behind the
// collection: open it with a descriptor, switching change notifications on first where the
// mode needs them (an asynchronous shadow). The table facade (Hoard::HoardMapBase) is one; the
// control holds it by plain pointer because the facade lives inside the entity the control keeps
// alive.
//
// Thread safety: the owning entity's thread only.
class ControlBase {
  public:
    virtual ~ControlBase() = default;

    virtual void init(const Mem::CollectionDescriptor& descriptor) = 0;
    virtual void notifyingIs(bool notifying) = 0;
};

}  // namespace Hoard
