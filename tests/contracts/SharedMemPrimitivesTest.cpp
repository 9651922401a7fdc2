// The small shared-memory primitives: the fenix file, the owner record and its record lock, the
// writer lock across real processes (holders, waiters, crashes, forks, re-created files), and
// process-private memory.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "contracts/Basalt/DebugHandler.h"
#include "contracts/Basalt/Exception.h"
#include "contracts/Mem/Local.h"
#include "contracts/Mem/RootPath.h"
#include "contracts/Mem/WriterLock.h"
#include "contracts/SharedMem/FenixFile.h"
#include "contracts/SharedMem/OwnerFile.h"
#include "tests/support/Fork.h"
#include "tests/support/Seed.h"
#include "tests/support/ShmRoot.h"
#include "tests/support/TraceCapture.h"

namespace {

using namespace std::chrono_literals;
using SharedMem::FenixFile;
using SharedMem::FenixId;
using SharedMem::OwnerFile;
using SharedMem::OwnerRecord;
using SharedMem::ShocketInfo;

std::shared_ptr<Basalt::Platform::DebugHandler> debug() {
    return Basalt::Platform::getDebugHandler("SharedMemPrimitivesTest");
}

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string selfComm() {
    std::ifstream in("/proc/self/comm");
    std::string name;
    std::getline(in, name);
    return name;
}

// True when an open file description other than the caller's holds a lock on the owner record.
bool recordLockedElsewhere(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR);
    if (fd < 0) return false;
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_len = SharedMem::kOwnerRecordSize;
    const bool locked = ::fcntl(fd, F_OFD_GETLK, &fl) == 0 && fl.l_type != F_UNLCK;
    ::close(fd);
    return locked;
}

class Primitives : public ::testing::Test {
  protected:
    Primitives() { writerRoot.ensureDirectory(); }

    std::string ownerPath() const { return writerRoot.filePath(OwnerFile::kFileName); }
    std::string fenixPath() const { return writerRoot.filePath(FenixFile::kFileName); }

    // Takes the writer lock in this process; false when it is busy right now.
    bool tryAcquire(Mem::WriterLock& lock) {
        OwnerFile owner(debug(), writerRoot, false);
        lock.retryIs(1ms, 0ms);
        try {
            lock.acquireWriterLock(debug(), writerRoot, owner);
            return true;
        } catch (const Basalt::InvalidInitializeException&) {
            return false;
        }
    }

    TestSupport::ShmRoot shm;
    Mem::RootPath writerRoot{debug(), "flows/prim", true};
    Mem::RootPath readerRoot{debug(), "flows/prim", false};
};

// ---- Fenix ------------------------------------------------------------------------------------

TEST_F(Primitives, FenixRoundTripsThroughAnotherProcessAndStampsTheTime) {
    FenixFile writer(debug(), writerRoot);
    const double before = static_cast<double>(std::time(nullptr));
    writer.write(FenixId(0xDEADBEEF));
    TestSupport::Child reader([&] {
        FenixFile f(debug(), readerRoot);
        return f.read() == FenixId(0xDEADBEEF) && f.validate(FenixId(0xDEADBEEF)) &&
               !f.validate(FenixId(1));
    });
    EXPECT_EQ(reader.wait(), 0);
    EXPECT_GE(writer.mtime(), before - 1);
    EXPECT_LE(writer.mtime(), static_cast<double>(std::time(nullptr)) + 1);
    writer.write(FenixId(5));
    EXPECT_EQ(writer.read(), FenixId(5));
    EXPECT_EQ(readFile(fenixPath()).size(), FenixFile::kFileSize);
}

