// The small shared-memory primitives: the fenix file, the owner record and its record lock, the
// writer lock across real processes (holders, waiters, crashes, forks, re-created files), and
// process-private memory.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "contracts/Basalt/DebugHandler.h"
#include "contracts/Basalt/Exception.h"
#include "contracts/Mem/Local.h"
#include "contracts/Mem/RootPath.h"
#include "contracts/Mem/WriterLock.h"
#include "contracts/SharedMem/FenixFile.h"
#include "contracts/SharedMem/OwnerFile.h"
#include "tests/support/Fork.h"
#include "tests/support/SharedPage.h"
#include "tests/support/ShmRoot.h"
#include "tests/support/TraceCapture.h"

namespace {

using namespace std::chrono_literals;
using Basalt::CorruptionDetectedException;
using Basalt::InvalidInitializeException;
using Basalt::NoPermissionException;
using SharedMem::FenixFile;
using SharedMem::FenixId;
using SharedMem::OwnerFile;
using SharedMem::OwnerRecord;
using SharedMem::ShocketInfo;
using TestSupport::Child;
using TestSupport::Signal;

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

// True when an open file description other than the caller's holds a lock on the owner record.
bool recordLockedElsewhere(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR);
    if (fd < 0) return false;
    struct flock fl {};
    fl.l_type = F_WRLCK;
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
        } catch (const InvalidInitializeException&) {
            return false;
        }
    }
    // A process that holds the writer lock from `ready` on until it is killed.
    Child holder(Signal& ready) {
        return Child([this, &ready] {
            Mem::WriterLock lock;
            return tryAcquire(lock) && (ready.post(), ::pause(), true);
        });
    }
    bool otherProcessCanTake() {
        Child c([&] {
            Mem::WriterLock mine;
            return tryAcquire(mine);
        });
        return c.wait() == 0;
    }

    TestSupport::ShmRoot shm;
    Mem::RootPath writerRoot{debug(), "flows/prim", true};
    Mem::RootPath readerRoot{debug(), "flows/prim", false};
};

// ---- Fenix ------------------------------------------------------------------------------------

TEST_F(Primitives, FenixReachesAnotherProcessAndEveryWriteStampsTheTime) {
    FenixFile writer(debug(), writerRoot);
    writer.write(FenixId(0xDEADBEEF));
    Child reader([&] { return FenixFile(debug(), readerRoot).read() == FenixId(0xDEADBEEF); });
    EXPECT_EQ(reader.wait(), 0);
    EXPECT_EQ(readFile(fenixPath()).size(), FenixFile::kFileSize);
    // Stores through the mapping leave tmpfs's time alone: write() must set it itself.
    const utimbuf old{1000, 1000};
    ASSERT_EQ(::utime(fenixPath().c_str(), &old), 0);
    const double before = static_cast<double>(std::time(nullptr));
    writer.write(FenixId(5));
    EXPECT_GE(writer.mtime(), before - 1);
    EXPECT_EQ(writer.read(), FenixId(5));
    EXPECT_THROW(FenixFile(debug(), readerRoot).write(FenixId(1)), NoPermissionException);
}

// Anything but a whole page starting with the magic reads as no fenix; a writer repairs a
// regular file and never writes through a symbolic link or into a directory.
TEST_F(Primitives, DamagedFenixFilesReadAsNoneAndOnlyRegularOnesAreRepaired) {
    FenixFile reader(debug(), readerRoot);
    EXPECT_EQ(reader.read(), FenixId());
    EXPECT_EQ(reader.mtime(), 0.0);
    auto expectNone = [&](const char* what, bool regular) {
        EXPECT_EQ(reader.read(), FenixId()) << what;
        if (regular) {
            FenixFile(debug(), writerRoot).write(FenixId(77));
            EXPECT_EQ(reader.read(), FenixId(77)) << what;
        } else {
            EXPECT_EQ(reader.mtime(), 0.0) << what;
            EXPECT_THROW(FenixFile(debug(), writerRoot).write(FenixId(3)),
                         InvalidInitializeException)
                << what;
        }
        ::remove(fenixPath().c_str());
    };
    writeFile(fenixPath(), std::string("FENX\7\0\0\0", 8));
    expectNone("short with the magic", true);
    writeFile(fenixPath(), std::string(FenixFile::kFileSize, 'Z'));
    expectNone("a page without the magic", true);
    const std::string good = shm.path() + "/good";
    FenixFile(debug(), writerRoot).write(FenixId(9));
    ASSERT_EQ(::rename(fenixPath().c_str(), good.c_str()), 0);
    ASSERT_EQ(::symlink(good.c_str(), fenixPath().c_str()), 0);
    expectNone("a link to a good file", false);
    ASSERT_EQ(::mkdir(fenixPath().c_str(), 0755), 0);
    expectNone("a directory", false);
}

