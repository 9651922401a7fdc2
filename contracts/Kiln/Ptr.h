#pragma once

#include <atomic>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <new>
#include <utility>

#include "contracts/Basalt/Exception.h"
#include "contracts/Kiln/AllocTrack.h"

namespace Kiln {

class NotifieeListPtr;
class KilnType;

// Process-wide choice between plain and atomic reference counting. Set it once, before any
// counted object is shared between threads; it is read with relaxed loads on every count change.
class VFPtrInterface {
  public:
    static inline std::atomic<bool> threadSafePointers_{false};

    static bool threadSafePointers() noexcept {
        return threadSafePointers_.load(std::memory_order_relaxed);
    }
    static void threadSafePointersIs(bool on) noexcept {
        threadSafePointers_.store(on, std::memory_order_relaxed);
    }
};

// Base of every intrusively counted object. One 32-bit word holds the reference count (the
// bits under refCountMask) and flag bits (the rest); changing a flag never changes the count
// and counting never changes a flag.
//
// Thread safety: with threadSafePointers_ set, newRef()/deleteRef() and the flag setters are
// atomic read-modify-writes on the word and may run concurrently from any threads; the final
// deleteRef() synchronises with every earlier one, so handleZeroRef() sees all writes made
// through other references. Without the flag, the object must be confined to one thread.
//
// Zero references: an object whose notifiee list holds an active notifiee that takes zero
// references is handed to that notifiee (NotifieeConst::onZeroReferences) instead of being
// deleted; see handleZeroRef().
class PtrInterface : public VFPtrInterface {
  public:
    class NotifieeConst;  // Kiln/Notifiee.h

    static constexpr uint32_t refCountMask = 0x5FFFFFFFu;
    static constexpr uint32_t markedForDeletionBit = 0x80000000u;
    static constexpr uint32_t notificationActiveBit = 0x20000000u;

    PtrInterface() noexcept = default;
    // A copy is a new object: it starts unreferenced and unflagged.
    PtrInterface(const PtrInterface&) noexcept {}
    PtrInterface& operator=(const PtrInterface&) noexcept { return *this; }
    virtual ~PtrInterface() = default;

    uint32_t refCount() const noexcept { return load() & refCountMask; }

    // Adds a reference. Throws Basalt::AssertException when the count would overflow into the
    // flag bits (the count is left unchanged).
    void newRef() const {
        if (threadSafePointers()) {
            const uint32_t before = atomicWord().fetch_add(1, std::memory_order_relaxed);
            if ((before & countLowBits) == countLowBits) {
                atomicWord().fetch_sub(1, std::memory_order_relaxed);
                BASALT_ASSERT(0 && "reference count overflow");
            }
        } else {
            BASALT_ASSERT((refWord_ & countLowBits) != countLowBits);
            ++refWord_;
        }
    }

    // Drops a reference; when the count reaches 0, calls handleZeroRef(). Throws
    // Basalt::AssertException when there is no reference to drop (the word is left unchanged).
    void deleteRef() const {
        // The object was created non-const; dropping the last reference may destroy it.
        if (dropRef()) const_cast<PtrInterface*>(this)->handleZeroRef();
    }

    bool kilnMarkedForDeletion() const noexcept { return (load() & markedForDeletionBit) != 0; }
    void kilnMarkedForDeletionIs(bool on) const noexcept { flagIs(markedForDeletionBit, on); }

    bool hasNotificationActive() const noexcept { return (load() & notificationActiveBit) != 0; }
    void hasNotificationActiveIs(bool on) const noexcept { flagIs(notificationActiveBit, on); }

    // The notifiees watching this object; null for objects that have none (the default).
    virtual NotifieeListPtr* notifieeList() const { return nullptr; }
    // The object's type record: the most derived registered type's `_kilnType`.
    virtual const KilnType* fwkType() const { return &_kilnType; }
    static KilnType _kilnType;

    // Counted objects live on the runtime's heap.
    static void* operator new(std::size_t size) { return kilnMemAlloc(size); }
    static void* operator new(std::size_t size, std::align_val_t alignment) {
        return kilnMemAllocAligned(size, static_cast<std::size_t>(alignment));
    }
    static void* operator new(std::size_t, void* place) noexcept { return place; }
    static void operator delete(void* p) noexcept { kilnMemFree(p); }
    static void operator delete(void* p, std::align_val_t) noexcept { kilnMemFree(p); }
    static void operator delete(void*, void*) noexcept {}

  protected:
    // Called once the count drops to 0. Overrides may recycle the object instead. The default
    // hands the object to the first registered, active notifiee that takes zero references, if
    // any, and otherwise destroys it (it must then have been created with new).
    //
    // The hand-over pins the object with one reference for the duration of onZeroReferences(),
    // so references the notifiee takes and drops meanwhile never reach 0 again. When the
    // notifiee returns, the pin is dropped: if the notifiee kept no reference, the object is
    // destroyed then and there (not handed over a second time); if it kept some, the object
    // lives until they go, and is handed over again only if the notifiee stayed registered.
    // So the notifiee decides by keeping references or not, and never deletes the object itself.
    virtual void handleZeroRef();

