#include "contracts/Kiln/Entity.h"

#include <string>
#include <vector>

namespace Kiln {

void Entity::parentIs(const Ptr<Entity>& parent) {
    if (parent.ptr() == parent_) return;
    for (const Entity* e = parent.ptr(); e; e = e->parent_) {
        BASALT_ASSERT(e != this && "an entity cannot be its own ancestor");
    }
    Entity* const old = parent_;
    parent_ = parent.ptr();
    try {
        handleParent(parent);
    } catch (...) {
        parent_ = old;
        throw;
    }
}

String Entity::fullName() const {
    std::vector<const Entity*> path;
    for (const Entity* e = this; e; e = e->parent_) path.push_back(e);
    std::string text;
    for (auto it = path.rbegin(); it != path.rend(); ++it) {
        if (it != path.rbegin()) text += '/';
        text += (*it)->name_.stdString();
    }
    return String(std::move(text));
}

}  // namespace Kiln