// Values whose four bytes are equal: a torn read would mix bytes of two of them.
TEST_F(Primitives, FenixReaderNeverSeesATornValue) {
    FenixFile(debug(), writerRoot).write(FenixId(0x01010101));
    Child writer([&] {
        FenixFile f(debug(), writerRoot);
        for (std::uint32_t i = 0; i < 20000; ++i)
            f.write(FenixId((i % 2 ? 0xFEu : 1u) * 0x01010101u));
        return true;
    });
    FenixFile f(debug(), readerRoot);
    while (!writer.ended()) {
        const std::uint32_t v = f.read().value();
        ASSERT_TRUE(v == 0x01010101u || v == 0xFEFEFEFEu) << std::hex << v;
    }
    EXPECT_EQ(writer.wait(), 0);
}

// ---- Owner record -----------------------------------------------------------------------------

TEST(ShocketNames, NumberIsAWholeUnsigned32BitDecimal) {
    SharedMem::ShocketName n;
    ASSERT_TRUE(n.ShocketNameIs("@hoard.kick.4294967295"));
    EXPECT_EQ(n.name(), "@hoard.kick");
    EXPECT_EQ(n.number(), 4294967295u);
    // Each failure also clears what the success before it parsed.
    for (const char* bad : {"", "kick", "kick.", ".5", "kick.4294967296", "kick.-1", "kick.1a",
                            "kick. 1", "kick.+1"}) {
        EXPECT_FALSE(n.ShocketNameIs(bad)) << bad;
        EXPECT_FALSE(n.valid());
        EXPECT_EQ(n.number(), 0u);
    }
    EXPECT_EQ(ShocketInfo("s", ShocketInfo::kAnyTable).toString(), "socketName:s tableId:-1");
}

TEST_F(Primitives, OwnerRecordIsCreatedValidRoundTripsAndReadersNeverWrite) {
    OwnerFile owner(debug(), writerRoot, false);
    OwnerFile readerView(debug(), readerRoot, false);
    std::string error;
    EXPECT_FALSE(readerView.validate(error));
    EXPECT_NE(error.find("missing"), std::string::npos) << error;
    EXPECT_TRUE(readerView.shocketInfo().empty());
    owner.lock().release();
    EXPECT_TRUE(readerView.validate());  // a new file was given a well-formed empty record
    EXPECT_EQ(readerView.ownerPid(), 0);

    const ShocketInfo info(std::string(OwnerRecord::kMaxSocketName, 'k'), 42);
    owner.shocketInfoIs(info);
    owner.fenixIs(FenixId(0x10203));
    EXPECT_EQ(readerView.shocketInfo(), info);
    EXPECT_EQ(readerView.ownerPid(), ::getpid());
    const std::string header = readerView.headerToString();
    EXPECT_NE(header.find("pid:" + std::to_string(::getpid()) +
                          " fenix:66051 shocketInfo:" + info.toString()),
              std::string::npos)
        << header;
    owner.shocketInfoIs(ShocketInfo());  // clearing keeps the fenix
    EXPECT_TRUE(readerView.shocketInfo().empty());
    EXPECT_EQ(readerView.fenix(), FenixId(0x10203));

    const std::string before = readFile(ownerPath());
    EXPECT_THROW(readerView.lock(), NoPermissionException);
    EXPECT_THROW(readerView.shocketInfoIs(info), NoPermissionException);
    for (const std::string& name :
         {std::string(OwnerRecord::kMaxSocketName + 1, 'k'), std::string("a\0b", 3)}) {
        EXPECT_THROW(owner.shocketInfoIs(ShocketInfo(name, 1)), InvalidInitializeException);
    }
    EXPECT_EQ(readFile(ownerPath()), before);
}

