// Files one writer changes in place while reader processes follow them: the bucket table, the
// notification queue (a ring of cells and each slot's latest position), and the version anchor.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "contracts/Basalt/DebugHandler.h"
#include "contracts/Basalt/Exception.h"
#include "contracts/Herald/HeraldReader.h"
#include "contracts/Herald/HeraldView.h"
#include "contracts/Herald/HeraldWriter.h"
#include "contracts/HoardBase/BucketTable.h"
#include "contracts/Mem/RootPath.h"
#include "contracts/Mem/VerU32.h"
#include "contracts/Mem/VersionAnchor.h"
#include "tests/support/FileBytes.h"
#include "tests/support/Processes.h"
#include "tests/support/Seed.h"
#include "tests/support/ShmRoot.h"
#include "tests/support/TraceCapture.h"

namespace {

using Hoard::BucketReaderTable;
using Hoard::BucketTable;
using Hoard::BucketWriterTable;
using Hoard::SlotLink;
using TestSupport::ChildReport;
using TestSupport::Processes;
using Corruption = Basalt::CorruptionDetectedException;
using TestSupport::readAt;
using TestSupport::writeAt;

// A private shared-memory root and a writer's table directory in it.
class MappedTableTest : public ::testing::Test {
  protected:
    TestSupport::TraceCapture quiet;  // keeps the expected level-0 traces off stderr
    TestSupport::ShmRoot shm;
    std::shared_ptr<Basalt::Platform::DebugHandler> debug =
        Basalt::Platform::getDebugHandler("MappedTablesTest");
    Mem::RootPath rootPath{debug, "t/table", true};
};

// Only the anchored word counts; a misaligned word is a programming fault; an invalidated or
// baseless anchor is always a mismatch. (HoardWriterTest checks an unset and a stale anchor.)
TEST(VersionAnchorTest, OnlyTheAnchoredWordCountsAndAMisalignedAnchorAsserts) {
    std::array<std::uint32_t, 32> words{};
    Mem::VersionAnchor anchor;
    anchor.set(words.data(), 64, 0);  // word 16
    words[17] = 1;
    EXPECT_NO_THROW(anchor.validate());
    anchor.invalidate();
    EXPECT_THROW(anchor.validate(), Mem::VersionMismatchException);
    anchor.set(nullptr, 64, 1);
    EXPECT_THROW(anchor.validate(), Mem::VersionMismatchException);
    anchor.set(words.data(), 66, 1);
    EXPECT_THROW(anchor.validate(), Basalt::AssertException);
}

constexpr std::uint32_t kFenix = 0x00020005;
constexpr std::uint32_t kEnd = SlotLink::endOfList;
constexpr std::uint32_t marker(std::uint32_t b) { return SlotLink::bucketMarker(b); }

// Bucket positions in bit-reversed order, computed bit by bit (not by the table's own code).
std::uint32_t reversedPosition(std::uint32_t b, std::uint32_t count) {
    std::uint32_t r = 0;
    for (std::uint32_t bit = 1; bit < count; bit <<= 1) r = (r << 1) | ((b & bit) ? 1 : 0);
    return r;
}
// The entry each bucket holds when every run is empty (bit reversal is its own inverse).
std::vector<std::uint32_t> emptyChain(std::uint32_t count) {
    std::vector<std::uint32_t> next(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        const bool last = i + 1 == count;
        next[reversedPosition(i, count)] = last ? kEnd : marker(reversedPosition(i + 1, count));
    }
    return next;
}

class BucketTableTest : public MappedTableTest {
  protected:
    std::string path() const { return rootPath.filePath(BucketTable::fileName); }
    template <class T>
    T peek(std::size_t offset) const {
        return readAt<T>(path(), offset);
    }
    void poke(std::size_t offset, std::uint32_t value) const { writeAt(path(), offset, &value, 4); }
    void truncateTo(std::size_t size) const { ::truncate(path().c_str(), off_t(size)); }
    std::vector<std::uint32_t> nexts(const BucketTable& t) const {
        std::vector<std::uint32_t> v;
        for (std::uint32_t b = 0; b < t.count(); ++b) v.push_back(t[b].next);
        return v;
    }
    std::string validationError(const BucketWriterTable& t) {
        std::string error;
        return t.validate(1000, error) ? "valid" : error;
    }

