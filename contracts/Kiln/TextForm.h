#pragma once

// The runtime's value text form: writing the runtime's own types (unsigned numbers, doubles,
// booleans) and the parsing primitives every value type's parser is built from.
//
// Parsing rules shared by every parser in the system:
//  - a parser consumes exactly its own text, advancing `pos`, and never looks past `end`;
//  - every failure is a Kiln::RangeException; `deserializeAttr` prefixes the attribute name, so a
//    failure nested inside a record reads "key: srcPort: ...";
//  - numbers are read with std::from_chars: no sign on unsigned numbers, no blanks, no overflow.

#include <concepts>
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <type_traits>

#include "contracts/Kiln/String.h"

namespace Kiln {

// The one error every parser raises. The message names what was expected and where.
class RangeException : public std::exception {
  public:
    explicit RangeException(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const { return message_; }

  private:
    std::string message_;
};

// A short, printable, one-line quote of the text at `pos` for error messages (never reads past
// `end`; bytes outside printable ASCII are written as \xHH).
std::string textExcerpt(String::IteratorConst pos, String::IteratorConst end);

template <class T>
concept UnsignedNumber = std::unsigned_integral<T> && !std::same_as<T, bool>;

// ---- Writing -----------------------------------------------------------------------------------

String valueToStrep(std::uint64_t value);
// The shortest text that reads back to the same double: "inf", "-inf", "nan", "-nan" included.
String valueToStrep(double value);
// "True" or "False".
String valueToStrep(bool value);

template <UnsignedNumber T>
    requires(!std::same_as<T, std::uint64_t>)
String valueToStrep(T value) {
    return valueToStrep(static_cast<std::uint64_t>(value));
}

// A text as one single-quoted line: '\\' and '\'' escaped, every byte outside printable ASCII
// written as \xHH. parseQuotedText reads exactly that back.
String quotedText(std::string_view text);

// ---- Parsing primitives ------------------------------------------------------------------------

// Requires `literal` at `pos` and steps over it. No white space is skipped.
void needString(String::IteratorConst& pos, String::IteratorConst end, std::string_view literal);

// Fails unless `pos` is the end of `text`: a complete value text has nothing after it.
void strepToValueEnd(const String& text, String::IteratorConst pos);

// Re-raises `e` with "attribute: " in front of its message. Never returns.
[[noreturn]] void rethrowFromDeserializeAttr(const RangeException& e, const char* attribute);

[[noreturn]] void throwNumberError(String::IteratorConst pos, String::IteratorConst end,
                                   const char* what, bool outOfRange);

// An integer of type T in decimal (a leading '-' only for signed T).
template <std::integral T>
    requires(!std::same_as<T, bool>)
T parseNumber(String::IteratorConst& pos, String::IteratorConst end);

// The value of a hexadecimal digit, or -1.
int hexDigitValue(char c);
std::string parseQuotedText(String::IteratorConst& pos, String::IteratorConst end);
double parseDouble(String::IteratorConst& pos, String::IteratorConst end);
bool parseBool(String::IteratorConst& pos, String::IteratorConst end);

// How a type is parsed from a text position:
//  - the runtime's own types by the primitives above;
//  - a type with a parser constructor T(pos, end) by that constructor;
//  - anything else (enumerations of outside libraries) by `sequenceToValue(pos, end, (T*)0)`,
//    found by argument-dependent lookup in the type's own namespace.
template <class T>
T parseValue(String::IteratorConst& pos, String::IteratorConst end) {
    if constexpr (std::same_as<T, bool>) {
        return parseBool(pos, end);
    } else if constexpr (std::same_as<T, double>) {
        return parseDouble(pos, end);
    } else if constexpr (std::integral<T>) {
        return parseNumber<T>(pos, end);
    } else if constexpr (std::is_constructible_v<T, String::IteratorConst&, String::IteratorConst>) {
        return T(pos, end);
    } else {
        return sequenceToValue(pos, end, static_cast<T*>(nullptr));
    }
}

// Parses a T that stands as the attribute `attribute` of an enclosing value's text.
template <class T>
T deserializeAttr(String::IteratorConst& pos, String::IteratorConst end, const char* attribute) {
    try {
        return parseValue<T>(pos, end);
    } catch (const RangeException& e) {
        rethrowFromDeserializeAttr(e, attribute);
    }
}

// Parses a complete value text; the pointer only selects the type.
template <class T>
T strepToValue(const String& text, const T* /*type*/ = nullptr) {
    String::IteratorConst pos = text.begin();
    T value = parseValue<T>(pos, text.end());
    strepToValueEnd(text, pos);
    return value;
}

}  // namespace Kiln
