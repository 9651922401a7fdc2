#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "contracts/Kiln/Ptr.h"
#include "contracts/Kiln/String.h"

namespace Kiln {

class Entity;
class KilnType;

// The codes and the function tables through which the runtime works on a value or an entity
// whose C++ type it does not know at compile time. A type fills the entries it supports and
// leaves the others null.
struct GenericIf {
    // What attributeOp does. Attribute ops (read, write, delete, count, present, call) name an
    // attribute by number; the value ops (isDefault, isEqual, isLess) ignore the number.
    enum AttributeOp : std::uint32_t {
        attrGet = 0,       // result: the attribute's value
        attrSet = 1,       // argument: the new value
        attrDel = 2,       // argument: the key of the member to delete
        attrCount = 3,     // result: the number of members (std::size_t)
        attrReserved = 4,  // a value: never applies; a collection: succeeds, changes nothing
        attrExists = 5,    // argument: a key; result: whether that member is present (bool)
        attrCall = 8,      // argument, extra: the function's arguments; result: its return value
        isDefault = 9,     // result: whether the value equals the default value (bool)
        isEqual = 10,      // argument: the other value; result: bool
        isLess = 11,       // argument: the other value; result: bool
    };

    // What attributeOp returns.
    enum Result : int {
        success = 0,
        doesNotApply = 1,      // the op is not defined for this attribute or type
        unknownAttribute = 2,  // the type has no attribute with that number
    };

    // Walks one collection attribute of an entity; `iterator` is what genericIfIterator returned.
    struct IteratorTable {
        bool (*iterNonnull)(void* iterator) = nullptr;  // false once past the last member
        const void* (*iterKey)(void* iterator) = nullptr;
        void* (*iterObj)(void* iterator) = nullptr;
        void (*iterInc)(void* iterator) = nullptr;
        // Releases the iterator; it is not used afterwards.
        void (*iterDel)(void* iterator) = nullptr;
    };

    // One table per registered type, static, shared by every value of it.
    struct Table {
        // Destroys the value at `value` without freeing its storage.
        void (*destruct)(void* value) = nullptr;
        // Constructs a value in the raw storage at `dst`: a copy of `src`, or the default value
        // when `src` is null.
        void (*construct)(void* dst, const void* src) = nullptr;
        // Constructs a value at `dst` from the constructor's arguments, one pointer each. For an
        // entity type `dst` receives a Kiln::Ptr<Kiln::Entity> holding the new entity.
        void (*constructFromCtorArgs)(void* dst, const void* const* args) = nullptr;
        std::uint32_t (*hash)(const void* value, const KilnType& type) = nullptr;
        // `value` seen as the type `wanted`; raises a type error when `own` is not `wanted`
        // and does not derive from it.
        void* (*voidPtrIs)(void* value, const KilnType& own, const KilnType& wanted) = nullptr;
        String (*strRep)(const void* value, const KilnType& type) = nullptr;
        // Overwrites the existing value at `dst` with the value `text` stands for.
        void (*strepToValue)(void* dst, const String& text, const KilnType& type) = nullptr;
        // Returns a Result code; `result` is written only on success. For a counted type (an
        // entity) `value` is the object's Kiln::PtrInterface address, here and in
        // genericIfIterator.
        int (*attributeOp)(void* result, void* value, std::uint32_t attribute, AttributeOp op,
                           const void* argument, const void* extra) = nullptr;
        // Entities only: a new entity called `name` made from the constructor's arguments.
        Ptr<Entity> (*newEntityForDir)(const Name& name, const void* const* args,
                                       std::size_t nargs) = nullptr;
        // Entities only: an iterator over the collection attribute `attribute`; fills `table`.
        void* (*genericIfIterator)(void* entity, std::uint32_t attribute,
                                   IteratorTable* table) = nullptr;
    };
};

// The record of one registered C++ type: its qualified name, its direct bases, its attributes
// and its generic function table. One static record per type (the type's `_kilnType`); it is
// filled before it is registered (typeNodeIs) and never changes afterwards, so any thread may
// read a registered record without locking.
//
// The constructor is constexpr, so a record defined `constinit` exists before any static
// initialiser runs: registration code in one translation unit may name records defined in
// others. The name is not copied; it must outlive the record (a literal or a static table).
class KilnType {
  public:
    enum class Access { readOnly, readWrite, function };

    struct Attribute {
        std::uint32_t number;
        std::string name;
        Access access;
    };

    static constexpr std::size_t maxBases = 2;

    constexpr KilnType(std::string_view name, std::initializer_list<const KilnType*> bases = {})
        : name_(name) {
        for (const KilnType* base : bases) {
            if (baseCount_ == maxBases) throw "a type record holds at most maxBases bases";
            bases_[baseCount_++] = base;
        }
    }
    KilnType(const KilnType&) = delete;
    KilnType& operator=(const KilnType&) = delete;

    // "FlowTracking::FtId".
    std::string_view name() const noexcept { return name_; }
    std::span<const KilnType* const> bases() const noexcept { return {bases_.data(), baseCount_}; }
    // True for this type itself and for every direct or indirect base.
    bool isDerived(const KilnType& other) const;

    const std::vector<Attribute>& attributes() const noexcept { return attributes_; }
    // Null when the type has no such attribute.
    const Attribute* attribute(std::uint32_t number) const;
    const Attribute* attribute(std::string_view name) const;
    // Adds an attribute, or replaces the one with the same number. A registered record is
    // frozen: changing it raises an assertion.
    void attributeIs(Attribute attribute);

    // Null when the type has no generic functions.
    const GenericIf::Table* genericIf() const noexcept { return genericIf_; }
    void genericIfIs(const GenericIf::Table* table);

    bool registered() const noexcept { return registered_; }

  private:
    friend void typeNodeIs(KilnType& type);

    std::string_view name_;
    std::array<const KilnType*, maxBases> bases_{};
    std::size_t baseCount_ = 0;
    std::vector<Attribute> attributes_;
    const GenericIf::Table* genericIf_ = nullptr;
    bool registered_ = false;
};

// The process-wide registry of type records, by qualified name.
//
// Registering a record under a name that another record holds raises a Basalt assertion;
// registering the same record again does nothing. The registry is guarded by a mutex, so
// registration and lookup are safe from any thread; records are normally registered while the
// library loads and only looked up afterwards.
void typeNodeIs(KilnType& type);
// Null when no record has that name.
const KilnType* typeNode(std::string_view name);
// Every registered record, in registration order.
std::vector<const KilnType*> types();

// Registers the runtime's own records (Kiln::PtrInterface, Kiln::Entity, Loom::CrossThreadDesc,
// Loom::EventLoopThread).
// Runs when the library loads; calling it again does nothing.
void registerRuntimeTypes();

// The runtime's type errors, with messages naming the types.
[[noreturn]] void throwUnhashableException(const KilnType& type);
[[noreturn]] void throwTypeException(const KilnType& from, const KilnType& to);
[[noreturn]] void throwNewEntityArgsException(const KilnType& type);

}  // namespace Kiln
