// The notification queue: a writer appends (slot, sequence) cells to a ring and records each
// slot's latest position; readers in other processes follow the ring, are lapped when more than
// a ring behind, and never deliver a damaged or half-written cell.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "contracts/Basalt/DebugHandler.h"
#include "contracts/Basalt/Exception.h"
#include "contracts/Herald/HeraldReader.h"
#include "contracts/Herald/HeraldView.h"
#include "contracts/Herald/HeraldWriter.h"
#include "contracts/Mem/RootPath.h"
#include "contracts/Mem/VerU32.h"
#include "tests/support/Processes.h"
#include "tests/support/ShmRoot.h"
#include "tests/support/TraceCapture.h"

namespace {

using Writer = Herald::HeraldWriter<uint32_t>;
using Reader = Herald::HeraldReader<uint32_t>;
using Status = Reader::PollStatus;
using Herald::HeraldView;
using Cell = HeraldView::Cell;
using TestSupport::ChildReport;
using TestSupport::Processes;

using Seen = std::tuple<uint32_t, uint64_t, bool>;  // slot, sequence, tombstone
using Seens = std::vector<Seen>;

void ignore(uint32_t, uint64_t, bool) {}
void never(uint32_t s, uint64_t q, bool) { ADD_FAILURE() << "delivered " << s << "@" << q; }

class HeraldTest : public ::testing::Test {
  protected:
    static constexpr uint32_t ring = 8;
    TestSupport::ShmRoot root_;
    std::shared_ptr<Basalt::Platform::DebugHandler> debug_ =
        Basalt::Platform::getDebugHandler("HeraldTest");
    Mem::RootPath path_{debug_, "t/herald", true};
    std::string file_ = path_.filePath("herald");

    // What the reader delivers in up to `polls` polls of `budget` cells each.
    static Status drain(Reader& r, Seens& out, int polls = 100,
                        std::size_t budget = Reader::defaultPollBudget) {
        Status st = Status::more;
        for (int i = 0; i < polls && st == Status::more; ++i) {
            st = r.poll([&](uint32_t s, uint64_t q, bool t) { out.push_back({s, q, t}); }, budget);
        }
        return st;
    }
    // Reads (with `write` false) or overwrites the file's word at `offset` behind the mappings.
    uint64_t word(std::size_t offset, uint64_t value = 0, bool write = true) {
        const int fd = ::open(file_.c_str(), O_RDWR);
        EXPECT_GE(fd, 0);
        const auto off = static_cast<off_t>(offset);
        EXPECT_EQ(write ? ::pwrite(fd, &value, 8, off) : ::pread(fd, &value, 8, off), 8);
        ::close(fd);
        return value;
    }
    static std::string validation(const Writer& w, uint32_t fenix = 7, uint32_t mostSlots = 0) {
        std::string error;
        return w.validate(fenix, mostSlots, error) ? "" : error;
    }
};

// A queue of 8 cells and a reader following it.
class HeraldQueueTest : public HeraldTest {
  protected:
    Writer w_{debug_, path_, ring};
    Reader r_{debug_, path_};

