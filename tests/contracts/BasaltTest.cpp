// The platform layer beneath the tables: FNV-1a mixing, bit reversal, trace switches and the
// two trace front ends (debug handlers, Kiln trace handles), assertions, the process clock and
// type-name demangling.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "contracts/Basalt/DebugHandler.h"
#include "contracts/Basalt/Exception.h"
#include "contracts/Basalt/HashMix.h"
#include "contracts/Basalt/TraceSink.h"
#include "contracts/Basalt/Util.h"
#include "contracts/Kiln/Demangle.h"
#include "contracts/Kiln/System.h"
#include "contracts/Kiln/Trace.h"
#include "tests/support/ManualClockGuard.h"
#include "tests/support/TraceCapture.h"

namespace {

using namespace testing;
using Fnv = Basalt::Impl::HashMix<uint32_t>;

uint32_t fnv(std::string_view s) { return Fnv::mixFixedLen(Fnv::offsetBasis, s.data(), s.size()); }

TEST(Fnv1a, MatchesPublishedVectors) {
    EXPECT_EQ(fnv(""), 0x811c9dc5u);
    EXPECT_EQ(fnv("a"), 0xe40c292cu);
    EXPECT_EQ(fnv("foobar"), 0xbf9cf968u);
}

TEST(BitReverse, KnownValuesAndEveryBitMovesToItsMirror) {
    using Basalt::Util::reverse;
    static_assert(reverse(1u) == 0x80000000u);
    EXPECT_EQ(reverse(0x12345678u), 0x1E6A2C48u);
    for (int b = 0; b < 32; ++b) EXPECT_EQ(reverse(1u << b), 1u << (31 - b));
}

constexpr uint32_t bits(std::initializer_list<int> levels) {
    uint32_t w = 0;
    for (int l : levels) w |= 1u << l;
    return w;
}

// Level 0 (errors) is always on; an entry names a handler (a trailing star matches a prefix) and
// lists levels and ranges; a malformed entry is ignored whole without spoiling its neighbours.
TEST(TraceSwitches, TableOfSwitchTexts) {
    struct Row {
        const char* handler;
        const char* switches;
        std::uint32_t word;
    };
    const char* both = "*=0-2;FlowTableMgrThreadBase=2,4";
    for (const Row& r : std::vector<Row>{
             {"Anything", "", 1u},
             {"Anything", "Other=1-9", 1u},
             {"", "*=2", bits({0, 2})},
             {"FlowTableMgrThreadBase", both, bits({0, 1, 2, 4})},
             {"Other", both, bits({0, 1, 2})},
             {"x", "x=0-9", 0x3FFu},
             {"x", " x = 1 , 5 ; ", bits({0, 1, 5})},
             {"tbl/ipv4/route", "tbl/ipv4*=5", bits({0, 5})},
             {"tbl/ipv6", "tbl/ipv4*=5", 1u},
             {"FlowTable", "Flow=3", 1u},
             {"Flow", "FlowTable=3", 1u},
             {"Flow", "Flow*=3", bits({0, 3})},
             {"FlowX", "F*X=3", 1u},  // a star anywhere but last is no wildcard
             {"x", "x=2,a;x=4;garbage", bits({0, 4})},
             {"x", ";x=3;;", bits({0, 3})},
         }) {
        EXPECT_EQ(Basalt::traceSwitchWord(r.handler, r.switches), r.word)
            << r.handler << " " << r.switches;
    }
    for (const char* bad : {"=3", "noequals", "x=", "x=10", "x=3-", "x=-3", "x=5-2", "x=a",
                            "x=3,,4", "x==3", ";;;", "x=1-2-3", "x=99999999999"}) {
        EXPECT_EQ(Basalt::traceSwitchWord("x", bad), 1u) << bad;
    }
}

TEST(DebugHandler, OneHandlerPerNameEvenWhenRequestedConcurrently) {
    constexpr int kThreads = 8;
    std::vector<std::shared_ptr<Basalt::Platform::DebugHandler>> got(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&got, i] { got[i] = Basalt::Platform::getDebugHandler("RaceName"); });
    }
    for (auto& t : threads) t.join();
    for (const auto& h : got) EXPECT_EQ(h, got[0]);
    EXPECT_EQ(got[0]->name(), "RaceName");
    EXPECT_NE(Basalt::Platform::getDebugHandler("OtherName"), got[0]);
}

