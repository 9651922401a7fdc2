#include "contracts/Basalt/DebugHandler.h"

#include <map>
#include <mutex>

#include "contracts/Basalt/TraceSink.h"

namespace Basalt::Platform {

namespace {

struct Registry {
    std::mutex mutex;
    std::map<std::string, std::shared_ptr<DebugHandler>, std::less<>> handlers;  // guarded
};

// Never destroyed: static objects elsewhere may look handlers up during their destruction.
Registry& registry() {
    static auto* r = new Registry;
    return *r;
}

}  // namespace

DebugHandler::DebugHandler(std::string name)
    : TraceSwitch(name, traceSwitchWord(name)) {}

void DebugHandler::report(const std::ostringstream& stream, int level, const char* file, int line,
                          const char* function) const {
    if (!enabled(level)) return;
    traceSink().write(name(), level, file, line, function, stream.view());
}

std::shared_ptr<DebugHandler> getDebugHandler(const std::string& name) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto it = r.handlers.find(name);
    if (it == r.handlers.end()) {
        it = r.handlers.emplace(name, std::make_shared<DebugHandler>(name)).first;
    }
    return it->second;
}

}  // namespace Basalt::Platform
