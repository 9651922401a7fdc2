#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "contracts/Basalt/DebugHandler.h"
#include "contracts/Basalt/Exception.h"
#include "contracts/Basalt/HashMix.h"
#include "contracts/Basalt/TraceSink.h"
#include "contracts/Basalt/Util.h"
#include "tests/support/TraceCapture.h"

namespace {

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

TEST(TraceSwitches, RandomTextNeverCrashesAndKeepsErrorsOn) {
    const uint32_t seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    const std::string alphabet = "x*=;,-0123456789 a";
    for (int i = 0; i < 20000; ++i) {
        std::string sw(rng() % 24, ' ');
        for (char& c : sw) c = alphabet[rng() % alphabet.size()];
        const uint32_t w = Basalt::traceSwitchWord("x", sw);
        ASSERT_EQ(w & 1u, 1u) << sw;
        ASSERT_EQ(w & ~0x3FFu, 0u) << sw;
    }
}

TEST(TraceSwitches, ReadFromEnvironmentOnReload) {
    ASSERT_EQ(setenv(Basalt::traceSwitchesVariable, "EnvProbe*=3", 1), 0);
    Basalt::traceSwitchesReload();
    EXPECT_EQ(Basalt::traceSwitchWord("EnvProbeHandler"), bits({0, 3}));
    ASSERT_EQ(unsetenv(Basalt::traceSwitchesVariable), 0);
    Basalt::traceSwitchesReload();
    EXPECT_EQ(Basalt::traceSwitchWord("EnvProbeHandler"), 1u);
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

TEST(DebugHandler, ReportsOnlyEnabledLevels) {
    TestSupport::TraceCapture capture;
    auto handler = Basalt::Platform::getDebugHandler("ReportProbe");
    handler->switchWordIs(bits({0, 4}));
    std::ostringstream s;
    s << "flow " << 42;
    handler->report(s, 2, __FILE__, __LINE__, "probeFunction");
    EXPECT_TRUE(capture.entries().empty());
    handler->report(s, 4, __FILE__, __LINE__, "probeFunction");
    const auto entries = capture.entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].handlerName, "ReportProbe");
    EXPECT_EQ(entries[0].level, 4);
    EXPECT_EQ(entries[0].function, "probeFunction");
    EXPECT_EQ(entries[0].text, "flow 42");
}

TEST(Exceptions, CarryTextAndType) {
    try {
        Basalt::CorruptionDetectedException::throwException("bucket 7: bad chain");
        FAIL();
    } catch (const Basalt::CorruptionDetectedException& e) {
        EXPECT_STREQ(e.what(), "bucket 7: bad chain");
        EXPECT_EQ(e.message(), "bucket 7: bad chain");
    }
    EXPECT_THROW(Basalt::MemoryResourceException::throwException("m"), Basalt::Exception);
    EXPECT_THROW(Basalt::InvalidInitializeException::throwException("i"), std::exception);
    EXPECT_THROW(Basalt::NoPermissionException::throwException("n"), Basalt::NoPermissionException);
}

TEST(Exceptions, AssertNamesExpressionAndTracesAtLevelZero) {
    TestSupport::TraceCapture capture;
    int evaluations = 0;
    BASALT_ASSERT(++evaluations == 1);
    EXPECT_EQ(evaluations, 1);
    try {
        BASALT_ASSERT(0 && "Implement in derived class");
        FAIL();
    } catch (const Basalt::AssertException& e) {
        const std::string m = e.message();
        EXPECT_NE(m.find("0 && \"Implement in derived class\""), std::string::npos) << m;
        EXPECT_NE(m.find("BasaltTest.cpp:"), std::string::npos) << m;
        EXPECT_NE(m.find("TestBody"), std::string::npos) << m;
    }
    const auto entries = capture.entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].level, 0);
    EXPECT_TRUE(capture.contains("Implement in derived class"));
}

}  // namespace
