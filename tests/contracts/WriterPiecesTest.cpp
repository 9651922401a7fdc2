// The small outside pieces the table writer calls: the version anchor, the mode texts, the
// feature toggle file, the corruption marker and file checks, the interface defaults and the
// process-wide socket name (also across fork).

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "contracts/Basalt/DebugHandler.h"
#include "contracts/Basalt/Exception.h"
#include "contracts/Config/Toggle.h"
#include "contracts/Herald/DummyHeraldWriter.h"
#include "contracts/Herald/HeraldWriter.h"
#include "contracts/HoardBase/HoardInterface.h"
#include "contracts/HoardBase/HoardType.h"
#include "contracts/HoardBase/Ops.h"
#include "contracts/HoardBase/Util.h"
#include "contracts/Kick/ShocketAcceptSm.h"
#include "contracts/Mem/Atomics.h"
#include "contracts/Mem/RootPath.h"
#include "contracts/Mem/VersionAnchor.h"
#include "contracts/SharedMem/OwnerFile.h"
#include "tests/support/Fork.h"
#include "tests/support/ShmRoot.h"
#include "tests/support/TraceCapture.h"

namespace {

std::shared_ptr<Basalt::Platform::DebugHandler> debug() {
    return Basalt::Platform::getDebugHandler("WriterPiecesTest");
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// Sets an environment variable for one scope and puts the previous state back.
class EnvGuard {
  public:
    EnvGuard(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) previous_ = old;
        if (value != nullptr) {
            ::setenv(name, value, 1);
        } else {
            ::unsetenv(name);
        }
    }
    ~EnvGuard() {
        if (previous_) {
            ::setenv(name_, previous_->c_str(), 1);
        } else {
            ::unsetenv(name_);
        }
    }

  private:
    const char* name_;
    std::optional<std::string> previous_;
};

// ---- Version anchor -----------------------------------------------------------------------------

// A status word in an anonymous shared mapping, so another process can change it.
class VersionAnchorTest : public ::testing::Test {
  protected:
    VersionAnchorTest() {
        page_ = ::mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (page_ == MAP_FAILED) throw std::runtime_error("mmap failed");
        word(64) = 0x11;
    }
    ~VersionAnchorTest() override { ::munmap(page_, 4096); }

    std::uint32_t& word(std::size_t offset) {
        return *reinterpret_cast<std::uint32_t*>(static_cast<char*>(page_) + offset);
    }