TEST_F(Primitives, FenixReadsZeroForMissingShortGarbageAndForeignFiles) {
    FenixFile f(debug(), readerRoot);
    EXPECT_EQ(f.read(), FenixId());
    EXPECT_EQ(f.mtime(), 0.0);
    // The right magic and a fenix, but shorter than the format's page.
    writeFile(fenixPath(), std::string("FENX\x07\x00\x00\x00", 8));
    EXPECT_EQ(f.read(), FenixId());
    std::string page(FenixFile::kFileSize, '\x5a');
    writeFile(fenixPath(), page);
    EXPECT_EQ(f.read(), FenixId());
    // A symbolic link is never followed, even to a good file.
    FenixFile(debug(), writerRoot).write(FenixId(9));
    ASSERT_EQ(::rename(fenixPath().c_str(), (shm.path() + "/good").c_str()), 0);
    ASSERT_EQ(::symlink((shm.path() + "/good").c_str(), fenixPath().c_str()), 0);
    EXPECT_EQ(f.read(), FenixId());
    EXPECT_EQ(f.mtime(), 0.0);
    EXPECT_THROW(FenixFile(debug(), writerRoot).write(FenixId(3)),
                 Basalt::InvalidInitializeException);
    ::unlink(fenixPath().c_str());
    ASSERT_EQ(::mkdir(fenixPath().c_str(), 0755), 0);
    EXPECT_EQ(f.read(), FenixId());
}

TEST_F(Primitives, FenixWriteRepairsGarbageAndReadersMayNotWrite) {
    writeFile(fenixPath(), "garbage");
    FenixFile(debug(), writerRoot).write(FenixId(77));
    EXPECT_EQ(FenixFile(debug(), readerRoot).read(), FenixId(77));
    EXPECT_THROW(FenixFile(debug(), readerRoot).write(FenixId(1)), Basalt::NoPermissionException);
}

// Values whose four bytes are equal: a torn read would mix bytes of two of them.
TEST_F(Primitives, FenixReaderNeverSeesATornValue) {
    FenixFile(debug(), writerRoot).write(FenixId(0x01010101));
    TestSupport::Signal done;
    TestSupport::Child writer([&] {
        FenixFile f(debug(), writerRoot);
        for (std::uint32_t i = 0; i < 20000; ++i)
            f.write(FenixId((i % 2 ? 0xFEu : 0x01u) * 0x01010101u));
        done.post();
        return true;
    });
    FenixFile f(debug(), readerRoot);
    std::uint64_t reads = 0;
    do {
        for (int i = 0; i < 100; ++i, ++reads) {
            const std::uint32_t v = f.read().value();
            ASSERT_TRUE(v == 0x01010101u || v == 0xFEFEFEFEu)
                << std::hex << v << " after " << reads;
        }
    } while (!done.wait(0));
    EXPECT_EQ(writer.wait(), 0);
}

// ---- Owner record -----------------------------------------------------------------------------

TEST(ShocketNames, ParseNameAndNumber) {
    SharedMem::ShocketName n;
    ASSERT_TRUE(n.ShocketNameIs("@hoard.kick.4294967295"));
    EXPECT_EQ(n.name(), "@hoard.kick");
    EXPECT_EQ(n.number(), 4294967295u);
    EXPECT_EQ(n.toString(), "@hoard.kick.4294967295");
    for (const char* bad : {"", "kick", "kick.", ".5", "kick.4294967296", "kick.-1", "kick.1a",
                            "kick. 1", "kick.+1"}) {
        EXPECT_FALSE(n.ShocketNameIs(bad)) << bad;
        EXPECT_FALSE(n.valid());
        EXPECT_EQ(n.number(), 0u);
    }
    EXPECT_EQ(ShocketInfo("s", ShocketInfo::kAnyTable).toString(), "socketName:s tableId:-1");
}

TEST_F(Primitives, NewOwnerFileHoldsAValidEmptyRecord) {
    OwnerFile readerView(debug(), readerRoot, false);
    std::string error;
    EXPECT_FALSE(readerView.validate(error));
    EXPECT_NE(error.find("missing"), std::string::npos) << error;
    EXPECT_TRUE(readerView.shocketInfo().empty());
    {
        OwnerFile owner(debug(), writerRoot, false);
        auto guard = owner.lock();
    }
    EXPECT_EQ(readFile(ownerPath()).size(), SharedMem::kOwnerRecordSize);
    EXPECT_TRUE(readerView.validate());
    EXPECT_TRUE(readerView.shocketInfo().empty());
    EXPECT_EQ(readerView.ownerPid(), 0);
}