    BucketWriterTable writer{debug, rootPath};
};

// The bytes other processes map: header fields at their offsets, then one entry per bucket
// chaining the empty runs in bit-reversed order at every count, growing and shrinking.
TEST_F(BucketTableTest, FileLayoutAndEmptyRunChainsAtEveryCount) {
    ASSERT_EQ(writer.attach(kFenix), BucketWriterTable::newFile);
    ASSERT_EQ(std::filesystem::file_size(path()), 48u);
    EXPECT_EQ(peek<std::uint64_t>(0), 0x544B424452414F48ull);            // "HOARDBKT"
    EXPECT_EQ(peek<std::uint64_t>(8), std::uint64_t{kFenix} << 32 | 1);  // version 1, fenix
    EXPECT_EQ(peek<std::uint64_t>(24), std::uint64_t{32} << 32 | 8);  // entry size 8, entries at 32
    EXPECT_EQ(peek<std::uint64_t>(32), SlotLink::pack({0, marker(1)}));
    std::vector<std::uint32_t> counts;
    for (std::uint32_t c = 2; c <= 4096; c *= 2) counts.push_back(c);
    for (std::uint32_t c = 2048; c >= 2; c /= 2) counts.push_back(c);
    for (std::uint32_t version = 0; version < counts.size(); ++version) {
        const std::uint32_t count = counts[version];
        writer.resize(count);
        ASSERT_EQ(peek<std::uint32_t>(16), version);  // the pair: version at 16, count at 20
        ASSERT_EQ(peek<std::uint32_t>(20), count);
        const auto expected = emptyChain(count);
        for (std::uint32_t b = 0; b < count; ++b) {
            ASSERT_EQ(peek<std::uint32_t>(32 + 8 * b + 4), expected[b]) << b << "/" << count;
        }
    }
}

// An intact file of the same fenix keeps the index's entries; anything else is re-formatted to
// two empty runs, with the pair's version moved on so lagging readers remap.
TEST_F(BucketTableTest, ReattachAdoptsAnIntactFileAndReformatsAnyOther) {
    // What, the next writer's fenix, whether a reader attaches (it checks only the count and the
    // file's size), the damage.
    const std::vector<std::tuple<const char*, std::uint32_t, bool, std::function<void()>>> rows = {
        {"intact", kFenix, true, [] {}},
        {"other fenix", kFenix + 1, true, [] {}},
        {"bad magic", kFenix, true, [&] { poke(0, 0); }},
        {"bad version", kFenix, true, [&] { poke(8, 2); }},
        {"bad entry size", kFenix, true, [&] { poke(24, 16); }},
        {"count not a power of two", kFenix, false, [&] { poke(20, 12); }},
        {"count zero", kFenix, false, [&] { poke(20, 0); }},
        {"count beyond the maximum", kFenix, false, [&] { poke(20, 1u << 31); }},
        {"file shorter than its count", kFenix, false,
         [&] { truncateTo(BucketTable::fileSizeFor(16) - 1); }},
        {"file shorter than a header", kFenix, false, [&] { truncateTo(10); }},
    };
    for (const auto& [what, fenix, readerAttaches, damage] : rows) {
        SCOPED_TRACE(what);
        writer.cleanup();
        ASSERT_EQ(writer.attach(kFenix), BucketWriterTable::newFile);
        writer.resize(64);
        writer.resize(16);
        writer.linkIs(0, {4, 17});
        const auto kept = nexts(writer);
        writer.detach();
        damage();
        EXPECT_EQ(BucketReaderTable(debug, rootPath).attach(), readerAttaches);
        const bool intact = std::string(what) == "intact";
        EXPECT_EQ(writer.attach(fenix),
                  intact ? BucketWriterTable::adopted : BucketWriterTable::reformatted);
        EXPECT_EQ(nexts(writer), intact ? kept : emptyChain(2));
        EXPECT_EQ(writer.header().fenix, fenix);
        EXPECT_GT(writer.publishedCount().version, 0u);
    }
}

// A grow initialises the new entries and runs the index's split before it publishes the count;
// a refused or failed grow changes nothing.
TEST_F(BucketTableTest, GrowInitialisesNewEntriesBeforePublishingAndARefusedOneChangesNothing) {
    ASSERT_EQ(writer.attach(kFenix), BucketWriterTable::newFile);
    writer.linkIs(0, {4, 7});  // bucket 0 holds slot 7, bucket 1 is empty
    EXPECT_THROW(writer.resize(4), Basalt::AssertException) << "slots need the index's split";
    EXPECT_THROW(writer.resize(4, [] { throw std::runtime_error("split failed"); }),
                 std::runtime_error);
    EXPECT_EQ(writer.count(), 2u);
    EXPECT_EQ(writer.publishedCount(), (Mem::VerU32{0, 2}));
    EXPECT_EQ(nexts(writer), (std::vector<std::uint32_t>{7, kEnd}));
    writer.resize(4, [&] {
        EXPECT_EQ(writer.publishedCount(), (Mem::VerU32{0, 2}));
        EXPECT_EQ(writer.count(), 4u);
        EXPECT_EQ(writer[2].next, marker(1));  // empty run of bucket 2 in the new order
        EXPECT_EQ(writer[3].next, kEnd);
        writer.linkIs(2, {writer[2].seq + 4, 9});  // the index's split: slot 9 starts run 2
    });
    EXPECT_EQ(writer.publishedCount(), (Mem::VerU32{1, 4}));
    // Slot 9 shows the hook ran; the old runs are the caller's to cut.
    EXPECT_EQ(nexts(writer), (std::vector<std::uint32_t>{7, kEnd, 9, kEnd}));
}

// validate() names the first bad entry; a view never maps a count the file cannot hold (a
// reader's attach refuses one: see the re-attach rows); validateFile() notices a replaced file.
TEST_F(BucketTableTest, ValidateNamesTheFirstBadEntryAndViewsNeverMapACountTheFileCannotHold) {
    ASSERT_EQ(writer.attach(kFenix), BucketWriterTable::newFile);
    BucketReaderTable reader(debug, rootPath);
    ASSERT_TRUE(reader.attach());
    std::string error;
    EXPECT_TRUE(reader.validate(kFenix, error) && reader.validate(0, error)) << error;
    EXPECT_FALSE(reader.validate(kFenix + 1, error));
    writer.resize(4);  // order 0, 2, 1, 3
    // Slots and markers out of range: HoardDamageTest's bucket rows.
    const std::tuple<std::uint32_t, std::uint32_t, const char*> ends[] = {
        {1, kEnd, "bucket:1 ends the table, expected next bucket:3 numBuckets:4"},
        {3, marker(0), "bucket:3 next bucket:0, expected the end of the table numBuckets:4"},
    };
    for (const auto& [bucket, next, message] : ends) {
        const SlotLink saved = writer[bucket];
        writer.linkIs(bucket, {saved.seq + 4, next});
        EXPECT_EQ(validationError(writer), "BucketWriter::validate() " + std::string(message));
        writer.linkIs(bucket, saved);
    }
    poke(12, kFenix + 1);
    EXPECT_EQ(validationError(writer), "BucketTable::validate() bad fenix:131078 wanted:131077");
    EXPECT_NO_THROW(writer.validateFile());
    poke(20, 1024);  // the file holds four entries
    EXPECT_THROW(reader.doResize(), Corruption);
    EXPECT_THROW(writer.doResize(), Corruption);
    EXPECT_EQ(reader.count(), 2u);
    EXPECT_THROW(reader.checkResize(), Corruption);
    EXPECT_THROW((void)reader[2], Corruption);
    ASSERT_EQ(::unlink(path().c_str()), 0);
    EXPECT_THROW(writer.validateFile(), Corruption);
    writeAt(path(), 4095, "", 1);  // re-created
    EXPECT_THROW(writer.validateFile(), Corruption);
    writer.cleanup();
    EXPECT_EQ(::access(path().c_str(), F_OK), -1);
}

// A reader process checks the table while the writer grows and shrinks it, leaving garbage where
// released entries were: below a loaded count (unless a newer count explains it) every entry is
// the end or a marker pointing forward in bit-reversed order. (The layout test checks the exact
// chain after each grow and shrink.)
TEST_F(BucketTableTest, ReaderSeesConsistentCountAndEntriesDuringResizes) {
    const std::uint64_t seed =
        TestSupport::testSeed("ReaderSeesConsistentCountAndEntriesDuringResizes");
    ASSERT_EQ(writer.attach(kFenix), BucketWriterTable::newFile);
    Processes p;
    TestSupport::Signal stop;
    const std::size_t reader = p.start("reader", [&](ChildReport& report) {
        BucketReaderTable r(debug, rootPath);
        if (!r.attach()) return report.fail("cannot attach: " + r.reason());
        p.ready.post();
        Mem::VerU32 last;
        while (!stop.wait(0)) {
            // Catch the writer right after a publication (a bounded spin, not a wait).
            for (int i = 0; i < 2000 && r.publishedCount() == last; ++i) {
            }
            last = r.publishedCount();
            r.doResize();  // throws (fails the child) when the file cannot hold the count
            const Mem::VerU32 seen = r.publishedCount();
            const std::uint32_t n = r.count();
            // Newest entries first: those are the ones a grow has just added.
            for (std::uint32_t b = n; seen.value == n && b-- > 0;) {
                const std::uint32_t next = r[b].next, c = SlotLink::markerBucket(next);
                if (next == kEnd || (SlotLink::isBucketMarker(next) && c < n &&
                                     reversedPosition(c, n) > reversedPosition(b, n))) {
                    continue;
                }
                if (r.publishedCount() != seen) break;
                return report.fail("bucket " + std::to_string(b) + " of " + std::to_string(n) +
                                   " holds " + std::to_string(next));
            }
        }
        return true;
    });
    ASSERT_TRUE(p.ready.wait(30, p.child(reader))) << p.wait(reader);
    std::mt19937_64 rng(seed);
    for (int walk = 0; walk < 4000 && !p.child(reader).ended(); ++walk) {
        const std::uint32_t target = 2u << (rng() % 12);
        while (writer.count() != target) {
            const std::uint32_t old = writer.count();
            writer.resize(old < target ? old * 2 : old / 2);
            if (old > target) {  // garbage where the released entries were
                const std::vector<std::uint64_t> junk(old - writer.count(),
                                                      SlotLink::pack({0, 0x7EEEEEEE}));
                writeAt(path(), BucketTable::fileSizeFor(writer.count()), junk.data(),
                        junk.size() * 8);
            }
        }
    }
    stop.post();
    EXPECT_EQ(p.waitAll(), "") << "seed " << seed;
}

using Writer = Herald::HeraldWriter<uint32_t>;
using Reader = Herald::HeraldReader<uint32_t>;
using Status = Reader::PollStatus;
using Herald::HeraldView;
using Cell = HeraldView::Cell;

using Seen = std::tuple<uint32_t, uint64_t, bool>;  // slot, sequence, tombstone
using Seens = std::vector<Seen>;

void never(uint32_t s, uint64_t q, bool) { ADD_FAILURE() << "delivered " << s << "@" << q; }

class HeraldTest : public MappedTableTest {
  protected:
    static constexpr uint32_t ring = 8;
    std::string file_ = rootPath.filePath("herald");

