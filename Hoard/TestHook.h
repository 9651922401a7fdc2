#pragma once

// Pause points for tests. Test builds (FLOWTABLE_TEST_HOOKS) call a hook that a test installs in
// one process, to stop that process at a chosen point of an operation (for instance a reader
// between reading a link and copying the slot it names) while other processes change the table.
// Other builds compile the points to nothing.

#include <cstdint>

#ifdef FLOWTABLE_TEST_HOOKS
#include <functional>
#endif

namespace Hoard::TestHook {

#ifdef FLOWTABLE_TEST_HOOKS
// Called by a reader's run walk with the index of the slot it is about to copy.
inline std::function<void(std::uint32_t)>& readerSlotRead() {
    static std::function<void(std::uint32_t)> hook;
    return hook;
}
#define HOARD_READER_SLOT_READ(index)                                      \
    do {                                                                   \
        if (auto& hook = ::Hoard::TestHook::readerSlotRead()) hook(index); \
    } while (0)
// Called by a scan halfway through copying the value of the slot of that index, after its first
// read of the slot's status: where a writer racing the copy would leave it torn.
inline std::function<void(std::uint32_t)>& readerSlotCopying() {
    static std::function<void(std::uint32_t)> hook;
    return hook;
}
#define HOARD_READER_SLOT_COPYING(index)                                      \
    do {                                                                      \
        if (auto& hook = ::Hoard::TestHook::readerSlotCopying()) hook(index); \
    } while (0)
#else
#define HOARD_READER_SLOT_READ(index) \
    do {                              \
    } while (0)
#define HOARD_READER_SLOT_COPYING(index) \
    do {                                 \
    } while (0)
#endif

}  // namespace Hoard::TestHook
