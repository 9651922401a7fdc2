#pragma once

// The flow table of one flow tracker: the entity with its four flow collections, the records as
// their tables store them, and their table operations (seed-0 hash, no notification queue).

#include "FlowTracker/FlowTableTypes.h"
#include "KilnHoard/BoundCollection.h"
#include "KilnHoard/CollectionControl.h"
#include "KilnHoard/KilnHoardMapValueWrapper.h"
#include "contracts/Herald/DummyHeraldWriter.h"
#include "contracts/Kiln/AllocTrack.h"
#include "contracts/Kiln/Entity.h"
#include "contracts/Kiln/KilnType.h"
#include "contracts/Kiln/Notifiee.h"
#include "contracts/Kiln/Ptr.h"
#include "contracts/Kiln/String.h"

namespace FlowTracking {

using IpFlowEntryWrapper =
    KilnHoard::KilnHoardMapValueWrapper<IpFlowEntry, IpFlowKey, &IpFlowEntry::key, true>;
using Ip6FlowEntryWrapper =
    KilnHoard::KilnHoardMapValueWrapper<Ip6FlowEntry, Ip6FlowKey, &Ip6FlowEntry::key, true>;
using BgpFlowEntryWrapper =
    KilnHoard::KilnHoardMapValueWrapper<BgpFlowEntry, IpFlowKey, &BgpFlowEntry::key, true>;
using Bgp6FlowEntryWrapper =
    KilnHoard::KilnHoardMapValueWrapper<Bgp6FlowEntry, Ip6FlowKey, &Bgp6FlowEntry::key, true>;

using IpFlowEntryOps = KilnHoard::KilnHoardOps<IpFlowEntryWrapper, Herald::DummyHeraldWriter>;
using Ip6FlowEntryOps = KilnHoard::KilnHoardOps<Ip6FlowEntryWrapper, Herald::DummyHeraldWriter>;
using BgpFlowEntryOps = KilnHoard::KilnHoardOps<BgpFlowEntryWrapper, Herald::DummyHeraldWriter>;
using Bgp6FlowEntryOps = KilnHoard::KilnHoardOps<Bgp6FlowEntryWrapper, Herald::DummyHeraldWriter>;

static_assert(sizeof(IpFlowEntryWrapper) == sizeof(IpFlowEntry) &&
                  sizeof(Ip6FlowEntryWrapper) == sizeof(Ip6FlowEntry) &&
                  sizeof(BgpFlowEntryWrapper) == sizeof(BgpFlowEntry) &&
                  sizeof(Bgp6FlowEntryWrapper) == sizeof(Bgp6FlowEntry),
              "a table slot holds exactly the record's bytes");

// The flow table of one flow tracker: four collections, each bound to its own table, holding the
// IPv4 and IPv6 flow records and the BGP attributes of IPv4 and IPv6 flows. Made by
// flowTableBaseFactory (or flowTableFactory for FlowTable) with private local tables; placed in
// the entity tree, its tables take the entity's full name and restart empty; mounted through the
// collection controls, they become the shared tables other processes read. When its last outside
// reference goes, the entity hands itself to its controls and lives as long as they hold it.
//
// Thread safety: the agent's flow-table thread only; notifications run synchronously. Other
// processes see the mounted tables with the table engine's guarantees.
class FlowTableBase : public Kiln::Entity, public Kiln::TrackedAllocation {
  public:
    // The type record; registered when the library loads.
    static Kiln::KilnType _kilnType;
    const Kiln::KilnType* fwkType() const override { return &_kilnType; }
    static Kiln::AllocTrackTypeInfo allocTrackTypeInfo;

    explicit FlowTableBase(Kiln::Name name);
    ~FlowTableBase() override;

