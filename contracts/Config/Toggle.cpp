#include "contracts/Config/Toggle.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <optional>
#include <string_view>

namespace {

constexpr std::size_t kMaxFileSize = 64 * 1024;
constexpr int kMaxDepth = 32;  // nesting bound of skipped values, so a hostile file cannot
                               // exhaust the stack

std::string toggleDirectory() {
    const char* dir = std::getenv("FLOWTABLE_TOGGLE_DIR");
    return dir != nullptr && *dir != '\0' ? std::string(dir)
                                          : std::string("/etc/flowtable/toggles");
}

// The file's bytes when it is a regular file of at most kMaxFileSize bytes.
std::optional<std::string> readSmallFile(const std::string& path) {
    // O_NONBLOCK: opening a FIFO must not wait for a writer; it is then refused as not regular.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::optional<std::string> result;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
        static_cast<std::uint64_t>(st.st_size) <= kMaxFileSize) {
        std::string text(kMaxFileSize + 1, '\0');
        std::size_t got = 0;
        bool ok = true;
        while (got < text.size()) {
            const ssize_t n = ::read(fd, text.data() + got, text.size() - got);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) ok = false;
            if (n <= 0) break;
            got += static_cast<std::size_t>(n);
        }
        if (ok && got <= kMaxFileSize) {  // a file that grew past the bound is refused too
            text.resize(got);
            result = std::move(text);
        }
    }
    ::close(fd);
    return result;
}

// A strict scanner for one JSON object: it records the last boolean member named `wanted` and
// fails on any text that is not well-formed JSON.
class Scanner {
  public:
    Scanner(std::string_view text, std::string_view wanted) : text_(text), wanted_(wanted) {}

    // True when the whole text is one object (surrounded by white space only).
    bool scanDocument() {
        skipSpace();
        if (!scanObject(0, true)) return false;
        skipSpace();
        return pos_ == text_.size();
    }
    std::optional<bool> found() const { return found_; }

  private:
    bool atEnd() const { return pos_ >= text_.size(); }
    char peek() const { return atEnd() ? '\0' : text_[pos_]; }
    void skipSpace() {
        while (!atEnd() && (peek() == ' ' || peek() == '\t' || peek() == '\n' || peek() == '\r'))
            ++pos_;
    }
    bool consume(char c) {
        if (peek() != c || atEnd()) return false;
        ++pos_;
        return true;
    }
    bool literal(std::string_view word) {
        if (text_.substr(pos_, word.size()) != word) return false;
        pos_ += word.size();
        return true;
    }
    static int hexDigit(char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    }
    static void appendUtf8(std::string& out, std::uint32_t code) {
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }

    // A string; its decoded text in `out` (a \u escape is decoded per code unit: toggle names
    // are ASCII, so surrogate pairs need not be joined to compare them).
    bool scanString(std::string& out) {
        if (!consume('"')) return false;
        while (!atEnd()) {
            const char c = text_[pos_++];
            if (c == '"') return true;
            if (static_cast<unsigned char>(c) < 0x20) return false;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (atEnd()) return false;
            const char e = text_[pos_++];
            switch (e) {
                case '"':
                case '\\':
                case '/':
                    out += e;
                    break;
                case 'b':
                    out += '\b';
                    break;
                case 'f':
                    out += '\f';
                    break;
                case 'n':
                    out += '\n';
                    break;
                case 'r':
                    out += '\r';
                    break;
                case 't':
                    out += '\t';
                    break;
                case 'u': {
                    std::uint32_t code = 0;
                    for (int i = 0; i < 4; ++i) {
                        const int d = atEnd() ? -1 : hexDigit(text_[pos_++]);
                        if (d < 0) return false;
                        code = code * 16 + static_cast<std::uint32_t>(d);
                    }
                    appendUtf8(out, code);
                    break;
                }
                default:
                    return false;
            }
        }
        return false;
    }

    bool scanDigits() {
        const std::size_t start = pos_;
        while (!atEnd() && peek() >= '0' && peek() <= '9') ++pos_;
        return pos_ > start;
    }
    bool scanNumber() {
        consume('-');
        if (!consume('0') && !scanDigits()) return false;
        if (consume('.') && !scanDigits()) return false;
        if (peek() == 'e' || peek() == 'E') {
            ++pos_;
            if (!consume('+')) consume('-');
            if (!scanDigits()) return false;
        }
        return true;
    }

    // Any value; a boolean is returned in `boolean`.
    bool scanValue(int depth, std::optional<bool>& boolean) {
        if (depth > kMaxDepth) return false;
        switch (peek()) {
            case '{':
                return scanObject(depth, false);
            case '[':
                return scanArray(depth);
            case '"': {
                std::string ignored;
                return scanString(ignored);
            }
            case 't':
                boolean = true;
                return literal("true");
            case 'f':
                boolean = false;
                return literal("false");
            case 'n':
                return literal("null");
            default:
                return scanNumber();
        }
    }

    bool scanArray(int depth) {
        if (!consume('[')) return false;
        skipSpace();
        if (consume(']')) return true;
        for (;;) {
            skipSpace();
            std::optional<bool> ignored;
            if (!scanValue(depth + 1, ignored)) return false;
            skipSpace();
            if (consume(']')) return true;
            if (!consume(',')) return false;
        }
    }

    // An object; at the top level its boolean members named `wanted_` are recorded.
    bool scanObject(int depth, bool top) {
        if (!consume('{')) return false;
        skipSpace();
        if (consume('}')) return true;
        for (;;) {
            skipSpace();
            std::string name;
            if (!scanString(name)) return false;
            skipSpace();
            if (!consume(':')) return false;
            skipSpace();
            std::optional<bool> boolean;
            if (!scanValue(depth + 1, boolean)) return false;
            if (top && name == wanted_) found_ = boolean;  // a non-boolean member clears it
            skipSpace();
            if (consume('}')) return true;
            if (!consume(',')) return false;
        }
    }

    std::string_view text_;
    std::string_view wanted_;
    std::size_t pos_ = 0;
    std::optional<bool> found_;
};

}  // namespace

bool getToggleState(const std::string& toggle, const std::string& file, bool defaultState) {
    try {
        const auto text = readSmallFile(toggleDirectory() + "/" + file);
        if (!text) return defaultState;
        Scanner scanner(*text, toggle);
        if (!scanner.scanDocument()) return defaultState;
        return scanner.found().value_or(defaultState);
    } catch (const std::exception&) {
        return defaultState;  // out of memory: the toggle keeps its default
    }
}