    void SetUp() override {
        w_.attach(7);
        ASSERT_TRUE(r_.attach());
    }
};

// A reader process follows a writer that works in rounds of 100 notifications (more than its
// ring of 64), each started once the reader consumed the previous one or was lapped past it: the
// reader keeps up with some rounds, is lapped by others, and polls while cells are being
// written. Whatever it delivers is whole (the slot and tombstone bit of that sequence) and in
// order. Sequence q notifies slot q % 509, every eighth as a tombstone: slots are superseded
// within the ring, and a slot's next tombstone comes 8 * 509 notifications later (never refused).
TEST_F(HeraldTest, ConcurrentReaderDeliversOnlyWholeNotificationsAndNoticesLaps) {
    constexpr uint64_t round = 100, rounds = 200;
    auto slotOf = [](uint64_t q) { return static_cast<uint32_t>(q % 509); };
    auto tombOf = [](uint64_t q) { return q % 8 == 0; };
    Writer w(debug_, path_, 64);
    w.attach(7);
    Processes p;
    TestSupport::Signal progress;
    const std::size_t reader = p.start("reader", [&](ChildReport& report) {
        Reader r(debug_, path_);
        if (!r.attach()) return report.fail("cannot attach: " + r.reason());
        uint64_t last = 0;
        for (uint64_t done = 0; done < rounds && report.text[0] == 0;) {
            const Status st = r.poll([&](uint32_t s, uint64_t q, bool t) {
                if (q <= last || s != slotOf(q) || t != tombOf(q)) {
                    report.fail("after " + std::to_string(last) + ": slot " + std::to_string(s) +
                                " sequence " + std::to_string(q) + (t ? " tombstone" : ""));
                }
                last = q;
            });
            if (st == Status::lapped) r.positionIs(last = r.writerSequence());
            if (st == Status::swapped || st == Status::detached) return report.fail("swapped");
            if (r.position() >= (done + 1) * round && ++done < rounds) progress.post();
        }
        return report.text[0] == 0 && (r.quiesced() || report.fail("not quiesced at the end"));
    });
    for (uint64_t q = 1; q <= round * rounds; ++q) {
        if (q > round && q % round == 1) {
            ASSERT_TRUE(progress.wait(30, p.child(reader))) << p.wait(reader);
        }
        if (tombOf(q)) {
            ASSERT_TRUE(w.tombstone(slotOf(q)));
        } else {
            w.notify(slotOf(q));
        }
    }
    EXPECT_EQ(p.waitAll(), "");
    EXPECT_EQ(validation(w, 7, 509), "");
}

// An adopted file keeps its ring and sequence; a re-format (for another fenix, or for the same
// one when the file cannot be adopted) and cleanup swap every attached reader.
TEST_F(HeraldQueueTest, AdoptionKeepsTheRingAndEveryReformatOrCleanupSwapsReaders) {
    for (uint32_t s : {1u, 2u, 1u}) w_.notify(s);
    Writer w(debug_, path_, 16);
    ASSERT_EQ(w.attach(7), Writer::adopted);
    EXPECT_EQ(w.sequence(), 3u);
    EXPECT_EQ(w.ringSize(), 8u);
    EXPECT_EQ(w.attach(8), Writer::reformatted);
    EXPECT_EQ(w.sequence(), 0u);
    EXPECT_EQ(w.ringSize(), 16u);
    EXPECT_EQ(w.view().slotPosition(1), 0u);
    EXPECT_EQ(validation(w, 8), "");
    EXPECT_EQ(r_.poll(never), Status::swapped);

    w.notify(4);
    ASSERT_TRUE(r_.attach());
    word(0, 0);  // bad magic
    TestSupport::TraceCapture quiet;
    EXPECT_EQ(w.attach(8), Writer::reformatted);
    EXPECT_EQ(r_.poll(ignore), Status::swapped);

    ASSERT_TRUE(r_.attach());
    w.cleanup();
    EXPECT_FALSE(std::filesystem::exists(file_));
    EXPECT_EQ(r_.poll(ignore), Status::swapped);
    EXPECT_FALSE(Reader(debug_, path_).attach());
    for (uint32_t bad : {2u, 12u, HeraldView::maxRingSize * 2}) {
        EXPECT_THROW(Writer(debug_, path_, bad), Basalt::InvalidInitializeException) << bad;
    }
}

// A reader exactly a ring behind gets everything; one more notification laps it: it gets
// nothing, keeps its position, and carries on from the writer's sequence. A poll examines at
// most its budget of cells, and a throwing callback's notification is delivered again.
TEST_F(HeraldQueueTest, ReaderIsLappedOnlyWhenMoreThanARingBehindAndPollsWithinItsBudget) {
    for (const uint32_t n : {ring, ring + 1}) {
        SCOPED_TRACE(n);
        w_.attach(n);  // a fresh queue for each row
        ASSERT_TRUE(r_.attach());
        for (uint32_t s = 0; s < n; ++s) w_.notify(s);
        Seens seen;
        EXPECT_EQ(drain(r_, seen), n == ring ? Status::caughtUp : Status::lapped);
        EXPECT_EQ(seen.size(), n == ring ? n : 0);
        EXPECT_EQ(r_.position(), seen.size());
        EXPECT_EQ(r_.quiesced(), n == ring);
        r_.positionIs(r_.writerSequence());
        w_.notify(42);
        seen.clear();
        EXPECT_EQ(drain(r_, seen), Status::caughtUp);
        EXPECT_EQ(seen, (Seens{{42, n + 1u, false}}));
    }
    for (uint32_t s = 0; s < 6; ++s) w_.notify(s);  // sequences 11..16
    Seens seen;
    EXPECT_EQ(drain(r_, seen, 1, 3), Status::more);
    EXPECT_EQ(r_.position(), 13u);
    auto busyAt4 = [](uint32_t s, uint64_t, bool) {
        if (s == 4) throw std::runtime_error("busy");
    };
    EXPECT_THROW(r_.poll(busyAt4), std::runtime_error);
    EXPECT_EQ(r_.position(), 14u);
    seen.clear();
    drain(r_, seen, 1, 1);
    EXPECT_EQ(seen, (Seens{{4, 15, false}}));
}

// A slot's latest notification supersedes its earlier one and is what validateNotif accepts,
// also once the ring lapped it; a second tombstone is refused until the slot is notified again.
TEST_F(HeraldQueueTest, EachSlotRecordsItsLatestNotificationAndASecondTombstoneIsRefused) {
    w_.notify(3);
    w_.notify(5);
    w_.notify(3);
    EXPECT_TRUE(w_.tombstone(5));
    EXPECT_FALSE(w_.tombstone(5));
    EXPECT_TRUE(w_.view().entryAt(1)->superseded);
    EXPECT_TRUE(w_.view().entryAt(4)->tombstone);
    EXPECT_TRUE(r_.validateNotif(3, 3) && r_.validateNotif(5, 4));
    EXPECT_FALSE(r_.validateNotif(3, 1) || r_.validateNotif(5, 2));
    w_.notify(5);
    EXPECT_TRUE(w_.tombstone(5));
    for (uint32_t s = 10; s < 20; ++s) w_.notify(s);
    EXPECT_FALSE(w_.view().entryAt(3).has_value());
    EXPECT_TRUE(r_.validateNotif(3, 3));
    EXPECT_EQ(validation(w_, 7, 20), "");
}

TEST_F(HeraldQueueTest, SlotBeyondTheRecordGrowsItWithZeroedPositionsAndAnAttachedReaderRemaps) {
    w_.notify(100001);  // leaves the positions of a larger record in the file, behind a re-format
    ASSERT_EQ(w_.attach(8), Writer::reformatted);
    ASSERT_TRUE(r_.attach());
    EXPECT_FALSE(r_.validateNotif(100001, 1)) << "a slot beyond the record";
    w_.notify(100000);
    EXPECT_EQ(w_.view().slotPosition(100001), 0u) << "growth zeroes the new positions";
    EXPECT_TRUE(r_.validateNotif(100000, 1)) << "the reader remaps the larger record";
    w_.slotCapacityIs(200000);
    EXPECT_EQ(w_.slotCapacity(), 262144u);
    EXPECT_EQ(w_.view().slotPosition(100000), 1u) << "growth keeps positions";
    EXPECT_EQ(validation(w_, 8), "");
    TestSupport::TraceCapture quiet;
    EXPECT_THROW(w_.notify(HeraldView::maxSlots), Basalt::AssertException);
}

// A shrink that never ended (the writer went away inside it) stays recorded in an adopted file.
// The writer is quiesced when every client applied its latest notification.
TEST_F(HeraldQueueTest, WriterRecordsShrinksForReadersAndItsClientsProgress) {
    EXPECT_FALSE(r_.shrinkInProgress());
    w_.markShrinkStart();
    EXPECT_TRUE(r_.shrinkInProgress());
    w_.markShrinkEnd();
    EXPECT_FALSE(w_.shrinkInProgress() || r_.shrinkInProgress());
    w_.markShrinkStart();
    ASSERT_EQ(w_.attach(7), Writer::adopted);
    EXPECT_TRUE(w_.shrinkInProgress() && r_.shrinkInProgress());
    w_.markShrinkEnd();
    EXPECT_EQ(w_.shrinkStarts(), 2u);
    EXPECT_EQ(w_.shrinkEnds(), 2u);

    EXPECT_TRUE(w_.quiesced()) << "no clients";
    w_.notify(1);
    w_.notify(2);
    w_.clientProgressIs("shadow-a", 1);
    w_.clientProgressIs("shadow-b", 2);
    EXPECT_FALSE(w_.quiesced() || w_.clientQuiesced("shadow-a") || w_.clientQuiesced("stranger"));
    EXPECT_TRUE(w_.clientQuiesced("shadow-b"));
    w_.clientProgressIs("shadow-a", 2);
    EXPECT_TRUE(w_.quiesced());
    w_.notify(3);
    EXPECT_FALSE(w_.quiesced());
    w_.onDetach();
    EXPECT_EQ(w_.clients(), 0u);
    EXPECT_TRUE(w_.quiesced());
}

class HeraldCorruptionTest : public HeraldQueueTest {
  protected:
    TestSupport::TraceCapture quiet_;  // keeps the expected level-0 traces off stderr

