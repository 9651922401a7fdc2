#include "contracts/Loom/EventSpscQueue.h"

#include <bit>

#include "contracts/Basalt/Exception.h"

namespace Loom {

namespace {

std::size_t ringSize(std::size_t capacity) {
    BASALT_ASSERT(capacity <= (std::size_t{1} << 40));
    return std::bit_ceil(capacity < 2 ? std::size_t{2} : capacity);
}

}  // namespace

EventSpscQueue::EventSpscQueue(std::size_t capacity)
    : mask_(ringSize(capacity) - 1),
      slots_(new CrossThreadDesc*[mask_ + 1]()),
      fifoEvent_(new FifoEvent) {}

EventSpscQueue::~EventSpscQueue() {
    while (descPop()) {
    }
}

bool EventSpscQueue::push(Kiln::Ptr<CrossThreadDesc>&& desc) {
    const std::uint64_t tail = tail_.load(std::memory_order_relaxed);  // our own index
    if (tail - headCache_ > mask_) {
        // Acquire; partner: the release store of head_ in descPop(), after the consumer took
        // the slot's pointer, so the slot may be reused.
        headCache_ = head_.load(std::memory_order_acquire);
        if (tail - headCache_ > mask_) return false;
    }
    slots_[tail & mask_] = desc.release();  // desc's reference becomes the ring's
    // Release; partner: the acquire loads of tail_ in descPop(), which then see the slot and
    // everything the producer wrote to the descriptor.
    tail_.store(tail + 1, std::memory_order_release);
    // Full fence; partner: the fence in descPop() before its second look at tail_. Orders our
    // store of tail_ before our load of head_ (store-load; release/acquire cannot).
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (head_.load(std::memory_order_relaxed) == tail) fifoEvent_->signal();
    return true;
}

Kiln::Ptr<CrossThreadDesc> EventSpscQueue::descPop() {
    const std::uint64_t head = head_.load(std::memory_order_relaxed);  // our own index
    if (tailCache_ == head) {
        // Acquire; partner: the release store of tail_ in push().
        tailCache_ = tail_.load(std::memory_order_acquire);
        if (tailCache_ == head) {
            // Looks empty. Full fence; partner: the fence in push() after its store of tail_.
            // Orders our last store of head_ before this second look at tail_: a producer
            // whose element we miss here sees head_ == its index and signals the FifoEvent.
            std::atomic_thread_fence(std::memory_order_seq_cst);
            tailCache_ = tail_.load(std::memory_order_acquire);  // partner: push()'s release
            if (tailCache_ == head) return nullptr;
        }
    }
    CrossThreadDesc* const raw = slots_[head & mask_];
    slots_[head & mask_] = nullptr;
    // Release; partner: the acquire reload of head_ in push() when the ring looks full.
    head_.store(head + 1, std::memory_order_release);
    return Kiln::Ptr<CrossThreadDesc>::adopt(raw);  // the ring's reference becomes the caller's
}

}  // namespace Loom
