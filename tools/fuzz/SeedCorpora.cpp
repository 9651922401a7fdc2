// Writes the fuzz harnesses' seed corpora from real tables and real value texts:
//
//     build/SeedCorpora [DIR]        (DIR defaults to tests/fuzz/corpus)
//
// Tables (DIR/TableFilesFuzz, DIR/CounterTableFuzz): for every table kind, a table as its writer
// leaves it empty, grown from a small initial size, shrunk again, and with a writer killed while
// a rewrite is under LOOKASIDE (a crash point, so the build needs FLOWTABLE_TEST_HOOKS); counter
// tables also with their queue lapped. A counter table's queue is written as a writer with a
// ring of 4 cells would have left it (the last 4 notifications, every slot's position), which
// keeps the seeds small. Each seed is checked with the validator and a trial recovery and the
// answers are printed.
//
// Value texts (DIR/ValueTextFuzz): one per parser, the text of a sample value, and the text of a
// record of each table kind.

#include <csignal>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "FlowTracker/FlowTableTypes.h"
#include "FlowTracker/FtCounterTypes.h"
#include "Hoard/CrashPoint.h"
#include "Hoard/TableKind.h"
#include "contracts/Herald/HeraldView.h"
#include "contracts/Mem/RootPath.h"
#include "contracts/SharedMem/FenixFile.h"
#include "tests/support/Fork.h"
#include "tests/support/ShmRoot.h"
#include "tools/fuzz/FuzzInputs.h"

