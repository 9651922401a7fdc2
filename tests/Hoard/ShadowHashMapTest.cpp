// The shadow index against a model (key -> slot index), over value slots and key slots of the
// counter table's types: a scripted opening that walks the bucket count through its growth and
// shrink rules, then random writes, rewrites, key moves, removals and slot-region moves. After
// every step: every model key is found in its slot, other keys are not, iteration visits the
// model's keys in (rhash, key) order, and the occupancy bookkeeping matches the model.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "FlowTracker/FtCounterTypes.h"
#include "Hoard/ShadowHashMap.h"
#include "tests/support/TraceCapture.h"

namespace {

using Hoard::FlowTracker::FlowEntry;
using Hoard::FlowTracker::FlowGroupCounterEntry;
using Key = Hoard::FlowTracker::FlowGroupCounterKey;
using Ops = Hoard::KeyOps<Key, FlowGroupCounterEntry, false>;
using ValueSlot = Hoard::ValueShadowSlot<FlowGroupCounterEntry, Key>;
using KeySlot = Hoard::KeyShadowSlot<Key>;

enum class Op { insert, rewrite, moveKey, remove, relocate };

template <class Slot>
class Harness {
  public:
    static constexpr std::uint32_t capacity = 64;

    explicit Harness(bool useHeap)
        : map_(Basalt::Platform::getDebugHandler("ShadowHashMapTest"), counters_, "test buckets",
               useHeap, &base_, ops_) {
        ops_.hashSeedIs(0x5eed1234);
        for (std::uint32_t ft = 1; ft <= 6; ++ft) {
            for (std::uint16_t fg = 0; fg < 8; ++fg) {
                domain_.emplace_back(FlowTracking::FtId(ft), FlowTracking::TemplateId(fg));
            }
        }
        EXPECT_TRUE(map_.initialize());
    }

    std::uint32_t numBuckets() const { return map_.numBuckets(); }

    void run(Op op) {
        switch (op) {
            case Op::insert: {
                const Key* key = pickAbsentKey();
                if (!key) return;
                const std::uint32_t i = pickFreeSlot();
                fill(base_[i], *key, ++version_);
                EXPECT_TRUE(map_.write(i, base_[i], false));
                model_[*key] = i;
                if (model_.size() > expectedBuckets_) expectedBuckets_ *= 2;
                break;
            }
            case Op::rewrite: {
                if (model_.empty()) return;
                const std::uint32_t i = pickEntry()->second;
                EXPECT_FALSE(map_.write(i, base_[i], false));
                const std::uint32_t free = pickFreeSlot();
                EXPECT_FALSE(map_.remove(free, base_[free]));
                break;
            }
            case Op::moveKey: {
                if (model_.empty()) return;
                auto entry = pickEntry();
                const std::uint32_t from = entry->second;
                const std::uint32_t to = pickFreeSlot();
                // Every other move keeps the value: only a changed value reports a difference.
                const bool sameValue = rng_() % 2 == 0;
                std::memcpy(static_cast<void*>(&base_[to]), &base_[from], sizeof(Slot));
                base_[to].links = {};
                if (!sameValue) fill(base_[to], entry->first, ++version_);
                EXPECT_EQ(map_.write(to, base_[to], false), valueSlots && !sameValue);
                EXPECT_EQ(base_[from].links.next, nullptr);
                EXPECT_EQ(base_[from].links.prevLink, nullptr);
                std::memset(static_cast<void*>(&base_[from]), 0, sizeof(Slot));
                entry->second = to;
                break;
            }
            case Op::remove: {
                if (model_.empty()) return;
                auto entry = pickEntry();
                const Key key = entry->first;
                const std::uint32_t i = entry->second;
                EXPECT_TRUE(map_.remove(i, base_[i]));
                EXPECT_FALSE(map_.remove(i, base_[i]));
                model_.erase(entry);
                if (model_.size() <= expectedBuckets_ / 4 && expectedBuckets_ >= 4) {
                    expectedBuckets_ /= 2;
                }
                // A stale hint falls back to a search for the key's successor.
                EXPECT_EQ(map_.next(key, &base_[i]), successor(key));
                std::memset(static_cast<void*>(&base_[i]), 0, sizeof(Slot));
                break;
            }
            case Op::relocate: {
                std::vector<Slot> moved(region_);
                const std::ptrdiff_t offset =
                    reinterpret_cast<char*>(moved.data()) - reinterpret_cast<char*>(region_.data());
                region_.swap(moved);
                base_ = region_.data();
                map_.patch(offset);
                break;
            }
        }
        check();
    }

  private:
    static constexpr bool valueSlots = requires(Slot s) { s.value(); };

