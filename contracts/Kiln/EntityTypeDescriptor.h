#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <new>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "contracts/Kiln/Entity.h"
#include "contracts/Kiln/KilnType.h"
#include "contracts/Kiln/Ptr.h"
#include "contracts/Kiln/String.h"

namespace Kiln {

// Fills the generic function table of a counted type E (an entity, or another Kiln::PtrInterface)
// and describes its attributes on E's type record:
//
//     EntityTypeDescriptor<FlowTable>(FlowTable::_kilnType)
//         .factory(&flowTableFactory)
//         .staticFunction(386, "mountPathBase", &FlowTable::mountPathBase)
//         .install();
//
// Generic code names the object by its Kiln::PtrInterface address: `value` of attributeOp and
// `entity` of genericIfIterator are a `Kiln::PtrInterface*` converted to void*.
//
// The table:
// - attributeOp dispatches on the attribute number to the described attribute; an unknown number
//   is unknownAttribute, the value ops (isDefault, isEqual, isLess) are doesNotApply. An attribute
//   answers doesNotApply for the ops it does not define, before it changes anything.
// - genericIfIterator returns the described attribute's iterator (filling the table), or null
//   for an attribute without one.
// - With a factory (entities): constructFromCtorArgs takes args[0] as a `const Kiln::Name*` and
//   constructs a `Kiln::Ptr<Kiln::Entity>` holding the new entity in the raw storage at `dst`;
//   newEntityForDir makes the entity `name` and refuses any further constructor argument with
//   throwNewEntityArgsException. The factory does the tracked allocation and switches
//   notification on.
//
// One set of statics per E: describe and install before the record is registered (typeNodeIs);
// afterwards the table is read-only and may be used from any thread (the object itself only
// from its owner's thread).
template <class E>
class EntityTypeDescriptor {
  public:
    // One attribute's operations: (result, object, op, argument, extra) -> Result.
    using Op = std::function<GenericIf::Result(void* result, E& object, GenericIf::AttributeOp op,
                                               const void* argument, const void* extra)>;
    // An iterator over one collection attribute; fills the iterator table.
    using Iterator = std::function<void*(E& object, GenericIf::IteratorTable* table)>;

    explicit EntityTypeDescriptor(KilnType& type) : type_(type) {
        accessors().clear();
        typeRecord() = &type;
    }

    // The factory making an E (or a type derived from it) from its name.
    template <class F>
    EntityTypeDescriptor& factory(F make) {
        factoryFn() = [make](const Name& name) { return Ptr<Entity>(make(name)); };
        table().constructFromCtorArgs = &constructFromCtorArgs;
        table().newEntityForDir = &newEntityForDir;
        return *this;
    }

    // Any attribute, with its own operations and, for a collection, its iterator.
    EntityTypeDescriptor& attribute(std::uint32_t number, std::string name, KilnType::Access access,
                                    Op op, Iterator iterator = {}) {
        accessors().push_back(
            {number, std::move(name), access, std::move(op), std::move(iterator)});
        return *this;
    }

    // An attribute read by `getter(const E&)`: attrGet writes the getter's result (its own C++
    // type) to `result`.
    template <class Getter>
    EntityTypeDescriptor& readOnly(std::uint32_t number, std::string name, Getter getter) {
        using A = std::remove_cvref_t<std::invoke_result_t<Getter, const E&>>;
        return attribute(
            number, std::move(name), KilnType::Access::readOnly,
            [getter](void* result, E& object, GenericIf::AttributeOp op, const void*, const void*) {
                if (op != GenericIf::attrGet) return GenericIf::doesNotApply;
                *static_cast<A*>(result) = std::invoke(getter, std::as_const(object));
                return GenericIf::success;
            });
    }