// A line is written only at an enabled level and KILN_TRACE builds its text only then; a failed
// BASALT_ASSERT names its expression and place, and its line is at level 0, which is always on.
TEST(Tracing, OnlyEnabledLevelsAreWrittenAndAFailedAssertAlwaysIs) {
    ASSERT_EQ(setenv(Basalt::traceSwitchesVariable, "KilnTrace*=4", 1), 0);
    Basalt::traceSwitchesReload();
    Kiln::TraceHandle handle("KilnTraceProbe");  // starts with what FLOWTABLE_TRACE asks for
    ASSERT_EQ(unsetenv(Basalt::traceSwitchesVariable), 0);
    Basalt::traceSwitchesReload();
    EXPECT_EQ(Basalt::traceSwitchWord("KilnTraceProbe"), 1u);
    TestSupport::TraceCapture capture;
    auto handler = Basalt::Platform::getDebugHandler("ReportProbe");
    handler->switchWordIs(bits({0, 4}));
    std::ostringstream s;
    s << "flow " << 42;
    handler->report(s, 2, __FILE__, __LINE__, "probeFunction");
    handler->report(s, 4, __FILE__, __LINE__, "probeFunction");
    int evaluations = 0;
    const auto key = [&evaluations] { return 16 + ++evaluations; };
    KILN_TRACE(handle, 3, "skipped " << key());
    KILN_TRACE(handle, 4, "clear counters " << key() << ' ' << std::hex << 255);
    BASALT_ASSERT(++evaluations == 2);
    EXPECT_EQ(evaluations, 2);
    EXPECT_THAT(
        [] { BASALT_ASSERT(0 && "Implement in derived class"); },
        ThrowsMessage<Basalt::AssertException>(
            AllOf(HasSubstr("0 && \"Implement in derived class\""), HasSubstr("BasaltTest.cpp:"))));
    const auto entries = capture.entries();
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].handlerName, "ReportProbe");
    EXPECT_EQ(entries[0].level, 4);
    EXPECT_EQ(entries[0].function, "probeFunction");
    EXPECT_EQ(entries[0].text, "flow 42");
    EXPECT_EQ(entries[1].handlerName, "KilnTraceProbe");
    EXPECT_EQ(entries[1].text, "clear counters 17 ff");
    EXPECT_THAT(entries[1].function, HasSubstr("TestBody"));
    EXPECT_EQ(entries[2].level, 0);
    EXPECT_THAT(entries[2].text, HasSubstr("Implement in derived class"));
}

TEST(Clock, ManualClockDrivesBothTimesUntilTheSystemClockIsBack) {
    {
        TestSupport::ManualClockGuard guard(1000.0, 50.0);
        guard.advance(2.5);
        EXPECT_EQ(Kiln::System::currentTime(), 1002.5);
        EXPECT_EQ(Kiln::System::monotonicTime(), 52.5);
        guard.clock().wallTimeIs(10.0);  // a wall-clock step leaves monotonic time alone
        EXPECT_EQ(Kiln::System::currentTime(), 10.0);
        EXPECT_EQ(Kiln::System::monotonicTime(), 52.5);
    }
    const double real =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    EXPECT_LT(std::fabs(Kiln::System::currentTime() - real), 3600.0);
}

struct LocalDemangleProbe {};

TEST(Demangle, ReadableNamesAndPassThrough) {
    EXPECT_EQ(Kiln::demangleStdString(typeid(LocalDemangleProbe).name()),
              "(anonymous namespace)::LocalDemangleProbe");
    EXPECT_EQ(Kiln::demangleStdString("not a mangled name"), "not a mangled name");
    EXPECT_EQ(Kiln::demangleStdString(nullptr), "");
}

}  // namespace
