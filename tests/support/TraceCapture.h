#pragma once

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "contracts/Basalt/TraceSink.h"

namespace TestSupport {

// Captures every trace line written while it is alive: installs itself as the process's trace
// sink on construction and puts the previous sink back on destruction. Safe to write to from
// several threads at once.
class TraceCapture : public Basalt::TraceSink {
  public:
    struct Entry {
        std::string handlerName;
        int level;
        std::string function;
        std::string text;
    };

    TraceCapture();
    ~TraceCapture() override;
    TraceCapture(const TraceCapture&) = delete;
    TraceCapture& operator=(const TraceCapture&) = delete;

    void write(std::string_view handlerName, int level, const char* file, int line,
               const char* function, std::string_view text) override;

    // True when some captured line's text contains `text`.
    bool contains(std::string_view text) const;
    std::vector<Entry> entries() const;
    void clear();

  private:
    Basalt::TraceSink* previous_;
    mutable std::mutex mutex_;
    std::vector<Entry> entries_;  // guarded by mutex_
};

}  // namespace TestSupport
