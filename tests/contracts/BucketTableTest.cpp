#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "contracts/Basalt/Exception.h"
#include "contracts/HoardBase/BucketTable.h"
#include "tests/support/Fork.h"
#include "tests/support/Seed.h"
#include "tests/support/ShmRoot.h"
#include "tests/support/TraceCapture.h"

namespace {

using Hoard::BucketReaderTable;
using Hoard::BucketTable;
using Hoard::BucketWriterTable;
using Hoard::SlotLink;

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
    std::vector<unsigned char> fileBytes() const {
        std::vector<unsigned char> bytes(fileSize());
        const int fd = ::open(path().c_str(), O_RDONLY);
        EXPECT_EQ(::pread(fd, bytes.data(), bytes.size(), 0), ssize_t(bytes.size()));
        ::close(fd);
        return bytes;
    }
    template <class T>
    static T at(const std::vector<unsigned char>& bytes, std::size_t offset) {
        T v;
        std::memcpy(&v, bytes.data() + offset, sizeof v);
        return v;
    }
    // Writes through the file, not through a mapping.
    void write(std::size_t offset, const void* data, std::size_t size) const {
        const int fd = ::open(path().c_str(), O_WRONLY);
        EXPECT_EQ(::pwrite(fd, data, size, static_cast<off_t>(offset)), ssize_t(size));
        ::close(fd);
    }
    template <class T>
    void poke(std::size_t offset, T value) const {
        write(offset, &value, sizeof value);
    }
    void truncateTo(std::size_t size) const {
        ASSERT_EQ(::truncate(path().c_str(), static_cast<off_t>(size)), 0);
    }
    std::size_t fileSize() const {
        struct stat st {};
        return ::stat(path().c_str(), &st) == 0 ? std::size_t(st.st_size) : 0;
    }
    // Fills entries [from, to) with slot indices.
    void poison(std::uint32_t from, std::uint32_t to) const {
        const std::vector<std::uint64_t> junk(to - from, SlotLink::pack({0, 0x7EEEEEEE}));
        write(BucketTable::fileSizeFor(from), junk.data(), junk.size() * 8);
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

// ---- File layout ----------------------------------------------------------------------------

TEST_F(BucketTableTest, NewFileHasHeaderFieldsAtTheirOffsetsAndTwoEmptyRuns) {
    ASSERT_EQ(writer.attach(kFenix), BucketWriterTable::newFile);
    const auto bytes = fileBytes();
    ASSERT_EQ(bytes.size(), 48u);
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 8), "HOARDBKT");
    EXPECT_EQ(at<std::uint32_t>(bytes, 8), 1u);
    EXPECT_EQ(at<std::uint32_t>(bytes, 12), kFenix);
    EXPECT_EQ(at<std::uint32_t>(bytes, 16), 0u);  // count version
    EXPECT_EQ(at<std::uint32_t>(bytes, 20), 2u);  // count
    EXPECT_EQ(at<std::uint32_t>(bytes, 24), 8u);
    EXPECT_EQ(at<std::uint32_t>(bytes, 28), 32u);
    EXPECT_EQ(at<std::uint64_t>(bytes, 32), SlotLink::pack({0, marker(1)}));
    EXPECT_EQ(at<std::uint64_t>(bytes, 40), SlotLink::pack({0, kEnd}));
    EXPECT_EQ(writer.headerToString(),
              "BucketTable::Header() magic:0x544b424452414f48 version:1 fenix:131077 "
              "numBuckets:2(v0) entrySize:8 headerSize:32");
    EXPECT_EQ(validationError(writer), "valid");
}

