#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <thread>

#include "contracts/Loom/EventLoopThread.h"
#include "contracts/Loom/Task.h"

namespace {

// Logs its steps; throws from the step it is told to.
class LoggingThread : public Loom::EventLoopThread {
  public:
    LoggingThread(Loom::EventLoop* loop, bool failInit, bool failDel)
        : EventLoopThread("loom-test", loop), failInit_(failInit), failDel_(failDel) {}
    ~LoggingThread() override {
        threadStop();
        try {
            threadJoin();
        } catch (...) {
        }
    }

    std::string log;
    std::thread::id initThread, delThread;
    Kiln::Ptr<Loom::TaskScheduler> initScheduler;

  protected:
    void doInitSm() override {
        log += "init;";
        initThread = std::this_thread::get_id();
        initScheduler = Loom::TaskSchedulerRoot::findOrCreateScheduler();
        if (failInit_) throw std::runtime_error("init failed");
    }
    void doDelSm() override {
        log += "del;";
        delThread = std::this_thread::get_id();
        if (failDel_) throw std::runtime_error("del failed");
    }

  private:
    const bool failInit_, failDel_;
};

TEST(LoomEventLoopThread, LifecycleAndFailures) {
    struct Case {
        const char* name;
        bool failInit, failDel;
        const char* log;
        const char* thrown;  // null: threadJoin returns normally
    };
    const Case cases[] = {
        {"clean", false, false, "init;served;del;", nullptr},
        {"init throws: never serves, no del", true, false, "init;", "init failed"},
        {"del throws: reported by join", false, true, "init;served;del;", "del failed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Loom::EventLoop loop;
        LoggingThread t(&loop, c.failInit, c.failDel);
        // Queued before the thread serves; runs on the thread once it does, then stops it.
        loop.post([&] {
            t.log += "served;";
            t.threadStop();
        });
        t.threadStart();
        std::string thrown;
        try {
            t.threadJoin();
        } catch (const std::runtime_error& e) {
            thrown = e.what();
        }
        EXPECT_EQ(t.log, c.log);
        EXPECT_EQ(thrown, c.thrown ? c.thrown : "");
        EXPECT_NE(t.initThread, std::this_thread::get_id());
        EXPECT_EQ(t.initScheduler, loop.scheduler());
        if (!c.failInit) {
            EXPECT_EQ(t.delThread, t.initThread);
        }
        t.threadJoin();  // joined already: returns, and the failure is reported once only
    }
}

TEST(LoomEventLoopThread, StopBeforeServingEndsAfterInit) {
    Loom::EventLoop loop;
    LoggingThread t(&loop, false, false);
    t.threadStop();  // the request waits for the loop's run()
    t.threadStart();
    t.threadJoin();
    EXPECT_EQ(t.log, "init;del;");
}

}  // namespace