TEST_F(Primitives, DamagedOwnerRecordsFailValidationWithTheReason) {
    OwnerFile owner(debug(), writerRoot, false);
    owner.shocketInfoIs(ShocketInfo("@kick.7", 3));
    owner.fenixIs(FenixId(99));
    const std::string good = readFile(ownerPath());
    auto at = [&](std::size_t offset, std::uint32_t v, bool fixChecksum = true) {
        OwnerRecord r;
        std::memcpy(&r, good.data(), sizeof r);
        std::memcpy(reinterpret_cast<char*>(&r) + offset, &v, 4);
        if (fixChecksum) r.checksum = r.computeChecksum();
        return std::string(reinterpret_cast<const char*>(&r), sizeof r);
    };
    const struct {
        std::string bytes;
        const char* reason;
    } cases[] = {
        {good.substr(0, 10), "has 10 bytes"},
        {good + "x", "has 137 bytes"},
        {at(0, 0x12345678), "bad magic 0x12345678"},
        {at(4, 2), "bad version 2"},
        {at(20, 0xFFFFFFF0u), "bad socket name length"},
        {at(8, 0xFFFFFFFFu), "bad pid -1"},
        {at(24, 0x00006b40), "NUL"},         // "@k\0\0" inside the name
        {at(100, 1), "padding not zero"},    // a byte after the name
        {at(16, 5, false), "bad checksum"},  // the table id, checksum not recomputed
    };
    for (const auto& c : cases) {
        writeFile(ownerPath(), c.bytes);
        std::string error;
        EXPECT_FALSE(owner.validate(error)) << c.reason;
        EXPECT_NE(error.find(c.reason), std::string::npos) << error;
        EXPECT_THROW(owner.shocketInfo(), CorruptionDetectedException) << c.reason;
        EXPECT_EQ(owner.ownerPid(), 0) << c.reason;
        EXPECT_NE(owner.headerToString().find("malformed"), std::string::npos) << c.reason;
        // Stamping the pid leaves the corruption visible; storing socket information replaces it.
        owner.ownerPidIs(::getpid());
        EXPECT_FALSE(owner.validate()) << c.reason;
        owner.shocketInfoIs(ShocketInfo("@kick.8", 4));
        EXPECT_TRUE(owner.validate()) << c.reason;
        EXPECT_EQ(readFile(ownerPath()).size(), SharedMem::kOwnerRecordSize);
    }
    // Every corruption of any single byte is detected.
    for (std::size_t offset = 0; offset < good.size(); ++offset) {
        for (int x = 1; x < 256; ++x) {
            std::string bad = good;
            bad[offset] = static_cast<char>(bad[offset] ^ x);
            writeFile(ownerPath(), bad);
            ASSERT_FALSE(owner.validate()) << "offset " << offset << " xor " << x;
        }
    }
    writeFile(ownerPath(), "");
    EXPECT_FALSE(owner.validate());
    EXPECT_TRUE(owner.shocketInfo().empty());
}

// Nested holds keep the lock; another process waits for it; a forked child's copy of a hold
// (its descriptor closed at fork) releases nothing; a hold follows a replaced file.
TEST_F(Primitives, RecordLockNestsExcludesOtherProcessesSurvivesForksAndFollowsTheFile) {
    OwnerFile owner(debug(), writerRoot, false);
    auto outer = owner.lock();
    owner.shocketInfoIs(ShocketInfo("@kick.1", 1));  // an inner hold, released again
    EXPECT_TRUE(recordLockedElsewhere(ownerPath()));
    Child forked([&] {
        outer.release();
        return recordLockedElsewhere(ownerPath());
    });
    EXPECT_EQ(forked.wait(), 0);
    EXPECT_TRUE(owner.locked());

    Signal trying, got;
    Child other([&] {
        OwnerFile mine(debug(), writerRoot, false);
        trying.post();
        auto g = mine.lock();
        got.post();
        return true;
    });
    ASSERT_TRUE(trying.wait(30, other));
    EXPECT_FALSE(got.wait(0.2));  // a bound for the test only: it must not get the lock at all
    outer.release();
    EXPECT_TRUE(got.wait(30, other));
    EXPECT_EQ(other.wait(), 0);
    EXPECT_FALSE(recordLockedElsewhere(ownerPath()));

    // A hold on a replaced file moves to the new file, which is given an empty record.
    auto again = owner.lock();
    writerRoot.removeFile(OwnerFile::kFileName);
    writeFile(ownerPath(), "");
    owner.refreshLock();
    EXPECT_TRUE(recordLockedElsewhere(ownerPath()));
    EXPECT_TRUE(owner.validate());
}