TEST_F(BucketTableTest, EveryGrowthChainsTheEmptyRunsInBitReversedOrder) {
    ASSERT_EQ(writer.attach(kFenix), BucketWriterTable::newFile);
    const std::vector<std::uint32_t> eight = {marker(4), marker(5), marker(6), marker(7),
                                              marker(2), marker(3), marker(1), kEnd};
    EXPECT_EQ(emptyChain(8), eight);  // order 0, 4, 2, 6, 1, 5, 3, 7
    for (std::uint32_t count = 4, version = 1; count <= 4096; count *= 2, ++version) {
        writer.resize(count);
        const auto bytes = fileBytes();
        ASSERT_GE(bytes.size(), BucketTable::fileSizeFor(count));
        EXPECT_EQ(at<std::uint32_t>(bytes, 16), version);
        ASSERT_EQ(at<std::uint32_t>(bytes, 20), count);
        const auto expected = emptyChain(count);
        for (std::uint32_t b = 0; b < count; ++b) {
            ASSERT_EQ(at<std::uint32_t>(bytes, 32 + 8 * b + 4), expected[b]) << b << "/" << count;
            ASSERT_EQ(BucketTable::endMarker(b, count), expected[b]) << b << "/" << count;
        }
        ASSERT_EQ(validationError(writer), "valid") << count;
    }
    for (std::uint32_t count = 2048; count >= 2; count /= 2) {
        writer.resize(count);
        ASSERT_EQ(nexts(writer), emptyChain(count)) << count;
        ASSERT_EQ(validationError(writer), "valid") << count;
    }
}

// ---- Attach: new, adopted, re-formatted -----------------------------------------------------

TEST_F(BucketTableTest, SameFenixAdoptsTheFileWithItsCountAndEntries) {
    ASSERT_EQ(writer.attach(kFenix), BucketWriterTable::newFile);
    writer.resize(64);
    writer.resize(8);
    writer.linkIs(0, {4, 17});
    const auto before = nexts(writer);
    writer.detach();
    ASSERT_EQ(writer.attach(kFenix), BucketWriterTable::adopted);
    EXPECT_EQ(writer.count(), 8u);
    EXPECT_EQ(nexts(writer), before);
    EXPECT_GE(fileSize(), BucketTable::fileSizeFor(64)) << "a shrink never cuts the file";
}

TEST_F(BucketTableTest, ForeignFenixOrBrokenFileIsReformatted) {
    struct Damage {
        const char* what;
        std::function<void()> apply;
    };
    const std::vector<Damage> damages = {
        {"other fenix", [] {}},
        {"bad magic", [&] { poke<std::uint8_t>(3, 'X'); }},
        {"bad version", [&] { poke<std::uint32_t>(8, 2); }},
        {"count not a power of two", [&] { poke<std::uint32_t>(20, 12); }},
        {"count zero", [&] { poke<std::uint32_t>(20, 0); }},
        {"count beyond the maximum", [&] { poke<std::uint32_t>(20, 1u << 31); }},
        {"bad entry size", [&] { poke<std::uint32_t>(24, 16); }},
        {"file shorter than its count", [&] { truncateTo(BucketTable::fileSizeFor(16) - 1); }},
        {"file shorter than a header", [&] { truncateTo(10); }},
    };
    for (const Damage& d : damages) {
        SCOPED_TRACE(d.what);
        writer.cleanup();
        ASSERT_EQ(writer.attach(kFenix), BucketWriterTable::newFile);
        writer.resize(16);
        writer.detach();
        d.apply();
        const std::uint32_t fenix = std::string(d.what) == "other fenix" ? kFenix + 1 : kFenix;
        ASSERT_EQ(writer.attach(fenix), BucketWriterTable::reformatted);
        EXPECT_EQ(writer.count(), 2u);
        EXPECT_EQ(writer.header().fenix, fenix);
        EXPECT_EQ(nexts(writer), emptyChain(2));
        EXPECT_EQ(validationError(writer), "valid");
        // Lagging readers see the pair's version move on, even when the count is unchanged.
        EXPECT_GT(writer.publishedCount().version, 0u);
    }
}

// ---- Resize: mapping and publication order --------------------------------------------------

TEST_F(BucketTableTest, GrowMapsAndInitialisesNewEntriesBeforePublishing) {
    ASSERT_EQ(writer.attach(kFenix), BucketWriterTable::newFile);
    writer.linkIs(0, {4, 7});  // bucket 0 holds slot 7, bucket 1 is empty
    bool called = false;
    writer.resize(4, [&] {
        called = true;
        EXPECT_EQ(writer.publishedCount(), (Mem::VerU32{0, 2}));
        EXPECT_EQ(writer.count(), 4u);
        EXPECT_EQ(writer[2].next, marker(1));  // empty run of bucket 2 in the new order
        EXPECT_EQ(writer[3].next, kEnd);
        writer.linkIs(2, {writer[2].seq + 4, 9});  // the index's split: slot 9 starts run 2
    });
    ASSERT_TRUE(called);
    EXPECT_EQ(writer.publishedCount(), (Mem::VerU32{1, 4}));
    // The old runs are the caller's to cut.
    EXPECT_EQ(nexts(writer), (std::vector<std::uint32_t>{7, kEnd, 9, kEnd}));
}