TEST_F(Primitives, OwnerRecordRoundTripsAndReadersNeverWrite) {
    OwnerFile owner(debug(), writerRoot, false);
    const ShocketInfo info(std::string(OwnerRecord::kMaxSocketName, 'k'), 42);
    owner.shocketInfoIs(info);
    owner.fenixIs(FenixId(0x10203));
    OwnerFile readerView(debug(), readerRoot, false);
    EXPECT_EQ(readerView.shocketInfo(), info);
    EXPECT_EQ(readerView.ownerPid(), ::getpid());
    EXPECT_EQ(readerView.fenix(), FenixId(0x10203));
    EXPECT_NO_THROW(readerView.validateFile());
    const std::string header = readerView.headerToString();
    EXPECT_NE(header.find("pid:" + std::to_string(::getpid())), std::string::npos) << header;
    EXPECT_NE(header.find("fenix:66051"), std::string::npos) << header;
    EXPECT_NE(header.find("tableId:42"), std::string::npos) << header;
    // Clearing keeps the fenix.
    owner.shocketInfoIs(ShocketInfo());
    EXPECT_TRUE(readerView.shocketInfo().empty());
    EXPECT_EQ(readerView.fenix(), FenixId(0x10203));

    const std::string before = readFile(ownerPath());
    EXPECT_THROW(auto g = readerView.lock(), Basalt::NoPermissionException);
    EXPECT_THROW(readerView.shocketInfoIs(info), Basalt::NoPermissionException);
    EXPECT_EQ(readFile(ownerPath()), before);
    EXPECT_THROW(
        owner.shocketInfoIs(ShocketInfo(std::string(OwnerRecord::kMaxSocketName + 1, 'k'), 1)),
        Basalt::InvalidInitializeException);
    EXPECT_THROW(owner.shocketInfoIs(ShocketInfo(std::string("a\0b", 3), 1)),
                 Basalt::InvalidInitializeException);
}

TEST_F(Primitives, MalformedOwnerRecordsFailValidationWithTheReason) {
    OwnerFile owner(debug(), writerRoot, false);
    owner.shocketInfoIs(ShocketInfo("@kick.7", 3));
    const std::string good = readFile(ownerPath());
    auto at = [&](std::size_t offset, std::uint32_t v) {
        std::string s = good;
        std::memcpy(s.data() + offset, &v, 4);
        return s;
    };
    auto withChecksum = [&](std::string s) {
        OwnerRecord r;
        std::memcpy(&r, s.data(), sizeof r);
        r.checksum = r.computeChecksum();
        std::memcpy(s.data(), &r, sizeof r);
        return s;
    };
    struct Case {
        std::string bytes;
        const char* reason;
    };
    const std::vector<Case> cases = {
        {good.substr(0, 10), "has 10 bytes"},
        {good + "x", "has 137 bytes"},
        {withChecksum(at(0, 0x12345678)), "bad magic 0x12345678"},
        {withChecksum(at(4, 2)), "bad version 2"},
        {withChecksum(at(20, 0xFFFFFFF0u)), "bad socket name length"},
        {withChecksum(at(8, 0xFFFFFFFFu)), "bad pid -1"},
        {withChecksum(at(24, 0x00006b40)), "NUL"},       // "@k\0\0" inside the name
        {withChecksum(at(100, 1)), "padding not zero"},  // a byte after the name
        {at(16, 5), "bad checksum"},                     // the table id, checksum not recomputed
    };
    for (const Case& c : cases) {
        writeFile(ownerPath(), c.bytes);
        std::string error;
        EXPECT_FALSE(owner.validate(error)) << c.reason;
        EXPECT_NE(error.find(c.reason), std::string::npos) << error;
        EXPECT_THROW(owner.validateFile(), Basalt::CorruptionDetectedException) << c.reason;
        EXPECT_THROW(owner.shocketInfo(), Basalt::CorruptionDetectedException) << c.reason;
        EXPECT_EQ(owner.ownerPid(), 0) << c.reason;
        EXPECT_NE(owner.headerToString().find("malformed"), std::string::npos) << c.reason;
        // Stamping the pid leaves the corruption visible; storing socket information replaces it.
        owner.ownerPidIs(::getpid());
        EXPECT_FALSE(owner.validate()) << c.reason;
        owner.shocketInfoIs(ShocketInfo("@kick.8", 4));
        EXPECT_TRUE(owner.validate()) << c.reason;
        EXPECT_EQ(readFile(ownerPath()).size(), SharedMem::kOwnerRecordSize);
    }
    writeFile(ownerPath(), "");
    EXPECT_FALSE(owner.validate());
    EXPECT_TRUE(owner.shocketInfo().empty());
}

