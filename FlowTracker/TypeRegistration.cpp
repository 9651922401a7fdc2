#include "FlowTracker/TypeRegistration.h"

#include <mutex>

#include "contracts/Kiln/KilnType.h"

namespace FlowTracking {

void registerLibraryTypes() {
    static std::once_flag once;
    std::call_once(once, [] {
        Kiln::registerRuntimeTypes();  // the bases first: the library's records name them
        registerFlowTableTypes();
        registerFtCounterTypes();
        registerFlowTableMgrTypes();
        registerPacketTypes();
    });
}

namespace {
// Every type is registered as soon as the library is loaded.
[[maybe_unused]] const bool libraryTypesRegistered = (registerLibraryTypes(), true);
}  // namespace

}  // namespace FlowTracking