    static void fill(Slot& slot, const Key& key, std::uint64_t n) {
        if constexpr (valueSlots) {
            slot.value() = FlowGroupCounterEntry(key, FlowEntry(n, 0, 2 * n, 0.0));
        } else {
            slot.stored = key;
        }
    }
    const Key* pickAbsentKey() {
        std::vector<const Key*> absent;
        for (const Key& k : domain_) {
            if (!model_.count(k)) absent.push_back(&k);
        }
        return absent.empty() ? nullptr : absent[rng_() % absent.size()];
    }
    std::uint32_t pickFreeSlot() {
        for (;;) {
            const std::uint32_t i = rng_() % capacity;
            if (!counters_.occupied(i)) return i;
        }
    }
    typename std::map<Key, std::uint32_t>::iterator pickEntry() {
        return std::next(model_.begin(), static_cast<long>(rng_() % model_.size()));
    }
    std::vector<Key> modelOrder() const {
        std::vector<std::pair<std::uint32_t, Key>> order;
        for (const auto& [key, slot] : model_) {
            order.emplace_back(Basalt::Util::reverse(ops_.hash(key)), key);
        }
        std::sort(order.begin(), order.end());
        std::vector<Key> keys;
        for (const auto& entry : order) keys.push_back(entry.second);
        return keys;
    }
    // The model's slot after `key` (present or not) in (rhash, key) order, or null.
    Slot* successor(const Key& key) const {
        const std::pair<std::uint32_t, Key> from{Basalt::Util::reverse(ops_.hash(key)), key};
        for (const Key& k : modelOrder()) {
            if (from < std::pair{Basalt::Util::reverse(ops_.hash(k)), k})
                return &base_[model_.at(k)];
        }
        return nullptr;
    }

    void check() {
        std::uint32_t largest = 0;
        for (const Key& key : domain_) {
            auto it = model_.find(key);
            EXPECT_EQ(map_.find(key), it == model_.end() ? nullptr : &base_[it->second]);
            if (it != model_.end()) largest = std::max(largest, it->second + 1);
        }
        std::vector<Key> visited;
        for (Slot* s = map_.first(); s && visited.size() <= model_.size();
             s = map_.next(s->key(), s)) {
            visited.push_back(s->key());
            EXPECT_EQ(map_.next(s->key(), nullptr), successor(s->key()));
        }
        EXPECT_EQ(visited, modelOrder());
        EXPECT_EQ(map_.numBuckets(), expectedBuckets_);
        EXPECT_EQ(map_.numBuckets(), 1u << map_.bucketFactor());
        EXPECT_EQ(map_.entries(), model_.size());
        EXPECT_EQ(counters_.entries(), model_.size());
        EXPECT_EQ(counters_.largestOccupied(), largest);
    }

    Ops ops_;
    Hoard::SlotCounters counters_{4};
    std::vector<Slot> region_ = std::vector<Slot>(capacity);
    Slot* base_ = region_.data();
    Hoard::ShadowHashMap<Key, Slot, Ops> map_;
    std::vector<Key> domain_;
    std::map<Key, std::uint32_t> model_;
    std::uint32_t expectedBuckets_ = 2;
    std::uint64_t version_ = 0;
    std::mt19937 rng_{12345};
};

// The opening: {operation, bucket count after it}. The third entry grows a fresh index to 4
// buckets, the fifth to 8; with 8 buckets the removal that leaves 2 entries (a quarter) halves
// them, the one that leaves 1 halves them again, and 2 buckets never shrink.
const std::vector<std::pair<Op, std::uint32_t>> opening = {
    {Op::insert, 2}, {Op::insert, 2}, {Op::rewrite, 2},  {Op::insert, 4},
    {Op::insert, 4}, {Op::insert, 8}, {Op::relocate, 8}, {Op::moveKey, 8},
    {Op::remove, 8}, {Op::remove, 8}, {Op::remove, 4},   {Op::remove, 2},
    {Op::remove, 2}, {Op::insert, 2}, {Op::insert, 2},   {Op::insert, 4},
};

template <class Slot>
void runModel(bool useHeap) {
    SCOPED_TRACE(useHeap ? "value slots, heap buckets" : "key slots, mapped buckets");
    Harness<Slot> h(useHeap);
    for (const auto& [op, buckets] : opening) {
        h.run(op);
        ASSERT_EQ(h.numBuckets(), buckets);
    }
    std::mt19937 rng(777);
    const Op weighted[] = {Op::insert,  Op::insert, Op::insert, Op::rewrite, Op::moveKey,
                           Op::moveKey, Op::remove, Op::remove, Op::relocate};
    for (int step = 0; step < 3000 && !::testing::Test::HasFailure(); ++step) {
        h.run(weighted[rng() % std::size(weighted)]);
    }
}

TEST(ShadowHashMapTest, FollowsAModelThroughWritesMovesRemovalsAndRelocations) {
    auto debug = Basalt::Platform::getDebugHandler("ShadowHashMapTest");
    TestSupport::TraceCapture sink;
    debug->switchWordIs(0x3FF);
    runModel<ValueSlot>(true);
    runModel<KeySlot>(false);
    debug->switchWordIs(1);
    const auto lines = sink.entries();
    for (const char* text :
         {"size:2 elements", "ShadowHashMap::grow() buckets growing from:2 to:4",
          "ShadowHashMap::grow() splitting bucket ", "ShadowHashMap::remove() dead slot ",
          "ShadowHashMap::patch() address offset is ",
          "ShadowHashMap::shrink() shrunk to numBuckets_:4 bucketFactor_:2",
          "ShadowHashMap::write() no index update needed", "ShadowHashMap::write() value updated",
          "ShadowHashMap::write() value inserted",
          "ShadowHashMap::write() add slot to end of chain",
          "ShadowHashMap::write() value inserted in fresh bucket"}) {
        EXPECT_TRUE(std::ranges::any_of(lines, [&](auto& e) { return e.text.starts_with(text); }))
            << text;
    }
}

}  // namespace