TEST_F(Primitives, EverySingleByteCorruptionOfTheOwnerRecordIsDetected) {
    OwnerFile owner(debug(), writerRoot, false);
    owner.shocketInfoIs(ShocketInfo("@hoard-kick.1234", ShocketInfo::kAnyTable));
    owner.fenixIs(FenixId(99));
    const std::string good = readFile(ownerPath());
    std::mt19937_64 rng(
        TestSupport::testSeed("EverySingleByteCorruptionOfTheOwnerRecordIsDetected"));
    for (int i = 0; i < 2000; ++i) {
        std::string bad = good;
        const std::size_t offset = rng() % bad.size();
        bad[offset] = static_cast<char>(bad[offset] ^ static_cast<char>(1 + rng() % 255));
        writeFile(ownerPath(), bad);
        ASSERT_FALSE(owner.validate()) << "offset " << offset;
    }
}

TEST_F(Primitives, RecordLockNestsAndExcludesOtherProcesses) {
    OwnerFile owner(debug(), writerRoot, false);
    auto outer = owner.lock();
    EXPECT_TRUE(recordLockedElsewhere(ownerPath()));
    owner.shocketInfoIs(ShocketInfo("@kick.1", 1));  // nests inside the outer lock
    EXPECT_TRUE(recordLockedElsewhere(ownerPath()));

    TestSupport::Signal trying, got;
    TestSupport::Child other([&] {
        OwnerFile mine(debug(), writerRoot, false);
        trying.post();
        auto g = mine.lock();
        got.post();
        return true;
    });
    ASSERT_TRUE(trying.wait());
    // Safety-net bound only: the other process must not get the lock while we hold it.
    EXPECT_FALSE(got.wait(0.2));
    outer.release();
    EXPECT_TRUE(got.wait());
    EXPECT_EQ(other.wait(), 0);
    EXPECT_FALSE(recordLockedElsewhere(ownerPath()));
}

TEST_F(Primitives, ForkedChildCannotReleaseTheParentsRecordLock) {
    OwnerFile owner(debug(), writerRoot, false);
    auto guard = owner.lock();
    TestSupport::Child child([&] {
        guard.release();  // the child's copy: its descriptor was closed at fork
        return recordLockedElsewhere(ownerPath());
    });
    EXPECT_EQ(child.wait(), 0);
    EXPECT_TRUE(owner.locked());
    EXPECT_TRUE(recordLockedElsewhere(ownerPath()));
}

TEST_F(Primitives, RecordLockFollowsAReplacedFile) {
    OwnerFile owner(debug(), writerRoot, false);
    auto guard = owner.lock();
    writerRoot.removeFile(OwnerFile::kFileName);
    writeFile(ownerPath(), "");
    EXPECT_FALSE(recordLockedElsewhere(ownerPath()));
    owner.refreshLock();
    EXPECT_TRUE(recordLockedElsewhere(ownerPath()));
    EXPECT_TRUE(owner.validate());  // the new empty file was given an empty record
}

