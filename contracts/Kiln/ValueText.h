#pragma once

// The runtime's generic value text of a record type:
//
//     Value('<qualified type>', ** {'<attribute>': <text>, '<attribute>': <text>})
//
// written and parsed from one description of the record's attributes, so that the writer and
// the parser can never disagree on names or order. A record opts in with
//
//     template <class Visitor, class... Self>
//     static void forEachAttribute(Visitor&& visit, Self&... self) {
//         visit("key", self.key_...);
//         visit("flows", self.flows_...);
//     }
//
// (private, with `friend struct Kiln::ValueText;`), listing attributes in declaration order.
// Each attribute is written with its own value text (numbers, booleans and doubles by the
// runtime, other types by their own `valueToStrep`) and read back by `deserializeAttr`, so a
// failure names the attribute.

#include <string>
#include <type_traits>

#include "contracts/Kiln/String.h"
#include "contracts/Kiln/TextForm.h"

namespace Kiln {

// The value text of one attribute: the runtime's text for its own types, else the type's own
// valueToStrep (found in the type's namespace).
template <class T>
String attributeToStrep(const T& value) {
    return valueToStrep(value);
}

struct ValueText {
    // Calls visit(name, attribute) for each attribute of `record` in declaration order; the
    // attribute is writable when `record` is. The generic interface numbers attributes by it.
    template <class R, class Visitor>
    static void forEach(R& record, Visitor&& visit) {
        std::remove_const_t<R>::forEachAttribute(visit, record);
    }

    template <class R>
    static String write(const char* typeName, const R& record) {
        std::string out = "Value('";
        out += typeName;
        out += "', ** {";
        bool first = true;
        R::forEachAttribute(
            [&](const char* name, const auto& field) {
                out += first ? "'" : ", '";
                first = false;
                out += name;
                out += "': ";
                out += attributeToStrep(field).stdString();
            },
            record);
        out += "})";
        return String(std::move(out));
    }

    // Overwrites every attribute of `record` with what is read; nothing may be left out,
    // reordered, repeated or added.
    template <class R>
    static void read(const char* typeName, R& record, String::IteratorConst& pos,
                     String::IteratorConst end) {
        needString(pos, end, "Value('");
        needString(pos, end, typeName);
        needString(pos, end, "', ** {");
        bool first = true;
        R::forEachAttribute(
            [&](const char* name, auto& field) {
                needString(pos, end, first ? "'" : ", '");
                first = false;
                needString(pos, end, name);
                needString(pos, end, "': ");
                field = deserializeAttr<std::remove_cvref_t<decltype(field)>>(pos, end, name);
            },
            record);
        needString(pos, end, "})");
    }

    // Attribute by attribute in declaration order, stopping at the first difference; doubles
    // compare as doubles, so a NaN is equal to nothing.
    template <class R>
    static bool equal(const R& a, const R& b) {
        bool same = true;
        R::forEachAttribute(
            [&](const char*, const auto& x, const auto& y) { same = same && x == y; }, a, b);
        return same;
    }
};

}  // namespace Kiln
