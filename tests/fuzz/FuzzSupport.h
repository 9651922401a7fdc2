#pragma once

// What the fuzz harnesses (tests/fuzz/*Fuzz.cpp) and the seed-corpus writer
// (tests/fuzz/SeedCorpora.cpp) share: the byte layout of a table input, the private root its files
// are written to, the run of one table input through everything that reads table files, and the
// value text targets.
//
// A table input is the files of one table, one after the other:
//     u32 slots length, the slots file, u32 buckets length, the buckets file, the herald file
// (lengths little-endian; a length past the end of the input takes what is left). The fenix file
// is made from the slot header's fenix, so a table that was whole when it was captured stays
// adoptable by its fenix.
//
// Thread safety: none; a harness runs on libFuzzer's one thread.

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "Hoard/SlotTable.h"
#include "Hoard/TableKind.h"
#include "contracts/Basalt/DebugHandler.h"
#include "contracts/Basalt/Exception.h"
#include "contracts/Basalt/TraceSink.h"
#include "contracts/Config/FtId.h"
#include "contracts/Config/TemplateId.h"
#include "contracts/Herald/HeraldView.h"
#include "contracts/HoardBase/BucketTable.h"
#include "contracts/Kiln/KilnType.h"
#include "contracts/Kiln/TextForm.h"
#include "contracts/Kiln/ValueText.h"
#include "contracts/SharedMem/FenixFile.h"
#include "contracts/Wirekit/AutonomousSystem.h"
#include "contracts/Wirekit/EthAddr.h"
#include "contracts/Wirekit/Ip6Addr.h"
#include "contracts/Wirekit/IpAddr.h"
#include "contracts/Wirekit/IpGenAddr.h"
#include "contracts/Wirekit/IpGenPrefix.h"
#include "contracts/Wirekit/IpProtocolNumber.h"
#include "contracts/Wirekit/IpTos.h"
#include "contracts/Wirekit/Port.h"
#include "contracts/Wirekit/TcpDataOffsetAndFlags.h"
#include "contracts/Wirekit/TextValue.h"
#include "contracts/Wirekit/VlanIdOrAnyOrNone.h"
#include "contracts/Wirekit/VniExtOrNone.h"
#include "contracts/Wirekit/VrfId.h"
#include "contracts/Wirekit/VrfName.h"

namespace FuzzSupport {

// ---- Table inputs ------------------------------------------------------------------------------

struct TableInput {
    std::string_view slots, buckets, herald;
};

inline std::string_view takeFile(const std::uint8_t*& pos, const std::uint8_t* end) {
    std::uint32_t length = 0;
    const std::size_t have = static_cast<std::size_t>(end - pos);
    std::memcpy(&length, pos, have < 4 ? have : 4);
    pos += have < 4 ? have : 4;
    const std::size_t take = std::min<std::size_t>(length, static_cast<std::size_t>(end - pos));
    std::string_view file(reinterpret_cast<const char*>(pos), take);
    pos += take;
    return file;
}

inline TableInput splitTableInput(const std::uint8_t* data, std::size_t size) {
    const std::uint8_t* pos = data;
    const std::uint8_t* end = data + size;
    TableInput in;
    in.slots = takeFile(pos, end);
    in.buckets = takeFile(pos, end);
    in.herald =
        std::string_view(reinterpret_cast<const char*>(pos), static_cast<std::size_t>(end - pos));
    return in;
}

inline std::string joinTableInput(const std::string& slots, const std::string& buckets,
                                  const std::string& herald) {
    std::string out;
    for (const std::string* file : {&slots, &buckets}) {
        const auto length = static_cast<std::uint32_t>(file->size());
        out.append(reinterpret_cast<const char*>(&length), 4);
        out += *file;
    }
    return out + herald;
}

// ---- The private shm root ----------------------------------------------------------------------

// A directory under /dev/shm installed as $HOARD_SHM_ROOT for the whole process; the table "fuzz"
// lives in it. Every run writes the table's files and removes them afterwards, and the directory
// goes when the process exits, or else with the next harness that starts, so runs leave nothing
// in /dev/shm behind.
class FuzzRoot {
  public:
    static constexpr const char* table = "fuzz";