    void ipFlowEntryIs(const IpFlowEntry& value) { ipFlowEntry_.is(value); }
    IpFlowEntry ipFlowEntryDel(const IpFlowKey& key) { return ipFlowEntry_.del(key); }
    void ipFlowEntryDelAll() { ipFlowEntry_.delAll(); }
    void ipFlowEntryCommit(const IpFlowEntry* value) { ipFlowEntry_.commit(value); }
    void ipFlowEntryNotify(const IpFlowKey& key) { ipFlowEntry_.notify(key); }
    void ipFlowEntryNotifyQuiesced(bool quiesced) { ipFlowEntry_.notifyQuiesced(quiesced); }
    void ipFlowEntryNotifyMountStatus() { ipFlowEntry_.notifyMountStatus(); }
    const Kiln::Ptr<KilnHoard::CollectionControl>& ipFlowEntryControl() const {
        return ipFlowEntry_.control();
    }
    void ipFlowEntryControlIs(const Kiln::Ptr<KilnHoard::CollectionControl>& control) {
        ipFlowEntry_.controlIs(control);
    }

    void ip6FlowEntryIs(const Ip6FlowEntry& value) { ip6FlowEntry_.is(value); }
    Ip6FlowEntry ip6FlowEntryDel(const Ip6FlowKey& key) { return ip6FlowEntry_.del(key); }
    void ip6FlowEntryDelAll() { ip6FlowEntry_.delAll(); }
    void ip6FlowEntryCommit(const Ip6FlowEntry* value) { ip6FlowEntry_.commit(value); }
    void ip6FlowEntryNotify(const Ip6FlowKey& key) { ip6FlowEntry_.notify(key); }
    void ip6FlowEntryNotifyQuiesced(bool quiesced) { ip6FlowEntry_.notifyQuiesced(quiesced); }
    void ip6FlowEntryNotifyMountStatus() { ip6FlowEntry_.notifyMountStatus(); }
    const Kiln::Ptr<KilnHoard::CollectionControl>& ip6FlowEntryControl() const {
        return ip6FlowEntry_.control();
    }
    void ip6FlowEntryControlIs(const Kiln::Ptr<KilnHoard::CollectionControl>& control) {
        ip6FlowEntry_.controlIs(control);
    }

    void bgpFlowEntryIs(const BgpFlowEntry& value) { bgpFlowEntry_.is(value); }
    BgpFlowEntry bgpFlowEntryDel(const IpFlowKey& key) { return bgpFlowEntry_.del(key); }
    void bgpFlowEntryDelAll() { bgpFlowEntry_.delAll(); }
    void bgpFlowEntryCommit(const BgpFlowEntry* value) { bgpFlowEntry_.commit(value); }
    void bgpFlowEntryNotify(const IpFlowKey& key) { bgpFlowEntry_.notify(key); }
    void bgpFlowEntryNotifyQuiesced(bool quiesced) { bgpFlowEntry_.notifyQuiesced(quiesced); }
    void bgpFlowEntryNotifyMountStatus() { bgpFlowEntry_.notifyMountStatus(); }
    const Kiln::Ptr<KilnHoard::CollectionControl>& bgpFlowEntryControl() const {
        return bgpFlowEntry_.control();
    }
    void bgpFlowEntryControlIs(const Kiln::Ptr<KilnHoard::CollectionControl>& control) {
        bgpFlowEntry_.controlIs(control);
    }

    void bgp6FlowEntryIs(const Bgp6FlowEntry& value) { bgp6FlowEntry_.is(value); }
    Bgp6FlowEntry bgp6FlowEntryDel(const Ip6FlowKey& key) { return bgp6FlowEntry_.del(key); }
    void bgp6FlowEntryDelAll() { bgp6FlowEntry_.delAll(); }
    void bgp6FlowEntryCommit(const Bgp6FlowEntry* value) { bgp6FlowEntry_.commit(value); }
    void bgp6FlowEntryNotify(const Ip6FlowKey& key) { bgp6FlowEntry_.notify(key); }
    void bgp6FlowEntryNotifyQuiesced(bool quiesced) { bgp6FlowEntry_.notifyQuiesced(quiesced); }
    void bgp6FlowEntryNotifyMountStatus() { bgp6FlowEntry_.notifyMountStatus(); }
    const Kiln::Ptr<KilnHoard::CollectionControl>& bgp6FlowEntryControl() const {
        return bgp6FlowEntry_.control();
    }
    void bgp6FlowEntryControlIs(const Kiln::Ptr<KilnHoard::CollectionControl>& control) {
        bgp6FlowEntry_.controlIs(control);
    }

