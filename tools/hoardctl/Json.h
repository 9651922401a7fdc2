#pragma once

// hoardctl's --json output: each answer is one JSON object on one line, built field by field.
// Strings are escaped as RFC 8259 asks (quote, backslash, control characters); bytes above 0x7F
// pass through, and the texts hoardctl prints are ASCII (value texts escape other bytes).
//
// Thread safety: a value owned by one thread.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace Hoardctl {

// `text` as a JSON string, quotes included.
std::string jsonString(std::string_view text);

class JsonObject {
  public:
    JsonObject& string(std::string_view name, std::string_view text) {
        return raw(name, jsonString(text));
    }
    JsonObject& number(std::string_view name, std::uint64_t n) {
        return raw(name, std::to_string(n));
    }
    JsonObject& boolean(std::string_view name, bool b) { return raw(name, b ? "true" : "false"); }
    JsonObject& strings(std::string_view name, const std::vector<std::string>& texts) {
        std::string array = "[";
        for (const std::string& t : texts) {
            if (array.size() > 1) array += ',';
            array += jsonString(t);
        }
        array += ']';
        return raw(name, array);
    }
    // `json` is already a JSON value.
    JsonObject& raw(std::string_view name, std::string_view json) {
        body_ += body_.empty() ? '{' : ',';
        body_ += jsonString(name);
        body_ += ':';
        body_ += json;
        return *this;
    }
    std::string text() const { return body_.empty() ? "{}" : body_ + "}"; }

  private:
    std::string body_;
};

}  // namespace Hoardctl
