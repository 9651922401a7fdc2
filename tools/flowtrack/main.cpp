// flowtrack: the reference agent. Reads packets from a pcap file or a live interface, tracks
// their flows in shared flow tables (readable by hoardctl from another process) and exports the
// finished flows as IPFIX (file, collector) and JSON lines.
//
//     flowtrack run (--pcap FILE | --interface IF) [OPTIONS] [FILTER...]
//     flowtrack clear [--type TYPE] TRACKER
//
// Threads: the sampler (Capture::run), the manager (its own event loop thread), the exporter,
// and this one, which waits, serves the control socket, shows the status line and handles
// SIGINT/SIGTERM. Exit 0 on success, 1 when the input was unusable (the flows read before are
// still exported), 2 on bad usage.
//
// Control: the running agent listens on the abstract unix datagram socket
// "@flowtrack/<shm root>/<type>"; `flowtrack clear` sends "clear TRACKER" there and prints the
// answer ("ok" or the reason it was refused).

#include <fmt/format.h>
#include <ini.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <future>
#include <initializer_list>
#include <iostream>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "contracts/Basalt/TraceSink.h"
#include "contracts/Mem/RootPath.h"
#include "tools/flowtrack/Capture.h"
#include "tools/flowtrack/FlowTrackMgr.h"
#include "tools/flowtrack/IpfixExporter.h"
#include "tools/flowtrack/JsonExporter.h"

