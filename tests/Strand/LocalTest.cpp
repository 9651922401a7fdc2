// The local array: growth keeps contents and zero-fills, writes are bounded, the read-only
// interface refuses what it does not provide.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Strand/Local.h"

namespace {

using namespace testing;

TEST(StrandLocal, GrowthKeepsContentsAndZeroFillsAndWritesAreBounded) {
    Strand::Local<bool> a(5, false);
    a.write(4, true);
    EXPECT_TRUE(a.get(4));
    EXPECT_EQ(a.name(), "Strand::Local<bool>");
    EXPECT_THAT([&] { a.write(5, true); },
                ThrowsMessage<Basalt::AssertException>(HasSubstr("out-of-range index:5 size_:5")));
    Strand::Interface<bool>& view = a;
    EXPECT_THROW(view.cleanup(), Basalt::NoPermissionException);

    // Pushing onto a full array, also one built empty, at least doubles it and keeps every element.
    Strand::Local<bool> b(0, true);
    for (std::uint64_t i = 0; i < 1000; ++i) {
        const bool full = b.capacity() == i;
        b.push(i % 3 == 0);
        EXPECT_TRUE(!full || b.capacity() >= 2 * i) << i;
    }
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(b.get(i), i % 3 == 0) << i;
    b.pop();
    EXPECT_EQ(b.members(), 999u);
    // Growing again after a truncation keeps what is left and reads zeros where old elements were.
    b.capacityIs(10);
    b.capacityIs(1000);
    EXPECT_TRUE(b.get(9));
    for (int i = 10; i < 1000; ++i) ASSERT_FALSE(b.get(i)) << i;
}

}  // namespace
