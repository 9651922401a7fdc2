// The lock-free reader against a live writer in the same process (separate mappings): refused
// tables, a lookaside read, anchors, the trace of a corruption; then regressions of reader faults
// the torture runs found, reproduced by writer steps run at a chosen point inside a reader call.

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <functional>
#include <map>
#include <numeric>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "tests/support/Fork.h"
#include "tests/support/SelfCheckingRecords.h"
#include "tests/support/ShmRoot.h"
#include "tests/support/TraceCapture.h"

namespace {

using namespace TestSupport;
using Hoard::SlotTable;

// Flow operations whose hash calls a test hook first: the reader hashes the key it looks for
// first, then every record it passes.
struct HookedFlowOps : FlowRecords::Ops {
    inline static std::function<void(const FlowTracking::IpFlowKey&)> hook;
    std::uint32_t hash(const FlowTracking::IpFlowKey& key) const {
        if (hook) hook(key);
        return FlowRecords::Ops::hash(key);
    }
};

using FlowTable = Hoard::HoardInterface<FlowRecords::Key, FlowRecords::Entry, FlowRecords::Ops>;

// A flow table of this process's writer ("t/flows"), and a reader of it on hooked operations.
class HoardReaderTest : public ::testing::Test {
  protected:
    // A new table holding ids [0, count): a new table hands out its slots in ascending order.
    auto& writer(std::uint32_t count, const Hoard::MapDescriptor& d = recordsDescriptor()) {
        writer_ = newWriter<FlowRecords>("t/flows", count, d);
        return *writer_;
    }
    Hoard::HoardReader<HookedFlowOps>& reader() {
        reader_ = newReader<FlowRecords, HookedFlowOps>("t/flows");
        return *reader_;
    }
    // Writes ids [from, to) with generation 1, or removes them.
    void put(std::uint32_t from, std::uint32_t to) {
        for (std::uint32_t id = from; id < to; ++id) writer_->write(FlowRecords::make(id, 1), true);
    }
    void drop(std::uint32_t from, std::uint32_t to) {
        FlowRecords::Entry gone;
        for (std::uint32_t id = from; id < to; ++id) writer_->remove(FlowRecords::key(id), gone);
    }
    // Where id's record stands in a run and in an iteration.
    std::pair<std::uint32_t, FlowRecords::Key> order(std::uint32_t id) const {
        return {orderHash<FlowRecords>(ops, FlowRecords::key(id)), FlowRecords::key(id)};
    }
    // The first `count` ids from `from` on that share id's bucket of `buckets` and stand after it
    // in the run, in run order.
    std::vector<std::uint32_t> after(std::uint32_t id, std::uint32_t buckets, std::uint32_t from,
                                     std::size_t count = 1) const {
        const std::uint32_t mask = buckets - 1, bucket = ops.hash(FlowRecords::key(id)) & mask;
        std::vector<std::uint32_t> ids;
        for (std::uint32_t other = from; ids.size() < count; ++other) {
            const bool same = (ops.hash(FlowRecords::key(other)) & mask) == bucket;
            if (same && order(id) < order(other)) ids.push_back(other);
        }
        std::sort(ids.begin(), ids.end(), [&](auto a, auto b) { return order(a) < order(b); });
        return ids;
    }
    void TearDown() override {
        HookedFlowOps::hook = nullptr;
#ifdef FLOWTABLE_TEST_HOOKS
        Hoard::TestHook::readerSlotRead() = nullptr;
        Hoard::TestHook::readerSlotCopying() = nullptr;
#endif
    }

