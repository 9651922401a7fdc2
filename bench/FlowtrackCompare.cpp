// flowtrack against softflowd on the same recorded traffic: throughput and the exported counts.
//
// One run writes a reproducible pcap (a few million packets of tens of thousands of flows over five
// minutes of capture time: IPv4 and IPv6 TCP with SYN, FIN and RST, UDP, ICMP, 802.1Q VLANs, IPv4
// and IPv6 fragments, VXLAN) into a temporary directory under /dev/shm, then
//   - runs build/flowtrack on it, exporting IPFIX to a local nfcapd, and measures packets per
//     second over the wall time of the whole run (decode, input queue, state machine, shared flow
//     tables, export, and the end of capture that exports every open flow);
//   - the same while a reader process of ours iterates the tracker's IPv4 and IPv6 flow tables in
//     a loop through the library's table kinds (as hoardctl list does), counting its listings;
//   - Debian's softflowd on the same file, exporting IPFIX to a second nfcapd;
// each the median of --runs runs. It then sums packets and bytes per flow key over what nfdump
// reads back from each collector and compares the two key by key, leaving out only the keys the
// tools cannot count the same way (said in the report). Per-key sums, not records: softflowd,
// reading a file, ends its flows only at the end of the file, while flowtrack ages them on the
// packets' time (active interval and inactive timeout), so one flow may be several records.
//
// Every outside program is started here (fork/exec), bound to loopback, stopped by its pid and
// waited for with a deadline; the pcap directory and the private table root are removed at the
// end. Exit 0 when every comparable key agrees, 1 otherwise or on any failure.
//
//   FlowtrackCompare [--out bench/results] [--runs 3] [--packets 4000000] [--flows 40000]
//                    [--flowtrack build/flowtrack]

#include <arpa/inet.h>
#include <fcntl.h>
#include <fmt/format.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "FlowTracker/FlowTable.h"
#include "Hoard/TableKind.h"
#include "bench/BenchRoot.h"
#include "contracts/Basalt/DebugHandler.h"
#include "contracts/Basalt/TraceSink.h"
#include "tests/tools/flowtrack/FrameBuilder.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr double T0 = 1'800'000'000.0;  // the capture's first second
constexpr double captureSeconds = 300.0;
// The tracker: the agent's defaults, 60 s active interval and 15 s inactive timeout. Over five
// minutes of capture long flows end at several active scans and flows with gaps over 15 s end
// idle and start again, so aging runs all along as it would on a switch.
const char* const trackerSpec = "bench:1:60:15";
const char* const trackerName = "bench";

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// ---- processes -------------------------------------------------------------------------------

// A program we started; killed and reaped by the destructor if still running.
class Process {
  public:
    Process(const std::vector<std::string>& argv, const std::string& output) {
        pid_ = ::fork();
        if (pid_ < 0) throw std::runtime_error("fork failed");
        if (pid_ == 0) {
            const int fd = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd >= 0) ::dup2(fd, STDOUT_FILENO), ::dup2(fd, STDERR_FILENO);
            const int null = ::open("/dev/null", O_RDONLY);
            if (null >= 0) ::dup2(null, STDIN_FILENO);
            std::vector<char*> args;
            for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            ::execvp(args[0], args.data());
            ::_exit(127);
        }
    }
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;
    ~Process() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    pid_t pid() const { return pid_; }
    void signal(int sig) const {
        if (pid_ > 0) ::kill(pid_, sig);
    }
    // The exit status once the program ends; after `seconds` it is sent SIGTERM, then SIGKILL,
    // and the wait fails.
    int wait(double seconds, const std::string& what) {
        const auto start = Clock::now();
        int status = 0;
        rusage usage{};
        while (::wait4(pid_, &status, WNOHANG, &usage) == 0) {
            if (secondsSince(start) > seconds) {
                ::kill(pid_, SIGTERM);
                for (int i = 0; i < 500 && ::waitpid(pid_, &status, WNOHANG) == 0; ++i) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
                }
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, &status, 0);
                pid_ = -1;
                throw std::runtime_error(fmt::format("{} did not end within {} s", what, seconds));
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        pid_ = -1;
        const auto inSeconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
        cpuSeconds_ = inSeconds(usage.ru_utime) + inSeconds(usage.ru_stime);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    // The user and system time of the ended program (all its threads).
    double cpuSeconds() const { return cpuSeconds_; }

  private:
    pid_t pid_ = -1;
    double cpuSeconds_ = 0;
};

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// What `command` prints on stdout (run through the shell; its stderr goes to `errors`).
std::string output(const std::string& command, const std::string& errors) {
    std::string text;
    FILE* p = ::popen((command + " 2>" + errors).c_str(), "r");
    if (p == nullptr) throw std::runtime_error("cannot run " + command);
    char buf[65536];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) text.append(buf, n);
    const int status = ::pclose(p);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw std::runtime_error(command + " failed: " + readFile(errors));
    }
    return text;
}

