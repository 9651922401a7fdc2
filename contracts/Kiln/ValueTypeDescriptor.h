#pragma once

#include <concepts>
#include <cstdint>
#include <functional>
#include <new>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "contracts/Kiln/Hash.h"
#include "contracts/Kiln/KilnType.h"
#include "contracts/Kiln/String.h"
#include "contracts/Kiln/TextForm.h"

namespace Kiln {

// Fills the generic function table of an ordinary C++ value type T and describes its
// attributes on T's type record:
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
// The table: destruct runs ~T; construct copies or default-constructs; hash is the value's
// own hash (hash(0), else hash(), else hashSingleAttr(0, value)) for keys and raises
// throwUnhashableException otherwise; voidPtrIs returns the value's address when its type is
// or derives from the wanted one and raises throwTypeException otherwise; strRep is the
// value's valueToStrep; strepToValue its text parser. attributeOp reads, writes and calls
// the described attributes (attrGet and attrSet pass the attribute's own C++ type through
// result and argument; attrCall writes the function's return value), answers isDefault by
// `== T{}`, isEqual by `==` and isLess by `<` (doesNotApply when T has no `<`), and returns
// doesNotApply for every other op; value ops write a bool.
template <class T>
class ValueTypeDescriptor {
  public:
    explicit ValueTypeDescriptor(KilnType& type) : type_(type) {
        accessors().clear();
        table().hash = &hashNone;
    }

    // T is a key: its values hash.
    ValueTypeDescriptor& key() {
        table().hash = &hashKey;
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
        for (const Accessor& a : accessors()) type_.attributeIs({a.number, a.name, a.access});
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

    static std::vector<Accessor>& accessors() {
        static std::vector<Accessor> list;
        return list;
    }

    static GenericIf::Table& table() {
        static GenericIf::Table t{
            .destruct = [](void* value) { static_cast<T*>(value)->~T(); },
            .construct =
                [](void* dst, const void* src) {
                    if (src) {
                        new (dst) T(*static_cast<const T*>(src));
                    } else {
                        new (dst) T();
                    }
                },
            .hash = &hashNone,
            .voidPtrIs = [](void* value, const KilnType& own, const KilnType& wanted) -> void* {
                if (!own.isDerived(wanted)) throwTypeException(own, wanted);
                return value;
            },
            .strRep = [](const void* value, const KilnType&) -> String {
                using Kiln::valueToStrep;
                return valueToStrep(*static_cast<const T*>(value));
            },
            .strepToValue =
                [](void* dst, const String& text, const KilnType&) {
                    *static_cast<T*>(dst) = Kiln::strepToValue<T>(text);
                },
            .attributeOp = &attributeOp,
        };
        return t;
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

    static int attributeOp(void* result, void* v, std::uint32_t attribute,
                           GenericIf::AttributeOp op, const void* argument, const void*) {
        T& value = *static_cast<T*>(v);
        switch (op) {
            case GenericIf::isDefault:
                *static_cast<bool*>(result) = value == T{};
                return GenericIf::success;
            case GenericIf::isEqual:
                *static_cast<bool*>(result) = value == *static_cast<const T*>(argument);
                return GenericIf::success;
            case GenericIf::isLess:
                if constexpr (requires(const T& a) { a < a; }) {
                    *static_cast<bool*>(result) = value < *static_cast<const T*>(argument);
                    return GenericIf::success;
                } else {
                    return GenericIf::doesNotApply;
                }
            default:
                for (const Accessor& a : accessors()) {
                    if (a.number == attribute) return a.op(result, value, op, argument);
                }
                return GenericIf::unknownAttribute;
        }
    }

    template <class F>
    ValueTypeDescriptor& add(std::uint32_t number, std::string name, KilnType::Access access,
                             F op) {
        accessors().push_back({number, std::move(name), access, Op(std::move(op))});
        return *this;
    }

    KilnType& type_;
};

}  // namespace Kiln
