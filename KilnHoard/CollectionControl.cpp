#include "KilnHoard/CollectionControl.h"

#include "contracts/Basalt/Exception.h"
#include "contracts/HoardBase/MapDescriptor.h"

namespace KilnHoard {

Kiln::AllocTrackTypeInfo CollectionControl::allocTrackTypeInfo;

Kiln::Ptr<CollectionControl> CollectionControl::collectionControlNew(Hoard::ControlBase* base) {
    return Kiln::factoryNew<CollectionControl>(allocTrackTypeInfo, base);
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
    // An asynchronous shadow delivers notifications from its first pass on: switched on before
    // init, which then parks the owner's key callbacks until the copy is whole.
    if ((mode == Hoard::shadow || mode == Hoard::keyshadow) && !local) base_->notifyingIs(true);
    base_->init(d);
}

void handOverToControls(Kiln::Entity* entity, Kiln::PtrInterface::NotifieeConst* notifiee,
                        std::initializer_list<Kiln::Ptr<CollectionControl>> controls) {
    const Kiln::Ptr<Kiln::PtrInterface::NotifieeConst> pin(notifiee);  // it may leave its last list
    entity->notifieeList()->deleteMember(notifiee);
    for (const auto& control : controls) {
        if (control) control->entityRefIs(entity);
    }
}

}  // namespace KilnHoard
