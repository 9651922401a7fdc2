#include "FlowTracker/FlowTable.h"

#include <utility>

#include "FlowTracker/TypeRegistration.h"
#include "Hoard/TableKindImpl.h"
#include "KilnHoard/CollectionAttributes.h"
#include "contracts/Kiln/EntityTypeDescriptor.h"

namespace FlowTracking {

Kiln::AllocTrackTypeInfo FlowTableBase::allocTrackTypeInfo;
Kiln::AllocTrackTypeInfo FlowTable::allocTrackTypeInfo;

FlowTableBase::FlowTableBase(Kiln::Name name) : Entity(std::move(name)) {
    bgp6FlowEntry_.countersLookUp();
    bgpFlowEntry_.countersLookUp();
    ip6FlowEntry_.countersLookUp();
    ipFlowEntry_.countersLookUp();

    zeroReferencesNotifiee_ = KilnHoard::HandOverNotifiee<FlowTableBase>::install(this);

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

void FlowTableBase::handOverToControls(Kiln::PtrInterface::NotifieeConst* notifiee) {
    KilnHoard::handOverToControls(
        this, notifiee,
        {bgp6FlowEntry_.controlForHandOver(), bgpFlowEntry_.controlForHandOver(),
         ip6FlowEntry_.controlForHandOver(), ipFlowEntry_.controlForHandOver()});
}

Kiln::String FlowTable::mountPathBase(Kiln::String ftrTypeStr) {
    return Kiln::String("flowtracking/") + ftrTypeStr + "/flowTable";
}

Kiln::String FlowTable::mountPath(Kiln::String ftrTypeStr, Kiln::Name ftName) {
    return mountPathBase(std::move(ftrTypeStr)) + "/" + ftName;
}

Kiln::Ptr<FlowTable> flowTableFactory(Kiln::Name name) {
    return Kiln::factoryNew<FlowTable>(FlowTable::allocTrackTypeInfo, std::move(name));
}

Kiln::Ptr<FlowTableBase> flowTableBaseFactory(Kiln::Name name) {
    return Kiln::factoryNew<FlowTableBase>(FlowTableBase::allocTrackTypeInfo, std::move(name));
}

// ---- Type registration -----------------------------------------------------------------------

constinit Kiln::KilnType FlowTableBase::_kilnType{typeNameOf(LibraryType::flowTableBase),
                                                  {&Kiln::Entity::_kilnType}};
constinit Kiln::KilnType FlowTable::_kilnType{typeNameOf(LibraryType::flowTable),
                                              {&FlowTableBase::_kilnType}};

void describeFlowTableEntities() {
    // The attributes FlowTableBase and FlowTable share: the four flow collections and their
    // controls (a lambda, so that it has this friend's access to the collections).
    const auto flowCollections = [](auto& d) -> auto& {
        KilnHoard::describeCollection(d, 258, "ipFlowEntry", 262, "ipFlowEntryControl",
                                      &FlowTableBase::ipFlowEntry_);
        KilnHoard::describeCollection(d, 259, "ip6FlowEntry", 263, "ip6FlowEntryControl",
                                      &FlowTableBase::ip6FlowEntry_);
        KilnHoard::describeCollection(d, 260, "bgpFlowEntry", 264, "bgpFlowEntryControl",
                                      &FlowTableBase::bgpFlowEntry_);
        KilnHoard::describeCollection(d, 261, "bgp6FlowEntry", 265, "bgp6FlowEntryControl",
                                      &FlowTableBase::bgp6FlowEntry_);
        return d;
    };

    Kiln::EntityTypeDescriptor<FlowTableBase> base(FlowTableBase::_kilnType);
    flowCollections(base).factory(&flowTableBaseFactory).install();

    Kiln::EntityTypeDescriptor<FlowTable> table(FlowTable::_kilnType);
    flowCollections(table)
        .factory(&flowTableFactory)
        .staticFunction(386, "mountPathBase", &FlowTable::mountPathBase)
        .staticFunction(387, "mountPath", &FlowTable::mountPath)
        .install();
}

void registerFlowTableKinds() {
    Hoard::tableKindIs(Hoard::tableKindOf<IpFlowEntryOps>());
    Hoard::tableKindIs(Hoard::tableKindOf<Ip6FlowEntryOps>());
    Hoard::tableKindIs(Hoard::tableKindOf<BgpFlowEntryOps>());
    Hoard::tableKindIs(Hoard::tableKindOf<Bgp6FlowEntryOps>());
}

void registerFlowTableTypes() {
    describeFlowTableValueTypes();
    describeFlowTableEntities();
    for (Kiln::KilnType* type :
         {&Ip6FlowKey::_kilnType, &Bgp6FlowEntry::_kilnType, &IpFlowKey::_kilnType,
          &FlowTableBase::_kilnType, &Ip6FlowEntry::_kilnType, &IpFlowEntry::_kilnType,
          &FlowTable::_kilnType, &BgpFlowEntry::_kilnType}) {
        Kiln::typeNodeIs(*type);
    }
    registerFlowTableKinds();
}

}  // namespace FlowTracking
