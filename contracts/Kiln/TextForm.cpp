#include "contracts/Kiln/TextForm.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace Kiln {

namespace {
constexpr std::size_t kExcerptLength = 24;
}

std::string textExcerpt(String::IteratorConst pos, String::IteratorConst end) {
    if (pos >= end) return "end of text";
    std::string out = "\"";
    std::size_t n = 0;
    for (; pos < end && n < kExcerptLength; ++pos, ++n) {
        const auto c = static_cast<unsigned char>(*pos);
        if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char buf[5];
            std::snprintf(buf, sizeof buf, "\\x%02X", c);
            out += buf;
        }
    }
    out += pos < end ? "\"..." : "\"";
    return out;
}

String valueToStrep(std::uint64_t value) {
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, value);
    return String(buf, static_cast<std::size_t>(r.ptr - buf));
}

String valueToStrep(double value) {
    // to_chars writes "inf", "-inf", "nan" and "-nan" for the special values, and otherwise the
    // shortest text that from_chars reads back to the same bits.
    char buf[32];
    auto r = std::to_chars(buf, buf + sizeof buf, value);
    return String(buf, static_cast<std::size_t>(r.ptr - buf));
}

String valueToStrep(bool value) { return value ? String("True") : String("False"); }

String quotedText(std::string_view text) {
    std::string out = "'";
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '\\' || c == '\'') {
            out += '\\';
            out += ch;
        } else if (c >= 0x20 && c < 0x7F) {
            out += ch;
        } else {
            char buf[5];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        }
    }
    out += '\'';
    return String(std::move(out));
}

int hexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string parseQuotedText(String::IteratorConst& pos, String::IteratorConst end) {
    const auto start = pos;
    auto fail = [&](const char* what) -> void {
        throw RangeException(std::string(what) + " at " + textExcerpt(start, end));
    };
    if (pos >= end || *pos != '\'') fail("expected a quoted text");
    std::string out;
    for (auto p = pos + 1; p < end; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (c == '\'') {
            pos = p + 1;
            return out;
        }
        if (c < 0x20 || c >= 0x7F) fail("unescaped byte in quoted text");
        if (c != '\\') {
            out += static_cast<char>(c);
            continue;
        }
        if (++p >= end) break;
        if (*p == '\\' || *p == '\'') {
            out += *p;
        } else if (*p == 'x' && end - p > 2 && hexDigitValue(p[1]) >= 0 && hexDigitValue(p[2]) >= 0) {
            out += static_cast<char>(hexDigitValue(p[1]) * 16 + hexDigitValue(p[2]));
            p += 2;
        } else {
            fail("bad escape in quoted text");
        }
    }
    fail("unterminated quoted text");
    return out;
}

void needString(String::IteratorConst& pos, String::IteratorConst end, std::string_view literal) {
    const auto available = static_cast<std::size_t>(end - pos);
    if (pos > end || available < literal.size() ||
        std::string_view(pos, literal.size()) != literal) {
        throw RangeException("expected \"" + std::string(literal) + "\" at " +
                             textExcerpt(pos, end));
    }
    pos += literal.size();
}

void strepToValueEnd(const String& text, String::IteratorConst pos) {
    if (pos != text.end()) {
        throw RangeException("unexpected text after the value at " +
                             textExcerpt(pos, text.end()));
    }
}

void rethrowFromDeserializeAttr(const RangeException& e, const char* attribute) {
    throw RangeException(std::string(attribute) + ": " + e.message());
}

void throwNumberError(String::IteratorConst pos, String::IteratorConst end, const char* what,
                      bool outOfRange) {
    throw RangeException(std::string(outOfRange ? "out-of-range " : "expected ") + what + " at " +
                         textExcerpt(pos, end));
}

template <std::integral T>
    requires(!std::same_as<T, bool>)
T parseNumber(String::IteratorConst& pos, String::IteratorConst end) {
    static_assert(sizeof(T) <= 8, "numbers are at most 64 bits");
    constexpr const char* what = std::is_signed_v<T> ? "signed number" : "unsigned number";
    T value{};
    if (pos >= end) throwNumberError(pos, end, what, false);
    auto r = std::from_chars(pos, end, value, 10);
    if (r.ec == std::errc::result_out_of_range) throwNumberError(pos, end, what, true);
    if (r.ec != std::errc()) throwNumberError(pos, end, what, false);
    pos = r.ptr;
    return value;
}

template std::uint8_t parseNumber<std::uint8_t>(String::IteratorConst&, String::IteratorConst);
template std::uint16_t parseNumber<std::uint16_t>(String::IteratorConst&, String::IteratorConst);
template std::uint32_t parseNumber<std::uint32_t>(String::IteratorConst&, String::IteratorConst);
template unsigned long parseNumber<unsigned long>(String::IteratorConst&, String::IteratorConst);
template unsigned long long parseNumber<unsigned long long>(String::IteratorConst&,
                                                            String::IteratorConst);
template std::int8_t parseNumber<std::int8_t>(String::IteratorConst&, String::IteratorConst);
template std::int16_t parseNumber<std::int16_t>(String::IteratorConst&, String::IteratorConst);
template std::int32_t parseNumber<std::int32_t>(String::IteratorConst&, String::IteratorConst);
template long parseNumber<long>(String::IteratorConst&, String::IteratorConst);
template long long parseNumber<long long>(String::IteratorConst&, String::IteratorConst);

double parseDouble(String::IteratorConst& pos, String::IteratorConst end) {
    double value = 0;
    if (pos >= end) throwNumberError(pos, end, "number", false);
    auto r = std::from_chars(pos, end, value, std::chars_format::general);
    if (r.ec == std::errc::result_out_of_range) throwNumberError(pos, end, "number", true);
    if (r.ec != std::errc()) throwNumberError(pos, end, "number", false);
    pos = r.ptr;
    return value;
}

bool parseBool(String::IteratorConst& pos, String::IteratorConst end) {
    const std::string_view rest(pos, pos < end ? static_cast<std::size_t>(end - pos) : 0);
    if (rest.starts_with("True")) {
        pos += 4;
        return true;
    }
    if (rest.starts_with("False")) {
        pos += 5;
        return false;
    }
    throw RangeException("expected True or False at " + textExcerpt(pos, end));
}

}  // namespace Kiln
