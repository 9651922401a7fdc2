#include "FlowTracker/FlowTable.h"

#include <utility>

namespace FlowTracking {

Kiln::AllocTrackTypeInfo FlowTableBase::allocTrackTypeInfo;
Kiln::AllocTrackTypeInfo FlowTable::allocTrackTypeInfo;

FlowTableBase::FlowTableBase(Kiln::Name name) : Entity(std::move(name)) {
    bgp6FlowEntry_.countersLookUp();
    bgpFlowEntry_.countersLookUp();
    ip6FlowEntry_.countersLookUp();
    ipFlowEntry_.countersLookUp();

    zeroReferencesNotifiee_ = new FlowTableBaseZeroReferencesNotifiee(this);
    zeroReferencesNotifiee_->hasNotificationActiveIs(true);
    zeroReferencesNotifiee_->notifierIs(this);
    notifieeList()->newMember(zeroReferencesNotifiee_);

    bgp6FlowEntry_.bind(this, &FlowTableBase::bgp6FlowEntryNotify,
                        &FlowTableBase::bgp6FlowEntryNotifyMountStatus,
                        &FlowTableBase::bgp6FlowEntryNotifyQuiesced);
    bgpFlowEntry_.bind(this, &FlowTableBase::bgpFlowEntryNotify,
                       &FlowTableBase::bgpFlowEntryNotifyMountStatus,
                       &FlowTableBase::bgpFlowEntryNotifyQuiesced);
    ip6FlowEntry_.bind(this, &FlowTableBase::ip6FlowEntryNotify,
                       &FlowTableBase::ip6FlowEntryNotifyMountStatus,
                       &FlowTableBase::ip6FlowEntryNotifyQuiesced);
    ipFlowEntry_.bind(this, &FlowTableBase::ipFlowEntryNotify,
                      &FlowTableBase::ipFlowEntryNotifyMountStatus,
                      &FlowTableBase::ipFlowEntryNotifyQuiesced);
}

FlowTableBase::~FlowTableBase() {
    notifieeList()->deleteAll();
    bgp6FlowEntry_.controlsDrop();
    bgpFlowEntry_.controlsDrop();
    ip6FlowEntry_.controlsDrop();
    ipFlowEntry_.controlsDrop();
    // The bindings go next (bgp6 first, by declaration order), then the notifiee and the name.
}

void FlowTableBase::handleParent(const Kiln::Ptr<Kiln::Entity>& /*parent*/) {
    bgp6FlowEntry_.binding().handleParent();
    bgpFlowEntry_.binding().handleParent();
    ip6FlowEntry_.binding().handleParent();
    ipFlowEntry_.binding().handleParent();
}

void FlowTableBase::FlowTableBaseZeroReferencesNotifiee::onZeroReferences() {
    // The controls are taken out and the entity's bookkeeping finished before any control holds
    // the entity: from then on, the controls' references decide when it goes.
    Kiln::Ptr<KilnHoard::CollectionControl> controls[] = {
        entity_->bgp6FlowEntry_.controlForHandOver(), entity_->bgpFlowEntry_.controlForHandOver(),
        entity_->ip6FlowEntry_.controlForHandOver(), entity_->ipFlowEntry_.controlForHandOver()};
    const Kiln::Ptr<FlowTableBaseZeroReferencesNotifiee> self(this);
    entity_->notifieeList()->deleteMember(this);
    for (auto& control : controls) {
        if (control) control->entityRefIs(entity_);
    }
}

Kiln::String FlowTable::mountPathBase(Kiln::String ftrTypeStr) {
    return Kiln::String("flowtracking/") + ftrTypeStr + "/flowTable";
}

Kiln::String FlowTable::mountPath(Kiln::String ftrTypeStr, Kiln::Name ftName) {
    return mountPathBase(std::move(ftrTypeStr)) + "/" + ftName;
}

namespace {
template <class T>
Kiln::Ptr<T> make(Kiln::Name name) {
    Kiln::Ptr<T> entity = Kiln::newTracked<T>(T::allocTrackTypeInfo, std::move(name));
    entity->hasNotificationActiveIs(true);
    return entity;
}
}  // namespace

Kiln::Ptr<FlowTable> flowTableFactory(Kiln::Name name) { return make<FlowTable>(std::move(name)); }

Kiln::Ptr<FlowTableBase> flowTableBaseFactory(Kiln::Name name) {
    return make<FlowTableBase>(std::move(name));
}

}  // namespace FlowTracking
