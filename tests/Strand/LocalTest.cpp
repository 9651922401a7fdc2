// The local array: growth keeps contents and zero-fills, bounds on write, the read-only interface.

#include <gtest/gtest.h>

#include "Strand/Local.h"

namespace {

TEST(StrandLocal, SizesContentsAndGrowth) {
    Strand::Local<bool> a(3, true);
    EXPECT_EQ(a.members(), 3u);
    EXPECT_TRUE(a.get(0) && a.get(1) && a.get(2));
    a.capacityIs(5);
    EXPECT_EQ(a.members(), 5u);
    EXPECT_FALSE(a.get(3) || a.get(4));
    EXPECT_TRUE(a.get(2));
    a.capacityIs(1);
    EXPECT_EQ(a.members(), 1u);
    EXPECT_EQ(a.name(), "Strand::Local<bool>");

    // Pushing onto a full array at least doubles it, keeping every element.
    Strand::Local<bool> b;
    for (int i = 0; i < 1000; ++i) {
        const std::uint64_t before = b.capacity();
        b.push(i % 3 == 0);
        if (before == static_cast<std::uint64_t>(i)) {
            EXPECT_GE(b.capacity(), 2u * i);
        }
    }
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(b.get(i), i % 3 == 0) << i;
    // Growing again after a truncation reads zeros where old elements were.
    b.capacityIs(10);
    b.capacityIs(1000);
    for (int i = 10; i < 1000; ++i) ASSERT_FALSE(b.get(i)) << i;

    // An array built empty still takes a pushed element.
    Strand::Local<bool> empty(0, true);
    empty.push(true);
    EXPECT_EQ(empty.members(), 1u);
    EXPECT_TRUE(empty.get(0));
    empty.pop();
    EXPECT_EQ(empty.members(), 0u);
}

TEST(StrandLocal, WritesAreBoundedAndTheInterfaceIsReadOnly) {
    Strand::Local<bool> a(4, false);
    a.write(3, true);
    EXPECT_TRUE(a.get(3));
    try {
        a.write(4, true);
        FAIL();
    } catch (const Basalt::AssertException& e) {
        EXPECT_NE(std::string(e.what()).find("Strand::Local::write() out-of-range index:4 size_:4"),
                  std::string::npos);
    }
    Strand::Interface<bool>& view = a;
    try {
        view.cleanup();
        FAIL();
    } catch (const Basalt::NoPermissionException& e) {
        EXPECT_STREQ(e.what(), "cleanup() invoked on read-only Strand");
    }
    EXPECT_EQ(view.rootPath(), "Local");
}

}  // namespace
