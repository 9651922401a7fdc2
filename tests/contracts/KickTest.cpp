// A table writer's doorbell: readers in other processes are kicked after each change, whether or
// not the writer serves a loop, see the writer's death as one disconnect, and never slow it down.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <functional>
#include <string>

#include "contracts/Kick/ReaderKickSm.h"
#include "contracts/Kick/WriterKickSm.h"
#include "contracts/Loom/EventLoop.h"
#include "contracts/SharedMem/OwnerFile.h"
#include "tests/support/Processes.h"
#include "tests/support/SelfCheckingRecords.h"
#include "tests/support/ShmRoot.h"
#include "tests/support/TraceCapture.h"

namespace {

using TestSupport::ChildReport;
using TestSupport::CounterRecords;
using TestSupport::Processes;

constexpr const char* kTable = "t/counters";

struct Counting : Kick::ReaderKickSm::Notifiee {
    int kicks = 0;
    int disconnects = 0;
    void onKick() override { ++kicks; }
    void onDisconnect() override { ++disconnects; }
};

SharedMem::ShocketInfo ownerInfo() {
    auto debug = TestSupport::recordsDebug();
    return SharedMem::OwnerFile(debug, Mem::RootPath(debug, kTable), false).shocketInfo();
}

// Runs `loop` (bounded: each pass waits at most a second, at most 60 passes) until `done`.
bool runUntil(Loom::EventLoop& loop, const std::function<bool()>& done) {
    for (int pass = 0; pass < 60 && !done(); ++pass) loop.runOnce(1.0);
    return done();
}

class Doorbell : public ::testing::Test {
  protected:
    TestSupport::TraceCapture quiet;
    TestSupport::ShmRoot shm;
    Loom::EventLoop loop;
    Counting seen;
    Kick::ReaderKickSm reader{&seen, &loop};
};

// A writer process, serving a loop or not (a command-line tool), writes when the test asks
// through a pipe: 'w' one record of the next generation, 'm' a hundred. A reader that connects
// after the writer started is kicked for each change, after the change is visible; a hundred
// writes make at least one kick; the writer's death is one disconnect.
TEST_F(Doorbell, EveryChangeKicksWithOrWithoutALoopAndDeathIsOneDisconnect) {
    for (const bool serving : {true, false}) {
        SCOPED_TRACE(serving ? "writer serves a loop" : "writer without a loop");
        seen.kicks = seen.disconnects = 0;
        int commands[2];
        ASSERT_EQ(::pipe(commands), 0);
        Processes p;
        const std::size_t writer = p.start("writer", [&](ChildReport& report) {
            ::close(commands[1]);
            std::uint64_t generation = 1;
            Kiln::Ptr<Loom::EventLoop> own = new Loom::EventLoop;
            std::unique_ptr<Loom::EventLoop::ThreadBinding> binding;
            if (serving) binding = std::make_unique<Loom::EventLoop::ThreadBinding>(own.ptr());
            auto table = TestSupport::newWriter<CounterRecords>(kTable);
            auto command = [&] {
                char c = 0;
                if (::read(commands[0], &c, 1) != 1) return false;
                for (int i = c == 'm' ? 100 : 1; i > 0; --i) {
                    table->write(CounterRecords::make(0, ++generation), true);
                }
                return true;
            };
            p.ready.post();
            if (!serving) {
                while (command()) {
                }
                return true;
            }
            own->watchFd(commands[0], [&] {
                if (!command()) own->stop();
            });
            own->run();
            return report.fail("the test closed its pipe");
        });
        ::close(commands[0]);
        ASSERT_TRUE(p.ready.wait(30, p.child(writer)));
        const SharedMem::ShocketInfo info = ownerInfo();
        EXPECT_NE(info.tableId(), SharedMem::ShocketInfo::kAnyTable) << info;
        ASSERT_TRUE(reader.connect(info)) << info;
        auto table = TestSupport::newReader<CounterRecords>(kTable);

        for (std::uint64_t generation = 2; generation <= 4; ++generation) {
            const int before = seen.kicks;
            ASSERT_EQ(::write(commands[1], "w", 1), 1);
            ASSERT_TRUE(runUntil(loop, [&] { return seen.kicks > before; })) << generation;
            EXPECT_EQ(TestSupport::generationOf<CounterRecords>(*table, 0), generation);
        }
        const int before = seen.kicks;
        ASSERT_EQ(::write(commands[1], "m", 1), 1);
        ASSERT_TRUE(runUntil(loop, [&] { return seen.kicks > before; }));

        p.child(writer).kill();
        ASSERT_TRUE(runUntil(loop, [&] { return seen.disconnects > 0; }));
        loop.runUntilIdle();
        EXPECT_EQ(seen.disconnects, 1);
        EXPECT_FALSE(reader.connected());
        ::close(commands[1]);
    }
}

// A reader that never reads holds one unread kick: the writer's later kicks are coalesced, its
// writes go on, and the reader is "sleeping" again once it read. A forked child holds none of
// the writer's sockets; the writer's detach is the reader's disconnect. With the OneSocketKick
// toggle off a writer has no socket and records none.
TEST_F(Doorbell, AReaderThatNeverReadsHoldsOneKickForksHoldNoSocketsAndTheToggleRemovesIt) {
    auto table = TestSupport::newWriter<CounterRecords>(kTable);
    const Kick::WriterKickSm& kick = table->kickSm();
    ASSERT_TRUE(reader.connect(ownerInfo()));
    constexpr std::uint64_t writes = 5000;
    for (std::uint64_t g = 1; g <= writes; ++g) table->write(CounterRecords::make(0, g), true);
    EXPECT_EQ(kick.readers(), 1u);
    EXPECT_EQ(kick.kicks(), writes);
    EXPECT_EQ(kick.sent(), 1u);
    EXPECT_EQ(kick.coalesced(), writes - 1);
    EXPECT_EQ(kick.sleepingReaders(), 0u);
    ASSERT_TRUE(runUntil(loop, [&] { return seen.kicks == 1; }));
    EXPECT_EQ(kick.sleepingReaders(), 1u);

    Processes p;
    p.start("child", [&](ChildReport& report) {
        if (kick.listening() || kick.readers() != 0) return report.fail("the child holds sockets");
        return true;
    });
    EXPECT_EQ(p.waitAll(), "");
    table->write(CounterRecords::make(0, writes + 1), true);
    ASSERT_TRUE(runUntil(loop, [&] { return seen.kicks == 2; }));
    EXPECT_EQ(seen.disconnects, 0);

    table.reset();
    ASSERT_TRUE(runUntil(loop, [&] { return seen.disconnects == 1; }));
    EXPECT_FALSE(reader.connected());

    ::setenv("FLOWTABLE_TOGGLE_DIR", shm.path().c_str(), 1);
    std::ofstream(shm.path() + "/SharedMem.json") << R"({"OneSocketKick": false})";
    table = TestSupport::newWriter<CounterRecords>(kTable);
    ::unsetenv("FLOWTABLE_TOGGLE_DIR");
    EXPECT_FALSE(table->kickSm().listening());
    EXPECT_TRUE(ownerInfo().empty());
    EXPECT_FALSE(reader.connect(ownerInfo()));
}

}  // namespace
