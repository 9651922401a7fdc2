#pragma once

#include <cstddef>
#include <functional>
#include <ostream>
#include <string>
#include <string_view>

namespace Kiln {

// The runtime's text value. Owns its characters (a std::string); cheap enough for display and
// text-form work, never used on a table's lookup path.
//
// Thread safety: a value type; distinct objects may be used from distinct threads.
class String {
  public:
    // Parsers walk text through this iterator and advance it as they consume characters.
    using IteratorConst = const char*;

    String() = default;
    String(const char* text) : s_(text ? text : "") {}  // NOLINT: implicit, like a literal
    String(const char* text, std::size_t length) : s_(text, length) {}
    String(std::string text) : s_(std::move(text)) {}  // NOLINT: implicit by design
    explicit String(std::string_view text) : s_(text) {}

    const char* charPtr() const { return s_.c_str(); }
    const std::string& stdString() const { return s_; }
    std::string_view view() const { return s_; }
    std::size_t size() const { return s_.size(); }
    bool empty() const { return s_.empty(); }

    IteratorConst begin() const { return s_.data(); }
    IteratorConst end() const { return s_.data() + s_.size(); }

    String& operator+=(const String& other) {
        s_ += other.s_;
        return *this;
    }
    String& operator+=(std::string_view other) {
        s_ += other;
        return *this;
    }
    // Appends `other` in place; the runtime's name for `+=` on shared texts.
    String& merge(const String& other) { return *this += other; }

    friend String operator+(String a, const String& b) { return a += b; }
    friend String operator+(String a, const char* b) { return a += std::string_view(b); }
    friend bool operator==(const String& a, const String& b) { return a.s_ == b.s_; }
    friend bool operator==(const String& a, const char* b) { return a.s_ == b; }
    friend auto operator<=>(const String& a, const String& b) { return a.s_ <=> b.s_; }
    friend std::ostream& operator<<(std::ostream& os, const String& s) { return os << s.s_; }

  private:
    std::string s_;
};

// A name of an object (entity names, handler names). Same representation as String; a distinct
// type so that a name is never passed where arbitrary text is expected by accident.
class Name : public String {
  public:
    using String::String;
    Name() = default;
    explicit Name(const String& s) : String(s) {}
};

}  // namespace Kiln

template <>
struct std::hash<Kiln::String> {
    std::size_t operator()(const Kiln::String& s) const noexcept {
        return std::hash<std::string>{}(s.stdString());
    }
};
