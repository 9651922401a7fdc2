#pragma once

#include <initializer_list>

#include "contracts/HoardBase/ControlBase.h"
#include "contracts/HoardBase/HoardType.h"
#include "contracts/Kiln/AllocTrack.h"
#include "contracts/Kiln/Entity.h"
#include "contracts/Kiln/Ptr.h"

namespace KilnSharedMem {

// How far a collection's table is mounted, as the table facade reports it.
enum class MountStatus : int { unmounted = 0, mounted = 1, synchronised = 2, flushing = 3 };

// The handle through which code outside the library reaches a bound collection: the mount status
// the collection last reported, and, once the owning entity has no other reference, the counted
// reference that keeps the entity (and so the collection) alive.
//
// Thread safety: the owning entity's thread only.
class CollectionControl : public Kiln::PtrInterface, public Kiln::TrackedAllocation {
  public:
    MountStatus mountStatus() const { return mountStatus_; }
    void mountStatusIs(MountStatus status) { mountStatus_ = status; }

    const Kiln::Ptr<Kiln::Entity>& entityRef() const { return entityRef_; }
    // Setting null releases the entity (which may destroy it, and its collections, at once).
    void entityRefIs(Kiln::Ptr<Kiln::Entity> entity) { entityRef_ = std::move(entity); }

  protected:
    CollectionControl() = default;

  private:
    MountStatus mountStatus_ = MountStatus::unmounted;
    Kiln::Ptr<Kiln::Entity> entityRef_;
};

}  // namespace KilnSharedMem

namespace KilnHoard {

// The control of one bound collection: opens the collection's table through its control base
// (the binding's facade) and records whether the table is usable. Made with the runtime's
// tracked allocation (Kiln::newTracked) by the owning entity. The control base is a plain
// pointer: the binding lives inside the entity, which this control keeps alive once it holds the
// entity; a binding that goes first clears it (controlBaseIs(nullptr)), and init() on a control
// without one is refused.
//
// Thread safety: the owning entity's thread only.
class CollectionControl : public KilnSharedMem::CollectionControl {
  public:
    static Kiln::AllocTrackTypeInfo allocTrackTypeInfo;

    explicit CollectionControl(Hoard::ControlBase* base) : base_(base) {}
    // A control on `base` with tracked allocation and notification on.
    static Kiln::Ptr<CollectionControl> collectionControlNew(Hoard::ControlBase* base);

    // Opens the collection's table in `mode` (local: a process-private table) with `initialSize`
    // slots, which is also its slot limit; the table grows past it, shrinks, and halves its
    // buckets as occupancy drops. The facade's errors pass on (a second init with another
    // descriptor: "already initialized").
    void init(Hoard::HoardType mode, bool local, unsigned initialSize);

    // True while the table is usable (after an attach), false after a detach.
    bool quiesced() const { return quiesced_; }
    void quiescedIs(bool quiesced) { quiesced_ = quiesced; }

    Hoard::ControlBase* controlBase() const { return base_; }
    void controlBaseIs(Hoard::ControlBase* base) { base_ = base; }

  private:
    Hoard::ControlBase* base_;
    bool quiesced_ = false;
};

// The zero-reference hand-over of an entity with bound collections, run by its zero-references
// notifiee: `controls` are the collections' control attributes, already taken out of the entity
// (BoundCollection::controlForHandOver, in the entity's collection order). The notifiee leaves
// the entity's notifiee list, so the hand-over happens once, and only then does each control
// take a counted reference to the entity: from then on the controls decide when it goes.
void handOverToControls(Kiln::Entity* entity, Kiln::PtrInterface::NotifieeConst* notifiee,
                        std::initializer_list<Kiln::Ptr<CollectionControl>> controls);

// The zero-references notifiee of an entity E with bound collections: when the entity's last
// outside reference goes, it calls E::handOverToControls(notifiee), which takes the controls
// out of the entity and passes them to the function above. install() registers it (active) in
// the entity's notifiee list; the list holds it, the entity holds it too.
//
// Thread safety: the entity's thread only.
template <class E>
class HandOverNotifiee : public Kiln::PtrInterface::NotifieeConst {
  public:
    static Kiln::Ptr<HandOverNotifiee> install(E* entity) {
        Kiln::Ptr<HandOverNotifiee> notifiee(new HandOverNotifiee(entity));
        notifiee->hasNotificationActiveIs(true);
        notifiee->notifierIs(entity);
        entity->notifieeList()->newMember(notifiee);
        return notifiee;
    }
    void onZeroReferences() override { entity_->handOverToControls(this); }

  private:
    explicit HandOverNotifiee(E* entity)
        : NotifieeConst(ZeroReferences::handled), entity_(entity) {}

    E* const entity_;
};

}  // namespace KilnHoard