// The bytes waiting in the receive queue of the UDP socket bound to 127.0.0.1:port; -1 when
// none is bound.
long receiveQueue(std::uint16_t port) {
    std::ifstream table("/proc/net/udp");
    const std::string local = fmt::format("0100007F:{:04X}", port);
    for (std::string line; std::getline(table, line);) {
        std::istringstream fields(line);
        std::string slot, address, remote, state, queues;
        fields >> slot >> address >> remote >> state >> queues;
        if (address == local) return std::stol(queues.substr(queues.find(':') + 1), nullptr, 16);
    }
    return -1;
}

// A UDP port the kernel just had free on loopback.
std::uint16_t freeLoopbackPort() {
    const int probe = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(probe);
        throw std::runtime_error("cannot bind a loopback UDP port");
    }
    ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(probe);
    return ntohs(address.sin_port);
}

bool waitUntil(double seconds, const std::function<bool()>& done) {
    const auto start = Clock::now();
    while (!done()) {
        if (secondsSince(start) > seconds) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// nfcapd on a fresh loopback port writing into `dir`; stop() waits until it has read every
// datagram, ends it with SIGTERM and waits for it.
class Collector {
  public:
    explicit Collector(const std::string& dir) : dir_(dir), port_(freeLoopbackPort()) {
        std::filesystem::create_directories(dir);
        process_ = std::make_unique<Process>(
            std::vector<std::string>{"nfcapd", "-B", "4194304", "-b", "127.0.0.1", "-p",
                                     std::to_string(port_), "-w", dir},
            dir + ".log");
        if (!waitUntil(10, [&] { return receiveQueue(port_) >= 0; })) {
            throw std::runtime_error("nfcapd did not bind 127.0.0.1:" + std::to_string(port_) +
                                     ": " + readFile(dir + ".log"));
        }
    }
    std::string address() const { return "127.0.0.1:" + std::to_string(port_); }
    void stop() {
        waitUntil(10, [&] { return receiveQueue(port_) <= 0; });
        process_->signal(SIGTERM);
        const int status = process_->wait(20, "nfcapd");
        if (status != 0) {
            throw std::runtime_error(
                fmt::format("nfcapd exited {}: {}", status, readFile(dir_ + ".log")));
        }
    }
    const std::string& dir() const { return dir_; }

  private:
    std::string dir_;
    std::uint16_t port_;
    std::unique_ptr<Process> process_;
};

// ---- the traffic -----------------------------------------------------------------------------

// splitmix64: the same numbers on every machine and library.
class Rng {
  public:
    explicit Rng(std::uint64_t seed) : s_(seed) {}
    std::uint64_t next() {
        std::uint64_t z = (s_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    double unit() { return static_cast<double>(next() >> 11) * 0x1p-53; }
    std::uint32_t below(std::uint32_t n) { return static_cast<std::uint32_t>(next() % n); }

  private:
    std::uint64_t s_;
};

enum Kind { tcp4, udp4, icmp4, tcp6, udp6, icmp6, frag4, frag6, vxlan, kindCount };
const char* const kindNames[] = {"IPv4 TCP",
                                 "IPv4 UDP",
                                 "ICMP",
                                 "IPv6 TCP",
                                 "IPv6 UDP",
                                 "ICMPv6",
                                 "IPv4 UDP fragmented",
                                 "IPv6 UDP fragmented",
                                 "VXLAN"};
// Shares of the flows, in percent.
const int kindShares[] = {30, 18, 5, 16, 12, 4, 5, 5, 5};

struct Flow {
    FrameBuilder::Packet p;
    Kind kind;
    double start, spacing;
    std::uint32_t units;  // packets, or fragment pairs for the fragmented kinds
    bool rst = false;
    bool bulk = false;  // full-sized payloads rather than small ones
};

using Sums = std::map<std::string, std::pair<std::uint64_t, std::uint64_t>>;  // packets, bytes

// An address as inet_ntop writes it (and nfdump prints it).
std::string canonical(const std::string& address) {
    const auto bytes = FrameBuilder::detail::address(address);
    char text[INET6_ADDRSTRLEN];
    ::inet_ntop(bytes.size() == 16 ? AF_INET6 : AF_INET, bytes.data(), text, sizeof text);
    return text;
}

// The key as nfdump prints it with -N -6 and the format used below: VLAN, addresses, protocol,
// ports (ICMP: source 0 and type.code as destination).
std::string keyText(const FrameBuilder::Packet& p, bool ports) {
    const std::uint16_t vlan = p.vlans.empty() ? 0 : p.vlans.front();
    std::string dport = std::to_string(ports ? p.dport : 0);
    std::uint16_t sport = ports ? p.sport : 0;
    if (p.proto == 1 || p.proto == 58)
        sport = 0, dport = fmt::format("{}.{}", p.dport >> 8, p.dport & 255);
    return fmt::format("{} {} {} {} {} {}", vlan, canonical(p.src), canonical(p.dst), p.proto,
                       sport, dport);
}

struct Traffic {
    std::uint64_t packets = 0, bytes = 0;
    std::size_t flows = 0;
    std::uint64_t kindPackets[kindCount] = {};
    std::size_t kindFlows[kindCount] = {};
    Sums written;  // what the pcap holds per key, counted as both tools are meant to (IP bytes)
};

std::string v4(std::uint32_t a, std::uint32_t i) {
    return fmt::format("10.{}.{}.{}", a + (i >> 16), (i >> 8) & 255, i & 255);
}
std::string v6(const char* prefix, std::uint32_t i) {
    return fmt::format("{}{:x}:{:x}", prefix, i >> 16, i & 0xFFFF);
}

std::vector<Flow> makeFlows(std::size_t count, std::uint64_t packetTarget, Rng& rng) {
    std::vector<Flow> flows(count);
    std::vector<double> weights(count);
    double weightSum = 0;
    for (std::size_t n = 0; n < count; ++n) {
        Flow& f = flows[n];
        const auto i = static_cast<std::uint32_t>(n);
        int pick = static_cast<int>(rng.below(100)), k = 0;
        while (pick >= kindShares[k]) pick -= kindShares[k++];
        f.kind = static_cast<Kind>(k);
        FrameBuilder::Packet& p = f.p;
        p.sport = static_cast<std::uint16_t>(1024 + rng.below(60000));
        const bool six = f.kind == tcp6 || f.kind == udp6 || f.kind == icmp6 || f.kind == frag6;
        if (f.kind == frag4) {
            p.src = v4(200, i), p.dst = fmt::format("10.251.0.{}", 1 + i % 40);
        } else if (f.kind == frag6) {
            p.src = v6("2001:db8:f::", i), p.dst = v6("2001:db8:ff::", 1 + i % 40);
        } else if (six) {
            p.src = v6("2001:db8:1::", i), p.dst = v6("2001:db8:ff::", 1 + i % 40);
        } else if (f.kind == vxlan) {
            // Inner addresses of their own (172.16/12, fd00::/8), so VXLAN keys are known apart.
            if (i % 2 == 0) {
                p.src = fmt::format("172.16.{}.{}", (i >> 8) & 255, i & 255), p.dst = "172.31.0.1";
            } else {
                p.src = v6("fd00:1::", i), p.dst = "fd00:ff::1";
            }
            p.vni = 5000 + i % 4;
            p.outerSrc = fmt::format("192.0.2.{}", 1 + i % 8), p.outerDst = "192.0.2.100";
        } else {
            p.src = v4(1, i), p.dst = fmt::format("10.250.0.{}", 1 + i % 40);
        }
        switch (f.kind) {
            case tcp4:
            case tcp6:
                p.proto = 6, p.dport = std::array<std::uint16_t, 4>{80, 443, 22, 8080}[i % 4];
                f.rst = rng.below(10) == 0;
                break;
            case icmp4:
                p.proto = 1, p.dport = rng.below(4) == 0 ? 0x0303 : 0x0800;  // unreachable, echo
                break;
            case icmp6:
                p.proto = 58, p.dport = 0x8000;  // echo request
                break;
            case vxlan:
                p.proto = i % 4 < 2 ? 6 : 17, p.dport = p.proto == 6 ? 443 : 53;
                break;
            default:
                p.proto = 17, p.dport = std::array<std::uint16_t, 4>{53, 123, 443, 5353}[i % 4];
        }
        if (f.kind != vxlan && rng.below(4) == 0)
            p.vlans = {static_cast<std::uint16_t>(100 + i % 4)};
        f.bulk = rng.below(3) == 0;
        // Heavy-tailed sizes: most flows are short, a few carry much of the traffic.
        weights[n] = 1.0 / std::pow(0.01 + rng.unit(), 1.3);
        weightSum += weights[n];
        // Starts over the capture; 40 % last up to 2 s, 40 % up to 40 s, the rest up to the end.
        f.start = rng.unit() * (captureSeconds - 20);
        const double d = rng.unit();
        const double duration = d < 0.4   ? 0.05 + rng.unit() * 2
                                : d < 0.8 ? 2 + rng.unit() * 38
                                          : 40 + rng.unit() * (captureSeconds - 40 - f.start);
        f.spacing = std::max(duration, 0.05);
    }
    for (std::size_t n = 0; n < count; ++n) {
        Flow& f = flows[n];
        const bool pairs = f.kind == frag4 || f.kind == frag6;
        const double share = weights[n] / weightSum * static_cast<double>(packetTarget);
        f.units = std::max<std::uint32_t>(f.kind == tcp4 || f.kind == tcp6 ? 2 : 1,
                                          static_cast<std::uint32_t>(pairs ? share / 2 : share));
        f.spacing /= f.units;  // the duration over the packets
    }
    return flows;
}

// Writes the pcap and returns what it holds.
Traffic writePcap(const std::string& path, std::size_t flowCount, std::uint64_t packetTarget) {
    Rng rng(0x5EED0F10);
    std::vector<Flow> flows = makeFlows(flowCount, packetTarget, rng);
    struct Event {
        double t;
        std::uint32_t flow, unit;
    };
    std::vector<Event> events;
    for (std::uint32_t n = 0; n < flows.size(); ++n) {
        for (std::uint32_t u = 0; u < flows[n].units; ++u) {
            // Jitter below half the spacing keeps each flow's packets in order.
            const double t = flows[n].start + flows[n].spacing * (u + 0.4 * rng.unit());
            events.push_back({std::min(t, captureSeconds), n, u});
        }
    }
    std::sort(events.begin(), events.end(), [](const Event& a, const Event& b) {
        return a.t != b.t ? a.t < b.t : a.flow != b.flow ? a.flow < b.flow : a.unit < b.unit;
    });

    Traffic traffic;
    traffic.flows = flows.size();
    for (const Flow& f : flows) ++traffic.kindFlows[f.kind];
    FrameBuilder::PcapFile file(path);
    auto write = [&](const Flow& f, const FrameBuilder::Packet& p, double t, bool ports) {
        const auto frame = FrameBuilder::build(p);
        file.write(frame, T0 + t);
        ++traffic.packets, traffic.bytes += frame.size();
        ++traffic.kindPackets[f.kind];
        if (f.kind == vxlan) return;
        auto& s = traffic.written[keyText(p, ports)];
        s.first += 1, s.second += frame.size() - 14 - 4 * p.vlans.size();
    };
    for (const Event& e : events) {
        const Flow& f = flows[e.flow];
        FrameBuilder::Packet p = f.p;
        const std::uint32_t small = 40 + rng.below(300), big = 1000 + rng.below(400);
        switch (f.kind) {
            case tcp4:
            case tcp6:
            case vxlan:
                if (p.proto == 6) {
                    const bool last = e.unit + 1 == f.units;
                    p.tcpFlags = e.unit == 0 ? 0x02
                                 : !last     ? (e.unit % 4 == 0 ? 0x18 : 0x10)
                                 : f.rst     ? 0x04
                                             : 0x11;
                    p.payload = e.unit == 0 || last ? 0 : f.bulk ? big : small;
                } else {
                    p.payload = small;
                }
                write(f, p, e.t, true);
                break;
            case frag4:
            case frag6: {
                // A datagram in two fragments: the first carries the UDP header, the second
                // (8-byte units further on) only the rest.
                const std::uint16_t first = f.kind == frag4 ? 1472 : 1232;
                p.moreFragments = true, p.payload = first;
                write(f, p, e.t, true);
                p.moreFragments = false, p.fragOffset = (first + 8) / 8, p.payload = small;
                if (f.kind == frag4) {
                    write(f, p, e.t, false);
                } else {
                    // Not among the written sums: softflowd keys it as protocol 0, flowtrack
                    // under UDP; the comparison leaves it out.
                    const auto frame = FrameBuilder::build(p);
                    file.write(frame, T0 + e.t);
                    ++traffic.packets, traffic.bytes += frame.size(), ++traffic.kindPackets[f.kind];
                }
                break;
            }
            default:
                p.payload = f.bulk ? big : small / 4;
                write(f, p, e.t, true);
        }
    }
    return traffic;
}

// ---- the reader ------------------------------------------------------------------------------

struct ReaderCounts {
    std::uint64_t listings = 0, records = 0;
    double cpuSeconds = 0;  // filled in by the parent once the reader has ended
};

// The body of the reader process: iterates the tracker's IPv4 and IPv6 flow tables, each whole,
// again and again until a byte arrives on `stopFd`; writes its counts to `resultFd`.
[[noreturn]] void readerProcess(int stopFd, int resultFd) {
    // Attaching before the agent has made a table fails, and says so in a trace: expected here.
    struct Quiet : Basalt::TraceSink {
        void write(std::string_view, int, const char*, int, const char*,
                   std::string_view) override {}
    };
    static Quiet quiet;
    Basalt::traceSinkIs(&quiet);
    ReaderCounts counts;
    try {
        const auto debug = Basalt::Platform::getDebugHandler("FlowtrackCompare");
        const std::string base =
            FlowTracking::FlowTable::mountPath("ip", Kiln::Name(trackerName)).stdString();
        const Hoard::TableKind* kinds[2] = {Hoard::tableKind("FlowTracking::IpFlowEntry"),
                                            Hoard::tableKind("FlowTracking::Ip6FlowEntry")};
        const std::string names[2] = {base + "/ipFlowEntry", base + "/ip6FlowEntry"};
        if (kinds[0] == nullptr || kinds[1] == nullptr) {
            throw std::runtime_error("the flow entry table kinds are not registered");
        }
        std::unique_ptr<Hoard::TableKind::Reader> readers[2];
        Kiln::GenericValue values[2] = {kinds[0]->newValue(), kinds[1]->newValue()};
        pollfd stop{stopFd, POLLIN, 0};
        while (::poll(&stop, 1, 0) == 0) {
            bool listed = false;
            for (int t = 0; t < 2; ++t) {
                if (!readers[t]) readers[t] = kinds[t]->openReader(debug, names[t], false, "bench");
                if (!readers[t]) continue;
                Hoard::IterHint hint;
                void* v = values[t].get();
                for (bool more = readers[t]->first(v, hint); more;
                     more = readers[t]->next(v, hint)) {
                    ++counts.records;
                }
                listed = true;
            }
            if (listed) {
                ++counts.listings;
            } else {
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        }
    } catch (const std::exception& e) {
        std::cerr << "reader: " << e.what() << "\n";
        ::_exit(1);
    }
    const ssize_t n = ::write(resultFd, &counts, sizeof counts);
    ::_exit(n == sizeof counts ? 0 : 1);
}

// A forked reader process; finish() stops it and returns its counts.
class Reader {
  public:
    Reader() {
        int stop[2], result[2];
        // Close-on-exec: the programs started later keep none of the reader's pipes.
        if (::pipe2(stop, O_CLOEXEC) != 0 || ::pipe2(result, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe failed");
        }
        pid_ = ::fork();
        if (pid_ < 0) throw std::runtime_error("fork failed");
        if (pid_ == 0) {
            ::close(stop[1]), ::close(result[0]);
            readerProcess(stop[0], result[1]);
        }
        ::close(stop[0]), ::close(result[1]);
        stopFd_ = stop[1], resultFd_ = result[0];
    }
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;
    ~Reader() {
        if (pid_ > 0) ::kill(pid_, SIGKILL), ::waitpid(pid_, nullptr, 0);
        ::close(stopFd_), ::close(resultFd_);
    }
    ReaderCounts finish() {
        if (::write(stopFd_, "x", 1) != 1) throw std::runtime_error("cannot stop the reader");
        pollfd in{resultFd_, POLLIN, 0};
        ReaderCounts counts;
        if (::poll(&in, 1, 10000) != 1 ||
            ::read(resultFd_, &counts, sizeof counts) != sizeof counts) {
            throw std::runtime_error("the reader process did not report");
        }
        // Reaped here when it ends in time; otherwise the destructor kills it.
        for (int i = 0; i < 1000; ++i) {
            rusage usage{};
            if (::wait4(pid_, nullptr, WNOHANG, &usage) == pid_) {
                pid_ = -1;
                counts.cpuSeconds = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 +
                                    usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return counts;
    }

  private:
    pid_t pid_ = -1;
    int stopFd_ = -1, resultFd_ = -1;
};

// ---- the runs --------------------------------------------------------------------------------

// "vlan src dst proto sport dport" -> packets, bytes, from what nfcapd wrote into `dir`.
Sums nfdumpSums(const std::string& dir, std::size_t* records) {
    const std::string text =
        output("nfdump -R " + dir + " -q -N -6 -o 'fmt:%svln %sa %da %pr %sp %dp %pkt %byt'",
               dir + ".nfdump.log");
    Sums sums;
    std::istringstream lines(text);
    *records = 0;
    for (std::string line; std::getline(lines, line);) {
        std::istringstream in(line);
        std::string vlan, src, dst, proto, sport, dport;
        std::uint64_t packets = 0, bytes = 0;
        if (!(in >> vlan >> src >> dst >> proto >> sport >> dport >> packets >> bytes)) continue;
        auto& s = sums[fmt::format("{} {} {} {} {} {}", vlan, src, dst, proto, sport, dport)];
        s.first += packets, s.second += bytes;
        ++*records;
    }
    return sums;
}

struct Run {
    double seconds = 0, cpuSeconds = 0;
    std::string summary;  // the tool's own last words
    Sums sums;
    std::size_t records = 0;
    ReaderCounts reader;
};

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

struct Setup {
    std::string flowtrack, pcap, work;
};

std::vector<std::string> flowtrackCommand(const Setup& s, const std::string& collector) {
    return {s.flowtrack,   "run",     "--pcap",    s.pcap,
            "--collector", collector, "--tracker", trackerSpec};
}
std::vector<std::string> softflowdCommand(const Setup& s, const std::string& collector) {
    // With -r softflowd stays in the foreground, reads the file and exports every flow at its
    // end.
    return {"softflowd", "-r",   s.pcap, "-v",    "10", "-n",     collector,
            "-T",        "vlan", "-A",   "milli", "-m", "1000000"};
}

std::string joined(const std::vector<std::string>& argv) {
    std::string s;
    for (const auto& a : argv) s += (s.empty() ? "" : " ") + a;
    return s;
}

Run runOnce(const Setup& s, const std::string& name, bool softflowd, bool withReader) {
    std::error_code ec;
    // A fresh table root for every run, so a reader never meets the previous run's tables.
    for (const auto& entry : std::filesystem::directory_iterator(std::getenv("HOARD_SHM_ROOT"))) {
        std::filesystem::remove_all(entry.path(), ec);
    }
    Collector collector(s.work + "/" + name);
    const auto argv = softflowd ? softflowdCommand(s, collector.address())
                                : flowtrackCommand(s, collector.address());
    std::unique_ptr<Reader> reader;
    if (withReader) reader = std::make_unique<Reader>();
    Run run;
    const auto start = Clock::now();
    Process tool(argv, s.work + "/" + name + ".out");
    const int status = tool.wait(600, argv[0]);
    run.seconds = secondsSince(start);
    run.cpuSeconds = tool.cpuSeconds();
    if (reader) run.reader = reader->finish();
    const std::string said = readFile(s.work + "/" + name + ".out");
    if (status != 0)
        throw std::runtime_error(fmt::format("{} exited {}: {}", joined(argv), status, said));
    run.summary = said;
    collector.stop();
    run.sums = nfdumpSums(collector.dir(), &run.records);
    std::filesystem::remove_all(collector.dir(), ec);
    return run;
}

std::uint64_t totalPackets(const Sums& sums) {
    std::uint64_t n = 0;
    for (const auto& [key, s] : sums) n += s.first;
    return n;
}

// The line of a tool's summary that starts with `prefix`, without the first `skip` characters;
// "" when there is none.
std::string summaryLine(const std::string& text, const std::string& prefix, std::size_t skip = 0) {
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind(prefix, 0) == 0) return line.substr(std::min(skip, line.size()));
    }
    return "";
}

// ---- the comparison --------------------------------------------------------------------------

// Why a key is left out of the comparison, or "" when both tools count it the same way.
std::string leftOut(const std::string& key) {
    std::istringstream in(key);
    std::string vlan, src, dst, proto, sport, dport;
    in >> vlan >> src >> dst >> proto >> sport >> dport;
    if (src.rfind("192.0.2.", 0) == 0 || src.rfind("172.16.", 0) == 0 ||
        src.rfind("fd00:", 0) == 0) {
        return "VXLAN (softflowd: the outer UDP flow; flowtrack: the inner flow)";
    }
    if (src.rfind("2001:db8:f::", 0) == 0 && sport == "0" && dport == "0") {
        return "IPv6 non-first fragments";
    }
    return "";
}

int run(int argc, char** argv) {
    std::string out, flowtrack;
    int runs = 3;
    std::uint64_t packets = 4'000'000;
    std::size_t flows = 40'000;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const std::string v = i + 1 < argc ? argv[i + 1] : "";
        if (a == "--out") {
            out = v, ++i;
        } else if (a == "--runs") {
            runs = std::stoi(v), ++i;
        } else if (a == "--packets") {
            packets = std::stoull(v), ++i;
        } else if (a == "--flows") {
            flows = std::stoul(v), ++i;
        } else if (a == "--flowtrack") {
            flowtrack = v, ++i;
        } else {
            runs = 0;
            break;
        }
    }
    if (runs < 1 || flows < 1) {
        throw std::invalid_argument(
            "usage: FlowtrackCompare [--out DIR] [--runs N] [--packets N] [--flows N] "
            "[--flowtrack PATH]");
    }
    if (flowtrack.empty()) {
        flowtrack = (std::filesystem::absolute(argv[0]).parent_path() / "flowtrack").string();
    }
    if (!std::filesystem::exists(flowtrack)) throw std::runtime_error("no " + flowtrack);

    BenchRoot tables;
    char templ[] = "/dev/shm/flowtrack-compare-XXXXXX";
    if (::mkdtemp(templ) == nullptr) throw std::runtime_error("mkdtemp failed");
    struct Removed {
        std::string path;
        ~Removed() {
            std::error_code ec;
            std::filesystem::remove_all(path, ec);
        }
    } work{templ};
    Setup setup{flowtrack, work.path + "/traffic.pcap", work.path};

    auto begun = Clock::now();
    const Traffic traffic = writePcap(setup.pcap, flows, packets);
    std::cerr << fmt::format("wrote {} packets of {} flows in {:.1f} s\n", traffic.packets,
                             traffic.flows, secondsSince(begun));

    // Other work on the machine shows in the spread of the runs; the load says how much there was.
    std::istringstream loadavg(readFile("/proc/loadavg"));
    std::string load1, load5, load15;
    loadavg >> load1 >> load5 >> load15;
    std::vector<Run> alone, read, soft;
    for (int r = 0; r < runs; ++r) {
        alone.push_back(runOnce(setup, fmt::format("flowtrack{}", r), false, false));
        read.push_back(runOnce(setup, fmt::format("reader{}", r), false, true));
        soft.push_back(runOnce(setup, fmt::format("softflowd{}", r), true, false));
        std::cerr << fmt::format(
            "run {}: flowtrack {:.2f} s, with reader {:.2f} s, softflowd {:.2f} s\n", r + 1,
            alone.back().seconds, read.back().seconds, soft.back().seconds);
    }

    // Every run of a tool must export the same sums: the reader changes nothing, the pcap's
    // times decide flowtrack's aging, and softflowd ends every flow at the end of the file.
    std::vector<std::string> problems;
    for (std::size_t r = 0; r < alone.size(); ++r) {
        if (alone[r].sums != alone[0].sums) {
            problems.push_back(
                fmt::format("flowtrack run {} exported other sums than run 1", r + 1));
        }
        if (read[r].sums != alone[0].sums) {
            problems.push_back(fmt::format(
                "flowtrack run {} with the reader exported other sums than run 1 without", r + 1));
        }
        if (soft[r].sums != soft[0].sums) {
            problems.push_back(
                fmt::format("softflowd run {} exported other sums than run 1", r + 1));
        }
    }
    const Sums& ft = alone[0].sums;
    const Sums& sf = soft[0].sums;
    std::map<std::string, std::string> keys;  // every key -> why it is left out ("" compared)
    for (const auto* sums : {&ft, &sf, &traffic.written}) {
        for (const auto& [key, s] : *sums) keys.emplace(key, leftOut(key));
    }
    struct Out {
        std::size_t ftKeys = 0, sfKeys = 0;
        std::uint64_t ftPackets = 0, sfPackets = 0;
    };
    std::map<std::string, Out> outs;
    std::size_t compared = 0, agreeing = 0, ftWritten = 0, sfWritten = 0;
    std::vector<std::string> disagreements;
    const std::pair<std::uint64_t, std::uint64_t> none{0, 0};
    auto at = [&](const Sums& sums, const std::string& key) {
        const auto it = sums.find(key);
        return it == sums.end() ? none : it->second;
    };
    for (const auto& [key, why] : keys) {
        const auto f = at(ft, key), s = at(sf, key), w = at(traffic.written, key);
        if (!why.empty()) {
            Out& o = outs[why];
            o.ftKeys += ft.count(key), o.sfKeys += sf.count(key);
            o.ftPackets += f.first, o.sfPackets += s.first;
            continue;
        }
        ++compared;
        ftWritten += f == w, sfWritten += s == w;
        if (f == s) {
            ++agreeing;
        } else {
            disagreements.push_back(fmt::format(
                "  {}: flowtrack {} packets {} bytes, softflowd {} packets {} bytes, pcap {} "
                "packets {} bytes",
                key, f.first, f.second, s.first, s.second, w.first, w.second));
        }
    }

    // Every packet reached the collectors (none lost on the way), and the left-out kinds hold
    // the same packets in both.
    if (totalPackets(ft) != traffic.packets || totalPackets(sf) != traffic.packets) {
        problems.push_back(
            fmt::format("the collectors counted {} (flowtrack) and {} (softflowd) "
                        "packets of the {} in the pcap",
                        totalPackets(ft), totalPackets(sf), traffic.packets));
    }
    for (const auto& [why, o] : outs) {
        if (o.ftPackets != o.sfPackets) {
            problems.push_back(fmt::format("left out, {}: {} packets (flowtrack), {} (softflowd)",
                                           why, o.ftPackets, o.sfPackets));
        }
    }

    std::vector<double> ftSeconds, readSeconds, sfSeconds, ftCpu, readCpu, sfCpu;
    std::vector<double> listings, records, readerCpu;
    for (int r = 0; r < runs; ++r) {
        ftSeconds.push_back(alone[r].seconds), readSeconds.push_back(read[r].seconds);
        sfSeconds.push_back(soft[r].seconds);
        ftCpu.push_back(alone[r].cpuSeconds), readCpu.push_back(read[r].cpuSeconds);
        sfCpu.push_back(soft[r].cpuSeconds);
        listings.push_back(static_cast<double>(read[r].reader.listings));
        records.push_back(static_cast<double>(read[r].reader.records));
        readerCpu.push_back(read[r].reader.cpuSeconds);
    }
    const double n = static_cast<double>(traffic.packets);
    const double ftPps = n / median(ftSeconds), readPps = n / median(readSeconds),
                 sfPps = n / median(sfSeconds);

    std::ostringstream report;
    report << fmt::format(
        "FlowtrackCompare: flowtrack and softflowd on one pcap of {} packets ({:.0f} MB), {} "
        "flows over {:.0f} s of capture\n",
        traffic.packets, static_cast<double>(traffic.bytes) / 1e6, traffic.flows, captureSeconds);
    for (int k = 0; k < kindCount; ++k) {
        report << fmt::format("  {:<22} {:>7} flows {:>9} packets\n", kindNames[k],
                              traffic.kindFlows[k], traffic.kindPackets[k]);
    }
    report << fmt::format(
        "  25 % of the flows outside VXLAN carry an 802.1Q tag (VLAN 100-103)\n\n");
    report << fmt::format(
        "Packets per second over the wall time of the whole run, median of {} runs (min-max\n"
        "seconds; the tool's CPU time, user and system, median):\n",
        runs);
    auto line = [&](const char* what, double pps, const std::vector<double>& secs,
                    const std::vector<double>& cpu) {
        report << fmt::format("  {:<34} {:>10.0f} pps  ({:.2f}-{:.2f} s; CPU {:.2f} s)\n", what,
                              pps, *std::min_element(secs.begin(), secs.end()),
                              *std::max_element(secs.begin(), secs.end()), median(cpu));
    };
    line("flowtrack", ftPps, ftSeconds, ftCpu);
    line("flowtrack, a reader listing tables", readPps, readSeconds, readCpu);
    line("softflowd", sfPps, sfSeconds, sfCpu);
    report << fmt::format("  load average before the runs (1, 5, 15 min): {} {} {}\n", load1, load5,
                          load15);
    report << fmt::format(
        "  flowtrack / softflowd: {:.2f}; the reader costs flowtrack {:.1f} % on {} cores "
        "(flowtrack "
        "runs a sampler, a manager and an exporter thread; softflowd one)\n",
        ftPps / sfPps, 100.0 * (1 - readPps / ftPps), std::thread::hardware_concurrency());
    report << fmt::format(
        "  the reader (median per run): {:.0f} listings of both tables, {:.0f} records read "
        "({:.0f} records/s), CPU {:.2f} s\n",
        median(listings), median(records), median(records) / median(readSeconds),
        median(readerCpu));
    report << fmt::format("  flowtrack said: {}\n",
                          summaryLine(alone[0].summary, "flowtrack: read", 11));
    report << fmt::format("  flowtrack said: {}\n",
                          summaryLine(alone[0].summary, "flowtrack: flows", 11));
    report << fmt::format("  softflowd said: {}; {}\n",
                          summaryLine(soft[0].summary, "Packets processed"),
                          summaryLine(soft[0].summary, "Flows exported"));
    report << fmt::format(
        "  records nfcapd received: flowtrack {} ({} packets), softflowd {} ({} packets)\n\n",
        alone[0].records, totalPackets(ft), soft[0].records, totalPackets(sf));

    report << fmt::format(
        "Per-key sums (vlan src dst proto sport dport; packets, bytes) from nfdump -R of each "
        "collector:\n"
        "  keys compared {}, agreeing {}, disagreeing {}\n"
        "  equal to the pcap's own sums (IP bytes): flowtrack {}, softflowd {} of {}\n",
        compared, agreeing, disagreements.size(), ftWritten, sfWritten, compared);
    for (const auto& [why, o] : outs) {
        report << fmt::format(
            "  left out, {}: flowtrack {} keys {} packets, softflowd {} keys {} packets\n", why,
            o.ftKeys, o.ftPackets, o.sfKeys, o.sfPackets);
    }
    report
        << "  How the two count, as found on this traffic (the pcap line checks it on every "
           "key):\n"
           "  bytes are IP bytes (IPv4 total length, IPv6 40 + payload length); the 802.1Q VLAN\n"
           "  id is part of the key (nfdump's source VLAN); ICMP and ICMPv6 have source port 0\n"
           "  and type.code as destination port; an IPv4 datagram's first fragment counts under\n"
           "  its ports, the others under ports 0; an IPv6 first fragment counts under its ports.\n"
           "  Left out: IPv6 non-first fragments (flowtrack keys them as UDP with ports 0,\n"
           "  softflowd as protocol 0) and VXLAN (softflowd does not open the tunnel and counts\n"
           "  the outer UDP flow to port 4789, flowtrack counts the inner flows); their packet\n"
           "  totals are shown above. Not in the pcap: QinQ, which softflowd does not decode.\n";
    const std::size_t shown = std::min<std::size_t>(disagreements.size(), 20);
    if (!disagreements.empty()) {
        report << fmt::format("Disagreements (the first {} of {}):\n", shown, disagreements.size());
        for (std::size_t i = 0; i < shown; ++i) report << disagreements[i] << "\n";
    }
    for (const auto& p : problems) report << "  problem: " << p << "\n";
    report << "\nCommands (FILE the pcap, P1 and P2 the collectors' loopback ports):\n"
           << "  nfcapd -B 4194304 -b 127.0.0.1 -p P1 -w DIR  (and P2; stopped with SIGTERM)\n"
           << "  " << joined(flowtrackCommand({"flowtrack", "FILE", ""}, "127.0.0.1:P1")) << "\n  "
           << joined(softflowdCommand({"", "FILE", ""}, "127.0.0.1:P2"))
           << "\n  nfdump -R DIR -q -N -6 -o 'fmt:%svln %sa %da %pr %sp %dp %pkt %byt'\n"
           << "  the reader: a child process iterating flowtracking/ip/flowTable/bench/"
              "{ipFlowEntry,ip6FlowEntry} through Hoard::tableKind readers\n";
    std::cout << report.str();
    if (!out.empty()) {
        std::filesystem::create_directories(out);
        std::ofstream md(out + "/FlowtrackCompare.md");
        md << "| | packets/s | seconds (median) | CPU seconds (median) |\n"
           << "| --- | ---: | ---: | ---: |\n"
           << fmt::format("| flowtrack | {:.0f} | {:.2f} | {:.2f} |\n", ftPps, median(ftSeconds),
                          median(ftCpu))
           << fmt::format("| flowtrack, a reader listing its tables | {:.0f} | {:.2f} | {:.2f} |\n",
                          readPps, median(readSeconds), median(readCpu))
           << fmt::format("| softflowd | {:.0f} | {:.2f} | {:.2f} |\n", sfPps, median(sfSeconds),
                          median(sfCpu))
           << fmt::format("\n{} packets, {} flows; {} keys compared, {} agree.\n", traffic.packets,
                          traffic.flows, compared, agreeing);
    }
    return disagreements.empty() && problems.empty() ? 0 : 1;
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    ::signal(SIGPIPE, SIG_IGN);
    try {
        return run(argc, argv);
    } catch (const std::exception& e) {
        std::cerr << "FlowtrackCompare: " << e.what() << "\n";
        return 1;
    }
}
