#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "contracts/Kiln/System.h"

namespace Flashlog {

// One recorded line.
struct Line {
    Kiln::Seconds time = 0;  // wall-clock seconds when it was recorded
    std::string handlerName;
    int level = 0;
    std::string text;
};

// A flight recorder: the last `capacity` trace lines of the components that record into it,
// kept in memory whether or not their trace switches send them anywhere, so that a failure can
// print what led to it and a test can read what happened. Older lines are overwritten.
//
// Thread safety: record(), lines() and clear() from any thread (a mutex; recording is for
// errors, warnings and rare events, never for per-packet work).
class Ring {
  public:
    explicit Ring(std::size_t capacity);
    Ring(const Ring&) = delete;
    Ring& operator=(const Ring&) = delete;

    void record(std::string_view handlerName, int level, std::string_view text);
    // The kept lines, oldest first.
    std::vector<Line> lines() const;
    // True when a kept line's text contains `text`.
    bool contains(std::string_view text) const;
    // Lines recorded since the start or the last clear(), including overwritten ones.
    std::uint64_t recorded() const;
    void clear();
    // Prints the kept lines, oldest first, one per line.
    void dump(std::FILE* out) const;

  private:
    mutable std::mutex mutex_;
    std::vector<Line> lines_;  // a ring once full; next_ is the oldest then
    std::size_t next_ = 0;
    std::uint64_t recorded_ = 0;
};

// The process's recorder (1024 lines).
Ring& ring();

// Levels up to this one are recorded whatever the trace switches say.
inline constexpr int recordedLevel = 2;

}  // namespace Flashlog
