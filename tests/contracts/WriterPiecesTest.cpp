// The small outside pieces the table writer calls: the version anchor, the mode texts, the
// feature toggle file, the corruption marker and file checks, the read-only interface defaults
// and the process-wide socket name (also across fork).

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "contracts/Basalt/DebugHandler.h"
#include "contracts/Basalt/Exception.h"
#include "contracts/Config/Toggle.h"
#include "contracts/Herald/DummyHeraldWriter.h"
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
#include "tests/support/SharedPage.h"
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

// Sets (or, with nullptr, unsets) an environment variable for one scope.
class EnvGuard {
  public:
    EnvGuard(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) previous_ = old;
        set(value);
    }
    ~EnvGuard() { set(previous_ ? previous_->c_str() : nullptr); }

  private:
    void set(const char* value) {
        if (value != nullptr) {
            ::setenv(name_, value, 1);
        } else {
            ::unsetenv(name_);
        }
    }
    const char* name_;
    std::optional<std::string> previous_;
};

// Status words in memory shared with forked children; the anchor watches word 16 (offset 64).
using Words = std::array<std::uint32_t, 32>;

TEST(VersionAnchorTest, OnlyTheAnchoredWordChangedByAnotherProcessIsAMismatch) {
    TestSupport::SharedPage<Words> words;
    (*words)[16] = 0x11;
    Mem::VersionAnchor anchor;
    // Unset, and cleared by a miss after a hit: an assertion naming its source.
    for (int round = 0; round < 2; ++round) {
        try {
            anchor.validate();
            ADD_FAILURE() << "an unset anchor validated";
        } catch (const Basalt::AssertException& e) {
            for (const char* part : {"should not be called on a default-constructed VersionAnchor",
                                     "SharedMem/VersionAnchor", "VersionAnchor::validate"}) {
                EXPECT_NE(e.message().find(part), std::string::npos) << e.message();
            }
        }
        anchor.set(words->data(), 64, 0x11);
        if (round == 0) anchor.clear();
    }
    (*words)[17] = 0x99;  // a neighbouring word is not the anchor
    EXPECT_NO_THROW(anchor.validate());
    TestSupport::Child child([&] {
        Mem::Atomics::storeRelease((*words)[16], std::uint32_t{0x15});  // a rewrite bumps status
        return true;
    });
    ASSERT_EQ(child.wait(), 0);
    try {
        anchor.validate();
        FAIL() << "a changed status word validated";
    } catch (const Mem::VersionMismatchException& e) {
        EXPECT_EQ(e.message(), "");
    }
    anchor.set(words->data(), 64, 0x15);  // recording the new status makes it current again
    EXPECT_NO_THROW(anchor.validate());

    // Invalidated or baseless: a mismatch even though the word is unchanged.
    anchor.invalidate();
    EXPECT_THROW(anchor.validate(), Mem::VersionMismatchException);
    anchor.set(nullptr, 64, 0x15);
    EXPECT_THROW(anchor.validate(), Mem::VersionMismatchException);
    // A misaligned word cannot be loaded atomically: a programming fault, not a stray load.
    anchor.set(words->data(), 66, 0x15);
    EXPECT_THROW(anchor.validate(), Basalt::AssertException);
}

TEST(HoardTypeTest, TextsOfValidAndInvalidModes) {
    using Hoard::HoardType;
    static_assert(sizeof(HoardType) == 4, "the mode is a 32-bit number");
    std::ostringstream os;
    for (const std::uint32_t mode : {0u, 1u, 2u, 3u, 4u, 0xFFFFFFFFu}) {
        os << static_cast<HoardType>(mode) << "|";
    }
    EXPECT_EQ(os.str(), "writer|shadow|reader|keyshadow|||");
    EXPECT_EQ(Hoard::hoardTypeText(Hoard::keyshadow), "keyshadow");
}

// The toggle file lives in a scratch directory the test names to the reader of the toggles.
class ToggleTest : public ::testing::Test {
  protected:
    std::string file() const { return shm_.path() + "/SharedMem.json"; }
    // The toggle's state with each default: {default false, default true}.
    std::pair<bool, bool> states() const {
        return {getToggleState("OneSocketKick", "SharedMem.json", false),
                getToggleState("OneSocketKick", "SharedMem.json", true)};
    }

    TestSupport::ShmRoot shm_;
    EnvGuard env_{"FLOWTABLE_TOGGLE_DIR", shm_.path().c_str()};
};

const std::pair<bool, bool> kDefault{false, true};

