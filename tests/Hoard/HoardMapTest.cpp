// The table facade: initialisation checks, a writer's re-attach after a corruption report, an
// orphan's assertions, and the reader's life on its placeholder and the live reader, driven by its
// sentry against writers that go away, damage, die in other processes and re-format.

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "Hoard/HoardMap.h"
#include "contracts/Basalt/Exception.h"
#include "contracts/Kick/ShocketAcceptSm.h"
#include "contracts/SharedMem/FenixFile.h"
#include "tests/support/Fork.h"
#include "tests/support/SelfCheckingRecords.h"
#include "tests/support/ShmRoot.h"

namespace {

using namespace TestSupport;
using FlowMap = Hoard::HoardMap<FlowRecords::Key, FlowRecords::Entry, FlowRecords::Ops>;
using CounterMap = Hoard::HoardMap<CounterRecords::Key, CounterRecords::Entry, CounterRecords::Ops>;
using ReaderEvent = Mem::ReaderSentry::Event;
using Events = std::vector<std::string>;

Hoard::MapDescriptor descriptor(Hoard::HoardType mode = Hoard::writer) {
    Hoard::MapDescriptor d;
    d.mode = mode;
    d.slotLimit = 1u << 12;
    d.initialSize = 64;
    return d;
}

// What `f` raised: "invalid: <text>" for a configuration fault, "denied: <text>" for a write to a
// reader, "assert: <text>" for a failed assertion (without its place), "" for nothing.
template <class F>
std::string failureOf(F&& f) {
    try {
        f();
    } catch (const Basalt::AssertException& e) {
        const std::string what = e.what();  // "assertion failed: <text> at <file>:<line> in ..."
        const std::size_t start = std::strlen("assertion failed: ");
        return "assert: " + what.substr(start, what.rfind(" at ") - start);
    } catch (const Basalt::InvalidInitializeException& e) {
        return std::string("invalid: ") + e.what();
    } catch (const Basalt::NoPermissionException& e) {
        return std::string("denied: ") + e.what();
    }
    return "";
}

Events systemLog;
void recordSystemLog(const std::string& text) { systemLog.push_back(text); }

class HoardMapTest : public ::testing::Test {
  protected:
    ShmRoot shm;
    std::shared_ptr<Basalt::Platform::DebugHandler> debug =
        Basalt::Platform::getDebugHandler("HoardMapTest");
    Events events;
    // Every test records the system log (tryAttach writes it when it mounts a table).
    Hoard::HoardMapBase::SystemLogWriter previousLog =
        (systemLog.clear(), Hoard::HoardMapBase::systemLogWriterIs(&recordSystemLog));
    ~HoardMapTest() override { Hoard::HoardMapBase::systemLogWriterIs(previousLog); }