TEST_F(Primitives, NeitherALocalOwnerNorAReaderCreatesTheOwnerFile) {
    OwnerFile local(debug(), writerRoot, true);
    auto guard = local.lock();
    local.shocketInfoIs(ShocketInfo("@kick.3", 3));
    EXPECT_EQ(local.shocketInfo(), ShocketInfo("@kick.3", 3));
    Mem::WriterLock lock;
    lock.acquireWriterLock(debug(), writerRoot, local);
    EXPECT_TRUE(lock.ownerIsMe());
    OwnerFile reader(debug(), readerRoot, false);
    EXPECT_THROW(Mem::WriterLock().acquireWriterLock(debug(), readerRoot, reader),
                 InvalidInitializeException);
    EXPECT_FALSE(Mem::WriterLock::ownerIsAlive(readerRoot));
    EXPECT_EQ(::access(ownerPath().c_str(), F_OK), -1);
}

// ---- Writer lock ------------------------------------------------------------------------------

// The holder forks a child before it crashes: that orphan inherited the lock's descriptor and
// must not keep the lock alive.
TEST_F(Primitives, SecondWriterFailsNamingTheHolderAndTakesOverAfterACrash) {
    Signal ready, end;
    Child first([&] {
        Mem::WriterLock lock;
        if (!tryAcquire(lock)) return false;
        Child orphan([&] { return end.wait(); });
        return ready.post(), ::pause(), true;
    });
    ASSERT_TRUE(ready.wait(30, first));
    std::string name;
    EXPECT_TRUE(Mem::WriterLock::ownerIsAlive(writerRoot, &name));
    EXPECT_EQ(name + "\n", readFile("/proc/self/comm"));  // the holder is a fork of this process
    EXPECT_FALSE(Mem::WriterLock::ownerIsMe(writerRoot));

    OwnerFile owner(debug(), writerRoot, false);
    Mem::WriterLock second(10ms, 50ms);
    try {
        auto g = owner.lock();
        second.acquireWriterLock(debug(), writerRoot, owner);
        ADD_FAILURE() << "a second writer took the lock";
    } catch (const InvalidInitializeException& e) {
        EXPECT_NE(std::string(e.what()).find("pid " + std::to_string(first.pid())),
                  std::string::npos)
            << e.what();
    }
    EXPECT_FALSE(second.ownerIsMe());

    first.kill();
    EXPECT_FALSE(Mem::WriterLock::ownerIsAlive(writerRoot, &name));
    EXPECT_EQ(name, "");
    second.acquireWriterLock(debug(), writerRoot, owner);
    EXPECT_TRUE(Mem::WriterLock::ownerIsMe(writerRoot));
    EXPECT_EQ(owner.ownerPid(), ::getpid());
    second.release();
    EXPECT_FALSE(Mem::WriterLock::ownerIsAlive(writerRoot));
    end.post();  // the orphan exits
}

// Holders in one process share the lock until the last one releases; a forked child of the
// holder holds nothing, and its copies release nothing.
TEST_F(Primitives, HoldersShareTheLockAndAForkedChildNeitherHoldsNorReleasesIt) {
    Mem::WriterLock a, b;
    ASSERT_TRUE(tryAcquire(a));
    ASSERT_TRUE(tryAcquire(b));  // at once: this process holds it
    Child child([&] {
        if (a.ownerIsMe() || Mem::WriterLock::ownerIsMe(writerRoot)) return false;
        if (!Mem::WriterLock::ownerIsAlive(writerRoot)) return false;
        a.release();
        b.release();
        Mem::WriterLock mine;
        return !tryAcquire(mine);
    });
    EXPECT_EQ(child.wait(), 0);
    a.release();
    EXPECT_FALSE(a.ownerIsMe());
    EXPECT_TRUE(b.ownerIsMe());
    EXPECT_FALSE(otherProcessCanTake());
    b.release();
    EXPECT_TRUE(otherProcessCanTake());
}

