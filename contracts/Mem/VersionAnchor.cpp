#include "contracts/Mem/VersionAnchor.h"

#include <cstdint>

#include "contracts/Mem/Atomics.h"

namespace Mem {

namespace {
// The assertion's source is a fixed text, not this file's name.
constexpr const char* kSource = "SharedMem/VersionAnchor";
constexpr const char* kOperation = "VersionAnchor::validate";
}  // namespace

void VersionAnchor::validate() const {
    if (offset == unset) {
        Basalt::debugAndThrowAssertException(
            "should not be called on a default-constructed VersionAnchor", kSource, __LINE__,
            kOperation);
    }
    if (offset == invalid || base == nullptr) throw VersionMismatchException();
    const auto address = reinterpret_cast<std::uintptr_t>(base) + offset;
    if (address % alignof(std::uint32_t) != 0) {
        Basalt::debugAndThrowAssertException("VersionAnchor offset is not 4-aligned", kSource,
                                             __LINE__, kOperation);
    }
    // Pairs with the writer's release stores of a slot's status word (every rewrite and removal
    // changes it), so equality means no change was published since the anchor was recorded.
    const auto& word = *reinterpret_cast<const std::uint32_t*>(address);
    if (Atomics::loadAcquire(word) != status) throw VersionMismatchException();
}

void VersionAnchor::validate(std::uint32_t currentEpoch) const {
    if (offset != unset && epoch != currentEpoch) throw VersionMismatchException();
    validate();
}

}  // namespace Mem
