#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#include "contracts/Basalt/DebugHandler.h"
#include "contracts/Basalt/Exception.h"
#include "contracts/Herald/DummyHeraldWriter.h"
#include "contracts/Herald/HeraldReader.h"
#include "contracts/Herald/HeraldView.h"
#include "contracts/Herald/HeraldWriter.h"
#include "contracts/Mem/RootPath.h"
#include "tests/support/Fork.h"
#include "tests/support/Seed.h"
#include "tests/support/ShmRoot.h"
#include "tests/support/TraceCapture.h"

namespace {

using Writer = Herald::HeraldWriter<uint32_t>;
using Reader = Herald::HeraldReader<uint32_t>;
using Status = Reader::PollStatus;
using Herald::HeraldView;

struct Seen {
    uint32_t slot;
    uint64_t seq;
    bool tomb;
    bool operator==(const Seen&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Seen& s) {
    return os << "(" << s.slot << "," << s.seq << (s.tomb ? ",T)" : ")");
}

class HeraldTest : public ::testing::Test {
  protected:
    TestSupport::ShmRoot root_;
    std::shared_ptr<Basalt::Platform::DebugHandler> debug_ =
        Basalt::Platform::getDebugHandler("HeraldTest");
    Mem::RootPath path_{debug_, "t/herald", true};
    std::string file_ = path_.filePath("herald");

