// Counter records: key order and frozen hashes (counter tables place keys by them), the bare
// number form of the total-counter key, display texts with the age since the last clearing.

#include <gtest/gtest.h>

#include <string>

#include "FlowTracker/FtCounterTypes.h"
#include "tests/support/ManualClockGuard.h"
#include "tests/support/TextParsing.h"

namespace {

using namespace Hoard::FlowTracker;
using FlowTracking::FtId;
using FlowTracking::TemplateId;
using TestSupport::errorOf;
using TestSupport::parseWhole;
using TestSupport::replaced;

FlowGroupCounterKey groupKey(std::uint32_t ft, std::uint16_t fg) {
    return FlowGroupCounterKey(FtId(ft), TemplateId(fg));
}

TEST(CounterKeys, DefaultsAndOrder) {
    EXPECT_EQ(FlowGroupCounterKey().ftId(), FtId(0));
    EXPECT_EQ(FlowGroupCounterKey().fgId(), TemplateId(65535));
    EXPECT_EQ(FlowCounterKey().key(), 0u);
    EXPECT_TRUE(groupKey(1, 5) < groupKey(1, 6));
    EXPECT_TRUE(groupKey(1, 6) < groupKey(2, 0));
    EXPECT_FALSE(groupKey(2, 0) < groupKey(1, 65535));
    EXPECT_TRUE(groupKey(0x7FFFFFFF, 0) < groupKey(0x80000000u, 0));  // unsigned
    EXPECT_FALSE(groupKey(1, 5) < groupKey(1, 5));
    EXPECT_TRUE(FlowCounterKey(1) < FlowCounterKey(0x80000000u));
}

// Golden vectors: the counter tables hash keys with their stored seed; every process must agree.
TEST(CounterKeys, HashesAreFrozen) {
    EXPECT_EQ(groupKey(1, 5).hash(0), groupKey(1, 5).hash(0));
    EXPECT_EQ(groupKey(0, 65535).hash(0), 0x30ab28b3u);
    EXPECT_EQ(groupKey(7, 3).hash(0), 0x81782345u);
    EXPECT_EQ(groupKey(7, 3).hash(0xC0FFEE), 0xcc575334u);
    EXPECT_EQ(Kiln::hashSingleAttr(0, FlowCounterKey(0)), Kiln::hashSingleAttr(0, 0u));
    EXPECT_EQ(Kiln::hashSingleAttr(99, FlowCounterKey(12)), Kiln::hashSingleAttr(99, 12u));
    // The padding bytes take no part.
    FlowGroupCounterKey dirty = groupKey(7, 3);
    reinterpret_cast<unsigned char*>(&dirty)[6] = 0xAB;
    EXPECT_EQ(dirty.hash(5), groupKey(7, 3).hash(5));
    EXPECT_EQ(dirty, groupKey(7, 3));
}

TEST(CounterText, TotalCounterKeyIsABareNumber) {
    const FlowCounterEntry e(FlowCounterKey(7), FlowEntry(1, 2, 3, 0.5));
    const std::string text = valueToStrep(e).stdString();
    EXPECT_EQ(text,
              "Value('Hoard::FlowTracker::FlowCounterEntry', ** {'key': 7, 'flowEntry': "
              "Value('Hoard::FlowTracker::FlowEntry', ** {'flows': 1, 'expiredFlows': 2, "
              "'packets': 3, 'lastClearedTime': 0.5})})");
    EXPECT_EQ(parseWhole<FlowCounterEntry>(text), e);
    EXPECT_EQ(valueToStrep(FlowCounterKey(4294967295u)), "4294967295");
    EXPECT_EQ(parseWhole<FlowCounterKey>("4294967295"), FlowCounterKey(4294967295u));
    EXPECT_EQ(errorOf<FlowCounterKey>("4294967296").rfind("key: ", 0), 0u);
    EXPECT_EQ(valueToStrep(groupKey(3, 9)),
              "Value('Hoard::FlowTracker::FlowGroupCounterKey', ** {'ftId': 3, 'fgId': 9})");
}

TEST(CounterText, FailuresNameTheAttribute) {
    const std::string group = valueToStrep(FlowGroupCounterEntry()).stdString();
    EXPECT_EQ(errorOf<FlowGroupCounterEntry>(replaced(group, "'fgId': 65535", "'fgId': 65536"))
                  .rfind("key: fgId: ", 0),
              0u);
    EXPECT_EQ(errorOf<FlowGroupCounterEntry>(replaced(group, "'ftId': 0", "'ftId': x"))
                  .rfind("key: ftId: ", 0),
              0u);
    EXPECT_EQ(errorOf<FlowGroupCounterEntry>(replaced(group, "'packets': 0", "'packets': 1.5"))
                  .rfind("flowEntry: ", 0),
              0u);
    EXPECT_EQ(errorOf<FlowGroupCounterEntry>(
                  replaced(group, "'lastClearedTime': 0", "'lastClearedTime': zero"))
                  .rfind("flowEntry: lastClearedTime: ", 0),
              0u);
    const std::string total = valueToStrep(FlowCounterEntry()).stdString();
    EXPECT_EQ(errorOf<FlowCounterEntry>(replaced(total, "'key': 0", "'key': -1")).rfind("key: ", 0),
              0u);
    // A group key where a total key belongs, and the other way round.
    EXPECT_NE(
        errorOf<FlowCounterEntry>(replaced(group, "FlowGroupCounterEntry", "FlowCounterEntry")),
        "accepted");
    EXPECT_NE(errorOf<FlowGroupCounterEntry>(
                  replaced(total, "FlowCounterEntry", "FlowGroupCounterEntry")),
              "accepted");
}

TEST(CounterText, DisplayTextShowsTheAgeSinceClearing) {
    TestSupport::ManualClockGuard clock(1'000'000.0);
    FlowEntry never(4, 1, 100, 0.0);
    EXPECT_EQ(never.hoardString(), "flows: 4, expiredFlows: 1, packets: 100, cleared: inf");
    FlowEntry recent(0, 0, 0, 1'000'000.0 - 2.5);
    EXPECT_EQ(recent.hoardString(), "flows: 0, expiredFlows: 0, packets: 0, cleared: 2.5");
    clock.advance(10);
    EXPECT_EQ(recent.hoardString(), "flows: 0, expiredFlows: 0, packets: 0, cleared: 12.5");

    EXPECT_EQ(FlowGroupCounterEntry(groupKey(1, 5), never).hoardString(),
              "[ ftId: 1, fgId: 5] flows: 4, expiredFlows: 1, packets: 100, cleared: inf");
    EXPECT_EQ(FlowCounterEntry(FlowCounterKey(0), never).hoardString(),
              "[ Total counters: 0] flows: 4, expiredFlows: 1, packets: 100, cleared: inf");
}

}  // namespace
