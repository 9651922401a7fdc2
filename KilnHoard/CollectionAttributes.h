#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "KilnHoard/BoundCollection.h"
#include "KilnHoard/CollectionControl.h"
#include "contracts/Kiln/EntityTypeDescriptor.h"
#include "contracts/Kiln/KilnType.h"
#include "contracts/Kiln/Ptr.h"

namespace KilnHoard {

// Describes one bound collection of an entity E (the data member `member`, of E or of a base of
// E) for generic code: the collection attribute `number` and its control attribute
// `controlNumber`, both read-write. One implementation serves every collection of every entity.
//
// The collection attribute, with the key (`const K*`) in `argument` where one is needed:
// - attrGet: a copy of the member with that key, or the value type's default record when absent
//   (the facade's safe lookup), into `result` (a V*).
// - attrSet: writes the record at `argument` (a `const V*`), as the owner's `<collection>Is`.
// - attrDel: removes the member, as the owner's `<collection>Del`; `result`, when not null,
//   receives the removed record (the default record when there was none).
// - attrCount: the number of members into `result` (a std::size_t*).
// - attrReserved: succeeds and does nothing.
// - attrExists: whether the member is present into `result` (a bool*).
// - genericIfIterator: a new const iterator of the collection (the binding's IteratorConst: each
//   member is copied into the iterator, so iterKey and iterObj point at that copy, which stays
//   as it was until iterInc); iterDel destroys it.
// The control attribute: attrGet copies the counted reference into `result` (a
// `Kiln::Ptr<KilnHoard::CollectionControl>*`); attrSet calls the collection's controlIs with the
// one at `argument`. Every other op does not apply.
template <class E, class Base, class Owner, class W, class K, class Ops>
void describeCollection(Kiln::EntityTypeDescriptor<E>& descriptor, std::uint32_t number,
                        std::string name, std::uint32_t controlNumber, std::string controlName,
                        BoundCollection<Owner, W, K, Ops> Base::*member) {
    using Collection = BoundCollection<Owner, W, K, Ops>;
    using V = typename Collection::V;
    using Iterator = typename Collection::Binding::IteratorConst;
    using Kiln::GenericIf;

    // The facade's safe lookup: the stored record, else the default record (found false).
    const auto lookup = [](Collection& c, const void* key, bool& found) -> V {
        W buffer;
        return c.binding().safeLookup(*static_cast<const K*>(key), found, &buffer)->value();
    };
    descriptor.attribute(
        number, std::move(name), Kiln::KilnType::Access::readWrite,
        [member, lookup](void* result, E& entity, GenericIf::AttributeOp op, const void* argument,
                         const void*) {
            Collection& c = entity.*member;
            bool found = false;
            switch (op) {
                case GenericIf::attrGet:
                    *static_cast<V*>(result) = lookup(c, argument, found);
                    return GenericIf::success;
                case GenericIf::attrSet:
                    c.is(*static_cast<const V*>(argument));
                    return GenericIf::success;
                case GenericIf::attrDel: {
                    V removed = c.del(*static_cast<const K*>(argument));
                    if (result) *static_cast<V*>(result) = removed;
                    return GenericIf::success;
                }
                case GenericIf::attrCount:
                    *static_cast<std::size_t*>(result) = c.binding().implementation()->members();
                    return GenericIf::success;
                case GenericIf::attrReserved:
                    return GenericIf::success;
                case GenericIf::attrExists:
                    lookup(c, argument, found);
                    *static_cast<bool*>(result) = found;
                    return GenericIf::success;
                default:
                    return GenericIf::doesNotApply;
            }
        },
        [member](E& entity, GenericIf::IteratorTable* table) -> void* {
            *table = {
                .iterNonnull = [](void* it) { return static_cast<Iterator*>(it)->valid(); },
                .iterKey = [](void* it) -> const void* {
                    return &static_cast<Iterator*>(it)->value().fwkKey();
                },
                .iterObj = [](void* it) -> void* {
                    // The iterator's own copy (a non-const member behind a const accessor).
                    return const_cast<V*>(&static_cast<Iterator*>(it)->value().value());
                },
                .iterInc = [](void* it) { static_cast<Iterator*>(it)->advance(); },
                .iterDel = [](void* it) { delete static_cast<Iterator*>(it); },
            };
            return new Iterator(&(entity.*member).binding());
        });
    descriptor.attribute(
        controlNumber, std::move(controlName), Kiln::KilnType::Access::readWrite,
        [member](void* result, E& entity, GenericIf::AttributeOp op, const void* argument,
                 const void*) {
            Collection& c = entity.*member;
            if (op == GenericIf::attrGet) {
                *static_cast<Kiln::Ptr<CollectionControl>*>(result) = c.control();
            } else if (op == GenericIf::attrSet) {
                c.controlIs(*static_cast<const Kiln::Ptr<CollectionControl>*>(argument));
            } else {
                return GenericIf::doesNotApply;
            }
            return GenericIf::success;
        });
}

}  // namespace KilnHoard
