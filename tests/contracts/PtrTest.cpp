// Kiln::Ptr and its counted objects, with plain and with atomic counting: every copy, move,
// assignment and reset keeps the count exact and the last reference destroys the object once;
// the flag bits share the count's word without disturbing it.

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

// Turns atomic counting on or off for one test and restores the previous mode.
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

TEST_P(PtrCounting, CopiesMovesAssignmentsAndFlagsKeepTheCountExact) {
    std::atomic<int> destroyed{0};
    Kiln::Ptr<DerivedCounted> a = new DerivedCounted(&destroyed);
    Kiln::Ptr<Counted> old = new Counted(&destroyed);
    {
        Kiln::Ptr<Counted> b = a;  // a converting copy
        old = b;                   // assigning over the last reference destroys the old object
        EXPECT_EQ(destroyed, 1);
        EXPECT_EQ(a->refCount(), 3u);
        b = b;  // self-assignment and a reset to the same target keep the reference
        b.reset(a.ptr());
        EXPECT_EQ(a->refCount(), 3u);
        Kiln::Ptr<const Counted> c = std::move(b);  // a converting move takes b's reference
        EXPECT_FALSE(b);
        EXPECT_TRUE(c == a);
        EXPECT_EQ(a->refCount(), 3u);
    }
    old.reset();
    EXPECT_EQ(a->refCount(), 1u);
    a = nullptr;
    EXPECT_EQ(destroyed, 2);

    // The flags survive counting up and down; count 0 with the marked bit set is zero references.
    Recycled r;
    r.kilnMarkedForDeletionIs(true);
    r.hasNotificationActiveIs(true);
    for (int i = 0; i < 5; ++i) r.newRef();
    r.hasNotificationActiveIs(false);
    EXPECT_EQ(r.refCount(), 5u);
    for (int i = 0; i < 5; ++i) r.deleteRef();
    EXPECT_EQ(r.zeroRefs, 1);
    EXPECT_TRUE(r.kilnMarkedForDeletion());
    EXPECT_FALSE(r.hasNotificationActive());
    // Dropping a reference nobody holds asserts and leaves the word as it was.
    TestSupport::TraceCapture capture;
    EXPECT_THROW(r.deleteRef(), Basalt::AssertException);
    EXPECT_EQ(r.refCount(), 0u);
    EXPECT_TRUE(r.kilnMarkedForDeletion());
    EXPECT_EQ(r.zeroRefs, 1);
}

INSTANTIATE_TEST_SUITE_P(PlainAndAtomic, PtrCounting, ::testing::Bool());

// Eight threads copy and move their own Ptr to one object while another flips one of its flags:
// in every trial the object dies exactly once (a lost count update leaks it or frees it early).
TEST(PtrThreads, ConcurrentCopiesAndFlagChangesEndInExactlyOneDestruction) {
    ThreadSafePointers mode(true);
    constexpr int kThreads = 9;
    for (int trial = 0; trial < 20; ++trial) {
        std::atomic<int> destroyed{0};
        Kiln::Ptr<Counted> shared = new Counted(&destroyed);
        std::latch start(kThreads + 1);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&start, t, mine = shared]() mutable {
                start.arrive_and_wait();
                for (int i = 0; i < 20000; ++i) {
                    if (t == 0) {
                        mine->hasNotificationActiveIs(i % 2 == 0);
                        continue;
                    }
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
                Kiln::AllocTrackTypeInfo::trackAllocation(&info, typeid(Counted), sizeof(Counted));
                Kiln::AllocTrackTypeInfo::trackDeallocation(&info, sizeof(Counted));
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
