// The small outside pieces the table writer calls: the mode texts, the feature toggle file, the
// corruption marker and file checks, and the process-wide socket name (also across fork).

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "contracts/Basalt/DebugHandler.h"
#include "contracts/Basalt/Exception.h"
#include "contracts/Config/Toggle.h"
#include "contracts/HoardBase/HoardType.h"
#include "contracts/HoardBase/Util.h"
#include "contracts/Kick/ShocketAcceptSm.h"
#include "contracts/Mem/RootPath.h"
#include "contracts/SharedMem/OwnerFile.h"
#include "tests/support/Processes.h"
#include "tests/support/ShmRoot.h"
#include "tests/support/TraceCapture.h"

namespace {

using TestSupport::ChildReport;
using TestSupport::Processes;

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

TEST(HoardTypeTest, TextsOfValidAndInvalidModes) {
    static_assert(sizeof(Hoard::HoardType) == 4, "the mode is a 32-bit number");
    std::ostringstream os;
    for (const std::uint32_t mode : {0u, 1u, 2u, 3u, 4u, 0xFFFFFFFFu}) {
        os << static_cast<Hoard::HoardType>(mode) << "|";
    }
    EXPECT_EQ(os.str(), "writer|shadow|reader|keyshadow|||");
    EXPECT_EQ(Hoard::hoardTypeText(Hoard::keyshadow), "keyshadow");
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

// Only a top-level boolean member of exactly that name, in a whole well-formed regular file within
// the size bound, overrides the default; the last duplicate wins and escaped names are decoded.
TEST_F(ToggleTest, OnlyAWellFormedBooleanMemberOverridesTheDefault) {
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
        writeFile(file(), text);
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
        writeFile(file(), text);
        EXPECT_EQ(states(), byDefault) << text.substr(0, 60);
    }
    // A FIFO with no writer (opening it must not wait) and a directory.
    ::unlink(file().c_str());
    ASSERT_EQ(::mkfifo(file().c_str(), 0644), 0);
    EXPECT_EQ(states(), byDefault);
    ::unlink(file().c_str());
    ASSERT_EQ(::mkdir(file().c_str(), 0755), 0);
    EXPECT_EQ(states(), byDefault);
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
        Processes p;
        const std::size_t child = p.start("child", [&](ChildReport& report) {
            const std::string name = Kick::ShocketAcceptSm::instance().socketName();
            p.ready.post();
            return (name != parentName && ownName(name)) || report.fail("named " + name);
        });
        ASSERT_TRUE(p.ready.wait(30.0, p.child(child))) << "round " << round << p.wait(child);
        ASSERT_EQ(p.waitAll(), "") << "round " << round;
    }
    EXPECT_EQ(Kick::ShocketAcceptSm::instance().socketName(), parentName);
}

}  // namespace
