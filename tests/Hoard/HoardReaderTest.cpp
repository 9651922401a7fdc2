// The lock-free reader against a live writer in the same process (separate mappings): lookups,
// iteration, remapping after growth and shrinking, the lookaside redirection, refused tables.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <iomanip>
#include <sstream>

#include "Hoard/HoardReader.h"
#include "tests/support/AllocationCounter.h"
#include "tests/support/ShmRoot.h"
#include "tests/support/TraceCapture.h"
#include "tests/support/WriterTypes.h"

namespace {

using namespace TestSupport;
using FlowReader = Hoard::HoardReader<FlowOps>;
using CounterReader = Hoard::HoardReader<CounterOps>;

class HoardReaderTest : public ::testing::Test {
  protected:
    ShmRoot shm;
    std::shared_ptr<Basalt::Platform::DebugHandler> debug =
        Basalt::Platform::getDebugHandler("HoardReaderTest");
    Hoard::MapDescriptor descriptor() {
        Hoard::MapDescriptor d;
        d.slotLimit = 1u << 16;
        return d;
    }
};

TEST_F(HoardReaderTest, InitializeRefusesATableOfAnotherValueType) {
    CounterWriter w(debug, "t/counters", descriptor(), CounterOps(), "Test");
    ASSERT_TRUE(w.initialize("test"));
    EXPECT_FALSE(CounterReader(debug, "t/absent", CounterOps()).initialize("test"));
    const std::string refused = "HoardReader::initialize() table t/counters holds ";
    {
        // Both counter records are 40 bytes: only the header's type name tells them apart.
        TraceCapture capture;
        EXPECT_FALSE(Hoard::HoardReader<TotalCounterOps>(debug, "t/counters", TotalCounterOps())
                         .initialize("test"));
        EXPECT_TRUE(capture.contains(refused + "\"Hoard::FlowTracker::FlowGroupCounterEntry\", not "
                                               "\"Hoard::FlowTracker::FlowCounterEntry\""));
    }
    // Headers edited with their checksum kept right, each refused by a reader of the type the
    // table was made for.
    auto* header = const_cast<Hoard::SlotTable::Header*>(w.slotTable().header());
    const Hoard::SlotTable::Header original = *header;
    const std::pair<std::function<void(Hoard::SlotTable::Header&)>, std::string> cases[] = {
        {[](auto& h) {
             std::memset(h.valueType, 'x', sizeof h.valueType);  // no NUL at all
             std::memcpy(h.valueType, "\"\\\x01\xff", 4);
         },
         "\"\\\"\\\\\\x01\\xff" + std::string(60, 'x') +
             "\", not \"Hoard::FlowTracker::FlowGroupCounterEntry\""},
        {[](auto& h) { h.valueSize = 36; },
         "\"Hoard::FlowTracker::FlowGroupCounterEntry\" of valueSize:36 slotSize:56, not of "
         "valueSize:40 slotSize:56"},
    };
    for (const auto& [edit, expected] : cases) {
        *header = original;
        edit(*header);
        header->hash = header->doHash();
        TraceCapture capture;
        EXPECT_FALSE(CounterReader(debug, "t/counters", CounterOps()).initialize("test"));
        EXPECT_TRUE(capture.contains(refused + expected)) << expected;
    }
    *header = original;
    // The table is sound, only the reader is wrong: no corruption marker.
    const Mem::RootPath root(debug, "t/counters", false);
    EXPECT_NE(::access(root.filePath("corruption-detected").c_str(), F_OK), 0);
    EXPECT_TRUE(CounterReader(debug, "t/counters", CounterOps()).initialize("test"));
}

#ifdef FLOWTABLE_TEST_HOOKS
TEST_F(HoardReaderTest, InitializeRefusesAHeaderItCannotCopyWhole) {
    CounterWriter w(debug, "t/counters", descriptor(), CounterOps(), "Test");
    ASSERT_TRUE(w.initialize("test"));
    // The version moves during every copy of the header, as under a writer that never pauses.
    auto* header = const_cast<Hoard::SlotTable::Header*>(w.slotTable().header());
    auto& hook =
        Hoard::SlotReaderTable<Hoard::FlowTracker::FlowGroupCounterEntry>::snapshotCopiedHook;
    hook = [header] {
        const Mem::VerU32 now = header->numSlots();
        Mem::VerU32::store(header->numSlotsPair, Mem::VerU32{now.version + 1, now.value});
    };
    TraceCapture capture;
    CounterReader r(debug, "t/counters", CounterOps());
    EXPECT_FALSE(r.initialize("test"));
    hook = nullptr;
    EXPECT_FALSE(r.initialized());
    EXPECT_TRUE(
        capture.contains("HoardReader::initialize() failed to map slots: "
                         "SlotReader::snapshot() numSlots kept changing over 1000 reads"));
    EXPECT_TRUE(capture.contains("(slots header unreadable: "));  // the dump does not throw
    EXPECT_TRUE(r.initialize("test"));
}
#endif  // FLOWTABLE_TEST_HOOKS

TEST_F(HoardReaderTest, ARemapInvalidatesOnlyAnAnchorRecordedBeyondTheNewMapping) {
    FlowWriter w(debug, "t/flows", descriptor(), FlowOps(), "Test");
    w.initialize("test");
    using Anchor = Mem::VersionAnchor;
    const std::uint32_t lookasideStatus = sizeof(Hoard::SlotTable::Header) + 8;
    for (const auto& [offset, after] :
         {std::pair{lookasideStatus, lookasideStatus}, std::pair{1u << 30, Anchor::invalid},
          std::pair{Anchor::unset, Anchor::unset}}) {
        Hoard::Reader::Counters counters;
        Hoard::SlotReaderTable<FlowTracking::IpFlowEntry> slots(
            debug, Mem::RootPath(debug, "t/flows", false), counters);
        ASSERT_TRUE(slots.attach());
        Anchor anchor;
        anchor.offset = offset;
        ASSERT_TRUE(slots.doResize(&anchor));
        EXPECT_EQ(anchor.offset, after) << offset;
    }
}

// A corruption names the key it was looking for byte by byte (other processes' keys may not
// print), at a level traced by default.
TEST_F(HoardReaderTest, ACorruptionTracesTheBytesOfTheKeyItLookedFor) {
    FlowWriter w(debug, "t/flows", descriptor(), FlowOps(), "Test");
    w.initialize("test");
    w.write(flowEntry(7), true);
    FlowReader r(debug, "t/flows", FlowOps());
    ASSERT_TRUE(r.initialize("test"));
    auto& status = const_cast<std::uint32_t&>(w.slotTable().slots()[0].head.status);
    status &= ~Hoard::SlotTable::occupied;
    TraceCapture capture;
    bool found = false;
    EXPECT_THROW(r.lookup(flowEntry(7).key(), found, nullptr), Basalt::CorruptionDetectedException);
    status |= Hoard::SlotTable::occupied;
    const auto key = flowEntry(7).key();
    const auto* bytes = reinterpret_cast<const unsigned char*>(&key);
    std::ostringstream expected;
    expected << "HoardReader::doLookup() key bytes:" << std::hex << std::setfill('0');
    for (std::size_t i = 0; i < sizeof key; ++i) expected << ' ' << std::setw(2) << int{bytes[i]};
    const auto lines = capture.entries();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const TraceCapture::Entry& e) {
        return e.level == 0 && e.text.find(expected.str()) != std::string::npos;
    })) << expected.str();
}

