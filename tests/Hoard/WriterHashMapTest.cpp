// The writer's split-ordered index: order by (rhash, key), bucket doubling and halving without
// disturbing iteration order, and iteration that survives changes between its steps.

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <vector>

#include "tests/support/IndexDriver.h"
#include "tests/support/Seed.h"
#include "tests/support/ShmRoot.h"

namespace {

using TestSupport::CounterEntry;
using TestSupport::counterEntry;
using TestSupport::CounterKey;
using TestSupport::IndexDriver;

std::vector<CounterKey> iterate(IndexDriver& d) {
    std::vector<CounterKey> out;
    CounterEntry e;
    Hoard::IterHint hint;
    for (bool more = d.index.first(0, e, hint); more; more = d.index.next(e.key(), e, hint)) {
        out.push_back(e.key());
        if (out.size() > d.slots.capacity()) break;
    }
    return out;
}

class WriterHashMapTest : public ::testing::Test {
  protected:
    TestSupport::ShmRoot shm;
};

TEST_F(WriterHashMapTest, EqualHashesAreOrderedByKeyAndAllFound) {
    IndexDriver d("t/index");
    d.ops.mask = 0x3;  // four distinct hashes for every key
    for (std::uint32_t i = 1; i <= 200; ++i) d.write(counterEntry(i));
    for (std::uint32_t i = 1; i <= 200; ++i) {
        bool found = false;
        const CounterEntry* v = d.index.lookup(counterEntry(i).key(), found);
        ASSERT_TRUE(found) << i;
        EXPECT_EQ(*v, counterEntry(i));
    }
    bool found = true;
    EXPECT_EQ(d.index.lookup(counterEntry(999).key(), found), nullptr);
    EXPECT_FALSE(found);
    // Iteration is sorted by (rhash, key).
    const auto keys = iterate(d);
    ASSERT_EQ(keys.size(), 200u);
    for (std::size_t i = 1; i < keys.size(); ++i) {
        const auto ra = Basalt::Util::reverse(d.index.hash(keys[i - 1]));
        const auto rb = Basalt::Util::reverse(d.index.hash(keys[i]));
        ASSERT_TRUE(ra < rb || (ra == rb && keys[i - 1] < keys[i])) << i;
    }
}

TEST_F(WriterHashMapTest, DoublingAndHalvingKeepTheIterationOrder) {
    IndexDriver d("t/index");
    EXPECT_EQ(d.index.numBuckets(), 2u);
    std::vector<std::vector<CounterKey>> orders;
    for (std::uint32_t i = 1; i <= 300; ++i) {
        d.write(counterEntry(i));
        if (i == 2 || i == 3) {
            EXPECT_EQ(d.index.numBuckets(), i == 2 ? 2u : 4u);  // grows at N + 1
        }
    }
    EXPECT_EQ(d.index.numBuckets(), 512u);
    const auto full = iterate(d);
    ASSERT_EQ(full.size(), 300u);
    // Removing down to 20 records halves the buckets repeatedly; the survivors keep their order.
    for (std::uint32_t i = 21; i <= 300; ++i) ASSERT_TRUE(d.remove(counterEntry(i).key()));
    EXPECT_LT(d.index.numBuckets(), 128u);
    std::vector<CounterKey> expected;
    for (const auto& k : full) {
        if (k.ftId().value() <= 20) expected.push_back(k);
    }
    EXPECT_EQ(iterate(d), expected);
    std::string error;
    EXPECT_TRUE(d.buckets.validate(d.slots.capacity(), error)) << error;
}

TEST_F(WriterHashMapTest, TwoBucketsNeverShrink) {
    IndexDriver d("t/index");
    for (std::uint32_t i = 1; i <= 8; ++i) d.write(counterEntry(i));
    for (std::uint32_t i = 1; i <= 8; ++i) d.remove(counterEntry(i).key());
    EXPECT_EQ(d.index.numBuckets(), 2u);
    EXPECT_EQ(d.index.shrinkThreshold(), 0u);
    CounterEntry e;
    Hoard::IterHint hint;
    EXPECT_FALSE(d.index.first(0, e, hint));
}

TEST_F(WriterHashMapTest, RunLoopingBackIsCorruptionNamingTheWalk) {
    struct Case {
        const char* op;
        void (*run)(IndexDriver&, const CounterKey&);
        bool withCapacity;
    };
    const Case cases[] = {
        {"find",
         [](IndexDriver& d, const CounterKey& k) {
             std::uint64_t* prev = nullptr;
             std::uint32_t curr = 0;
             d.index.find(k, 0, prev, curr, d.index.hash(k));
         },
         true},
        {"lookup",
         [](IndexDriver& d, const CounterKey& k) {
             bool found = false;
             d.index.lookup(k, found);
         },
         true},
        {"next",
         [](IndexDriver& d, const CounterKey& k) {
             CounterEntry e;
             Hoard::IterHint stale;  // names no slot: the step searches the key's run
             d.index.next(k, e, stale);
         },
         false},
        {"growBuckets", [](IndexDriver& d, const CounterKey&) { d.index.growBuckets(); }, true},
        {"shrinkBuckets", [](IndexDriver& d, const CounterKey&) { d.index.shrinkBuckets(); },
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.op);
        IndexDriver d(std::string("t/loop-") + c.op);
        d.ops.mask = 0;  // every record in bucket 0's run, in key order
        for (std::uint32_t i = 1; i <= 5; ++i) d.write(counterEntry(i));
        ASSERT_EQ(d.index.numBuckets(), 8u);  // so a shrink has runs to join
        // The run's first record links to itself; the walks look for the second record.
        const std::uint32_t first = Hoard::SlotLink::load(d.buckets.entry(0)).next;
        auto& link = d.slots.slots()[first].head.link;
        const CounterKey second = d.slots.slots()[Hoard::SlotLink::load(link).next].value.key();
        Hoard::SlotLink::store(link, Hoard::SlotLink{Hoard::SlotLink::load(link).seq + 4, first});
        const std::uint32_t capacity = d.slots.capacity();
        std::string expected = std::string("WriterHashMap::") + c.op +
                               "() hash chain cycle detected, slotCount:" +
                               std::to_string(capacity + 1);
        if (c.withCapacity) expected += " capacity:" + std::to_string(capacity);
        try {
            c.run(d, second);
            ADD_FAILURE() << "no corruption raised";
        } catch (const Basalt::CorruptionDetectedException& e) {
            EXPECT_EQ(e.message(), expected);
        }
    }
}

TEST_F(WriterHashMapTest, IterationSurvivesChangesBetweenSteps) {
    const auto seed = TestSupport::testSeed("IterationSurvivesChangesBetweenSteps");
    std::mt19937_64 rng(seed);
    IndexDriver d("t/index");
    // Keys 1..400 stay untouched; keys above 1000 come and go while the iteration runs, and the
    // hinted slot itself is removed, rewritten or moved.
    for (std::uint32_t i = 1; i <= 400; ++i) d.write(counterEntry(i));
    std::uint32_t churn = 1000;
    std::map<std::uint32_t, int> seen;
    CounterEntry e;
    Hoard::IterHint hint;
    std::size_t steps = 0;
    for (bool more = d.index.first(0, e, hint); more; more = d.index.next(e.key(), e, hint)) {
        ASSERT_LT(++steps, 50000u) << "seed " << seed;
        ++seen[e.key().ftId().value()];
        switch (rng() % 4) {
            case 0:
                d.write(counterEntry(++churn));
                break;
            case 1:
                for (int k = 0; k < 4 && churn > 1000; ++k) {
                    d.remove(counterEntry(1000 + 1 + rng() % (churn - 1000)).key());
                }
                break;
            case 2:
                if (e.key().ftId().value() > 1000) d.remove(e.key());  // the hinted slot goes
                break;
            default:
                for (int k = 0; k < 6; ++k) d.write(counterEntry(++churn));  // grow buckets
                break;
        }
    }
    for (std::uint32_t i = 1; i <= 400; ++i) {
        ASSERT_EQ(seen[i], 1) << "key " << i << " seed " << seed;
    }
    for (const auto& [k, n] : seen) ASSERT_EQ(n, 1) << "key " << k << " seed " << seed;
}

}  // namespace
