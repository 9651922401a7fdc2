// Shadows of a counter table, driven on the test's thread (a Loom loop with the manual clock):
// the copy follows the writer key for key, the owner hears of every changed key and reads the
// final value inside its last callback, a lapped shadow resynchronises, and a shadow whose
// writer goes away keeps serving its copy until its flush.

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "Hoard/HoardMap.h"
#include "contracts/Loom/EventLoop.h"
#include "tests/support/Fork.h"
#include "tests/support/ManualClockGuard.h"
#include "tests/support/SelfCheckingRecords.h"
#include "tests/support/ShmRoot.h"

namespace {

using namespace TestSupport;
using CounterMap = Hoard::HoardMap<CounterRecords::Key, CounterRecords::Entry, CounterRecords::Ops>;
using Key = CounterRecords::Key;
using Entry = CounterRecords::Entry;

Hoard::MapDescriptor descriptor(Hoard::HoardType mode) {
    Hoard::MapDescriptor d;
    d.mode = mode;
    d.slotLimit = 1u << 14;
    d.initialSize = 16;
    return d;
}

std::string text(const Key& k) { return valueToStrep(k).stdString(); }

// A shadow facade with an owner that records, per key, the value a lookup returned inside the
// key's last callback.
struct Follower {
    CounterMap map;
    std::map<std::string, std::string> lastSeen;  // key text -> value text ("" when absent)
    std::size_t callbacks = 0;
    std::size_t changes = 0;

    explicit Follower(const std::string& table) : map(table) {
        map.callbacksIs(CounterMap::Callbacks(
            nullptr,
            [this](const Key& key) {
                ++callbacks;
                bool found = false;
                Entry buffer;
                const Entry* v = map.implementation()->lookup(key, found, &buffer);
                lastSeen[text(key)] = found ? valueToStrep(*v).stdString() : "";
            },
            nullptr, [this] { ++changes; }, nullptr));
    }
    // Key text -> value text of the copy, walked in the table's order.
    std::map<std::string, std::string> contents() {
        std::map<std::string, std::string> out;
        Entry v;
        Hoard::IterHint hint;
        auto* impl = map.implementation();
        for (bool more = impl->first(v, hint); more; more = impl->next(v.fwkKey(), v, hint)) {
            out[text(v.fwkKey())] = valueToStrep(v).stdString();
        }
        return out;
    }
};

std::map<std::string, std::string> contentsOf(CounterRecords::Writer& w) {
    std::map<std::string, std::string> out;
    Entry v;
    Hoard::IterHint hint;
    for (bool more = w.first(v, hint); more; more = w.next(v.fwkKey(), v, hint)) {
        out[text(v.fwkKey())] = valueToStrep(v).stdString();
    }
    return out;
}

// The first few differences between two copies, "" when they are equal.
std::string diff(const std::map<std::string, std::string>& got,
                 const std::map<std::string, std::string>& want) {
    std::string out;
    int shown = 0;
    for (const auto& [k, v] : want) {
        const auto it = got.find(k);
        if (it == got.end() || it->second != v) {
            if (shown++ < 3)
                out +=
                    k + ": got [" + (it == got.end() ? "-" : it->second) + "] want [" + v + "]\n";
        }
    }
    for (const auto& [k, v] : got) {
        if (!want.count(k) && shown++ < 6) out += k + ": unexpected [" + v + "]\n";
    }
    return shown ? std::to_string(shown) + " differences\n" + out : "";
}

struct ShadowHarness {
    ShmRoot shm;
    ManualClockGuard clock;
    Kiln::Ptr<Loom::EventLoop> loop = new Loom::EventLoop;
    Loom::EventLoop::ThreadBinding binding{loop.ptr()};
    std::shared_ptr<Basalt::Platform::DebugHandler> debug =
        Basalt::Platform::getDebugHandler("HoardShadowTest");