TEST_F(BucketTableTest, ShrinkPublishesFirstAndReleasesTheTailAfterTheGraceButKeepsTheFileSize) {
    ASSERT_EQ(writer.attach(kFenix), BucketWriterTable::newFile);
    writer.resize(8192);
    writer.linkIs(0, {4, 3});
    struct stat big {};
    ASSERT_EQ(::stat(path().c_str(), &big), 0);
    writer.resize(2, [&] {
        EXPECT_EQ(writer.publishedCount().value, 8192u) << "joins run before publication";
        writer.linkIs(1, {writer[1].seq + 4, kEnd});
    });
    EXPECT_EQ(writer.publishedCount().value, 2u);
    EXPECT_EQ(nexts(writer), (std::vector<std::uint32_t>{3, kEnd}));
    struct stat small {};
    ASSERT_EQ(::stat(path().c_str(), &small), 0);
    EXPECT_EQ(small.st_size, big.st_size);
    // The tail stays backed for the release grace (a reader may still walk it), then goes.
    EXPECT_EQ(small.st_blocks, big.st_blocks);
    writer.releaseGraceIs(0);
    EXPECT_TRUE(writer.releaseTail());
    ASSERT_EQ(::stat(path().c_str(), &small), 0);
    EXPECT_LT(small.st_blocks, big.st_blocks) << "the tail's pages were punched out";
}

TEST_F(BucketTableTest, RefusedResizeChangesNothing) {
    ASSERT_EQ(writer.attach(kFenix), BucketWriterTable::newFile);
    writer.linkIs(1, {4, 5});
    EXPECT_THROW(writer.resize(4), Basalt::AssertException) << "slots need the index's split";
    for (std::uint32_t bad : {0u, 1u, 3u, 1u << 31}) {
        EXPECT_THROW(writer.resize(bad), Basalt::AssertException) << bad;
    }
    EXPECT_THROW(writer.resize(4, [] { throw std::runtime_error("split failed"); }),
                 std::runtime_error);
    EXPECT_EQ(writer.count(), 2u);
    EXPECT_EQ(writer.publishedCount(), (Mem::VerU32{0, 2}));
    EXPECT_EQ(nexts(writer), (std::vector<std::uint32_t>{marker(1), 5}));
    EXPECT_EQ(validationError(writer), "valid");
    EXPECT_EQ(corruption([&] { writer.entry(2); }),
              "BucketWriter::operator[] out-of-range, index:2 max:1");
}

TEST_F(BucketTableTest, WriterNoticesACountChangedBehindItsBack) {
    ASSERT_EQ(writer.attach(kFenix), BucketWriterTable::newFile);
    writer.resize(8);
    writer.resize(2);
    poke<std::uint32_t>(20, 8);
    EXPECT_EQ(corruption([&] { writer.checkResize(); }),
              "BucketWriter::checkResize() found mismatch, local numBuckets:2 header "
              "numBuckets:8");
    EXPECT_NE(validationError(writer).find("differs from mapped numBuckets:2"), std::string::npos);
    EXPECT_TRUE(writer.doResize());
    EXPECT_EQ(writer.count(), 8u);
    poke<std::uint32_t>(20, 1u << 20);
    EXPECT_NE(corruption([&] { writer.doResize(); }).find("real file size is"), std::string::npos);
}

// ---- Validation -----------------------------------------------------------------------------

TEST_F(BucketTableTest, ValidateNamesTheFirstBadEntry) {
    ASSERT_EQ(writer.attach(kFenix), BucketWriterTable::newFile);
    writer.resize(4);  // order 0, 2, 1, 3
    struct Case {
        std::uint32_t bucket, next;
        const char* error;
    };
    const std::vector<Case> cases = {
        {1, 9, "valid"},
        {1, 10, "BucketWriter::validate() bucket:1 next slot:10 out of range, slotCount:10"},
        {0, marker(4),
         "BucketWriter::validate() bucket:0 next bucket:4 out of range, expected next bucket:2 "
         "numBuckets:4"},
        {2, marker(3),
         "BucketWriter::validate() bucket:2 next bucket:3, expected next bucket:1 numBuckets:4"},
        {1, kEnd,
         "BucketWriter::validate() bucket:1 ends the table, expected next bucket:3 "
         "numBuckets:4"},
        {3, marker(0),
         "BucketWriter::validate() bucket:3 next bucket:0, expected the end of the table "
         "numBuckets:4"},
    };
    for (const Case& c : cases) {
        const SlotLink saved = writer[c.bucket];
        writer.linkIs(c.bucket, {saved.seq + 4, c.next});
        EXPECT_EQ(validationError(writer, 10), c.error);
        writer.linkIs(c.bucket, saved);
    }
    poke<std::uint32_t>(12, kFenix + 1);
    EXPECT_EQ(validationError(writer),
              "BucketTable::validate() bad fenix:" + std::to_string(kFenix + 1) +
                  " wanted:" + std::to_string(kFenix));
}