// Only a top-level boolean member of exactly that name, in a whole well-formed file within the
// size bound, overrides the default; the last duplicate wins and escaped names are decoded.
TEST_F(ToggleTest, OnlyAWellFormedBooleanMemberOverridesTheDefault) {
    EXPECT_EQ(states(), kDefault) << "no file";
    const std::pair<std::string, bool> overriding[] = {
        {R"({"OneSocketKick": false})", false},
        {" \n{\t\"Other\" : [1, {\"a\": null}, \"x\\\"y\"], \"OneSocketKick\":true , "
         "\"Last\": -1.5e3 }\n",
         true},
        {R"({"One\u0053ocketKick": true, "OneSocketKick": false})", false},
    };
    for (const auto& [text, state] : overriding) {
        writeFile(file(), text);
        EXPECT_EQ(states(), std::make_pair(state, state)) << text;
    }
    const std::string deep = std::string(100000, '[');
    const std::string large = "{\"pad\": \"" + std::string(70000, 'x') + "\", ";
    for (const std::string& text :
         {// Other keys, nested keys, non-booleans.
          std::string(R"({"OtherToggle": false})"), std::string("{}"),
          std::string(R"({"nested": {"OneSocketKick": false}})"),
          std::string(R"({"OneSocketKick": "false"})"), std::string(R"({"OneSocketKick": 0})"),
          std::string(R"({"OneSocketKick": null})"),
          std::string(R"({"OneSocketKick": true, "OneSocketKick": 1})"),
          std::string(R"({"onesocketkick": false})"),
          // Malformed texts.
          std::string(""), std::string("{\"OneSocketKick\": false"),
          std::string("{\"OneSocketKick\": false,}"), std::string("{'OneSocketKick': false}"),
          std::string("{\"OneSocketKick\": False}"), std::string("{\"OneSocketKick\": fals}"),
          std::string("{\"OneSocketKick\": false} x"), std::string("[{\"OneSocketKick\": false}]"),
          std::string("{\"OneSocketKick\" false}"), std::string("{\"OneSocketKick\": false}{}"),
          std::string("{\"x\": 01, \"OneSocketKick\": false}"),
          std::string("{\"x\": \"\\q\", \"OneSocketKick\": false}"),
          std::string("{\"x\": " + deep + ", \"OneSocketKick\": false}"),
          std::string("{\"One\0SocketKick\": false}", 25),
          // Well-formed, but larger than the bound.
          large + "\"OneSocketKick\": false}"}) {
        writeFile(file(), text);
        EXPECT_EQ(states(), kDefault) << text.substr(0, 60);
    }
}

TEST_F(ToggleTest, SpecialFilesGiveTheDefaultWithoutBlocking) {
    // A FIFO with no writer: opening it must not wait.
    ASSERT_EQ(::mkfifo(file().c_str(), 0644), 0);
    EXPECT_EQ(states(), kDefault);
    ::unlink(file().c_str());
    ASSERT_EQ(::mkdir(file().c_str(), 0755), 0);
    EXPECT_EQ(states(), kDefault);
}

class CorruptionFileTest : public ::testing::Test {
  protected:
    CorruptionFileTest() { writer_.ensureDirectory(); }

    std::string marker() const { return writer_.filePath(Hoard::Util::corruptionFileName); }

    TestSupport::ShmRoot shm_;
    Mem::RootPath writer_{debug(), "flowtracking/t1", true};
};

TEST_F(CorruptionFileTest, WritesTextAndLineFeedWithMode0644ReplacingButNeverThroughALink) {
    const mode_t oldMask = ::umask(077);
    Hoard::Util::writeCorruptionFile(writer_, "a much longer first report");
    Hoard::Util::writeCorruptionFile(writer_, "slot 7 bad link");
    ::umask(oldMask);
    EXPECT_EQ(readFile(marker()), "slot 7 bad link\n");
    struct stat st {};
    ASSERT_EQ(::stat(marker().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);

    const std::string target = shm_.path() + "/elsewhere";
    writeFile(target, "precious");
    ::unlink(marker().c_str());
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

struct U32Value {
    std::uint32_t k = 0;
    const std::uint32_t& key() const { return k; }
};
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
    void validateVersionAnchor() override {}
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

// The name is "@flowtable-kick-<pid>", parses, and is one stable string per process. Forks while
// other threads keep asking for it: every child must get its own name at once (a child that
// inherited the name's lock held would hang, bounded by the signal's wait).
TEST(ShocketAcceptSmTest, NameIsStableWithinAProcessAndEachForkedChildGetsItsOwn) {
    auto ownName = [](const std::string& name) {
        SharedMem::ShocketName parsed;
        return parsed.ShocketNameIs(name) && parsed.toString() == name &&
               parsed.name() == "@flowtable-kick-" + std::to_string(::getpid()) &&
               name.size() <= SharedMem::OwnerRecord::kMaxSocketName;
    };
    const std::string parentName = Kick::ShocketAcceptSm::instance().socketName();
    EXPECT_TRUE(ownName(parentName)) << parentName;
    EXPECT_EQ(&Kick::ShocketAcceptSm::instance().socketName(),
              &Kick::ShocketAcceptSm::instance().socketName());
    // Threads that keep asking until the test ends, however it ends.
    std::vector<std::jthread> askers;
    for (int i = 0; i < 3; ++i) {
        askers.emplace_back([](std::stop_token stop) {
            while (!stop.stop_requested()) {
                (void)Kick::ShocketAcceptSm::instance().socketName().size();
            }
        });
    }
    for (int round = 0; round < 20; ++round) {
        TestSupport::Signal named;
        TestSupport::Child child([&] {
            const std::string name = Kick::ShocketAcceptSm::instance().socketName();
            named.post();
            return name != parentName && ownName(name);
        });
        ASSERT_TRUE(named.wait(30.0, child))
            << "the child hung asking for its name, round " << round;
        ASSERT_EQ(child.wait(), 0) << "round " << round;
    }
    EXPECT_EQ(Kick::ShocketAcceptSm::instance().socketName(), parentName);
}

}  // namespace