    void* page_;
};

TEST_F(VersionAnchorTest, UnsetAnchorIsAnAssertionNamingItsSource) {
    Mem::VersionAnchor anchor;
    for (int round = 0; round < 2; ++round) {
        try {
            anchor.validate();
            FAIL() << "an unset anchor validated";
        } catch (const Basalt::AssertException& e) {
            const std::string text = e.message();
            EXPECT_NE(text.find("should not be called on a default-constructed VersionAnchor"),
                      std::string::npos)
                << text;
            EXPECT_NE(text.find("SharedMem/VersionAnchor"), std::string::npos) << text;
            EXPECT_NE(text.find("VersionAnchor::validate"), std::string::npos) << text;
        }
        // A miss after a hit clears the anchor back to the same state.
        anchor.set(page_, 64, 0x11);
        anchor.clear();
    }
}

TEST_F(VersionAnchorTest, UnchangedWordValidates) {
    Mem::VersionAnchor anchor;
    anchor.set(page_, 64, 0x11);
    EXPECT_NO_THROW(anchor.validate());
    word(68) = 0x99;  // a neighbouring word is not the anchor
    EXPECT_NO_THROW(anchor.validate());
}

TEST_F(VersionAnchorTest, WordChangedByAnotherProcessIsAMismatch) {
    Mem::VersionAnchor anchor;
    anchor.set(page_, 64, 0x11);
    TestSupport::Child child([&] {
        Mem::Atomics::storeRelease(word(64), std::uint32_t{0x15});  // a rewrite bumps status
        return true;
    });
    ASSERT_EQ(child.wait(), 0);
    try {
        anchor.validate();
        FAIL() << "a changed status word validated";
    } catch (const Mem::VersionMismatchException& e) {
        EXPECT_EQ(e.message(), "");
    }
    // Recording the new status makes the anchor current again.
    anchor.set(page_, 64, 0x15);
    EXPECT_NO_THROW(anchor.validate());
}

TEST_F(VersionAnchorTest, InvalidatedOrBaselessAnchorIsAMismatchEvenWhenTheWordIsUnchanged) {
    Mem::VersionAnchor anchor;
    anchor.set(page_, 64, 0x11);
    anchor.invalidate();
    EXPECT_EQ(anchor.offset, Mem::VersionAnchor::invalid);
    EXPECT_THROW(anchor.validate(), Mem::VersionMismatchException);

    anchor.set(nullptr, 64, 0x11);
    EXPECT_THROW(anchor.validate(), Mem::VersionMismatchException);
    // A misaligned word cannot be loaded atomically: a programming fault, not a stray load.
    anchor.set(page_, 66, 0x11);
    EXPECT_THROW(anchor.validate(), Basalt::AssertException);
}

// ---- Modes and operations -----------------------------------------------------------------------

TEST(HoardTypeTest, TextsOfValidAndInvalidModes) {
    using Hoard::HoardType;
    EXPECT_EQ(Hoard::hoardTypeText(Hoard::writer), "writer");
    EXPECT_EQ(Hoard::hoardTypeText(Hoard::shadow), "shadow");
    EXPECT_EQ(Hoard::hoardTypeText(Hoard::reader), "reader");
    EXPECT_EQ(Hoard::hoardTypeText(Hoard::keyshadow), "keyshadow");
    EXPECT_EQ(Hoard::hoardTypeText(static_cast<HoardType>(4)), "");
    EXPECT_EQ(Hoard::hoardTypeText(static_cast<HoardType>(0xFFFFFFFFu)), "");
    std::ostringstream os;
    os << Hoard::keyshadow << "|" << static_cast<HoardType>(7) << "|";
    EXPECT_EQ(os.str(), "keyshadow||");
    static_assert(sizeof(HoardType) == 4, "the mode is a 32-bit number");
}

struct U32Value {
    std::uint32_t k = 0;
    const std::uint32_t& key() const { return k; }
};
static_assert(!Hoard::Ops<std::uint32_t, U32Value, true, Herald::DummyHeraldWriter>::hasQueue,
              "tables built with the dummy notification writer have no queue");
static_assert(Hoard::Ops<std::uint32_t, U32Value, false,
                         Herald::HeraldWriter<std::uint32_t, Hoard::HeraldPos>>::hasQueue,
              "tables built with the real notification writer have a queue");

// ---- Feature toggles ----------------------------------------------------------------------------

class ToggleTest : public ::testing::Test {
  protected:
    ToggleTest() : dir_(makeDir()), env_("FLOWTABLE_TOGGLE_DIR", dir_.c_str()) {}
    ~ToggleTest() override {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

    static std::string makeDir() {
        char templ[] = "/tmp/flowtable-toggles-XXXXXX";
        if (::mkdtemp(templ) == nullptr) throw std::runtime_error("mkdtemp failed");
        return templ;
    }
    void file(const std::string& text) { writeFile(dir_ + "/SharedMem.json", text); }
    // The toggle's state with each default: {default false, default true}.
    std::pair<bool, bool> states() const {
        return {getToggleState("OneSocketKick", "SharedMem.json", false),
                getToggleState("OneSocketKick", "SharedMem.json", true)};
    }

    std::string dir_;
    EnvGuard env_;
};

const std::pair<bool, bool> kDefault{false, true};

TEST_F(ToggleTest, MissingFileGivesTheDefault) { EXPECT_EQ(states(), kDefault); }

TEST_F(ToggleTest, BooleanMemberOverridesTheDefault) {
    file(R"({"OneSocketKick": false})");
    EXPECT_EQ(states(), std::make_pair(false, false));
    file(
        " \n{\t\"Other\" : [1, {\"a\": null}, \"x\\\"y\"], \"OneSocketKick\":true , "
        "\"Last\": -1.5e3 }\n");
    EXPECT_EQ(states(), std::make_pair(true, true));
    // Escaped names are decoded; the last duplicate wins.
    file(R"({"One\u0053ocketKick": true, "OneSocketKick": false})");
    EXPECT_EQ(states(), std::make_pair(false, false));
}

TEST_F(ToggleTest, OtherKeysNestedKeysAndNonBooleansGiveTheDefault) {
    for (const char* text :
         {R"({"OtherToggle": false})", R"({})", R"({"nested": {"OneSocketKick": false}})",
          R"({"OneSocketKick": "false"})", R"({"OneSocketKick": 0})", R"({"OneSocketKick": null})",
          R"({"OneSocketKick": true, "OneSocketKick": 1})", R"({"onesocketkick": false})"}) {
        file(text);
        EXPECT_EQ(states(), kDefault) << text;
    }
}

TEST_F(ToggleTest, MalformedTextGivesTheDefault) {
    const std::string deep = std::string(100000, '[');
    for (const std::string& text :
         {std::string(""), std::string("{\"OneSocketKick\": false"),
          std::string("{\"OneSocketKick\": false,}"), std::string("{'OneSocketKick': false}"),
          std::string("{\"OneSocketKick\": False}"), std::string("{\"OneSocketKick\": fals}"),
          std::string("{\"OneSocketKick\": false} x"), std::string("[{\"OneSocketKick\": false}]"),
          std::string("{\"OneSocketKick\" false}"), std::string("{\"OneSocketKick\": false}{}"),
          std::string("{\"x\": 01, \"OneSocketKick\": false}"),
          std::string("{\"x\": \"\\q\", \"OneSocketKick\": false}"),
          std::string("{\"x\": " + deep + ", \"OneSocketKick\": false}"),
          std::string("{\"One\0SocketKick\": false}", 25)}) {
        file(text);
        EXPECT_EQ(states(), kDefault) << text.substr(0, 60);
    }
}

TEST_F(ToggleTest, UnreadableOrSpecialFilesGiveTheDefaultWithoutBlocking) {
    // A FIFO with no writer: opening it must not wait.
    ASSERT_EQ(::mkfifo((dir_ + "/SharedMem.json").c_str(), 0644), 0);
    EXPECT_EQ(states(), kDefault);
    ::unlink((dir_ + "/SharedMem.json").c_str());
    ASSERT_EQ(::mkdir((dir_ + "/SharedMem.json").c_str(), 0755), 0);
    EXPECT_EQ(states(), kDefault);
    ::rmdir((dir_ + "/SharedMem.json").c_str());
    // Larger than the bound, though well-formed.
    file("{\"pad\": \"" + std::string(70000, 'x') + "\", \"OneSocketKick\": false}");
    EXPECT_EQ(states(), kDefault);
}

// ---- Corruption marker and file checks ----------------------------------------------------------

class CorruptionFileTest : public ::testing::Test {
  protected:
    CorruptionFileTest() { writer_.ensureDirectory(); }

