// hoardctl end to end: the real binary run in its own process against a private shm root. Value
// texts round-trip through put, list and get; list reads a table while another process writes
// it; writes refuse what they cannot do safely without touching the files; read-only commands
// name the fault of a damaged copy and write nothing; errors are one stderr line with exit 1,
// bad usage exits 2.

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/Fork.h"
#include "tests/support/ShmRoot.h"
#include "tests/support/WriterTypes.h"

namespace {

namespace fs = std::filesystem;
using FlowTracking::IpFlowEntry;
using namespace testing;
using TestSupport::flowEntry;

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

// How hoardctl is run besides its arguments and its standard input.
struct Launch {
    bool unprivileged = false;  // as uid/gid 65534 when the test runs as root (permissions hold)
    rlim_t fileSizeLimit = RLIM_INFINITY;  // RLIMIT_FSIZE, SIGXFSZ ignored: a full filesystem
    // Called once when the first output arrives. hoardctl keeps writing until the pipe is full
    // and then waits: the call runs while hoardctl is in the middle of its output.
    std::function<void()> midway = {};
};

// Runs hoardctl with `args` and `input`; collects both outputs. The bound only guards against a
// hang (hoardctl is killed and the test fails).
Outcome hoardctl(const std::vector<std::string>& args, const std::string& input = "",
                 Launch run = {}) {
    const int in = ::memfd_create("in", MFD_CLOEXEC), err = ::memfd_create("err", MFD_CLOEXEC);
    int out[2];
    if (in < 0 || err < 0 || ::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("no fds");
    (void)!::pwrite(in, input.data(), input.size(), 0);
    std::vector<char*> argv{const_cast<char*>(HOARDCTL_PATH)};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    TestSupport::Child child([&] {
        ::dup2(in, 0);
        ::dup2(out[1], 1);
        ::dup2(err, 2);
        if (run.unprivileged && ::geteuid() == 0 &&
            (::setgid(65534) != 0 || ::setuid(65534) != 0)) {
            return false;
        }
        if (run.fileSizeLimit != RLIM_INFINITY) {
            ::signal(SIGXFSZ, SIG_IGN);
            const rlimit limit{run.fileSizeLimit, RLIM_INFINITY};
            ::setrlimit(RLIMIT_FSIZE, &limit);
        }
        ::execv(HOARDCTL_PATH, argv.data());
        return false;
    });
    ::close(out[1]);
    Outcome r;
    char buf[4096];
    pollfd pending{out[0], POLLIN, 0};
    for (ssize_t n;
         ::poll(&pending, 1, 120'000) > 0 && (n = ::read(out[0], buf, sizeof buf)) > 0;) {
        r.out.append(buf, static_cast<std::size_t>(n));
        if (run.midway) std::exchange(run.midway, {})();
    }
    r.status = child.wait(120);
    EXPECT_NE(r.status, TestSupport::Child::timedOut) << "hoardctl did not finish";
    for (ssize_t n; (n = ::pread(err, buf, sizeof buf, static_cast<off_t>(r.err.size()))) > 0;)
        r.err.append(buf, static_cast<std::size_t>(n));
    for (const int fd : {in, err, out[0]}) ::close(fd);
    return r;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream is(text);
    for (std::string line; std::getline(is, line);) out.push_back(line);
    return out;
}

template <class Value>
std::string text(const Value& v) {
    return valueToStrep(v).stdString();
}
std::string keyText(const IpFlowEntry& e) { return text(e.key()); }

// A failure: exit `status`, nothing on stdout, one "hoardctl: " line on stderr holding `what`.
void expectError(const Outcome& r, int status, const std::string& what) {
    EXPECT_EQ(r.status, status) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_THAT(r.err, AllOf(MatchesRegex("hoardctl: [^\n]*\n"), HasSubstr(what)));
}

// Every file under `dir` with its bytes.
std::map<std::string, std::string> snapshot(const std::string& dir) {
    std::map<std::string, std::string> files;
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
        std::ifstream in(e.path(), std::ios::binary);
        files[e.path().string()] =
            e.is_regular_file() ? std::string(std::istreambuf_iterator<char>(in), {}) : "<dir>";
    }
    return files;
}

constexpr const char* flows = "flowtracking/x/flowTable/t1/ipFlowEntry";

class HoardctlTest : public ::testing::Test {
  protected:
    TestSupport::ShmRoot shm;

    std::string dir(const std::string& table) const { return shm.path() + "/" + table; }
    void putFlows(std::uint32_t n) {
        std::string input;
        for (std::uint32_t i = 1; i <= n; ++i) input += text(flowEntry(i)) + "\n";
        const Outcome r = hoardctl({"put", flows}, input);
        ASSERT_EQ(r.status, 0) << r.err;
    }
};

TEST_F(HoardctlTest, PutThenListAndGetRoundTripTheValueTextsOfEveryTableKind) {
    using namespace Hoard::FlowTracker;
    const FlowCounterEntry total(FlowCounterKey(7), FlowEntry(1, 2, 3, 0.5));
    const auto group = TestSupport::groupEntry(5);
    const struct {
        std::string table;
        std::vector<std::string> values;
        std::string key, value;  // get's answer for a key text
    } kinds[] = {
        {flows,
         {text(flowEntry(1)), text(flowEntry(2)), text(flowEntry(3))},
         keyText(flowEntry(2)),
         text(flowEntry(2))},
        {"c/total", {text(total)}, "7", text(total)},  // a FlowCounterKey's text is a number
        {"c/groups", {text(group)}, text(group.key()), text(group)},
    };
    for (const auto& kind : kinds) {
        SCOPED_TRACE(kind.table);
        std::string input;
        for (const auto& v : kind.values) input += v + "\n\n";  // blank lines are skipped
        const Outcome put = hoardctl({"put", kind.table}, input);
        ASSERT_EQ(put.status, 0) << put.err;
        EXPECT_THAT(put.out, HasSubstr("created table"));
        const Outcome list = hoardctl({"list", kind.table});
        EXPECT_EQ(list.err, "");
        EXPECT_THAT(lines(list.out), UnorderedElementsAreArray(kind.values));
        EXPECT_EQ(hoardctl({"get", kind.table, kind.key}).out, kind.value + "\n");
        EXPECT_EQ(hoardctl({"validate", kind.table}).status, 0);
    }
    // list's output piped into put rebuilds the table elsewhere; put replaces records in place.
    ASSERT_EQ(hoardctl({"put", "copy/of/flows"}, hoardctl({"list", flows}).out).status, 0);
    EXPECT_EQ(lines(hoardctl({"list", "copy/of/flows"}).out).size(), 3u);
    EXPECT_THAT(hoardctl({"put", flows, text(flowEntry(2, 9))}).out,
                HasSubstr("(0 new, 1 replaced)"));
    EXPECT_EQ(hoardctl({"get", flows, keyText(flowEntry(2))}).out, text(flowEntry(2, 9)) + "\n");
}

struct LiveWriter {
    TestSupport::Signal ready, go, done, next;

    // A writer process. For each of `runs` fresh tables "live/<run>" (slot limit 1,024: more
    // records grow it in 10 % steps) it writes records 1..base and posts `ready`; until `go` it
    // writes new generations of every seventh record; then it adds `batch` records, posts `done`
    // and waits for `next`.
    TestSupport::Child start(int runs, std::uint32_t base, std::uint32_t batch) {
        return TestSupport::Child([this, runs, base, batch] {
            Hoard::MapDescriptor d;
            d.slotLimit = 1024;
            for (int run = 0; run < runs; ++run) {
                TestSupport::FlowWriter w(Basalt::Platform::getDebugHandler("HoardctlTest"),
                                          "live/" + std::to_string(run), d, TestSupport::FlowOps(),
                                          "Test");
                w.initialize("test");
                for (std::uint32_t i = 1; i <= base; ++i) w.write(flowEntry(i), true);
                ready.post();
                for (std::uint64_t gen = 1; !go.wait(0); ++gen) {
                    if (gen == 1'000'000) return false;  // nobody said go
                    for (std::uint32_t i = 1; i <= base; i += 7) w.write(flowEntry(i, gen), true);
                }
                for (std::uint32_t i = base + 1; i <= base + batch; ++i) {
                    w.write(flowEntry(i), true);
                }
                done.post();
                if (!next.wait(60)) return false;
            }
            return true;
        });
    }
};

// list's output holds every record 1..base once, none torn (a torn copy would mix two
// generations: bytes is port * 1,000 + pkts in every whole one), and no more than base + batch.
void expectWholeRecords(const Outcome& list, std::uint32_t base, std::uint32_t batch) {
    ASSERT_EQ(list.status, 0) << list.err;
    std::set<std::uint32_t> ports;
    for (const auto& line : lines(list.out)) {
        const auto e = Kiln::strepToValue<IpFlowEntry>(Kiln::String(line));
        ASSERT_EQ(e.bytes(), e.key().srcPort() * 1000ull + e.pkts()) << "torn: " << line;
        ASSERT_TRUE(ports.insert(e.key().srcPort()).second) << "twice: " << line;
    }
    for (std::uint32_t i = 1; i <= base; ++i) ASSERT_TRUE(ports.count(i)) << "missing " << i;
    EXPECT_LE(ports.size(), base + batch);
}

TEST_F(HoardctlTest, ListReadsWholeRecordsWhileAWriterProcessUpdatesAndWritesAreRefused) {
    LiveWriter live;
    TestSupport::Child writer = live.start(1, 200, 0);
    ASSERT_TRUE(live.ready.wait(30, writer)) << "the writer ended before its table was ready";
    for (int round = 0; round < 5; ++round)
        expectWholeRecords(hoardctl({"list", "live/0"}), 200, 0);
    const std::string pid = "pid " + std::to_string(writer.pid());
    expectError(hoardctl({"put", "live/0", text(flowEntry(1))}), 1, "owned by live writer " + pid);
    expectError(hoardctl({"rm", "live/0", keyText(flowEntry(1))}), 1, pid);
    const Outcome validate = hoardctl({"validate", "live/0"});
    EXPECT_EQ(validate.status, 0) << validate.err;
    EXPECT_THAT(validate.out,
                AllOf(HasSubstr("owned by live writer " + pid), HasSubstr("headers valid")));
    EXPECT_THAT(hoardctl({"ls"}).out, ContainsRegex(pid + " .* alive"));
    live.go.post();
    EXPECT_TRUE(live.done.wait(30, writer));
    live.next.post();
    EXPECT_EQ(writer.wait(), 0);
    EXPECT_THAT(hoardctl({"validate", "live/0"}).out, HasSubstr("valid: 200 records"));
}

TEST_F(HoardctlTest, ListWhileAWriterGrowsTheTableIsCompleteAndUntornInEveryRun) {
    // Each run: a live writer's fresh table of 2,000 records (past its slot limit), and a batch of
    // 1,000 more written while list is in the middle of its output.
    constexpr int runs = 50;
    LiveWriter live;
    TestSupport::Child writer = live.start(runs, 2000, 1000);
    for (int run = 0; run < runs; ++run) {
        SCOPED_TRACE(run);
        ASSERT_TRUE(live.ready.wait(60, writer)) << "the writer ended before its table was ready";
        const auto batch = [&] {
            live.go.post();
            ASSERT_TRUE(live.done.wait(60, writer)) << "the writer ended before its batch";
        };
        const Outcome list =
            hoardctl({"list", "live/" + std::to_string(run)}, "", {.midway = batch});
        live.next.post();
        expectWholeRecords(list, 2000, 1000);
    }
    EXPECT_EQ(writer.wait(), 0);
}

TEST_F(HoardctlTest, RmRemovesPresentKeysAndReportsMissingOnesWithExitOne) {
    putFlows(3);
    const Outcome rm = hoardctl({"rm", flows, keyText(flowEntry(2)), keyText(flowEntry(9))});
    EXPECT_EQ(rm.status, 1);
    EXPECT_THAT(lines(rm.out), ElementsAre("removed " + keyText(flowEntry(2)),
                                           "not found " + keyText(flowEntry(9))));
    expectError(hoardctl({"get", flows, keyText(flowEntry(2))}), 1, "no record with key");
    EXPECT_EQ(hoardctl({"rm", flows, keyText(flowEntry(1))}).status, 0);
    EXPECT_EQ(hoardctl({"validate", flows}).out, "valid: 1 record, 15 free slots of 16\n");
}

template <class T>
std::string bytesOf(T value) {
    return std::string(reinterpret_cast<const char*>(&value), sizeof value);
}

TEST_F(HoardctlTest, DamagedCopiesAreNamedByEveryCommandAndNoCommandWritesToThem) {
    putFlows(5);
    ::chmod(shm.path().c_str(), 0755);  // an unprivileged hoardctl reaches the tables
    const auto copy = [&](const std::string& damage) {
        fs::create_directories(dir("bad/" + damage));
        for (const char* f : {"slots", "buckets", "fenix", "owner"})
            fs::copy_file(dir(flows) + "/" + f, dir("bad/" + damage) + "/" + f);
        return dir("bad/" + damage) + "/";
    };
    // Slot 0 (past the 192-byte header and the lookaside slot) holds the first record written.
    const std::uint64_t slot0 = 192 + 2 * Hoard::SlotWriterTable<IpFlowEntry>::slotSize;
    const std::uintmax_t size = fs::file_size(dir(flows) + "/slots");
    const auto overwrite = [](const std::string& file, std::uint64_t offset, std::string bytes) {
        std::fstream f(file, std::ios::binary | std::ios::in | std::ios::out);
        f.seekp(static_cast<std::streamoff>(offset));
        ASSERT_TRUE(f.write(bytes.data(), static_cast<std::streamsize>(bytes.size())));
    };
    overwrite(copy("unoccupied") + "slots", slot0 + 8, bytesOf(~Hoard::SlotTable::occupied));
    overwrite(copy("badLink") + "slots", slot0, bytesOf(23ull << 32));  // next: past 16 slots
    overwrite(copy("checksum") + "slots", 156, bytesOf(99u));  // maxSlots: the checksum fails
    overwrite(copy("noise") + "slots", 0, std::string(size, '\xA7'));
    overwrite(copy("ownerChecksum") + "owner", 40, "\x5A");  // one byte of the socket name
    overwrite(copy("ownerMagic") + "owner", 0, "XXXX");
    overwrite(copy("ownerNoise") + "owner", 0, std::string(136, '\xA7'));
    fs::resize_file(copy("halved") + "slots", size / 2);
    fs::resize_file(copy("empty") + "slots", 0);
    ASSERT_TRUE(fs::remove(copy("directory") + "slots"));
    fs::create_directory(dir("bad/directory/slots"));
    ASSERT_EQ(::chmod((copy("unreadable") + "slots").c_str(), 0), 0);

    // What each command says of the table "bad/<damage>", failing with exit 1; ls lists the table
    // with exit 0.
    const std::vector<std::string> reads{"list", "get", "count", "validate", "header", "ls"};
    const struct {
        std::string damage;
        std::vector<std::string> commands;
        std::string says;
    } rows[] = {
        {"unoccupied", {"validate", "rm"}, "not marked as occupied"},
        {"badLink", {"validate", "rm"}, "out-of-range index: 23"},
        {"unoccupied", {"put"}, "fails validation"},
        {"badLink", {"put"}, "fails validation"},
        {"checksum", {"list", "get", "validate", "ls"}, "checksum fail"},
        {"checksum", {"header"}, "headers: invalid: SlotTable::Header::validate() checksum fail"},
        {"noise", reads, "bad magic"},
        {"halved", reads, "bad shmem size"},
        {"empty", reads, "bad header file size: 0"},
        {"directory", reads, "slots is not a regular file"},
        {"directory", {"put", "rm"}, "slots is not a regular file"},
        {"unreadable", reads, "slots: Permission denied"},  // not as root
        {"ownerChecksum", {"put", "rm"}, "/owner is damaged"},
        {"ownerMagic", {"put", "rm"}, "/owner is damaged"},
        {"ownerNoise", {"put", "rm"}, "/owner is damaged"},
    };
    const auto before = snapshot(shm.path());
    for (const auto& row : rows) {
        const std::string table = "bad/" + row.damage;
        for (const auto& command : row.commands) {
            SCOPED_TRACE(row.damage + ": " + command);
            std::vector<std::string> args{command, table};
            if (command == "get" || command == "rm") args.push_back(keyText(flowEntry(1)));
            if (command == "put") args.push_back(text(flowEntry(6)));
            if (command == "ls") args.pop_back();
            const bool write = command == "put" || command == "rm";
            const Outcome r =
                hoardctl(args, "", {.unprivileged = row.damage == "unreadable" && !write});
            if (command == "ls") {
                EXPECT_EQ(r.status, 0) << r.err;
                EXPECT_THAT(r.out, ContainsRegex("(^|\n)" + table + " [^\n]*" + row.says));
            } else if (r.err.empty()) {  // validate, header and count answer on stdout
                EXPECT_EQ(r.status, 1) << r.out;
                ASSERT_FALSE(r.out.empty());
                EXPECT_THAT(lines(r.out).back(), HasSubstr(row.says)) << r.out;
            } else {
                expectError(r, 1, row.says);
            }
        }
    }
    // Not even the reader's corruption marker: read-only commands and refused writes write nothing.
    EXPECT_EQ(snapshot(shm.path()), before);
    EXPECT_EQ(hoardctl({"count", "bad/ownerNoise"}).out, "5\n") << "readers need no owner";
}

TEST_F(HoardctlTest, EachCommandAnswersWithItsExitStatusAndNoFailureWritesAnything) {
    putFlows(3);
    ASSERT_EQ(hoardctl({"put", "c/groups", text(TestSupport::groupEntry(1))}).status, 0);
    ::chmod(shm.path().c_str(), 0755);
    // An answer (exit 0) holds `says` on stdout; a failure is expectError's one stderr line.
    struct Row {
        std::vector<std::string> args;
        int status;
        std::string says;
        std::string input = "";
        Launch run = {};
    };
    std::vector<Row> rows = {
        {{"count", flows}, 0, "3\n"},
        {{"header", flows}, 0, "SlotTable::Header() magic:0x544c534452414f48 version:17"},
        {{"header", flows}, 0, "valueType:\"FlowTracking::IpFlowEntry\""},
        {{"header", flows}, 0, "occupiedSlots:3"},
        {{"header", flows}, 0, "BucketTable::Header() magic:0x544b424452414f48"},
        {{"header", flows}, 0, "headers: valid"},
        {{"--root", dir("flowtracking"), "get", "x/flowTable/t1/ipFlowEntry",
          keyText(flowEntry(3))},
         0,
         text(flowEntry(3)) + "\n"},
        {{"--help"}, 0, "validate TABLE"},
        {{}, 2, "no command"},
        {{"frobnicate"}, 2, "unknown command 'frobnicate'"},
        {{"list"}, 2, "list: missing operand"},
        {{"get", flows}, 2, "get: missing operand"},
        {{"list", flows, "extra"}, 2, "unexpected operand 'extra'"},
        {{"list", "--bogus", flows}, 2, "unknown option '--bogus'"},
        {{"ls", "--root"}, 2, "--root needs a directory"},
        {{"list", "a/../b"}, 2, "bad table name 'a/../b'"},
        {{"get", "no/table", "1"}, 1, "no table no/table"},
        {{"list", "no/table"}, 1, "no table no/table"},
        {{"validate", "no/table"}, 1, "no table"},
        {{"header", "no/table"}, 1, "no table"},
        {{"rm", "no/table", "1"}, 1, "no table"},
        {{"get", flows, "Value('FlowTracking::IpFlowKey', ** {'vrfId': x"},
         1,
         "bad key text for a table of FlowTracking::IpFlowEntry: vrfId: "},
        {{"put", flows, "not a value"}, 1, "bad value text (operand 1)"},
        {{"put", flows}, 1, "(line 2)", text(flowEntry(2)) + "\nValue('FlowTracking::IpFlow"},
        {{"put", flows, text(TestSupport::groupEntry(1))},
         1,
         "holds FlowTracking::IpFlowEntry values, not Hoard::FlowTracker::FlowGroupCounter"},
        {{"put", "t/new", "Value('No::Such', ** {})"}, 1, "unknown value type"},
        {{"put", flows}, 1, "no value text on standard input"},
        // A new table that cannot be created leaves nothing of itself behind, and a root this
        // user may not write is not a table owned by another writer.
        {{"put", "full/t", text(flowEntry(1))}, 1, "File too large", "", {.fileSizeLimit = 1000}},
        {{"put", flows, text(flowEntry(2))}, 1, "belongs to uid 0", "", {.unprivileged = true}},
        {{"put", "new/t", text(flowEntry(2))}, 1, "Permission denied", "", {.unprivileged = true}},
    };
    for (const char* command : {"ls", "header", "list", "get", "put", "rm", "validate", "count"})
        rows.push_back(
            {{command, "--help"}, 0, std::string("usage: hoardctl [--root DIR] ") + command});
    const auto before = snapshot(shm.path());
    for (const auto& row : rows) {
        SCOPED_TRACE(PrintToString(row.args));
        if (row.run.unprivileged && ::geteuid() != 0) continue;  // only root starts another user
        const Outcome r = hoardctl(row.args, row.input, row.run);
        if (row.status == 0) {
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(r.err, "");
            EXPECT_THAT(r.out, HasSubstr(row.says));
        } else {
            expectError(r, row.status, row.says);
            EXPECT_THAT(r.err, Not(HasSubstr("owned by")));
        }
    }
    EXPECT_EQ(snapshot(shm.path()), before);

    // ls: a row per table under the root (an operand or --root), put's writer gone.
    const auto ls = lines(hoardctl({"ls"}).out);
    ASSERT_EQ(ls.size(), 3u);
    EXPECT_THAT(ls[0], MatchesRegex("TABLE +VALUETYPE +MEMBERS +SLOTS +SLOTLIMIT +WRITER"));
    EXPECT_THAT(ls[1], MatchesRegex("c/groups +Hoard::FlowTracker::FlowGroupCounterEntry +1 +64 "
                                    "+1024 +pid [0-9]+ gone"));
    EXPECT_THAT(ls[2], MatchesRegex(std::string(flows) + " +FlowTracking::IpFlowEntry +3 +16 "
                                                         "+1024 +pid [0-9]+ gone"));
    EXPECT_EQ(lines(hoardctl({"ls", dir("flowtracking")}).out).size(), 2u);
    EXPECT_EQ(lines(hoardctl({"--root", dir("c"), "ls"}).out).size(), 2u);
}

}  // namespace
