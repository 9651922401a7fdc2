// The bucket table: a header with the published (version, count) pair and one entry per bucket,
// chaining the buckets' runs in bit-reversed order; grown and shrunk by one writer while reader
// processes follow the published count.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "contracts/Basalt/Exception.h"
#include "contracts/HoardBase/BucketTable.h"
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

constexpr std::uint32_t kFenix = 0x00020005;
constexpr std::uint32_t kEnd = SlotLink::endOfList;
constexpr std::uint32_t marker(std::uint32_t b) { return SlotLink::bucketMarker(b); }

// Bucket positions in bit-reversed order, computed bit by bit (independently of the table's own
// successor function).
std::uint32_t reversedPosition(std::uint32_t b, std::uint32_t count) {
    std::uint32_t r = 0;
    for (std::uint32_t bit = 1; bit < count; bit <<= 1) r = (r << 1) | ((b & bit) ? 1 : 0);
    return r;
}
// The entry each bucket holds when every run is empty.
std::vector<std::uint32_t> emptyChain(std::uint32_t count) {
    std::vector<std::uint32_t> order(count), next(count);
    for (std::uint32_t b = 0; b < count; ++b) order[b] = b;
    std::sort(order.begin(), order.end(), [count](std::uint32_t a, std::uint32_t b) {
        return reversedPosition(a, count) < reversedPosition(b, count);
    });
    for (std::uint32_t i = 0; i < count; ++i) {
        next[order[i]] = i + 1 < count ? marker(order[i + 1]) : kEnd;
    }
    return next;
}

class BucketTableTest : public ::testing::Test {
  protected:
    // Reads and writes go through the file, not through a mapping.
    template <class T>
    T peek(std::size_t offset) const {
        T v{};
        const int fd = ::open(path().c_str(), O_RDONLY);
        EXPECT_EQ(::pread(fd, &v, sizeof v, static_cast<off_t>(offset)), ssize_t(sizeof v));
        ::close(fd);
        return v;
    }
    void write(std::size_t offset, const void* data, std::size_t size) const {
        const int fd = ::open(path().c_str(), O_WRONLY | O_CREAT, 0644);
        EXPECT_EQ(::pwrite(fd, data, size, static_cast<off_t>(offset)), ssize_t(size));
        ::close(fd);
    }
    void poke(std::size_t offset, std::uint32_t value) const { write(offset, &value, 4); }
    void truncateTo(std::size_t size) const { ::truncate(path().c_str(), off_t(size)); }
    struct stat fileStat() const {
        struct stat st {};
        EXPECT_EQ(::stat(path().c_str(), &st), 0);
        return st;
    }
    std::string path() const { return rootPath.filePath(BucketTable::fileName); }
    std::vector<std::uint32_t> nexts(const BucketTable& t) const {
        std::vector<std::uint32_t> v;
        for (std::uint32_t b = 0; b < t.count(); ++b) v.push_back(t[b].next);
        return v;
    }
    std::string validationError(const BucketWriterTable& t, std::uint32_t slotCount = 1000) {
        std::string error;
        return t.validate(slotCount, error) ? "valid" : error;
    }
    template <class F>
    static std::string corruption(F f) {
        try {
            f();
        } catch (const Basalt::CorruptionDetectedException& e) {
            return e.what();
        }
        return "none";
    }

    TestSupport::TraceCapture traces;  // keeps the expected level-0 validation traces quiet
    TestSupport::ShmRoot shm;
    std::shared_ptr<Basalt::Platform::DebugHandler> debug =
        Basalt::Platform::getDebugHandler("BucketTableTest");
    Mem::RootPath rootPath{debug, "test/table", true};
    BucketWriterTable writer{debug, rootPath};
};

// The bytes other processes map: header fields at their offsets, then one entry per bucket
// chaining the empty runs in bit-reversed order at every count, growing and shrinking.
TEST_F(BucketTableTest, FileLayoutAndEmptyRunChainsAtEveryCount) {
    ASSERT_EQ(writer.attach(kFenix), BucketWriterTable::newFile);
    ASSERT_EQ(fileStat().st_size, 48);
    EXPECT_EQ(peek<std::uint64_t>(0), 0x544B424452414F48ull);            // "HOARDBKT"
    EXPECT_EQ(peek<std::uint64_t>(8), std::uint64_t{kFenix} << 32 | 1);  // version 1, fenix
    EXPECT_EQ(peek<std::uint64_t>(24), std::uint64_t{32} << 32 | 8);  // entry size 8, entries at 32
    EXPECT_EQ(peek<std::uint64_t>(32), SlotLink::pack({0, marker(1)}));
    EXPECT_EQ(emptyChain(8),
              (std::vector<std::uint32_t>{marker(4), marker(5), marker(6), marker(7), marker(2),
                                          marker(3), marker(1), kEnd}));  // 0 4 2 6 1 5 3 7
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
            ASSERT_EQ(BucketTable::endMarker(b, count), expected[b]) << b << "/" << count;
        }
        ASSERT_EQ(validationError(writer), "valid") << count;
    }
}