    static FuzzRoot& instance() {
        static FuzzRoot root;
        return root;
    }
    void writeFile(const char* name, std::string_view bytes) const {
        const std::string path = dir_ + "/" + name;
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) std::abort();
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
            if (n <= 0) std::abort();
            done += static_cast<std::size_t>(n);
        }
        ::close(fd);
    }
    // Removes what a run left in the table directory.
    void clear() const {
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(dir_, ec)) {
            std::filesystem::remove_all(entry.path(), ec);
        }
    }
    // Also from an atexit handler and the sanitizers' death callback, when other statics may be
    // gone: it uses only the path kept in static storage.
    static void removeAll() {
        if (rootPath()[0] == '\0') return;
        std::error_code ec;
        std::filesystem::remove_all(rootPath(), ec);
    }

  private:
    static constexpr const char* prefix = "/dev/shm/flowtable-fuzz-";
    static char* rootPath() {
        static char path[64] = "";
        return path;
    }
    // The root is named after the process; the roots of processes that are gone (a finding ends
    // a harness with _exit, past every handler) are removed here.
    FuzzRoot() {
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator("/dev/shm", ec)) {
            const std::string path = entry.path().string();
            if (path.rfind(prefix, 0) != 0) continue;
            const long pid = std::atol(path.c_str() + std::strlen(prefix));
            if (pid > 0 && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) {
                std::filesystem::remove_all(path, ec);
            }
        }
        std::snprintf(rootPath(), 64, "%s%d", prefix, static_cast<int>(::getpid()));
        dir_ = std::string(rootPath()) + "/" + table;
        std::filesystem::create_directories(dir_);
        ::setenv("HOARD_SHM_ROOT", rootPath(), 1);
        std::atexit(removeAll);
    }

    std::string dir_;
};

// Swallows every trace line: a damaged table is traced at level 0 on every run.
class NullSink : public Basalt::TraceSink {
  public:
    void write(std::string_view, int, const char*, int, const char*, std::string_view) override {}
};

// ---- Observing what was read -------------------------------------------------------------------

// Everything a harness reads is folded in here, and the sum is handed to an empty asm statement
// the compiler must assume reads it: no read can be optimised away.
struct Sink {
    std::uint64_t sum = 0xCBF29CE484222325ull;
    void fold(const void* bytes, std::size_t size) {
        const auto* p = static_cast<const unsigned char*>(bytes);
        for (std::size_t i = 0; i < size; ++i) sum = (sum ^ p[i]) * 0x100000001B3ull;
    }
    void fold(std::uint64_t v) { fold(&v, sizeof v); }
    void fold(std::string_view s) { fold(s.data(), s.size()); }
    void observe() const { asm volatile("" : : "r"(sum) : "memory"); }
};

// ---- One table input through the readers of table files ----------------------------------------

// Runs `body`; a failure the library documents for a bad table file ends it, anything else
// escapes to libFuzzer as a finding.
template <class Body>
void documented(Body&& body) {
    try {
        body();
    } catch (const Basalt::CorruptionDetectedException&) {
    } catch (const Basalt::MemoryResourceException&) {
    } catch (const Basalt::InvalidInitializeException&) {
    }
}

