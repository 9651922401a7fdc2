#pragma once

#include <string>

#include "contracts/Mem/CollectionDescriptor.h"

namespace Hoard {

// What a collection's control object (KilnHoard::CollectionControl) may do to the table behind
// the collection: open it with a descriptor, ask how far it is mounted, and let it go. The table
// facade (Hoard::HoardMapBase) is one; the control holds it by plain pointer because the facade
// lives inside the entity the control keeps alive.
//
// Thread safety: the owning entity's thread only.
class ControlBase {
  public:
    virtual ~ControlBase() = default;

    virtual void init(const Mem::CollectionDescriptor& descriptor) = 0;
    virtual bool initialized() const = 0;
    // 0 not mounted, 1 mounted, 2 mounted and synchronised, 3 flushing after a detach.
    virtual int mountStatus() const = 0;
    virtual void controlDetach() = 0;
    virtual std::string name() const = 0;
};

}  // namespace Hoard