TEST_F(BucketTableTest, ValidateFileNoticesARemovedOrReplacedFile) {
    ASSERT_EQ(writer.attach(kFenix), BucketWriterTable::newFile);
    EXPECT_NO_THROW(writer.validateFile());
    ASSERT_EQ(::unlink(path().c_str()), 0);
    EXPECT_THROW(writer.validateFile(), Basalt::CorruptionDetectedException);
    const int fd = ::open(path().c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, 4096), 0);
    ::close(fd);
    EXPECT_THROW(writer.validateFile(), Basalt::CorruptionDetectedException);
    writer.cleanup();
    EXPECT_EQ(::access(path().c_str(), F_OK), -1);
}

// ---- Crash points ---------------------------------------------------------------------------

TEST_F(BucketTableTest, CrashBeforePublicationLeavesTheOldCountAdoptable) {
    ASSERT_EQ(writer.attach(kFenix), BucketWriterTable::newFile);
    writer.detach();
    TestSupport::Child crash([&] {
        BucketWriterTable w(debug, rootPath);
        w.attach(kFenix);
        w.resize(64, [] { ::raise(SIGKILL); });
        return true;
    });
    ASSERT_EQ(crash.wait(), 128 + SIGKILL);
    ASSERT_EQ(writer.attach(kFenix), BucketWriterTable::adopted);
    EXPECT_EQ(writer.count(), 2u);
    EXPECT_EQ(validationError(writer), "valid");
}

TEST_F(BucketTableTest, CrashBetweenPublicationAndCutFailsValidation) {
    ASSERT_EQ(writer.attach(kFenix), BucketWriterTable::newFile);
    writer.detach();
    TestSupport::Child crash([&] {
        BucketWriterTable w(debug, rootPath);
        w.attach(kFenix);
        w.resize(4, [] {});  // published; the index would now cut runs 0 and 1
        ::raise(SIGKILL);
        return true;
    });
    ASSERT_EQ(crash.wait(), 128 + SIGKILL);
    ASSERT_EQ(writer.attach(kFenix), BucketWriterTable::adopted);
    EXPECT_EQ(validationError(writer),
              "BucketWriter::validate() bucket:0 next bucket:1, expected next bucket:2 "
              "numBuckets:4");
}

// ---- Reader ---------------------------------------------------------------------------------

TEST_F(BucketTableTest, ReaderFollowsTheWriterByRemapping) {
    BucketReaderTable reader(debug, rootPath);
    EXPECT_FALSE(reader.attach()) << "no file yet";
    ASSERT_EQ(writer.attach(kFenix), BucketWriterTable::newFile);
    ASSERT_TRUE(reader.attach());
    std::string error;
    EXPECT_TRUE(reader.validate(kFenix, error)) << error;
    EXPECT_TRUE(reader.validate(0, error)) << error;
    EXPECT_FALSE(reader.validate(kFenix + 1, error));
    writer.resize(4096);
    EXPECT_EQ(reader.count(), 2u) << "the mapped count stays until a remap";
    EXPECT_EQ(corruption([&] { reader.checkResize(); }),
              "BucketReader::checkResize() found mismatch, local numBuckets:2 header "
              "numBuckets:4096");
    ASSERT_TRUE(reader.doResize());
    EXPECT_FALSE(reader.doResize());
    EXPECT_EQ(reader.count(), 4096u);
    EXPECT_EQ(nexts(reader), emptyChain(4096));
    writer.resize(4);
    ASSERT_TRUE(reader.doResize());
    EXPECT_EQ(nexts(reader), emptyChain(4));
    EXPECT_EQ(reader.remaps(), 2u);
    EXPECT_EQ(corruption([&] { reader[4]; }),
              "BucketReader::operator[] out-of-range, index:4 max:3");
}

