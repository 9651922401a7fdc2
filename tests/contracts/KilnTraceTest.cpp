#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <string>

#include "contracts/Basalt/Exception.h"
#include "contracts/Kiln/Demangle.h"
#include "contracts/Kiln/System.h"
#include "contracts/Kiln/Trace.h"
#include "tests/support/ManualClockGuard.h"
#include "tests/support/TraceCapture.h"

namespace {

TEST(KilnTrace, WritesOnlyEnabledLevelsAndEvaluatesTextOnlyThen) {
    TestSupport::TraceCapture capture;
    Kiln::TraceHandle handle("KilnTraceProbe");
    EXPECT_TRUE(handle.enabled(0));
    handle.switchWordIs(1u << 4);
    int evaluations = 0;
    auto key = [&evaluations] {
        ++evaluations;
        return 17;
    };
    KILN_TRACE(handle, 3, "skipped " << key());
    EXPECT_EQ(evaluations, 0);
    EXPECT_TRUE(capture.entries().empty());
    KILN_TRACE(handle, 4, "clear counters " << key() << ' ' << std::hex << 255);
    EXPECT_EQ(evaluations, 1);
    const auto entries = capture.entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].handlerName, "KilnTraceProbe");
    EXPECT_EQ(entries[0].level, 4);
    EXPECT_EQ(entries[0].text, "clear counters 17 ff");
    EXPECT_NE(entries[0].function.find("TestBody"), std::string::npos);
}

TEST(Clock, ManualClockDrivesCurrentTime) {
    {
        TestSupport::ManualClockGuard guard(1000.0, 50.0);
        EXPECT_EQ(Kiln::System::currentTime(), 1000.0);
        EXPECT_EQ(Kiln::System::monotonicTime(), 50.0);
        guard.advance(2.5);
        EXPECT_EQ(Kiln::System::currentTime(), 1002.5);
        EXPECT_EQ(Kiln::System::monotonicTime(), 52.5);
        // A wall-clock step leaves monotonic time alone.
        guard.clock().wallTimeIs(10.0);
        EXPECT_EQ(Kiln::System::currentTime(), 10.0);
        EXPECT_EQ(Kiln::System::monotonicTime(), 52.5);
    }
    // Back on the system clock: within a generous margin of the real time.
    const double real =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    EXPECT_LT(std::fabs(Kiln::System::currentTime() - real), 3600.0);
}

struct LocalDemangleProbe {};

TEST(Demangle, ReadableNamesAndPassThrough) {
    EXPECT_NE(Kiln::demangleStdString(typeid(std::string).name()).find("basic_string"),
              std::string::npos);
    EXPECT_EQ(Kiln::demangleStdString(typeid(LocalDemangleProbe).name()),
              "(anonymous namespace)::LocalDemangleProbe");
    EXPECT_EQ(Kiln::demangleStdString("not a mangled name"), "not a mangled name");
    EXPECT_EQ(Kiln::demangleStdString(nullptr), "");
}

}  // namespace
