// Table directories and file mappings: names that could leave the root, readers that must not
// create or grow anything, growth that keeps contents, shrinking that never cuts the file.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

#include "contracts/Basalt/Exception.h"
#include "contracts/Mem/RootPath.h"
#include "contracts/Mem/SharedMemWrapper.h"
#include "tests/support/ManualClockGuard.h"
#include "tests/support/ShmRoot.h"

namespace {

using Mem::RootPath;
using Mem::SharedMemWrapper;

class SharedMemWrapperTest : public ::testing::Test {
  protected:
    TestSupport::ShmRoot shm;
    std::shared_ptr<Basalt::Platform::DebugHandler> debug =
        Basalt::Platform::getDebugHandler("SharedMemWrapperTest");
};

TEST_F(SharedMemWrapperTest, TableNamesStayInsideTheRoot) {
    EXPECT_EQ(RootPath(debug, "/a/b/c").directory(), shm.path() + "/a/b/c");
    EXPECT_EQ(RootPath(debug, "/a/b/c").hoardName(), "a/b/c");
    for (const char* bad : {"", "/", "a//b", "a/./b", "a/../../etc", "..", "a/", "./a"}) {
        EXPECT_THROW(RootPath(debug, bad), Basalt::InvalidInitializeException) << bad;
    }
    // A level of the table's path that is a symbolic link is refused, not followed.
    ASSERT_EQ(::symlink("/tmp", (shm.path() + "/link").c_str()), 0);
    EXPECT_THROW(RootPath(debug, "link/t", true).ensureDirectory(),
                 Basalt::InvalidInitializeException);
    RootPath ok(debug, "x/y/z", true);
    ok.ensureDirectory();
    EXPECT_TRUE(ok.exists());
    ok.removeFile("absent");  // quiet
}

TEST_F(SharedMemWrapperTest, ReadersNeverCreateGrowOrWrite) {
    RootPath root(debug, "t", true);
    root.ensureDirectory();
    SharedMemWrapper reader(debug, root, "file", false);
    EXPECT_EQ(reader.attach(4096), nullptr);  // missing: not created
    EXPECT_NE(reader.reason().find("open"), std::string::npos);
    EXPECT_EQ(::access(root.filePath("file").c_str(), F_OK), -1);
    EXPECT_EQ(reader.attach(4096, SharedMemWrapper::Mode::readWrite), nullptr);

    SharedMemWrapper writer(debug, root, "file", true);
    auto* w = static_cast<char*>(writer.attach(4096));
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(writer.memSize(), 0u);  // new file
    std::strcpy(w, "hello");
    EXPECT_EQ(reader.attach(8192), nullptr);  // smaller than asked: refused, not grown
    EXPECT_EQ(writer.fileSize(), 4096u);
    const auto* r = static_cast<const char*>(reader.attach(100));
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(reader.mappedSize(), 4096u);  // the whole file
    EXPECT_STREQ(r, "hello");

    // A file name that is a symbolic link is never opened.
    ASSERT_EQ(::symlink(root.filePath("file").c_str(), root.filePath("alias").c_str()), 0);
    SharedMemWrapper viaLink(debug, root, "alias", true);
    EXPECT_EQ(viaLink.attach(4096), nullptr);
}

TEST_F(SharedMemWrapperTest, ShrinkNeverCutsAndReleasesTheTailOnlyAfterTheGrace) {
    TestSupport::ManualClockGuard clock;
    RootPath root(debug, "t", true);
    root.ensureDirectory();
    SharedMemWrapper writer(debug, root, "file", true);
    writer.releaseGraceIs(1.0);
    ASSERT_NE(writer.attach(4096), nullptr);
    std::memset(writer.base(), 0x5A, 4096);
    const std::size_t page = 4096, big = 64 * page;
    auto* p = static_cast<unsigned char*>(writer.resize(big));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p[page - 1], 0x5A);
    EXPECT_EQ(p[page], 0);
    std::memset(p, 0x77, big);
    SharedMemWrapper reader(debug, root, "file", false);
    ASSERT_NE(reader.attach(big), nullptr);
    const auto* r = static_cast<const unsigned char*>(reader.base());
    auto blocks = [&] {
        struct stat st;
        EXPECT_EQ(::stat(root.filePath("file").c_str(), &st), 0);
        EXPECT_EQ(static_cast<std::size_t>(st.st_size), big);  // a reader's mapping stays valid
        return static_cast<std::size_t>(st.st_blocks) * 512;
    };

    // A lagging reader keeps reading the old bytes while the tail is pending.
    ASSERT_NE(writer.resize(page), nullptr);
    EXPECT_EQ(writer.pendingTailFrom(), page);
    EXPECT_FALSE(writer.releaseTail());
    EXPECT_EQ(r[big - 1], 0x77);
    // A growth takes back what it covers; a second shrink restarts the grace.
    clock.advance(0.9);
    ASSERT_NE(writer.resize(16 * page), nullptr);
    EXPECT_EQ(writer.pendingTailFrom(), 16 * page);
    EXPECT_EQ(static_cast<unsigned char*>(writer.base())[16 * page - 1], 0x77);
    ASSERT_NE(writer.resize(8 * page), nullptr);
    EXPECT_EQ(writer.pendingTailFrom(), 8 * page);
    clock.advance(0.9);
    EXPECT_FALSE(writer.releaseTail());
    EXPECT_EQ(blocks(), big);
    clock.advance(0.2);
    EXPECT_TRUE(writer.releaseTail());
    EXPECT_EQ(blocks(), 8 * page);
    EXPECT_EQ(r[8 * page - 1], 0x77);

    // Re-attaching maps an existing larger file whole and reports its size.
    writer.detach();
    ASSERT_NE(writer.attach(4096), nullptr);
    EXPECT_EQ(writer.memSize(), big);
    EXPECT_EQ(writer.mappedSize(), big);
}

}  // namespace
