#pragma once

#include <concepts>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "contracts/Kiln/TextForm.h"

namespace Kiln {

// The runtime's enumeration type: a qualified type name and its (value, name) table.
// Immutable after construction, so lookups are safe from any thread.
template <std::unsigned_integral U>
class EnumType {
  public:
    struct Enumerator {
        U value;
        const char* name;
    };

    EnumType(const char* typeName, std::initializer_list<Enumerator> enumerators)
        : typeName_(typeName), enumerators_(enumerators) {}

    const char* typeName() const { return typeName_; }
    const std::vector<Enumerator>& enumerators() const { return enumerators_; }

    // The enumerator with this value or name, or nullptr.
    const Enumerator* find(U value) const {
        for (const auto& e : enumerators_) {
            if (e.value == value) return &e;
        }
        return nullptr;
    }
    const Enumerator* find(std::string_view name) const {
        for (const auto& e : enumerators_) {
            if (name == e.name) return &e;
        }
        return nullptr;
    }

    // The enumerator's name, or the decimal number when the value has none.
    String text(U value) const {
        const Enumerator* e = find(value);
        return e ? String(e->name) : valueToStrep(value);
    }

    // Reads what text() writes: an enumerator name, or a number.
    U parse(String::IteratorConst& pos, String::IteratorConst end) const {
        if (pos < end && *pos >= '0' && *pos <= '9') return parseNumber<U>(pos, end);
        auto stop = pos;
        while (stop < end && (isNameChar(*stop))) ++stop;
        const Enumerator* e = find(std::string_view(pos, static_cast<std::size_t>(stop - pos)));
        if (e == nullptr) {
            throw RangeException(std::string("expected a ") + typeName_ + " enumerator at " +
                                 textExcerpt(pos, end));
        }
        pos = stop;
        return e->value;
    }

  private:
    static bool isNameChar(char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '_';
    }

    const char* typeName_;
    std::vector<Enumerator> enumerators_;
};

}  // namespace Kiln