TEST_F(BucketTableTest, ReaderRefusesToMapPastTheEndOfATruncatedFile) {
    ASSERT_EQ(writer.attach(kFenix), BucketWriterTable::newFile);
    BucketReaderTable reader(debug, rootPath);
    ASSERT_TRUE(reader.attach());
    writer.resize(1024);
    writer.detach();
    truncateTo(BucketTable::fileSizeFor(2));
    EXPECT_NE(corruption([&] { reader.doResize(); }).find("real file size is 48"),
              std::string::npos);
    EXPECT_EQ(reader.count(), 2u);
    BucketReaderTable late(debug, rootPath);
    EXPECT_FALSE(late.attach());
    EXPECT_NE(late.reason().find("real file size is 48"), std::string::npos) << late.reason();
}

// Random damage to the header, the entries and the file's length: every reader operation either
// works or reports corruption, and a writer re-attaching ends with a usable file. Runs in a
// child, so that a crash is a failed status instead of a lost test program.
TEST_F(BucketTableTest, ReaderNeverCrashesOnADamagedFile) {
    const std::uint64_t seed = TestSupport::testSeed("ReaderNeverCrashesOnADamagedFile");
    TestSupport::Child child([&] {
        std::mt19937_64 rng(seed);
        for (int round = 0; round < 300; ++round) {
            BucketWriterTable w(debug, rootPath);
            w.cleanup();
            w.attach(kFenix);
            w.resize(2u << (rng() % 10));
            w.detach();
            const std::size_t size = fileSize();
            for (int i = 0, n = 1 + int(rng() % 4); i < n; ++i) {
                const std::size_t offset = rng() % std::min<std::size_t>(size, 64) & ~3u;
                poke<std::uint32_t>(offset, rng() % 2 ? std::uint32_t(rng()) : 1u << (rng() % 32));
            }
            if (rng() % 3 == 0) truncateTo(rng() % (size + 1));
            BucketReaderTable r(debug, rootPath);
            if (r.attach()) {
                std::string error;
                r.validate(rng() % 2 ? kFenix : 0, error);
                try {
                    r.doResize();
                    r.checkResize();
                    std::uint32_t b = 0;
                    for (std::uint32_t hops = 0; hops <= r.count(); ++hops) {
                        const std::uint32_t next = r[b].next;
                        if (!SlotLink::isBucketMarker(next)) break;
                        b = SlotLink::markerBucket(next);
                    }
                } catch (const Basalt::CorruptionDetectedException&) {
                }
            }
            const int result = w.attach(kFenix);
            if (result != BucketWriterTable::adopted && w.count() != 2) return false;
        }
        return true;
    });
    EXPECT_EQ(child.wait(), 0) << "seed " << seed;
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
    TestSupport::Signal ready, pause, checked, failed, stop;
    TestSupport::Child readerProcess([&] {
        BucketReaderTable r(debug, rootPath);
        if (!r.attach()) return false;
        ready.post();
        Mem::VerU32 last;
        for (;;) {
            if (stop.wait(0)) return true;
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
                if (const char* f = entryFault(b, r[b].next)) fault = f;
            }
            if (!fault.empty() && (paused || r.publishedCount() == seen)) {
                std::fprintf(stderr, "reader: %s at numBuckets %u\n", fault.c_str(), n);
                failed.post();
                checked.post();
                return false;
            }
            if (paused) checked.post();
        }
    });
    ASSERT_TRUE(ready.wait());
    std::mt19937_64 rng(seed);
    for (int round = 0; round < 20; ++round) {
        for (int walk = 0; walk < 200; ++walk) {
            const std::uint32_t target = 2u << (rng() % 12);
            while (writer.count() != target) {
                const std::uint32_t old = writer.count();
                writer.resize(old < target ? old * 2 : old / 2);
                if (old > target) poison(writer.count(), old);
            }
        }
        pause.post();
        ASSERT_TRUE(checked.wait()) << "round " << round << " seed " << seed;
        if (failed.wait(0)) break;
    }
    stop.post();
    EXPECT_EQ(readerProcess.wait(), 0) << "seed " << seed;
}

}  // namespace