    std::string marker() const { return writer_.filePath(Hoard::Util::corruptionFileName); }

    TestSupport::ShmRoot shm_;
    Mem::RootPath writer_{debug(), "flowtracking/t1", true};
};

TEST_F(CorruptionFileTest, WritesTextAndLineFeedWithMode0644Replacing) {
    const mode_t oldMask = ::umask(077);
    Hoard::Util::writeCorruptionFile(writer_, "a much longer first report");
    Hoard::Util::writeCorruptionFile(writer_, "slot 7 bad link");
    ::umask(oldMask);
    EXPECT_EQ(readFile(marker()), "slot 7 bad link\n");
    struct stat st {};
    ASSERT_EQ(::stat(marker().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
}

TEST_F(CorruptionFileTest, NeverWritesThroughASymbolicLink) {
    const std::string target = shm_.path() + "/elsewhere";
    writeFile(target, "precious");
    ASSERT_EQ(::symlink(target.c_str(), marker().c_str()), 0);
    TestSupport::TraceCapture traces;
    Hoard::Util::writeCorruptionFile(writer_, "text");
    EXPECT_EQ(readFile(target), "precious");
    EXPECT_TRUE(traces.contains("writeCorruptionFile() cannot open")) << "the failure is traced";
}

TEST_F(CorruptionFileTest, ReaderWithoutWritePermissionSkipsQuietly) {
    // A reader of another user: the table directory is not writable for it.
    ASSERT_EQ(::chmod(shm_.path().c_str(), 0755), 0);
    ASSERT_EQ(::chmod(writer_.directory().c_str(), 0555), 0);
    TestSupport::Child child([&] {
        if (::geteuid() == 0 && ::setuid(65534) != 0) ::_exit(77);
        if (::geteuid() == 0) ::_exit(77);
        TestSupport::TraceCapture traces;
        Mem::RootPath reader(debug(), "flowtracking/t1");
        Hoard::Util::writeCorruptionFile(reader, "seen by a reader");
        return traces.entries().empty() && ::access(marker().c_str(), F_OK) != 0;
    });
    const int rc = child.wait();
    ::chmod(writer_.directory().c_str(), 0755);
    if (rc == 77) GTEST_SKIP() << "cannot run as an unprivileged user";
    EXPECT_EQ(rc, 0) << "the reader traced or wrote the marker";
    EXPECT_NE(::access(marker().c_str(), F_OK), 0);
}

TEST_F(CorruptionFileTest, ValidateFileChecksKindAndMinimumSize) {
    std::string error;
    const std::string file = writer_.filePath("slots");
    writeFile(file, std::string(100, 'x'));
    EXPECT_TRUE(Hoard::Util::validateFile(file, 100, error)) << error;
    EXPECT_FALSE(Hoard::Util::validateFile(file, 101, error));
    EXPECT_NE(error.find("below the minimum 101"), std::string::npos) << error;

    const std::string link = writer_.filePath("link");
    ASSERT_EQ(::symlink(file.c_str(), link.c_str()), 0);
    EXPECT_FALSE(Hoard::Util::validateFile(link, 0, error));
    EXPECT_NE(error.find("not a regular file"), std::string::npos) << error;
    EXPECT_FALSE(Hoard::Util::validateFile(writer_.directory(), 0, error));
    EXPECT_FALSE(Hoard::Util::validateFile(writer_.filePath("missing"), 0, error));
    EXPECT_NE(error.find("missing"), std::string::npos) << error;
}

TEST(HoardUtilTest, EnvironmentSwitchesAreOnOnlyForOne) {
    for (const char* value : {"0", "true", "11", "", " 1"}) {
        EnvGuard dut("FLOWTABLE_PHYSICAL_DUT", value);
        EnvGuard strict("FLOWTABLE_STRICT_VALIDATION", value);
        EXPECT_FALSE(Hoard::Util::runningOnPhysicalDut()) << value;
        EXPECT_FALSE(Hoard::Util::strictValidation()) << value;
    }
    EnvGuard dut("FLOWTABLE_PHYSICAL_DUT", "1");
    EnvGuard strict("FLOWTABLE_STRICT_VALIDATION", nullptr);
    EXPECT_TRUE(Hoard::Util::runningOnPhysicalDut());
    EXPECT_FALSE(Hoard::Util::strictValidation());
}

// ---- Interface defaults -------------------------------------------------------------------------

using TestOps = Hoard::Ops<std::uint32_t, U32Value, true, Herald::DummyHeraldWriter>;

// The least a read-only implementation must supply; everything else is the defaults.
class ReadOnlyTable : public Hoard::HoardInterface<std::uint32_t, U32Value, TestOps> {
  public:
    bool initialize(const std::string&) override { return true; }
    void detach(bool) override {}
    std::uint32_t members() const override { return 0; }
    std::uint32_t minSize() const override { return 0; }
    std::uint32_t maxSize() const override { return 0; }
    std::uint32_t capacity() const override { return 0; }
    Hoard::HoardType type() const override { return Hoard::reader; }
    const Hoard::RootPath& rootPath() const override { return root_; }
    std::string hoardName() const override { return root_.hoardName(); }
    int mountStatus() const override { return 0; }
    void validateVersionAnchor() override { runVersionAnchorHook(); }
    const U32Value* lookup(const std::uint32_t& key, bool& found, U32Value*) override {
        ++lookups;
        found = key == 7;
        stored_.k = key;
        return &stored_;
    }
    bool first(U32Value&, Hoard::IterHint&) override { return false; }
    bool next(const std::uint32_t&, U32Value&, Hoard::IterHint&) override { return false; }

    int lookups = 0;

  private:
    Hoard::RootPath root_{debug(), "t"};
    U32Value stored_;
};

template <class F>
std::string noPermissionText(F f) {
    try {
        f();
    } catch (const Basalt::NoPermissionException& e) {
        return e.message();
    }
    return "(no exception)";
}

TEST(HoardInterfaceTest, RecordChangesAreRefusedWithTheReadOnlyTexts) {
    ReadOnlyTable table;
    Hoard::HoardInterface<std::uint32_t, U32Value, TestOps>& t = table;
    U32Value v;
    EXPECT_EQ(noPermissionText([&] { t.write(v, true); }), "write to read-only Hoard table");
    EXPECT_EQ(noPermissionText([&] { t.remove(1, v); }), "remove to read-only Hoard table");
    EXPECT_EQ(noPermissionText([&] { t.directWrite(1); }), "write to read-only Hoard table");
    EXPECT_EQ(noPermissionText([&] { t.directUpdate(1); }), "write to read-only Hoard table");
    EXPECT_EQ(noPermissionText([&] { t.directCommit(); }), "write to read-only Hoard table");
    bool found = false;
    EXPECT_EQ(t.directLookup(7, found, nullptr)->k, 7u);
    EXPECT_TRUE(found);
    EXPECT_EQ(table.lookups, 1) << "directLookup forwards to lookup";
}

TEST(HoardInterfaceTest, BaseDefaultsAndStoredSettings) {
    ReadOnlyTable table;
    Hoard::HoardInterfaceBase& t = table;
    EXPECT_FALSE(t.initialized());
    t.initializedIs(true);
    EXPECT_TRUE(t.initialized());
    EXPECT_TRUE(t.validate());
    EXPECT_TRUE(t.validateFiles());
    EXPECT_NO_THROW(t.cleanup());
    EXPECT_TRUE(t.quiesced());
    EXPECT_FALSE(t.connected());
    EXPECT_EQ(t.writerCounters().writes, 0u);
    EXPECT_EQ(t.readerCounters().lookups, 0u);
    EXPECT_EQ(t.sequence(), 0u);
    EXPECT_TRUE(t.clientQuiesced("anyone"));
    EXPECT_EQ(t.fenixId(), 0u);
    EXPECT_EQ(t.getCacheVersionAnchor(), (Mem::CacheVersionAnchor{0, 0}));

    EXPECT_EQ(t.yieldTime(), 0.05);
    EXPECT_EQ(t.sample(), 8u);
    t.notifyingIs(true);
    t.yieldTimeIs(0.25);
    t.sampleIs(3);
    EXPECT_TRUE(t.notifying());
    EXPECT_EQ(t.yieldTime(), 0.25);
    EXPECT_EQ(t.sample(), 3u);

    int hookCalls = 0;
    t.validateVersionAnchor();  // no hook: nothing to call
    t.validateVersionAnchorHookIs([&] { ++hookCalls; });
    t.validateVersionAnchor();
    EXPECT_EQ(hookCalls, 1);
}

// ---- Socket name --------------------------------------------------------------------------------

TEST(ShocketAcceptSmTest, NameParsesAndIsStableWithinAProcess) {
    const std::string& name = Kick::ShocketAcceptSm::instance().socketName();
    SharedMem::ShocketName parsed;
    ASSERT_TRUE(parsed.ShocketNameIs(name)) << name;
    EXPECT_EQ(parsed.name(), "@flowtable-kick-" + std::to_string(::getpid()));
    EXPECT_EQ(parsed.toString(), name);
    EXPECT_LE(name.size(), SharedMem::OwnerRecord::kMaxSocketName);
    EXPECT_EQ(&Kick::ShocketAcceptSm::instance().socketName(), &name);
    EXPECT_EQ(Kick::ShocketAcceptSm::instance().socketName(), name);
}

// Forks while other threads keep asking for the name: every child must get its own name at once
// (a child that inherited the name's lock held would hang, bounded by the signal's wait).
TEST(ShocketAcceptSmTest, EachForkedChildGetsItsOwnName) {
    const std::string parentName = Kick::ShocketAcceptSm::instance().socketName();
    // Threads that keep asking until the test ends, however it ends.
    struct Askers {
        std::atomic<bool> stop{false};
        std::vector<std::thread> threads;
        ~Askers() {
            stop = true;
            for (auto& t : threads) t.join();
        }
    } askers;
    for (int i = 0; i < 3; ++i) {
        askers.threads.emplace_back([&] {
            while (!askers.stop.load()) {
                (void)Kick::ShocketAcceptSm::instance().socketName().size();
            }
        });
    }
    for (int round = 0; round < 20; ++round) {
        TestSupport::Signal named;
        TestSupport::Child child([&] {
            const std::string name = Kick::ShocketAcceptSm::instance().socketName();
            named.post();
            SharedMem::ShocketName parsed;
            return name != parentName && parsed.ShocketNameIs(name) &&
                   parsed.name() == "@flowtable-kick-" + std::to_string(::getpid());
        });
        const bool answered = named.wait(30.0);
        if (!answered) child.kill();
        ASSERT_TRUE(answered) << "the child hung asking for its name, round " << round;
        ASSERT_EQ(child.wait(), 0) << "round " << round;
    }
    EXPECT_EQ(Kick::ShocketAcceptSm::instance().socketName(), parentName);
}

}  // namespace
