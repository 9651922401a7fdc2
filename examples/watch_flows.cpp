// watch_flows: attaches a lock-free reader to a flow table written by another process (flowtrack,
// or any agent using the library) and prints its flows as they change: a line per flow that
// appeared, changed or went since the last look.
//
//     watch_flows [--once] [--interval MS] TABLE
//
// TABLE is a table name under $HOARD_SHM_ROOT (default /dev/shm/hoard), for instance
// flowtracking/ip/flowTable/default/ipFlowEntry as `hoardctl ls` lists it. --once prints the
// flows there are and exits; otherwise the table is read again every MS milliseconds (default
// 500) until SIGINT or SIGTERM. The reader never locks or writes anything, so it may run while
// the writer writes; a flow is printed whole or not at all.
//
// The table's header names its record type; the library's table kind for that type opens the
// reader, and IPv4 and IPv6 flow records are printed from their typed fields.

#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "FlowTracker/FlowTableTypes.h"
#include "Hoard/SlotTable.h"
#include "Hoard/TableKind.h"
#include "contracts/Basalt/DebugHandler.h"
#include "contracts/HoardBase/IterHint.h"
#include "contracts/Kiln/TextForm.h"
#include "contracts/Mem/RootPath.h"

namespace {

volatile sig_atomic_t stopping = 0;

std::string text(const auto& value) { return valueToStrep(value).stdString(); }

// One line for a flow record of the two flow entry types, the record's value text otherwise.
std::string describe(const Hoard::TableKind& kind, const Kiln::GenericValue& record) {
    const auto flow = [](const auto& f) {
        return text(f.srcIpAddr()) + ":" + std::to_string(f.srcPort()) + " -> " +
               text(f.dstIpAddr()) + ":" + std::to_string(f.dstPort()) + " proto " +
               text(f.ipProtocol()) + ": " + std::to_string(f.pkts()) + " packets, " +
               std::to_string(f.bytes()) + " bytes";
    };
    if (&kind.valueType() == &FlowTracking::IpFlowEntry::_kilnType) {
        return flow(*static_cast<const FlowTracking::IpFlowEntry*>(record.get()));
    }
    if (&kind.valueType() == &FlowTracking::Ip6FlowEntry::_kilnType) {
        return flow(*static_cast<const FlowTracking::Ip6FlowEntry*>(record.get()));
    }
    return record.strRep().stdString();
}

// The record type named in the table's slot file header.
std::string valueTypeOf(const std::string& table) {
    const auto debug = Basalt::Platform::getDebugHandler("watch_flows");
    const std::string path = Mem::RootPath(debug, table).filePath(Hoard::SlotTable::slotsFileName);
    Hoard::SlotTable::Header header{};
    std::FILE* f = std::fopen(path.c_str(), "rb");
    const bool read = f != nullptr && std::fread(&header, sizeof header, 1, f) == 1;
    if (f != nullptr) std::fclose(f);
    if (!read || header.magic != Hoard::SlotTable::magicValue) return "";
    return std::string(header.valueType, ::strnlen(header.valueType, sizeof header.valueType));
}

int watch(const std::string& table, bool once, std::chrono::milliseconds interval) {
    const std::string type = valueTypeOf(table);
    const Hoard::TableKind* kind = Hoard::tableKind(type);
    if (kind == nullptr) {
        std::fprintf(stderr, "watch_flows: %s is no table of a known record type\n", table.c_str());
        return 1;
    }
    const auto debug = Basalt::Platform::getDebugHandler("watch_flows");
    const auto reader = kind->openReader(debug, table, false, "watch_flows");
    if (!reader) {
        std::fprintf(stderr, "watch_flows: cannot attach a reader to %s\n", table.c_str());
        return 1;
    }
    std::map<std::string, std::string> seen;  // key text -> the line printed for the flow
    Kiln::GenericValue record = kind->newValue();
    Kiln::GenericValue key = kind->newKey();
    do {
        std::map<std::string, std::string> now;
        Hoard::IterHint hint;
        for (bool more = reader->first(record.get(), hint); more;
             more = reader->next(record.get(), hint)) {
            kind->keyOf(record.get(), key.get());
            const std::string line = describe(*kind, record);
            const auto [at, added] = now.emplace(key.strRep().stdString(), line);
            const auto before = seen.find(at->first);
            if (before == seen.end()) {
                std::printf("new     %s\n", line.c_str());
            } else if (before->second != line) {
                std::printf("changed %s\n", line.c_str());
            }
        }
        for (const auto& [keyText, line] : seen) {
            if (!now.contains(keyText)) std::printf("gone    %s\n", line.c_str());
        }
        seen.swap(now);
        std::fflush(stdout);
        if (!once) std::this_thread::sleep_for(interval);
    } while (!once && !stopping);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const char* const usage = "usage: watch_flows [--once] [--interval MS] TABLE\n";
    bool once = false;
    long intervalMs = 500;
    std::string table;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help") {
            std::fputs(usage, stdout);
            return 0;
        } else if (arg == "--once") {
            once = true;
        } else if (arg == "--interval" && i + 1 < argc) {
            intervalMs = std::atol(argv[++i]);
        } else if (table.empty() && arg.rfind("-", 0) != 0) {
            table = arg;
        } else {
            table.clear();
            break;
        }
    }
    if (table.empty() || intervalMs <= 0) {
        std::fputs(usage, stderr);
        return 2;
    }
    struct sigaction stop {};
    stop.sa_handler = [](int) { stopping = 1; };
    ::sigaction(SIGINT, &stop, nullptr);
    ::sigaction(SIGTERM, &stop, nullptr);
    try {
        return watch(table, once, std::chrono::milliseconds(intervalMs));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "watch_flows: %s\n", e.what());
        return 1;
    }
}