    void recordEvents(FlowMap& map) {
        map.callbacksIs(FlowMap::Callbacks(
            nullptr, nullptr, nullptr, [this] { events.push_back("change"); },
            [this](bool attached) { events.push_back(attached ? "attached" : "detached"); }));
    }
    bool finds(FlowMap& map, std::uint32_t i, std::uint64_t generation) {
        bool found = false;
        FlowRecords::Entry out;
        map.safeLookup(flowEntry(i).key(), found, &out);
        return found && out == flowEntry(i, generation);
    }
};

// A writer map attaches at init; a second init with an equal descriptor is quiet, a different
// one throws. A corruption report leaves its marker and the next operation re-attaches the
// writer, which adopts the valid files and keeps counting where it was. Orphaned, it asserts.
TEST_F(HoardMapTest, AWriterMapReattachesAfterACorruptionReportAndAssertsAsAnOrphan) {
    FlowMap map("t/flows");
    recordEvents(map);
    map.init(descriptor());
    EXPECT_EQ(events, (Events{"attached", "change"}));
    EXPECT_EQ(map.writerSentry()->publishedFenix(), map.fenixId());
    map.safeWrite(flowEntry(1, 1));
    EXPECT_EQ(failureOf([&] { map.init(descriptor()); }), "");
    Hoard::MapDescriptor other = descriptor();
    other.slotLimit = 1u << 13;
    EXPECT_EQ(failureOf([&] { map.init(other); }),
              "invalid: HoardMap::init() name:t/flows already initialized, old " +
                  descriptor().toString() + ", new " + other.toString());
    EXPECT_EQ(map.maxSize(), 1u << 12);
    map.tryAttach();  // a writer mounts nothing
    EXPECT_EQ(events.size(), 2u);
    EXPECT_TRUE(systemLog.empty());

    map.doCorruptionDetected("injected by the test");
    EXPECT_TRUE(std::filesystem::exists(shm.path() + "/t/flows/corruption-detected"));
    EXPECT_EQ(map.corruptions(), 1u);
    EXPECT_EQ(map.writerSentry()->starts(), 1u);
    map.safeWrite(flowEntry(2, 1));
    EXPECT_EQ(map.writerSentry()->starts(), 2u);
    EXPECT_FALSE(std::filesystem::exists(shm.path() + "/t/flows/corruption-detected"));
    EXPECT_TRUE(finds(map, 1, 1));
    EXPECT_EQ(map.writerCounters().writes, 2u);  // merged across the re-attach

    // An orphan whose owner asked to be told: every data access asserts, and so does init.
    const std::string orphan =
        ". If you're seeing this, you're trying to operate on an orphan hoard entity";
    map.orphanIs(true);
    map.controlDetach();
    EXPECT_FALSE(map.initialized());
    ASSERT_NE(dynamic_cast<FlowMap::StrictDummy*>(map.implementation()), nullptr);
    std::ostringstream key;
    key << flowEntry(1).key();
    bool found = false;
    FlowRecords::Entry out;
    EXPECT_EQ(failureOf([&] { map.safeLookup(flowEntry(1).key(), found, &out); }),
              "assert: HoardStrictDummy::lookup() invoked, name:t/flows rootpath:" + shm.path() +
                  "/t/flows key:" + key.str() + orphan);
    EXPECT_TRUE(failureOf([&] { map.capacity(); }).ends_with(orphan));
    EXPECT_TRUE(failureOf([&] {
                    map.implementation()->initialize("again");
                }).ends_with(" rootPath:" + shm.path() + "/t/flows event:again" + orphan));
    EXPECT_EQ(map.mountStatus(), 0);
    EXPECT_TRUE(map.validate());
    EXPECT_EQ(failureOf([&] { map.init(descriptor()); }),
              "assert: Re-initializing a collection that has already become an orphan and has "
              "assertOnOrphanAccess set");
}

TEST_F(HoardMapTest, InitRefusesConfigurationFaultsAssertsProgrammingFaultsAndRunsLocalTables) {
    const std::string refused = "invalid: HoardMap::init() cannot initialize collection t/flows ";
    using Edit = std::function<void(Hoard::MapDescriptor&)>;  // of the writer's descriptor
    // clang-format off
    const std::tuple<const char*, Edit, std::string> rows[] = {
        {"heap", [](auto& d) { d.useHeap = true; },
         refused + "heap allocation in non-local mode not allowed"},
        {"no initial size", [](auto& d) { d.initialSize = 0; },
         "invalid: HoardMap::init() 0 is not a valid initialization size for collection t/flows "
         "in writer mode"},
        // A flow collection has no notification queue for a shadow to follow.
        {"shadow", [](auto& d) { d.mode = Hoard::keyshadow; },
         refused + "with DummyHeraldWriter not supported in keyshadow mode"},
        {"unknown mode", [](auto& d) { d.mode = static_cast<Hoard::HoardType>(7); },
         "assert: HoardMap::init() not a valid reader type:7"},
        {"asynchronous shadow, not notifying", [](auto& d) { d = descriptor(Hoard::keyshadow); },
         "assert: HoardMap::init() notifications unexpectedly disabled prior  to initialization "
         "with asynchronous mode"},
    };
    // clang-format on
    for (const auto& [name, edit, failure] : rows) {
        SCOPED_TRACE(name);
        FlowMap map("t/flows");
        Hoard::MapDescriptor d = descriptor();
        d.synchronous = true;  // the asynchronous shadow's checks come first
        edit(d);
        EXPECT_EQ(failureOf([&] { map.init(d); }), failure);
        EXPECT_FALSE(map.initialized());
    }
    FlowMap map("t/flows");
    EXPECT_EQ(failureOf([&] { map.init(Mem::CollectionDescriptor()); }),
              "assert: HoardMap::init() name:t/flows the descriptor is not a Hoard::MapDescriptor");
    EXPECT_EQ(
        failureOf([&] { map.cleanupAndDetach(); }),
        "assert: HoardMap::cleanupAndDetach() t/flows trying to cleanup uninitialized hoard.");
    // A name the root path refuses fails a reader's init, unless chrooted (Z9_CHROOT): then the
    // reader stays on its placeholder, without a sentry.
    FlowMap bad("bad/../name");
    EXPECT_NE(failureOf([&] { bad.init(descriptor(Hoard::reader)); }).find("bad/../name"),
              std::string::npos);
    EXPECT_FALSE(bad.initialized());
    ::setenv("Z9_CHROOT", "1", 1);
    EXPECT_EQ(failureOf([&] { bad.init(descriptor(Hoard::reader)); }), "");
    ::unsetenv("Z9_CHROOT");
    EXPECT_TRUE(bad.initialized());
    EXPECT_EQ(bad.readerSentry(), nullptr);
    EXPECT_EQ(bad.mountStatus(), 0);
    // A local table runs a writer without files or sentries, whatever its mode.
    FlowMap local("t/local");
    Hoard::MapDescriptor d = descriptor(Hoard::reader);
    d.local = true;
    local.init(d);
    EXPECT_EQ(local.implementation()->type(), Hoard::writer);
    EXPECT_EQ(local.readerSentry(), nullptr);
    EXPECT_EQ(local.writerSentry(), nullptr);
    local.safeWrite(flowEntry(3));
    EXPECT_TRUE(finds(local, 3, 0));
    EXPECT_FALSE(std::filesystem::exists(shm.path() + "/t/local"));
    local.controlDetach();
    EXPECT_FALSE(local.initialized());
}

// A synchronous shadow of a live writer is whole when init returns; an asynchronous one without
// a writer stays on its placeholder, suppresses its key callbacks at init, and then its
// notifying is frozen.
TEST_F(HoardMapTest, CounterCollectionsOpenTheShadowModes) {
    CounterRecords::Writer writer(debug, "t/counters", descriptor(), {}, "Test");
    ASSERT_TRUE(writer.initialize("test"));
    Hoard::MapDescriptor sync = descriptor(Hoard::shadow);
    sync.synchronous = true;
    CounterMap counters("t/counters");
    counters.init(sync);
    EXPECT_EQ(counters.readerSentry()->attachAttempts(), 1u);
    EXPECT_EQ(counters.mountStatus(), 2);
    EXPECT_NE(dynamic_cast<CounterMap::ShadowImpl*>(counters.implementation()), nullptr);

    CounterMap map("t/async");
    int keys = 0;
    map.callbacksIs(CounterMap::Callbacks(
        nullptr, [&](const Hoard::FlowTracker::FlowGroupCounterKey&) { ++keys; }, nullptr, nullptr,
        nullptr));
    map.notifyingIs(true);
    map.init(descriptor(Hoard::keyshadow));
    map.callbacks().key(groupEntry(1).key());
    EXPECT_EQ(keys, 0);
    EXPECT_FALSE(map.keyNotifications());
    EXPECT_THROW(map.notifyingIs(false), Basalt::AssertException);
    EXPECT_TRUE(map.notifying());
}

// A reader's life: an empty placeholder until its writer appears, then the live reader that
// tryAttach mounts (and says so in the system log). Corruption and a writer that goes away fall
// back to a placeholder holding the old reader, so results handed out stay valid; the sentry
// re-attaches to writers in other processes that format afresh, die, and are replaced.
TEST_F(HoardMapTest, AReaderFollowsItsWritersThroughAbsenceDamageDeathAndReformatting) {
    FlowMap map("t/flows");
    recordEvents(map);
    map.init(descriptor(Hoard::reader));
    EXPECT_EQ(map.mountStatus(), 0);
    EXPECT_TRUE(map.disconnectedActiveReader());
    bool found = true;
    FlowRecords::Entry out = flowEntry(9);
    EXPECT_EQ(*map.safeLookup(flowEntry(1).key(), found, nullptr), FlowRecords::Entry());
    EXPECT_FALSE(found);
    Hoard::IterHint hint;
    EXPECT_FALSE(map.implementation()->first(out, hint));
    EXPECT_EQ(out, FlowRecords::Entry());
    EXPECT_EQ(failureOf([&] { map.safeRemove(flowEntry(1).key(), out); }),
              "denied: remove to read-only Hoard table");
    const FlowRecords::Entry batch[] = {flowEntry(1), flowEntry(2)};
    EXPECT_EQ(failureOf([&] { map.safeWriteBatch(batch, 2); }),
              "denied: write to read-only Hoard table");
    EXPECT_EQ(map.readerSentry()->poll(), ReaderEvent::none);
    map.tryAttach();  // no writer: nothing mounted
    EXPECT_TRUE(events.empty());

    auto writer = std::make_unique<FlowRecords::Writer>(debug, "t/flows", descriptor(),
                                                        FlowRecords::Ops(), "Test");
    ASSERT_TRUE(writer->initialize("test"));
    for (std::uint32_t i = 0; i < 30; ++i) writer->write(flowEntry(i, 1), true);
    map.tryAttach();
    map.tryAttach();  // already mounted
    EXPECT_EQ(systemLog, Events{"CANARY: mounted " + shm.path() + "/t/flows mountStatus:1"});
    EXPECT_EQ(map.readerSentry()->poll(), ReaderEvent::none);
    EXPECT_TRUE(map.readerFullyAttached());
    EXPECT_EQ(map.fenixId(), writer->fenixId());
    EXPECT_EQ(map.implementation()->members(), 30u);
    EXPECT_EQ(failureOf([&] { map.safeWrite(flowEntry(1)); }),
              "denied: write to read-only Hoard table");
    EXPECT_EQ(failureOf([&] { map.safeWriteBatch(batch, 2); }),
              "denied: write to read-only Hoard table");
    EXPECT_EQ(map.implementation()->members(), 30u);
    // The owner: the writer's command name and its socket's number while it lives.
    std::ifstream comm("/proc/self/comm");
    std::string command;
    std::getline(comm, command);
    SharedMem::ShocketName socket;
    ASSERT_TRUE(socket.ShocketNameIs(Kick::ShocketAcceptSm::instance().socketName()));
    EXPECT_EQ(map.owner(), command + ":" + std::to_string(socket.number()));

    // An occupied slot reached through an unchanged link that says it is free: corruption.
    auto& status = const_cast<std::uint32_t&>(writer->slotTable().slots()[0].head.status);
    status &= ~Hoard::SlotTable::occupied;
    EXPECT_EQ(map.safeLookup(flowEntry(0).key(), found, &out), &map.defaultValue());
    EXPECT_FALSE(found);
    EXPECT_EQ(map.corruptions(), 1u);
    EXPECT_TRUE(std::filesystem::exists(shm.path() + "/t/flows/corruption-detected"));
    EXPECT_EQ(map.mountStatus(), 0);
    status |= Hoard::SlotTable::occupied;
    EXPECT_EQ(map.readerSentry()->poll(), ReaderEvent::attached);
    EXPECT_TRUE(finds(map, 0, 1));
    EXPECT_GE(map.readerCounters().corruptions, 1u);  // kept across the re-attach

    const FlowRecords::Entry* held = map.safeLookup(flowEntry(5).key(), found, nullptr);
    auto* reader = map.implementation();
    writer.reset();
    EXPECT_EQ(map.readerSentry()->poll(), ReaderEvent::detached);
    auto* dummy = dynamic_cast<FlowMap::Dummy*>(map.implementation());
    ASSERT_NE(dummy, nullptr);
    EXPECT_EQ(dummy->held(), reader);
    EXPECT_EQ(*held, flowEntry(5, 1));  // still alive inside the placeholder (ASan checks this)

    // Writers in other processes: each formats afresh (a new fenix) and waits to be killed.
    Signal never;
    auto startWriter = [&](std::uint64_t generation) {
        Signal ready;
        auto child = std::make_unique<Child>([&, generation] {
            FlowRecords::Writer w(debug, "t/flows", descriptor(), {}, "Test");
            w.cleanup();
            if (!w.initialize("test")) return false;
            for (std::uint32_t i = 0; i < 30; ++i) w.write(flowEntry(i, generation), true);
            ready.post();
            never.wait(120);
            return true;
        });
        EXPECT_TRUE(ready.wait(30, *child)) << "writer " << generation << " never got ready";
        return child;
    };
    auto fenixNow = [&] {
        return SharedMem::FenixFile(debug, Mem::RootPath(debug, "t/flows")).read().value();
    };
    auto second = startWriter(2);
    EXPECT_EQ(map.readerSentry()->poll(), ReaderEvent::attached);
    EXPECT_EQ(map.fenixId(), fenixNow());
    EXPECT_TRUE(finds(map, 3, 2));
    // Killed and replaced between two polls: the live writer's new fenix tells the restart.
    second->kill();
    auto third = startWriter(3);
    EXPECT_EQ(map.readerSentry()->poll(), ReaderEvent::reattached);
    EXPECT_EQ(map.fenixId(), fenixNow());
    EXPECT_TRUE(finds(map, 29, 3));
    // Killed: the dead writer's files are still there, but nobody holds its lock: no attach.
    third->kill();
    EXPECT_EQ(map.readerSentry()->poll(), ReaderEvent::detached);
    EXPECT_EQ(map.readerSentry()->poll(), ReaderEvent::none);
    EXPECT_EQ(map.readerSentry()->purges(), 4u);
    EXPECT_EQ(events, (Events{"attached", "change", "detached", "change", "attached", "change",
                              "detached", "change", "attached", "change", "detached", "change",
                              "attached", "change", "detached", "change"}));
}

}  // namespace
