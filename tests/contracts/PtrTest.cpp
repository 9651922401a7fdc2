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

// Over-aligned: every allocation also checks the aligned operator new.
struct alignas(64) Counted : Kiln::PtrInterface {
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

// Counts atomically (the parameter) or not for one test, and restores the previous mode.
class PtrCounting : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override { Kiln::VFPtrInterface::threadSafePointersIs(GetParam()); }
    void TearDown() override { Kiln::VFPtrInterface::threadSafePointersIs(previous_); }
    const bool previous_ = Kiln::VFPtrInterface::threadSafePointers();
};
using PtrThreads = PtrCounting;

TEST_P(PtrCounting, CopiesMovesAssignmentsAndFlagsKeepTheCountExact) {
    std::atomic<int> destroyed{0};
    Kiln::Ptr<DerivedCounted> a = new DerivedCounted(&destroyed);
    Kiln::Ptr<Counted> old = new Counted(&destroyed);
    {
        Kiln::Ptr<Counted> b = a;  // a converting copy
        old = b;                   // assigning over the last reference destroys the old object
        EXPECT_EQ(destroyed, 1);
        EXPECT_EQ(a->refCount(), 3u);
        const auto& self = b;  // (through a reference: clang warns of a literal b = b)
        b = self;              // self-assignment and a reset to the same target keep the reference
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
// in every trial the object dies exactly once (a lost count update leaks it or frees it early),
// and the allocation statistics the copiers keep alongside come out exact.
TEST_P(PtrThreads, ConcurrentCopiesFlagChangesAndAllocationCountsStayExact) {
    constexpr int kThreads = 9;
    Kiln::AllocTrackTypeInfo info;  // the copiers also count allocations, as tracked types do
    for (int trial = 0; trial < 20; ++trial) {
        std::atomic<int> destroyed{0};
        Kiln::Ptr<Counted> shared = new Counted(&destroyed);
        ASSERT_EQ(reinterpret_cast<std::uintptr_t>(shared.ptr()) % 64, 0u);
        std::latch start(kThreads + 1);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&start, &info, t, mine = shared]() mutable {
                start.arrive_and_wait();
                for (int i = 0; i < 20000; ++i) {
                    if (t == 0) {
                        mine->hasNotificationActiveIs(i % 2 == 0);
                        continue;
                    }
                    Kiln::Ptr<Counted> copy = mine;
                    Kiln::AllocTrackTypeInfo::trackAllocation(&info, typeid(Counted), 64);
                    Kiln::AllocTrackTypeInfo::trackDeallocation(&info, 64);
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
    EXPECT_EQ(info.allocations(), 20u * (kThreads - 1) * 20000);
    EXPECT_EQ(info.deallocations(), info.allocations());
    EXPECT_EQ(info.live(), 0);
    EXPECT_EQ(info.liveBytes(), 0);
    EXPECT_NE(info.typeName().find("Counted"), std::string::npos) << info.typeName();
}

INSTANTIATE_TEST_SUITE_P(Atomic, PtrThreads, ::testing::Values(true));

}  // namespace
