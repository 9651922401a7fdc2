#include "contracts/Kiln/Trace.h"

#include "contracts/Basalt/TraceSink.h"

namespace Kiln {

TraceHandle::TraceHandle(const char* name, bool active)
    : TraceSwitch(name ? name : "", active ? Basalt::traceSwitchWord(name ? name : "") : 0u) {}

TraceHelper::~TraceHelper() {
    if (!started_) return;
    // Tracing must never take the traced code down: a failing sink loses the line.
    try {
        Basalt::traceSink().write(handle_.name(), level_, file_, line_, function_, stream_.str());
    } catch (...) {
    }
}

}  // namespace Kiln
