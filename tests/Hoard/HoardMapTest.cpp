// The table facade: initialisation checks, the reader modes' life on the placeholder and the live
// reader (attach, detach and re-attach driven by the reader sentry against writers in other
// processes that die and re-format), orphans, tryAttach's system-log line and corruption recovery.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "Hoard/HoardMap.h"
#include "contracts/Basalt/Exception.h"
#include "contracts/Kick/ShocketAcceptSm.h"
#include "contracts/SharedMem/FenixFile.h"
#include "tests/support/Fork.h"
#include "tests/support/ShmRoot.h"
#include "tests/support/TraceCapture.h"
#include "tests/support/WriterTypes.h"

namespace {

using namespace TestSupport;
using FlowMap = Hoard::HoardMap<FlowTracking::IpFlowKey, FlowTracking::IpFlowEntry, FlowOps>;
using CounterMap = Hoard::HoardMap<Hoard::FlowTracker::FlowGroupCounterKey,
                                   Hoard::FlowTracker::FlowGroupCounterEntry, CounterOps>;
using ReaderEvent = Mem::ReaderSentry::Event;

constexpr const char* kOrphanSuffix =
    ". If you're seeing this, you're trying to operate on an orphan hoard entity";

Hoard::MapDescriptor writerDescriptor() {
    Hoard::MapDescriptor d;
    d.slotLimit = 1u << 12;
    d.initialSize = 64;
    return d;
}

Hoard::MapDescriptor readerDescriptor(Hoard::HoardType mode = Hoard::reader) {
    Hoard::MapDescriptor d;
    d.mode = mode;
    return d;
}

// Turns every trace level of one table's handler on for a test, and back off afterwards.
class AllTraces {
  public:
    explicit AllTraces(const std::string& name)
        : handler_(Basalt::Platform::getDebugHandler(name)), previous_(handler_->switchWord()) {
        handler_->switchWordIs(0xFFFFFFFFu);
    }
    ~AllTraces() { handler_->switchWordIs(previous_); }

  private:
    std::shared_ptr<Basalt::Platform::DebugHandler> handler_;
    std::uint32_t previous_;
};

// Captures the system-log lines while alive.
class SystemLogCapture {
  public:
    SystemLogCapture() : previous_(Hoard::HoardMapBase::systemLogWriterIs(&record)) {
        lines().clear();
    }
    ~SystemLogCapture() { Hoard::HoardMapBase::systemLogWriterIs(previous_); }
    static std::vector<std::string>& lines() {
        static std::vector<std::string> captured;
        return captured;
    }

  private:
    static void record(const std::string& text) { lines().push_back(text); }
    Hoard::HoardMapBase::SystemLogWriter previous_;
};

template <class F>
std::string messageOf(F&& f) {
    try {
        f();
    } catch (const Basalt::Exception& e) {
        return e.what();
    }
    return "(nothing thrown)";
}

template <class Exception, class F>
std::string thrownText(F&& f) {
    try {
        f();
    } catch (const Exception& e) {
        return e.what();
    }
    return "(no exception of the expected type)";
}

// The assertion text as raised: "assertion failed: <text> at <file>:<line> in <function>".
template <class F>
bool assertsWithSuffix(F&& f, const std::string& suffix) {
    const std::string what = thrownText<Basalt::AssertException>(f);
    return what.find(suffix + " at ") != std::string::npos;
}

bool fileExists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

class HoardMapTest : public ::testing::Test {
  protected:
    ShmRoot shm;
    std::shared_ptr<Basalt::Platform::DebugHandler> debug =
        Basalt::Platform::getDebugHandler("HoardMapTest");
    std::vector<std::string> events;