TEST_F(HoardReaderTest, LookupsAndIterationStepsAllocateNothing) {
    FlowWriter w(debug, "t/flows", descriptor(), FlowOps(), "Test");
    w.initialize("test");
    for (std::uint32_t i = 0; i < 300; ++i) w.write(flowEntry(i), true);
    FlowReader r(debug, "t/flows", FlowOps());
    ASSERT_TRUE(r.initialize("test"));
    FlowTracking::IpFlowEntry out;
    bool found = false;
    r.lookup(flowEntry(1).key(), found, &out);  // settles the mappings
    const std::uint64_t before = TestSupport::threadAllocations();
    std::size_t hits = 0, steps = 0;
    for (std::uint32_t i = 0; i < 400; ++i) {
        r.lookup(flowEntry(i).key(), found, &out);
        hits += found;
    }
    Hoard::IterHint hint;
    for (bool more = r.first(out, hint); more; more = r.next(out.key(), out, hint)) ++steps;
    EXPECT_EQ(TestSupport::threadAllocations(), before);
    EXPECT_EQ(hits, 300u);
    EXPECT_EQ(steps, 300u);
}

TEST_F(HoardReaderTest, ASlotUnderRewriteIsReadFromTheLookasideSlot) {
    FlowWriter w(debug, "t/flows", descriptor(), FlowOps(), "Test");
    w.initialize("test");
    w.write(flowEntry(1, 1), true);
    FlowReader r(debug, "t/flows", FlowOps());
    ASSERT_TRUE(r.initialize("test"));
    // Freeze a rewrite half way: LOOKASIDE set, lookaside holds the new value, slot the old.
    auto& slot = const_cast<Hoard::TypedSlot<FlowTracking::IpFlowEntry>&>(w.slotTable().slots()[0]);
    auto& lookaside =
        const_cast<Hoard::TypedSlot<FlowTracking::IpFlowEntry>&>(w.slotTable().lookasideSlot());
    Hoard::storeSlotValue(lookaside, flowEntry(1, 2));
    lookaside.head.rhash = slot.head.rhash;
    slot.head.status += 2;
    bool found = false;
    FlowTracking::IpFlowEntry out;
    r.lookup(flowEntry(1).key(), found, &out);
    ASSERT_TRUE(found);
    EXPECT_EQ(out, flowEntry(1, 2));
    EXPECT_EQ(r.readerCounters().lookasideReads, 1u);
    // The anchor notices the rewrite completing.
    EXPECT_NO_THROW(r.validateVersionAnchor());
    slot.head.status += 2;
    EXPECT_THROW(r.validateVersionAnchor(), Mem::VersionMismatchException);
}

}  // namespace
