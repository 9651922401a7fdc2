// hoardctl end to end: the real binary, run in its own process against a private shm root. An
// error is one stderr line with exit 1, bad usage exits 2, and no failure touches the files.

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "FlowTracker/FlowTableMgrBase.h"
#include "Hoard/TableKind.h"
#include "contracts/Loom/EventLoop.h"
#include "tests/support/Fork.h"
#include "tests/support/SelfCheckingRecords.h"
#include "tests/support/ShmRoot.h"

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
    bool unprivileged = false;             // as uid/gid 65534 (the test runs as root then)
    rlim_t fileSizeLimit = RLIM_INFINITY;  // RLIMIT_FSIZE, SIGXFSZ ignored: a full filesystem
    // Called once when the first output arrives. hoardctl keeps writing until the pipe is full
    // and then waits: the call runs while hoardctl is in the middle of its output.
    std::function<void()> midway = {};
    int signalMidway = 0;  // sent to hoardctl (by pid) when its first output arrives
};

// A file's bytes (a memfd's through /proc/self/fd).
std::string contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Runs hoardctl with `args` and `input`; collects both outputs (a hang is killed and fails).
Outcome hoardctl(const std::vector<std::string>& args, const std::string& input = "",
                 Launch run = {}) {
    const int in = ::memfd_create("in", MFD_CLOEXEC);
    const int err = ::memfd_create("err", MFD_CLOEXEC);
    int out[2];
    EXPECT_TRUE(in >= 0 && err >= 0 && ::pipe2(out, O_CLOEXEC) == 0);
    (void)!::pwrite(in, input.data(), input.size(), 0);
    std::vector<char*> argv{const_cast<char*>(HOARDCTL_PATH)};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    TestSupport::Child child([&] {
        ::dup2(in, 0);
        ::dup2(out[1], 1);
        ::dup2(err, 2);
        if (run.unprivileged && (::setgid(65534) != 0 || ::setuid(65534) != 0)) return false;
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{run.fileSizeLimit, RLIM_INFINITY};
        ::setrlimit(RLIMIT_FSIZE, &limit);
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
        if (run.signalMidway) ::kill(child.pid(), std::exchange(run.signalMidway, 0));
    }
    r.status = child.wait(120);
    r.err = contents("/proc/self/fd/" + std::to_string(err));
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

// Every file under `dir` with its bytes.
std::map<std::string, std::string> snapshot(const std::string& dir) {
    std::map<std::string, std::string> files;
    for (const auto& e : fs::recursive_directory_iterator(dir))
        files[e.path().string()] = e.is_regular_file() ? contents(e.path()) : "<dir>";
    return files;
}

// A hoardctl run and its answer: exit `status` with `says` on stdout, or for a failure one
// "hoardctl: " line on stderr holding `says` and nothing on stdout (validate, header and rm may
// give their negative answer on stdout instead).
struct Row {
    std::vector<std::string> args;
    int status;
    std::string says;
    std::string input = "";
    Launch run = {};
};

void expectAnswers(const std::vector<Row>& rows) {
    for (const Row& row : rows) {
        SCOPED_TRACE(PrintToString(row.args));
        if (row.run.unprivileged && ::geteuid() != 0) continue;  // only root starts another user
        const Outcome r = hoardctl(row.args, row.input, row.run);
        EXPECT_EQ(r.status, row.status) << r.err;
        const std::string command = row.args.empty() ? "" : row.args[0];
        const bool verdict = command == "validate" || command == "header" || command == "rm";
        if (row.status == 0 || (verdict && r.err.empty())) {
            EXPECT_EQ(r.err, "");
            EXPECT_THAT(r.out, HasSubstr(row.says));
        } else {
            EXPECT_EQ(r.out, "");
            EXPECT_THAT(r.err, AllOf(MatchesRegex("hoardctl: [^\n]*\n"), HasSubstr(row.says)));
        }
    }
}

constexpr const char* flows = "flowtracking/x/flowTable/t1/ipFlowEntry";

TEST(Hoardctl, ListWhileAWriterGrowsAndShrinksTheTablePrintsEachKeptKeyOnceUntorn) {
    TestSupport::ShmRoot shm;
    // Each run: a writer process fills a fresh table "live/<run>" past its slot limit (it grows),
    // writes new generations of every seventh record until `go`, and then, while list is in the
    // middle of its output, `batch` records more (it grows) and removes all but every eighth
    // record (it shrinks, moving kept records from slots list has passed to slots ahead of it).
    constexpr int runs = 20;
    constexpr std::uint32_t base = 2000;
    constexpr std::uint32_t batch = 1000;
    TestSupport::Signal ready, go, done, next;
    TestSupport::Child writer([&] {
        Hoard::MapDescriptor d;
        d.slotLimit = 1024;
        for (int run = 0; run < runs; ++run) {
            TestSupport::FlowRecords::Writer w(Basalt::Platform::getDebugHandler("HoardctlTest"),
                                               "live/" + std::to_string(run), d, {}, "Test");
            w.initialize("test");
            for (std::uint32_t i = 1; i <= base; ++i) w.write(flowEntry(i), true);
            ready.post();
            for (std::uint64_t gen = 1; !go.wait(0); ++gen) {
                if (gen == 1'000'000) return false;  // nobody said go
                for (std::uint32_t i = 1; i <= base; i += 7) w.write(flowEntry(i, gen), true);
            }
            for (std::uint32_t i = base + 1; i <= base + batch; ++i) w.write(flowEntry(i), true);
            FlowTracking::IpFlowEntryWrapper gone;
            for (std::uint32_t i = 1; i <= base + batch; ++i) {
                if (i % 8 != 0) w.remove(flowEntry(i).key(), gone);
            }
            done.post();
            if (!next.wait(60)) return false;
        }
        return true;
    });
    const std::string pid = "pid " + std::to_string(writer.pid());
    for (int run = 0; run < runs; ++run) {
        SCOPED_TRACE(run);
        const std::string table = "live/" + std::to_string(run);
        ASSERT_TRUE(ready.wait(60, writer)) << "the writer ended before its table was ready";
        if (run == 0) {
            // The live writer's table is no one else's to write; validate checks its headers.
            expectAnswers({
                {{"put", table, text(flowEntry(1))}, 1, "owned by live writer " + pid},
                {{"rm", table, keyText(flowEntry(1))}, 1, "owned by live writer " + pid},
                {{"validate", table}, 0, "owned by live writer " + pid},
                {{"validate", table}, 0, "headers valid"},
                {{"ls"}, 0, pid + " (tools_tests) alive"},
            });
        }
        const auto midway = [&] {
            go.post();
            ASSERT_TRUE(done.wait(60, writer)) << "the writer ended before its batch";
        };
        const Outcome list = hoardctl({"list", table}, "", {.midway = midway});
        next.post();
        ASSERT_EQ(list.status, 0) << list.err;
        // Every kept record of 1..base once and none torn (a torn copy would mix two
        // generations: bytes is port * 1,000 + pkts in every whole one).
        std::set<std::uint32_t> ports;
        for (const auto& line : lines(list.out)) {
            const auto e = Kiln::strepToValue<IpFlowEntry>(Kiln::String(line));
            ASSERT_EQ(e.bytes(), e.key().srcPort() * 1000ull + e.pkts()) << "torn: " << line;
            ASSERT_TRUE(ports.insert(e.key().srcPort()).second) << "twice: " << line;
        }
        for (std::uint32_t i = 8; i <= base; i += 8) ASSERT_TRUE(ports.count(i)) << "missing " << i;
    }
    EXPECT_EQ(writer.wait(), 0);
    expectAnswers({{{"validate", "live/0"}, 0, "valid: 375 records"}});
}

// Every command against a table of every kind: value texts round-trip through put, list and get;
// bad usage, failures and damaged tables answer with their exit status and write nothing.
TEST(Hoardctl, EveryCommandAnswersWithItsExitStatusAndOnlyWritesWhenItSucceeds) {
    using TestSupport::groupEntry;
    TestSupport::ShmRoot shm;
    const auto dir = [&](const std::string& table) { return shm.path() + "/" + table; };
    const std::vector<std::string> flowTexts{text(flowEntry(1)), text(flowEntry(2)),
                                             text(flowEntry(3))};
    const std::string total = text(Hoard::FlowTracker::FlowCounterEntry(
        Hoard::FlowTracker::FlowCounterKey(7), Hoard::FlowTracker::FlowEntry(1, 2, 3, 0.5)));
    const std::string group = text(groupEntry(5));
    // put takes its value texts as operands or from standard input, skipping blank lines.
    const std::string input = flowTexts[0] + "\n\n" + flowTexts[1] + "\n" + flowTexts[2];
    expectAnswers({
        {{"put", flows}, 0, "created table", input},
        {{"put", "c/total", total}, 0, "created table"},
        {{"put", "c/groups", group}, 0, "created table"},
        {{"get", "c/total", "7"}, 0, total + "\n"},  // a FlowCounterKey's text is a number
        {{"list", "c/groups"}, 0, group + "\n"},
        {{"get", "c/groups", text(groupEntry(5).key())}, 0, group + "\n"},
    });
    EXPECT_THAT(lines(hoardctl({"list", flows}).out), UnorderedElementsAreArray(flowTexts));
    std::map<std::string, std::string> byKey;  // --sorted: in the order of the key texts
    for (std::uint32_t i = 1; i <= 3; ++i) byKey[keyText(flowEntry(i))] = text(flowEntry(i));
    std::string sorted;
    for (const auto& [key, record] : byKey) sorted += record + "\n";
    EXPECT_EQ(hoardctl({"list", flows, "--sorted"}).out, sorted);
    // ls: a row per table under the root (an operand or --root), put's writer gone.
    const std::string gone = " +1024 +pid [0-9]+ gone";
    EXPECT_THAT(
        lines(hoardctl({"ls"}).out),
        ElementsAre(
            MatchesRegex("TABLE +VALUETYPE +MEMBERS +SLOTS +SLOTLIMIT +WRITER"),
            MatchesRegex("c/groups +Hoard::FlowTracker::FlowGroupCounterEntry +1 +64" + gone),
            MatchesRegex("c/total +Hoard::FlowTracker::FlowCounterEntry +1 +64" + gone),
            MatchesRegex(std::string(flows) + " +FlowTracking::IpFlowEntry +3 +16" + gone)));
    EXPECT_EQ(lines(hoardctl({"--root", dir("c"), "ls"}).out).size(), 3u);

    ::chmod(shm.path().c_str(), 0755);  // an unprivileged hoardctl reaches the tables
    const std::string usage = "usage: hoardctl [--root DIR] ";
    std::vector<Row> rows = {
        {{"count", flows}, 0, "3\n"},
        {{"header", flows}, 0, "SlotTable::Header() magic:0x544c534452414f48 version:17"},
        {{"header", flows}, 0, "BucketTable::Header() magic:0x544b424452414f48"},
        {{"--help"}, 0, "validate TABLE"},
        {{"put", "--help"}, 0, "Hoard::FlowTracker::FlowGroupCounterEntry:\n    Value("},
        {{}, 2, "no command"},
        {{"frobnicate"}, 2, "unknown command 'frobnicate'"},
        {{"get", flows}, 2, "get: missing operand"},
        {{"list", flows, "extra"}, 2, "unexpected operand 'extra'"},
        {{"list", "--bogus", flows}, 2, "unknown option '--bogus'"},
        {{"ls", "--root"}, 2, "--root needs a directory"},
        {{"list", "a/../b"}, 2, "bad table name 'a/../b'"},
        {{"get", "no/table", "1"}, 1, "no table no/table"},
        {{"validate", "no/table"}, 1, "no table"},
        {{"rm", "no/table", "1"}, 1, "no table"},
        {{"get", flows, "Value('FlowTracking::IpFlowKey', ** {'vrfId': x"}, 1, "vrfId: "},
        {{"put", flows, "not a value"}, 1, "bad value text (operand 1)"},
        {{"put", flows}, 1, "(line 2)", text(flowEntry(2)) + "\nValue('FlowTracking::IpFlow"},
        {{"put", flows, text(groupEntry(1))}, 1, "holds FlowTracking::IpFlowEntry values, not"},
        {{"put", "t/new", "Value('No::Such', ** {})"}, 1, "unknown value type"},
        {{"put", flows}, 1, "no value text on standard input"},
        {{"watch", flows}, 1, "no change queue; watch follows counter tables only"},
        {{"watch", "c/groups", "--count", "0"}, 2, "--count needs a positive number"},
        {{"list", flows, "--count", "1"}, 2, "--count is an option of watch only"},
        {{"get", flows, "1", "--sorted"}, 2, "--sorted is an option of list only"},
        // A new table that cannot be created leaves nothing of itself behind, and a root this
        // user may not write is not a table owned by another writer.
        {{"put", "full/t", text(flowEntry(1))}, 1, "File too large", "", {.fileSizeLimit = 1000}},
        {{"put", flows, text(flowEntry(2))}, 1, "belongs to uid 0", "", {.unprivileged = true}},
        {{"put", "new/t", text(flowEntry(2))}, 1, "Permission denied", "", {.unprivileged = true}},
    };
    for (const char* command : {"ls", "header", "list", "get", "put", "rm", "validate", "repair",
                                "count", "watch", "types"})
        rows.push_back({{command, "--help"}, 0, usage + command});
    // types: every registered value type with its attributes, no entity.
    EXPECT_THAT(hoardctl({"types"}).out,
                AllOf(ContainsRegex("\n +13  bytes +read-write\n"), Not(HasSubstr("FlowTable\n"))));

    // Damaged copies of the flow table, each the only table under a root of its own
    // ("bad/<damage>/t"): what each command says of it, failing with exit 1; ls lists it.
    const auto copy = [&](const std::string& damage) {
        const std::string to = dir("bad/" + damage + "/t/");
        fs::create_directories(to);
        for (const char* f : {"slots", "buckets", "fenix", "owner"})
            fs::copy_file(dir(flows) + "/" + f, to + f);
        return to;
    };
    // Slot 0 (past the 192-byte header and the lookaside slot) holds the first record written.
    const std::uint64_t slot0 = 192 + 2 * Hoard::SlotWriterTable<IpFlowEntry>::slotSize;
    const std::uintmax_t size = fs::file_size(dir(flows) + "/slots");
    const auto overwrite = [](const std::string& file, std::uint64_t at, const std::string& bytes) {
        std::ofstream f(file, std::ios::binary | std::ios::in);
        ASSERT_TRUE(f.seekp(at).write(bytes.data(), bytes.size()));
    };
    overwrite(copy("unoccupied") + "slots", slot0 + 8, std::string(4, '\0'));  // slot 0's flags
    overwrite(copy("noise") + "slots", 0, std::string(size, '\xA7'));
    overwrite(copy("ownerNoise") + "owner", 0, std::string(136, '\xA7'));
    overwrite(copy("miscounted") + "slots", 168, std::string("\x07\0\0\0", 4));  // occupiedSlots
    fs::resize_file(copy("halved") + "slots", size / 2);
    fs::resize_file(copy("empty") + "slots", 0);
    ASSERT_TRUE(fs::remove(copy("directory") + "slots"));
    fs::create_directory(dir("bad/directory/t/slots"));
    ASSERT_EQ(::chmod((copy("unreadable") + "slots").c_str(), 0), 0);
    const std::vector<std::string> reads{"list", "get", "count", "validate", "header", "ls"};
    const struct {
        std::string damage;
        std::vector<std::string> commands;
        std::string says;
    } damages[] = {
        {"unoccupied", {"validate", "rm", "put"}, "not marked as occupied"},
        {"noise", reads, "bad magic"},
        {"halved", reads, "bad shmem size"},
        {"empty", reads, "bad header file size: 0"},
        {"directory", reads, "slots is not a regular file"},
        {"directory", {"put", "rm"}, "slots is not a regular file"},
        {"unreadable", reads, "slots: Permission denied"},  // not as root
        {"ownerNoise", {"put", "rm"}, "/owner is damaged"},
        {"unoccupied", {"repair"}, "fails validation, not writing"},
        {"miscounted", {"validate"}, "repairable: 1 repair leave 3 records"},
    };
    for (const auto& d : damages) {
        for (const auto& command : d.commands) {
            std::vector<std::string> args{command, "bad/" + d.damage + "/t"};
            if (command == "get" || command == "rm") args.push_back(keyText(flowEntry(1)));
            if (command == "put") args.push_back(text(flowEntry(6)));
            if (command == "ls") args.back() = dir("bad/" + d.damage);
            const bool asOther = d.damage == "unreadable" && command != "put" && command != "rm";
            rows.push_back({args, command == "ls" ? 0 : 1, d.says, "", {.unprivileged = asOther}});
        }
    }
    // Not even the reader's corruption marker: read-only commands and refused writes write nothing.
    const auto before = snapshot(shm.path());
    expectAnswers(rows);
    EXPECT_EQ(snapshot(shm.path()), before);
    EXPECT_EQ(hoardctl({"count", "bad/ownerNoise/t"}).out, "3\n") << "readers need no owner";
    // What validate found repairable, repair repairs as the table's writer.
    expectAnswers({
        {{"repair", "bad/miscounted/t"}, 0, "repaired: occupiedSlots 7 corrected to 3"},
        {{"validate", "bad/miscounted/t"}, 0, "valid: 3 records"},
        {{"repair", "bad/miscounted/t"}, 0, "nothing to repair"},
    });

    // put replaces a record in place; rm answers for every key, exit 1 when one was missing.
    expectAnswers({
        {{"put", flows, text(flowEntry(2, 9))}, 0, "(0 new, 1 replaced)"},
        {{"get", flows, keyText(flowEntry(2))}, 0, text(flowEntry(2, 9)) + "\n"},
        {{"rm", flows, keyText(flowEntry(2)), keyText(flowEntry(9))},
         1,
         "removed " + keyText(flowEntry(2)) + "\nnot found " + keyText(flowEntry(9)) + "\n"},
        {{"get", flows, keyText(flowEntry(2))}, 1, "no record with key"},
        {{"rm", flows, keyText(flowEntry(1))}, 0, "removed "},
        {{"validate", flows}, 0, "valid: 1 record, 15 free slots of 16\n"},
    });
}

// A clear request carried out by a running manager thread while hoardctl, in its own process,
// is in the middle of listing the group counters: every line it prints is a whole record, the
// other tracker's groups are all there, and a list after the clear shows exactly what is left.
TEST(Hoardctl, ListSeesAClearRequestCarriedOutByARunningManagerWhole) {
    struct Mgr : FlowTracking::TestFlowTableMgrThread {
        using TestFlowTableMgrThread::TestFlowTableMgrThread;
        ~Mgr() override { kilnDoZombieReactors(true); }
        void doDelSm() override {}
    };
    const bool wasThreadSafe = Kiln::VFPtrInterface::threadSafePointers();
    Kiln::VFPtrInterface::threadSafePointersIs(true);
    TestSupport::ShmRoot shm;
    Kiln::Ptr<Loom::EventLoop> loop = new Loom::EventLoop;
    Kiln::Ptr<HwFlowTracking::Config> hw = new HwFlowTracking::Config(Kiln::Name("hw"));
    Kiln::Ptr<FlowTracking::ConfigReq> req = new FlowTracking::ConfigReq(Kiln::Name("req"));
    req->hasNotificationActiveIs(true);
    hw->ftConfigIs("t1", FlowTracking::FtId(1), 1000, 1000);
    auto mgr = Kiln::factoryNew<Mgr>(
        FlowTracking::FlowTableMgrThreadBase::allocTrackTypeInfo, Kiln::Name("mgr"), loop, "ip",
        nullptr, nullptr, new Loom::EventSpscQueue(16), nullptr, hw, nullptr, req, "sys");
    mgr->threadStart();
    ASSERT_TRUE(mgr->waitInitializeDone(60));
    // Runs `fn` on the manager's thread and waits for it.
    auto onManager = [&](std::function<void()> fn) {
        std::promise<void> done;
        loop->post([&] {
            fn();
            done.set_value();
        });
        ASSERT_EQ(done.get_future().wait_for(std::chrono::seconds(60)), std::future_status::ready);
    };
    constexpr std::uint16_t groups = 1500;
    onManager([&] {
        auto sm =
            FlowTracking::flowTableMgrSmBaseFactory("ip", FlowTracking::FtId(1), nullptr, nullptr,
                                                    mgr->scheduler(), "sys", mgr->counters());
        for (std::uint32_t ft : {1u, 2u}) {
            for (std::uint16_t fg = 1; fg <= groups; ++fg) {
                sm->updateCounters(FlowTracking::FtId(ft), FlowTracking::TemplateId(fg), 1, 1, 0);
            }
        }
    });
    const std::string table = "sys/Shmem/flowtracking/test/counters/flowGroupCounter";
    auto groupLines = [](const std::string& out, const std::string& tracker) {
        std::size_t n = 0;
        for (const auto& line : lines(out)) {
            EXPECT_THAT(line, StartsWith("Value('Hoard::FlowTracker::FlowGroupCounterEntry'"));
            EXPECT_THAT(line, EndsWith("})})"));
            n += line.find("'ftId': " + tracker + ",") != std::string::npos;
        }
        return n;
    };
    Launch midway;
    midway.midway = [&] {
        onManager([&] { req->clearCountersReqIs({"t1", "", 1'700'000'000.0}); });
    };
    const Outcome during = hoardctl({"list", table}, "", midway);
    ASSERT_EQ(during.status, 0) << during.err;
    EXPECT_EQ(groupLines(during.out, "2"), groups);
    const Outcome after = hoardctl({"list", table});
    ASSERT_EQ(after.status, 0) << after.err;
    EXPECT_EQ(groupLines(after.out, "2"), groups);
    EXPECT_EQ(groupLines(after.out, "1"), 1u);
    EXPECT_THAT(after.out, HasSubstr("'ftId': 1, 'fgId': 65535}"));
    mgr->threadStop();
    mgr->threadJoin();
    mgr = nullptr;
    Kiln::VFPtrInterface::threadSafePointersIs(wasThreadSafe);
}

// watch follows a writer process's counter tables through a shadow: after the records present
// at its start (not printed), each changed key is one line, the record's value text or the key
// text and " removed"; a rewrite to the same record prints nothing; --count ends it, and so does
// SIGINT, both with exit 0.
TEST(Hoardctl, WatchPrintsEachChangedKeyOnceUntilItsCountOrSigint) {
    using Records = TestSupport::CounterRecords;
    using Entry = Records::Entry;
    TestSupport::ShmRoot shm;
    // Writes of generation > 0, removals as generation 0.
    struct Run {
        std::string table;
        std::vector<std::string> options;
        Launch run;
        std::vector<std::pair<std::uint32_t, std::uint64_t>> changes;  // (id, generation)
        std::vector<std::string> says;
    };
    const auto removed = [](std::uint32_t id) { return text(Records::key(id)) + " removed"; };
    const std::vector<Run> runs = {
        {"w/a",
         {"--count", "4"},
         {},
         {{4, 1}, {1, 2}, {2, 0}, {50, 1}, {3, 3}, {5, 2}},  // {4, 1}: the record it holds
         {text(Records::make(1, 2)), removed(2), text(Records::make(50, 1)),
          text(Records::make(3, 3))}},
        {"w/b", {}, {.signalMidway = SIGINT}, {{7, 2}}, {text(Records::make(7, 2))}},
    };
    TestSupport::Signal ready, next;
    TestSupport::Child writer([&] {
        // A loop serves the writers: it accepts a watcher's doorbell connection (made once its
        // copy is whole, so its count of readers says the watcher is ready) and rings it.
        Kiln::Ptr<Loom::EventLoop> loop = new Loom::EventLoop;
        const Loom::EventLoop::ThreadBinding bound(loop.ptr());
        const auto serveUntil = [&](const std::function<bool()>& done) {
            for (int pass = 0; pass < 6000; ++pass) {  // a minute at most
                if (done()) return true;
                loop->runOnce(0.01);
            }
            return false;
        };
        std::vector<std::unique_ptr<Records::Writer>> writers;
        for (const Run& r : runs) writers.push_back(TestSupport::newWriter<Records>(r.table, 20));
        ready.post();
        for (std::size_t i = 0; i < runs.size(); ++i) {
            Records::Writer& w = *writers[i];
            if (!serveUntil([&] { return w.kickSm().readers() > 0; })) return false;
            for (const auto& [id, generation] : runs[i].changes) {
                Entry gone;
                if (generation == 0) w.remove(Records::key(id), gone);
                if (generation != 0) w.write(Records::make(id, generation), true);
            }
            if (!serveUntil([&] { return next.wait(0); })) return false;
        }
        return true;
    });
    ASSERT_TRUE(ready.wait(60, writer));
    for (const Run& r : runs) {
        SCOPED_TRACE(r.table);
        std::vector<std::string> args{"watch", r.table};
        args.insert(args.end(), r.options.begin(), r.options.end());
        const Outcome o = hoardctl(args, "", r.run);
        next.post();
        EXPECT_EQ(o.status, 0) << o.err;
        EXPECT_EQ(o.err, "");
        EXPECT_THAT(lines(o.out), UnorderedElementsAreArray(r.says));
    }
    EXPECT_EQ(writer.wait(60), 0);
}

// What python3's json module makes of each line: "ok <keys of the object, sorted>" or the error.
std::vector<std::string> parsedJsonLines(const std::string& jsonLines) {
    char file[] = "/tmp/hoardctl-json-XXXXXX";
    ::close(::mkstemp(file));
    std::ofstream(file) << jsonLines;
    const std::string command =
        "python3 -c 'import json, sys\nfor line in open(sys.argv[1]):\n"
        "    try: print(\"ok\", \" \".join(sorted(json.loads(line))))\n"
        "    except Exception as e: print(\"bad\", e, line)' " +
        std::string(file);
    std::string out;
    if (FILE* p = ::popen(command.c_str(), "r")) {
        for (char buf[4096]; std::fgets(buf, sizeof buf, p) != nullptr;) out += buf;
        EXPECT_EQ(::pclose(p), 0);
    }
    fs::remove(file);
    return lines(out);
}

TEST(Hoardctl, DumpThenLoadCopiesATableOfEveryKindRecordForRecordAndJsonOutputParses) {
    TestSupport::ShmRoot shm;
    std::string allJson;
    for (const Hoard::TableKind* kind : Hoard::tableKinds()) {
        const std::string type(kind->valueTypeName());
        SCOPED_TRACE(type);
        // Three records: the default record with each attribute that is 0 made 1, 2 or 3.
        const std::string zero = kind->newValue().strRep().stdString();
        std::vector<std::string> texts;
        for (const char* n : {"1", "2", "3"}) {
            texts.push_back(
                std::regex_replace(zero, std::regex(": 0(?=[,}])"), std::string(": ") + n));
        }
        const std::string source = "dump/" + type, copy = "load/" + type;
        ASSERT_EQ(hoardctl({"put", source}, texts[0] + "\n" + texts[1] + "\n" + texts[2]).status,
                  0);
        const Outcome dump = hoardctl({"dump", source});
        ASSERT_EQ(dump.status, 0) << dump.err;
        ASSERT_THAT(dump.out, StartsWith("# hoardctl dump table=" + source));
        const Outcome load = hoardctl({"load", copy}, dump.out);
        EXPECT_EQ(load.out, "loaded 3 records into new table " + copy + "\n") << load.err;
        // The copy's dump is the original's: its type, class type, slot limit and records (in
        // the order of each table's own hash seed).
        std::string again = hoardctl({"dump", copy}).out;
        again.replace(again.find(copy), copy.size(), source);
        EXPECT_THAT(lines(again), UnorderedElementsAreArray(lines(dump.out)));
        EXPECT_EQ(lines(again)[0], lines(dump.out)[0]);
        EXPECT_THAT(lines(hoardctl({"list", copy}).out), UnorderedElementsAreArray(texts));
        EXPECT_THAT(hoardctl({"load", copy}, dump.out).err, HasSubstr("holds 3 records"));
        // --json on every command that has it; one record by its key attributes.
        Kiln::GenericValue value = kind->newValue(), key = kind->newKey();
        value.strepToValueIs(Kiln::String(texts[1]));
        kind->keyOf(value.get(), key.get());
        for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
                 {"--json", "list", source},
                 {"--json", "get", source, key.strRep().stdString()},
                 {"--json", "header", source},
                 {"--json", "validate", source}}) {
            const Outcome r = hoardctl(args);
            EXPECT_EQ(r.status, 0) << r.err;
            allJson += r.out;
        }
    }
    const Outcome ls = hoardctl({"ls", "--json"});
    const std::vector<std::string> parsed = parsedJsonLines(allJson + ls.out);
    ASSERT_EQ(parsed.size(), lines(allJson + ls.out).size());
    for (const std::string& p : parsed) EXPECT_THAT(p, StartsWith("ok ")) << p;
    // Records name their type and key and each attribute; ls lists both tables of every kind.
    EXPECT_THAT(parsed, Contains(AllOf(HasSubstr(" bytes "), HasSubstr(" key keyAttributes "),
                                       HasSubstr(" pkts "), HasSubstr(" type"))));
    EXPECT_EQ(lines(ls.out).size(), 2 * Hoard::tableKinds().size());
    // --match: attributes of the record and of its key, all of them must hold.
    const std::string ip = "dump/FlowTracking::IpFlowEntry";
    EXPECT_EQ(
        lines(hoardctl({"list", ip, "--match", "bytes=2", "--match", "dstPort=2"}).out).size(), 1u);
    EXPECT_EQ(hoardctl({"list", ip, "--match", "bytes=2", "--match", "dstPort=3"}).out, "");
    EXPECT_EQ(hoardctl({"list", ip, "--match", "nosuch=1"}).status, 2);
}

}  // namespace
