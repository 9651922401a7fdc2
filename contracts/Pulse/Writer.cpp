#include "contracts/Pulse/Writer.h"

namespace Pulse {

std::uint64_t* Writer::counter(std::string_view name) {
    const std::lock_guard lock(mutex_);
    auto it = counters_.find(name);
    if (it == counters_.end()) it = counters_.emplace(std::string(name), 0).first;
    return &it->second;
}

std::uint64_t Writer::value(std::string_view name) const {
    const std::lock_guard lock(mutex_);
    const auto it = counters_.find(name);
    return it == counters_.end() ? 0 : it->second;
}

Writer& writer() {
    // Never destroyed: entities destroyed during exit may still hold counter addresses.
    static Writer* const registry = new Writer;
    return *registry;
}

}  // namespace Pulse
