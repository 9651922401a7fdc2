// The writer's split-ordered index: order by (rhash, key), also among equal hashes, kept through
// bucket doubling and halving. Iteration across changes: HoardReaderTest's ReusedSlotTest.
// A looping run: HoardDamageTest's LoopInARun row (refused before a writer adopts the table).

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include "tests/support/IndexDriver.h"
#include "tests/support/ShmRoot.h"

namespace {

using TestSupport::CounterRecords;
using TestSupport::IndexDriver;

// The ids of the records, in iteration order.
std::vector<std::uint32_t> iterate(IndexDriver& d) {
    std::vector<std::uint32_t> out;
    CounterRecords::Entry e;
    Hoard::IterHint hint;
    for (bool more = d.index.first(0, e, hint); more; more = d.index.next(e.key(), e, hint)) {
        out.push_back(static_cast<std::uint32_t>(e.flowEntry().expiredFlows()));
        if (out.size() > d.slots.capacity()) break;
    }
    return out;
}

class WriterHashMapTest : public ::testing::Test {
  protected:
    TestSupport::ShmRoot shm;
};

// With distinct hashes, and with only four hashes for 300 keys: every record is found, iteration is
// sorted by (rhash, key) through bucket doubling and halving, and two buckets never shrink.
TEST_F(WriterHashMapTest, IterationStaysSortedByRhashAndKeyWhileBucketsDoubleAndHalve) {
    for (const std::uint32_t mask : {0xFFFFFFFFu, 0x3u}) {
        SCOPED_TRACE(mask);
        IndexDriver d("t/index-" + std::to_string(mask));
        d.ops.mask = mask;
        for (std::uint32_t i = 1; i <= 300; ++i) {
            d.write(CounterRecords::make(i, 1));
            EXPECT_TRUE(i > 3 || d.index.numBuckets() == (i < 3 ? 2u : 4u)) << i;  // grows at N + 1
        }
        bool found = false;
        for (std::uint32_t i = 1; i <= 300; ++i) {
            const CounterRecords::Entry* v = d.index.lookup(CounterRecords::key(i), found);
            ASSERT_TRUE(found && *v == CounterRecords::make(i, 1)) << i;
        }
        const auto full = iterate(d);
        ASSERT_EQ(full.size(), 300u);
        for (std::size_t i = 1; i < full.size(); ++i) {
            const auto a = CounterRecords::key(full[i - 1]), b = CounterRecords::key(full[i]);
            const auto ra = Basalt::Util::reverse(d.index.hash(a));
            const auto rb = Basalt::Util::reverse(d.index.hash(b));
            ASSERT_TRUE(ra < rb || (ra == rb && a < b)) << i;
        }
        // Removing down to 20 records halves the buckets; the survivors keep their order.
        for (std::uint32_t i = 21; i <= 300; ++i) ASSERT_TRUE(d.remove(CounterRecords::key(i)));
        EXPECT_LT(d.index.numBuckets(), 128u);
        std::vector<std::uint32_t> expected;
        std::ranges::copy_if(full, std::back_inserter(expected), [](auto id) { return id <= 20; });
        EXPECT_EQ(iterate(d), expected);
        for (std::uint32_t i = 1; i <= 20; ++i) ASSERT_TRUE(d.remove(CounterRecords::key(i)));
        EXPECT_EQ(d.index.numBuckets(), 2u);
        EXPECT_EQ(d.index.shrinkThreshold(), 0u);
        EXPECT_TRUE(iterate(d).empty());
    }
}

}  // namespace
