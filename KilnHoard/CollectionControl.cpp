#include "KilnHoard/CollectionControl.h"

#include "contracts/Basalt/Exception.h"
#include "contracts/HoardBase/MapDescriptor.h"

namespace KilnHoard {

Kiln::AllocTrackTypeInfo CollectionControl::allocTrackTypeInfo;

Kiln::Ptr<CollectionControl> CollectionControl::collectionControlNew(Hoard::ControlBase* base) {
    Kiln::Ptr<CollectionControl> control = Kiln::newTracked<CollectionControl>(allocTrackTypeInfo, base);
    control->hasNotificationActiveIs(true);
    return control;
}

void CollectionControl::init(Hoard::HoardType mode, bool local, unsigned initialSize) {
    if (!base_) {
        Basalt::InvalidInitializeException::throwException(
            "CollectionControl::init() the collection no longer exists");
    }
    Hoard::MapDescriptor d;
    d.mode = mode;
    d.local = local;
    d.initialSize = initialSize;
    d.slotLimit = initialSize;
    d.fixedSize = false;
    d.shrinkable = true;
    d.shrinkBuckets = true;
    base_->init(d);
}

}  // namespace KilnHoard
