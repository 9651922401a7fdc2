#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <thread>
#include <vector>

#include "contracts/Basalt/Exception.h"
#include "contracts/Kiln/AllocTrack.h"
#include "contracts/Kiln/Ptr.h"
#include "tests/support/TraceCapture.h"

namespace {

struct Counted : Kiln::PtrInterface {
    explicit Counted(std::atomic<int>* destroyed) : destroyed_(destroyed) {}
    ~Counted() override { destroyed_->fetch_add(1); }
    int value = 0;
    std::atomic<int>* destroyed_;
};

struct DerivedCounted : Counted {
    using Counted::Counted;
};

// Records the zero-reference event instead of destroying itself.
struct Recycled : Kiln::PtrInterface {
    int zeroRefs = 0;
    void handleZeroRef() override { ++zeroRefs; }
};

// Turns atomic counting on for one test and restores the previous mode.
class ThreadSafePointers {
  public:
    explicit ThreadSafePointers(bool on) : previous_(Kiln::VFPtrInterface::threadSafePointers()) {
        Kiln::VFPtrInterface::threadSafePointersIs(on);
    }
    ~ThreadSafePointers() { Kiln::VFPtrInterface::threadSafePointersIs(previous_); }

  private:
    bool previous_;
};

class PtrCounting : public ::testing::TestWithParam<bool> {
  protected:
    ThreadSafePointers mode_{GetParam()};
};

TEST_P(PtrCounting, CopiesMovesAndResetsKeepTheCountExact) {
    std::atomic<int> destroyed{0};
    Kiln::Ptr<Counted> a = new Counted(&destroyed);
    EXPECT_EQ(a->refCount(), 1u);
    {
        Kiln::Ptr<Counted> b = a;
        EXPECT_EQ(a->refCount(), 2u);
        Kiln::Ptr<Counted> c = std::move(b);
        EXPECT_EQ(a->refCount(), 2u);
        EXPECT_FALSE(b);
        EXPECT_EQ(c, a);
        c = c;  // self-assignment keeps the reference
        EXPECT_EQ(a->refCount(), 2u);
        c.reset(a.ptr());
        EXPECT_EQ(a->refCount(), 2u);
    }
    EXPECT_EQ(a->refCount(), 1u);
    EXPECT_EQ(destroyed, 0);
    a = nullptr;
    EXPECT_EQ(destroyed, 1);
    EXPECT_TRUE(a == nullptr);
}

TEST_P(PtrCounting, ConvertingAndConstPointersShareOneCount) {
    std::atomic<int> destroyed{0};
    Kiln::Ptr<DerivedCounted> d = new DerivedCounted(&destroyed);
    Kiln::Ptr<Counted> base = d;
    Kiln::Ptr<const Counted> constBase = base;
    EXPECT_EQ(d->refCount(), 3u);
    EXPECT_TRUE(constBase == d);
    Kiln::Ptr<const Counted> moved = std::move(d);
    EXPECT_EQ(moved->refCount(), 3u);
    base.reset();
    constBase.reset();
    EXPECT_EQ(destroyed, 0);
    moved.reset();
    EXPECT_EQ(destroyed, 1);
}

TEST_P(PtrCounting, FlagsAndCountDoNotDisturbEachOther) {
    Recycled r;
    r.kilnMarkedForDeletionIs(true);
    r.hasNotificationActiveIs(true);
    for (int i = 0; i < 5; ++i) r.newRef();
    EXPECT_EQ(r.refCount(), 5u);
    EXPECT_TRUE(r.kilnMarkedForDeletion());
    EXPECT_TRUE(r.hasNotificationActive());
    r.hasNotificationActiveIs(false);
    EXPECT_EQ(r.refCount(), 5u);
    EXPECT_TRUE(r.kilnMarkedForDeletion());
    for (int i = 0; i < 5; ++i) r.deleteRef();
    // Count 0 with the marked bit still set is zero references.
    EXPECT_EQ(r.zeroRefs, 1);
    EXPECT_EQ(r.refCount(), 0u);
    EXPECT_TRUE(r.kilnMarkedForDeletion());
    EXPECT_FALSE(r.hasNotificationActive());
}

TEST_P(PtrCounting, DroppingAMissingReferenceAssertsAndLeavesFlagsIntact) {
    TestSupport::TraceCapture capture;
    Recycled r;
    r.hasNotificationActiveIs(true);
    EXPECT_THROW(r.deleteRef(), Basalt::AssertException);
    EXPECT_EQ(r.refCount(), 0u);
    EXPECT_TRUE(r.hasNotificationActive());
    EXPECT_FALSE(r.kilnMarkedForDeletion());
    EXPECT_EQ(r.zeroRefs, 0);
}

INSTANTIATE_TEST_SUITE_P(PlainAndAtomic, PtrCounting, ::testing::Bool());

TEST(PtrThreads, ConcurrentCopiesEndInExactlyOneDestruction) {
    ThreadSafePointers mode(true);
    constexpr int kThreads = 8;
    constexpr int kRounds = 20000;
    for (int trial = 0; trial < 20; ++trial) {
        std::atomic<int> destroyed{0};
        Kiln::Ptr<Counted> shared = new Counted(&destroyed);
        std::latch start(kThreads + 1);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&start, mine = shared]() mutable {
                start.arrive_and_wait();
                for (int i = 0; i < kRounds; ++i) {
                    Kiln::Ptr<Counted> copy = mine;
                    Kiln::Ptr<Counted> moved = std::move(copy);
                }
                mine.reset();  // one of the threads drops the last reference
            });
        }
        EXPECT_EQ(shared->refCount(), kThreads + 1u);
        shared.reset();
        start.arrive_and_wait();
        for (auto& t : threads) t.join();
        ASSERT_EQ(destroyed, 1) << "trial " << trial;
    }
}