    // Lets the shadows' poll timers fire and their passes run.
    void settle() {
        for (int i = 0; i < 50; ++i) {
            clock.advance(0.011);
            loop->runUntilIdle();
        }
    }
};

// Inserts, rewrites, removals, a slot reused for another key, growth and shrinking of the
// shared table: every shadow and key shadow (synchronous and asynchronous) ends equal to the
// writer, and every changed key reached its owner with the final value.
TEST(HoardShadow, FollowsTheWriterKeyForKeyAndTheLastCallbackSeesTheFinalValue) {
    ShadowHarness h;
    Hoard::MapDescriptor wd = descriptor(Hoard::writer);
    CounterRecords::Writer writer(h.debug, "s/counters", wd, {}, "Test");
    ASSERT_TRUE(writer.initialize("test"));
    for (std::uint32_t i = 0; i < 40; ++i) writer.write(groupEntry(i), true);

    std::vector<std::unique_ptr<Follower>> followers;
    for (auto [mode, synchronous] : {std::pair{Hoard::shadow, true},
                                     {Hoard::shadow, false},
                                     {Hoard::keyshadow, true},
                                     {Hoard::keyshadow, false}}) {
        auto f = std::make_unique<Follower>("s/counters");
        Hoard::MapDescriptor d = descriptor(mode);
        d.synchronous = synchronous;
        f->map.notifyingIs(true);
        f->map.init(d);
        followers.push_back(std::move(f));
    }
    h.settle();
    for (auto& f : followers) {
        EXPECT_EQ(f->map.mountStatus(), 2);
        EXPECT_EQ(diff(f->contents(), contentsOf(writer)), "");
        f->lastSeen.clear();
    }

    // Keys a shadow could have seen: those present whenever the shadows had caught up. A key
    // written and removed again between two passes may never be reported (the queue names
    // slots, and the slot no longer holds it).
    std::map<std::string, std::string> seenOnce = contentsOf(writer);
    for (std::uint32_t round = 1; round <= 3; ++round) {
        for (std::uint32_t i = 0; i < 300; ++i) writer.write(groupEntry(i, round), true);
        for (std::uint32_t i = 0; i < 300; i += 3) {
            Entry gone;
            writer.remove(groupEntry(i).fwkKey(), gone);
        }
        h.settle();
        seenOnce.merge(contentsOf(writer));
    }
    for (std::uint32_t i = 0; i < 290; ++i) {
        Entry gone;
        writer.remove(groupEntry(i).fwkKey(), gone);  // the shared table shrinks
    }
    h.settle();
    const auto final = contentsOf(writer);
    std::map<std::string, std::string> expected;
    for (const auto& [k, v] : seenOnce) expected[k] = final.count(k) ? final.at(k) : "";
    for (auto& f : followers) {
        SCOPED_TRACE(Hoard::hoardTypeText(f->map.mode()));
        EXPECT_EQ(diff(f->contents(), final), "");
        std::map<std::string, std::string> reported;
        for (const auto& [k, v] : expected) {
            if (f->lastSeen.count(k)) reported[k] = f->lastSeen.at(k);
        }
        EXPECT_EQ(diff(reported, expected), "");
        EXPECT_TRUE(f->map.quiesced());
    }
}

// A shadow lapped by its writer (in another process) resynchronises; when the writer dies the
// shadow keeps serving its copy until its flush has run, which reports every key gone; then it
// follows the next writer.
TEST(HoardShadow, ALappedShadowResyncsAndADeadWritersCopyLastsUntilTheFlush) {
    ShadowHarness h;
    constexpr std::uint32_t keys = 30;
    constexpr std::uint64_t generations = 700;  // 21,000 notifications: more than the ring holds
    Signal ready, lap, lapped;
    Child writer([&] {
        // The child serves no loop: its writer rings the doorbell at each write.
        const Loom::EventLoop::ThreadBinding unbound(nullptr);
        CounterRecords::Writer w(h.debug, "s/dead", descriptor(Hoard::writer), {}, "Test");
        if (!w.initialize("test")) return false;
        for (std::uint32_t i = 0; i < keys; ++i) w.write(groupEntry(i), true);
        ready.post();
        if (!lap.wait(60)) return false;
        for (std::uint64_t g = 1; g <= generations; ++g) {
            for (std::uint32_t i = 0; i < keys; ++i) w.write(groupEntry(i, g), true);
        }
        lapped.post();
        lap.wait(120);  // until killed
        return true;
    });
    ASSERT_TRUE(ready.wait(60, writer));
    Follower f("s/dead");
    Hoard::MapDescriptor d = descriptor(Hoard::shadow);
    d.synchronous = true;
    d.reportFlushedKeys = true;
    f.map.init(d);
    ASSERT_EQ(f.map.mountStatus(), 2);
    EXPECT_EQ(f.map.implementation()->members(), keys);

    lap.post();
    ASSERT_TRUE(lapped.wait(60, writer));
    h.settle();
    std::map<std::string, std::string> last;
    for (std::uint32_t i = 0; i < keys; ++i) {
        last[text(groupEntry(i).fwkKey())] = valueToStrep(groupEntry(i, generations)).stdString();
    }
    EXPECT_EQ(diff(f.contents(), last), "");

    writer.kill();
    f.lastSeen.clear();
    EXPECT_EQ(f.map.readerSentry()->poll(), Mem::ReaderSentry::Event::detached);
    EXPECT_EQ(f.map.mountStatus(), 3) << "flushing, still serving";
    EXPECT_EQ(diff(f.contents(), last), "");
    h.settle();
    EXPECT_EQ(f.map.mountStatus(), 0);
    std::map<std::string, std::string> gone;
    for (const auto& [k, v] : last) gone[k] = "";
    EXPECT_EQ(diff(f.lastSeen, gone), "");

    CounterRecords::Writer next(h.debug, "s/dead", descriptor(Hoard::writer), {}, "Test");
    ASSERT_TRUE(next.initialize("test"));
    next.write(groupEntry(7, 9), true);
    f.map.readerSentry()->poll();
    h.settle();
    EXPECT_EQ(f.map.mountStatus(), 2);
    EXPECT_EQ(diff(f.contents(), contentsOf(next)), "");
}

// A notification for a slot the shared table does not have is discarded as handled; a detach
// while the flush of an earlier one runs must be forced, and a forced one ends the flush at once.
TEST(HoardShadow, StrayNotificationsAreDiscardedAndOnlyAForcedDetachCutsAFlushShort) {
    ShadowHarness h;
    CounterRecords::Writer writer(h.debug, "s/flush", descriptor(Hoard::writer), {}, "Test");
    ASSERT_TRUE(writer.initialize("test"));
    for (std::uint32_t i = 0; i < 20; ++i) writer.write(groupEntry(i), true);
    Follower f("s/flush");
    Hoard::MapDescriptor d = descriptor(Hoard::shadow);
    d.synchronous = true;
    d.reportFlushedKeys = true;
    f.map.init(d);
    auto* shadow = dynamic_cast<CounterMap::ShadowImpl*>(f.map.implementation());
    ASSERT_NE(shadow, nullptr);
    const std::uint32_t capacity = shadow->capacity();
    EXPECT_TRUE(shadow->doSlot(1u << 20, Hoard::Syncer::noSequence, false));
    EXPECT_EQ(shadow->capacity(), capacity);

    f.map.detach(false);
    EXPECT_EQ(f.map.mountStatus(), 3);
    EXPECT_THROW(shadow->detach(false), Basalt::AssertException);
    f.lastSeen.clear();
    shadow->detach(true);
    EXPECT_EQ(shadow->mountStatus(), 0);
    EXPECT_EQ(f.lastSeen.size(), 20u) << "every flushed key reported gone";
    h.settle();  // the posted completion finds nothing left to do
    EXPECT_EQ(f.map.mountStatus(), 2) << "the writer is still there: attached again";
}

// A writer that closes and is reopened by the same process keeps its fenix id, so the shadow
// stays attached: the closed doorbell makes it poll until it has followed the new queue and
// found the new doorbell.
TEST(HoardShadow, AWriterReopenedByTheSameProcessIsFollowed) {
    ShadowHarness h;
    auto writer = std::make_unique<CounterRecords::Writer>(
        h.debug, "s/reopen", descriptor(Hoard::writer), CounterRecords::Ops{}, "Test");
    ASSERT_TRUE(writer->initialize("test"));
    for (std::uint32_t i = 0; i < 10; ++i) writer->write(groupEntry(i), true);
    Follower f("s/reopen");
    Hoard::MapDescriptor d = descriptor(Hoard::shadow);
    d.synchronous = true;
    f.map.init(d);
    h.settle();
    writer.reset();
    writer = std::make_unique<CounterRecords::Writer>(
        h.debug, "s/reopen", descriptor(Hoard::writer), CounterRecords::Ops{}, "Test");
    ASSERT_TRUE(writer->initialize("test"));
    for (std::uint32_t i = 5; i < 15; ++i) writer->write(groupEntry(i, 2), true);
    h.settle();
    f.map.readerSentry()->poll();
    h.settle();
    EXPECT_EQ(diff(f.contents(), contentsOf(*writer)), "");
    writer->write(groupEntry(20, 3), true);
    h.settle();
    EXPECT_EQ(diff(f.contents(), contentsOf(*writer)), "");
}

}  // namespace
