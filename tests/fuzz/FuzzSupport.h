#pragma once

// What the fuzz harnesses (tests/fuzz/*Fuzz.cpp) share beyond their inputs
// (tools/fuzz/FuzzInputs.h): the private root a table input's files are written to, and the run
// of one table input through everything that reads table files. The fenix file is made from the
// slot header's fenix, so a table that was whole when it was captured stays adoptable by it.
//
// Thread safety: none; a harness runs on libFuzzer's one thread.

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>

#include "Hoard/SlotTable.h"
#include "Hoard/TableKind.h"
#include "contracts/Basalt/DebugHandler.h"
#include "contracts/Basalt/Exception.h"
#include "contracts/Herald/HeraldView.h"
#include "contracts/HoardBase/BucketTable.h"
#include "contracts/SharedMem/FenixFile.h"
#include "tools/fuzz/FuzzInputs.h"

namespace FuzzSupport {

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

}  // namespace FuzzSupport
