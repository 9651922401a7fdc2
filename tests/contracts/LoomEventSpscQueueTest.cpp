#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

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

TEST(LoomEventSpscQueue, FifoOrderFullRingAndOwnership) {
    {
        EventSpscQueue q(4);
        for (std::uint64_t i = 0; i < 4; ++i) {
            Kiln::Ptr<CrossThreadDesc> d = new SeqDesc(i);
            ASSERT_TRUE(q.push(std::move(d)));
            EXPECT_FALSE(d);  // the reference moved into the ring
        }
        Kiln::Ptr<CrossThreadDesc> extra = new SeqDesc(99);
        EXPECT_FALSE(q.push(std::move(extra)));
        ASSERT_TRUE(extra);  // refused: still the caller's
        EXPECT_EQ(extra->refCount(), 1u);

        for (std::uint64_t i = 0; i < 2; ++i) {
            auto d = q.descPop();
            ASSERT_TRUE(d);
            EXPECT_EQ(seqOf(d), i);
            EXPECT_EQ(d->refCount(), 1u);  // the ring kept no reference
        }
        EXPECT_TRUE(q.push(std::move(extra)));  // wraps around into a freed slot
        EXPECT_EQ(liveDescs.load(), 3);
        EXPECT_EQ(seqOf(q.descPop()), 2u);
        // The queue is destroyed holding 3 and 99: their references go with it.
    }
    EXPECT_EQ(liveDescs.load(), 0);
}

TEST(LoomEventSpscQueue, SignalsOnlyOnEmptyToNonEmpty) {
    EventSpscQueue q(8);
    auto push = [&](std::uint64_t seq) { ASSERT_TRUE(q.push(new SeqDesc(seq))); };
    EXPECT_EQ(q.fifoEvent()->readableCount(), 0u);
    push(0);
    push(1);
    push(2);
    EXPECT_EQ(q.fifoEvent()->clear(), 1u);  // one signal for the first push only
    EXPECT_EQ(seqOf(q.descPop()), 0u);
    push(3);  // not empty: the consumer has 1 and 2 to drain and needs no signal
    EXPECT_EQ(q.fifoEvent()->readableCount(), 0u);
    for (std::uint64_t i = 1; i <= 3; ++i) EXPECT_EQ(seqOf(q.descPop()), i);
    EXPECT_FALSE(q.descPop());
    push(4);  // empty again: signalled
    EXPECT_EQ(q.fifoEvent()->clear(), 1u);
    EXPECT_EQ(seqOf(q.descPop()), 4u);
}

TEST(LoomEventSpscQueue, PushAndPopAllocateNothing) {
    EventSpscQueue q(16);
    std::vector<Kiln::Ptr<CrossThreadDesc>> descs;
    for (std::uint64_t i = 0; i < 8; ++i) descs.emplace_back(new SeqDesc(i));
    const std::uint64_t before = TestSupport::threadAllocations();
    for (auto& d : descs) ASSERT_TRUE(q.push(std::move(d)));
    for (std::uint64_t i = 0; i < 8; ++i) ASSERT_TRUE(q.descPop());
    EXPECT_EQ(TestSupport::threadAllocations(), before);
}

// Calls `fn` when the event it watches was found readable (and cleared).
class Drainer : public Kiln::PtrInterface::NotifieeConst {
  public:
    Drainer(Loom::FifoEvent* event, std::function<void()> fn) : fn_(std::move(fn)) {
        hasNotificationActiveIs(true);
        notifierIs(event);
        isRegisteredNotifieeIs(true);
    }
    void onAttribute(Kiln::AttributeId id) override {
        if (id == Loom::FifoEvent::readableCountAttribute) fn_();
    }

  private:
    std::function<void()> fn_;
};

// A producer pushes a million descriptors while the consumer's loop sleeps in epoll between
// wake-ups. A lost wake-up leaves the consumer asleep with elements in the ring: the wait
// below then times out and the test fails instead of hanging.
TEST(LoomEventSpscQueue, CrossThreadNoLostWakeUpInOrderExactlyOnce) {
    constexpr std::uint64_t total = 1'000'000;
    EventSpscQueue q(256);
    Loom::EventLoop loop;

    std::mutex m;
    std::condition_variable cv;
    std::uint64_t received = 0;  // guarded by m once published; written on the loop thread
    std::uint64_t wakeUps = 0;
    bool outOfOrder = false;
    std::uint64_t next = 0;  // loop thread only

    // The event clears itself before it notifies: a push after the drain signals again.
    Kiln::Ptr<Drainer> drainer = new Drainer(q.fifoEvent().ptr(), [&] {
        ++wakeUps;
        while (auto d = q.descPop()) {
            if (seqOf(d) != next) outOfOrder = true;
            ++next;
        }
        std::lock_guard<std::mutex> lock(m);
        received = next;
        if (received == total) cv.notify_all();
    });
    q.fifoEvent()->eventLoopIs(&loop);
    std::thread consumer([&] { loop.run(); });

    std::atomic<bool> abandon{false};
    std::uint64_t fullRetries = 0;
    std::thread producer([&] {
        for (std::uint64_t i = 0; i < total && !abandon.load(std::memory_order_relaxed); ++i) {
            Kiln::Ptr<CrossThreadDesc> d = new SeqDesc(i);
            while (!q.push(std::move(d))) {
                ++fullRetries;
                if (abandon.load(std::memory_order_relaxed)) return;
                std::this_thread::yield();
            }
        }
    });

    bool allArrived;
    {
        std::unique_lock<std::mutex> lock(m);
        allArrived = cv.wait_for(lock, std::chrono::seconds(20), [&] { return received == total; });
    }
    abandon.store(true);
    producer.join();
    loop.stop();
    consumer.join();
    q.fifoEvent()->eventLoopIs(nullptr);

    EXPECT_TRUE(allArrived) << "consumer stuck at " << received << " of " << total;
    EXPECT_FALSE(outOfOrder);
    EXPECT_EQ(next, total);
    EXPECT_FALSE(q.descPop());  // nothing arrived twice or late
    EXPECT_LE(wakeUps, total);
    RecordProperty("wakeUps", std::to_string(wakeUps));
    RecordProperty("fullRetries", std::to_string(fullRetries));
    EXPECT_EQ(liveDescs.load(), 0);
}

}  // namespace
