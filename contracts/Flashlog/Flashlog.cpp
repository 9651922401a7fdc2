#include "contracts/Flashlog/Flashlog.h"

#include <fmt/format.h>

namespace Flashlog {

Ring::Ring(std::size_t capacity) { lines_.reserve(capacity == 0 ? 1 : capacity); }

void Ring::record(std::string_view handlerName, int level, std::string_view text) {
    Line line{Kiln::System::currentTime(), std::string(handlerName), level, std::string(text)};
    const std::lock_guard lock(mutex_);
    ++recorded_;
    if (lines_.size() < lines_.capacity()) {
        lines_.push_back(std::move(line));
        return;
    }
    lines_[next_] = std::move(line);
    next_ = (next_ + 1) % lines_.size();
}

std::vector<Line> Ring::lines() const {
    const std::lock_guard lock(mutex_);
    std::vector<Line> out;
    out.reserve(lines_.size());
    for (std::size_t i = 0; i < lines_.size(); ++i)
        out.push_back(lines_[(next_ + i) % lines_.size()]);
    return out;
}

bool Ring::contains(std::string_view text) const {
    const std::lock_guard lock(mutex_);
    for (const Line& line : lines_) {
        if (line.text.find(text) != std::string::npos) return true;
    }
    return false;
}

std::uint64_t Ring::recorded() const {
    const std::lock_guard lock(mutex_);
    return recorded_;
}

void Ring::clear() {
    const std::lock_guard lock(mutex_);
    lines_.clear();
    next_ = 0;
    recorded_ = 0;
}

void Ring::dump(std::FILE* out) const {
    for (const Line& line : lines()) {
        fmt::print(out, "{:.6f} {}[{}] {}\n", line.time, line.handlerName, line.level, line.text);
    }
}

Ring& ring() {
    static Ring theRing(1024);
    return theRing;
}

}  // namespace Flashlog