TEST_F(Primitives, LocalOwnerFileHasNoFile) {
    OwnerFile owner(debug(), writerRoot, true);
    auto guard = owner.lock();
    owner.shocketInfoIs(ShocketInfo("@kick.3", 3));
    EXPECT_EQ(owner.shocketInfo(), ShocketInfo("@kick.3", 3));
    EXPECT_TRUE(owner.validate());
    Mem::WriterLock lock;
    lock.acquireWriterLock(debug(), writerRoot, owner);
    EXPECT_TRUE(lock.ownerIsMe());
    EXPECT_FALSE(Mem::WriterLock::ownerIsAlive(writerRoot));
    EXPECT_EQ(::access(ownerPath().c_str(), F_OK), -1);
}

// ---- Writer lock ------------------------------------------------------------------------------

TEST_F(Primitives, SecondWriterFailsNamingTheHolderAndTakesOverAfterACrash) {
    TestSupport::Signal ready, finish;
    TestSupport::Child first([&] {
        OwnerFile owner(debug(), writerRoot, false);
        Mem::WriterLock lock;
        lock.acquireWriterLock(debug(), writerRoot, owner);
        ready.post();
        finish.wait();
        return true;
    });
    ASSERT_TRUE(ready.wait());

    std::string name;
    EXPECT_TRUE(Mem::WriterLock::ownerIsAlive(writerRoot, &name));
    EXPECT_EQ(name, selfComm());
    EXPECT_FALSE(Mem::WriterLock::ownerIsMe(writerRoot));
    EXPECT_EQ(OwnerFile(debug(), readerRoot, false).ownerPid(), first.pid());

    OwnerFile owner(debug(), writerRoot, false);
    Mem::WriterLock second(10ms, 50ms);
    const auto start = std::chrono::steady_clock::now();
    try {
        auto g = owner.lock();
        second.acquireWriterLock(debug(), writerRoot, owner);
        ADD_FAILURE() << "a second writer took the lock";
    } catch (const Basalt::InvalidInitializeException& e) {
        EXPECT_NE(std::string(e.what()).find("pid " + std::to_string(first.pid())),
                  std::string::npos)
            << e.what();
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);  // bounded, never hangs
    EXPECT_FALSE(second.ownerIsMe());

    first.kill();
    EXPECT_FALSE(Mem::WriterLock::ownerIsAlive(writerRoot, &name));
    EXPECT_EQ(name, "");
    second.acquireWriterLock(debug(), writerRoot, owner);
    EXPECT_TRUE(second.ownerIsMe());
    EXPECT_TRUE(Mem::WriterLock::ownerIsMe(writerRoot));
    EXPECT_EQ(owner.ownerPid(), ::getpid());
    second.release();
    EXPECT_FALSE(Mem::WriterLock::ownerIsAlive(writerRoot));
}

TEST_F(Primitives, HoldersInOneProcessShareTheLockUntilTheLastReleases) {
    Mem::WriterLock a, b;
    ASSERT_TRUE(tryAcquire(a));
    ASSERT_TRUE(tryAcquire(b));  // returns at once: this process holds it
    auto otherProcessCanTake = [&] {
        TestSupport::Child c([&] {
            Mem::WriterLock mine;
            return tryAcquire(mine);
        });
        return c.wait() == 0;
    };
    a.release();
    EXPECT_FALSE(a.ownerIsMe());
    EXPECT_TRUE(b.ownerIsMe());
    EXPECT_FALSE(otherProcessCanTake());
    b.release();
    EXPECT_TRUE(otherProcessCanTake());
}

