#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "contracts/Kiln/Ptr.h"

namespace Kiln {

// The runtime's number of an attribute, as passed to notifiees (258, 259, ...).
using AttributeId = std::uint32_t;

// A watcher of one object (its notifier). Registered in the notifier's notifiee list, it is
// called at once, on the notifier's thread, for each attribute change the notifier reports,
// and, if it takes zero references, when the notifier's last reference goes.
//
// The notifier is a plain pointer: the notifier holds its registered notifiees counted (through
// its list), so a counted back-reference would be a cycle. It is valid while the notifier
// lives; a notifiee that may outlive its notifier must not use it after the notifier is gone.
//
// Thread safety: used from the notifier's thread only.
class PtrInterface::NotifieeConst : public PtrInterface {
  public:
    // Whether the notifiee is handed its notifier when the notifier's last reference goes.
    enum class ZeroReferences : bool { ignored, handled };

    explicit NotifieeConst(ZeroReferences zeroReferences = ZeroReferences::ignored) noexcept
        : takesZeroReferences_(zeroReferences == ZeroReferences::handled) {}
    NotifieeConst(const NotifieeConst&) = delete;
    NotifieeConst& operator=(const NotifieeConst&) = delete;

    const PtrInterface* notifier() const noexcept { return notifier_; }
    // Watches `notifier` from now on; a registered notifiee moves to the new notifier's list
    // (and is unregistered when the new notifier has none).
    void notifierIs(const PtrInterface* notifier);

    // True while the notifiee is a member of a notifiee list.
    bool isRegisteredNotifiee() const noexcept { return list_ != nullptr; }
    // Joins (true) or leaves (false) the notifier's list. Joining needs a notifier with a list.
    void isRegisteredNotifieeIs(bool registered);

    bool takesZeroReferences() const noexcept { return takesZeroReferences_; }

    // Handlers; the defaults ignore the event. `key` points at the member's key of a collection
    // attribute and is valid during the call only.
    virtual void onAttribute(AttributeId /*attributeId*/) {}
    virtual void onAttribute(AttributeId /*attributeId*/, const void* /*key*/) {}
    // The notifier's last reference went (see PtrInterface::handleZeroRef). To keep the
    // notifier, take references to it; to let it go, take none.
    virtual void onZeroReferences() {}

  private:
    friend class NotifieeListPtr;

    const PtrInterface* notifier_ = nullptr;
    NotifieeListPtr* list_ = nullptr;  // the list this notifiee is a member of
    const bool takesZeroReferences_;
};

// The notifiees of one object, in registration order, each held by a counted reference.
//
// visit() tolerates handlers that add or remove members (themselves or others) or visit again:
// members are walked by index over a vector of counted references, a member removed during a
// visit leaves an empty slot (compacted when the outermost visit ends) and is not called after
// its removal, a member added during a visit is first called by the next visit, and each member
// is held by a local reference while its handler runs. A handler must not destroy the notifier.
//
// Thread safety: used from the notifier's thread only.
class NotifieeListPtr {
  public:
    using Notifiee = PtrInterface::NotifieeConst;

    NotifieeListPtr() = default;
    NotifieeListPtr(const NotifieeListPtr&) = delete;
    NotifieeListPtr& operator=(const NotifieeListPtr&) = delete;
    ~NotifieeListPtr() { deleteAll(); }

    // Appends `notifiee` (a member of another list leaves it first); a member stays in place.
    void newMember(const Ptr<Notifiee>& notifiee);
    // Removes `notifiee` if it is a member; otherwise nothing happens.
    void deleteMember(Notifiee* notifiee);
    void deleteAll();

    // Calls onAttribute(attributeId) / onAttribute(attributeId, key) of each member whose
    // notification is active, in registration order.
    void visit(AttributeId attributeId) { visitMembers(attributeId, nullptr, false); }
    void visit(AttributeId attributeId, const void* key) { visitMembers(attributeId, key, true); }

    std::size_t members() const noexcept { return members_.size() - removed_; }
    // The first member whose notification is active and that takes zero references, or null.
    Notifiee* zeroReferencesNotifiee() const noexcept;

  private:
    void visitMembers(AttributeId attributeId, const void* key, bool keyed);
    void compact();

    std::vector<Ptr<Notifiee>> members_;  // null: removed during a visit
    std::size_t removed_ = 0;             // null slots in members_
    int visiting_ = 0;                    // depth of nested visits
};

// The notifiee list as entities and bindings name it.
using NotifieeList = NotifieeListPtr;

}  // namespace Kiln
