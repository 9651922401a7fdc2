#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <typeinfo>
#include <utility>

namespace Kiln {

// The runtime's heap. Memory from either allocator is released with kilnMemFree().
// Both throw std::bad_alloc when memory cannot be obtained; a size of 0 yields a unique pointer.
void* kilnMemAlloc(std::size_t size);
// `alignment` must be a power of two.
void* kilnMemAllocAligned(std::size_t size, std::size_t alignment);
// Null is ignored.
void kilnMemFree(void* p) noexcept;

// Allocation statistics for one type; one static instance per tracked type. The track
// functions accept a null record and then do nothing, so tracking can be switched off by
// passing null.
//
// Thread safety: lock-free; every member may be called concurrently. The counters are
// independent relaxed atomics, so a reader running while other threads allocate sees each
// counter exact but not necessarily a consistent snapshot of all of them.
class AllocTrackTypeInfo {
  public:
    constexpr AllocTrackTypeInfo() = default;
    AllocTrackTypeInfo(const AllocTrackTypeInfo&) = delete;
    AllocTrackTypeInfo& operator=(const AllocTrackTypeInfo&) = delete;

    // Records the type on first use (later calls keep the first type), counts one allocation
    // and adds one live object of `size` bytes.
    static void trackAllocation(AllocTrackTypeInfo* info, const std::type_info& type,
                                std::size_t size);
    // Counts one deallocation and removes one live object; live bytes are left alone.
    static void trackDeallocation(AllocTrackTypeInfo* info);
    // Counts one deallocation and removes one live object of `size` bytes.
    static void trackDeallocation(AllocTrackTypeInfo* info, std::size_t size);

    uint64_t allocations() const noexcept { return allocations_.load(std::memory_order_relaxed); }
    uint64_t deallocations() const noexcept {
        return deallocations_.load(std::memory_order_relaxed);
    }
    // Signed so that an unbalanced deallocation shows as a negative count, not a huge one.
    int64_t live() const noexcept { return live_.load(std::memory_order_relaxed); }
    int64_t liveBytes() const noexcept { return liveBytes_.load(std::memory_order_relaxed); }
    // The demangled name of the recorded type; empty before the first allocation.
    std::string typeName() const;

  private:
    std::atomic<const std::type_info*> type_{nullptr};
    std::atomic<uint64_t> allocations_{0};
    std::atomic<uint64_t> deallocations_{0};
    std::atomic<int64_t> live_{0};
    std::atomic<int64_t> liveBytes_{0};
};

// A base for objects made by newTracked(): it remembers the statistics record the object was
// counted in and counts its deallocation there when the object is destroyed.
class TrackedAllocation {
  public:
    TrackedAllocation() = default;
    TrackedAllocation(const TrackedAllocation&) = delete;
    TrackedAllocation& operator=(const TrackedAllocation&) = delete;
    ~TrackedAllocation() { AllocTrackTypeInfo::trackDeallocation(allocTrack_, allocSize_); }

    void allocTrackIs(AllocTrackTypeInfo* info, std::size_t size) noexcept {
        allocTrack_ = info;
        allocSize_ = size;
    }

  private:
    AllocTrackTypeInfo* allocTrack_ = nullptr;
    std::size_t allocSize_ = 0;
};

// Makes a T on the runtime's heap with tracked allocation: counts the allocation in `info`,
// allocates (T's operator new) and constructs. A constructor that throws leaves nothing behind:
// the memory is freed and the allocation uncounted before the exception passes on.
template <class T, class... Args>
T* newTracked(AllocTrackTypeInfo& info, Args&&... args) {
    AllocTrackTypeInfo::trackAllocation(&info, typeid(T), sizeof(T));
    T* object;
    try {
        object = new T(std::forward<Args>(args)...);
    } catch (...) {
        AllocTrackTypeInfo::trackDeallocation(&info, sizeof(T));
        throw;
    }
    object->allocTrackIs(&info, sizeof(T));
    return object;
}

}  // namespace Kiln