// Writes the input's files as table "fuzz" (the slot header's checksum and the queue header's
// recomputed, so mutations get past them) and runs them through the header checks, the
// validator, a trial recovery on private mappings, and a reader's attach, iteration and lookups.
// `queue`: only counter tables (kinds with a change queue) are run, else only the others.
inline void runTable(const std::uint8_t* data, std::size_t size, bool queue) {
    static const auto debug = Basalt::Platform::getDebugHandler("TableFilesFuzz");
    const TableInput in = splitTableInput(data, size);
    if (in.slots.size() < sizeof(Hoard::SlotTable::Header)) return;
    std::string slots(in.slots), buckets(in.buckets), herald(in.herald);

    Hoard::SlotTable::Header h;
    std::memcpy(&h, slots.data(), sizeof h);
    const std::string valueType(h.valueType, strnlen(h.valueType, sizeof h.valueType));
    const Hoard::TableKind* kind = Hoard::tableKind(valueType);
    if (kind == nullptr || kind->hasQueue() != queue) return;
    h.hash = h.doHash();
    std::memcpy(slots.data() + offsetof(Hoard::SlotTable::Header, hash), &h.hash, 4);
    if (herald.size() >= sizeof(Herald::HeraldView::Header)) {
        Herald::HeraldView::Header q;
        std::memcpy(&q, herald.data(), sizeof q);
        q.checksum = q.computeChecksum();
        std::memcpy(herald.data() + offsetof(Herald::HeraldView::Header, checksum), &q.checksum, 4);
    }

    const FuzzRoot& root = FuzzRoot::instance();
    root.writeFile("slots", slots);
    root.writeFile("buckets", buckets);
    if (queue) root.writeFile("herald", herald);
    std::string fenix(SharedMem::FenixFile::kFileSize, '\0');
    const std::uint32_t magic = SharedMem::FenixFile::kMagic;
    std::memcpy(fenix.data() + SharedMem::FenixFile::kMagicOffset, &magic, 4);
    std::memcpy(fenix.data() + SharedMem::FenixFile::kFenixOffset, &h.fenix, 4);
    root.writeFile("fenix", fenix);

    Sink sink;
    std::string error;
    sink.fold(Hoard::SlotTable::Header::validate(&h, debug, slots.size(), h.fenix, error));
    if (buckets.size() >= sizeof(Hoard::BucketTable::Header)) {
        Hoard::BucketTable::Header b;
        std::memcpy(&b, buckets.data(), sizeof b);
        sink.fold(b.validate(debug.get(), buckets.size(), h.fenix, error));
    }
    if (queue && herald.size() >= sizeof(Herald::HeraldView::Header)) {
        Herald::HeraldView::Header q;
        std::memcpy(&q, herald.data(), sizeof q);
        sink.fold(q.validate(herald.size(), error));
    }
    sink.fold(error);

    for (bool trial : {false, true}) {
        documented([&] {
            const Hoard::TableKind::Validation v =
                trial ? kind->trialRecovery(debug, FuzzRoot::table, h.fenix)
                      : kind->validate(debug, FuzzRoot::table, h.fenix);
            sink.fold(v.valid);
            sink.fold(v.error);
            sink.fold(v.records);
            sink.fold(v.freeSlots);
            for (const std::string& r : v.repairs) sink.fold(r);
        });
    }

    documented([&] {
        auto reader = kind->openReader(debug, FuzzRoot::table, false, "fuzz");
        if (reader) {
            Kiln::GenericValue value = kind->newValue(), found = kind->newValue();
            Kiln::GenericValue key = kind->newKey();
            const Kiln::GenericValue::Layout layout = kind->valueLayout();
            Hoard::IterHint hint;
            // Each key comes back at most once, so an iteration ends within the slots the file
            // can hold; one that goes on is a finding.
            const std::size_t bound = slots.size() / 16 + 2;
            std::size_t steps = 0;
            for (bool more = reader->first(value.get(), hint); more;
                 more = reader->next(value.get(), hint)) {
                if (++steps > bound) std::abort();
                sink.fold(value.get(), layout.size);
                sink.fold(value.strRep().stdString());
                kind->keyOf(value.get(), key.get());
                sink.fold(reader->lookup(key.get(), found.get()));
                sink.fold(found.get(), layout.size);
            }
            sink.fold(reader->lookup(kind->newKey().get(), found.get()));
            sink.fold(reader->members());
            sink.fold(reader->capacity());
            sink.fold(reader->maxSize());
        }
    });
    root.clear();
    sink.observe();
}

// ---- Value texts -------------------------------------------------------------------------------

// One parser under test: its name and the round trip of one text, which returns false when the
// text does not parse (a Kiln::RangeException) and aborts when what parsed does not come back
// equal (text -> value -> text -> value).
struct ValueTextTarget {
    std::string name;
    std::function<bool(const std::string& text, Sink& sink)> roundTrip;
    // The value text of a sample value (its default for registered types).
    std::function<std::string()> sample;
};

template <class T>
ValueTextTarget networkTarget(const char* name, T sampleValue) {
    auto parse = [](const std::string& text) {
        const Kiln::String s(text);
        return Kiln::strepToValue<T>(s);
    };
    return {name,
            [parse](const std::string& text, Sink& sink) {
                T first;
                try {
                    first = parse(text);
                } catch (const Kiln::RangeException&) {
                    return false;
                }
                const std::string once = Kiln::attributeToStrep(first).stdString();
                const T second = parse(once);  // a printed value must parse
                if (!(second == first)) std::abort();
                if (Kiln::attributeToStrep(second).stdString() != once) std::abort();
                sink.fold(once);
                return true;
            },
            [sampleValue] { return Kiln::attributeToStrep(sampleValue).stdString(); }};
}

