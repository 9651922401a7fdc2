#pragma once

// The flow-tracking counters: the entity with its two counter collections, the records as their
// tables store them, and their table operations (the table's hash seed, a real notification queue
// that shadow readers follow).

#include <cstdint>

#include "FlowTracker/FtCounterTypes.h"
#include "FlowTracker/TypeRegistration.h"
#include "KilnHoard/BoundCollection.h"
#include "KilnHoard/CollectionControl.h"
#include "KilnHoard/KilnHoardMapValueWrapper.h"
#include "contracts/Herald/HeraldWriter.h"
#include "contracts/HoardBase/HeraldPos.h"
#include "contracts/Kiln/AllocTrack.h"
#include "contracts/Kiln/Entity.h"
#include "contracts/Kiln/KilnType.h"
#include "contracts/Kiln/Notifiee.h"
#include "contracts/Kiln/Ptr.h"

namespace Hoard::FlowTracker {

using CounterHeraldWriter = Herald::HeraldWriter<std::uint32_t, Hoard::HeraldPos>;

using FlowCounterEntryWrapper =
    KilnHoard::KilnHoardMapValueWrapper<FlowCounterEntry, FlowCounterKey, &FlowCounterEntry::key,
                                        false>;
using FlowGroupCounterEntryWrapper =
    KilnHoard::KilnHoardMapValueWrapper<FlowGroupCounterEntry, FlowGroupCounterKey,
                                        &FlowGroupCounterEntry::key, false>;

using FlowCounterEntryOps = KilnHoard::KilnHoardOps<FlowCounterEntryWrapper, CounterHeraldWriter>;
using FlowGroupCounterEntryOps =
    KilnHoard::KilnHoardOps<FlowGroupCounterEntryWrapper, CounterHeraldWriter>;

static_assert(sizeof(FlowCounterEntryWrapper) == sizeof(FlowCounterEntry) &&
                  sizeof(FlowGroupCounterEntryWrapper) == sizeof(FlowGroupCounterEntry),
              "a table slot holds exactly the record's bytes");

// The flow-tracking counters: one collection with the counters of each flow group of each
// tracker, one with total counters, each bound to its own table. Built and kept up to date by the
// manager thread; like the flow table entity, it serves private local tables until mounted and
// hands itself to its collection controls when its last outside reference goes.
//
// Thread safety: the manager's thread only; notifications run synchronously. Other processes
// read the mounted tables (also as shadows: the tables feed a notification queue).
class FtCounters : public Kiln::Entity, public Kiln::TrackedAllocation {
  public:
    // The type record; registered when the library loads.
    static Kiln::KilnType _kilnType;
    const Kiln::KilnType* fwkType() const override { return &_kilnType; }
    static Kiln::AllocTrackTypeInfo allocTrackTypeInfo;

    explicit FtCounters(Kiln::Name name);
    ~FtCounters() override;

    void flowGroupCounterIs(const FlowGroupCounterEntry& value) { flowGroupCounter_.is(value); }
    FlowGroupCounterEntry flowGroupCounterDel(const FlowGroupCounterKey& key) {
        return flowGroupCounter_.del(key);
    }
    void flowGroupCounterDelAll() { flowGroupCounter_.delAll(); }
    void flowGroupCounterCommit(const FlowGroupCounterEntry* value) {
        flowGroupCounter_.commit(value);
    }
    void flowGroupCounterNotify(const FlowGroupCounterKey& key) { flowGroupCounter_.notify(key); }
    void flowGroupCounterNotifyQuiesced(bool quiesced) {
        flowGroupCounter_.notifyQuiesced(quiesced);
    }
    void flowGroupCounterNotifyMountStatus() { flowGroupCounter_.notifyMountStatus(); }
    const Kiln::Ptr<KilnHoard::CollectionControl>& flowGroupCounterControl() const {
        return flowGroupCounter_.control();
    }
    void flowGroupCounterControlIs(const Kiln::Ptr<KilnHoard::CollectionControl>& control) {
        flowGroupCounter_.controlIs(control);
    }

    void flowsCounterIs(const FlowCounterEntry& value) { flowsCounter_.is(value); }
    FlowCounterEntry flowsCounterDel(FlowCounterKey key) { return flowsCounter_.del(key); }
    void flowsCounterDelAll() { flowsCounter_.delAll(); }
    void flowsCounterCommit(const FlowCounterEntry* value) { flowsCounter_.commit(value); }
    void flowsCounterNotify(const FlowCounterKey& key) { flowsCounter_.notify(key); }
    void flowsCounterNotifyQuiesced(bool quiesced) { flowsCounter_.notifyQuiesced(quiesced); }
    void flowsCounterNotifyMountStatus() { flowsCounter_.notifyMountStatus(); }
    const Kiln::Ptr<KilnHoard::CollectionControl>& flowsCounterControl() const {
        return flowsCounter_.control();
    }
    void flowsCounterControlIs(const Kiln::Ptr<KilnHoard::CollectionControl>& control) {
        flowsCounter_.controlIs(control);
    }

    using FlowGroupCounterCollection =
        KilnHoard::BoundCollection<FtCounters, FlowGroupCounterEntryWrapper, FlowGroupCounterKey,
                                   FlowGroupCounterEntryOps>;
    using FlowsCounterCollection = KilnHoard::BoundCollection<FtCounters, FlowCounterEntryWrapper,
                                                              FlowCounterKey, FlowCounterEntryOps>;
    FlowGroupCounterCollection::Binding& flowGroupCounter() { return flowGroupCounter_.binding(); }
    FlowsCounterCollection::Binding& flowsCounter() { return flowsCounter_.binding(); }

  protected:
    void handleParent(const Kiln::Ptr<Kiln::Entity>& parent) override;

  private:
    friend class KilnHoard::HandOverNotifiee<FtCounters>;
    // Describes the collections to the runtime's generic interface (type registration).
    friend void FlowTracking::describeFtCountersEntity();
    // Hands the entity to its collection controls when its last reference goes (once).
    void handOverToControls(Kiln::PtrInterface::NotifieeConst* notifiee);

    Kiln::Ptr<KilnHoard::HandOverNotifiee<FtCounters>> zeroReferencesNotifiee_;
    // Declared so that flowsCounter goes first.
    FlowGroupCounterCollection flowGroupCounter_{"flowGroupCounter", 258, 259};
    FlowsCounterCollection flowsCounter_{"flowsCounter", 260, 261};
};

// Makes the entity with tracked allocation and notification on.
Kiln::Ptr<FtCounters> ftCountersFactory(Kiln::Name name);

}  // namespace Hoard::FlowTracker
