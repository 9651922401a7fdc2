#pragma once

#include <compare>
#include <ostream>
#include <string>

#include "contracts/Kiln/String.h"
#include "contracts/Kiln/TextForm.h"

namespace Wirekit {

// What every name-like value type shares (interface ids, VRF names): a text, compared and ordered
// as bytes. Value text: single-quoted with escapes (always one line); display text: the bare text.
// Owns its characters, so these values live in descriptors, never in shared-memory records.
template <class Derived>
class TextValue {
  public:
    TextValue() = default;
    explicit TextValue(std::string text) : text_(std::move(text)) {}
    explicit TextValue(const char* text) : text_(text) {}
    TextValue(Kiln::String::IteratorConst& pos, Kiln::String::IteratorConst end)
        : text_(Kiln::parseQuotedText(pos, end)) {}

    const std::string& stdString() const { return text_; }
    const char* charPtr() const { return text_.c_str(); }
    bool empty() const { return text_.empty(); }

    friend bool operator==(const Derived& a, const Derived& b) { return a.text_ == b.text_; }
    friend std::strong_ordering operator<=>(const Derived& a, const Derived& b) {
        return a.text_ <=> b.text_;
    }
    friend std::ostream& operator<<(std::ostream& os, const Derived& v) { return os << v.text_; }
    friend Kiln::String valueToStrep(const Derived& v) { return Kiln::quotedText(v.text_); }

  private:
    std::string text_;
};

// The name of an interface ("Ethernet1", "Vlan100"); empty for none.
class IntfId : public TextValue<IntfId> {
  public:
    using TextValue::TextValue;
};

}  // namespace Wirekit