    // Everything the reader has, up to `limit` polls.
    static Status drain(Reader& r, std::vector<Seen>& out, int limit = 100) {
        Status st = Status::more;
        for (int i = 0; i < limit && st == Status::more; ++i) {
            st = r.poll([&](uint32_t s, uint64_t q, bool t) { out.push_back({s, q, t}); });
        }
        return st;
    }
    void poke(std::size_t offset, uint64_t value) {
        const int fd = ::open(file_.c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::pwrite(fd, &value, sizeof value, static_cast<off_t>(offset)), 8);
        ::close(fd);
    }
    static std::size_t cellOffset(uint32_t ring, uint64_t seq) {
        return HeraldView::headerSize + 8 * (seq & (ring - 1));
    }
    static std::size_t positionOffset(uint32_t ring, uint32_t slot) {
        return HeraldView::headerSize + 8 * std::size_t{ring} + 8 * std::size_t{slot};
    }
};

// ---- Creating, adopting and re-formatting the file ----

TEST_F(HeraldTest, NewFileIsAdoptedBySameFenixAndReformattedForAnother) {
    {
        Writer w(debug_, path_, 8);
        EXPECT_EQ(w.attach(7), Writer::newFile);
        w.notify(1);
        w.notify(2);
        w.notify(1);
    }
    Writer w(debug_, path_, 16);
    ASSERT_EQ(w.attach(7), Writer::adopted);
    EXPECT_EQ(w.sequence(), 3u);
    EXPECT_EQ(w.ringSize(), 8u) << "an adopted file keeps its ring";
    EXPECT_EQ(w.view().slotPosition(1), 3u);
    EXPECT_EQ(w.view().slotPosition(2), 2u);

    Reader r(debug_, path_);
    ASSERT_TRUE(r.attach()) << r.reason();
    EXPECT_EQ(w.attach(8), Writer::reformatted);
    EXPECT_EQ(w.sequence(), 0u);
    EXPECT_EQ(w.ringSize(), 16u);
    EXPECT_EQ(w.view().slotPosition(1), 0u);
    std::string error;
    EXPECT_TRUE(w.validate(8, 0, error)) << error;
    EXPECT_EQ(r.poll([](uint32_t, uint64_t, bool) { FAIL(); }), Status::swapped);
    EXPECT_TRUE(r.swapped());
    EXPECT_FALSE(r.quiesced());
}

TEST_F(HeraldTest, ReformatForSameFenixStillSwapsReaders) {
    Writer w(debug_, path_, 8);
    w.attach(7);
    w.notify(4);
    Reader r(debug_, path_);
    ASSERT_TRUE(r.attach());
    poke(0, 0);  // bad magic: the next attach cannot adopt
    TestSupport::TraceCapture quiet;
    EXPECT_EQ(w.attach(7), Writer::reformatted);
    EXPECT_EQ(r.poll([](uint32_t, uint64_t, bool) {}), Status::swapped);
}

TEST_F(HeraldTest, RingSizeMustBeAPowerOfTwoInRange) {
    EXPECT_THROW(Writer(debug_, path_, 12), Basalt::InvalidInitializeException);
    EXPECT_THROW(Writer(debug_, path_, 2), Basalt::InvalidInitializeException);
    EXPECT_THROW(Writer(debug_, path_, HeraldView::maxRingSize * 2),
                 Basalt::InvalidInitializeException);
}

TEST_F(HeraldTest, CleanupRetiresTheQueueForReadersAndRemovesTheFile) {
    Writer w(debug_, path_, 8);
    w.attach(7);
    Reader r(debug_, path_);
    ASSERT_TRUE(r.attach());
    w.cleanup();
    EXPECT_FALSE(std::filesystem::exists(file_));
    EXPECT_EQ(r.poll([](uint32_t, uint64_t, bool) {}), Status::swapped);
    EXPECT_TRUE(r.swapped());
    Reader late(debug_, path_);
    EXPECT_FALSE(late.attach());
}

// ---- Following the writer ----

// True when the mapping at `addr` is a shared read-only mapping of `file`.
bool mappedReadOnly(const void* addr, const std::string& file) {
    std::ifstream maps("/proc/self/maps");
    const auto a = reinterpret_cast<std::uintptr_t>(addr);
    for (std::string line; std::getline(maps, line);) {
        std::uintptr_t from = 0, to = 0;
        char perms[5] = {};
        if (std::sscanf(line.c_str(), "%lx-%lx %4s", &from, &to, perms) != 3) continue;
        if (a >= from && a < to) {
            return std::string(perms) == "r--s" && line.find(file) != std::string::npos;
        }
    }
    return false;
}

TEST_F(HeraldTest, AnotherProcessSeesNotificationsAndTombstonesInOrderThroughAReadOnlyMapping) {
    Writer w(debug_, path_, 64);
    w.attach(7);
    TestSupport::Signal ready, written;
    // Slot 9's and slot 3's first notifications are superseded by their later ones: a reader
    // that comes later skips them.
    const std::vector<Seen> expected = {
        {700, 3, true}, {5, 4, false}, {9, 5, false}, {3, 6, true}, {0, 7, false}};
    TestSupport::Child child([&] {
        Reader r(debug_, path_);
        if (!r.attach()) return false;
        ready.post();
        if (!written.wait()) return false;
        std::vector<Seen> seen;
        if (drain(r, seen) != Status::caughtUp) return false;
        if (!mappedReadOnly(r.view().base(), file_)) return false;
        if (seen != expected) {
            for (const Seen& s : seen) std::cerr << s << " ";
            std::cerr << "\n";
            return false;
        }
        return r.validateNotif(3, 6) && !r.validateNotif(3, 1) && r.quiesced() &&
               r.writerSequence() == 7;
    });
    ASSERT_TRUE(ready.wait());
    w.notify(3);
    w.notify(9);
    EXPECT_TRUE(w.tombstone(700));
    w.notify(5);
    w.notify(9);
    EXPECT_TRUE(w.tombstone(3));
    w.notify(0);
    written.post();
    EXPECT_EQ(child.wait(), 0);
}

uint64_t mix(uint64_t x) {  // splitmix64 finaliser: the self-checking value of a sequence
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

TEST_F(HeraldTest, ConcurrentReaderDeliversOnlyWholeNotificationsAndNoticesLaps) {
    const uint64_t seed = TestSupport::testSeed("HeraldTest.Concurrent");
    constexpr uint32_t ring = 256;
    constexpr uint32_t slots = 2048;
    constexpr uint64_t total = 200000;
    // Every eighth notification is a tombstone of a slot of its own range, used again only
    // 8 * ring notifications later (so the writer never refuses it); the others notify random
    // slots, often re-notifying a slot whose earlier notification is still in the ring.
    auto tombOf = [](uint64_t q) { return q % 8 == 0; };
    auto slotOf = [&](uint64_t q) {
        return tombOf(q) ? slots + static_cast<uint32_t>((q / 8) % ring)
                         : static_cast<uint32_t>(mix(q ^ seed) % slots);
    };
    Writer w(debug_, path_, ring);
    w.attach(7);
    // The writer works in rounds of random length, up to two rings; it starts each round once
    // the reader has consumed the previous one (or was lapped past it). So the reader keeps up with
    // some rounds, is lapped by others, and polls while the writer goes on (whatever the scheduler
    // does with the two processes, every check below holds).
    std::vector<uint64_t> roundEnds;
    std::mt19937_64 rng(seed);
    for (uint64_t q = 0; q < total;) {
        q = std::min(total, q + 1 + rng() % (2 * ring));
        roundEnds.push_back(q);
    }
    TestSupport::Signal ready, progress, done;
    TestSupport::Child child([&] {
        Reader r(debug_, path_);
        if (!r.attach()) return false;
        uint64_t last = 0, laps = 0, delivered = 0;
        bool ok = true, finished = false;
        std::size_t roundsSeen = 0;
        // Notification k is superseded when its slot is notified again while k is still in
        // the ring (within the next ring - 1 notifications).
        std::vector<bool> superseded(total + 1, false);
        std::vector<uint64_t> nextOf(slots + ring, 0);
        for (uint64_t k = total; k >= 1; --k) {
            const uint64_t n = nextOf[slotOf(k)];
            superseded[k] = n != 0 && n - k < ring;
            nextOf[slotOf(k)] = k;
        }
        ready.post();
        for (;;) {
            const Status st = r.poll([&](uint32_t s, uint64_t q, bool t) {
                ++delivered;
                if (q <= last || s != slotOf(q) || t != tombOf(q)) ok = false;
                for (uint64_t k = last + 1; k < q && ok; ++k) {
                    if (!superseded[k]) ok = false;  // a gap only where the writer superseded
                }
                last = q;
            });
            if (!ok) return false;
            if (st == Status::lapped) {
                ++laps;
                r.positionIs(r.writerSequence());
                last = r.position();
            } else if (st == Status::caughtUp) {
                if (finished) break;  // drained after the writer was done
                finished = done.wait(0);
            } else if (st != Status::more) {
                return false;
            }
            if (roundsSeen + 1 < roundEnds.size() && r.position() >= roundEnds[roundsSeen]) {
                ++roundsSeen;
                progress.post();
            }
        }
        std::cerr << "reader: " << delivered << " delivered, " << laps << " laps\n";
        return r.position() == total && r.quiesced();
    });
    ASSERT_TRUE(ready.wait());
    uint64_t q = 0;
    for (std::size_t round = 0; round < roundEnds.size(); ++round) {
        if (round > 0) {
            ASSERT_TRUE(progress.wait());
        }
        while (q < roundEnds[round]) {
            ++q;
            if (tombOf(q)) {
                ASSERT_TRUE(w.tombstone(slotOf(q)));
            } else {
                w.notify(slotOf(q));
            }
        }
    }
    done.post();
    EXPECT_EQ(child.wait(), 0);
    std::string error;
    EXPECT_TRUE(w.validate(7, slots + ring, error)) << error;
}

// ---- Lapping ----

TEST_F(HeraldTest, ReaderMoreThanARingBehindIsToldItWasLappedAndGetsNothing) {
    Writer w(debug_, path_, 8);
    w.attach(7);
    Reader r(debug_, path_);
    ASSERT_TRUE(r.attach());
    for (uint32_t s = 0; s < 9; ++s) w.notify(s);
    int calls = 0;
    EXPECT_EQ(r.poll([&](uint32_t, uint64_t, bool) { ++calls; }), Status::lapped);
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(r.position(), 0u);
    EXPECT_FALSE(r.quiesced());
    // Resynchronised: carry on from the writer's sequence.
    r.positionIs(r.writerSequence());
    w.notify(42);
    std::vector<Seen> seen;
    EXPECT_EQ(drain(r, seen), Status::caughtUp);
    EXPECT_EQ(seen, (std::vector<Seen>{{42, 10, false}}));
}

TEST_F(HeraldTest, ReaderExactlyARingBehindGetsEverything) {
    Writer w(debug_, path_, 8);
    w.attach(7);
    Reader r(debug_, path_);
    ASSERT_TRUE(r.attach());
    for (uint32_t s = 0; s < 8; ++s) w.notify(s);
    std::vector<Seen> seen;
    EXPECT_EQ(drain(r, seen), Status::caughtUp);
    EXPECT_EQ(seen.size(), 8u);
}

TEST_F(HeraldTest, PollWorkIsBoundedByItsBudget) {
    Writer w(debug_, path_, 1024);
    w.attach(7);
    Reader r(debug_, path_);
    ASSERT_TRUE(r.attach());
    for (uint32_t s = 0; s < 500; ++s) w.notify(s);
    std::vector<Seen> seen;
    EXPECT_EQ(r.poll(
                  [&](uint32_t s, uint64_t q, bool t) {
                      seen.push_back({s, q, t});
                  },
                  100),
              Status::more);
    EXPECT_EQ(seen.size(), 100u);
    EXPECT_EQ(r.position(), 100u);
}

TEST_F(HeraldTest, ThrowingCallbackLeavesItsNotificationForTheNextPoll) {
    Writer w(debug_, path_, 8);
    w.attach(7);
    Reader r(debug_, path_);
    ASSERT_TRUE(r.attach());
    w.notify(1);
    w.notify(2);
    EXPECT_THROW(r.poll([](uint32_t s, uint64_t, bool) {
        if (s == 2) throw std::runtime_error("busy");
    }),
                 std::runtime_error);
    EXPECT_EQ(r.position(), 1u);
    std::vector<Seen> seen;
    drain(r, seen);
    EXPECT_EQ(seen, (std::vector<Seen>{{2, 2, false}}));
}

// ---- Slot positions ----

TEST_F(HeraldTest, EachSlotRecordsItsLatestNotification) {
    Writer w(debug_, path_, 8);
    w.attach(7);
    Reader r(debug_, path_);
    ASSERT_TRUE(r.attach());
    w.notify(3);
    w.notify(5);
    w.notify(3);
    EXPECT_TRUE(w.tombstone(5));
    const HeraldView v = w.view();
    EXPECT_EQ(v.slotPosition(3), 3u);
    EXPECT_EQ(v.slotPosition(5), 4u);
    EXPECT_EQ(v.slotPosition(4), 0u);
    ASSERT_TRUE(v.entryAt(1).has_value());
    EXPECT_TRUE(v.entryAt(1)->superseded);
    EXPECT_TRUE(v.entryAt(4)->tombstone);
    EXPECT_TRUE(r.validateNotif(3, 3));
    EXPECT_FALSE(r.validateNotif(3, 1));
    EXPECT_TRUE(r.validateNotif(5, 4));
    EXPECT_FALSE(r.validateNotif(5, 2));
    // A slot whose notification the ring lapped keeps its position.
    for (uint32_t s = 10; s < 20; ++s) w.notify(s);
    EXPECT_EQ(w.view().slotPosition(3), 3u);
    EXPECT_FALSE(w.view().entryAt(3).has_value());
    EXPECT_TRUE(r.validateNotif(3, 3));
    std::string error;
    EXPECT_TRUE(w.validate(7, 20, error)) << error;
}

TEST_F(HeraldTest, SecondTombstoneOfASlotIsRefused) {
    Writer w(debug_, path_, 8);
    w.attach(7);
    EXPECT_TRUE(w.tombstone(5));
    EXPECT_FALSE(w.tombstone(5));
    EXPECT_EQ(w.sequence(), 1u);
    w.notify(5);
    EXPECT_TRUE(w.tombstone(5));
}

TEST_F(HeraldTest, SlotBeyondTheRecordGrowsItAndAnAttachedReaderRemaps) {
    Writer w(debug_, path_, 8);
    w.attach(7);
    Reader r(debug_, path_);
    ASSERT_TRUE(r.attach());
    EXPECT_EQ(w.slotCapacity(), HeraldView::minSlotCapacity);
    w.notify(100000);
    EXPECT_EQ(w.slotCapacity(), 131072u);
    std::vector<Seen> seen;
    EXPECT_EQ(drain(r, seen), Status::caughtUp);
    EXPECT_EQ(seen, (std::vector<Seen>{{100000, 1, false}}));
    EXPECT_TRUE(r.validateNotif(100000, 1));
    w.slotCapacityIs(200000);
    EXPECT_EQ(w.slotCapacity(), 262144u);
    EXPECT_EQ(w.view().slotPosition(100000), 1u) << "growth keeps positions";
    TestSupport::TraceCapture quiet;
    EXPECT_THROW(w.notify(HeraldView::maxSlots), Basalt::AssertException);
}

TEST_F(HeraldTest, ValidateNotifOutOfRangeTracesTheBound) {
    auto loud = Basalt::Platform::getDebugHandler("HeraldTestLoud");
    TestSupport::TraceCapture traces;
    loud->switchWordIs(0x3FF);
    Writer w(debug_, path_, 8);
    w.attach(7);
    Reader r(loud, path_);
    ASSERT_TRUE(r.attach());
    EXPECT_FALSE(r.validateNotif(1u << 20, 1));
    EXPECT_TRUE(traces.contains("out-of-range index:1048576 max:512"));
    EXPECT_TRUE(r.quiesced());
    EXPECT_TRUE(traces.contains("writerSeq:0 shadowSeq:0"));
}

// ---- Shrinks ----

TEST_F(HeraldTest, ShrinkStartAndEndAreRecordedForReadersAndSurviveTheWriter) {
    TestSupport::Signal started, checked;
    {
        Writer w(debug_, path_, 8);
        w.attach(7);
        TestSupport::Signal attached;
        TestSupport::Child child([&] {
            Reader r(debug_, path_);
            if (!r.attach() || r.shrinkInProgress()) return false;
            attached.post();
            started.wait();
            const bool during = r.shrinkInProgress();
            checked.post();
            return during;
        });
        ASSERT_TRUE(attached.wait());
        w.markShrinkStart();
        EXPECT_TRUE(w.shrinkInProgress());
        started.post();
        ASSERT_TRUE(checked.wait());
        EXPECT_EQ(child.wait(), 0);
        w.markShrinkEnd();
        EXPECT_FALSE(w.shrinkInProgress());
        EXPECT_EQ(w.shrinkStarts(), 1u);
        EXPECT_EQ(w.shrinkEnds(), 1u);
        w.markShrinkStart();  // the writer goes away inside a shrink
    }
    Writer w(debug_, path_, 8);
    ASSERT_EQ(w.attach(7), Writer::adopted);
    EXPECT_TRUE(w.shrinkInProgress());
    w.markShrinkEnd();
    EXPECT_FALSE(w.shrinkInProgress());
    EXPECT_EQ(w.shrinkEnds(), 2u);
}

// ---- Quiescence ----

TEST_F(HeraldTest, WriterIsQuiescedWhenEveryClientAppliedItsLatestNotification) {
    Writer w(debug_, path_, 8);
    w.attach(7);
    EXPECT_TRUE(w.quiesced()) << "no clients";
    w.notify(1);
    w.notify(2);
    w.clientProgressIs("shadow-a", 1);
    w.clientProgressIs("shadow-b", 2);
    EXPECT_FALSE(w.quiesced());
    EXPECT_FALSE(w.clientQuiesced("shadow-a"));
    EXPECT_TRUE(w.clientQuiesced("shadow-b"));
    EXPECT_FALSE(w.clientQuiesced("stranger"));
    w.clientProgressIs("shadow-a", 2);
    EXPECT_TRUE(w.quiesced());
    w.notify(3);
    EXPECT_FALSE(w.quiesced());
    w.onDetach();
    EXPECT_EQ(w.clients(), 0u);
    EXPECT_TRUE(w.quiesced());
}

TEST_F(HeraldTest, DummyAcceptsEveryCallAndTouchesNoFile) {
    Herald::DummyHeraldWriter d(debug_, path_);
    EXPECT_EQ(d.attach(7), 0);
    d.notify(3);
    EXPECT_TRUE(d.tombstone(3));
    d.markShrinkStart();
    EXPECT_FALSE(d.shrinkInProgress());
    d.markShrinkEnd();
    std::string error;
    EXPECT_TRUE(d.validate(7, 10, error));
    EXPECT_TRUE(d.validateFile());
    EXPECT_TRUE(d.quiesced());
    EXPECT_TRUE(d.clientQuiesced("x"));
    EXPECT_EQ(d.type(), 0);
    EXPECT_EQ(d.sequence(), 0u);
    EXPECT_FALSE(d.view().usable());
    d.onDetach();
    d.detach();
    d.cleanup();
    EXPECT_FALSE(std::filesystem::exists(file_));
}

// ---- Corrupted files ----

class HeraldCorruptionTest : public HeraldTest {
  protected:
    static constexpr uint32_t ring = 8;
    Writer w_{debug_, path_, ring};
    Reader r_{debug_, path_};
    TestSupport::TraceCapture quiet_;  // keeps the expected level-0 traces off stderr

    void SetUp() override {
        w_.attach(7);
        ASSERT_TRUE(r_.attach());
        r_.positionIs(0);
        for (uint32_t s : {3u, 4u, 5u, 6u}) w_.notify(s);
    }
    std::string validation() {
        std::string error;
        return w_.validate(7, 0, error) ? "" : error;
    }
};

TEST_F(HeraldCorruptionTest, BadMagicFailsValidationAndReaderAttach) {
    poke(0, 0x1234);
    EXPECT_NE(validation().find("bad magic"), std::string::npos) << validation();
    Reader late(debug_, path_);
    EXPECT_FALSE(late.attach());
    EXPECT_FALSE(w_.validateFile());
}

TEST_F(HeraldCorruptionTest, AlteredRingSizeFailsTheChecksum) {
    poke(8, uint64_t{1} | (uint64_t{1u << 20} << 32));  // version 1, ring size 2^20
    EXPECT_NE(validation().find("checksum"), std::string::npos) << validation();
    Reader late(debug_, path_);
    EXPECT_FALSE(late.attach());
}

TEST_F(HeraldCorruptionTest, SlotPositionBeyondTheWriterSequenceFails) {
    poke(positionOffset(ring, 9), 99);
    EXPECT_NE(validation().find("beyond the writer's sequence"), std::string::npos);
}

TEST_F(HeraldCorruptionTest, SlotPositionNamingAnotherSlotsCellFails) {
    poke(positionOffset(ring, 9), 2);  // cell 2 is slot 4's notification
    EXPECT_NE(validation().find("is not its live notification"), std::string::npos);
}

TEST_F(HeraldCorruptionTest, DuplicateLiveNotificationOfASlotFails) {
    // Cell of sequence 2 claims slot 3 too: two live notifications of one slot.
    poke(cellOffset(ring, 2), HeraldView::Cell::encode(2, 3, false));
    EXPECT_NE(validation().find("the slot records position"), std::string::npos);
}

TEST_F(HeraldCorruptionTest, CellOutsideTheWindowFails) {
    poke(cellOffset(ring, 6), HeraldView::Cell::encode(6, 1, false));  // beyond sequence 4
    EXPECT_NE(validation().find("beyond the writer's sequence"), std::string::npos);
    poke(cellOffset(ring, 6), 0);
    poke(cellOffset(ring, 3), HeraldView::Cell::encode(3 + 2 * ring, 5, false));
    EXPECT_NE(validation().find("expected sequence 3"), std::string::npos);
}

TEST_F(HeraldCorruptionTest, ReaderRejectsACellOlderThanItsSequenceWithoutDelivering) {
    poke(cellOffset(ring, 3), HeraldView::Cell::encode(3 - ring, 5, false));
    int calls = 0;
    EXPECT_THROW(r_.poll([&](uint32_t, uint64_t, bool) { ++calls; }),
                 Basalt::CorruptionDetectedException);
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(r_.position(), 0u);
}

TEST_F(HeraldCorruptionTest, ReaderTakesACellWithALaterSequenceAsALap) {
    poke(cellOffset(ring, 3), HeraldView::Cell::encode(3 + ring, 5, false));
    EXPECT_EQ(r_.poll([](uint32_t, uint64_t, bool) { FAIL(); }), Status::lapped);
}

TEST_F(HeraldCorruptionTest, ReaderRejectsASlotBeyondTheCapacity) {
    poke(cellOffset(ring, 2), HeraldView::Cell::encode(2, 1u << 28, false));
    EXPECT_THROW(r_.poll([](uint32_t, uint64_t, bool) {}), Basalt::CorruptionDetectedException);
}

TEST_F(HeraldCorruptionTest, ReaderRejectsAWriterSequenceGoingBack) {
    std::vector<Seen> seen;
    drain(r_, seen);
    poke(32, 2);
    EXPECT_THROW(r_.poll([](uint32_t, uint64_t, bool) {}), Basalt::CorruptionDetectedException);
}

TEST_F(HeraldCorruptionTest, HugeWriterSequenceIsALapNotALongWalk) {
    poke(32, uint64_t{1} << 62);
    EXPECT_EQ(r_.poll([](uint32_t, uint64_t, bool) { FAIL(); }), Status::lapped);
    r_.positionIs(r_.writerSequence());
    EXPECT_EQ(r_.poll([](uint32_t, uint64_t, bool) { FAIL(); }), Status::caughtUp);
    EXPECT_NE(validation(), "");
}

TEST_F(HeraldCorruptionTest, HugeSlotCapacityNeverReadsPastTheFile) {
    poke(24, Mem::VerU32{9, HeraldView::maxSlots}.packed());
    EXPECT_FALSE(r_.validateNotif(HeraldView::maxSlots - 1, 1));
    EXPECT_NE(validation().find("bytes, its header needs"), std::string::npos) << validation();
}

TEST_F(HeraldCorruptionTest, RandomDamageNeverCrashesOrHangsAReaderAndIsRepairedByAttach) {
    const uint64_t seed = TestSupport::testSeed("HeraldCorruptionTest.RandomDamage");
    std::mt19937_64 rng(seed);
    const std::size_t size = HeraldView::fileSizeFor(ring, HeraldView::minSlotCapacity);
    for (int round = 0; round < 300; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        ASSERT_TRUE(r_.attach()) << r_.reason();
        r_.positionIs(r_.writerSequence() > ring ? r_.writerSequence() - ring : 0);
        const int damage = 1 + static_cast<int>(rng() % 4);
        for (int i = 0; i < damage; ++i) {
            const std::size_t word = rng() % (rng() % 2 ? 24 : size / 8);  // often the header
            const uint64_t value = rng() % 3 == 0 ? rng() : rng() % 64;
            poke(word * 8, value);
        }
        // The reader answers, throws CorruptionDetectedException, or reports: nothing else.
        for (int i = 0; i < 20; ++i) {
            try {
                const Status st = r_.poll(
                    [&](uint32_t s, uint64_t, bool) { ASSERT_LT(s, HeraldView::maxSlots); });
                if (st == Status::lapped) r_.positionIs(r_.writerSequence());
                if (st == Status::caughtUp || st == Status::swapped) break;
            } catch (const Basalt::CorruptionDetectedException&) {
                r_.positionIs(r_.writerSequence());
            }
        }
        r_.validateNotif(static_cast<uint32_t>(rng() % 2048), rng() % 16);
        r_.quiesced();
        std::string error;
        r_.validate(error);
        Reader fresh(debug_, path_);
        if (fresh.attach()) fresh.validate(error);
        // The writer adopts what it can explain and re-formats the rest.
        const int result = w_.attach(7);
        ASSERT_TRUE(result == Writer::adopted || result == Writer::reformatted);
        ASSERT_EQ(validation(), "");
        for (int i = 0; i < 5; ++i) w_.notify(static_cast<uint32_t>(rng() % 16));
        ASSERT_EQ(validation(), "");
    }
}

// ---- A writer killed inside a notification ----

#ifdef FLOWTABLE_TEST_HOOKS
class HeraldCrashTest : public HeraldTest,
                        public ::testing::WithParamInterface<Herald::HeraldCrashPoint> {};

TEST_P(HeraldCrashTest, NextWriterAdoptsAConsistentQueue) {
    {
        Writer w(debug_, path_, 8);
        w.attach(7);
    }
    TestSupport::Child child([&] {
        Writer w(debug_, path_, 8);
        if (w.attach(7) != Writer::adopted) return false;
        for (uint32_t s = 0; s < 4; ++s) w.notify(s);  // sequences 1..4
        Herald::heraldCrashPointIs(GetParam());
        w.notify(2);  // sequence 5 supersedes sequence 3
        return false;
    });
    EXPECT_EQ(child.wait(), 128 + SIGKILL);
    TestSupport::TraceCapture quiet;
    Writer w(debug_, path_, 8);
    ASSERT_EQ(w.attach(7), Writer::adopted);
    EXPECT_EQ(w.sequence(), 5u) << "the half-made notification is completed";
    EXPECT_EQ(w.view().slotPosition(2), 5u);
    ASSERT_TRUE(w.view().entryAt(3).has_value());
    EXPECT_TRUE(w.view().entryAt(3)->superseded);
    std::string error;
    EXPECT_TRUE(w.validate(7, 0, error)) << error;
    Reader r(debug_, path_);
    ASSERT_TRUE(r.attach());
    r.positionIs(0);
    std::vector<Seen> seen;
    EXPECT_EQ(drain(r, seen), Status::caughtUp);
    EXPECT_EQ(seen,
              (std::vector<Seen>{{0, 1, false}, {1, 2, false}, {3, 4, false}, {2, 5, false}}));
}

INSTANTIATE_TEST_SUITE_P(HeraldWriterKilled, HeraldCrashTest,
                         ::testing::Values(Herald::HeraldCrashPoint::afterCell,
                                           Herald::HeraldCrashPoint::afterSlotPosition,
                                           Herald::HeraldCrashPoint::afterSequence),
                         [](const auto& info) {
                             switch (info.param) {
                                 case Herald::HeraldCrashPoint::afterCell:
                                     return "AfterCell";
                                 case Herald::HeraldCrashPoint::afterSlotPosition:
                                     return "AfterSlotPosition";
                                 default:
                                     return "AfterSequence";
                             }
                         });
#endif

}  // namespace
