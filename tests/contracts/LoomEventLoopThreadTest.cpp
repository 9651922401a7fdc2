#include <gtest/gtest.h>
#include <unistd.h>

#include <stdexcept>
#include <string>
#include <thread>

#include "contracts/Loom/EventLoopThread.h"
#include "contracts/Loom/Task.h"

namespace {

// Logs its steps and where they ran; throws from the step it is told to.
class LoggingThread : public Loom::EventLoopThread {
  public:
    LoggingThread(const Kiln::Ptr<Loom::EventLoop>& loop, bool failInit, bool failDel)
        : EventLoopThread("loom-test", loop), failInit_(failInit), failDel_(failDel) {}
    ~LoggingThread() override {
        threadStop();
        try {
            threadJoin();
        } catch (...) {
        }
    }

    std::string log;
    pid_t initTid = 0, delTid = 0;
    Kiln::Ptr<Loom::TaskScheduler> initScheduler;

    void doInitSm() override {
        log += "init;";
        initTid = ::gettid();
        initScheduler = Loom::TaskSchedulerRoot::findOrCreateScheduler();
        if (failInit_) throw std::runtime_error("init failed");
    }
    void handleInitialized() override { log += "initialized;"; }
    void doDelSm() override {
        log += "del;";
        delTid = ::gettid();
        if (failDel_) throw std::runtime_error("del failed");
    }
    void handleDel() override { log += "handleDel;"; }

  private:
    const bool failInit_, failDel_;
};

// On its own thread, and on the caller's for the runtime's main loop: the same steps, the
// same failure rules; only the main loop is left for its owner to stop.
TEST(LoomEventLoopThread, LifecycleAndFailuresOnItsThreadOrTheMainLoop) {
    struct Case {
        const char* name;
        bool mainLoop, failInit, failDel;
        const char* log;
        const char* thrown;  // null: threadJoin returns normally
    };
    const Case cases[] = {
        {"clean", false, false, false, "init;initialized;served;del;handleDel;", nullptr},
        {"init throws: never serves, no del", false, true, false, "init;", "init failed"},
        {"del throws: reported by join", false, false, true, "init;initialized;served;del;",
         "del failed"},
        {"main loop", true, false, false, "init;initialized;served;still;del;handleDel;", nullptr},
        {"main loop, init throws", true, true, false, "init;", "init failed"},
    };
    const Kiln::Ptr<Loom::TaskScheduler> mine = Loom::TaskSchedulerRoot::findOrCreateScheduler();
    EXPECT_EQ(Loom::TaskSchedulerRoot::findOrCreateScheduler(), mine);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Kiln::Ptr<Loom::EventLoop> loop = new Loom::EventLoop;
        loop->useKilnEventLoopIs(c.mainLoop);
        LoggingThread t(loop, c.failInit, c.failDel);
        EXPECT_FALSE(t.waitInitializeDone(0));
        EXPECT_EQ(t.mainTid(), 0u);
        // Runs once the loop is served. threadStop() ends the thread's loop after this pass,
        // but leaves the main loop alone: that one runs "still;" and stops on its own.
        loop->post([&] {
            t.log += "served;";
            t.threadStop();
            loop->post([&] {
                t.log += "still;";
                loop->stop();
            });
        });
        t.threadStart();
        EXPECT_EQ(t.waitInitializeDone(60), !c.failInit);
        EXPECT_TRUE(t.threadInitialized());
        if (c.mainLoop && t.initializeDone()) loop->run();
        std::string thrown;
        try {
            t.threadJoin();
        } catch (const std::runtime_error& e) {
            thrown = e.what();
        }
        EXPECT_EQ(t.log, c.log);
        EXPECT_EQ(thrown, c.thrown ? c.thrown : "");
        EXPECT_EQ(t.initializeDone(), !c.failInit);
        EXPECT_EQ(t.mainTid(), static_cast<std::uint32_t>(t.initTid));
        EXPECT_EQ(t.initTid == ::gettid(), c.mainLoop);
        EXPECT_EQ(t.initScheduler, loop->scheduler());
        EXPECT_NE(t.initScheduler, mine);
        EXPECT_EQ(t.delTid, c.failInit ? 0 : t.initTid);
        t.threadJoin();  // joined already: returns, and the failure is reported once only
    }
}

TEST(LoomEventLoopThread, StopBeforeServingEndsAfterInit) {
    LoggingThread t(new Loom::EventLoop, false, false);
    t.threadStop();  // the request waits for the loop's run()
    t.threadStart();
    t.threadJoin();
    EXPECT_EQ(t.log, "init;initialized;del;handleDel;");
}

}  // namespace