    void SetUp() override {
        HeraldQueueTest::SetUp();
        for (uint32_t s : {3u, 4u, 5u, 6u}) w_.notify(s);  // sequences 1..4
    }
    static std::size_t cell(uint64_t seq) { return HeraldView::headerSize + 8 * (seq % ring); }
    static std::size_t position(uint32_t slot) { return cell(0) + 8 * (ring + slot); }
};

// Each damage: what validation says of it ("": any error), whether a new reader attaches, and
// what a reader at `from` makes of it. A reader never delivers a damaged cell: it throws
// CorruptionDetectedException and keeps its position, or takes a later sequence for a lap
// (without walking up to a huge one).
TEST_F(HeraldCorruptionTest, EachDamageIsNamedByValidationAndNeverDeliveredByAReader) {
    enum Poll { skip, throws, lap };
    struct Row {
        std::size_t offset;
        uint64_t value;
        const char* error;
        bool attaches;
        uint64_t from;
        Poll poll;
    };
    const uint64_t wideRing = 1 | (uint64_t{1} << 52);  // version 1, ring size 2^20
    const uint64_t hugeCapacity = Mem::VerU32{9, HeraldView::maxSlots}.packed();
    const Row rows[] = {
        {0, 0x1234, "bad magic", false, 0, skip},
        {8, wideRing, "checksum", false, 0, skip},
        {24, hugeCapacity, "bytes, its header needs", false, 0, skip},
        {position(9), 99, "beyond the writer's sequence", true, 0, skip},
        {position(9), 2, "is not its live notification", true, 0, skip},  // slot 4's cell
        {cell(2), Cell::encode(2, 3, false), "the slot records position", true, 0, skip},
        {cell(6), Cell::encode(6, 1, false), "beyond the writer's sequence", true, 0, skip},
        {cell(3), Cell::encode(3 + 2 * ring, 5, false), "expected sequence 3", true, 0, lap},
        {cell(3), Cell::encode(3 + ring, 5, false), "", true, 0, lap},
        {cell(3), Cell::encode(3 - ring, 5, false), "", true, 0, throws},
        {cell(2), Cell::encode(2, 1u << 28, false), "", true, 0, throws},  // beyond capacity
        {32, 2, "", true, 4, throws},               // the writer's sequence goes back
        {32, uint64_t{1} << 62, "", true, 0, lap},  // a huge writer sequence
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(::testing::Message() << "word " << row.offset << " = " << row.value);
        const uint64_t was = word(row.offset, 0, false);
        word(row.offset, row.value);
        EXPECT_FALSE(w_.validateFile());
        EXPECT_NE(validation(w_).find(row.error), std::string::npos) << validation(w_);
        EXPECT_FALSE(r_.validateNotif(HeraldView::maxSlots - 1, 1)) << "reads past the file";
        EXPECT_EQ(Reader(debug_, path_).attach(), row.attaches);
        r_.positionIs(row.from);
        if (row.poll == lap) {
            EXPECT_EQ(r_.poll(never), Status::lapped);
            r_.positionIs(r_.writerSequence());
            EXPECT_EQ(r_.poll(never), Status::caughtUp);
        } else if (row.poll == throws) {
            EXPECT_THROW(r_.poll(never), Basalt::CorruptionDetectedException);
            EXPECT_EQ(r_.position(), row.from);
        }
        word(row.offset, was);
    }
}

#ifdef FLOWTABLE_TEST_HOOKS
TEST_F(HeraldTest, NextWriterAdoptsAConsistentQueueFromAWriterKilledInsideANotification) {
    using Point = Herald::HeraldCrashPoint;
    for (const Point point : {Point::afterCell, Point::afterSlotPosition, Point::afterSequence}) {
        const auto fenix = static_cast<uint32_t>(point);  // a fresh queue for each point
        SCOPED_TRACE(fenix);
        Writer(debug_, path_, 8).attach(fenix);
        Processes p;
        p.start("writer", [&](ChildReport& report) {
            Writer w(debug_, path_, 8);
            if (w.attach(fenix) != Writer::adopted) return report.fail("not adopted");
            for (uint32_t s = 0; s < 4; ++s) w.notify(s);  // sequences 1..4
            Herald::heraldCrashPointIs(point);
            w.notify(2);  // sequence 5 supersedes sequence 3
            return report.fail("not killed at the crash point");
        });
        EXPECT_EQ(p.wait(0, 128 + SIGKILL), "");
        TestSupport::TraceCapture quiet;
        Writer w(debug_, path_, 8);
        ASSERT_EQ(w.attach(fenix), Writer::adopted);
        EXPECT_EQ(w.view().slotPosition(2), 5u);
        EXPECT_EQ(validation(w, fenix), "");
        // The half-made notification is completed; sequence 3 is superseded.
        Reader r(debug_, path_);
        ASSERT_TRUE(r.attach());
        r.positionIs(0);
        Seens seen;
        EXPECT_EQ(drain(r, seen), Status::caughtUp);
        EXPECT_EQ(seen, (Seens{{0, 1, false}, {1, 2, false}, {3, 4, false}, {2, 5, false}}));
    }
}
#endif

}  // namespace