  private:
    // The count bits below the flag at bit 29; an increment past them would carry into a flag.
    static constexpr uint32_t countLowBits = 0x1FFFFFFFu;

    // Drops a reference; returns true when it was the last one (no hand-over, no deletion).
    bool dropRef() const {
        uint32_t after;
        if (threadSafePointers()) {
            const uint32_t before = atomicWord().fetch_sub(1, std::memory_order_acq_rel);
            if ((before & countLowBits) == 0) {
                atomicWord().fetch_add(1, std::memory_order_relaxed);
                BASALT_ASSERT(0 && "reference count underflow");
            }
            after = before - 1;
        } else {
            BASALT_ASSERT((refWord_ & countLowBits) != 0);
            after = --refWord_;
        }
        return (after & refCountMask) == 0;
    }

    std::atomic_ref<uint32_t> atomicWord() const noexcept {
        return std::atomic_ref<uint32_t>(refWord_);
    }
    uint32_t load() const noexcept {
        return threadSafePointers() ? atomicWord().load(std::memory_order_relaxed) : refWord_;
    }
    void flagIs(uint32_t bit, bool on) const noexcept {
        if (threadSafePointers()) {
            if (on) {
                atomicWord().fetch_or(bit, std::memory_order_relaxed);
            } else {
                atomicWord().fetch_and(~bit, std::memory_order_relaxed);
            }
        } else if (on) {
            refWord_ |= bit;
        } else {
            refWord_ &= ~bit;
        }
    }

    alignas(std::atomic_ref<uint32_t>::required_alignment) mutable uint32_t refWord_ = 0;
};

// An intrusive counted pointer to a T with newRef()/deleteRef() (normally a PtrInterface).
// Holding a Ptr holds one reference; moving a Ptr moves the reference without touching the count.
//
// Thread safety: like a raw pointer — one Ptr object must not be written concurrently with
// other uses of the same Ptr object; distinct Ptr objects sharing a target may be used from
// distinct threads when threadSafePointers_ is set.
template <typename T>
class Ptr {
  public:
    using element_type = T;

    constexpr Ptr() noexcept = default;
    constexpr Ptr(std::nullptr_t) noexcept {}  // NOLINT: implicit, like a raw pointer
    Ptr(T* p) : p_(p) {                        // NOLINT: implicit, like a raw pointer
        if (p_) p_->newRef();
    }
    Ptr(const Ptr& other) : Ptr(other.p_) {}
    Ptr(Ptr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}

    template <typename U>
    requires std::convertible_to<U*, T*> Ptr(const Ptr<U>& other)
        : Ptr(other.ptr()) {}  // NOLINT: implicit upcast

    template <typename U>
    requires std::convertible_to<U*, T*> Ptr(Ptr<U>&& other)
    noexcept : p_(std::exchange(other.p_, nullptr)) {}  // NOLINT

    ~Ptr() {
        if (p_) p_->deleteRef();
    }

    Ptr& operator=(const Ptr& other) {
        Ptr(other).swap(*this);
        return *this;
    }
    Ptr& operator=(Ptr&& other) noexcept {
        Ptr(std::move(other)).swap(*this);
        return *this;
    }
    Ptr& operator=(T* p) {
        Ptr(p).swap(*this);
        return *this;
    }
    Ptr& operator=(std::nullptr_t) {
        reset();
        return *this;
    }

    // The old target's reference is dropped after the new one is taken, so resetting to the
    // same target is safe.
    void reset(T* p = nullptr) { Ptr(p).swap(*this); }

    // Hands the reference over as a raw pointer: this becomes null and the count is unchanged.
    // Whoever takes the pointer owns that reference (see adopt()).
    [[nodiscard]] T* release() noexcept { return std::exchange(p_, nullptr); }
    // Takes over a reference that `p` already carries (from release()), without counting.
    [[nodiscard]] static Ptr adopt(T* p) noexcept {
        Ptr out;
        out.p_ = p;
        return out;
    }
    void swap(Ptr& other) noexcept { std::swap(p_, other.p_); }

    T* ptr() const noexcept { return p_; }
    T* operator->() const noexcept { return p_; }
    T& operator*() const noexcept { return *p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }

    template <typename U>
    bool operator==(const Ptr<U>& other) const noexcept {
        return p_ == other.ptr();
    }
    bool operator==(const T* other) const noexcept { return p_ == other; }
    bool operator==(std::nullptr_t) const noexcept { return p_ == nullptr; }

  private:
    template <typename U>
    friend class Ptr;

    T* p_ = nullptr;
};

// What every factory of counted runtime objects does: a tracked allocation (newTracked), then
// notification on, handed out as a counted reference.
template <class T, class... Args>
Ptr<T> factoryNew(AllocTrackTypeInfo& info, Args&&... args) {
    Ptr<T> object = newTracked<T>(info, std::forward<Args>(args)...);
    object->hasNotificationActiveIs(true);
    return object;
}

}  // namespace Kiln

template <typename T>
struct std::hash<Kiln::Ptr<T>> {
    std::size_t operator()(const Kiln::Ptr<T>& p) const noexcept {
        return std::hash<T*>{}(p.ptr());
    }
};
