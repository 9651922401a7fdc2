#pragma once

#include <algorithm>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "contracts/Kiln/Hash.h"
#include "contracts/Kiln/KilnType.h"
#include "contracts/Kiln/Ptr.h"
#include "contracts/Kiln/String.h"
#include "contracts/Kiln/TextForm.h"
#include "contracts/Kiln/ValueText.h"

namespace Kiln {

// Fills the generic function table of a C++ type T and describes its attributes on T's type
// record:
//
//     ValueTypeDescriptor<Wirekit::IpAddr>(ipAddrType)
//         .key()
//         .readOnly(1, "value", &Wirekit::IpAddr::value)
//         .install();
//
// The table and the attribute accessors are static, one set per T, so a T has one record.
// Describe and install before the record is registered (typeNodeIs); the table is read-only
// afterwards and may be used from any thread.
//
// For an ordinary value type the table has: destruct (runs ~T); construct (copies, or
// default-constructs); constructFromCtorArgs once ctorArgs<...>() names the constructor's
// arguments; hash, the value's own hash (hash(0), else hash(), else hashSingleAttr(0, value))
// for keys, throwUnhashableException otherwise; voidPtrIs, the value's address when its type is
// or derives from the wanted one, throwTypeException otherwise; strRep, the value's
// valueToStrep; strepToValue, its text parser (Kiln::strepToValue).
//
// attributeOp and the types it passes:
//  - attrGet writes the attribute's own C++ type (Wirekit::IpAddr, std::uint64_t, ...) into
//    `result`, which must hold a constructed value of that type;
//  - attrSet reads that type from `argument`; read-only and function attributes refuse it;
//  - attrCall writes the function's return type (Kiln::String for a text, std::uint32_t for a
//    hash) into `result`;
//  - isDefault (`== T{}`), isEqual (`==`) and isLess (`<`, keys only) write a bool;
//  - an attribute number T does not have is unknownAttribute, every other op doesNotApply, and
//    `result` is written only on success.
//
// A counted object (T derives from PtrInterface) has an identity instead of a value: `value`
// is the object itself, and its table has only hash (unhashable), voidPtrIs (through the bases
// named by bases<...>(), so a base pointer is the base subobject) and the attribute ops; the
// value ops do not apply. Such objects are made by their factories, which count them.
template <class T>
class ValueTypeDescriptor {
  public:
    // Where a value type's attribute numbers start.
    static constexpr std::uint32_t firstAttribute = 2;
    static constexpr bool counted = std::is_base_of_v<PtrInterface, T>;

    explicit ValueTypeDescriptor(KilnType& type) : type_(type) {
        state() = State{};
        GenericIf::Table& t = table();
        t.hash = &hashNone;
        t.constructFromCtorArgs = nullptr;
        t.voidPtrIs = &voidPtrIsOwn;
    }

    // T is a key: its values hash and order.
    ValueTypeDescriptor& key() {
        static_assert(!counted, "a counted object is not a key");
        state().key = true;
        table().hash = &hashKey;
        return *this;
    }

    // The argument types of the constructor constructFromCtorArgs calls, in order:
    // `args[i]` points to an Args...[i].
    template <class... Args>
    ValueTypeDescriptor& ctorArgs() {
        static_assert(!counted, "counted objects are made by their factories");
        static_assert(std::is_constructible_v<T, const Args&...>, "T has no such constructor");
        table().constructFromCtorArgs = [](void* dst, const void* const* args) {
            [&]<std::size_t... I>(std::index_sequence<I...>) {
                new (dst) T(*static_cast<const Args*>(args[I])...);
            }
            (std::index_sequence_for<Args...>{});
        };
        return *this;
    }

    // The record's bases as C++ types (direct and indirect, as far as generic code may ask for
    // them); voidPtrIs to one of them returns the base subobject.
    template <class... Bases>
    ValueTypeDescriptor& bases() {
        static_assert((std::is_base_of_v<Bases, T> && ...), "not a base of T");
        table().voidPtrIs = [](void* value, const KilnType& own, const KilnType& wanted) -> void* {
            T* const object = static_cast<T*>(value);
            if (&wanted == &own) return object;
            void* base = nullptr;
            const bool found = ((&wanted == &Bases::_kilnType &&
                                 (base = static_cast<Bases*>(object)) != nullptr) ||
                                ...);
            if (!found) throwTypeException(own, wanted);
            return base;
        };
        return *this;
    }

