#include "FlowTracker/FtCounters.h"

#include <utility>

#include "FlowTracker/TypeRegistration.h"
#include "Hoard/TableKindImpl.h"
#include "KilnHoard/CollectionAttributes.h"
#include "contracts/Kiln/EntityTypeDescriptor.h"

namespace Hoard::FlowTracker {

Kiln::AllocTrackTypeInfo FtCounters::allocTrackTypeInfo;

FtCounters::FtCounters(Kiln::Name name) : Entity(std::move(name)) {
    flowsCounter_.countersLookUp();
    flowGroupCounter_.countersLookUp();

    zeroReferencesNotifiee_ = KilnHoard::HandOverNotifiee<FtCounters>::install(this);

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

void FtCounters::handOverToControls(Kiln::PtrInterface::NotifieeConst* notifiee) {
    KilnHoard::handOverToControls(
        this, notifiee,
        {flowsCounter_.controlForHandOver(), flowGroupCounter_.controlForHandOver()});
}

Kiln::Ptr<FtCounters> ftCountersFactory(Kiln::Name name) {
    return Kiln::factoryNew<FtCounters>(FtCounters::allocTrackTypeInfo, std::move(name));
}

// ---- Type registration -----------------------------------------------------------------------

constinit Kiln::KilnType FtCounters::_kilnType{
    FlowTracking::typeNameOf(FlowTracking::LibraryType::ftCounters), {&Kiln::Entity::_kilnType}};

}  // namespace Hoard::FlowTracker

namespace FlowTracking {

void describeFtCountersEntity() {
    using Hoard::FlowTracker::FtCounters;
    Kiln::EntityTypeDescriptor<FtCounters> d(FtCounters::_kilnType);
    KilnHoard::describeCollection(d, 258, "flowGroupCounter", 259, "flowGroupCounterControl",
                                  &FtCounters::flowGroupCounter_);
    KilnHoard::describeCollection(d, 260, "flowsCounter", 261, "flowsCounterControl",
                                  &FtCounters::flowsCounter_);
    d.factory(&Hoard::FlowTracker::ftCountersFactory).install();
}

void registerFtCounterKinds() {
    using namespace Hoard::FlowTracker;
    Hoard::tableKindIs(Hoard::tableKindOf<FlowCounterEntryOps>());
    Hoard::tableKindIs(Hoard::tableKindOf<FlowGroupCounterEntryOps>());
}

void registerFtCounterTypes() {
    using namespace Hoard::FlowTracker;
    describeFtCounterValueTypes();
    describeFtCountersEntity();
    for (Kiln::KilnType* type :
         {&FlowGroupCounterKey::_kilnType, &FlowCounterKey::_kilnType, &FtCounters::_kilnType,
          &FlowCounterEntry::_kilnType, &FlowGroupCounterEntry::_kilnType, &FlowEntry::_kilnType}) {
        Kiln::typeNodeIs(*type);
    }
    registerFtCounterKinds();
}

}  // namespace FlowTracking

namespace Hoard::FlowTracker {}  // namespace Hoard::FlowTracker
