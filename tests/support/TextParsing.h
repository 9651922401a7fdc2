#pragma once

// Value-text tests as tables. Every parse reads an exactly-sized heap copy of the text (no
// terminating NUL), so a parser that reads past its end trips AddressSanitizer.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

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

template <class T>
std::string textOf(const T& v) {
    using Kiln::valueToStrep;
    if constexpr (std::is_integral_v<T> && std::is_signed_v<T>) {
        return std::to_string(v);  // the runtime writes no signed numbers of its own
    } else {
        return valueToStrep(v).stdString();
    }
}

template <class T>
std::string displayOf(const T& v) {
    std::ostringstream os;
    os << v;
    return os.str();
}

// One type's parser, type-erased: the value text of what it read from the start of a text.
using Parse = std::function<std::string(const std::string&, std::size_t*)>;
using Parsers = std::map<std::string, Parse>;

template <class T>
Parse parserOf() {
    return [](const std::string& text, std::size_t* consumed) {
        return textOf(parseExact<T>(text, consumed));
    };
}

inline bool isOnePrintableLine(const std::string& s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return c >= 0x20 && c < 0x7F; });
}

// A row of a value-text table: each of `texts` reads as `reads` ("=": as itself), taking `length`
// characters when not the whole text. When `reads` is "!" and the start of an error message, none
// of `texts` is a complete value text.
struct TextRow {
    std::string type;
    std::string reads;
    std::vector<std::string> texts;
    std::size_t length = std::string::npos;
};

inline void expectRows(const Parsers& parsers, const std::vector<TextRow>& rows) {
    for (const TextRow& row : rows) {
        for (const std::string& text : row.texts) {
            SCOPED_TRACE(row.type + " " + Kiln::quotedText(text).stdString());
            const Parse& parse = parsers.at(row.type);
            const std::string reads = row.reads == "=" ? text : row.reads;
            std::size_t consumed = 0;
            try {
                const std::string value = parse(text, &consumed);
                if (reads.starts_with('!')) {
                    EXPECT_EQ(reads, "!") << "no error";
                    EXPECT_LT(consumed, text.size()) << "accepted as a complete text";
                    continue;
                }
                EXPECT_EQ(value, reads);
                EXPECT_EQ(consumed, std::min(row.length, text.size()));
                // What is written reads back, and a parser stops at the end of its own text.
                EXPECT_EQ(parse(reads + ", 'x'", &consumed), reads);
                EXPECT_EQ(consumed, reads.size());
            } catch (const Kiln::RangeException& e) {
                EXPECT_TRUE(reads.starts_with('!') && e.message().starts_with(reads.substr(1)))
                    << e.message();
                EXPECT_TRUE(isOnePrintableLine(e.message())) << e.message();
            }
        }
    }
}

// One to three random insertions, deletions, replacements or truncations, drawn from the
// characters value texts are made of, the bytes that must be escaped, and any byte.
inline std::string mutated(std::string text, std::mt19937_64& rng) {
    static const std::string alphabet =
        std::string("0123456789abcdefABCDEF:./,' {}()-+xVvalueTrueFalsnoinf\\\n\x01\x7f\xff") +
        '\0';
    for (int edits = 1 + static_cast<int>(rng() % 3); edits > 0; --edits) {
        const char c = rng() % 4 ? alphabet[rng() % alphabet.size()] : static_cast<char>(rng());
        const std::size_t at = rng() % (text.size() + 1);
        const auto kind = rng() % 4;
        if (kind == 0) text.insert(at, 1, c);
        if (kind == 1 && at < text.size()) text.erase(at, 1);
        if (kind == 2 && at < text.size()) text[at] = c;
        if (kind == 3 && rng() % 4 == 0) text.resize(at);
    }
    return text;
}

// Hostile input from valid texts: no proper prefix reads as the whole value, no mutation crashes,
// errors are one printable line, and whatever is accepted writes a text that reads back to itself.
inline void expectHostileTextsHandled(const Parse& parse, const std::vector<std::string>& valid,
                                      std::mt19937_64& rng, int mutations) {
    std::size_t consumed = 0;
    for (const std::string& full : valid) {
        const std::string canonical = parse(full, &consumed);
        ASSERT_EQ(consumed, full.size()) << full;
        for (std::size_t n = 0; n < full.size(); ++n) {
            try {
                EXPECT_NE(parse(full.substr(0, n), &consumed), canonical) << full.substr(0, n);
                EXPECT_LE(consumed, n);
            } catch (const Kiln::RangeException&) {
            }
        }
    }
    for (int i = 0; i < mutations; ++i) {
        const std::string text = mutated(valid[rng() % valid.size()], rng);
        std::string canonical;
        try {
            canonical = parse(text, &consumed);
        } catch (const Kiln::RangeException& e) {
            ASSERT_TRUE(isOnePrintableLine(e.message())) << e.message();
            continue;
        }
        ASSERT_LE(consumed, text.size());
        ASSERT_EQ(parse(canonical, &consumed), canonical) << Kiln::quotedText(text);
        ASSERT_EQ(consumed, canonical.size()) << canonical;
    }
}

}  // namespace TestSupport