    // An attribute read by `getter(const T&)` (a member function pointer works too).
    template <class Getter>
    ValueTypeDescriptor& readOnly(std::uint32_t number, std::string name, Getter getter) {
        using A = std::remove_cvref_t<std::invoke_result_t<Getter, const T&>>;
        return add(number, std::move(name), KilnType::Access::readOnly,
                   [getter](void* result, T& value, GenericIf::AttributeOp op, const void*) {
                       if (op != GenericIf::attrGet) return GenericIf::doesNotApply;
                       *static_cast<A*>(result) = std::invoke(getter, std::as_const(value));
                       return GenericIf::success;
                   });
    }

    // An attribute read by `getter(const T&)` and written by `setter(T&, const A&)`.
    template <class Getter, class Setter>
    ValueTypeDescriptor& readWrite(std::uint32_t number, std::string name, Getter getter,
                                   Setter setter) {
        using A = std::remove_cvref_t<std::invoke_result_t<Getter, const T&>>;
        return add(number, std::move(name), KilnType::Access::readWrite,
                   [getter, setter](void* result, T& value, GenericIf::AttributeOp op,
                                    const void* argument) {
                       if (op == GenericIf::attrGet) {
                           *static_cast<A*>(result) = std::invoke(getter, std::as_const(value));
                       } else if (op == GenericIf::attrSet) {
                           std::invoke(setter, value, *static_cast<const A*>(argument));
                       } else {
                           return GenericIf::doesNotApply;
                       }
                       return GenericIf::success;
                   });
    }

    // The same, numbered one after the attribute described last (or firstAttribute): for
    // types whose attributes are numbered in declaration order.
    template <class Getter>
    ValueTypeDescriptor& readOnly(std::string name, Getter getter) {
        return readOnly(nextNumber(), std::move(name), std::move(getter));
    }
    template <class Getter, class Setter>
    ValueTypeDescriptor& readWrite(std::string name, Getter getter, Setter setter) {
        return readWrite(nextNumber(), std::move(name), std::move(getter), std::move(setter));
    }

    // The attributes T lists for its value text (Kiln::ValueText::forEach), numbered from
    // `first` in that order, so the numbering and the text can never disagree. Each is
    // read-only when `access` is readOnly or its name is in `fixed`, read-write otherwise.
    ValueTypeDescriptor& textAttributes(std::uint32_t first, KilnType::Access access,
                                        std::initializer_list<std::string_view> fixed = {}) {
        T probe{};
        std::uint32_t index = 0;
        ValueText::forEach(probe, [&](const char* name, const auto& field) {
            using A = std::remove_cvref_t<decltype(field)>;
            const bool writable = access == KilnType::Access::readWrite &&
                                  std::find(fixed.begin(), fixed.end(), name) == fixed.end();
            add(first + index, name,
                writable ? KilnType::Access::readWrite : KilnType::Access::readOnly,
                [index, writable](void* result, T& value, GenericIf::AttributeOp op,
                                  const void* argument) {
                    GenericIf::Result r = GenericIf::doesNotApply;
                    std::uint32_t at = 0;
                    ValueText::forEach(value, [&](const char*, auto& f) {
                        if constexpr (std::is_same_v<std::remove_cvref_t<decltype(f)>, A>) {
                            if (at == index && op == GenericIf::attrGet) {
                                *static_cast<A*>(result) = f;
                                r = GenericIf::success;
                            } else if (at == index && op == GenericIf::attrSet && writable) {
                                f = *static_cast<const A*>(argument);
                                r = GenericIf::success;
                            }
                        }
                        ++at;
                    });
                    return r;
                });
            ++index;
        });
        return *this;
    }

    // A function attribute without arguments: `function(T&)`, its return value the result.
    template <class Function>
    ValueTypeDescriptor& function(std::uint32_t number, std::string name, Function function) {
        using R = std::remove_cvref_t<std::invoke_result_t<Function, T&>>;
        return add(number, std::move(name), KilnType::Access::function,
                   [function](void* result, T& value, GenericIf::AttributeOp op, const void*) {
                       if (op != GenericIf::attrCall) return GenericIf::doesNotApply;
                       if constexpr (std::is_void_v<R>) {
                           std::invoke(function, value);
                       } else {
                           *static_cast<R*>(result) = std::invoke(function, value);
                       }
                       return GenericIf::success;
                   });
    }

