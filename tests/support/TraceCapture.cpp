#include "tests/support/TraceCapture.h"

namespace TestSupport {

TraceCapture::TraceCapture() : previous_(&Basalt::traceSink()) { Basalt::traceSinkIs(this); }

TraceCapture::~TraceCapture() { Basalt::traceSinkIs(previous_); }

void TraceCapture::write(std::string_view handlerName, int level, const char* /*file*/,
                         int /*line*/, const char* function, std::string_view text) {
    Entry entry{std::string(handlerName), level, function ? function : "", std::string(text)};
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.push_back(std::move(entry));
}

bool TraceCapture::contains(std::string_view text) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Entry& e : entries_) {
        if (e.text.find(text) != std::string::npos) return true;
    }
    return false;
}

std::vector<TraceCapture::Entry> TraceCapture::entries() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_;
}

void TraceCapture::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.clear();
}

}  // namespace TestSupport
