#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "contracts/Kiln/AttributeWatcher.h"
#include "contracts/Loom/EventLoop.h"
#include "contracts/Loom/EventSpscQueue.h"
#include "tests/support/AllocationCounter.h"

namespace {

using Loom::CrossThreadDesc;
using Loom::EventSpscQueue;

std::atomic<int> liveDescs{0};

// A descriptor carrying a sequence number and its complement, so a torn or stale read shows.
class SeqDesc : public CrossThreadDesc {
  public:
    explicit SeqDesc(std::uint64_t seq) : seq_(seq), check_(~seq) { ++liveDescs; }
    ~SeqDesc() override { --liveDescs; }
    std::uint64_t seq() const {
        EXPECT_EQ(check_, ~seq_);
        return seq_;
    }

  private:
    std::uint64_t seq_;
    std::uint64_t check_;
};

std::uint64_t seqOf(const Kiln::Ptr<CrossThreadDesc>& d) {
    return static_cast<const SeqDesc*>(d.ptr())->seq();
}

TEST(LoomEventSpscQueue, CapacityRoundsUpToAPowerOfTwo) {
    const std::pair<std::size_t, std::size_t> cases[] = {{0, 2}, {1, 2},   {2, 2},
                                                         {3, 4}, {64, 64}, {65, 128}};
    for (auto [asked, got] : cases) EXPECT_EQ(EventSpscQueue(asked).capacity(), got) << asked;
}

// In FIFO order, without allocating, refusing a push when full; the ring owns the references
// between push and pop; one signal per empty-to-non-empty transition.
TEST(LoomEventSpscQueue, FifoOwnershipAndOneSignalPerTurnNonEmpty) {
    {
        EventSpscQueue q(4);
        std::vector<Kiln::Ptr<CrossThreadDesc>> d;
        for (std::uint64_t i = 0; i < 6; ++i) d.emplace_back(new SeqDesc(i));
        const std::uint64_t allocations = TestSupport::threadAllocations();
        for (int i = 0; i < 4; ++i) ASSERT_TRUE(q.push(std::move(d[i])));
        EXPECT_FALSE(d[0]);                     // the reference moved into the ring
        EXPECT_FALSE(q.push(std::move(d[4])));  // full: refused, still the caller's
        ASSERT_TRUE(d[4]);
        EXPECT_EQ(q.fifoEvent()->clear(), 1u);  // for the first push only
        for (std::uint64_t i = 0; i < 2; ++i) {
            const Kiln::Ptr<CrossThreadDesc> p = q.descPop();
            EXPECT_EQ(seqOf(p), i);
            EXPECT_EQ(p->refCount(), 1u);  // the ring kept no reference
        }
        EXPECT_TRUE(q.push(std::move(d[4])));  // wraps into a freed slot; not empty: no signal
        EXPECT_EQ(q.fifoEvent()->readableCount(), 0u);
        for (std::uint64_t i : {2, 3, 4}) EXPECT_EQ(seqOf(q.descPop()), i);
        EXPECT_FALSE(q.descPop());
        EXPECT_TRUE(q.push(std::move(d[5])));  // empty again: signalled
        EXPECT_EQ(q.fifoEvent()->clear(), 1u);
        EXPECT_EQ(TestSupport::threadAllocations(), allocations);
        EXPECT_EQ(liveDescs.load(), 1);  // 5, destroyed with the queue
    }
    EXPECT_EQ(liveDescs.load(), 0);
}

// A producer pushes a million descriptors while the consumer's loop sleeps in epoll between
// wake-ups. A lost wake-up leaves the consumer asleep with elements in the ring: the bounded
// wait below then fails the test instead of hanging it.
TEST(LoomEventSpscQueue, CrossThreadNoLostWakeUpInOrderExactlyOnce) {
    constexpr std::uint64_t total = 1'000'000;
    EventSpscQueue q(256);
    Loom::EventLoop loop;
    std::mutex m;
    std::condition_variable cv;
    std::uint64_t received = 0;  // guarded by m
    bool outOfOrder = false;     // loop thread only until it is joined

    // The event clears itself before it notifies: a push after the drain signals again.
    Kiln::Ptr<Kiln::AttributeWatcher> drainer = new Kiln::AttributeWatcher(
        q.fifoEvent().ptr(), Loom::FifoEvent::readableCountAttribute, [&] {
            std::uint64_t next = received;  // only this thread writes it
            while (auto d = q.descPop()) outOfOrder |= seqOf(d) != next++;
            std::lock_guard<std::mutex> lock(m);
            received = next;
            if (received == total) cv.notify_all();
        });
    q.fifoEvent()->eventLoopIs(&loop);
    std::thread consumer([&] { loop.run(); });
    std::atomic<bool> abandon{false};
    std::thread producer([&] {
        for (std::uint64_t i = 0; i < total; ++i) {
            Kiln::Ptr<CrossThreadDesc> d = new SeqDesc(i);
            while (!q.push(std::move(d))) {
                if (abandon.load(std::memory_order_relaxed)) return;
                std::this_thread::yield();
            }
        }
    });
    {
        std::unique_lock<std::mutex> lock(m);
        EXPECT_TRUE(cv.wait_for(lock, std::chrono::seconds(60), [&] { return received == total; }))
            << "consumer stuck at " << received << " of " << total;
    }
    abandon.store(true);
    producer.join();
    loop.stop();
    consumer.join();
    q.fifoEvent()->eventLoopIs(nullptr);
    EXPECT_FALSE(outOfOrder);
    EXPECT_FALSE(q.descPop());  // nothing arrived twice or late
    EXPECT_EQ(liveDescs.load(), 0);
}

}  // namespace
