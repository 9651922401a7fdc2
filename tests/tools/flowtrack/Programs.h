#pragma once

// The outside programs flowtrack's tests run (flowtrack itself, tshark, nfcapd and nfdump, python)
// and the loopback sockets they talk over. Each runs as a child process of the test: a command
// is waited for; nfcapd is stopped by its pid with SIGTERM.

#include <fmt/format.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/support/Fork.h"

namespace Programs {

// Runs `command` with sh; returns its exit status and what it printed (stdout and stderr).
inline std::pair<int, std::string> run(const std::string& command) {
    std::string text;
    std::FILE* p = ::popen((command + " 2>&1").c_str(), "r");
    char buf[4096];
    for (std::size_t n; p && (n = std::fread(buf, 1, sizeof buf, p)) > 0;) text.append(buf, n);
    const int status = p ? ::pclose(p) : -1;
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, text};
}

// Polls `done` every millisecond until it holds, for at most ten seconds.
inline bool eventually(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (; !done(); std::this_thread::sleep_for(std::chrono::milliseconds(1))) {
        if (std::chrono::steady_clock::now() > deadline) return false;
    }
    return true;
}

// 127.0.0.1:port.
inline sockaddr_in loopback(std::uint16_t port) {
    return {AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
}

// A UDP port the kernel just had free on loopback.
inline std::uint16_t freeLoopbackPort() {
    const int probe = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    ::bind(probe, reinterpret_cast<sockaddr*>(&address), length);
    ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(probe);
    return ntohs(address.sin_port);
}

// The UDP receive queue of a loopback port in /proc/net/udp: -1 while nothing is bound to it.
inline long receiveQueue(std::uint16_t port) {
    std::ifstream table("/proc/net/udp");
    for (std::string line, slot, address, remote, state, queues; std::getline(table, line);) {
        std::istringstream(line) >> slot >> address >> remote >> state >> queues;
        if (address == fmt::format("0100007F:{:04X}", port)) {
            return std::stol(queues.substr(queues.find(':') + 1), nullptr, 16);
        }
    }
    return -1;
}

// nfcapd, collecting IPFIX on 127.0.0.1:port into `dir`, with a 4 MB socket buffer so that a burst
// of datagrams is not dropped before it reads them.
class Nfcapd {
  public:
    explicit Nfcapd(const std::string& dir, std::uint16_t port = freeLoopbackPort())
        : dir_(dir),
          port_(port),
          child_([&] {
              std::filesystem::create_directories(dir);
              std::freopen("/dev/null", "w", stdout);
              std::freopen("/dev/null", "w", stderr);
              ::execlp("nfcapd", "nfcapd", "-b", "127.0.0.1", "-p", std::to_string(port).c_str(),
                       "-w", dir.c_str(), "-B", "4194304", static_cast<char*>(nullptr));
              return false;
          }),
          bound(eventually([&] { return receiveQueue(port_) >= 0; })) {}

    std::uint16_t port() const { return port_; }

    // Waits until nfcapd has read every datagram, stops it (it writes its file then) and
    // returns its exit status.
    int stop() {
        eventually([&] { return receiveQueue(port_) == 0; });
        ::kill(child_.pid(), SIGTERM);
        return child_.wait();
    }

    // nfdump's listing of the flows collected, "src dst packets bytes" per flow, sorted.
    std::vector<std::string> flows() const {
        std::vector<std::string> listed;
        std::istringstream lines(
            run("nfdump -R " + dir_ + " -q -N -o 'fmt:%sa %da %pkt %byt'").second);
        for (std::string line; std::getline(lines, line);) {
            std::istringstream words(line);
            std::string joined;
            for (std::string word; words >> word;) joined += (joined.empty() ? "" : " ") + word;
            if (!joined.empty()) listed.push_back(joined);
        }
        std::sort(listed.begin(), listed.end());
        return listed;
    }

  private:
    const std::string dir_;
    const std::uint16_t port_;
    TestSupport::Child child_;

  public:
    const bool bound;  // nfcapd listens
};

}  // namespace Programs
