#pragma once

#include <cstdint>
#include <string>

#include "KilnHoard/CollectionControl.h"
#include "KilnHoard/KilnHoardMap.h"
#include "contracts/Kiln/Entity.h"
#include "contracts/Kiln/Notifiee.h"
#include "contracts/Kiln/Ptr.h"
#include "contracts/Pulse/Writer.h"

namespace KilnHoard {

// One collection attribute of an entity, whole: its binding to a table, its control attribute,
// the collection's own control (the one the owner's constructor made), its three event counters
// ("<collection>Is", "<collection>Del", "<collection>Notify") and the attribute ids its owner's
// notifiees hear. The owner's per-collection operations (ipFlowEntryIs, ipFlowEntryDel, ...) are
// one-line calls of the operations here.
//
// The owner holds its own control counted, so that it stays valid after controlIs() replaces the
// attribute; when the owner hands itself to its controls (handOver), a control that takes the
// owner is no longer counted by it, which would be a cycle, and stays reachable by plain pointer
// for as long as it keeps the owner alive.
//
// Thread safety: the owner's thread only; notifications run synchronously inside the operation.
template <class Owner, class W, class K, class Ops>
class BoundCollection {
  public:
    using Binding = KilnHoardMap<Owner, W, K, Ops>;
    using V = typename W::Value;

    BoundCollection(std::string name, Kiln::AttributeId collectionId, Kiln::AttributeId controlId)
        : name_(std::move(name)), collectionId_(collectionId), controlId_(controlId) {}
    BoundCollection(const BoundCollection&) = delete;
    BoundCollection& operator=(const BoundCollection&) = delete;
    ~BoundCollection() {
        // A control that outlives the collection must not reach the destroyed binding.
        if (ownControl_ && ownControl_->controlBase() == &binding_)
            ownControl_->controlBaseIs(nullptr);
        if (control_ && control_->controlBase() == &binding_) control_->controlBaseIs(nullptr);
    }

    // The three event counters, from the process's registry.
    void countersLookUp() {
        isCount_ = Pulse::writer().counter(name_ + "Is");
        delCount_ = Pulse::writer().counter(name_ + "Del");
        notifyCount_ = Pulse::writer().counter(name_ + "Notify");
    }

    // Makes the collection's control (tracked allocation, notification on), stores it as the
    // control attribute and as the own control without notifying, and binds the collection.
    void bind(Owner* owner, typename Binding::KeyNotify keyNotify,
              typename Binding::MountStatusNotify mountStatusNotify,
              typename Binding::QuiescedNotify quiescedNotify) {
        owner_ = owner;
        const Kiln::Ptr<CollectionControl> control =
            CollectionControl::collectionControlNew(&binding_);
        control_ = control;
        ownControl_ = control;
        ownControlPtr_ = control.ptr();
        binding_.entity(name_, owner, keyNotify, mountStatusNotify, quiescedNotify);
    }

    Binding& binding() { return binding_; }
    const Binding& binding() const { return binding_; }

    // ---- The owner's operations ----------------------------------------------------------------
    void is(const V& value) {
        ++*isCount_;
        binding_.safeWrite(W(value));
        visit(value.key());
    }

    // The removed record, or a default record (nothing notified) when the key was not present.
    V del(const K& key) {
        ++*delCount_;
        W removed;
        if (!binding_.safeRemove(key, removed)) return V{};
        visit(key);
        return removed.value();
    }

    void delAll() {
        for (typename Binding::IteratorConst it(&binding_); it.valid(); it.advance()) {
            del(it->fwkKey());
        }
    }

    // Publishes a record written in place after the facade's direct write.
    void commit(const V* value) {
        ++*isCount_;
        binding_.directCommit();
        visit(value->key());
    }

    void notify(const K& key) { visit(key); }

    void notifyQuiesced(bool quiesced) {
        if (ownControlPtr_) ownControlPtr_->quiescedIs(quiesced);
    }
    void notifyMountStatus() {
        if (ownControlPtr_) {
            ownControlPtr_->mountStatusIs(
                static_cast<KilnSharedMem::MountStatus>(binding_.mountStatus()));
        }
    }

    const Kiln::Ptr<CollectionControl>& control() const { return control_; }
    void controlIs(const Kiln::Ptr<CollectionControl>& control) {
        if (control == control_) return;
        control_ = control;
        owner_->notifieeList()->visit(controlId_);
    }

    // The owner's last outside reference went: the control attribute is cleared and returned, to
    // be handed the owner once the owner's bookkeeping is done.
    Kiln::Ptr<CollectionControl> controlForHandOver() {
        Kiln::Ptr<CollectionControl> control = std::move(control_);
        if (control && control == ownControl_) ownControl_ = nullptr;
        return control;
    }

    // The owner is being destroyed: its references to the controls go.
    void controlsDrop() {
        control_ = nullptr;
        ownControl_ = nullptr;
    }

  private:
    void visit(const K& key) {
        owner_->notifieeList()->visit(collectionId_, &key);
        ++*notifyCount_;
    }

    std::string name_;
    Kiln::AttributeId collectionId_;
    Kiln::AttributeId controlId_;
    Owner* owner_ = nullptr;
    Binding binding_;
    Kiln::Ptr<CollectionControl> control_;     // the control attribute
    Kiln::Ptr<CollectionControl> ownControl_;  // counted until the control takes the owner
    CollectionControl* ownControlPtr_ = nullptr;
    std::uint64_t* isCount_ = nullptr;
    std::uint64_t* delCount_ = nullptr;
    std::uint64_t* notifyCount_ = nullptr;
};

}  // namespace KilnHoard
