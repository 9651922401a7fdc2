#include "contracts/Kiln/Notifiee.h"

#include <algorithm>

namespace Kiln {

void PtrInterface::handleZeroRef() {
    NotifieeListPtr* list = notifieeList();
    // Held across the call: the notifiee may leave the list, and the object may be destroyed.
    const Ptr<NotifieeConst> notifiee = list ? list->zeroReferencesNotifiee() : nullptr;
    if (!notifiee) {
        delete this;
        return;
    }
    newRef();  // the pin: references taken and dropped by the notifiee never reach 0 meanwhile
    try {
        notifiee->onZeroReferences();
    } catch (...) {
        if (dropRef()) delete this;
        throw;
    }
    if (dropRef()) delete this;
}

void PtrInterface::NotifieeConst::notifierIs(const PtrInterface* notifier) {
    notifier_ = notifier;
    if (!list_) return;
    NotifieeListPtr* next = notifier ? notifier->notifieeList() : nullptr;
    if (next == list_) return;
    if (next) {
        next->newMember(Ptr<NotifieeConst>(this));
    } else {
        list_->deleteMember(this);
    }
}

void PtrInterface::NotifieeConst::isRegisteredNotifieeIs(bool registered) {
    if (!registered) {
        if (list_) list_->deleteMember(this);
        return;
    }
    NotifieeListPtr* list = notifier_ ? notifier_->notifieeList() : nullptr;
    BASALT_ASSERT(list != nullptr);
    list->newMember(Ptr<NotifieeConst>(this));
}

void NotifieeListPtr::newMember(const Ptr<Notifiee>& notifiee) {
    BASALT_ASSERT(notifiee);
    if (notifiee->list_ == this) return;
    members_.push_back(notifiee);
    if (notifiee->list_) notifiee->list_->deleteMember(notifiee.ptr());
    notifiee->list_ = this;
}

void NotifieeListPtr::deleteMember(Notifiee* notifiee) {
    if (!notifiee || notifiee->list_ != this) return;
    const auto it = std::find(members_.begin(), members_.end(), notifiee);
    BASALT_ASSERT(it != members_.end());
    // The list is consistent before the reference goes: the notifiee's destructor may run.
    const Ptr<Notifiee> gone = std::move(*it);
    gone->list_ = nullptr;
    if (visiting_) {
        ++removed_;  // the slot stays until the outermost visit ends
    } else {
        members_.erase(it);
    }
}

void NotifieeListPtr::deleteAll() {
    // By index: a notifiee's destructor, run by the drop, may add members.
    for (std::size_t i = 0; i < members_.size(); ++i) {
        if (!members_[i]) continue;
        const Ptr<Notifiee> gone = std::move(members_[i]);
        gone->list_ = nullptr;
        ++removed_;
    }
    if (!visiting_) compact();
}

PtrInterface::NotifieeConst* NotifieeListPtr::zeroReferencesNotifiee() const noexcept {
    for (const Ptr<Notifiee>& member : members_) {
        if (member && member->hasNotificationActive() && member->takesZeroReferences()) {
            return member.ptr();
        }
    }
    return nullptr;
}

void NotifieeListPtr::visitMembers(AttributeId attributeId, const void* key, bool keyed) {
    struct Depth {
        NotifieeListPtr& list;
        explicit Depth(NotifieeListPtr& l) : list(l) { ++list.visiting_; }
        ~Depth() {
            if (--list.visiting_ == 0) list.compact();
        }
    } depth(*this);
    // Members added meanwhile sit past `count` and wait for the next visit; none is erased
    // while visiting_ is set, so an index names the same member throughout.
    const std::size_t count = members_.size();
    for (std::size_t i = 0; i < count; ++i) {
        const Ptr<Notifiee> member = members_[i];  // alive through its own removal
        if (!member || !member->hasNotificationActive()) continue;
        if (keyed) {
            member->onAttribute(attributeId, key);
        } else {
            member->onAttribute(attributeId);
        }
    }
}

void NotifieeListPtr::compact() {
    if (!removed_) return;
    std::erase_if(members_, [](const Ptr<Notifiee>& member) { return !member; });
    removed_ = 0;
}

}  // namespace Kiln
