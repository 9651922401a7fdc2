#include "contracts/Basalt/TraceSink.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>

namespace Basalt {

namespace {

class StderrTraceSink : public TraceSink {
  public:
    void write(std::string_view handlerName, int level, const char* /*file*/, int /*line*/,
               const char* function, std::string_view text) override {
        // Build the whole line first so that concurrent writers never interleave within a line.
        std::string out;
        out.reserve(handlerName.size() + text.size() + 32);
        out.append(handlerName);
        out += '[';
        out += std::to_string(level);
        out += "] ";
        out += function ? function : "?";
        out += ": ";
        out.append(text);
        if (out.empty() || out.back() != '\n') out += '\n';
        std::lock_guard<std::mutex> lock(mutex_);
        std::fwrite(out.data(), 1, out.size(), stderr);
        std::fflush(stderr);
    }

  private:
    std::mutex mutex_;
};

// Never destroyed: traces may be written from static destructors of other translation units.
StderrTraceSink& stderrSink() {
    static auto* sink = new StderrTraceSink;
    return *sink;
}

std::atomic<TraceSink*> installedSink{nullptr};

std::string_view trim(std::string_view s) {
    const auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    while (!s.empty() && isSpace(s.front())) s.remove_prefix(1);
    while (!s.empty() && isSpace(s.back())) s.remove_suffix(1);
    return s;
}

// A level number: decimal digits only, within 0..traceLevelMax.
std::optional<int> parseLevel(std::string_view s) {
    s = trim(s);
    if (s.empty() || s.size() > 2) return std::nullopt;
    int value = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    if (value > traceLevelMax) return std::nullopt;
    return value;
}

// The levels of one entry as a bit word, or nullopt when any part of the list is malformed.
std::optional<uint32_t> parseLevels(std::string_view list) {
    uint32_t word = 0;
    bool any = false;
    while (true) {
        const size_t comma = list.find(',');
        const std::string_view token = list.substr(0, comma);
        const size_t dash = token.find('-');
        if (dash == std::string_view::npos) {
            const auto level = parseLevel(token);
            if (!level) return std::nullopt;
            word |= 1u << *level;
        } else {
            const auto low = parseLevel(token.substr(0, dash));
            const auto high = parseLevel(token.substr(dash + 1));
            if (!low || !high || *low > *high) return std::nullopt;
            for (int l = *low; l <= *high; ++l) word |= 1u << l;
        }
        any = true;
        if (comma == std::string_view::npos) break;
        list.remove_prefix(comma + 1);
    }
    if (!any) return std::nullopt;
    return word;
}

bool nameMatches(std::string_view pattern, std::string_view handlerName) {
    if (!pattern.empty() && pattern.back() == '*') {
        pattern.remove_suffix(1);
        return handlerName.substr(0, pattern.size()) == pattern;
    }
    return pattern == handlerName;
}

// The FLOWTABLE_TRACE value in use. Never destroyed, so that handlers created by static
// constructors or destructors of other translation units can still read it.
struct CachedSwitches {
    std::mutex mutex;
    std::optional<std::string> value;  // guarded by mutex; nullopt until first read
};

CachedSwitches& cachedSwitches() {
    static auto* cached = new CachedSwitches;
    return *cached;
}

std::string readSwitchesVariable() {
    const char* value = std::getenv(traceSwitchesVariable);
    return value ? std::string(value) : std::string();
}

}  // namespace

TraceSink& traceSink() {
    TraceSink* sink = installedSink.load(std::memory_order_acquire);
    return sink ? *sink : stderrSink();
}

void traceSinkIs(TraceSink* sink) {
    if (sink == &stderrSink()) sink = nullptr;
    installedSink.store(sink, std::memory_order_release);
}

uint32_t traceSwitchWord(std::string_view handlerName, std::string_view switches) {
    uint32_t word = 1u << traceLevelError;
    while (!switches.empty()) {
        const size_t semi = switches.find(';');
        const std::string_view entry = switches.substr(0, semi);
        switches = semi == std::string_view::npos ? std::string_view() : switches.substr(semi + 1);

        const size_t eq = entry.find('=');
        if (eq == std::string_view::npos) continue;
        const std::string_view pattern = trim(entry.substr(0, eq));
        if (pattern.empty()) continue;
        // A `*` is only meaningful as the last character of the name.
        if (pattern.find('*') < pattern.size() - 1) continue;
        const auto levels = parseLevels(entry.substr(eq + 1));
        if (!levels) continue;
        if (nameMatches(pattern, handlerName)) word |= *levels;
    }
    return word;
}

uint32_t traceSwitchWord(std::string_view handlerName) {
    CachedSwitches& cached = cachedSwitches();
    std::lock_guard<std::mutex> lock(cached.mutex);
    if (!cached.value) cached.value = readSwitchesVariable();
    return traceSwitchWord(handlerName, *cached.value);
}

void traceSwitchesReload() {
    std::string value = readSwitchesVariable();
    CachedSwitches& cached = cachedSwitches();
    std::lock_guard<std::mutex> lock(cached.mutex);
    cached.value = std::move(value);
}

}  // namespace Basalt