    // An attribute read by `getter(const E&)` and written by `setter(E&, const A&)`; attrSet
    // reads the new value (the getter's C++ type) from `argument`.
    template <class Getter, class Setter>
    EntityTypeDescriptor& readWrite(std::uint32_t number, std::string name, Getter getter,
                                    Setter setter) {
        using A = std::remove_cvref_t<std::invoke_result_t<Getter, const E&>>;
        return attribute(number, std::move(name), KilnType::Access::readWrite,
                         [getter, setter](void* result, E& object, GenericIf::AttributeOp op,
                                          const void* argument, const void*) {
                             if (op == GenericIf::attrGet) {
                                 *static_cast<A*>(result) =
                                     std::invoke(getter, std::as_const(object));
                             } else if (op == GenericIf::attrSet) {
                                 std::invoke(setter, object, *static_cast<const A*>(argument));
                             } else {
                                 return GenericIf::doesNotApply;
                             }
                             return GenericIf::success;
                         });
    }

    // A function attribute calling a static function of one or two arguments: attrCall passes
    // `argument` as the first and `extra` as the second (each a pointer to the parameter's
    // type) and writes the return value to `result`.
    template <class R, class... A>
    requires(sizeof...(A) == 1 || sizeof...(A) == 2) EntityTypeDescriptor& staticFunction(
        std::uint32_t number, std::string name, R (*function)(A...)) {
        return attribute(number, std::move(name), KilnType::Access::function,
                         [function](void* result, E&, GenericIf::AttributeOp op,
                                    const void* argument, const void* extra) {
                             if (op != GenericIf::attrCall) return GenericIf::doesNotApply;
                             const void* in[] = {argument, extra};
                             *static_cast<R*>(result) =
                                 call(function, in, std::index_sequence_for<A...>{});
                             return GenericIf::success;
                         });
    }

    // Puts the table and the attributes on the record.
    void install() {
        for (const Accessor& a : accessors()) type_.attributeIs({a.number, a.name, a.access});
        type_.genericIfIs(&table());
    }

  private:
    struct Accessor {
        std::uint32_t number;
        std::string name;
        KilnType::Access access;
        Op op;
        Iterator iterator;
    };

    static std::vector<Accessor>& accessors() {
        static std::vector<Accessor> list;
        return list;
    }
    static const KilnType*& typeRecord() {
        static const KilnType* type = nullptr;
        return type;
    }
    static std::function<Ptr<Entity>(const Name&)>& factoryFn() {
        static std::function<Ptr<Entity>(const Name&)> make;
        return make;
    }
    static GenericIf::Table& table() {
        static GenericIf::Table t{.attributeOp = &attributeOp,
                                  .genericIfIterator = &genericIfIterator};
        return t;
    }

    static E& object(void* value) { return static_cast<E&>(*static_cast<PtrInterface*>(value)); }
    static const Accessor* find(std::uint32_t number) {
        for (const Accessor& a : accessors()) {
            if (a.number == number) return &a;
        }
        return nullptr;
    }

    template <class R, class... A, std::size_t... I>
    static R call(R (*function)(A...), const void* const* in, std::index_sequence<I...>) {
        return function(*static_cast<const std::remove_cvref_t<A>*>(in[I])...);
    }

    static int attributeOp(void* result, void* value, std::uint32_t attribute,
                           GenericIf::AttributeOp op, const void* argument, const void* extra) {
        if (op == GenericIf::isDefault || op == GenericIf::isEqual || op == GenericIf::isLess) {
            return GenericIf::doesNotApply;
        }
        const Accessor* a = find(attribute);
        if (!a) return GenericIf::unknownAttribute;
        return a->op(result, object(value), op, argument, extra);
    }

    static void* genericIfIterator(void* entity, std::uint32_t attribute,
                                   GenericIf::IteratorTable* iteratorTable) {
        const Accessor* a = find(attribute);
        if (!a || !a->iterator) return nullptr;
        return a->iterator(object(entity), iteratorTable);
    }

    static void constructFromCtorArgs(void* dst, const void* const* args) {
        new (dst) Ptr<Entity>(factoryFn()(*static_cast<const Name*>(args[0])));
    }

    static Ptr<Entity> newEntityForDir(const Name& name, const void* const*, std::size_t nargs) {
        if (nargs != 0) throwNewEntityArgsException(*typeRecord());
        return factoryFn()(name);
    }

    KilnType& type_;
};

}  // namespace Kiln
