#pragma once

#include "contracts/Kiln/Notifiee.h"
#include "contracts/Kiln/Ptr.h"
#include "contracts/Kiln/String.h"

namespace Kiln {

// Type records of the reflective type system; entities return null until types are registered.
class KilnType;

// A named, counted object placed in a tree: it owns its name and its notifiee list (and through
// it, counted references to its notifiees). Its parent is a plain pointer: parents hold their
// children, so a counted child-to-parent reference would be a cycle. Whoever places an entity
// detaches it (parentIs(nullptr)) before the parent goes. An entity never is its own ancestor.
//
// Thread safety: used from its owner's thread only (the flag and count word follows
// PtrInterface's rules).
class Entity : public PtrInterface {
  public:
    explicit Entity(Name name) : name_(std::move(name)) {}
    Entity(const Entity&) = delete;
    Entity& operator=(const Entity&) = delete;
    ~Entity() override { notifiees_.deleteAll(); }

    const KilnType* fwkType() const override { return &_kilnType; }
    static KilnType _kilnType;

    const Name& name() const noexcept { return name_; }
    Entity* parent() const noexcept { return parent_; }
    // Sets the parent and, when it changed, calls handleParent(parent). When handleParent
    // throws, the old parent is restored and the exception passes on. A parent that is the
    // entity itself or one of its descendants raises an assertion.
    void parentIs(const Ptr<Entity>& parent);

    // The names from the root down to this entity, joined by '/': "a/b/c".
    String fullName() const;

    NotifieeListPtr* notifieeList() const override { return &notifiees_; }

  protected:
    // The parent changed; `parent` is the new one (null when the entity became an orphan).
    virtual void handleParent(const Ptr<Entity>& /*parent*/) {}

  private:
    Name name_;
    Entity* parent_ = nullptr;
    mutable NotifieeListPtr notifiees_;
};

}  // namespace Kiln
