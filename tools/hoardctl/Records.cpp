#include "tools/hoardctl/Records.h"

#include <cstdio>
#include <string>

#include "tools/hoardctl/Commands.h"
#include "tools/hoardctl/Json.h"

namespace Hoardctl {

std::string jsonString(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
            out += escaped;
        } else {
            out += c;
        }
    }
    out += '"';
    return out;
}

namespace {

bool isJsonNumber(std::string_view t) {
    std::size_t i = t.starts_with('-') ? 1 : 0;
    const auto digits = [&] {
        const std::size_t from = i;
        while (i < t.size() && t[i] >= '0' && t[i] <= '9') ++i;
        return i > from;
    };
    if (i >= t.size() || (t[i] == '0' && i + 1 < t.size() && t[i + 1] >= '0' && t[i + 1] <= '9'))
        return false;
    if (!digits()) return false;
    if (i < t.size() && t[i] == '.' && (++i, !digits())) return false;
    if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
        ++i;
        if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
        if (!digits()) return false;
    }
    return i == t.size();
}

// The string a quoted value text stands for ('a\'b' -> a'b, \xHH -> the byte); false for a text
// that is not one quoted string.
bool unquoted(std::string_view t, std::string& out) {
    if (t.size() < 2 || t.front() != '\'' || t.back() != '\'') return false;
    out.clear();
    for (std::size_t i = 1; i + 1 < t.size(); ++i) {
        if (t[i] == '\'') return false;
        if (t[i] != '\\') {
            out += t[i];
        } else if (i + 2 < t.size() && t[i + 1] == 'x' && i + 4 < t.size()) {
            out += static_cast<char>(std::stoi(std::string(t.substr(i + 2, 2)), nullptr, 16));
            i += 3;
        } else if (i + 2 < t.size()) {
            out += t[++i];
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace

std::string jsonValue(std::string_view text) {
    if (text == "True" || text == "False") return text == "True" ? "true" : "false";
    if (isJsonNumber(text)) return std::string(text);
    std::string s;
    return jsonString(unquoted(text, s) ? std::string_view(s) : text);
}

std::string recordJson(const Hoard::TableKind& kind, const Kiln::GenericValue& value) {
    Kiln::GenericValue key = kind.newKey();
    kind.keyOf(value.get(), key.get());
    const std::string keyText = key.strRep().stdString();
    JsonObject json;
    json.string("type", kind.valueTypeName()).string("key", keyText);
    for (const auto& [name, text] : attributeTexts(value.strRep().stdString())) {
        if (name != "type" && name != "key" && name != "keyAttributes") {
            json.raw(name, jsonValue(text));
        }
    }
    JsonObject keyAttributes;
    for (const auto& [name, text] : attributeTexts(keyText))
        keyAttributes.raw(name, jsonValue(text));
    return json.raw("keyAttributes", keyAttributes.text()).text();
}

RecordFilter::RecordFilter(const Hoard::TableKind& kind,
                           std::vector<std::pair<std::string, std::string>> matches)
    : kind_(kind), matches_(std::move(matches)) {
    const auto recordAttributes = attributeTexts(kind.newValue().strRep().stdString());
    const auto keyAttributes = attributeTexts(kind.newKey().strRep().stdString());
    for (const auto& [name, wanted] : matches_) {
        bool known = false;
        for (const auto* list : {&recordAttributes, &keyAttributes}) {
            for (const auto& a : *list) known = known || a.first == name;
        }
        if (!known) {
            throw UsageError("--match: " + std::string(kind.valueTypeName()) + " and its key " +
                             "have no attribute '" + name + "' (try hoardctl types)");
        }
    }
}

bool RecordFilter::passes(const Kiln::GenericValue& value) const {
    if (matches_.empty()) return true;
    const auto record = attributeTexts(value.strRep().stdString());
    Kiln::GenericValue key = kind_.newKey();
    kind_.keyOf(value.get(), key.get());
    const auto keyAttributes = attributeTexts(key.strRep().stdString());
    std::string s;
    for (const auto& [name, wanted] : matches_) {
        const std::string* text = nullptr;
        for (const auto* list : {&record, &keyAttributes}) {
            for (const auto& a : *list) {
                if (text == nullptr && a.first == name) text = &a.second;
            }
        }
        if (text == nullptr || (*text != wanted && !(unquoted(*text, s) && s == wanted))) {
            return false;
        }
    }
    return true;
}

}  // namespace Hoardctl
