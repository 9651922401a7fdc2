#include "FlowTracker/FtCounters.h"

#include <utility>

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

}  // namespace Hoard::FlowTracker
