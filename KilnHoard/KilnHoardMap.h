#pragma once

#include <cstdint>
#include <string>
#include <typeinfo>
#include <utility>

#include "Hoard/HoardMap.h"
#include "KilnHoard/Util.h"
#include "contracts/Basalt/DebugHandler.h"
#include "contracts/Basalt/Exception.h"
#include "contracts/HoardBase/IterHint.h"
#include "contracts/Kiln/Demangle.h"
#include "contracts/Mem/Notify.h"
#include "contracts/Mem/RootPath.h"

namespace KilnHoard {

// The binding of one collection attribute of an entity (the Owner) to a shared-memory table: the
// table facade, plus the owner (plain pointer: the owner contains the binding), the attribute's
// name, and the naming of the table after the owner ("<owner name>/<attribute>" until the owner
// has a parent, "<owner full name>/<attribute>" from then on). Table events reach the owner's
// notification methods through the facade's callbacks.
//
// Until the collection is mounted (the facade's init, through the collection's control), the
// binding serves a private process-local table, so the owner's operations work from its
// construction on. The owner gets its parent once: the table takes the full name and restarts
// empty; a second parent is refused. An owner that loses its parent detaches the table.
//
// Thread safety: the owner's thread only; the callbacks run synchronously inside the operation
// that causes them. Other processes see the table only once it is mounted, with the facade's
// guarantees.
template <class Owner, class W, class K, class Ops>
class KilnHoardMap : public Hoard::HoardMap<K, W, Ops> {
    using Base = Hoard::HoardMap<K, W, Ops>;

  public:
    using KeyNotify = void (Owner::*)(const K&);
    using MountStatusNotify = void (Owner::*)();
    using QuiescedNotify = void (Owner::*)(bool);

    // At rest: no owner, no implementation, callbacks that do nothing.
    KilnHoardMap() : Base("") {}
    ~KilnHoardMap() override {
        BASALT_TRACE(this->debug_, 2, "KilnHoardMap::~KilnHoardMap() deleting state");
    }

    // Binds the collection to `owner` (called once, from the owner's constructor) and starts the
    // private local table "<owner name>/<attribute>". A name with an empty part is refused with
    // the root path's message.
    void entity(std::string attributeName, Owner* owner, KeyNotify keyNotify,
                MountStatusNotify mountStatusNotify, QuiescedNotify quiescedNotify);

    // The owner's parent changed (see the class comment).
    void handleParent();

    // The owner's dynamic class, as the table header's classType records it.
    std::string classType() const override {
        if (!owner_) {
            Basalt::debugAndThrowAssertException("KilnHoardMap::classType() without an owner",
                                                 __FILE__, __LINE__, __func__);
        }
        return Kiln::demangleStdString(typeid(*owner_).name());
    }

    bool validateFiles(const std::string& name, std::uint32_t count) override {
        BASALT_TRACE(this->debug_, 5,
                     "KilnHoardMap::validateFiles() delegating to HoardMap::validateFiles");
        return Base::validateFiles(name, count);
    }

    // Walks the collection in the table's order. Each value is copied into the iterator, so the
    // current value stays as it was while the table changes, and advance() continues from its
    // key even if that entry was removed meanwhile. Corruption met on the way is reported through
    // the facade's corruption handler and ends the walk quietly.
    class IteratorConst {
      public:
        explicit IteratorConst(KilnHoardMap* binding) : binding_(binding) {
            if (binding_) step([&] { return binding_->implementation()->first(value_, hint_); });
        }
        bool advance() {
            if (!valid_) return false;
            const K key = value_.fwkKey();
            step([&] { return binding_->implementation()->next(key, value_, hint_); });
            return valid_;
        }
        bool valid() const { return valid_; }
        const W& value() const { return value_; }
        const W& operator*() const { return value_; }
        const W* operator->() const { return &value_; }

      private:
        template <class F>
        void step(F&& f) {
            try {
                valid_ = f();
            } catch (const Basalt::CorruptionDetectedException& e) {
                valid_ = false;
                binding_->doCorruptionDetected(e.what());
            }
        }

        KilnHoardMap* binding_;
        Hoard::IterHint hint_;
        W value_{};
        bool valid_ = false;
    };

  private:
    std::string tableNameFor(const std::string& ownerPath) const {
        std::string name = ownerPath + "/" + attributeName_;
        Mem::RootPath::checkTableName(name);
        return name;
    }
    void startLocalWriter() {
        BASALT_TRACE(this->debug_, 5,
                     "KilnHoardMap::entity() creating local HoardWriter " << this->tableName());
        this->createDefaultLocalWriter(this->debugHandler());
    }

    Owner* owner_ = nullptr;
    std::string attributeName_;
    bool parented_ = false;
};

template <class Owner, class W, class K, class Ops>
void KilnHoardMap<Owner, W, K, Ops>::entity(std::string attributeName, Owner* owner,
                                            KeyNotify keyNotify,
                                            MountStatusNotify mountStatusNotify,
                                            QuiescedNotify quiescedNotify) {
    owner_ = owner;
    attributeName_ = std::move(attributeName);
    this->debugHandlerIs(Basalt::Platform::getDebugHandler("HoardTemp"));
    this->tableNameIs(tableNameFor(owner->name().stdString()));
    this->callbacksIs(Mem::Notify<K, W>(
        [owner, keyNotify](const W& value) { (owner->*keyNotify)(value.fwkKey()); },
        [owner, keyNotify](const K& key) { (owner->*keyNotify)(key); },
        [owner, keyNotify](const K& key) { (owner->*keyNotify)(key); },
        [owner, mountStatusNotify] { (owner->*mountStatusNotify)(); },
        [owner, quiescedNotify](bool usable) { (owner->*quiescedNotify)(usable); }));
    startLocalWriter();
}

template <class Owner, class W, class K, class Ops>
void KilnHoardMap<Owner, W, K, Ops>::handleParent() {
    const std::string oldName = this->tableName();
    const bool hasParent = owner_->parent() != nullptr;
    const std::string ownerPath =
        hasParent ? KilnSharedMem::Util::fullName(owner_).stdString() : owner_->name().stdString();
    this->tableNameIs(tableNameFor(ownerPath));
    if (hasParent) {
        if (parented_) {
            Basalt::InvalidInitializeException::throwException(
                "Entity " + owner_->name().stdString() + " already initialized");
        }
        parented_ = true;
        BASALT_TRACE(
            this->debug_, 5,
            "KilnHoardMap::handleParent(): old: " << oldName << " new: " << this->tableName());
        // A collection mounted under its old name lets that table go first; otherwise a later
        // init would find it "already initialized" while the owner writes a private table.
        if (this->initialized()) this->controlDetach();
        startLocalWriter();
        return;
    }
    BASALT_TRACE(this->debug_, 5,
                 "KilnHoardMap::handleParent(): " << this->tableName() << " is now an orphan");
    this->orphanIs(this->descriptor().assertOnOrphanAccess);
    this->controlDetach();
}

}  // namespace KilnHoard
