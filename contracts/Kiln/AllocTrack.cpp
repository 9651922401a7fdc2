#include "contracts/Kiln/AllocTrack.h"

#include <cstdlib>
#include <new>

#include "contracts/Kiln/Demangle.h"

namespace Kiln {

void* kilnMemAlloc(std::size_t size) {
    void* p = std::malloc(size ? size : 1);
    if (!p) throw std::bad_alloc();
    return p;
}

void* kilnMemAllocAligned(std::size_t size, std::size_t alignment) {
    if (alignment < sizeof(void*)) alignment = sizeof(void*);
    // aligned_alloc wants the size to be a multiple of the alignment.
    const std::size_t rounded = ((size ? size : 1) + alignment - 1) / alignment * alignment;
    if (rounded < size) throw std::bad_alloc();
    void* p = std::aligned_alloc(alignment, rounded);
    if (!p) throw std::bad_alloc();
    return p;
}

void kilnMemFree(void* p) noexcept { std::free(p); }

void AllocTrackTypeInfo::trackAllocation(AllocTrackTypeInfo* info, const std::type_info& type,
                                         std::size_t size) {
    if (!info) return;
    const std::type_info* expected = nullptr;
    info->type_.compare_exchange_strong(expected, &type, std::memory_order_relaxed);
    info->allocations_.fetch_add(1, std::memory_order_relaxed);
    info->live_.fetch_add(1, std::memory_order_relaxed);
    info->liveBytes_.fetch_add(static_cast<int64_t>(size), std::memory_order_relaxed);
}

void AllocTrackTypeInfo::trackDeallocation(AllocTrackTypeInfo* info) {
    if (!info) return;
    info->deallocations_.fetch_add(1, std::memory_order_relaxed);
    info->live_.fetch_sub(1, std::memory_order_relaxed);
}

void AllocTrackTypeInfo::trackDeallocation(AllocTrackTypeInfo* info, std::size_t size) {
    if (!info) return;
    trackDeallocation(info);
    info->liveBytes_.fetch_sub(static_cast<int64_t>(size), std::memory_order_relaxed);
}

std::string AllocTrackTypeInfo::typeName() const {
    const std::type_info* type = type_.load(std::memory_order_relaxed);
    return type ? demangleStdString(type->name()) : std::string();
}

}  // namespace Kiln