    // The bindings, for reads (safeLookup), iteration and direct writes.
    using IpFlowEntryCollection =
        KilnHoard::BoundCollection<FlowTableBase, IpFlowEntryWrapper, IpFlowKey, IpFlowEntryOps>;
    using Ip6FlowEntryCollection =
        KilnHoard::BoundCollection<FlowTableBase, Ip6FlowEntryWrapper, Ip6FlowKey, Ip6FlowEntryOps>;
    using BgpFlowEntryCollection =
        KilnHoard::BoundCollection<FlowTableBase, BgpFlowEntryWrapper, IpFlowKey, BgpFlowEntryOps>;
    using Bgp6FlowEntryCollection = KilnHoard::BoundCollection<FlowTableBase, Bgp6FlowEntryWrapper,
                                                               Ip6FlowKey, Bgp6FlowEntryOps>;
    IpFlowEntryCollection::Binding& ipFlowEntry() { return ipFlowEntry_.binding(); }
    Ip6FlowEntryCollection::Binding& ip6FlowEntry() { return ip6FlowEntry_.binding(); }
    BgpFlowEntryCollection::Binding& bgpFlowEntry() { return bgpFlowEntry_.binding(); }
    Bgp6FlowEntryCollection::Binding& bgp6FlowEntry() { return bgp6FlowEntry_.binding(); }

  protected:
    void handleParent(const Kiln::Ptr<Kiln::Entity>& parent) override;

  private:
    friend class KilnHoard::HandOverNotifiee<FlowTableBase>;
    // Describes the collections to the runtime's generic interface (type registration).
    friend void describeFlowTableEntities();
    // Hands the entity to its collection controls when its last reference goes (once).
    void handOverToControls(Kiln::PtrInterface::NotifieeConst* notifiee);

    Kiln::Ptr<KilnHoard::HandOverNotifiee<FlowTableBase>> zeroReferencesNotifiee_;
    // Declared so that they are destroyed bgp6, bgp, ip6, ip.
    IpFlowEntryCollection ipFlowEntry_{"ipFlowEntry", 258, 262};
    Ip6FlowEntryCollection ip6FlowEntry_{"ip6FlowEntry", 259, 263};
    BgpFlowEntryCollection bgpFlowEntry_{"bgpFlowEntry", 260, 264};
    Bgp6FlowEntryCollection bgp6FlowEntry_{"bgp6FlowEntry", 261, 265};
};

// The flow table entity with its own type; placed at mountPath(tracker type, tracker name).
class FlowTable : public FlowTableBase {
  public:
    // The type record; registered when the library loads.
    static Kiln::KilnType _kilnType;
    const Kiln::KilnType* fwkType() const override { return &_kilnType; }
    static Kiln::AllocTrackTypeInfo allocTrackTypeInfo;

    explicit FlowTable(Kiln::Name name) : FlowTableBase(std::move(name)) {}

    // "flowtracking/<tracker type>/flowTable".
    static Kiln::String mountPathBase(Kiln::String ftrTypeStr);
    // "flowtracking/<tracker type>/flowTable/<tracker name>".
    static Kiln::String mountPath(Kiln::String ftrTypeStr, Kiln::Name ftName);
};

// Make the entities with tracked allocation and notification on; a construction that fails
// (a name no table can take) creates nothing and passes its exception on.
Kiln::Ptr<FlowTable> flowTableFactory(Kiln::Name name);
Kiln::Ptr<FlowTableBase> flowTableBaseFactory(Kiln::Name name);

}  // namespace FlowTracking
