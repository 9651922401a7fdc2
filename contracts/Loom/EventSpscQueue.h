#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "contracts/Kiln/Ptr.h"
#include "contracts/Loom/CrossThreadDesc.h"
#include "contracts/Loom/FifoEvent.h"

namespace Loom {

// A bounded ring of descriptors from one producer thread to one consumer thread, with a
// FifoEvent that wakes the consumer's loop when the ring turns non-empty.
//
// Ownership: counted (Kiln::Ptr). The queue owns its ring and holds its FifoEvent counted; the
// event may outlive the queue (a loop's watch, a notifiee's notifier).
//
// Thread safety: push() from the producer thread only; descPop(), the FifoEvent's clear() and
// watch, and the destructor from the consumer thread only (the destructor after the producer is
// done). Neither side takes a lock or allocates. Descriptors arrive in push order, each exactly
// once; the queue owns the reference of each descriptor between push and pop (see CrossThreadDesc).
//
// Wake-ups: push() signals the FifoEvent only when it finds the consumer caught up with the
// element it pushed (the empty-to-non-empty transition). The consumer clears the FifoEvent
// before it drains (a watching FifoEvent does so before it notifies), and descPop() reports
// empty only after a full fence and a second look at the producer's index. Each side thus stores
// its own index, fences (seq_cst), then reads the other's; with both fences, at least one side sees
// the other's store: either the consumer's second look finds the new element, or the producer sees
// the consumer caught up and signals. No element is left in the ring while the consumer sleeps.
class EventSpscQueue : public Kiln::PtrInterface {
  public:
    // Holds up to `capacity` descriptors (rounded up to a power of two, at least 2).
    explicit EventSpscQueue(std::size_t capacity);
    EventSpscQueue(const EventSpscQueue&) = delete;
    EventSpscQueue& operator=(const EventSpscQueue&) = delete;
    ~EventSpscQueue() override;

    std::size_t capacity() const { return mask_ + 1; }

    // Producer. Appends `desc` and takes over its reference (desc is null afterwards); false,
    // with desc untouched, when the ring is full: the producer decides what to drop.
    bool push(Kiln::Ptr<CrossThreadDesc>&& desc);

    // Consumer. Removes and returns the oldest descriptor, or null when there is none.
    Kiln::Ptr<CrossThreadDesc> descPop();

    const Kiln::Ptr<FifoEvent>& fifoEvent() const { return fifoEvent_; }

  private:
    static constexpr std::size_t cacheLine = 64;

    const std::size_t mask_;
    const std::unique_ptr<CrossThreadDesc*[]> slots_;  // owned references; null when free
    const Kiln::Ptr<FifoEvent> fifoEvent_;

    // Next index to write; written by the producer only.
    alignas(cacheLine) std::atomic<std::uint64_t> tail_{0};
    // The producer's copy of head_, reloaded only when the ring looks full; at most as new as
    // the last reload, so it may under-report free space, never over-report it.
    std::uint64_t headCache_ = 0;

    // Next index to read; written by the consumer only.
    alignas(cacheLine) std::atomic<std::uint64_t> head_{0};
    // The consumer's copy of tail_, reloaded when the ring looks empty; may under-report
    // pending elements, never over-report them.
    std::uint64_t tailCache_ = 0;
};

}  // namespace Loom
