#include "FlowTracker/FtCounters.h"

#include <utility>

namespace Hoard::FlowTracker {

Kiln::AllocTrackTypeInfo FtCounters::allocTrackTypeInfo;

FtCounters::FtCounters(Kiln::Name name) : Entity(std::move(name)) {
    flowsCounter_.countersLookUp();
    flowGroupCounter_.countersLookUp();

    zeroReferencesNotifiee_ = new FtCountersZeroReferencesNotifiee(this);
    zeroReferencesNotifiee_->hasNotificationActiveIs(true);
    zeroReferencesNotifiee_->notifierIs(this);
    notifieeList()->newMember(zeroReferencesNotifiee_);

    flowsCounter_.bind(this, &FtCounters::flowsCounterNotify,
                       &FtCounters::flowsCounterNotifyMountStatus,
                       &FtCounters::flowsCounterNotifyQuiesced);
    flowGroupCounter_.bind(this, &FtCounters::flowGroupCounterNotify,
                           &FtCounters::flowGroupCounterNotifyMountStatus,
                           &FtCounters::flowGroupCounterNotifyQuiesced);
}

FtCounters::~FtCounters() {
    notifieeList()->deleteAll();
    flowsCounter_.controlsDrop();
    flowGroupCounter_.controlsDrop();
    // The bindings go next (flowsCounter first, by declaration order), then the notifiee.
}

void FtCounters::handleParent(const Kiln::Ptr<Kiln::Entity>& /*parent*/) {
    flowsCounter_.binding().handleParent();
    flowGroupCounter_.binding().handleParent();
}

void FtCounters::FtCountersZeroReferencesNotifiee::onZeroReferences() {
    // As for the flow table: controls out, bookkeeping done, then the controls take the entity.
    Kiln::Ptr<KilnHoard::CollectionControl> controls[] = {
        entity_->flowsCounter_.controlForHandOver(),
        entity_->flowGroupCounter_.controlForHandOver()};
    const Kiln::Ptr<FtCountersZeroReferencesNotifiee> self(this);
    entity_->notifieeList()->deleteMember(this);
    for (auto& control : controls) {
        if (control) control->entityRefIs(entity_);
    }
}

Kiln::Ptr<FtCounters> ftCountersFactory(Kiln::Name name) {
    Kiln::Ptr<FtCounters> entity =
        Kiln::newTracked<FtCounters>(FtCounters::allocTrackTypeInfo, std::move(name));
    entity->hasNotificationActiveIs(true);
    return entity;
}

}  // namespace Hoard::FlowTracker
