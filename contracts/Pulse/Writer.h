#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

namespace Pulse {

// The process-wide registry of named 64-bit event counters. It owns the counters; each lives in
// a node of a node-based map, so its address never moves and stays valid for the life of the
// process (the registry itself is never destroyed, not even at exit).
//
// Thread safety: counter() and value() may be called from any thread (registration is
// under a mutex). The counters are plain words: their owner increments them from its own thread
// without synchronisation, and a reader on another thread must synchronise with the owner
// (e.g. join it) before value() is meaningful.
class Writer {
  public:
    Writer() = default;
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    // The counter named `name`, created at 0 on first use; the same address for the same name.
    std::uint64_t* counter(std::string_view name);
    // The value of the counter named `name`; 0 when none was created.
    std::uint64_t value(std::string_view name) const;

  private:
    mutable std::mutex mutex_;
    std::map<std::string, std::uint64_t, std::less<>> counters_;  // guarded by mutex_
};

// The registry of this process.
Writer& writer();

}  // namespace Pulse
