#include "contracts/Kiln/AttributeTexts.h"

namespace Kiln {

std::vector<std::pair<std::string, std::string>> attributeTexts(std::string_view text) {
    std::vector<std::pair<std::string, std::string>> out;
    std::size_t at = text.find("** {");
    if (at == std::string_view::npos) return out;
    at += 4;
    int depth = 0;
    char quote = 0;
    std::size_t start = at;
    for (std::size_t i = at; i < text.size(); ++i) {
        const char c = text[i];
        if (quote != 0) {
            if (c == '\\') {
                ++i;
            } else if (c == quote) {
                quote = 0;
            }
        } else if (c == '\'' || c == '"') {
            quote = c;
        } else if (c == '(' || c == '[' || c == '{') {
            ++depth;
        } else if ((c == ',' && depth == 0) ||
                   ((c == ')' || c == ']' || c == '}') && depth-- == 0)) {
            const std::string_view item = text.substr(start, i - start);  // " 'name': text"
            const std::size_t open = item.find('\''), close = item.find("': ", open + 1);
            if (open != std::string_view::npos && close != std::string_view::npos) {
                out.emplace_back(item.substr(open + 1, close - open - 1), item.substr(close + 3));
            }
            if (c != ',') break;
            start = i + 1;
        }
    }
    return out;
}

}  // namespace Kiln
