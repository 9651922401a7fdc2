#pragma once

// Named crash points for tests. Test builds (FLOWTABLE_TEST_HOOKS) compile a check before each
// store of the writer's publication steps; a test arms one point in a forked writer process, and
// the process SIGKILLs itself when it reaches that point (optionally the Nth time), leaving the
// files exactly as a writer killed there would. Other builds compile the points to nothing.

#include <cstdint>

#ifdef FLOWTABLE_TEST_HOOKS
#include <signal.h>
#include <unistd.h>

#include <cstring>
#endif

namespace Hoard::CrashPoint {

#ifdef FLOWTABLE_TEST_HOOKS
struct Armed {
    const char* name = nullptr;
    std::uint32_t remaining = 0;
};
inline Armed& armed() {
    static Armed a;
    return a;
}
// Arms `name` (a string literal or other static text): the process kills itself the
// `occurrence`-th time it reaches the point. nullptr disarms.
inline void arm(const char* name, std::uint32_t occurrence = 1) { armed() = Armed{name, occurrence}; }
inline void reach(const char* name) {
    Armed& a = armed();
    if (a.name != nullptr && std::strcmp(a.name, name) == 0 && --a.remaining == 0) {
        ::kill(::getpid(), SIGKILL);
        for (;;) ::pause();
    }
}
#define HOARD_CRASH_POINT(name) ::Hoard::CrashPoint::reach(name)
#else
#define HOARD_CRASH_POINT(name) \
    do {                        \
    } while (0)
#endif

}  // namespace Hoard::CrashPoint
