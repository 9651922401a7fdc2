// The small pieces the tables stand on: directories, mappings, the fenix file, the owner record and
// its lock, the writer lock, local memory, the corruption marker, toggles, switches, socket names.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "contracts/Basalt/DebugHandler.h"
#include "contracts/Basalt/Exception.h"
#include "contracts/Config/Toggle.h"
#include "contracts/HoardBase/Util.h"
#include "contracts/Kick/ShocketAcceptSm.h"
#include "contracts/Mem/Local.h"
#include "contracts/Mem/RootPath.h"
#include "contracts/Mem/SharedMemWrapper.h"
#include "contracts/Mem/WriterLock.h"
#include "contracts/SharedMem/FenixFile.h"
#include "contracts/SharedMem/OwnerFile.h"
#include "tests/support/ManualClockGuard.h"
#include "tests/support/Processes.h"
#include "tests/support/ShmRoot.h"
#include "tests/support/TraceCapture.h"

namespace {

using namespace std::chrono_literals;
using Basalt::CorruptionDetectedException;
using Basalt::InvalidInitializeException;
using Basalt::NoPermissionException;
using Mem::RootPath;
using Mem::SharedMemWrapper;
using SharedMem::FenixFile;
using SharedMem::FenixId;
using SharedMem::OwnerFile;
using SharedMem::OwnerRecord;
using SharedMem::ShocketInfo;
using TestSupport::ChildReport;
using TestSupport::Processes;

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

// Sets an environment variable for one scope (the tests run with none of these set).
struct EnvGuard {
    EnvGuard(const char* name, const char* value) : name(name) { ::setenv(name, value, 1); }
    ~EnvGuard() { ::unsetenv(name); }
    const char* name;
};

// Runs `body` in a forked child and waits for it: "" when it succeeded, else its first failure.
std::string inChild(std::function<bool(ChildReport&)> body) {
    Processes p;
    p.start("child", std::move(body));
    return p.waitAll();
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
    // Starts a process that holds the writer lock from `ready` on until it is killed; with
    // `orphanEnd`, it forks an orphan that inherits the lock's descriptor and outlives it.
    std::size_t holder(Processes& p, TestSupport::Signal& ready,
                       TestSupport::Signal* orphanEnd = nullptr) {
        return p.start("holder", [this, &ready, orphanEnd](ChildReport& report) {
            Mem::WriterLock lock;
            if (!tryAcquire(lock)) return report.fail("the lock was busy");
            std::optional<TestSupport::Child> orphan;
            if (orphanEnd != nullptr) orphan.emplace([orphanEnd] { return orphanEnd->wait(); });
            ready.post();
            ::pause();
            return true;
        });
    }

    TestSupport::ShmRoot shm;
    RootPath writerRoot{debug(), "flows/prim", true};
    RootPath readerRoot{debug(), "flows/prim", false};
};

// Table names stay inside the root, and nothing is reached through a symbolic link: not a table
// directory, a mapping, the fenix file or the corruption marker; validateFile refuses a link, a
// directory, a missing or a short file.
TEST_F(Primitives, TableNamesStayInsideTheRootAndNoLinkIsFollowed) {
    TestSupport::TraceCapture quiet;  // the refused marker is traced at level 0
    for (const char* bad : {"", "/", "a//b", "a/./b", "a/../../etc", "..", "a/", "./a"}) {
        EXPECT_THROW(RootPath(debug(), bad), InvalidInitializeException) << bad;
    }
    ASSERT_EQ(::symlink("/tmp", (shm.path() + "/link").c_str()), 0);
    EXPECT_THROW(RootPath(debug(), "link/t", true).ensureDirectory(), InvalidInitializeException);
    FenixFile(debug(), writerRoot).write(FenixId(5));
    const std::string file = shm.path() + "/file", link = writerRoot.filePath("alias");
    ASSERT_EQ(::rename(fenixPath().c_str(), file.c_str()), 0);
    const std::string bytes = readFile(file);
    for (const std::string& name :
         {link, fenixPath(), writerRoot.filePath("corruption-detected")}) {
        ASSERT_EQ(::symlink(file.c_str(), name.c_str()), 0);
    }
    EXPECT_EQ(SharedMemWrapper(debug(), writerRoot, "alias", true).attach(4096), nullptr);
    EXPECT_EQ(FenixFile(debug(), readerRoot).read(), FenixId());
    EXPECT_EQ(FenixFile(debug(), readerRoot).mtime(), 0.0);
    EXPECT_THROW(FenixFile(debug(), writerRoot).write(FenixId(3)), InvalidInitializeException);
    Hoard::Util::writeCorruptionFile(writerRoot, "text");
    EXPECT_EQ(readFile(file), bytes);
    std::string error;
    EXPECT_TRUE(Hoard::Util::validateFile(file, 4096, error)) << error;
    for (const auto& [path, size] :
         {std::pair{file, 4097}, {link, 0}, {writerRoot.directory(), 0}, {file + ".missing", 0}}) {
        EXPECT_FALSE(Hoard::Util::validateFile(path, size, error)) << path;
    }
}

// A reader never grows a file. A shrink never cuts the file: the tail stays backed until the
// release grace passed since the last shrink (HoardReaderLagTest: a reader inside it survives).
TEST_F(Primitives, MappingReadersNeverGrowAndAShrinkReleasesTheTailOnlyAfterTheGrace) {
    TestSupport::ManualClockGuard clock;
    const std::size_t page = 4096, big = 64 * page;
    SharedMemWrapper writer(debug(), writerRoot, "file", true);
    writer.releaseGraceIs(1.0);
    ASSERT_NE(writer.attach(big), nullptr);
    std::memset(writer.base(), 0x77, big);
    SharedMemWrapper reader(debug(), writerRoot, "file", false);
    EXPECT_EQ(reader.attach(2 * big), nullptr);  // smaller than asked: refused, not grown
    auto blocks = [&] {
        struct stat st {};
        EXPECT_EQ(::stat(writerRoot.filePath("file").c_str(), &st), 0);
        return static_cast<std::size_t>(st.st_blocks) * 512;
    };
    ASSERT_NE(writer.resize(page), nullptr);
    clock.advance(0.9);
    ASSERT_NE(writer.resize(16 * page), nullptr);
    EXPECT_EQ(static_cast<unsigned char*>(writer.base())[16 * page - 1], 0x77);
    ASSERT_NE(writer.resize(8 * page), nullptr);
    clock.advance(0.9);
    EXPECT_FALSE(writer.releaseTail());
    EXPECT_EQ(blocks(), big);
    clock.advance(0.2);
    EXPECT_TRUE(writer.releaseTail());
    EXPECT_EQ(blocks(), 8 * page);
}

// Readers cannot write; anything but a whole page starting with the magic reads as no fenix, and a
// writer repairs it.
TEST_F(Primitives, FenixReadersNeverWriteAndDamagedFilesReadAsNone) {
    FenixFile reader(debug(), readerRoot);
    EXPECT_EQ(reader.read(), FenixId());
    FenixFile writer(debug(), writerRoot);
    writer.write(FenixId(5));
    EXPECT_EQ(readFile(fenixPath()).size(), FenixFile::kFileSize);
    EXPECT_EQ(reader.read(), FenixId(5));
    EXPECT_THROW(reader.write(FenixId(1)), NoPermissionException);
    // Short with the magic, a page without it.
    for (const std::string& bytes : {std::string("FENX\7\0\0\0", 8), std::string(4096, 'Z')}) {
        writeFile(fenixPath(), bytes);
        EXPECT_EQ(reader.read(), FenixId());
        writer.write(FenixId(77));
        EXPECT_EQ(reader.read(), FenixId(77));
    }
}

// A writer's new file holds a valid empty record; the socket information round-trips, clearing it
// keeps the fenix, and readers never write. Each damage fails validation naming its reason and
// stays visible under a stamped pid until socket information replaces the record.
TEST_F(Primitives, OwnerRecordRoundTripsReadersNeverWriteAndDamagedRecordsNameTheReason) {
    OwnerFile owner(debug(), writerRoot, false);
    OwnerFile readerView(debug(), readerRoot, false);
    EXPECT_FALSE(readerView.validate());  // no file yet
    owner.lock().release();
    EXPECT_TRUE(readerView.validate());
    const ShocketInfo info(std::string(OwnerRecord::kMaxSocketName, 'k'), 42);
    owner.shocketInfoIs(info);
    owner.fenixIs(FenixId(0x10203));
    EXPECT_EQ(readerView.shocketInfo(), info);
    owner.shocketInfoIs(ShocketInfo());  // clearing keeps the fenix
    EXPECT_EQ(readerView.fenix(), FenixId(0x10203));
    owner.shocketInfoIs(ShocketInfo("@kick.7", 3));
    const std::string good = readFile(ownerPath());
    EXPECT_THROW(readerView.shocketInfoIs(info), NoPermissionException);
    for (const std::string& name :
         {std::string(OwnerRecord::kMaxSocketName + 1, 'k'), std::string("a\0b", 3)}) {
        EXPECT_THROW(owner.shocketInfoIs(ShocketInfo(name, 1)), InvalidInitializeException);
    }
    EXPECT_EQ(readFile(ownerPath()), good);

    auto at = [&](std::size_t offset, std::uint32_t v, bool fixChecksum = true) {
        OwnerRecord r;
        std::memcpy(&r, good.data(), sizeof r);
        std::memcpy(reinterpret_cast<char*>(&r) + offset, &v, 4);
        if (fixChecksum) r.checksum = r.computeChecksum();
        return std::string(reinterpret_cast<const char*>(&r), sizeof r);
    };
    const std::pair<std::string, const char*> damages[] = {
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
    std::string error;
    for (const auto& [bytes, reason] : damages) {
        writeFile(ownerPath(), bytes);
        EXPECT_FALSE(owner.validate(error)) << reason;
        EXPECT_NE(error.find(reason), std::string::npos) << error;
        EXPECT_THROW(owner.shocketInfo(), CorruptionDetectedException) << reason;
        owner.ownerPidIs(::getpid());
        EXPECT_FALSE(owner.validate()) << reason;
        owner.shocketInfoIs(ShocketInfo("@kick.8", 4));
        EXPECT_TRUE(owner.validate()) << reason;
    }
    for (std::size_t bit = 0; bit < 8 * good.size(); ++bit) {
        std::string bad = good;
        bad[bit / 8] = static_cast<char>(bad[bit / 8] ^ (1 << bit % 8));
        writeFile(ownerPath(), bad);
        ASSERT_FALSE(owner.validate()) << "bit " << bit;
    }
    writeFile(ownerPath(), "");  // an empty file holds no socket, but no valid record either
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
    EXPECT_EQ(inChild([&](ChildReport& report) {
                  outer.release();
                  return recordLockedElsewhere(ownerPath()) ||
                         report.fail("the child's release freed the parent's lock");
              }),
              "");

    TestSupport::Signal ready;
    TestSupport::Child other([&] {
        OwnerFile mine(debug(), writerRoot, false);
        ready.post();
        auto g = mine.lock();
        return true;
    });
    ASSERT_TRUE(ready.wait(30, other));
    std::this_thread::sleep_for(200ms);  // a bound for the test only: it must not get the lock
    EXPECT_FALSE(other.ended());
    outer.release();
    EXPECT_EQ(other.wait(30), 0);
    // A hold on a replaced file moves to the new file, which is given an empty record.
    auto again = owner.lock();
    writerRoot.removeFile(OwnerFile::kFileName);
    writeFile(ownerPath(), "");
    owner.refreshLock();
    EXPECT_TRUE(recordLockedElsewhere(ownerPath()));
    EXPECT_TRUE(owner.validate());
}

// A waiter whose owner file is removed, re-created and locked by a second writer before the old
// file's lock comes free must notice the replacement and fail naming the new holder. A crashed
// holder's lock passes on, although the orphan it forked inherited the lock's descriptor. This
// process's holders share the lock until the last releases; its forked child holds nothing, and
// the child's copies release nothing. Only writers create or lock the owner file.
TEST_F(Primitives, WriterLockFollowsARecreatedFileIsTakenOverAfterACrashAndNeverPassesToAFork) {
    Processes p;
    TestSupport::Signal waiting, resume, newReady, orphanEnd;
    TestSupport::SharedPage<std::atomic<pid_t>> newHolder;
    const std::size_t first = holder(p, p.ready);
    ASSERT_TRUE(p.ready.wait(30, p.child(first)));
    const std::size_t waiter = p.start("waiter", [&](ChildReport& report) {
        OwnerFile owner(debug(), writerRoot, false);
        Mem::WriterLock lock(1ms, 100ms);
        lock.waitObserverIs([&](unsigned attempt) {
            if (attempt == 1) waiting.post(), resume.wait();
        });
        try {
            lock.acquireWriterLock(debug(), writerRoot, owner);
            return report.fail("took the lock of the removed file");
        } catch (const InvalidInitializeException& e) {
            const std::string held = "is held by pid " + std::to_string(newHolder->load());
            return std::string(e.what()).find(held) != std::string::npos || report.fail(e.what());
        }
    });
    ASSERT_TRUE(waiting.wait(30, p.child(waiter)));
    writerRoot.removeFile(OwnerFile::kFileName);
    const std::size_t second = holder(p, newReady, &orphanEnd);
    ASSERT_TRUE(newReady.wait(30, p.child(second)));
    newHolder->store(p.child(second).pid());
    p.child(first).kill();  // frees the old file's lock
    resume.post();
    EXPECT_EQ(p.wait(waiter), "");

    p.child(second).kill();
    Mem::WriterLock a, b;
    ASSERT_TRUE(tryAcquire(a));
    EXPECT_EQ(OwnerFile(debug(), writerRoot, false).ownerPid(), ::getpid());
    ASSERT_TRUE(tryAcquire(b));  // at once: this process holds it
    EXPECT_EQ(inChild([&](ChildReport& report) {
                  if (a.ownerIsMe() || Mem::WriterLock::ownerIsMe(writerRoot)) {
                      return report.fail("a forked child holds the lock");
                  }
                  a.release();
                  b.release();
                  return Mem::WriterLock::ownerIsAlive(writerRoot) ||
                         report.fail("the child's releases freed it");
              }),
              "");
    a.release();
    EXPECT_TRUE(b.ownerIsMe());
    EXPECT_TRUE(Mem::WriterLock::ownerIsAlive(writerRoot)) << "freed while b holds it";
    b.release();
    EXPECT_FALSE(Mem::WriterLock::ownerIsAlive(writerRoot));
    orphanEnd.post();

    writerRoot.removeFile(OwnerFile::kFileName);
    OwnerFile reader(debug(), readerRoot, false);
    EXPECT_THROW(Mem::WriterLock().acquireWriterLock(debug(), readerRoot, reader),
                 InvalidInitializeException);
    EXPECT_EQ(::access(ownerPath().c_str(), F_OK), -1);
}

// Bytes a shrink gave up read zero when a growth takes them back; kept bytes keep their contents.
// A checked heap notices a write just before the block.
TEST(LocalMemory, ResizeKeepsDataAndZeroFillsEverythingGainedOnEveryBacking) {
    TestSupport::TraceCapture quiet;
    for (const bool heap : {false, true}) {
        SCOPED_TRACE(heap ? "checked heap" : "mapping");
        Mem::Local mem(debug(), "test");
        mem.useHeapIs(heap);
        if (heap) mem.enableHeapCheck();
        void* p = mem.attach(3 * 4096 + 5);
        ASSERT_NE(p, nullptr);
        std::memset(p, 0xCD, mem.size());
        ASSERT_NE(mem.resize(10), nullptr);
        auto* b = static_cast<unsigned char*>(mem.resize(5000));
        ASSERT_NE(b, nullptr);
        EXPECT_EQ(std::count(b, b + 10, 0xCD), 10);
        EXPECT_EQ(std::count(b + 10, b + 5000, 0), 4990);
        if (heap) {
            b[-1] ^= 1;  // a guard byte, inside the allocation
            EXPECT_THROW(mem.resize(128), CorruptionDetectedException);
        }
    }
}

TEST_F(Primitives, CorruptionMarkerHoldsTheLastTextAndALineFeedWithMode0644) {
    const std::string marker = writerRoot.filePath(Hoard::Util::corruptionFileName);
    const mode_t oldMask = ::umask(077);
    Hoard::Util::writeCorruptionFile(writerRoot, "a much longer first report");
    Hoard::Util::writeCorruptionFile(writerRoot, "slot 7 bad link");
    ::umask(oldMask);
    EXPECT_EQ(readFile(marker), "slot 7 bad link\n");
    struct stat st {};
    ASSERT_EQ(::stat(marker.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
}

// Only a top-level boolean member of exactly that name, in a whole well-formed regular file within
// the size bound, overrides the default; the last duplicate wins and escaped names are decoded.
// The environment switches are on for "1" only.
TEST_F(Primitives, ToggleOnlyAWellFormedBooleanMemberOverridesTheDefaultAndSwitchesOnlyOne) {
    EnvGuard dir("FLOWTABLE_TOGGLE_DIR", shm.path().c_str());
    const std::string file = shm.path() + "/SharedMem.json";
    auto states = [] {  // {default false, default true}
        return std::pair{getToggleState("OneSocketKick", "SharedMem.json", false),
                         getToggleState("OneSocketKick", "SharedMem.json", true)};
    };
    const std::pair<bool, bool> byDefault{false, true};
    EXPECT_EQ(states(), byDefault) << "no file";
    const std::pair<std::string, bool> overriding[] = {
        {R"({"OneSocketKick": false})", false},
        {" \n{\t\"Other\" : [1, {\"a\": null}, \"x\\\"y\"], \"OneSocketKick\":true , "
         "\"Last\": -1.5e3 }\n",
         true},
        {R"({"One\u0053ocketKick": true, "OneSocketKick": false})", false},
    };
    for (const auto& [text, state] : overriding) {
        writeFile(file, text);
        EXPECT_EQ(states(), std::make_pair(state, state)) << text;
    }
    std::vector<std::string> ignored = {
        // Other keys, nested keys, non-booleans.
        R"({"OtherToggle": false})", "{}", R"({"nested": {"OneSocketKick": false}})",
        R"({"OneSocketKick": "false"})", R"({"OneSocketKick": 0})", R"({"OneSocketKick": null})",
        R"({"OneSocketKick": true, "OneSocketKick": 1})", R"({"onesocketkick": false})",
        // Malformed texts.
        "", R"({"OneSocketKick": false)", R"({"OneSocketKick": false,})",
        R"({'OneSocketKick': false})", R"({"OneSocketKick": False})", R"({"OneSocketKick": fals})",
        R"({"OneSocketKick": false} x)", R"([{"OneSocketKick": false}])",
        R"({"OneSocketKick" false})", R"({"OneSocketKick": false}{})",
        R"({"x": 01, "OneSocketKick": false})", R"({"x": "\q", "OneSocketKick": false})",
        "{\"x\": " + std::string(100000, '[') + ", \"OneSocketKick\": false}",
        std::string("{\"One\0SocketKick\": false}", 25),
        // Well-formed, but larger than the bound.
        "{\"pad\": \"" + std::string(70000, 'x') + "\", \"OneSocketKick\": false}"};
    for (const std::string& text : ignored) {
        writeFile(file, text);
        EXPECT_EQ(states(), byDefault) << text.substr(0, 60);
    }
    ::unlink(file.c_str());
    ASSERT_EQ(::mkfifo(file.c_str(), 0644), 0);  // with no writer: opening it must not wait
    EXPECT_EQ(states(), byDefault);

    for (const std::string value : {"0", "true", "11", "", " 1", "1"}) {
        EnvGuard dut("FLOWTABLE_PHYSICAL_DUT", value.c_str());
        EnvGuard strict("FLOWTABLE_STRICT_VALIDATION", value.c_str());
        EXPECT_EQ(Hoard::Util::runningOnPhysicalDut(), value == "1") << value;
        EXPECT_EQ(Hoard::Util::strictValidation(), value == "1") << value;
    }
}

// A socket name's number is a whole unsigned 32-bit decimal; a failed parse clears the success
// before it. The process's name is "@flowtable-kick-<pid>", and each child forked while other
// threads keep asking for it gets its own (one that inherited the name's lock held would hang).
TEST(ShocketNames, NumberIsAWholeUnsigned32BitDecimalAndEachForkedChildGetsItsOwnName) {
    SharedMem::ShocketName n;
    ASSERT_TRUE(n.ShocketNameIs("@hoard.kick.4294967295"));
    EXPECT_EQ(n.name(), "@hoard.kick");
    EXPECT_EQ(n.number(), 4294967295u);
    for (const char* bad : {"", "kick", "kick.", ".5", "kick.4294967296", "kick.-1", "kick.1a",
                            "kick. 1", "kick.+1"}) {
        EXPECT_FALSE(n.ShocketNameIs(bad)) << bad;
        EXPECT_FALSE(n.valid());
        EXPECT_EQ(n.number(), 0u);
    }
    auto ownName = [](const std::string& name) {
        SharedMem::ShocketName parsed;
        return parsed.ShocketNameIs(name) && parsed.toString() == name &&
               parsed.name() == "@flowtable-kick-" + std::to_string(::getpid()) &&
               name.size() <= SharedMem::OwnerRecord::kMaxSocketName;
    };
    const std::string parentName = Kick::ShocketAcceptSm::instance().socketName();
    EXPECT_TRUE(ownName(parentName)) << parentName;
    std::vector<std::jthread> askers;  // they keep asking until the test ends, however it ends
    for (int i = 0; i < 3; ++i) {
        askers.emplace_back([](std::stop_token stop) {
            while (!stop.stop_requested()) {
                (void)Kick::ShocketAcceptSm::instance().socketName().size();
            }
        });
    }
    for (int round = 0; round < 20; ++round) {
        ASSERT_EQ(inChild([&](ChildReport& report) {
                      const std::string name = Kick::ShocketAcceptSm::instance().socketName();
                      return (name != parentName && ownName(name)) || report.fail("named " + name);
                  }),
                  "")
            << "round " << round;
    }
    EXPECT_EQ(Kick::ShocketAcceptSm::instance().socketName(), parentName);
}

}  // namespace