namespace {

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class QuietSink : public Basalt::TraceSink {
  public:
    void write(std::string_view, int, const char*, int, const char*, std::string_view) override {}
};

const char* const runHelp =
    "usage: flowtrack run (--pcap FILE | --interface IF) [OPTIONS] [FILTER...]\n\n"
    "Tracks the flows of the packets read and exports each finished flow. FILTER is a BPF\n"
    "expression as tcpdump takes it (\"tcp port 80\").\n\n"
    "  --pcap FILE          read a pcap file; flow times follow the packets' timestamps\n"
    "  --interface IF       capture live on IF (\"any\" for all; needs root or CAP_NET_RAW)\n"
    "  --sample N           decode 1 packet in N (default 1)\n"
    "  --tracker NAME:FTID[:ACTIVE[:INACTIVE]]\n"
    "                       a tracker: its FtId, active interval and inactive timeout in\n"
    "                       seconds (defaults 60 and 15); repeatable\n"
    "  --config FILE        trackers from an INI file: sections [tracker NAME] with keys\n"
    "                       ftId, activeInterval, inactiveTimeout (seconds), and a section\n"
    "                       [vni] of VNI = VRF lines (a VXLAN flow's VRF; default the VNI);\n"
    "                       comments start with ';' or '#'. An error names FILE:LINE, exit 2\n"
    "  --ipfix FILE         write IPFIX to FILE\n"
    "  --collector HOST:PORT  send IPFIX over UDP\n"
    "  --json FILE          write one JSON object per flow and line\n"
    "                       (IPFIX element names; \"vni\" only for a flow from VXLAN)\n"
    "  --realtime           replay a pcap at its own pace\n"
    "  --type TYPE          the tables' type: flowtracking/TYPE/flowTable/NAME (default ip)\n\n"
    "Without trackers: one tracker \"default\", FtId 1, active 60 s, inactive 15 s. The flow\n"
    "tables live under $HOARD_SHM_ROOT (default /dev/shm/hoard) at\n"
    "flowtracking/TYPE/flowTable/NAME/{ipFlowEntry,ip6FlowEntry}.\n"
    "SIGINT or SIGTERM ends the capture; the flows still open are exported as forced ends.\n"
    "Exit status: 0 success, 1 unusable input (flows read before are exported), 2 bad usage.\n";

const char* const clearHelp =
    "usage: flowtrack clear [--type TYPE] TRACKER\n\n"
    "Asks the agent running on this shm root with tables of TYPE (default ip) to clear the\n"
    "counters of TRACKER. Talks to the agent's abstract unix datagram socket\n"
    "\"@flowtrack/<shm root>/<type>\". Exit 0 when the agent cleared them, 1 when it refused\n"
    "or did not answer, 2 on bad usage.\n";

const char* const mainHelp =
    "usage: flowtrack COMMAND [ARGS]\n\n"
    "commands:\n"
    "  run (--pcap FILE | --interface IF) [OPTIONS] [FILTER...]\n"
    "  clear [--type TYPE] TRACKER\n\n"
    "'flowtrack COMMAND --help' describes a command.\n";

struct Tracker {
    std::string name;
    std::uint32_t ftId = 1;
    std::uint32_t activeSeconds = 60;
    std::uint32_t inactiveSeconds = 15;
};

struct RunOptions {
    std::string pcap, interface, config, ipfix, collector, json, type = "ip", filter;
    std::uint32_t sample = 1;
    bool realtime = false;
    std::vector<Tracker> trackers;
    std::map<std::uint32_t, std::uint32_t> vrfByVni;
};

std::uint32_t number(const std::string& text, const std::string& what, bool positive) {
    std::uint32_t n = 0;
    const char* end = text.data() + text.size();
    const auto [at, ec] = std::from_chars(text.data(), end, n);
    if (text.empty() || ec != std::errc() || at != end || (positive && n == 0)) {
        throw UsageError(
            fmt::format("{} needs a {}number, not '{}'", what, positive ? "positive " : "", text));
    }
    return n;
}

void addTracker(RunOptions& o, const Tracker& t) {
    if (t.name.empty()) throw UsageError("a tracker needs a name");
    for (const Tracker& other : o.trackers) {
        if (other.name == t.name) throw UsageError("tracker '" + t.name + "' is named twice");
        if (other.ftId == t.ftId) {
            throw UsageError(fmt::format("trackers '{}' and '{}' have the same FtId {}", other.name,
                                         t.name, t.ftId));
        }
    }
    o.trackers.push_back(t);
}

// NAME:FTID[:ACTIVE[:INACTIVE]]
Tracker trackerFlag(const std::string& text) {
    std::vector<std::string> parts;
    std::size_t from = 0;
    for (std::size_t at; (at = text.find(':', from)) != std::string::npos; from = at + 1) {
        parts.push_back(text.substr(from, at - from));
    }
    parts.push_back(text.substr(from));
    if (parts.size() < 2 || parts.size() > 4) {
        throw UsageError("--tracker needs NAME:FTID[:ACTIVE[:INACTIVE]], not '" + text + "'");
    }
    Tracker t{parts[0]};
    t.ftId = number(parts[1], "--tracker " + parts[0] + " FtId", true);
    if (parts.size() > 2) t.activeSeconds = number(parts[2], "--tracker active interval", true);
    if (parts.size() > 3) {
        t.inactiveSeconds = number(parts[3], "--tracker inactive timeout", true);
    }
    return t;
}

// The reading of a --config file: inih splits it into sections and KEY = VALUE lines (comments
// start with ';' or '#'); these checks give each error its own "FILE:LINE: " message. inih calls
// the handler only for keys, so the reader counts lines and section headers itself: a header
// starts a new section even when its name repeats, and a section without keys is an error.
struct ConfigParse {
    std::FILE* file = nullptr;
    int line = 0;                      // the line inih is at
    std::vector<int> headers;          // the line of each section header
    std::size_t sectionsWithKeys = 0;  // headers[0 .. this) have had a key
    int errorLine = 0;                 // the first error found here, and its message
    std::string error;
    std::vector<Tracker> trackers;
    std::vector<int> trackerLines;  // the header line of each tracker
    std::map<std::uint32_t, std::uint32_t> vrfByVni;
};

char* readConfigLine(char* text, int size, void* stream) {
    auto& p = *static_cast<ConfigParse*>(stream);
    if (std::fgets(text, size, p.file) == nullptr) return nullptr;
    ++p.line;
    const char* at = text + std::strspn(text, " \t");
    if (*at == '[') p.headers.push_back(p.line);
    return text;
}

int configKey(void* user, const char* sectionText, const char* keyText, const char* value) {
    auto& p = *static_cast<ConfigParse*>(user);
    const std::string section = sectionText, key = keyText;
    int line = p.line;
    try {
        if (section.empty()) throw UsageError("'" + key + "' outside a section");
        const bool newSection = p.sectionsWithKeys < p.headers.size();
        const int header = p.headers.empty() ? 0 : p.headers.back();
        if (p.sectionsWithKeys + 1 < p.headers.size()) {
            line = p.headers[p.sectionsWithKeys];
            throw UsageError("a section without keys");
        }
        p.sectionsWithKeys = p.headers.size();
        if (section.rfind("tracker ", 0) == 0) {
            const std::string name = section.substr(8);
            if (newSection) {
                for (const Tracker& t : p.trackers) {
                    if (t.name != name) continue;
                    line = header;
                    throw UsageError("tracker '" + name + "' is named twice");
                }
                p.trackers.push_back(Tracker{name, 0});
                p.trackerLines.push_back(header);
            }
            Tracker& t = p.trackers.back();
            std::uint32_t* field = key == "ftId"              ? &t.ftId
                                   : key == "activeInterval"  ? &t.activeSeconds
                                   : key == "inactiveTimeout" ? &t.inactiveSeconds
                                                              : nullptr;
            if (!field) {
                throw UsageError("unknown key '" + key +
                                 "' (ftId, activeInterval, inactiveTimeout)");
            }
            *field = number(value, key, true);
            for (const Tracker& other : p.trackers) {
                if (field != &t.ftId || &other == &t || other.ftId != t.ftId) continue;
                throw UsageError(fmt::format("trackers '{}' and '{}' have the same FtId {}",
                                             other.name, t.name, t.ftId));
            }
        } else if (section == "vni") {
            p.vrfByVni[number(key, "a VNI", false)] = number(value, "a VRF", false);
        } else {
            line = header;
            throw UsageError("unknown section [" + section + "]");
        }
    } catch (const std::exception& e) {  // nothing unwinds through inih's C frames
        if (p.error.empty()) {
            p.errorLine = line;
            p.error = e.what();
        }
        return 0;
    }
    return 1;
}

void readConfig(RunOptions& o) {
    ConfigParse p;
    p.file = std::fopen(o.config.c_str(), "r");
    if (p.file == nullptr) {
        throw UsageError("cannot read config file " + o.config + ": " + std::strerror(errno));
    }
    const int failed = ::ini_parse_stream(readConfigLine, &p, configKey, &p);
    std::fclose(p.file);
    // inih reports the first bad line: ours, unless inih could not split an earlier one.
    if (failed > 0 && (p.error.empty() || failed < p.errorLine)) {
        p.errorLine = failed;
        p.error = "expected [SECTION] or KEY = VALUE";
    } else if (p.error.empty() && p.sectionsWithKeys < p.headers.size()) {
        p.errorLine = p.headers[p.sectionsWithKeys];
        p.error = "a section without keys";
    }
    if (!p.error.empty()) {
        throw UsageError(fmt::format("{}:{}: {}", o.config, p.errorLine, p.error));
    }
    for (std::size_t i = 0; i < p.trackers.size(); ++i) {
        if (p.trackers[i].ftId == 0) {
            throw UsageError(fmt::format("{}:{}: tracker '{}' has no ftId", o.config,
                                         p.trackerLines[i], p.trackers[i].name));
        }
        addTracker(o, p.trackers[i]);
    }
    o.vrfByVni = p.vrfByVni;
}

RunOptions parseRun(int argc, char** argv) {
    RunOptions o;
    std::vector<Tracker> flagged;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto value = [&]() -> std::string {
            if (i + 1 >= argc) throw UsageError(arg + " needs a value (try flowtrack run --help)");
            return argv[++i];
        };
        if (arg == "--pcap") {
            o.pcap = value();
        } else if (arg == "--interface") {
            o.interface = value();
        } else if (arg == "--sample") {
            o.sample = number(value(), "--sample", true);
        } else if (arg == "--tracker") {
            flagged.push_back(trackerFlag(value()));
        } else if (arg == "--config") {
            o.config = value();
        } else if (arg == "--ipfix") {
            o.ipfix = value();
        } else if (arg == "--collector") {
            o.collector = value();
        } else if (arg == "--json") {
            o.json = value();
        } else if (arg == "--type") {
            o.type = value();
        } else if (arg == "--realtime") {
            o.realtime = true;
        } else if (arg == "--") {
            for (++i; i < argc; ++i)
                o.filter += (o.filter.empty() ? "" : " ") + std::string(argv[i]);
        } else if (arg.size() > 1 && arg[0] == '-') {
            throw UsageError("unknown option '" + arg + "' (try flowtrack run --help)");
        } else {
            o.filter += (o.filter.empty() ? "" : " ") + arg;
        }
    }
    if (o.pcap.empty() == o.interface.empty()) {
        throw UsageError("give one of --pcap FILE and --interface IF (try flowtrack run --help)");
    }
    if (o.realtime && o.pcap.empty()) throw UsageError("--realtime replays a --pcap file");
    try {
        Mem::RootPath::checkTableName(o.type, "--type");
    } catch (const std::exception& e) {
        throw UsageError(e.what());
    }
    if (!o.config.empty()) readConfig(o);
    for (const Tracker& t : flagged) addTracker(o, t);
    if (o.trackers.empty()) o.trackers.push_back(Tracker{"default"});
    return o;
}