// An intact file of the same fenix keeps the index's count and entries; anything else is
// re-formatted to two empty runs, with the pair's version moved on so lagging readers remap
// even when the count is unchanged.
TEST_F(BucketTableTest, ReattachAdoptsAnIntactFileAndReformatsAnyOther) {
    struct Damage {
        const char* what;
        std::uint32_t fenix;
        bool readerAttaches;  // a reader checks only the count and the file's size
        std::function<void()> apply;
    };
    const std::vector<Damage> damages = {
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
    for (const Damage& d : damages) {
        SCOPED_TRACE(d.what);
        writer.cleanup();
        ASSERT_EQ(writer.attach(kFenix), BucketWriterTable::newFile);
        writer.resize(64);
        writer.resize(16);
        writer.linkIs(0, {4, 17});
        const auto kept = nexts(writer);
        writer.detach();
        d.apply();
        EXPECT_EQ(BucketReaderTable(debug, rootPath).attach(), d.readerAttaches);
        if (std::string(d.what) == "intact") {
            ASSERT_EQ(writer.attach(kFenix), BucketWriterTable::adopted);
            EXPECT_EQ(nexts(writer), kept);
            continue;
        }
        ASSERT_EQ(writer.attach(d.fenix), BucketWriterTable::reformatted);
        EXPECT_EQ(writer.header().fenix, d.fenix);
        EXPECT_EQ(nexts(writer), emptyChain(2));
        EXPECT_EQ(validationError(writer), "valid");
        EXPECT_GT(writer.publishedCount().version, 0u);
    }
}

// A grow initialises the new entries and runs the index's split before it publishes the count;
// a refused or failed grow changes nothing.
TEST_F(BucketTableTest, GrowInitialisesNewEntriesBeforePublishingAndARefusedOneChangesNothing) {
    ASSERT_EQ(writer.attach(kFenix), BucketWriterTable::newFile);
    writer.linkIs(0, {4, 7});  // bucket 0 holds slot 7, bucket 1 is empty
    EXPECT_THROW(writer.resize(4), Basalt::AssertException) << "slots need the index's split";
    for (std::uint32_t bad : {0u, 1u, 3u, 1u << 31}) {
        EXPECT_THROW(writer.resize(bad), Basalt::AssertException) << bad;
    }
    EXPECT_THROW(writer.resize(4, [] { throw std::runtime_error("split failed"); }),
                 std::runtime_error);
    EXPECT_EQ(writer.count(), 2u);
    EXPECT_EQ(writer.publishedCount(), (Mem::VerU32{0, 2}));
    EXPECT_EQ(nexts(writer), (std::vector<std::uint32_t>{7, kEnd}));
    EXPECT_EQ(validationError(writer), "valid");

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

// A view never maps a count the file cannot hold: the remap is corruption and the count stays.
// (Following counts the writer publishes is the concurrent run's below.)
TEST_F(BucketTableTest, ViewsNeverMapACountTheFileCannotHold) {
    BucketReaderTable reader(debug, rootPath);
    EXPECT_FALSE(reader.attach()) << "no file yet";
    ASSERT_EQ(writer.attach(kFenix), BucketWriterTable::newFile);
    ASSERT_TRUE(reader.attach());
    std::string error;
    EXPECT_TRUE(reader.validate(kFenix, error) && reader.validate(0, error)) << error;
    EXPECT_FALSE(reader.validate(kFenix + 1, error));
    poke(20, 1024);  // the 48-byte file holds two entries
    const std::string tooBig = "real file size is 48";
    EXPECT_NE(corruption([&] { reader.doResize(); }).find(tooBig), std::string::npos);
    EXPECT_NE(corruption([&] { writer.doResize(); }).find(tooBig), std::string::npos);
    EXPECT_EQ(reader.count(), 2u);
    EXPECT_EQ(corruption([&] { reader.checkResize(); }),
              "BucketReader::checkResize() found mismatch, local numBuckets:2 header "
              "numBuckets:1024");
    EXPECT_EQ(corruption([&] { reader[2]; }),
              "BucketReader::operator[] out-of-range, index:2 max:1");
}

// validate() names the first bad entry; validateFile() notices a removed or replaced file.
TEST_F(BucketTableTest, ValidateNamesTheFirstBadEntryAndValidateFileAReplacedFile) {
    ASSERT_EQ(writer.attach(kFenix), BucketWriterTable::newFile);
    writer.resize(4);  // order 0, 2, 1, 3
    struct Case {
        std::uint32_t bucket, next;
        const char* error;
    };
    const std::vector<Case> cases = {
        {1, 9, nullptr},
        {1, 10, "bucket:1 next slot:10 out of range, slotCount:10"},
        {0, marker(4), "bucket:0 next bucket:4 out of range, expected next bucket:2 numBuckets:4"},
        {1, kEnd, "bucket:1 ends the table, expected next bucket:3 numBuckets:4"},
        {3, marker(0), "bucket:3 next bucket:0, expected the end of the table numBuckets:4"},
    };
    for (const Case& c : cases) {
        const SlotLink saved = writer[c.bucket];
        writer.linkIs(c.bucket, {saved.seq + 4, c.next});
        EXPECT_EQ(validationError(writer, 10),
                  c.error ? "BucketWriter::validate() " + std::string(c.error) : "valid");
        writer.linkIs(c.bucket, saved);
    }
    poke(12, kFenix + 1);
    EXPECT_EQ(validationError(writer),
              "BucketTable::validate() bad fenix:" + std::to_string(kFenix + 1) +
                  " wanted:" + std::to_string(kFenix));

    EXPECT_NO_THROW(writer.validateFile());
    ASSERT_EQ(::unlink(path().c_str()), 0);
    EXPECT_THROW(writer.validateFile(), Basalt::CorruptionDetectedException);
    write(0, "", 0);  // re-created
    truncateTo(4096);
    EXPECT_THROW(writer.validateFile(), Basalt::CorruptionDetectedException);
    writer.cleanup();
    EXPECT_EQ(::access(path().c_str(), F_OK), -1);
}

// A reader process checks the table while the writer grows and shrinks it. Every entry it reads
// below a count it loaded is initialised (the table holds no slots, so only markers) and points
// forward in bit-reversed order; anything else must be explained by a count published since
// that load. The writer leaves garbage where released entries were, so reading entries under a
// count that was never published with them shows. Whenever the writer pauses, the reader checks
// the exact chain.
TEST_F(BucketTableTest, ReaderSeesConsistentCountAndEntriesDuringResizes) {
    const std::uint64_t seed =
        TestSupport::testSeed("ReaderSeesConsistentCountAndEntriesDuringResizes");
    ASSERT_EQ(writer.attach(kFenix), BucketWriterTable::newFile);
    Processes p;
    TestSupport::Signal pause, checked, stop;
    const std::size_t reader = p.start("reader", [&](ChildReport& report) {
        BucketReaderTable r(debug, rootPath);
        if (!r.attach()) return report.fail("cannot attach: " + r.reason());
        p.ready.post();
        Mem::VerU32 last;
        while (!stop.wait(0)) {
            const bool paused = pause.wait(0);
            // Catch the writer right after a publication (a bounded spin, not a wait).
            for (int i = 0; i < 2000 && !paused && r.publishedCount() == last; ++i) {
            }
            last = r.publishedCount();
            r.doResize();  // throws (fails the child) when the file cannot hold the count
            const Mem::VerU32 seen = r.publishedCount();
            const std::uint32_t n = r.count();
            if (seen.value != n && !paused) continue;
            auto entryFault = [&](std::uint32_t b, std::uint32_t next) -> const char* {
                if (paused) return next == BucketTable::endMarker(b, n) ? nullptr : "not the chain";
                if (next == kEnd) return nullptr;
                if (!SlotLink::isBucketMarker(next)) return "uninitialised entry";
                const std::uint32_t c = SlotLink::markerBucket(next);
                if (c >= n) return "marker beyond the count";
                return reversedPosition(c, n) > reversedPosition(b, n) ? nullptr : "backward";
            };
            std::string fault = seen.value != n ? "count moved while paused" : "";
            // Newest entries first: those are the ones a grow has just added.
            for (std::uint32_t b = n; b-- > 0 && fault.empty();) {
                if (const char* f = entryFault(b, r[b].next)) {
                    fault = std::string(f) + " at bucket " + std::to_string(b);
                }
            }
            if (!fault.empty() && (paused || r.publishedCount() == seen)) {
                return report.fail(fault + " of " + std::to_string(n));
            }
            if (paused) checked.post();
        }
        return true;
    });
    ASSERT_TRUE(p.ready.wait(30, p.child(reader))) << p.wait(reader);
    std::mt19937_64 rng(seed);
    for (int round = 0; round < 20; ++round) {
        for (int walk = 0; walk < 200; ++walk) {
            const std::uint32_t target = 2u << (rng() % 12);
            while (writer.count() != target) {
                const std::uint32_t old = writer.count();
                writer.resize(old < target ? old * 2 : old / 2);
                if (old > target) {  // garbage where the released entries were
                    const std::vector<std::uint64_t> junk(old - writer.count(),
                                                          SlotLink::pack({0, 0x7EEEEEEE}));
                    write(BucketTable::fileSizeFor(writer.count()), junk.data(), junk.size() * 8);
                }
            }
        }
        pause.post();
        if (!checked.wait(30, p.child(reader))) break;  // the reader found a fault and ended
    }
    stop.post();
    EXPECT_EQ(p.waitAll(), "") << "seed " << seed;
}

}  // namespace