namespace {

using namespace FlowTracking;
using namespace Hoard::FlowTracker;

// Record `i` of a table of `kind`, with a key of its own and non-default counters.
Kiln::GenericValue record(const Hoard::TableKind& kind, std::uint32_t i) {
    const IpFlowKey key(
        Vrf::VrfIdMap::VrfId(i % 3), Bridging::VlanIdOrAnyOrNone(static_cast<std::uint16_t>(i % 5)),
        Wirekit::IpAddr::fromHostOrder(0x0A000000u + i), Wirekit::IpAddr(10, 9, 9, 9),
        Wirekit::ipProtoTcp, static_cast<std::uint16_t>(i), 443);
    const Ip6FlowKey key6(Vrf::VrfIdMap::VrfId(i % 3), Bridging::VlanIdOrAnyOrNone(7),
                          Wirekit::Ip6Addr::fromWords(0x20010db8, 0, 0, i),
                          Wirekit::Ip6Addr::fromWords(0x20010db8, 0, 0, 0xffff),
                          Wirekit::ipProtoUdp, static_cast<std::uint16_t>(i), 53);
    const FlowEntry counters(i, i / 2, i * 7ull, 1000.0 + i);
    const std::string_view name = kind.valueTypeName();
    if (name == IpFlowEntry::typeName) {
        IpFlowEntry e(key);
        e.bytesIs(1500 * i);
        e.pktsIs(i);
        e.tunnelStateIs(TunnelState::vxlanEncap);
        return kind.newValue(&e);
    }
    if (name == Ip6FlowEntry::typeName) {
        Ip6FlowEntry e(key6);
        e.flowLabelIs(i);
        e.pktsIs(i);
        return kind.newValue(&e);
    }
    if (name == BgpFlowEntry::typeName) {
        BgpFlowEntry e(key);
        e.srcAsIs(65000 + i);
        return kind.newValue(&e);
    }
    if (name == Bgp6FlowEntry::typeName) {
        Bgp6FlowEntry e(key6);
        e.dstPrefixLenIs(48);
        return kind.newValue(&e);
    }
    if (name == FlowCounterEntry::typeName) {
        const FlowCounterEntry e(FlowCounterKey(i), counters);
        return kind.newValue(&e);
    }
    if (name == FlowGroupCounterEntry::typeName) {
        const FlowGroupCounterEntry e(
            FlowGroupCounterKey(FtId(1 + i / 100), TemplateId(static_cast<std::uint16_t>(i % 100))),
            counters);
        return kind.newValue(&e);
    }
    throw std::runtime_error("SeedCorpora: no records for " + std::string(name));
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeFile(const std::filesystem::path& path, std::string_view bytes) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
}

// The queue file as a writer with a ring of `ring` cells would have left it: same sequence,
// positions and pending word, the cells of the last `ring` notifications.
std::string smallRing(const std::string& herald, std::uint32_t ring) {
    using Header = Herald::HeraldView::Header;
    Header h;
    std::memcpy(&h, herald.data(), sizeof h);
    const std::uint64_t* cells = reinterpret_cast<const std::uint64_t*>(herald.data() + sizeof h);
    std::string out(sizeof h + 8ull * ring, '\0');
    for (std::uint64_t n = h.sequence + 1 > ring ? h.sequence + 1 - ring : 1; n <= h.sequence;
         ++n) {
        std::memcpy(out.data() + sizeof h + 8 * (n % ring), &cells[n % h.ringSize], 8);
    }
    out += herald.substr(sizeof h + 8ull * h.ringSize);  // the positions
    h.ringSize = ring;
    h.checksum = h.computeChecksum();
    std::memcpy(out.data(), &h, sizeof h);
    return out;
}

struct Scenario {
    const char* name;
    bool queueOnly;
    std::function<void(const Hoard::TableKind&, Hoard::TableKind::Writer&)> run;
};

void writeRecords(const Hoard::TableKind& kind, Hoard::TableKind::Writer& w, std::uint32_t from,
                  std::uint32_t to) {
    for (std::uint32_t i = from; i < to; ++i) w.write(record(kind, i).get(), true);
}

const Scenario scenarios[] = {
    {"empty", false, [](const auto&, auto&) {}},
    {"grown", false, [](const auto& kind, auto& w) { writeRecords(kind, w, 0, 24); }},
    {"shrunk", false,
     [](const auto& kind, auto& w) {
         writeRecords(kind, w, 0, 24);
         Kiln::GenericValue key = kind.newKey();
         for (std::uint32_t i = 0; i < 21; ++i) {
             kind.keyOf(record(kind, i).get(), key.get());
             w.remove(key.get(), nullptr);
         }
     }},
    {"midRewrite", false,
     [](const auto& kind, auto& w) {
         writeRecords(kind, w, 0, 8);
         Kiln::GenericValue again = record(kind, 3);
         Hoard::CrashPoint::arm("write.value");  // the new value half copied, under LOOKASIDE
         w.write(again.get(), true);
     }},
    {"lapped", true,
     [](const auto& kind, auto& w) {
         for (int round = 0; round < 3; ++round) writeRecords(kind, w, 0, 6);
     }},
};

void writeTableSeeds(const std::filesystem::path& dir) {
    const auto debug = Basalt::Platform::getDebugHandler("SeedCorpora");
    TestSupport::ShmRoot root;
    Hoard::MapDescriptor d;
    d.initialSize = 4;
    d.slotLimit = 64;
    d.releaseGrace = 0;
    for (const Hoard::TableKind* kind : Hoard::tableKinds()) {
        const std::string kindName(
            kind->valueTypeName().substr(kind->valueTypeName().rfind(':') + 1));
        for (const Scenario& s : scenarios) {
            if (s.queueOnly && !kind->hasQueue()) continue;
            const std::string table = "seed/" + kindName + "/" + s.name;
            // A child writes, so each table has its own writer process and one can be killed.
            TestSupport::Child child([&] {
                auto w = kind->openWriter(debug, table, d, "SeedCorpora", "seed");
                s.run(*kind, *w);
                return true;
            });
            const int status = child.wait(60);
            if (status != 0 && status != 128 + SIGKILL) {
                throw std::runtime_error("SeedCorpora: writer of " + table + " ended with " +
                                         std::to_string(status));
            }
            const std::filesystem::path files = std::filesystem::path(root.path()) / table;
            std::string herald;
            if (kind->hasQueue()) {
                herald = smallRing(readFile(files / "herald"), 4);
                writeFile(files / "herald", herald);
            }
            const std::string input = FuzzSupport::joinTableInput(
                readFile(files / "slots"), readFile(files / "buckets"), herald);
            const char* harness = kind->hasQueue() ? "CounterTableFuzz" : "TableFilesFuzz";
            writeFile(dir / harness / (kindName + "-" + s.name), input);

            const std::uint32_t fenix =
                SharedMem::FenixFile(debug, Mem::RootPath(debug, table)).read().value();
            const auto v = kind->validate(debug, table, fenix);
            const auto r = kind->trialRecovery(debug, table, fenix);
            std::cout << harness << "/" << kindName << "-" << s.name << ": " << input.size()
                      << " bytes, validate " << (v.valid ? "valid" : v.error) << ", recovery "
                      << (r.valid ? "valid" : r.error) << " (" << r.repairs.size() << " repairs)\n";
        }
    }
}

void writeTextSeeds(const std::filesystem::path& dir) {
    const auto& targets = FuzzSupport::valueTextTargets();
    for (std::size_t i = 0; i < targets.size(); ++i) {
        const std::string text = static_cast<char>(i) + targets[i].sample();
        writeFile(dir / "ValueTextFuzz" / (std::to_string(i) + "-" + targets[i].name), text);
    }
    for (const Hoard::TableKind* kind : Hoard::tableKinds()) {
        for (std::size_t i = 0; i < targets.size(); ++i) {
            if (targets[i].name != kind->valueTypeName()) continue;
            const std::string text = static_cast<char>(i) + record(*kind, 5).strRep().stdString();
            writeFile(dir / "ValueTextFuzz" / (std::to_string(i) + "-record"), text);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    static FuzzSupport::NullSink sink;
    Basalt::traceSinkIs(&sink);
    const std::filesystem::path dir = argc > 1 ? argv[1] : "tests/fuzz/corpus";
    try {
        writeTableSeeds(dir);
        writeTextSeeds(dir);
    } catch (const std::exception& e) {
        std::cerr << e.what() << "\n";
        return 1;
    }
    return 0;
}