    // Puts the table and the attributes on the record.
    void install() {
        for (const Accessor& a : state().accessors) type_.attributeIs({a.number, a.name, a.access});
        type_.genericIfIs(&table());
    }

  private:
    using Op = std::function<GenericIf::Result(void* result, T& value, GenericIf::AttributeOp op,
                                               const void* argument)>;
    struct Accessor {
        std::uint32_t number;
        std::string name;
        KilnType::Access access;
        Op op;
    };
    struct State {
        std::vector<Accessor> accessors;
        bool key = false;
    };

    static State& state() {
        static State s;
        return s;
    }

    static GenericIf::Table& table() {
        static GenericIf::Table t = [] {
            GenericIf::Table n;
            n.hash = &hashNone;
            n.voidPtrIs = &voidPtrIsOwn;
            n.attributeOp = &attributeOp;
            if constexpr (!counted) {
                n.destruct = [](void* value) { static_cast<T*>(value)->~T(); };
                n.construct = [](void* dst, const void* src) {
                    if (src) {
                        new (dst) T(*static_cast<const T*>(src));
                    } else {
                        new (dst) T();
                    }
                };
                n.strRep = [](const void* value, const KilnType&) -> String {
                    using Kiln::valueToStrep;
                    return valueToStrep(*static_cast<const T*>(value));
                };
                n.strepToValue = [](void* dst, const String& text, const KilnType&) {
                    *static_cast<T*>(dst) = Kiln::strepToValue<T>(text);
                };
            }
            return n;
        }();
        return t;
    }

    static void* voidPtrIsOwn(void* value, const KilnType& own, const KilnType& wanted) {
        if (!own.isDerived(wanted)) throwTypeException(own, wanted);
        return value;
    }

    static std::uint32_t hashNone(const void*, const KilnType& type) {
        throwUnhashableException(type);
    }

    static std::uint32_t hashKey(const void* v, const KilnType&) {
        const T& value = *static_cast<const T*>(v);
        if constexpr (requires { value.hash(std::uint32_t{0}); }) {
            return value.hash(0);
        } else if constexpr (requires { value.hash(); }) {
            return value.hash();
        } else {
            return hashSingleAttr(0, value);
        }
    }

    static int valueOp(void* result, const T& value, GenericIf::AttributeOp op,
                       const void* argument) {
        if constexpr (!counted) {
            bool answer;
            if (op == GenericIf::isDefault) {
                answer = value == T{};
            } else if (op == GenericIf::isEqual) {
                answer = value == *static_cast<const T*>(argument);
            } else if constexpr (requires(const T& a) { a < a; }) {
                if (!state().key) return GenericIf::doesNotApply;
                answer = value < *static_cast<const T*>(argument);
            } else {
                return GenericIf::doesNotApply;
            }
            *static_cast<bool*>(result) = answer;
            return GenericIf::success;
        } else {
            return GenericIf::doesNotApply;
        }
    }

    static int attributeOp(void* result, void* v, std::uint32_t attribute,
                           GenericIf::AttributeOp op, const void* argument, const void*) {
        T& value = *static_cast<T*>(v);
        if (op == GenericIf::isDefault || op == GenericIf::isEqual || op == GenericIf::isLess) {
            return valueOp(result, value, op, argument);
        }
        for (const Accessor& a : state().accessors) {
            if (a.number == attribute) return a.op(result, value, op, argument);
        }
        return GenericIf::unknownAttribute;
    }

    static std::uint32_t nextNumber() {
        const auto& list = state().accessors;
        return list.empty() ? firstAttribute : list.back().number + 1;
    }

    template <class F>
    ValueTypeDescriptor& add(std::uint32_t number, std::string name, KilnType::Access access,
                             F op) {
        state().accessors.push_back({number, std::move(name), access, Op(std::move(op))});
        return *this;
    }

    KilnType& type_;
};

}  // namespace Kiln