    const FlowRecords::Ops ops{};
    ShmRoot shm;
    std::unique_ptr<FlowRecords::Writer> writer_;
    std::unique_ptr<Hoard::HoardReader<HookedFlowOps>> reader_;
};

TEST_F(HoardReaderTest, InitializeRefusesATableOfAnotherValueType) {
    auto w = newWriter<CounterRecords>("t/counters");
    EXPECT_FALSE(CounterRecords::Reader(recordsDebug(), "t/absent", {}).initialize("x"));
    auto refused = [](auto reader, const std::string& text) {
        TraceCapture capture;
        return !reader.initialize("test") &&
               capture.contains("HoardReader::initialize() table t/counters holds " + text);
    };
    const std::string group = "\"Hoard::FlowTracker::FlowGroupCounterEntry\"";
    // Both counter records are 40 bytes: only the header's type name tells them apart.
    EXPECT_TRUE(refused(Hoard::HoardReader<Hoard::FlowTracker::FlowCounterEntryOps>(
                            recordsDebug(), "t/counters", {}),
                        group + ", not \"Hoard::FlowTracker::FlowCounterEntry\""));
    // Headers edited with their checksum kept right: a type name with no NUL and bytes to escape,
    // then a value size.
    auto* header = const_cast<SlotTable::Header*>(w->slotTable().header());
    const SlotTable::Header original = *header;
    std::memset(header->valueType, 'x', sizeof header->valueType);
    std::memcpy(header->valueType, "\"\\\x01\xff", 4);
    header->hash = header->doHash();
    EXPECT_TRUE(refused(CounterRecords::Reader(recordsDebug(), "t/counters", {}),
                        "\"\\\"\\\\\\x01\\xff" + std::string(60, 'x') + "\", not " + group));
    *header = original;
    header->valueSize = 36;
    header->hash = header->doHash();
    EXPECT_TRUE(refused(CounterRecords::Reader(recordsDebug(), "t/counters", {}),
                        group + " of valueSize:36 slotSize:56, not of valueSize:40 slotSize:56"));
    *header = original;
    // The table is sound, only the reader is wrong: no corruption marker.
    const Mem::RootPath root(recordsDebug(), "t/counters", false);
    EXPECT_NE(::access(root.filePath("corruption-detected").c_str(), F_OK), 0);
    EXPECT_TRUE(CounterRecords::Reader(recordsDebug(), "t/counters", {}).initialize("test"));
}

#ifdef FLOWTABLE_TEST_HOOKS
TEST_F(HoardReaderTest, InitializeRefusesAHeaderItCannotCopyWhole) {
    // The version moves during every copy of the header.
    auto* header = const_cast<SlotTable::Header*>(writer(0).slotTable().header());
    auto& hook = Hoard::SlotReaderTable<FlowRecords::Entry>::snapshotCopiedHook;
    hook = [header] {
        const Mem::VerU32 now = header->numSlots();
        Mem::VerU32::store(header->numSlotsPair, Mem::VerU32{now.version + 1, now.value});
    };
    TraceCapture capture;
    FlowRecords::Reader r(recordsDebug(), "t/flows", FlowRecords::Ops());
    EXPECT_FALSE(r.initialize("test"));
    hook = nullptr;
    EXPECT_FALSE(r.initialized());
    EXPECT_TRUE(capture.contains("SlotReader::snapshot() numSlots kept changing over 1000 reads"));
    EXPECT_TRUE(r.initialize("test"));
}
#endif  // FLOWTABLE_TEST_HOOKS

TEST_F(HoardReaderTest, ARemapInvalidatesOnlyAnAnchorRecordedBeyondTheNewMapping) {
    writer(0);
    using Anchor = Mem::VersionAnchor;
    const std::uint32_t lookasideStatus = sizeof(SlotTable::Header) + 8;
    for (const auto& [offset, after] :
         {std::pair{lookasideStatus, lookasideStatus}, std::pair{1u << 30, Anchor::invalid},
          std::pair{Anchor::unset, Anchor::unset}}) {
        Hoard::Reader::Counters counters;
        Hoard::SlotReaderTable<FlowRecords::Entry> slots(
            recordsDebug(), Mem::RootPath(recordsDebug(), "t/flows", false), counters);
        ASSERT_TRUE(slots.attach());
        Anchor anchor{.offset = offset};
        ASSERT_TRUE(slots.doResize(&anchor));
        EXPECT_EQ(anchor.offset, after) << offset;
    }
}

// A corruption names the key it looked for byte by byte (other processes' keys may not print),
// at a level traced by default.
TEST_F(HoardReaderTest, ACorruptionTracesTheBytesOfTheKeyItLookedFor) {
    auto& w = writer(1);
    auto& r = reader();
    const_cast<std::uint32_t&>(w.slotTable().slots()[0].head.status) &= ~SlotTable::occupied;
    TraceCapture capture;
    const FlowRecords::Key key = FlowRecords::key(0);
    bool found = false;
    EXPECT_THROW(r.lookup(key, found, nullptr), Basalt::CorruptionDetectedException);
    std::string expected = "HoardReader::doLookup() key bytes:";
    for (const auto byte : std::as_bytes(std::span(&key, 1))) {
        expected += fmt::format(" {:02x}", std::to_integer<int>(byte));
    }
    const auto lines = capture.entries();
    EXPECT_TRUE(std::ranges::any_of(lines, [&](const TraceCapture::Entry& e) {
        return e.level == 0 && e.text.find(expected) != std::string::npos;
    })) << expected;
}

TEST_F(HoardReaderTest, ASlotUnderRewriteIsReadFromTheLookasideSlot) {
    auto& w = writer(2);
    auto& r = reader();
    // A rewrite of id 1 frozen half way: LOOKASIDE set, the new value in the lookaside slot.
    using Slot = Hoard::TypedSlot<FlowRecords::Entry>;
    auto& slot = const_cast<Slot&>(w.slotTable().slots()[1]);
    auto& lookaside = const_cast<Slot&>(w.slotTable().lookasideSlot());
    Hoard::storeSlotValue(lookaside, FlowRecords::make(1, 2));
    lookaside.head.rhash = slot.head.rhash;
    slot.head.status += 2;
    EXPECT_EQ(generationOf<FlowRecords>(r, 1), 2u);
    EXPECT_EQ(r.readerCounters().lookasideReads, 1u);
    // The anchor holds until the rewrite completes.
    EXPECT_NO_THROW(r.validateVersionAnchor());
    slot.head.status += 2;
    EXPECT_THROW(r.validateVersionAnchor(), Mem::VersionMismatchException);
}

// ---- Batched lookups ---------------------------------------------------------------------------

// lookupBatch() answers each key as lookup() does, on the writer and on the reader, through
// growths and shrinks between and (reader) during calls, with the keys overlapping the output;
// the version anchor afterwards names the last key found.
class LookupBatchTest : public HoardReaderTest, public ::testing::WithParamInterface<bool> {};

TEST_P(LookupBatchTest, AnswersEachKeyAsLookupDoesAndAnchorsTheLastKeyFound) {
    const bool onReader = GetParam();
    auto w = newWriter<FlowRecords>("t/batch", 100);
    auto r = newReader<FlowRecords>("t/batch");
    FlowTable& table = onReader ? static_cast<FlowTable&>(*r) : *w;
    auto put = [&](std::uint32_t from, std::uint32_t to) {
        for (std::uint32_t id = from; id < to; ++id) w->write(FlowRecords::make(id, 1), true);
    };
    auto drop = [&](std::uint32_t from, std::uint32_t to) {
        FlowRecords::Entry gone;
        for (std::uint32_t id = from; id < to; ++id) w->remove(FlowRecords::key(id), gone);
    };
    // `count` ids, every third one absent (5000 on), the others spread over [0, present).
    auto mixed = [](std::uint32_t present, std::uint32_t count, bool missLast) {
        std::vector<std::uint32_t> ids;
        for (std::uint32_t i = 0; i < count; ++i) {
            ids.push_back(i % 3 == 2 ? 5000 + i : i * 7 % present);
        }
        if (missLast) ids.back() = 9999;
        return ids;
    };
    struct Case {
        const char* name;
        std::function<void()> before;  // the writer's steps before the call
        std::function<void()> during;  // the writer's steps at the reader's first slot read
        std::vector<std::uint32_t> ids;
        int aliased;   // the keys lie in the output's first (1) or last (-1) bytes
    };
    const Case cases[] = {
        {"hits and misses, a miss last", {}, {}, mixed(100, 37, true), 0},
        {"only misses", {}, {}, {5000, 5001, 5002, 5003, 5004}, 0},
        // Answer 0 overwrites keys 1 to 3 of a group: the group's keys are read first.
        {"keys at the output's start", {}, {}, mixed(100, 16, false), 1},
        {"after a growth", [&] { put(100, 700); }, {}, mixed(700, 50, false), 0},
        {"during a shrink", {}, [&] { drop(100, 690); }, mixed(100, 33, false), 0},
        {"after a shrink, keys at the output's end", [&] { drop(10, 700); }, {},
         mixed(10, 41, false), -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.before) c.before();
        const std::size_t n = c.ids.size();
        std::vector<FlowRecords::Entry> expected(n);
        std::vector<char> expectedFound(n);
        std::size_t lastHit = n;
        for (std::size_t i = 0; i < n; ++i) {
            bool f = false;
            table.lookup(FlowRecords::key(c.ids[i]), f, &expected[i]);
            expectedFound[i] = f;
            if (f) lastHit = i;
        }
        std::vector<FlowRecords::Entry> out(n, FlowRecords::make(7777, 7));
        std::vector<FlowRecords::Key> separate;
        FlowRecords::Key* keys = nullptr;
        if (c.aliased != 0) {
            keys = reinterpret_cast<FlowRecords::Key*>(out.data() + (c.aliased > 0 ? 0 : n)) -
                   (c.aliased > 0 ? 0 : n);
        } else {
            separate.resize(n);
            keys = separate.data();
        }
        for (std::size_t i = 0; i < n; ++i) keys[i] = FlowRecords::key(c.ids[i]);
#ifdef FLOWTABLE_TEST_HOOKS
        std::uint64_t remaps = r->readerCounters().remaps;
        if (c.during) {
            if (!onReader) continue;
            Hoard::TestHook::readerSlotRead() = [&](std::uint32_t) {
                Hoard::TestHook::readerSlotRead() = nullptr;
                c.during();
            };
        }
#else
        if (c.during) continue;
#endif
        std::unique_ptr<bool[]> found(new bool[n]);
        const std::size_t hits = table.lookupBatch(keys, n, out.data(), found.get());
#ifdef FLOWTABLE_TEST_HOOKS
        if (c.during) {
            EXPECT_GT(r->readerCounters().remaps, remaps);  // the group ran again
        }
#endif
        EXPECT_EQ(hits, static_cast<std::size_t>(std::count(expectedFound.begin(),
                                                            expectedFound.end(), 1)));
        for (std::size_t i = 0; i < n; ++i) {
            EXPECT_EQ(found[i], expectedFound[i] != 0) << i;
            EXPECT_EQ(out[i], expected[i]) << i;
        }
        if (lastHit == n) {
            EXPECT_THROW(table.validateVersionAnchor(), Basalt::AssertException);
            continue;
        }
        // Rewriting another record found leaves the anchor valid; rewriting the last one does not.
        EXPECT_NO_THROW(table.validateVersionAnchor());
        for (std::size_t i = 0; i < lastHit; ++i) {
            if (expectedFound[i] && c.ids[i] != c.ids[lastHit]) {
                w->write(FlowRecords::make(c.ids[i], 3), true);
                break;
            }
        }
        EXPECT_NO_THROW(table.validateVersionAnchor());
        w->write(FlowRecords::make(c.ids[lastHit], 2), true);
        EXPECT_THROW(table.validateVersionAnchor(), Mem::VersionMismatchException);
    }
}

INSTANTIATE_TEST_SUITE_P(WriterAndReader, LookupBatchTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Reader" : "Writer"; });

#ifdef FLOWTABLE_TEST_HOOKS
// ---- Slot-order scan ----------------------------------------------------------------------------

// The writer acts at one point inside a scan (at the scan's read of a slot, or halfway through
// its copy of one): grows the table, shrinks it (moving records the scan has not read down to
// slots it has not reached), shrinks and grows it again so that the slot being copied holds
// another record under the same status, or dies between a shrink's moves and its publication.
// Every record present throughout must be handed out, none torn, and mayRepeat must be set
// exactly when moves overlapped the scan.
TEST_F(HoardReaderTest, ScanHandsOutEveryLastingRecordWholeThroughShrinksAndGrowths) {
    struct Case {
        const char* name;
        std::uint32_t records;  // ids [0, records) in slots [0, records)
        std::uint32_t slot;     // where the writer acts
        bool midCopy;           // halfway through copying the slot, else before reading it
        std::uint32_t kept;     // ids [kept, records) stay present throughout
        bool mayRepeat;
        std::function<void(FlowRecords::Writer&)> act;
        std::uint32_t recoverAt = ~0u;  // where the next writer's recovery runs, if it does
    };
    auto put = [](FlowRecords::Writer& w, std::uint32_t from, std::uint32_t to) {
        for (std::uint32_t id = from; id < to; ++id) w.write(FlowRecords::make(id, 1), true);
    };
    auto drop = [](FlowRecords::Writer& w, std::uint32_t from, std::uint32_t to) {
        FlowRecords::Entry gone;
        for (std::uint32_t id = from; id < to; ++id) w.remove(FlowRecords::key(id), gone);
    };
    auto killBeforePublish = [&](FlowRecords::Writer& w) {
        Child child([&] {
            Hoard::CrashPoint::arm("shrink.publish");
            drop(w, 0, 49);
            return false;
        });
        ASSERT_EQ(child.wait(), 128 + SIGKILL);
    };
    const Case cases[] = {
        {"quiet", 300, 0, false, 0, false, {}},
        {"growth inside a chunk", 300, 280, false, 0, false, [&](auto& w) { put(w, 1000, 1300); }},
        // Removing ids 0..48 shrinks 64 slots to 32, moving ids 49..63 down.
        {"shrink moving unread records down", 64, 40, false, 49, true,
         [&](auto& w) { drop(w, 0, 49); }},
        // Then 49 inserts grow it again; the last takes slot 63 with the status id 63 had there.
        {"shrink and growth reusing the slot under copy", 64, 63, true, 49, true,
         [&](auto& w) {
             drop(w, 0, 49);
             std::uint32_t id = 1000;
             auto taken = [&] {
                 return w.capacity() > 63 &&
                        (w.slotTable().slots()[63].head.status & SlotTable::occupied);
             };
             for (; !taken() && id < 1100; ++id) put(w, id, id + 1);
             ASSERT_EQ(w.slotTable().slots()[63].head.status, 5u);
         }},
        // A writer killed after moving ids 49..63 down, before it published the smaller count.
        {"moves left unpublished", 64, 40, false, 49, true, killBeforePublish},
        // The same, and the next writer's recovery runs after the scan read the moved records
        // at both places, clearing the flag before the scan ends.
        {"moves left unpublished, recovered inside the scan", 64, 40, false, 49, true,
         killBeforePublish, 0},
    };
    int table = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string name = "t/scan" + std::to_string(table++);
        auto w = newWriter<FlowRecords>(name, c.records);
        auto r = newReader<FlowRecords>(name);
        bool acted = false, recovered = false;
        auto act = [&](std::uint32_t slot) {
            if (slot == c.recoverAt && acted && !std::exchange(recovered, true)) {
                ASSERT_TRUE(w->recover());
            }
            if (slot != c.slot || !c.act || std::exchange(acted, true)) return;
            c.act(*w);
        };
        (c.midCopy ? Hoard::TestHook::readerSlotCopying() : Hoard::TestHook::readerSlotRead()) =
            act;
        std::map<std::uint32_t, int> seen;
        std::uint64_t visits = 0, torn = 0;
        const Hoard::ScanResult result = r->scan([&](const FlowRecords::Entry& e) {
            ++visits;
            std::uint32_t id = 0;
            std::uint64_t generation = 0;
            if (!FlowRecords::check(e, id, generation)) ++torn;
            ++seen[id];
        });
        Hoard::TestHook::readerSlotCopying() = nullptr;
        Hoard::TestHook::readerSlotRead() = nullptr;
        EXPECT_EQ(acted, c.act != nullptr);
        EXPECT_EQ(torn, 0u);
        EXPECT_EQ(result.records, visits);
        EXPECT_EQ(result.mayRepeat, c.mayRepeat);
        for (std::uint32_t id = c.kept; id < c.records; ++id) EXPECT_GE(seen[id], 1) << id;
        if (!result.mayRepeat) {
            for (const auto& [id, times] : seen) EXPECT_EQ(times, 1) << id;
        }
    }
}
#endif  // FLOWTABLE_TEST_HOOKS

// ---- Regressions: reader faults the torture runs found ------------------------------------------

using HoardReaderRegressionTest = HoardReaderTest;

TEST_F(HoardReaderRegressionTest, LookupSpanningABucketGrowAndShrinkStillFindsThePresentKey) {
    auto& w = writer(64);
    const std::uint32_t n = w.bucketTable().count();
    // Two neighbours in a run that the coming split cuts apart: `last` the last key of the lower
    // half (its link is the one the split cuts), `target` the first key of the upper half.
    std::vector<std::uint32_t> ids(64);
    std::iota(ids.begin(), ids.end(), 0u);
    std::sort(ids.begin(), ids.end(), [&](auto a, auto b) { return order(a) < order(b); });
    auto split = [&](std::uint32_t id) { return ops.hash(FlowRecords::key(id)) & (2 * n - 1); };
    std::size_t i = 1;
    while (i < ids.size() && split(ids[i]) != split(ids[i - 1]) + n) ++i;
    ASSERT_LT(i, ids.size());
    const std::uint32_t last = ids[i - 1], target = ids[i];
    auto& r = reader();
    // At the reader's hash of `target` the writer splits the buckets (cutting `last`'s link); at
    // its hash of `last`, after it read that link, the writer merges them again.
    int stage = 0;
    HookedFlowOps::hook = [&](const FlowTracking::IpFlowKey& key) {
        if (stage == 0 && key == FlowRecords::key(target)) {
            stage = 1;
            w.index().growBuckets();
        } else if (stage == 1 && key == FlowRecords::key(last)) {
            stage = 2;
            w.index().shrinkBuckets();
        }
    };
    EXPECT_EQ(generationOf<FlowRecords>(r, target), 1u);
    EXPECT_EQ(stage, 2);
}

TEST_F(HoardReaderRegressionTest, AnIdleReaderFollowsTheWritersCountsBeforeItWalks) {
    writer(10);
    auto& r = reader();
    FlowRecords::Entry v;
    Hoard::IterHint hint;
    bool found = false;
    const std::pair<const char*, std::function<void()>> operations[] = {
        {"lookup", [&] { r.lookup(FlowRecords::key(3), found, &v); }},
        {"first", [&] { r.first(v, hint); }},
        {"next", [&] { r.next(v.key(), v, hint); }},
    };
    for (const auto& [name, operation] : operations) {
        // While the reader idles, the writer grows both files and shrinks them again; the
        // operation's first hash comes after it read the table: the remap must come before.
        const std::uint64_t remaps = r.readerCounters().remaps;
        put(1000, 1100);
        drop(1000, 1100);
        std::optional<std::uint64_t> remapsAtWalk;
        HookedFlowOps::hook = [&](const FlowTracking::IpFlowKey&) {
            if (!remapsAtWalk) remapsAtWalk = r.readerCounters().remaps;
        };
        operation();
        HookedFlowOps::hook = nullptr;
        ASSERT_TRUE(remapsAtWalk) << name;
        EXPECT_GT(*remapsAtWalk, remaps) << name;
    }
}

TEST_F(HoardReaderRegressionTest, LookupRetriedAfterARemapLooksForTheCallersKeyNotTheOutput) {
    Hoard::MapDescriptor d = recordsDescriptor();
    d.shrinkBuckets = false;  // 64 buckets throughout: only the slot file shrinks below
    // `kept` and `gone` share a bucket of 64, `kept` first in the run; 38 others fill the table.
    const std::uint32_t kept = 0, gone = after(kept, 64, 1)[0];
    auto& w = writer(0, d);
    put(5000, 5038);
    put(kept, kept + 1);
    put(gone, gone + 1);
    ASSERT_EQ(w.bucketTable().count(), 64u);
    auto& r = reader();
    // At the lookup's first hash, removing `gone` and 24 others shrinks the slot file: the lookup
    // runs on its old mapping, then again after remapping.
    const std::uint32_t capacity = w.capacity();
    bool removed = false;
    HookedFlowOps::hook = [&](const FlowTracking::IpFlowKey&) {
        if (std::exchange(removed, true)) return;
        drop(gone, gone + 1);
        drop(5000, 5024);
    };
    // The caller's key lives in the output, which the first attempt fills with `kept`.
    FlowRecords::Entry v = FlowRecords::make(gone, 1);
    bool found = true;
    r.lookup(v.key(), found, &v);
    ASSERT_LT(w.capacity(), capacity);
    EXPECT_FALSE(found);
    EXPECT_EQ(v, FlowRecords::Entry());
}

TEST_F(HoardReaderRegressionTest, NextFromAKeyLivingInTheValuePassesTwoRecordsOfEqualHash) {
    // Two flow keys of equal 32-bit hash (found by a search): neighbours ordered by key only.
    constexpr std::uint32_t a = 36244, b = 76281;
    ASSERT_EQ(ops.hash(FlowRecords::key(a)), ops.hash(FlowRecords::key(b)));
    writer(4);
    put(a, a + 1);
    put(b, b + 1);
    std::map<std::uint32_t, int> seen;
    auto visit = [&](std::uint32_t id, std::uint64_t) { return ++seen[id] == 1 ? "" : "twice"; };
    EXPECT_EQ(walk<FlowRecords>(reader(), 10, visit), "");
    EXPECT_EQ(seen, (std::map<std::uint32_t, int>{{0, 1}, {1, 1}, {2, 1}, {3, 1}, {a, 1}, {b, 1}}));
}

TEST_F(HoardReaderRegressionTest, NextRetriedAfterARemapNeitherSkipsNorRepeatsARecord) {
    // Six records in 16 slots and 8 buckets: 27 more grow the slot file twice and the buckets
    // three times, removing them shrinks both. The writer does either inside every next() (at its
    // first hash): the step runs on the old mapping, then again with a hint of another count.
    constexpr std::uint32_t base = 6;
    auto& w = writer(base);
    auto& r = reader();
    bool armed = false, grown = false;
    std::uint32_t resized = 0;
    HookedFlowOps::hook = [&](const FlowTracking::IpFlowKey&) {
        if (!std::exchange(armed, false)) return;
        const std::uint32_t capacity = w.capacity();
        grown ? drop(1000, 1027) : put(1000, 1027);
        grown = !grown;
        resized += w.capacity() != capacity;
    };
    for (int round = 0; round < 8; ++round) {
        SCOPED_TRACE(round);
        std::vector<int> seen(base, 0);
        std::uint32_t steps = 0;
        std::uint64_t generation = 2;
        resized = 0;
        auto visit = [&](std::uint32_t id, std::uint64_t) {
            if (id < base) ++seen[id];
            ++steps;
            // Odd rounds rewrite the record just returned: the next step takes the slow path.
            if (round % 2 == 1 && id < base) w.write(FlowRecords::make(id, generation++), true);
            armed = true;
            return "";
        };
        EXPECT_EQ(walk<FlowRecords>(r, 100, visit), "");
        armed = false;
        EXPECT_GE(resized + 1, steps);  // every step but the last one resized the files
        EXPECT_EQ(seen, std::vector<int>(base, 1));  // and no record twice: walk() checks the order
        drop(1000, 1027);
        grown = false;
    }
}

// A hint and an anchor taken before two shrinks, used after a regrowth formatted the slots again
// with restarted status counters: the hinted slot holds another record, the anchored slot its key
// rewritten, each with the status the hint or anchor has. Neither may be trusted (writer, reader).
class ReusedSlotTest : public HoardReaderTest, public ::testing::WithParamInterface<bool> {};

TEST_P(ReusedSlotTest, HintsAndAnchorsDoNotTrustASlotThatWasReleasedAndFormattedAgain) {
    auto& w = writer(64);  // ids 0..63 in slots 0..63
    const auto r = newReader<FlowRecords>("t/flows");
    Hoard::HoardInterface<FlowRecords::Key, FlowRecords::Entry, FlowRecords::Ops>& table =
        GetParam() ? static_cast<decltype(table)>(*r) : w;
    FlowRecords::Entry v;
    Hoard::IterHint hint;
    bool more = table.first(v, hint);
    for (int steps = 0; more && !(v.key() == FlowRecords::key(41)) && steps < 64; ++steps) {
        more = table.next(v.key(), v, hint);
    }
    ASSERT_EQ(hint.slot, 41u);
    ASSERT_EQ(generationOf<FlowRecords>(table, 40), 1u);
    const Mem::CacheVersionAnchor cached = table.getCacheVersionAnchor();

    // Two shrinks (64, 32, 16 slots), then a regrowth: ids 100..132 take slots 7..39, id 40 comes
    // back in slot 40 with another value, and slot 41 gets id `n`, followed in its run (the
    // hint's bucket of 64) by `m`: both sort after id 41, and slot 41's link leads to m.
    const std::vector<std::uint32_t> nm = after(41, 64, 1000, 2);
    const std::uint32_t n = nm[0], m = nm[1];
    for (std::uint32_t id = 64; id-- > 7;) drop(id, id + 1);
    ASSERT_EQ(w.capacity(), 16u);
    put(100, 133);
    for (std::uint32_t id : {40u, n, m}) w.write(FlowRecords::make(id, 2), true);
    ASSERT_EQ(w.bucketTable().count(), 64u);
    ASSERT_EQ(w.slotTable().slots()[41].head.status, hint.status);
    ASSERT_TRUE(w.slotTable().slots()[41].value.key() == FlowRecords::key(n));

    EXPECT_THROW(table.validateVersionAnchor(), Mem::VersionMismatchException);
    EXPECT_EQ(generationOf<FlowRecords>(table, 40), 2u);
    if (GetParam()) {
        EXPECT_NE(table.getCacheVersionAnchor(), cached);
    }

    // The step from id 41 returns the record that follows it now: n, or one sorting between.
    std::vector<std::uint32_t> ids{40, n, m, 0, 1, 2, 3, 4, 5, 6};
    for (std::uint32_t id = 100; id < 133; ++id) ids.push_back(id);
    std::uint32_t expected = n;
    for (std::uint32_t id : ids) {
        if (order(41) < order(id) && order(id) < order(expected)) expected = id;
    }
    ASSERT_TRUE(table.next(FlowRecords::key(41), v, hint));
    EXPECT_TRUE(v.key() == FlowRecords::key(expected)) << v;
}

INSTANTIATE_TEST_SUITE_P(WriterAndReader, ReusedSlotTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Reader" : "Writer"; });

}  // namespace