std::atomic<bool> stopSignal{false};
extern "C" void onStopSignal(int) { stopSignal.store(true); }

std::string controlName(const std::string& type) {
    return "flowtrack/" + Mem::shmRoot() + "/" + type;
}

// An abstract unix datagram socket named `name` (bound when `bind`; autobound otherwise, so
// the agent can answer); -1 when it cannot be had.
int controlSocket(const std::string& name, sockaddr_un* address, socklen_t* length, bool bind) {
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    std::memset(address, 0, sizeof *address);
    address->sun_family = AF_UNIX;
    const std::size_t n = std::min(name.size(), sizeof address->sun_path - 1);
    std::memcpy(address->sun_path + 1, name.data(), n);  // sun_path[0] == 0: abstract
    *length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + n);
    sockaddr_un self{};
    self.sun_family = AF_UNIX;
    const int rc = bind ? ::bind(fd, reinterpret_cast<sockaddr*>(address), *length)
                        : ::bind(fd, reinterpret_cast<sockaddr*>(&self), sizeof(sa_family_t));
    if (rc != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int runClear(int argc, char** argv) {
    std::string type = "ip", tracker;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::cout << clearHelp;
            return 0;
        } else if (arg == "--type" && i + 1 < argc) {
            type = argv[++i];
        } else if (arg[0] == '-' || !tracker.empty()) {
            throw UsageError("usage: flowtrack clear [--type TYPE] TRACKER");
        } else {
            tracker = arg;
        }
    }
    if (tracker.empty()) throw UsageError("usage: flowtrack clear [--type TYPE] TRACKER");
    sockaddr_un agent;
    socklen_t length;
    const int fd = controlSocket(controlName(type), &agent, &length, false);
    if (fd < 0)
        throw std::runtime_error(std::string("cannot open a socket: ") + std::strerror(errno));
    const std::string request = "clear " + tracker;
    if (::sendto(fd, request.data(), request.size(), 0, reinterpret_cast<sockaddr*>(&agent),
                 length) < 0) {
        ::close(fd);
        throw std::runtime_error("no flowtrack agent with --type " + type + " runs on " +
                                 Mem::shmRoot() + " (" + std::strerror(errno) + ")");
    }
    timeval timeout{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    char answer[512];
    const ssize_t n = ::recv(fd, answer, sizeof answer, 0);
    ::close(fd);
    if (n < 0) throw std::runtime_error("the agent did not answer");
    const std::string text(answer, static_cast<std::size_t>(n));
    if (text != "ok") throw std::runtime_error(text);
    std::cout << "cleared the counters of tracker " << tracker << "\n";
    return 0;
}

