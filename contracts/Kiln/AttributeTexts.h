#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace Kiln {

// The (attribute name, value text) pairs of a record's value text
// "Value('<type>', ** {'<name>': <text>, ...})", in their order; nested values stay whole in
// their text. Empty when `text` is not such a value text.
std::vector<std::pair<std::string, std::string>> attributeTexts(std::string_view text);

}  // namespace Kiln
