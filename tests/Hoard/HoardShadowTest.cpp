// Shadows of a counter table, driven on the test's thread (a Loom loop with the manual clock):
// the copy follows the writer key for key, the owner hears of every changed key and reads the
// final value inside its last callback, a lapped shadow resynchronises, and a shadow whose
// writer goes away keeps serving its copy until its flush. Then the same guarantees for shadows
// in their own processes, each serving its own loop, behind a writer churning in another.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "Hoard/HoardMap.h"
#include "contracts/Loom/EventLoop.h"
#include "tests/support/Fork.h"
#include "tests/support/ManualClockGuard.h"
#include "tests/support/Processes.h"
#include "tests/support/Seed.h"
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

// Key text -> value text of a table (a writer, a reader or a shadow copy), walked in its order.
template <class Table>
std::map<std::string, std::string> contentsOf(Table& w) {
    std::map<std::string, std::string> out;
    Entry v;
    Hoard::IterHint hint;
    for (bool more = w.first(v, hint); more; more = w.next(v.fwkKey(), v, hint)) {
        out[text(v.fwkKey())] = valueToStrep(v).stdString();
    }
    return out;
}

// A shadow facade with an owner that records, per key, the value a lookup returned inside the
// key's last callback.
struct Follower {
    CounterMap map;
    std::map<std::string, std::string> lastSeen;  // key text -> value text ("" when absent)