TEST_F(Primitives, ForkedChildOfTheHolderNeitherHoldsNorReleasesTheLock) {
    Mem::WriterLock lock;
    ASSERT_TRUE(tryAcquire(lock));
    TestSupport::Child child([&] {
        if (lock.ownerIsMe() || Mem::WriterLock::ownerIsMe(writerRoot)) return false;
        if (!Mem::WriterLock::ownerIsAlive(writerRoot)) return false;
        lock.release();  // must not unlock the parent's descriptor
        Mem::WriterLock mine;
        return !tryAcquire(mine);
    });
    EXPECT_EQ(child.wait(), 0);
    EXPECT_TRUE(lock.ownerIsMe());
    TestSupport::Child third([&] {
        Mem::WriterLock mine;
        return !tryAcquire(mine);
    });
    EXPECT_EQ(third.wait(), 0);
}

// A grandchild forked while its parent held the lock outlives that parent: it must not keep the
// lock alive.
TEST_F(Primitives, InheritedDescriptorDoesNotOutliveTheHolder) {
    int hold[2];
    ASSERT_EQ(::pipe(hold), 0);
    TestSupport::Signal grandchildReady;
    TestSupport::Child holder([&] {
        Mem::WriterLock lock;
        if (!tryAcquire(lock)) return false;
        TestSupport::Child grandchild([&] {
            ::close(hold[1]);
            grandchildReady.post();
            char c;
            return ::read(hold[0], &c, 1) == 0;  // until the test closes its end
        });
        pollfd p{hold[0], POLLIN, 0};
        ::poll(&p, 1, 30000);
        return true;
    });
    ASSERT_TRUE(grandchildReady.wait());
    EXPECT_TRUE(Mem::WriterLock::ownerIsAlive(writerRoot));
    holder.kill();
    EXPECT_FALSE(Mem::WriterLock::ownerIsAlive(writerRoot));
    Mem::WriterLock mine;
    EXPECT_TRUE(tryAcquire(mine));
    ::close(hold[0]);
    ::close(hold[1]);  // the orphaned grandchild reads end-of-file and exits
}

// The holder removes the owner file, a new writer re-creates and locks it, and only then does
// the old file's lock come free: the waiter that gets the old file's lock must notice it is no
// longer the owner file and wait on the new one.
TEST_F(Primitives, WaiterNoticesTheOwnerFileWasRecreated) {
    TestSupport::Signal firstReady, firstExit, waiting, resume, newReady, newExit;
    const std::string message = shm.path() + "/waiter-message";
    TestSupport::Child first([&] {
        Mem::WriterLock lock;
        if (!tryAcquire(lock)) return false;
        firstReady.post();
        firstExit.wait();
        return true;
    });
    ASSERT_TRUE(firstReady.wait());
    TestSupport::Child waiter([&] {
        TestSupport::TraceCapture traces;
        auto handler = Basalt::Platform::getDebugHandler("WriterLockWaiter");
        handler->switchWordIs(0x3);
        OwnerFile owner(handler, writerRoot, false);
        Mem::WriterLock lock(1ms, 100ms);
        lock.waitObserverIs([&](unsigned attempt) {
            if (attempt != 1) return;
            waiting.post();
            resume.wait();
        });
        try {
            lock.acquireWriterLock(handler, writerRoot, owner);
            writeFile(message, "acquired");
        } catch (const Basalt::InvalidInitializeException& e) {
            writeFile(message, e.what());
        }
        return traces.contains("was replaced while waiting");
    });
    ASSERT_TRUE(waiting.wait());
    writerRoot.removeFile(OwnerFile::kFileName);
    TestSupport::Child second([&] {
        Mem::WriterLock lock;
        if (!tryAcquire(lock)) return false;
        newReady.post();
        newExit.wait();
        return true;
    });
    ASSERT_TRUE(newReady.wait());
    firstExit.post();
    EXPECT_EQ(first.wait(), 0);
    resume.post();
    EXPECT_EQ(waiter.wait(), 0);
    const std::string text = readFile(message);
    EXPECT_NE(text.find("is held by pid " + std::to_string(second.pid())), std::string::npos)
        << text;
    newExit.post();
    EXPECT_EQ(second.wait(), 0);
}