// A registered value type through its record only (construct, strepToValue, strRep, isEqual).
inline ValueTextTarget registeredTarget(const Kiln::KilnType& type) {
    // Raw storage for any registered value type (they are small and trivially copyable).
    struct alignas(16) Storage {
        unsigned char bytes[512];
    };
    const Kiln::GenericIf::Table& g = *type.genericIf();
    auto parse = [&type, &g](Storage& s, const std::string& text) {
        g.construct(s.bytes, nullptr);
        try {
            g.strepToValue(s.bytes, Kiln::String(text), type);
        } catch (...) {
            g.destruct(s.bytes);
            throw;
        }
    };
    return {std::string(type.name()),
            [&type, &g, parse](const std::string& text, Sink& sink) {
                Storage first, second;
                try {
                    parse(first, text);
                } catch (const Kiln::RangeException&) {
                    return false;
                }
                const std::string once = g.strRep(first.bytes, type).stdString();
                parse(second, once);  // a printed value must parse
                const std::string twice = g.strRep(second.bytes, type).stdString();
                bool equal = false;
                if (g.attributeOp(&equal, first.bytes, 0, Kiln::GenericIf::isEqual, second.bytes,
                                  nullptr) != Kiln::GenericIf::success) {
                    std::abort();
                }
                // A NaN double is equal to nothing, itself included; then the texts decide.
                const bool nan = once.find("nan") != std::string::npos;
                if ((!equal && !nan) || twice != once) std::abort();
                sink.fold(once);
                g.destruct(first.bytes);
                g.destruct(second.bytes);
                return true;
            },
            [&type, &g] {
                Storage s;
                g.construct(s.bytes, nullptr);
                std::string text = g.strRep(s.bytes, type).stdString();
                g.destruct(s.bytes);
                return text;
            }};
}

// Every parser: the registered value types with a text form (by name), then the network and
// number value types their attributes are made of. A value text input is one byte choosing the
// target (modulo their count), then the text.
inline const std::vector<ValueTextTarget>& valueTextTargets() {
    static const std::vector<ValueTextTarget> targets = [] {
        std::vector<ValueTextTarget> out;
        std::vector<const Kiln::KilnType*> registered;
        for (const Kiln::KilnType* type : Kiln::types()) {
            const Kiln::GenericIf::Table* g = type->genericIf();
            if (g != nullptr && g->construct != nullptr && g->destruct != nullptr &&
                g->strRep != nullptr && g->strepToValue != nullptr &&
                g->newEntityForDir == nullptr) {
                registered.push_back(type);
            }
        }
        std::sort(registered.begin(), registered.end(),
                  [](const auto* a, const auto* b) { return a->name() < b->name(); });
        for (const Kiln::KilnType* type : registered) out.push_back(registeredTarget(*type));
        out.push_back(networkTarget("Wirekit::IpAddr", Wirekit::IpAddr(10, 1, 2, 3)));
        out.push_back(
            networkTarget("Wirekit::Ip6Addr", Wirekit::Ip6Addr::fromWords(0x20010db8, 0, 0, 1)));
        out.push_back(
            networkTarget("Wirekit::IpGenAddr", Wirekit::IpGenAddr(Wirekit::IpAddr(10, 0, 0, 1))));
        out.push_back(networkTarget("Wirekit::IpGenPrefix", Wirekit::IpGenPrefix()));
        out.push_back(networkTarget("Wirekit::EthAddr", Wirekit::EthAddr()));
        out.push_back(networkTarget("Wirekit::IpProtocolNumber", Wirekit::ipProtoTcp));
        out.push_back(
            networkTarget("Wirekit::TcpDataOffsetAndFlags", Wirekit::TcpDataOffsetAndFlags()));
        out.push_back(networkTarget("Wirekit::IntfId", Wirekit::IntfId("Ethernet1")));
        out.push_back(networkTarget("L3::VrfName", L3::VrfName("default")));
        out.push_back(networkTarget("Vrf::VrfIdMap::VrfId", Vrf::VrfIdMap::VrfId(7)));
        out.push_back(
            networkTarget("Bridging::VlanIdOrAnyOrNone", Bridging::VlanIdOrAnyOrNone(100)));
        out.push_back(networkTarget("Vxlan::VniExtOrNone", Vxlan::VniExtOrNone()));
        out.push_back(networkTarget("Wirekit::Port", Wirekit::Port(443)));
        out.push_back(networkTarget("Wirekit::AutonomousSystem", Wirekit::AutonomousSystem(65001)));
        out.push_back(networkTarget("Wirekit::IpTos", Wirekit::IpTos(0x10)));
        out.push_back(networkTarget("FlowTracking::FtId", FlowTracking::FtId(1)));
        out.push_back(networkTarget("FlowTracking::TemplateId", FlowTracking::TemplateId(5)));
        out.push_back(networkTarget("double", 1234.5));
        out.push_back(networkTarget("bool", true));
        out.push_back(networkTarget("std::uint64_t", std::uint64_t{18446744073709551615ull}));
        return out;
    }();
    return targets;
}

}  // namespace FuzzSupport