    template <class Map>
    void recordEvents(Map& map) {
        typename Map::Callbacks c;
        c.attachState = [this](bool attached) {
            events.push_back(attached ? "attached" : "detached");
        };
        c.change = [this] { events.push_back("change"); };
        map.callbacksIs(std::move(c));
    }
    bool finds(FlowMap& map, std::uint32_t i, std::uint64_t generation) {
        bool found = false;
        FlowTracking::IpFlowEntry out;
        map.safeLookup(flowEntry(i).key(), found, &out);
        return found && out == flowEntry(i, generation);
    }
};

// ---- Initialisation ----------------------------------------------------------------------------

TEST_F(HoardMapTest, ASecondInitWithAnEqualDescriptorIsQuietAndADifferentOneThrows) {
    FlowMap map("t/flows");
    recordEvents(map);
    map.init(writerDescriptor());
    EXPECT_EQ(events, (std::vector<std::string>{"attached", "change"}));
    EXPECT_TRUE(map.initialized());
    EXPECT_EQ(map.modeStr(), "writer");
    ASSERT_NE(map.writerSentry(), nullptr);
    EXPECT_TRUE(map.writerSentry()->published());
    EXPECT_EQ(map.writerSentry()->publishedFenix(), map.fenixId());
    map.safeWrite(flowEntry(1, 1));

    {
        AllTraces traces("t/flows");
        TraceCapture capture;
        map.init(writerDescriptor());
        EXPECT_TRUE(capture.contains("HoardMap::init() name:t/flows already initialized, new " +
                                     writerDescriptor().toString()));
    }
    Hoard::MapDescriptor other = writerDescriptor();
    other.slotLimit = 1u << 13;
    EXPECT_EQ(thrownText<Basalt::InvalidInitializeException>([&] { map.init(other); }),
              "HoardMap::init() name:t/flows already initialized, old " +
                  writerDescriptor().toString() + ", new " + other.toString());
    EXPECT_EQ(map.descriptor(), writerDescriptor());
    EXPECT_EQ(map.maxSize(), 1u << 12);
    EXPECT_TRUE(finds(map, 1, 1));
    EXPECT_EQ(events.size(), 2u);
}

TEST_F(HoardMapTest, ConfigurationFaultsThrowAndProgrammingFaultsAssert) {
    FlowMap map("t/flows");
    Hoard::MapDescriptor heap = writerDescriptor();
    heap.useHeap = true;
    EXPECT_EQ(thrownText<Basalt::InvalidInitializeException>([&] { map.init(heap); }),
              "HoardMap::init() cannot initialize collection t/flows heap allocation in "
              "non-local mode not allowed");
    Hoard::MapDescriptor empty = writerDescriptor();
    empty.initialSize = 0;
    EXPECT_EQ(thrownText<Basalt::InvalidInitializeException>([&] { map.init(empty); }),
              "HoardMap::init() 0 is not a valid initialization size for collection t/flows in "
              "writer mode");
    Hoard::MapDescriptor bad = readerDescriptor(static_cast<Hoard::HoardType>(7));
    EXPECT_TRUE(
        assertsWithSuffix([&] { map.init(bad); }, "HoardMap::init() not a valid reader type:7"));
    EXPECT_FALSE(map.initialized());
    EXPECT_TRUE(assertsWithSuffix([&] { map.init(Mem::CollectionDescriptor()); },
                                  "the descriptor is not a Hoard::MapDescriptor"));
    // A local table runs a writer whatever its mode, with no mounter and no files.
    Hoard::MapDescriptor local = readerDescriptor();
    local.local = true;
    map.init(local);
    EXPECT_EQ(map.implementation()->type(), Hoard::writer);
    EXPECT_EQ(map.readerSentry(), nullptr);
    EXPECT_EQ(map.writerSentry(), nullptr);
    EXPECT_FALSE(fileExists(shm.path() + "/t/flows/slots"));
    map.safeWrite(flowEntry(3));
    EXPECT_TRUE(finds(map, 3, 0));
    map.tryAttach();  // no mounter: only traces
    map.controlDetach();
    EXPECT_FALSE(map.initialized());
    EXPECT_TRUE(assertsWithSuffix([&] { map.cleanupAndDetach(); },
                                  "trying to cleanup uninitialized hoard."));
}

TEST_F(HoardMapTest, Z9ChrootDropsAReaderMountersInitializationFault) {
    // "bad/../name" is refused by the root path the placeholder builds.
    FlowMap strict("bad/../name");
    EXPECT_NE(thrownText<Basalt::InvalidInitializeException>([&] {
                  strict.init(readerDescriptor());
              }).find("bad/../name"),
              std::string::npos);
    EXPECT_FALSE(strict.initialized());

    struct Chroot {
        Chroot() { ::setenv("Z9_CHROOT", "1", 1); }
        ~Chroot() { ::unsetenv("Z9_CHROOT"); }
    } chrootVariable;
    FlowMap chroot("bad/../name");
    EXPECT_EQ(messageOf([&] { chroot.init(readerDescriptor()); }), "(nothing thrown)");
    EXPECT_TRUE(chroot.initialized());
    EXPECT_EQ(chroot.readerSentry(), nullptr);
    EXPECT_EQ(chroot.mountStatus(), 0);
}

TEST_F(HoardMapTest, FlowCollectionsRefuseTheShadowModesCounterCollectionsAcceptThem) {
    Hoard::MapDescriptor d = readerDescriptor(Hoard::shadow);
    d.synchronous = true;
    FlowMap flows("t/flows");
    EXPECT_EQ(thrownText<Basalt::InvalidInitializeException>([&] { flows.init(d); }),
              "HoardMap::init() cannot initialize collection t/flows with DummyHeraldWriter not "
              "supported in shadow mode");
    d.mode = Hoard::keyshadow;
    EXPECT_EQ(thrownText<Basalt::InvalidInitializeException>([&] { flows.init(d); }),
              "HoardMap::init() cannot initialize collection t/flows with DummyHeraldWriter not "
              "supported in keyshadow mode");
    EXPECT_FALSE(flows.initialized());

    // A counter collection may be opened as a shadow; with no shadow implementation in this
    // build the attach fails cleanly and the placeholder stays current.
    CounterWriter writer(debug, "t/counters", writerDescriptor(), CounterOps(), "Test");
    ASSERT_TRUE(writer.initialize("test"));
    AllTraces traces("t/counters");
    TraceCapture capture;
    CounterMap counters("t/counters");
    d.mode = Hoard::shadow;
    counters.init(d);
    EXPECT_TRUE(counters.initialized());
    EXPECT_EQ(counters.readerSentry()->attachAttempts(), 1u);
    EXPECT_TRUE(
        capture.contains("HoardMap::attach() initialize failed for " + shm.path() + "/t/counters"));
    EXPECT_EQ(counters.mountStatus(), 0);
    EXPECT_TRUE(counters.disconnectedActiveReader());
    EXPECT_FALSE(counters.readerFullyAttached());
    EXPECT_NE(dynamic_cast<CounterMap::Dummy*>(counters.implementation()), nullptr);
}

TEST_F(HoardMapTest, AsynchronousShadowModeTakesTheDeferredCallbacksAndFreezesNotifying) {
    Hoard::MapDescriptor d = readerDescriptor(Hoard::keyshadow);
    CounterMap silent("t/silent");
    EXPECT_TRUE(assertsWithSuffix([&] { silent.init(d); },
                                  "HoardMap::init() notifications unexpectedly disabled prior  to "
                                  "initialization with asynchronous mode"));

    CounterMap map("t/counters");
    int deferredKeys = 0;
    CounterMap::Callbacks c;
    c.key = [](const Hoard::FlowTracker::FlowGroupCounterKey&) { FAIL() << "replaced"; };
    c.deferredKey = [&](const Hoard::FlowTracker::FlowGroupCounterKey&) { ++deferredKeys; };
    map.callbacksIs(std::move(c));
    map.notifyingIs(true);
    map.init(d);
    EXPECT_FALSE(map.keyNotifications());
    ASSERT_TRUE(map.callbacks().key);
    EXPECT_FALSE(map.callbacks().deferredKey);
    map.callbacks().key(groupEntry(1).key());
    EXPECT_EQ(deferredKeys, 1);
    EXPECT_TRUE(assertsWithSuffix(
        [&] { map.notifyingIs(false); },
        "HoardMap::notifyingIs() not allowed at this time, initialized:1 keyNotifications:0"));
    EXPECT_TRUE(map.notifying());
}

// ---- Reader modes ------------------------------------------------------------------------------

TEST_F(HoardMapTest, AReaderWithoutItsWriterServesAnEmptyTableUntilTheWriterAppears) {
    FlowMap map("t/flows");
    recordEvents(map);
    map.init(readerDescriptor());
    EXPECT_TRUE(map.initialized());
    EXPECT_EQ(map.modeStr(), "reader");
    EXPECT_EQ(map.mountStatus(), 0);
    EXPECT_TRUE(map.disconnectedActiveReader());
    bool found = true;
    const FlowTracking::IpFlowEntry* v = map.safeLookup(flowEntry(1).key(), found, nullptr);
    EXPECT_FALSE(found);
    EXPECT_EQ(*v, FlowTracking::IpFlowEntry());
    FlowTracking::IpFlowEntry out = flowEntry(9);
    Hoard::IterHint hint;
    EXPECT_FALSE(map.implementation()->first(out, hint));
    EXPECT_EQ(out, FlowTracking::IpFlowEntry());
    EXPECT_EQ(map.implementation()->members(), 0u);
    EXPECT_EQ(thrownText<Basalt::NoPermissionException>([&] { map.safeWrite(flowEntry(1)); }),
              "write to read-only Hoard table");
    EXPECT_EQ(
        thrownText<Basalt::NoPermissionException>([&] { map.safeRemove(flowEntry(1).key(), out); }),
        "remove to read-only Hoard table");
    EXPECT_EQ(map.readerSentry()->poll(), ReaderEvent::none);
    EXPECT_TRUE(events.empty());

    FlowWriter writer(debug, "t/flows", writerDescriptor(), FlowOps(), "Test");
    ASSERT_TRUE(writer.initialize("test"));
    for (std::uint32_t i = 0; i < 20; ++i) writer.write(flowEntry(i, 1), true);
    EXPECT_EQ(map.readerSentry()->poll(), ReaderEvent::attached);
    EXPECT_EQ(events, (std::vector<std::string>{"attached", "change"}));
    EXPECT_EQ(map.mountStatus(), 1);
    EXPECT_TRUE(map.readerFullyAttached());
    EXPECT_EQ(map.fenixId(), writer.fenixId());
    EXPECT_EQ(map.implementation()->members(), 20u);
    EXPECT_TRUE(finds(map, 7, 1));
    EXPECT_EQ(thrownText<Basalt::NoPermissionException>([&] { map.safeWrite(flowEntry(1)); }),
              "write to read-only Hoard table");
    EXPECT_EQ(map.readerSentry()->poll(), ReaderEvent::none);
    // The owner: the writer's command name and its socket's number while it lives.
    std::ifstream comm("/proc/self/comm");
    std::string command;
    std::getline(comm, command);
    SharedMem::ShocketName socket;
    ASSERT_TRUE(socket.ShocketNameIs(Kick::ShocketAcceptSm::instance().socketName()));
    EXPECT_EQ(map.owner(), command + ":" + std::to_string(socket.number()));
}

TEST_F(HoardMapTest, AReaderFollowsWritersThatDieAndReformatInOtherProcesses) {
    // Each writer formats afresh (a new fenix), writes its generation and waits to be killed.
    Signal never;
    auto startWriter = [&](std::uint64_t generation) {
        auto ready = std::make_unique<Signal>();
        Signal* r = ready.get();
        auto child = std::make_unique<Child>([&never, r, generation] {
            auto d = Basalt::Platform::getDebugHandler("HoardMapTest");
            FlowWriter w(d, "t/flows", writerDescriptor(), FlowOps(), "Test");
            w.cleanup();
            if (!w.initialize("test")) return false;
            for (std::uint32_t i = 0; i < 30; ++i) w.write(flowEntry(i, generation), true);
            r->post();
            never.wait(120);
            return true;
        });
        EXPECT_TRUE(ready->wait());
        return std::make_pair(std::move(child), std::move(ready));
    };
    auto fenixNow = [&] {
        return SharedMem::FenixFile(debug, Mem::RootPath(debug, "t/flows")).read().value();
    };

    auto first = startWriter(1);
    FlowMap map("t/flows");
    recordEvents(map);
    map.init(readerDescriptor());  // the writer is there: the sentry attaches within init
    EXPECT_EQ(map.mountStatus(), 1);
    EXPECT_EQ(map.fenixId(), fenixNow());
    EXPECT_TRUE(finds(map, 3, 1));

    first.first->kill();
    EXPECT_EQ(map.readerSentry()->poll(), ReaderEvent::detached);
    EXPECT_EQ(map.mountStatus(), 0);
    EXPECT_FALSE(finds(map, 3, 1));
    // The dead writer's files are still there, but nobody holds its lock: no attach.
    EXPECT_EQ(map.readerSentry()->poll(), ReaderEvent::none);
    EXPECT_EQ(map.readerSentry()->purges(), 1u);

    const std::uint32_t firstFenix = fenixNow();
    auto second = startWriter(2);
    EXPECT_NE(fenixNow(), firstFenix);
    EXPECT_EQ(map.readerSentry()->poll(), ReaderEvent::attached);
    EXPECT_EQ(map.fenixId(), fenixNow());
    EXPECT_TRUE(finds(map, 3, 2));

    // Killed and replaced between two polls: the live writer's new fenix tells the restart.
    second.first->kill();
    auto third = startWriter(3);
    EXPECT_EQ(map.readerSentry()->poll(), ReaderEvent::reattached);
    EXPECT_TRUE(finds(map, 29, 3));
    EXPECT_EQ(map.implementation()->members(), 30u);
    EXPECT_EQ(events,
              (std::vector<std::string>{"attached", "change", "detached", "change", "attached",
                                        "change", "detached", "change", "attached", "change"}));
    third.first->kill();
}

TEST_F(HoardMapTest, ResultsOfADetachedReaderStayValidUntilThePlaceholderIsReplaced) {
    auto writer =
        std::make_unique<FlowWriter>(debug, "t/flows", writerDescriptor(), FlowOps(), "Test");
    ASSERT_TRUE(writer->initialize("test"));
    writer->write(flowEntry(5, 4), true);
    FlowMap map("t/flows");
    map.init(readerDescriptor());
    bool found = false;
    const FlowTracking::IpFlowEntry* held = map.safeLookup(flowEntry(5).key(), found, nullptr);
    ASSERT_TRUE(found);
    Hoard::HoardInterface<FlowTracking::IpFlowKey, FlowTracking::IpFlowEntry, FlowOps>* reader =
        map.implementation();

    writer.reset();  // the writer goes away
    EXPECT_EQ(map.readerSentry()->poll(), ReaderEvent::detached);
    auto* dummy = dynamic_cast<FlowMap::Dummy*>(map.implementation());
    ASSERT_NE(dummy, nullptr);
    EXPECT_EQ(dummy->held(), reader);
    EXPECT_EQ(*held, flowEntry(5, 4));  // still alive inside the placeholder (ASan checks this)

    FlowWriter again(debug, "t/flows", writerDescriptor(), FlowOps(), "Test");
    ASSERT_TRUE(again.initialize("test"));
    EXPECT_EQ(map.readerSentry()->poll(), ReaderEvent::attached);
    EXPECT_NE(dynamic_cast<FlowMap::ReaderImpl*>(map.implementation()), nullptr);
    EXPECT_TRUE(finds(map, 5, 4));  // the new writer adopted the valid files
}

TEST_F(HoardMapTest, TryAttachWritesTheSystemLogOnlyWhenItMountedATable) {
    SystemLogCapture log;
    FlowMap map("t/flows");
    map.init(readerDescriptor());
    map.tryAttach();
    EXPECT_TRUE(SystemLogCapture::lines().empty());

    FlowWriter writer(debug, "t/flows", writerDescriptor(), FlowOps(), "Test");
    ASSERT_TRUE(writer.initialize("test"));
    {
        AllTraces traces("t/flows");
        TraceCapture capture;
        map.tryAttach();
        const std::string line = "CANARY: mounted " + shm.path() + "/t/flows mountStatus:1";
        EXPECT_EQ(SystemLogCapture::lines(), std::vector<std::string>{line});
        EXPECT_TRUE(capture.contains("HoardMap::tryAttach() " + line));
        map.tryAttach();  // already mounted
        EXPECT_TRUE(capture.contains("is already mounted, mountStatus:1"));
    }
    EXPECT_EQ(SystemLogCapture::lines().size(), 1u);

    FlowMap writerMap("t/other");
    writerMap.init(writerDescriptor());
    writerMap.tryAttach();
    EXPECT_EQ(SystemLogCapture::lines().size(), 1u);
}

// ---- Orphans -----------------------------------------------------------------------------------

TEST_F(HoardMapTest, AnOrphansAccessesRaiseTheStrictPlaceholdersAssertion) {
    FlowMap map("t/orphan");
    map.init(writerDescriptor());
    map.safeWrite(flowEntry(1));
    map.orphanIs(true);
    map.controlDetach();
    EXPECT_FALSE(map.initialized());
    ASSERT_NE(dynamic_cast<FlowMap::StrictDummy*>(map.implementation()), nullptr);
    bool found = false;
    FlowTracking::IpFlowEntry out;
    Hoard::IterHint hint;
    const std::string lookup = thrownText<Basalt::AssertException>(
        [&] { map.safeLookup(flowEntry(1).key(), found, &out); });
    std::ostringstream key;
    key << flowEntry(1).key();
    EXPECT_NE(lookup.find("HoardStrictDummy::lookup() invoked, name:t/orphan rootpath:" +
                          shm.path() + "/t/orphan key:" + key.str() + kOrphanSuffix + " at "),
              std::string::npos)
        << lookup;
    auto* impl = map.implementation();
    EXPECT_TRUE(assertsWithSuffix([&] { impl->first(out, hint); }, kOrphanSuffix));
    EXPECT_TRUE(assertsWithSuffix([&] { impl->next(out.key(), out, hint); }, kOrphanSuffix));
    EXPECT_TRUE(assertsWithSuffix([&] { impl->members(); }, kOrphanSuffix));
    EXPECT_TRUE(assertsWithSuffix([&] { map.capacity(); }, kOrphanSuffix));
    EXPECT_TRUE(assertsWithSuffix([&] { map.maxSize(); }, kOrphanSuffix));
    EXPECT_TRUE(assertsWithSuffix([&] { map.readerCounters(); }, kOrphanSuffix));
    EXPECT_TRUE(assertsWithSuffix([&] { map.validateVersionAnchor(); }, kOrphanSuffix));
    EXPECT_TRUE(
        assertsWithSuffix([&] { impl->initialize("again"); },
                          " rootPath:" + shm.path() + "/t/orphan event:again" + kOrphanSuffix));
    EXPECT_EQ(map.mountStatus(), 0);
    EXPECT_TRUE(map.validate());
    EXPECT_TRUE(assertsWithSuffix([&] { map.init(writerDescriptor()); },
                                  "Re-initializing a collection that has already become an "
                                  "orphan and has assertOnOrphanAccess set"));
}

// ---- Corruption --------------------------------------------------------------------------------

TEST_F(HoardMapTest, ACorruptReaderFallsBackToItsPlaceholderAndTheSentryReattaches) {
    FlowWriter writer(debug, "t/flows", writerDescriptor(), FlowOps(), "Test");
    ASSERT_TRUE(writer.initialize("test"));
    writer.write(flowEntry(1, 1), true);
    FlowMap map("t/flows");
    recordEvents(map);
    map.init(readerDescriptor());
    ASSERT_EQ(map.mountStatus(), 1);
    events.clear();

    // An occupied slot reached through an unchanged link that says it is free: corruption.
    auto& slot =
        const_cast<Hoard::TypedSlot<FlowTracking::IpFlowEntry>&>(writer.slotTable().slots()[0]);
    const std::uint32_t status = slot.head.status;
    slot.head.status = status & ~Hoard::SlotTable::occupied;
    bool found = true;
    FlowTracking::IpFlowEntry out = flowEntry(7);
    const FlowTracking::IpFlowEntry* v = map.safeLookup(flowEntry(1).key(), found, &out);
    EXPECT_FALSE(found);
    EXPECT_EQ(v, &map.defaultValue());
    EXPECT_EQ(map.corruptions(), 1u);
    EXPECT_TRUE(fileExists(shm.path() + "/t/flows/corruption-detected"));
    EXPECT_EQ(map.mountStatus(), 0);
    EXPECT_EQ(events, (std::vector<std::string>{"detached", "change"}));

    slot.head.status = status;
    EXPECT_EQ(map.readerSentry()->poll(), ReaderEvent::attached);
    EXPECT_TRUE(finds(map, 1, 1));
    EXPECT_GE(map.readerCounters().corruptions, 1u);  // kept across the re-attach
}

TEST_F(HoardMapTest, AWriterReattachesOnTheOperationAfterACorruptionReport) {
    AllTraces traces("t/flows");
    TraceCapture capture;
    FlowMap map("t/flows");
    map.init(writerDescriptor());
    map.safeWrite(flowEntry(1, 1));
    map.doCorruptionDetected("injected by the test");
    EXPECT_TRUE(capture.contains("HoardMapBase::doCorruptionDetected() " + shm.path() +
                                 "/t/flows injected by the test"));
    EXPECT_TRUE(fileExists(shm.path() + "/t/flows/corruption-detected"));
    EXPECT_EQ(map.corruptions(), 1u);
    EXPECT_FALSE(capture.contains("HoardMap::reattachWriter()"));

    map.safeWrite(flowEntry(2, 1));
    EXPECT_TRUE(capture.contains("HoardMap::reattachWriter()"));
    EXPECT_FALSE(fileExists(shm.path() + "/t/flows/corruption-detected"));
    EXPECT_TRUE(finds(map, 1, 1));  // valid files are adopted, not re-formatted
    EXPECT_TRUE(finds(map, 2, 1));
    EXPECT_EQ(map.writerSentry()->starts(), 2u);
    EXPECT_EQ(map.writerCounters().writes, 2u);  // merged across the re-attach
}

}  // namespace