    explicit Follower(const std::string& table) : map(table) {
        map.callbacksIs(CounterMap::Callbacks(
            nullptr,
            [this](const Key& key) {
                bool found = false;
                Entry buffer;
                const Entry* v = map.implementation()->lookup(key, found, &buffer);
                lastSeen[text(key)] = found ? valueToStrep(*v).stdString() : "";
            },
            nullptr, [] {}, nullptr));
    }
    std::map<std::string, std::string> contents() { return contentsOf(*map.implementation()); }
    void init(Hoard::HoardType mode, bool synchronous, bool reportFlushedKeys = false) {
        Hoard::MapDescriptor d = descriptor(mode);
        d.synchronous = synchronous;
        d.reportFlushedKeys = reportFlushedKeys;
        map.init(d);
    }
};

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
    CounterRecords::Writer writer(h.debug, "s/counters", descriptor(Hoard::writer), {}, "Test");
    ASSERT_TRUE(writer.initialize("test"));
    for (std::uint32_t i = 0; i < 40; ++i) writer.write(groupEntry(i), true);

    std::vector<std::unique_ptr<Follower>> followers;
    for (auto [mode, synchronous] : {std::pair{Hoard::shadow, true},
                                     {Hoard::shadow, false},
                                     {Hoard::keyshadow, true},
                                     {Hoard::keyshadow, false}}) {
        auto f = std::make_unique<Follower>("s/counters");
        f->map.notifyingIs(true);
        f->init(mode, synchronous);
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

// ---- Shadows in their own processes ------------------------------------------------------------

constexpr std::uint32_t churnIds = 1500;

// The writer of the churn test: ids [0, 100) before the shadows start; then rounds that fill ids
// [0, churnIds) in a random order, rewrite a third of them, and remove, in another random order,
// all but one id in seven (a different seventh each round) and the even ids below 100 (which keep
// their slots, rewritten each round): both files grow from 16 slots to 2048 and shrink again,
// records moving down, and the queue runs more than a ring ahead of a shadow that does not look.
// "" or the first failure.
std::string churn(Processes& p, CounterRecords::Writer& w, std::uint32_t shadows) {
    if (!w.initialize("test")) return "cannot write the table";
    for (std::uint32_t id = 0; id < 100; ++id) w.write(CounterRecords::make(id, 1), true);
    for (std::uint32_t i = 0; i < shadows; ++i) p.ready.post();
    for (std::uint32_t i = 0; i < shadows; ++i) {
        if (!p.go.wait(60)) return "a shadow never started";
    }
    std::mt19937_64 rng(testSeed("shadow churn"));
    std::vector<std::uint32_t> ids(churnIds);
    std::iota(ids.begin(), ids.end(), 0);
    CounterRecords::Entry gone;
    for (std::uint64_t round = 2; round <= 7; ++round) {
        std::shuffle(ids.begin(), ids.end(), rng);
        for (std::uint32_t id : ids) w.write(CounterRecords::make(id, round), true);
        for (std::uint32_t i = 0; i < churnIds / 3; ++i) {
            w.write(CounterRecords::make(ids[rng() % churnIds], round * 1000 + i), true);
        }
        std::shuffle(ids.begin(), ids.end(), rng);
        for (std::uint32_t id : ids) {
            if (id % 7 != round % 7 && (id >= 100 || id % 2)) {
                w.remove(CounterRecords::key(id), gone);
            }
        }
    }
    const Hoard::Writer::Counters c = w.writerCounters();
    if (!(c.grows && c.shrinks && c.movedRecords && c.bucketGrows && c.bucketShrinks)) {
        return "the files did not grow and shrink with records moved";
    }
    // More than a ring after the first round, in which a stalled shadow that keeps up stops.
    return w.sequence() > 4500 + Herald::HeraldView::defaultRingSize ? "" : "no lap";
}

// A shadow process: serves its own loop (a stalled shadow pauses from the moment its copy holds
// more than 1024 slots until the writer ended) until the writer is done and the copy has applied
// everything queued; then compares the copy with a reader of the shared table, and checks that
// every key whose value differs from the first whole copy was reported, and that the lookup in
// every reported key's last callback returned the final value ("" when removed). `writerDone`:
// 1 done, 2 failed; `ended` is posted once per stalled shadow when the writer ends. "" or the
// first difference.
std::string follow(Processes& p, const std::atomic<std::uint32_t>& writerDone, Signal& ended,
                   Hoard::HoardType mode, bool synchronous, bool stalled) {
    const Kiln::Ptr<Loom::EventLoop> loop = new Loom::EventLoop;
    const Loom::EventLoop::ThreadBinding binding(loop.ptr());
    if (!p.ready.wait(60, p.child(0))) return "the table never became ready";
    Follower f("mp/counters");
    f.map.notifyingIs(true);
    f.init(mode, synchronous);
    std::map<std::string, std::string> first;  // the first whole copy
    bool whole = f.map.mountStatus() == 2;
    if (whole) first = f.contents();
    p.go.post();
    if (synchronous && !whole) return "not synchronised by init";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(50);
    for (;;) {
        loop->runOnce(0.01);
        if (!whole && f.map.mountStatus() == 2) {
            first = f.contents();
            whole = true;
        }
        if (stalled && f.map.implementation()->capacity() > 1024) {
            // Holding slots far above the table's final size, it stops looking until the writer
            // ended: it is lapped, and its resync meets a table that shrank under it.
            if (!ended.wait(60, p.child(0))) return "the writer never ended";
            stalled = false;
        }
        // Done before quiesced: a quiesced shadow then holds the writer's last change.
        const std::uint32_t done = writerDone.load(std::memory_order_acquire);
        if (done == 2) return "the writer failed";
        if (done && f.map.mountStatus() == 2 && f.map.quiesced()) break;
        if (std::chrono::steady_clock::now() > deadline) {
            return "never quiesced, mount status " + std::to_string(f.map.mountStatus());
        }
    }
    const auto final = contentsOf(*newReader<CounterRecords>("mp/counters"));
    if (std::string diffs = diff(f.contents(), final); !diffs.empty()) return "copy: " + diffs;
    // A key shadow's walk skips keys the shared table no longer has: count them too.
    if (const auto m = f.map.implementation()->members(); m != final.size()) {
        return "copy: " + std::to_string(m) + " members, want " + std::to_string(final.size());
    }
    auto at = [](const auto& m, const std::string& k) { return m.count(k) ? m.at(k) : ""; };
    std::map<std::string, std::string> expected;
    for (const auto& [k, v] : f.lastSeen) expected[k] = at(final, k);
    for (const auto& [k, v] : final) {
        if (at(first, k) != v) expected[k] = v;
    }
    for (const auto& [k, v] : first) {
        if (!final.count(k)) expected[k] = "";
    }
    if (std::string diffs = diff(f.lastSeen, expected); !diffs.empty()) {
        return "callbacks: " + diffs;
    }
    return "";
}

// A writer churns the table in one process while three shadows and three key shadows, each in
// its own process serving its own loop, started synchronously or not, follow it through growth,
// shrinking, moved records, failed slots and (two of them, stalled) a lap; once the writer is
// done every copy equals the shared table and every change reached its owner with the final value.
TEST(HoardShadow, ShadowsInTheirOwnProcessesFollowAChurningWriterToItsFinalTable) {
    ShmRoot shm;
    SharedPage<std::atomic<std::uint32_t>> writerDone;
    Signal ended, finish;
    Processes p;
    p.start("writer", [&](ChildReport& report) {
        const Loom::EventLoop::ThreadBinding unbound(nullptr);  // it rings at each write
        CounterRecords::Writer w(recordsDebug(), "mp/counters", descriptor(Hoard::writer), {},
                                 "Test");
        std::string failure;
        try {
            failure = churn(p, w, 6);
        } catch (const std::exception& e) {
            failure = e.what();
        }
        writerDone->store(failure.empty() ? 1 : 2, std::memory_order_release);
        ended.post();
        ended.post();
        finish.wait(90);  // the writer stays until the shadows are done
        return failure.empty() || report.fail(failure);
    });
    struct Shadow {
        Hoard::HoardType mode;
        bool synchronous, stalled;
    };
    int n = 0;
    for (const Shadow s : {Shadow{Hoard::shadow, true, false},
                           {Hoard::shadow, false, false},
                           {Hoard::shadow, true, true},
                           {Hoard::keyshadow, false, false},
                           {Hoard::keyshadow, true, true},
                           {Hoard::keyshadow, false, false}}) {
        const std::string name = std::string(Hoard::hoardTypeText(s.mode)) + " #" +
                                 std::to_string(++n) + (s.synchronous ? " sync" : " async") +
                                 (s.stalled ? " stalled" : "");
        p.start(name, [&, s](ChildReport& report) {
            const std::string failure =
                follow(p, *writerDone, ended, s.mode, s.synchronous, s.stalled);
            return failure.empty() || report.fail(failure);
        });
    }
    std::string shadows;
    for (std::size_t i = 1; i <= 6; ++i) {
        if (std::string failure = p.wait(i); shadows.empty()) shadows = failure;
    }
    finish.post();
    EXPECT_EQ(p.wait(0), "");
    EXPECT_EQ(shadows, "");
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
    f.init(Hoard::shadow, true, true);
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
    f.init(Hoard::shadow, true, true);
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
    f.init(Hoard::shadow, true);
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