    // The last status and what the reader delivers in up to `polls` polls of `budget` cells each.
    static std::pair<Status, Seens> drain(Reader& r, int polls = 100,
                                          std::size_t budget = Reader::defaultPollBudget) {
        std::pair<Status, Seens> out{Status::more, {}};
        auto keep = [&](uint32_t s, uint64_t q, bool t) { out.second.push_back({s, q, t}); };
        for (int i = 0; i < polls && out.first == Status::more; ++i) {
            out.first = r.poll(keep, budget);
        }
        return out;
    }
    void poke(std::size_t offset, uint64_t value) const { writeAt(file_, offset, &value, 8); }
    static std::string validation(const Writer& w, uint32_t fenix = 7, uint32_t mostSlots = 0) {
        std::string error;
        return w.validate(fenix, mostSlots, error) ? "" : error;
    }
};

// A queue of 8 cells and a reader following it.
class HeraldQueueTest : public HeraldTest {
  protected:
    Writer w_{debug, rootPath, ring};
    Reader r_{debug, rootPath};

    void SetUp() override {
        w_.attach(7);
        ASSERT_TRUE(r_.attach());
    }
};

// A reader process follows a writer working in rounds of 100 notifications (its ring holds 64),
// each once the reader consumed or was lapped past the previous one. What it delivers is whole
// and in order: sequence q notifies slot q % 509, every eighth as a tombstone.
TEST_F(HeraldTest, ConcurrentReaderDeliversOnlyWholeNotificationsAndNoticesLaps) {
    constexpr uint64_t round = 100, rounds = 200;
    auto slotOf = [](uint64_t q) { return static_cast<uint32_t>(q % 509); };
    auto tombOf = [](uint64_t q) { return q % 8 == 0; };
    Writer w(debug, rootPath, 64);
    w.attach(7);
    Processes p;
    TestSupport::Signal progress;
    const std::size_t reader = p.start("reader", [&](ChildReport& report) {
        Reader r(debug, rootPath);
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
        if (!tombOf(q)) w.notify(slotOf(q));
        ASSERT_TRUE(!tombOf(q) || w.tombstone(slotOf(q)));
    }
    EXPECT_EQ(p.waitAll(), "");
    EXPECT_EQ(validation(w, 7, 509), "");
}

// An adopted file keeps its ring and a shrink that never ended (the writer went away inside it);
// a re-format (for another fenix, or for the same one when the file cannot be adopted) and
// cleanup swap every attached reader.
TEST_F(HeraldQueueTest, AdoptionKeepsTheRingAndAnUnendedShrinkAndEveryReformatSwapsReaders) {
    w_.markShrinkStart();
    EXPECT_TRUE(r_.shrinkInProgress());
    w_.markShrinkEnd();
    EXPECT_FALSE(w_.shrinkInProgress() || r_.shrinkInProgress());
    w_.markShrinkStart();
    for (uint32_t s : {1u, 2u, 1u}) w_.notify(s);
    Writer w(debug, rootPath, 16);
    ASSERT_EQ(w.attach(7), Writer::adopted);
    EXPECT_EQ(w.ringSize(), 8u);
    EXPECT_TRUE(w.shrinkInProgress() && r_.shrinkInProgress());
    EXPECT_EQ(w.shrinkStarts(), 2u);
    EXPECT_EQ(w.attach(8), Writer::reformatted);
    EXPECT_EQ(w.sequence(), 0u);
    EXPECT_EQ(w.ringSize(), 16u);
    EXPECT_EQ(w.view().slotPosition(1), 0u);
    EXPECT_EQ(r_.poll(never), Status::swapped);
    w.notify(4);
    ASSERT_TRUE(r_.attach());
    poke(0, 0);  // bad magic
    EXPECT_EQ(w.attach(8), Writer::reformatted);
    EXPECT_EQ(r_.poll(never), Status::swapped);
    ASSERT_TRUE(r_.attach());
    w.cleanup();
    EXPECT_FALSE(std::filesystem::exists(file_));
    EXPECT_EQ(r_.poll(never), Status::swapped);
    for (uint32_t bad : {2u, 12u, HeraldView::maxRingSize * 2}) {
        EXPECT_THROW(Writer(debug, rootPath, bad), Basalt::InvalidInitializeException) << bad;
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
        const auto [status, seen] = drain(r_);
        EXPECT_EQ(status, n == ring ? Status::caughtUp : Status::lapped);
        EXPECT_EQ(seen.size(), n == ring ? n : 0);
        EXPECT_EQ(r_.position(), seen.size());
        EXPECT_EQ(r_.quiesced(), n == ring);
        r_.positionIs(r_.writerSequence());
        w_.notify(42);
        EXPECT_EQ(drain(r_), std::pair(Status::caughtUp, Seens{{42, n + 1u, false}}));
    }
    for (uint32_t s = 0; s < 6; ++s) w_.notify(s);  // sequences 11..16
    EXPECT_EQ(drain(r_, 1, 3).first, Status::more);
    EXPECT_EQ(r_.position(), 13u);
    auto busyAt4 = [](uint32_t s, uint64_t, bool) {
        if (s == 4) throw std::runtime_error("busy");
    };
    EXPECT_THROW(r_.poll(busyAt4), std::runtime_error);
    EXPECT_EQ(r_.position(), 14u);
    EXPECT_EQ(drain(r_, 1, 1).second, (Seens{{4, 15, false}}));
}

// A slot's latest notification is the one validateNotif accepts, also once lapped; a second
// tombstone is refused until the slot is notified again; the writer is quiesced when every client
// applied its latest notification. A slot beyond the positions' record grows it with zeroed
// positions (the file holds a larger record's behind a re-format), and a reader remaps it.
TEST_F(HeraldQueueTest, EachSlotRecordsItsLatestNotificationInARecordThatGrowsAsNeeded) {
    w_.notify(3);
    w_.notify(5);
    w_.notify(3);
    EXPECT_TRUE(w_.tombstone(5));
    EXPECT_FALSE(w_.tombstone(5));
    EXPECT_TRUE(r_.validateNotif(3, 3) && r_.validateNotif(5, 4));
    EXPECT_FALSE(r_.validateNotif(3, 1) || r_.validateNotif(5, 2));
    w_.clientProgressIs("shadow-a", 3);
    w_.clientProgressIs("shadow-b", 4);
    EXPECT_FALSE(w_.quiesced() || w_.clientQuiesced("shadow-a") || w_.clientQuiesced("stranger"));
    EXPECT_TRUE(w_.clientQuiesced("shadow-b"));
    w_.clientProgressIs("shadow-a", 4);
    EXPECT_TRUE(w_.quiesced());
    w_.notify(5);
    EXPECT_FALSE(w_.quiesced());
    w_.onDetach();
    EXPECT_EQ(w_.clients(), 0u);
    EXPECT_TRUE(w_.quiesced());
    EXPECT_TRUE(w_.tombstone(5));
    for (uint32_t s = 10; s < 20; ++s) w_.notify(s);
    EXPECT_FALSE(w_.view().entryAt(3).has_value());
    EXPECT_TRUE(r_.validateNotif(3, 3));
    EXPECT_EQ(validation(w_, 7, 20), "");

    w_.notify(100001);
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
    EXPECT_THROW(w_.notify(HeraldView::maxSlots), Basalt::AssertException);
}

// Each damage: what validation says ("": any error), whether a new reader attaches, and what a
// reader at `from` makes of it: never delivered, it throws and keeps its position, or is a lap.
TEST_F(HeraldQueueTest, EachDamageIsNamedByValidationAndNeverDeliveredByAReader) {
    for (uint32_t s : {3u, 4u, 5u, 6u}) w_.notify(s);  // sequences 1..4
    auto cell = [](uint64_t seq) { return HeraldView::headerSize + 8 * (seq % ring); };
    auto position = [&](uint32_t slot) { return cell(0) + 8 * (ring + slot); };
    enum Poll { skip, throws, lap };
    const uint64_t wideRing = 1 | (uint64_t{1} << 52);  // version 1, ring size 2^20
    const uint64_t hugeCapacity = Mem::VerU32{9, HeraldView::maxSlots}.packed();
    // The word's offset and value, validation's error, whether a reader attaches, the reader's
    // position and what its poll makes of the damage.
    const std::tuple<std::size_t, uint64_t, const char*, bool, uint64_t, Poll> rows[] = {
        {0, 0x1234, "bad magic", false, 0, skip},
        {8, wideRing, "checksum", false, 0, skip},
        {24, hugeCapacity, "bytes, its header needs", false, 0, skip},
        {position(9), 99, "beyond the writer's sequence", true, 0, skip},
        {position(9), 2, "is not its live notification", true, 0, skip},  // slot 4's cell
        {cell(6), Cell::encode(6, 1, false), "beyond the writer's sequence", true, 0, skip},
        {cell(3), Cell::encode(3 + 2 * ring, 5, false), "expected sequence 3", true, 0, lap},
        {cell(3), Cell::encode(3 + ring, 5, false), "", true, 0, lap},
        {cell(3), Cell::encode(3 - ring, 5, false), "", true, 0, throws},
        {cell(2), Cell::encode(2, 1u << 28, false), "", true, 0, throws},  // beyond capacity
        {32, 2, "", true, 4, throws},               // the writer's sequence goes back
        {32, uint64_t{1} << 62, "", true, 0, lap},  // a huge writer sequence
    };
    for (const auto& [offset, value, error, attaches, from, poll] : rows) {
        SCOPED_TRACE(::testing::Message() << "word " << offset << " = " << value);
        const uint64_t was = readAt<uint64_t>(file_, offset);
        poke(offset, value);
        EXPECT_NE(validation(w_).find(error), std::string::npos) << validation(w_);
        EXPECT_FALSE(r_.validateNotif(HeraldView::maxSlots - 1, 1)) << "reads past the file";
        EXPECT_EQ(Reader(debug, rootPath).attach(), attaches);
        r_.positionIs(from);
        if (poll == lap) {
            EXPECT_EQ(r_.poll(never), Status::lapped);
            r_.positionIs(r_.writerSequence());
            EXPECT_EQ(r_.poll(never), Status::caughtUp);
        } else if (poll == throws) {
            EXPECT_THROW(r_.poll(never), Corruption);
            EXPECT_EQ(r_.position(), from);
        }
        poke(offset, was);
    }
}

#ifdef FLOWTABLE_TEST_HOOKS
TEST_F(HeraldTest, NextWriterAdoptsAConsistentQueueFromAWriterKilledInsideANotification) {
    using Point = Herald::HeraldCrashPoint;
    for (const Point point : {Point::afterCell, Point::afterSlotPosition, Point::afterSequence}) {
        const auto fenix = static_cast<uint32_t>(point);  // a fresh queue for each point
        SCOPED_TRACE(fenix);
        Writer(debug, rootPath, 8).attach(fenix);
        Processes p;
        p.start("writer", [&](ChildReport& report) {
            Writer w(debug, rootPath, 8);
            if (w.attach(fenix) != Writer::adopted) return report.fail("not adopted");
            for (uint32_t s = 0; s < 4; ++s) w.notify(s);  // sequences 1..4
            Herald::heraldCrashPointIs(point);
            w.notify(2);  // sequence 5 supersedes sequence 3
            return report.fail("not killed at the crash point");
        });
        EXPECT_EQ(p.wait(0, 128 + SIGKILL), "");
        Writer w(debug, rootPath, 8);
        ASSERT_EQ(w.attach(fenix), Writer::adopted);
        EXPECT_EQ(w.view().slotPosition(2), 5u);
        EXPECT_EQ(validation(w, fenix), "");
        // The half-made notification is completed; sequence 3 is superseded.
        Reader r(debug, rootPath);
        ASSERT_TRUE(r.attach());
        r.positionIs(0);
        EXPECT_EQ(drain(r),
                  std::pair(Status::caughtUp,
                            Seens{{0, 1, false}, {1, 2, false}, {3, 4, false}, {2, 5, false}}));
    }
}
#endif

}  // namespace