TEST_F(Primitives, ReaderRootPathNeitherCreatesNorLocks) {
    OwnerFile owner(debug(), readerRoot, false);
    Mem::WriterLock lock;
    EXPECT_THROW(lock.acquireWriterLock(debug(), readerRoot, owner),
                 Basalt::InvalidInitializeException);
    EXPECT_FALSE(Mem::WriterLock::ownerIsAlive(readerRoot));
    EXPECT_EQ(::access(ownerPath().c_str(), F_OK), -1);
}

// ---- Local memory -----------------------------------------------------------------------------

struct LocalBacking {
    bool heap;
    bool check;
};

class LocalMemory : public ::testing::TestWithParam<LocalBacking> {
  protected:
    LocalMemory() {
        mem.useHeapIs(GetParam().heap);
        if (GetParam().check) mem.enableHeapCheck();
    }
    static bool allEqual(const void* p, std::size_t from, std::size_t to, unsigned char v) {
        const auto* b = static_cast<const unsigned char*>(p);
        for (std::size_t i = from; i < to; ++i) {
            if (b[i] != v) return false;
        }
        return true;
    }
    Mem::Local mem{debug(), "test"};
};

TEST_P(LocalMemory, ResizeKeepsDataAndZeroFillsEverythingGained) {
    void* p = mem.attach(100);
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(allEqual(p, 0, 100, 0));
    std::memset(p, 0xAB, 100);
    p = mem.resize(3 * 4096 + 5);
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(allEqual(p, 0, 100, 0xAB));
    EXPECT_TRUE(allEqual(p, 100, mem.size(), 0));
    std::memset(p, 0xCD, mem.size());
    // Shrinking inside a page and growing again must not bring back the old bytes.
    p = mem.resize(10);
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(allEqual(p, 0, 10, 0xCD));
    p = mem.resize(5000);
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(allEqual(p, 0, 10, 0xCD));
    EXPECT_TRUE(allEqual(p, 10, 5000, 0));
    EXPECT_TRUE(mem.heapIntact());
}

TEST_P(LocalMemory, SizeZeroKeepsAValidBase) {
    ASSERT_NE(mem.attach(0), nullptr);
    ASSERT_NE(mem.resize(64), nullptr);
    std::memset(mem.base(), 0xEE, 64);
    ASSERT_NE(mem.resize(0), nullptr);
    EXPECT_EQ(mem.size(), 0u);
    ASSERT_NE(mem.resize(64), nullptr);
    EXPECT_TRUE(allEqual(mem.base(), 0, 64, 0));
    mem.detach();
    EXPECT_EQ(mem.resize(8), nullptr);
    EXPECT_FALSE(mem.reason().empty());
}

INSTANTIATE_TEST_SUITE_P(Backings, LocalMemory,
                         ::testing::Values(LocalBacking{false, false}, LocalBacking{true, false},
                                           LocalBacking{true, true}),
                         [](const auto& info) {
                             return std::string(info.param.heap ? "Heap" : "Mapping") +
                                    (info.param.check ? "Checked" : "");
                         });

TEST(LocalHeapCheck, OverrunAtEitherEndIsCorruption) {
    for (const long offset : {-1L, 64L}) {
        TestSupport::TraceCapture traces;
        Mem::Local mem(debug(), "guarded");
        mem.useHeapIs(true);
        mem.enableHeapCheck();
        auto* p = static_cast<unsigned char*>(mem.attach(64));
        ASSERT_NE(p, nullptr);
        p[offset] = 0;  // into the guard bytes, still inside the allocation
        EXPECT_FALSE(mem.heapIntact()) << offset;
        EXPECT_THROW(mem.resize(128), Basalt::CorruptionDetectedException) << offset;
        mem.detach();
        EXPECT_TRUE(traces.contains("heap guard bytes overwritten")) << offset;
    }
}

}  // namespace
