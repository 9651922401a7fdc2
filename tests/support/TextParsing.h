#pragma once

// Parsing helpers for text-form tests. Every parse runs over an exactly-sized heap copy of the
// text (no terminating NUL), so a parser that reads past its end trips AddressSanitizer.

#include <cstring>
#include <memory>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>

#include "contracts/Kiln/TextForm.h"

namespace TestSupport {

// Parses a T from the start of `text`; `consumed` receives how many characters it took.
template <class T>
T parseExact(const std::string& text, std::size_t* consumed = nullptr) {
    auto buf = std::make_unique<char[]>(text.size());
    std::memcpy(buf.get(), text.data(), text.size());
    Kiln::String::IteratorConst pos = buf.get();
    T value = Kiln::parseValue<T>(pos, buf.get() + text.size());
    if (consumed) *consumed = static_cast<std::size_t>(pos - buf.get());
    return value;
}

// The value text and the display text of a value.
template <class T>
std::string textOf(const T& v) {
    return valueToStrep(v).stdString();
}
template <class T>
std::string displayOf(const T& v) {
    std::ostringstream os;
    os << v;
    return os.str();
}

// Parses a complete value text; trailing text is a Kiln::RangeException.
template <class T>
T parseWhole(const std::string& text) {
    std::size_t consumed = 0;
    T value = parseExact<T>(text, &consumed);
    if (consumed != text.size()) throw Kiln::RangeException("trailing text");
    return value;
}

// The parse error of a complete value text, or "accepted".
template <class T>
std::string errorOf(const std::string& text) {
    try {
        parseWhole<T>(text);
    } catch (const Kiln::RangeException& e) {
        return e.what();
    }
    return "accepted";
}

// `text` with its first occurrence of `from` replaced by `to` (`from` must occur).
inline std::string replaced(std::string text, const std::string& from, const std::string& to) {
    const auto at = text.find(from);
    if (at == std::string::npos) throw std::logic_error("no \"" + from + "\" in " + text);
    return text.replace(at, from.size(), to);
}

// One to four random single-character insertions, deletions or replacements, drawn from the
// characters that value texts are made of plus a few hostile bytes.
inline std::string mutated(std::string text, std::mt19937_64& rng) {
    static const char alphabet[] = "0123456789abcdef:./,' {}()-+xVvalueTrueFalsnoinf\\\x01\xff";
    const int edits = 1 + static_cast<int>(rng() % 4);
    for (int e = 0; e < edits; ++e) {
        const std::size_t at = rng() % (text.size() + 1);
        const char c = alphabet[rng() % (sizeof alphabet - 1)];
        switch (rng() % 3) {
            case 0:
                text.insert(at, 1, c);
                break;
            case 1:
                if (at < text.size()) text.erase(at, 1);
                break;
            default:
                if (at < text.size()) text[at] = c;
                break;
        }
    }
    return text;
}

}  // namespace TestSupport