int runAgent(const RunOptions& o) {
    // Pcap input: the process clock follows the packets (CaptureClock); it must outlive all.
    Kiln::ManualClock manualClock;
    Flowtrack::CaptureClock captureClock(manualClock);
    const Kiln::Clock* systemClock = &Kiln::clock();
    if (!o.pcap.empty()) Kiln::clockIs(&manualClock);
    struct ClockBack {
        const Kiln::Clock* clock;
        ~ClockBack() { Kiln::clockIs(clock); }
    } clockBack{systemClock};

    std::unique_ptr<Flowtrack::Capture> capture;
    try {
        capture = o.pcap.empty() ? Flowtrack::Capture::openInterface(o.interface, o.filter)
                                 : Flowtrack::Capture::openFile(o.pcap, o.filter);
    } catch (const std::exception& e) {
        std::cerr << "flowtrack: " << e.what() << std::endl;
        return 1;
    }
    Kiln::VFPtrInterface::threadSafePointersIs(true);
    Kiln::Ptr<Loom::EventSpscQueue> input = new Loom::EventSpscQueue(4096);
    Kiln::Ptr<Loom::EventSpscQueue> exporterQueue = new Loom::EventSpscQueue(1 << 16);
    Flowtrack::Exporter exporter(exporterQueue);
    if (!o.ipfix.empty()) exporter.sinkIs(Flowtrack::IpfixExporter::toFile(o.ipfix));
    if (!o.collector.empty()) exporter.sinkIs(Flowtrack::IpfixExporter::toCollector(o.collector));
    if (!o.json.empty()) exporter.sinkIs(std::make_unique<Flowtrack::JsonExporter>(o.json));

    Kiln::Ptr<HwFlowTracking::Config> hw = new HwFlowTracking::Config(Kiln::Name("hwConfig"));
    Kiln::Ptr<FlowTracking::Config> ft = new FlowTracking::Config(Kiln::Name("config"));
    Kiln::Ptr<FlowTracking::ConfigReq> req = new FlowTracking::ConfigReq(Kiln::Name("configReq"));
    for (auto* e : std::initializer_list<Kiln::PtrInterface*>{hw.ptr(), ft.ptr(), req.ptr()}) {
        e->hasNotificationActiveIs(true);
    }
    for (const Tracker& t : o.trackers) {
        hw->ftConfigIs(t.name, FlowTracking::FtId(t.ftId), t.inactiveSeconds * 1000,
                       t.activeSeconds * 1000);
    }
    auto mgr = Flowtrack::flowTrackMgrFactory(
        Kiln::Name("flowTrackMgr"), new Loom::EventLoop, o.type.c_str(),
        new Loom::EventLoopHeartBeatCtx("flowTrackMgr"), nullptr, input, exporterQueue, hw, ft, req,
        "flowtrack");
    if (!o.pcap.empty()) {
        // Recorded input loses nothing: the sampler waits for the manager and the manager for
        // the exporter, which runs until the manager has ended every flow.
        mgr->captureClockIs(&captureClock);
        mgr->waitWhenExporterFullIs(true);
    }
    mgr->threadStart();
    if (!mgr->waitInitializeDone(60)) {
        std::cerr << "flowtrack: the manager did not start" << std::endl;
        mgr->threadStop();
        mgr->threadJoin();
        return 1;
    }
    exporter.start();

    Flowtrack::CaptureConfig config;
    config.ftId = FlowTracking::FtId(o.trackers.front().ftId);
    for (std::size_t i = 1; i < o.trackers.size(); ++i) {
        config.moreFtIds.push_back(FlowTracking::FtId(o.trackers[i].ftId));
    }
    config.fgId = FlowTracking::TemplateId(256);
    config.sampleRate = o.sample;
    config.waitWhenFull = !o.pcap.empty();
    config.replaySpeed = o.realtime ? 1.0 : 0.0;
    config.vrfByVni = o.vrfByVni;

    struct sigaction action {};
    action.sa_handler = onStopSignal;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);

    // The sampler; at its end the manager applies what is queued and ends every flow.
    std::promise<Flowtrack::FlowTrackStats> done;
    auto finished = done.get_future();
    Flowtrack::Capture::RunResult result = Flowtrack::Capture::RunResult::stopped;
    std::thread sampler([&] {
        result = capture->run(config, *input);
        mgr->evLoop()->post([&] {
            mgr->endOfCapture();
            done.set_value(mgr->stats());
        });
    });

    sockaddr_un address;
    socklen_t length;
    const int control = controlSocket(controlName(o.type), &address, &length, true);
    if (control < 0) {
        std::cerr << "flowtrack: another agent serves " << controlName(o.type)
                  << "; flowtrack clear will not reach this one" << std::endl;
    }
    const bool tty = ::isatty(STDERR_FILENO);
    std::atomic<std::uint64_t> activeFlows{0};
    auto lastStatus = std::chrono::steady_clock::now();
    while (finished.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready) {
        if (stopSignal.load()) capture->stop();
        if (control >= 0) {
            char buf[512];
            sockaddr_un from{};
            socklen_t fromLength = sizeof from;
            const ssize_t n = ::recvfrom(control, buf, sizeof buf, MSG_DONTWAIT,
                                         reinterpret_cast<sockaddr*>(&from), &fromLength);
            if (n > 0) {
                const std::string request(buf, static_cast<std::size_t>(n));
                std::string answer = "unknown request '" + request + "'";
                if (request.rfind("clear ", 0) == 0) {
                    const std::string name = request.substr(6);
                    answer = "no tracker '" + name + "'";
                    for (const Tracker& t : o.trackers) {
                        if (t.name != name) continue;
                        mgr->evLoop()->post([req, name] {
                            req->clearCountersReqIs(FlowTracking::ClearCountersReq{
                                name, "", Kiln::System::currentTime()});
                        });
                        answer = "ok";
                    }
                }
                ::sendto(control, answer.data(), answer.size(), 0,
                         reinterpret_cast<sockaddr*>(&from), fromLength);
            }
        }
        const auto now = std::chrono::steady_clock::now();
        if (tty && now - lastStatus >= std::chrono::seconds(1)) {
            lastStatus = now;
            mgr->evLoop()->post([&activeFlows, m = mgr.ptr()] { activeFlows = m->activeFlows(); });
            const auto& c = capture->counters();
            std::cerr << fmt::format("\rread {}, flows active {}, exported {}, drops {}\x1b[K",
                                     c.packetsRead.load(), activeFlows.load(),
                                     exporter.flowsExported(), c.queueDrops.load())
                      << std::flush;
        }
    }
    if (tty) std::cerr << "\r\x1b[K";
    if (control >= 0) ::close(control);
    sampler.join();
    const Flowtrack::FlowTrackStats stats = finished.get();
    exporter.stop();
    mgr->threadStop();
    mgr->threadJoin();

    std::cerr << "flowtrack: " << capture->counters().text() << "\n"
              << fmt::format("flowtrack: flows exported {}, export errors {}",
                             exporter.flowsExported(), exporter.errors());
    if (exporter.errors() != 0) std::cerr << " (last: " << exporter.lastError() << ")";
    if (stats.exporterQueueFull != 0) {
        std::cerr << fmt::format(", lost to a full exporter queue {}", stats.exporterQueueFull);
    }
    std::cerr << std::endl;
    if (result == Flowtrack::Capture::RunResult::error) {
        std::cerr << "flowtrack: " << capture->errorText()
                  << "; the flows read before were exported" << std::endl;
        return 1;
    }
    return 0;
}

int run(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command.empty() || command == "--help" || command == "-h" || command == "help") {
        (command.empty() ? std::cerr : std::cout) << mainHelp;
        return command.empty() ? 2 : 0;
    }
    if (command == "clear") return runClear(argc, argv);
    if (command != "run")
        throw UsageError("unknown command '" + command + "' (try flowtrack --help)");
    for (int i = 2; i < argc; ++i) {
        if (std::string(argv[i]) == "--") break;
        if (std::string(argv[i]) == "--help" || std::string(argv[i]) == "-h") {
            std::cout << runHelp;
            return 0;
        }
    }
    return runAgent(parseRun(argc, argv));
}

}  // namespace

int main(int argc, char** argv) {
    static QuietSink quiet;
    const char* traces = std::getenv(Basalt::traceSwitchesVariable);
    if (traces == nullptr || *traces == '\0') Basalt::traceSinkIs(&quiet);
    try {
        return run(argc, argv);
    } catch (const UsageError& e) {
        std::cerr << "flowtrack: " << e.what() << std::endl;
        return 2;
    } catch (const std::exception& e) {
        std::cerr << "flowtrack: " << e.what() << std::endl;
        return 1;
    }
}