// The holder removes the owner file, a new writer re-creates and locks it, and only then does
// the old file's lock come free: the waiter that gets the old file's lock must notice it is no
// longer the owner file and wait on the new one.
TEST_F(Primitives, WaiterNoticesTheOwnerFileWasRecreated) {
    Signal firstReady, waiting, resume, newReady;
    TestSupport::SharedPage<std::atomic<pid_t>> newHolder;
    Child first = holder(firstReady);
    ASSERT_TRUE(firstReady.wait(30, first));
    Child waiter([&] {
        TestSupport::TraceCapture traces;
        auto handler = Basalt::Platform::getDebugHandler("WriterLockWaiter");
        handler->switchWordIs(0x3);
        OwnerFile owner(handler, writerRoot, false);
        Mem::WriterLock lock(1ms, 100ms);
        lock.waitObserverIs([&](unsigned attempt) {
            if (attempt == 1) waiting.post(), resume.wait();
        });
        try {
            lock.acquireWriterLock(handler, writerRoot, owner);
            return false;
        } catch (const InvalidInitializeException& e) {
            const std::string held = "is held by pid " + std::to_string(newHolder->load());
            return std::string(e.what()).find(held) != std::string::npos &&
                   traces.contains("was replaced while waiting");
        }
    });
    ASSERT_TRUE(waiting.wait(30, waiter));
    writerRoot.removeFile(OwnerFile::kFileName);
    Child second = holder(newReady);
    ASSERT_TRUE(newReady.wait(30, second));
    newHolder->store(second.pid());
    first.kill();  // frees the old file's lock
    resume.post();
    EXPECT_EQ(waiter.wait(), 0);
}

// ---- Local memory -----------------------------------------------------------------------------

// Bytes gained read zero, also those a shrink gave up and a growth takes back; kept bytes keep
// their contents; size zero keeps a valid base.
TEST(LocalMemory, ResizeKeepsDataAndZeroFillsEverythingGainedOnEveryBacking) {
    auto all = [](const void* p, std::size_t from, std::size_t to, unsigned char v) {
        const auto* b = static_cast<const unsigned char*>(p);
        return std::all_of(b + from, b + to, [v](unsigned char x) { return x == v; });
    };
    for (const auto& [heap, check] : {std::pair{false, false}, {true, false}, {true, true}}) {
        SCOPED_TRACE(std::string(heap ? "heap" : "mapping") + (check ? ", checked" : ""));
        Mem::Local mem(debug(), "test");
        mem.useHeapIs(heap);
        if (check) mem.enableHeapCheck();
        void* p = mem.attach(100);
        ASSERT_NE(p, nullptr);
        EXPECT_TRUE(all(p, 0, 100, 0));
        std::memset(p, 0xAB, 100);
        ASSERT_NE(p = mem.resize(3 * 4096 + 5), nullptr);
        EXPECT_TRUE(all(p, 0, 100, 0xAB));
        EXPECT_TRUE(all(p, 100, mem.size(), 0));
        std::memset(p, 0xCD, mem.size());
        ASSERT_NE(mem.resize(10), nullptr);
        ASSERT_NE(p = mem.resize(5000), nullptr);
        EXPECT_TRUE(all(p, 0, 10, 0xCD));
        EXPECT_TRUE(all(p, 10, 5000, 0));
        ASSERT_NE(mem.resize(0), nullptr);
        EXPECT_EQ(mem.size(), 0u);
        ASSERT_NE(p = mem.resize(64), nullptr);
        EXPECT_TRUE(all(p, 0, 64, 0));
        EXPECT_TRUE(mem.heapIntact());
        mem.detach();
        EXPECT_EQ(mem.resize(8), nullptr);
        EXPECT_FALSE(mem.reason().empty());
    }
}

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
        EXPECT_THROW(mem.resize(128), CorruptionDetectedException) << offset;
        mem.detach();
        EXPECT_TRUE(traces.contains("heap guard bytes overwritten")) << offset;
    }
}

}  // namespace