TEST(PtrThreads, ConcurrentFlagChangesKeepTheCount) {
    ThreadSafePointers mode(true);
    Recycled r;
    r.newRef();
    std::latch start(2);
    std::thread flagger([&] {
        start.arrive_and_wait();
        for (int i = 0; i < 100000; ++i) r.hasNotificationActiveIs(i % 2 == 0);
    });
    start.arrive_and_wait();
    for (int i = 0; i < 100000; ++i) {
        r.newRef();
        r.deleteRef();
    }
    flagger.join();
    EXPECT_EQ(r.refCount(), 1u);
    EXPECT_FALSE(r.hasNotificationActive());
    EXPECT_EQ(r.zeroRefs, 0);
}

TEST(PtrAllocation, OverAlignedObjectsAreAligned) {
    struct alignas(64) Wide : Kiln::PtrInterface {
        char payload[64];
    };
    std::vector<Kiln::Ptr<Wide>> all;
    for (int i = 0; i < 16; ++i) {
        all.emplace_back(new Wide);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(all.back().ptr()) % 64, 0u);
    }
}

TEST(AllocTrack, LiveCountsReturnToZeroUnderConcurrency) {
    Kiln::AllocTrackTypeInfo info;
    constexpr int kThreads = 4;
    constexpr int kPerThread = 5000;
    std::latch start(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&start, &info] {
            start.arrive_and_wait();
            for (int i = 0; i < kPerThread; ++i) {
                void* p = Kiln::kilnMemAlloc(sizeof(Counted));
                Kiln::AllocTrackTypeInfo::trackAllocation(&info, typeid(Counted), sizeof(Counted));
                Kiln::AllocTrackTypeInfo::trackDeallocation(&info, sizeof(Counted));
                Kiln::kilnMemFree(p);
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(info.allocations(), uint64_t{kThreads * kPerThread});
    EXPECT_EQ(info.deallocations(), uint64_t{kThreads * kPerThread});
    EXPECT_EQ(info.live(), 0);
    EXPECT_EQ(info.liveBytes(), 0);
    EXPECT_NE(info.typeName().find("Counted"), std::string::npos) << info.typeName();
}

}  // namespace
