#include "tools/hoardctl/Commands.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iomanip>
#include <istream>
#include <map>
#include <memory>
#include <ostream>
#include <sstream>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "Hoard/SlotTable.h"
#include "Hoard/TableKind.h"
#include "contracts/Basalt/Exception.h"
#include "contracts/Herald/HeraldView.h"
#include "contracts/HoardBase/BucketTable.h"
#include "contracts/HoardBase/IterHint.h"
#include "contracts/HoardBase/MapDescriptor.h"
#include "contracts/HoardBase/Util.h"
#include "contracts/Kiln/Entity.h"
#include "contracts/Kiln/GenericValue.h"
#include "contracts/Kiln/KilnType.h"
#include "contracts/Kiln/TextForm.h"
#include "contracts/Mem/RootPath.h"
#include "contracts/Mem/WriterLock.h"
#include "contracts/SharedMem/FenixFile.h"
#include "contracts/SharedMem/OwnerFile.h"
#include "tools/hoardctl/CommandSupport.h"
#include "tools/hoardctl/Json.h"
#include "tools/hoardctl/Records.h"
#include "tools/hoardctl/TableFiles.h"

namespace Hoardctl {

namespace {

// The slot limit of a table that put creates.
constexpr std::uint32_t newTableSlotLimit = 1024;
// The class type recorded in the header of a table that put creates.
constexpr const char* newTableClassType = "hoardctl";
// Directory levels ls descends below the root: table names are a few levels deep.
constexpr int lsMaxDepth = 32;

// "1 record", "2 records".
std::string counted(std::uint64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

using Hoard::TableKind;
using Kiln::GenericValue;

GenericValue parseKey(const TableKind& kind, const std::string& text) {
    GenericValue key = kind.newKey();
    try {
        key.strepToValueIs(Kiln::String(text));
    } catch (const Kiln::RangeException& e) {
        throw Failure("bad key text for a table of " + std::string(kind.valueTypeName()) + ": " +
                      e.what());
    }
    return key;
}

// The type name a value text starts with ("Value('<type>', ** {..."), or "" when it does not
// start that way. Reads no further than the closing quote.
std::string valueTextTypeName(std::string_view text) {
    constexpr std::string_view prefix = "Value('";
    if (text.substr(0, prefix.size()) != prefix) return "";
    const std::size_t end = text.find('\'', prefix.size());
    if (end == std::string_view::npos) return "";
    return std::string(text.substr(prefix.size(), end - prefix.size()));
}

// The value types of the registered table kinds, comma separated, for messages.
std::string knownValueTypes() {
    std::string names;
    for (const TableKind* kind : Hoard::tableKinds()) {
        names += (names.empty() ? "" : ", ") + std::string(kind->valueTypeName());
    }
    return names;
}

// ---- Reading ----------------------------------------------------------------------------------

// The headers pass the reader's own checks before the reader attaches, so that a damaged table
// is reported here and the reader never leaves its corruption marker behind.
void requireReadableHeaders(Context& ctx, const TableFiles& t) {
    std::string error;
    if (!t.headersValid(ctx.debug, error)) throw Failure("table " + t.name + ": " + error);
}

std::unique_ptr<TableKind::Reader> openReader(Context& ctx, const TableFiles& t,
                                              const TableKind& kind) {
    // No corruption marker either: a read-only tool writes nothing.
    auto reader = kind.openReader(ctx.debug, t.name, false, "hoardctl");
    if (!reader) throw Failure("cannot attach to table " + t.name + " as a reader");
    return reader;
}

// Hands every record of the table to `emit`, each key once: through the reader's slot-order
// scan, which hands a record out twice only when a shrink moved it during the scan, so the keys
// handed out are remembered (memory in proportion to the records) and a repeat is dropped. With
// `sorted` the records are collected by key text first and handed out in that order.
int listTable(Context& ctx, const TableFiles& t,
              const std::function<void(const GenericValue&)>& emit, bool sorted = false) {
    const TableKind& kind = kindOf(t);
    const auto reader = openReader(ctx, t, kind);
    // A scan hands out at most the slots it walks, but those follow the table's growth (the
    // reader remaps as the writer grows it), and a shrink may repeat records. The bound is a
    // second stop for a table that keeps lying: the most slots the table has had. While a live
    // writer inserts, a scan may meet more records than any slot count it saw; that never fails
    // the listing.
    const auto limit = [&] {
        return std::uint64_t{std::max({t.slotHeader.maxSlots, t.slotHeader.mostSlots,
                                       reader->maxSize(), reader->capacity()})};
    };
    std::uint64_t bound = limit();
    std::uint64_t n = 0;
    std::unordered_set<std::string> keys;
    std::map<std::string, GenericValue> collected;
    GenericValue key = kind.newKey();
    reader->scan([&](const void* record) {
        if (++n > bound && (bound = std::max(bound, limit())) < n) {
            if (!Mem::WriterLock::ownerIsAlive(Mem::RootPath(ctx.debug, t.name))) {
                throw Failure("table " + t.name + " returned more records than its slot limit " +
                              std::to_string(bound));
            }
            bound = 2 * n;  // a live writer: probe again only after as many records again
        }
        kind.keyOf(record, key.get());
        std::string keyText = valueText(key);
        if (sorted) {
            collected.try_emplace(std::move(keyText), kind.newValue(record));
        } else if (keys.insert(std::move(keyText)).second) {
            emit(kind.newValue(record));
        }
    });
    for (const auto& [keyText, value] : collected) emit(value);
    return 0;
}

int getRecord(Context& ctx, const TableFiles& t, const std::string& keyText) {
    const TableKind& kind = kindOf(t);
    const GenericValue key = parseKey(kind, keyText);
    const auto reader = openReader(ctx, t, kind);
    GenericValue value = kind.newValue();
    if (!reader->lookup(key.get(), value.get())) {
        throw Failure("no record with key " + keyText + " in table " + t.name);
    }
    ctx.out << (ctx.json ? recordJson(kind, value) : valueText(value)) << '\n';
    return 0;
}

// ---- Writing ----------------------------------------------------------------------------------

// The table's writer, opened only after the checks that keep it from re-formatting anything:
//  - no live writer owns the table (the probe names it; the lock attempt below does not wait);
//  - every table file is a regular file this process can open, and a damaged owner record is
//    refused (a writer re-formats a table whose owner file fails its checks);
//  - an existing table holds this kind's values and passes the validator through read-only
//    mappings, as the writer that this process then opens will adopt it (the same fenix, the
//    same checks). The checks run first without the lock, so that a refused table is left
//    untouched, and again once the lock is held, when nothing can change the table under them.
// A table this writer creates and then cannot open is removed again, with the directories made
// for it.
//
// What a table this writer creates records in its header.
struct NewTable {
    std::uint32_t slotLimit = newTableSlotLimit;
    std::string classType = newTableClassType;
};

class TableWriter {
  public:
    // `mustExist`: refuse instead of creating the table when it has no slot file. `repair`: a
    // table that fails validation is accepted when a trial recovery repairs it (the writer then
    // recovers it on attach).
    TableWriter(Context& ctx, const TableKind& kind, const std::string& name, bool mustExist,
                bool repair = false, const NewTable& fresh = {})
        : kind_(kind),
          repair_(repair),
          root_(ctx.debug, name, true),
          owner_(ctx.debug, root_, false),
          lock_(noWait, noWait) {
        TableFiles t = tableFiles(ctx, name);
        check(ctx, t, mustExist, false);
        if (!t.hasSlots) created_ = missingLevels();
        try {
            root_.ensureDirectory();
            try {
                lock_.acquireWriterLock(ctx.debug, root_, owner_);
            } catch (const Basalt::InvalidInitializeException& e) {
                if (Mem::WriterLock::ownerIsAlive(root_)) {
                    throw Failure("table " + t.name + " is owned by another writer: " + e.what());
                }
                throw Failure("cannot take the writer lock of table " + t.name + ": " + e.what());
            }
            t = tableFiles(ctx, name);
            check(ctx, t, mustExist, true);
            Hoard::MapDescriptor descriptor;
            descriptor.slotLimit = fresh.slotLimit;
            std::string classType = fresh.classType;
            if (t.hasSlots) {
                existed_ = true;
                descriptor.slotLimit = t.slotHeader.maxSlots;
                classType.assign(t.slotHeader.classType,
                                 ::strnlen(t.slotHeader.classType, Hoard::SlotTable::nameSize));
            }
            writer_ = kind_.openWriter(ctx.debug, t.name, descriptor, classType, "hoardctl");
        } catch (...) {
            if (!existed_) removeCreated();
            throw;
        }
    }

    TableKind::Writer& writer() { return *writer_; }
    bool existed() const { return existed_; }

  private:
    static constexpr std::chrono::milliseconds noWait{0};

    // `locked`: this process holds the writer lock (the probe then finds itself).
    void check(Context& ctx, const TableFiles& t, bool mustExist, bool locked) const {
        if (t.ownerAlive && !locked) {
            throw Failure("table " + t.name + " is owned by live writer " + t.ownerText() +
                          "; not writing");
        }
        if (!t.problem.empty())
            throw Failure("table " + t.name + ": " + t.problem + "; not writing");
        if (!t.hasSlots) {
            if (mustExist) throw Failure("no table " + t.name + " under " + root_.root());
            return;
        }
        if (t.valueType() != kind_.valueTypeName()) {
            throw Failure("table " + t.name + " holds " + t.valueTypeText() + " values, not " +
                          std::string(kind_.valueTypeName()));
        }
        // A missing or empty owner file is the writer's to fill; a damaged one makes it
        // re-format the table.
        struct stat st {};
        std::string error;
        if (::stat(owner_.path().c_str(), &st) == 0 && st.st_size > 0 && !owner_.validate(error)) {
            throw Failure(
                "table " + t.name + ": owner file " + owner_.path() +
                " is damaged, not writing (a writer would re-format the table): " + error);
        }
        if (!t.headersValid(ctx.debug, error)) refuse(t, error);
        const TableKind::Validation v = kind_.validate(ctx.debug, t.name, t.fenix);
        if (v.valid || (repair_ && kind_.trialRecovery(ctx.debug, t.name, t.fenix).valid)) return;
        refuse(t, v.error);
    }
    [[noreturn]] void refuse(const TableFiles& t, const std::string& error) const {
        throw Failure("table " + t.name + " fails validation, not writing (a writer would " +
                      "re-format it): " + error);
    }
    // The directories of the table's path that do not exist yet, outermost first.
    std::vector<std::string> missingLevels() const {
        std::vector<std::string> levels;
        const std::string& name = root_.hoardName();
        for (std::size_t at = 0;; ++at) {
            at = name.find('/', at);
            const std::string dir = root_.root() + "/" + name.substr(0, at);
            struct stat st {};
            if (::lstat(dir.c_str(), &st) != 0) levels.push_back(dir);
            if (at == std::string::npos) break;
        }
        return levels;
    }
    // Undoes a failed create: the table's files and the directories made for it.
    void removeCreated() {
        writer_.reset();
        lock_.release();
        if (created_.empty()) return;  // the directory was there before: its files may be too
        for (const char* file :
             {Hoard::SlotTable::slotsFileName, Hoard::BucketTable::fileName,
              Herald::HeraldView::defaultFileName, SharedMem::FenixFile::kFileName,
              SharedMem::OwnerFile::kFileName, Hoard::Util::corruptionFileName}) {
            root_.removeFile(file);
        }
        for (auto dir = created_.rbegin(); dir != created_.rend(); ++dir) ::rmdir(dir->c_str());
    }

    const TableKind& kind_;
    bool repair_;
    Mem::RootPath root_;
    SharedMem::OwnerFile owner_;
    Mem::WriterLock lock_;
    std::unique_ptr<TableKind::Writer> writer_;
    bool existed_ = false;
    std::vector<std::string> created_;  // directories this writer made, outermost first
};

// `load`: only into a table without records (checked again under the writer lock), and say so.
int putValues(Context& ctx, const TableKind& kind, const std::string& name,
              const std::vector<std::string>& texts, const std::vector<std::string>& where,
              bool load = false, const NewTable& fresh = {}) {
    std::vector<GenericValue> values;
    values.reserve(texts.size());
    for (std::size_t i = 0; i < texts.size(); ++i) {
        try {
            values.push_back(kind.newValue());
            values.back().strepToValueIs(Kiln::String(texts[i]));
        } catch (const Kiln::RangeException& e) {
            throw Failure("bad value text (" + where[i] + "): " + e.what());
        }
    }
    TableWriter w(ctx, kind, name, false, false, fresh);
    if (load && w.writer().members() > 0) {
        throw Failure("table " + w.writer().hoardName() + " holds " +
                      counted(w.writer().members(), "record", "records") +
                      "; load writes only into a new or empty table");
    }
    std::size_t added = 0;
    std::size_t replaced = 0;
    GenericValue key = kind.newKey();
    for (const auto& value : values) {
        kind.keyOf(value.get(), key.get());
        const bool found = w.writer().lookup(key.get(), nullptr);
        try {
            w.writer().write(value.get(), true);
        } catch (const Basalt::Exception& e) {
            throw Failure("wrote " + std::to_string(added + replaced) + " of " +
                          std::to_string(values.size()) + " values, then: " + e.what());
        }
        ++(found ? replaced : added);
    }
    if (load) {
        ctx.out << "loaded " << counted(values.size(), "record", "records") << " into "
                << (w.existed() ? "table " : "new table ") << w.writer().hoardName() << '\n';
        return 0;
    }
    ctx.out << (w.existed() ? "" : "created table " + w.writer().hoardName() + "; ") << "wrote "
            << counted(values.size(), "value", "values") << " (" << added << " new, " << replaced
            << " replaced); table has " << counted(w.writer().members(), "record", "records")
            << '\n';
    return 0;
}

int removeKeys(Context& ctx, const TableFiles& t, const Args& keyTexts) {
    const TableKind& kind = kindOf(t);
    std::vector<GenericValue> keys;
    for (const std::string& text : keyTexts) keys.push_back(parseKey(kind, text));
    TableWriter w(ctx, kind, t.name, true);
    std::size_t missing = 0;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        const bool removed = w.writer().remove(keys[i].get(), nullptr);
        ctx.out << (removed ? "removed " : "not found ") << keyTexts[i] << '\n';
        if (!removed) ++missing;
    }
    return missing == 0 ? 0 : 1;
}

// ---- ls ---------------------------------------------------------------------------------------

std::string writerColumn(const TableFiles& t) {
    if (t.ownerAlive) return t.ownerText() + " alive";
    if (t.ownerPid > 0) return "pid " + std::to_string(t.ownerPid) + " gone";
    return "none";
}

// The writer as JSON: {"pid": 0 when none, "alive": ..., "name": the live owner's command}.
std::string writerJson(const TableFiles& t) {
    JsonObject w;
    w.number("pid", static_cast<std::uint64_t>(t.ownerPid)).boolean("alive", t.ownerAlive);
    if (!t.ownerName.empty()) w.string("name", t.ownerName);
    return w.text();
}

std::string classTypeOf(const TableFiles& t) {
    return std::string(t.slotHeader.classType,
                       ::strnlen(t.slotHeader.classType, Hoard::SlotTable::nameSize));
}

// header --json: the fields of both file headers by name, the fenix id, the writer and the
// verdict of the reader's header checks; exit 1 when they fail, as without --json.
int headerJson(Context& ctx, const TableFiles& t) {
    JsonObject json;
    json.string("table", t.name).string("directory", t.directory);
    if (t.slotHeaderRead) {
        const Hoard::SlotTable::Header& h = t.slotHeader;
        JsonObject slots;
        slots.number("magic", h.magic).number("version", h.version).number("fenix", h.fenix);
        slots.number("platform", h.platform).string("valueType", t.valueTypeText());
        slots.string("classType", classTypeOf(t)).number("valueSize", h.valueSize);
        slots.number("slotSize", h.slotSize).number("maxSlots", h.maxSlots);
        slots.number("constFlags", h.constFlags).number("runtimeFlags", h.runtimeFlags);
        slots.number("hash", h.hash).number("occupiedSlots", h.occupiedSlots);
        slots.number("freeSlots", h.freeSlots).number("mostSlots", h.mostSlots);
        slots.number("hashSeed", h.hashSeed).number("numSlots", h.numSlots().value);
        slots.number("numSlotsVersion", h.numSlots().version);
        json.raw("slotHeader", slots.text());
    }
    if (t.bucketHeaderRead) {
        const Hoard::BucketTable::Header& h = t.bucketHeader;
        JsonObject buckets;
        buckets.number("magic", h.magic).number("version", h.version).number("fenix", h.fenix);
        buckets.number("numBuckets", h.count())
            .number("numBucketsVersion", h.numBucketsPair().version);
        buckets.number("entrySize", h.entrySize).number("headerSize", h.headerSize);
        json.raw("bucketHeader", buckets.text());
    }
    json.number("fenixFile", t.fenix).raw("writer", writerJson(t));
    std::string error;
    const bool valid = t.headersValid(ctx.debug, error);
    json.boolean("headersValid", valid);
    if (!valid) json.string("error", error);
    ctx.out << json.text() << '\n';
    return valid ? 0 : 1;
}

}  // namespace

int commandLs(Context& ctx, const Args& args) {
    requireOperands(args, 0, 1, "ls");
    if (args.size() == 1) ::setenv("HOARD_SHM_ROOT", args[0].c_str(), 1);
    namespace fs = std::filesystem;
    const fs::path root = Mem::shmRoot();
    std::error_code ec;
    if (!fs::is_directory(fs::symlink_status(root, ec))) {
        throw Failure("no shm root directory " + root.string());
    }
    std::vector<std::string> names;
    fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied, ec);
    if (ec) throw Failure("cannot read " + root.string() + ": " + ec.message());
    for (; it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (ec) throw Failure("cannot read under " + root.string() + ": " + ec.message());
        if (it.depth() >= lsMaxDepth) it.disable_recursion_pending();
        if (!it->is_directory(ec) || it->is_symlink(ec)) continue;
        if (it->path().filename() != "slots" &&
            fs::exists(fs::symlink_status(it->path() / "slots", ec))) {
            names.push_back(fs::relative(it->path(), root, ec).string());
        }
    }
    std::sort(names.begin(), names.end());
    // MEMBERS: records; SLOTS: the slots the table has now; SLOTLIMIT: the slots it may grow to
    // before it grows in 10 % steps (or, fixed-size, refuses new records).
    constexpr int columns = 6;
    struct Row {
        std::string cells[columns];
    };
    std::vector<Row> rows{{{"TABLE", "VALUETYPE", "MEMBERS", "SLOTS", "SLOTLIMIT", "WRITER"}}};
    for (const std::string& name : names) {
        const TableFiles t = tableFiles(ctx, name);
        std::string error;
        const bool readable = t.headersValid(ctx.debug, error) && t.slotHeaderRead;
        if (ctx.json) {
            JsonObject row;
            row.string("table", t.name).boolean("readable", readable);
            if (t.slotHeaderRead) row.string("valueType", t.valueTypeText());
            if (readable) {
                row.number("members", t.members())
                    .number("slots", t.capacity())
                    .number("slotLimit", t.slotHeader.maxSlots);
            } else {
                row.string("error", error);
            }
            ctx.out << row.raw("writer", writerJson(t)).text() << '\n';
            continue;
        }
        rows.push_back({{t.name, t.slotHeaderRead ? t.valueTypeText() : "?",
                         readable ? std::to_string(t.members()) : "?",
                         readable ? std::to_string(t.capacity()) : "?",
                         readable ? std::to_string(t.slotHeader.maxSlots) : "?", writerColumn(t)}});
        if (!readable) rows.back().cells[columns - 1] += " (unreadable: " + error + ")";
    }
    if (ctx.json) return 0;
    std::size_t width[columns - 1] = {};
    for (const Row& r : rows) {
        for (int c = 0; c < columns - 1; ++c) width[c] = std::max(width[c], r.cells[c].size());
    }
    for (const Row& r : rows) {
        for (int c = 0; c < columns - 1; ++c) {
            ctx.out << std::left << std::setw(static_cast<int>(width[c])) << r.cells[c] << "  ";
        }
        ctx.out << r.cells[columns - 1] << '\n';
    }
    return 0;
}

int commandHeader(Context& ctx, const Args& args) {
    requireOperands(args, 1, 1, "header");
    const TableFiles t = existingTable(ctx, args[0]);
    if (ctx.json) return headerJson(ctx, t);
    ctx.out << "table " << t.name << " in " << t.directory << '\n';
    ctx.out << (t.slotHeaderRead ? t.slotHeader.toString()
                                 : "SlotTable::Header() unreadable: the slots file is shorter "
                                   "than its header")
            << '\n';
    ctx.out << (t.bucketHeaderRead ? t.bucketHeader.toString()
                                   : "BucketTable::Header() missing or unreadable")
            << '\n';
    ctx.out << "fenix file: " << (t.fenix == 0 ? "missing or invalid" : std::to_string(t.fenix))
            << '\n';
    ctx.out << "writer: " << writerColumn(t) << '\n';
    std::string error;
    const bool valid = t.headersValid(ctx.debug, error);
    ctx.out << "headers: " << (valid ? "valid" : "invalid: " + error) << '\n';
    return valid ? 0 : 1;
}

int commandList(Context& ctx, const Args& args) {
    requireOperands(args, 1, 1, "list");
    const TableFiles t = existingTable(ctx, args[0]);
    requireReadableHeaders(ctx, t);
    const TableKind& kind = kindOf(t);
    const RecordFilter filter(kind, ctx.matches);
    return listTable(
        ctx, t,
        [&](const GenericValue& value) {
            if (!filter.passes(value)) return;
            ctx.out << (ctx.json ? recordJson(kind, value) : valueText(value)) << '\n';
        },
        ctx.sorted);
}

int commandDump(Context& ctx, const Args& args) {
    requireOperands(args, 1, 1, "dump");
    const TableFiles t = existingTable(ctx, args[0]);
    requireReadableHeaders(ctx, t);
    // What load needs to make the same table; the records follow, one value text each.
    ctx.out << "# hoardctl dump table=" << t.name << " valueType=" << t.valueTypeText()
            << " classType=" << classTypeOf(t) << " slotLimit=" << t.slotHeader.maxSlots << '\n';
    return listTable(ctx, t,
                     [&](const GenericValue& value) { ctx.out << valueText(value) << '\n'; });
}

int commandGet(Context& ctx, const Args& args) {
    requireOperands(args, 2, 2, "get");
    const TableFiles t = existingTable(ctx, args[0]);
    requireReadableHeaders(ctx, t);
    return getRecord(ctx, t, args[1]);
}

namespace {
// The texts after the table operand, or, when there are none, each non-blank line of standard
// input (lines starting with '#' too, when `comments` is given: they go there instead); `where`
// names each one's origin for messages ("operand 2", "line 7").
void operandsOrLines(Context& ctx, const Args& args, const char* command, const char* what,
                     std::vector<std::string>& texts, std::vector<std::string>& where,
                     std::vector<std::string>* comments = nullptr) {
    if (args.size() > 1) {
        for (std::size_t i = 1; i < args.size(); ++i) {
            texts.push_back(args[i]);
            where.push_back("operand " + std::to_string(i));
        }
        return;
    }
    std::string line;
    for (std::size_t n = 1; std::getline(ctx.in, line); ++n) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.find_first_not_of(" \t") == std::string::npos) continue;
        if (comments != nullptr && line.starts_with('#')) {
            comments->push_back(line);
            continue;
        }
        texts.push_back(line);
        where.push_back("line " + std::to_string(n));
    }
    if (texts.empty() && comments == nullptr) {
        throw Failure(std::string(command) + ": no " + what + " on standard input");
    }
}
}  // namespace

std::string valueTextExamples() {
    std::string text;
    for (const TableKind* kind : Hoard::tableKinds()) {
        text += "  " + std::string(kind->valueTypeName()) + ":\n    " +
                valueText(kind->newValue()) + "\n";
    }
    return text;
}

int commandCount(Context& ctx, const Args& args) {
    requireOperands(args, 1, 1, "count");
    const TableFiles t = existingTable(ctx, args[0]);
    requireReadableHeaders(ctx, t);
    ctx.out << openReader(ctx, t, kindOf(t))->members() << '\n';
    return 0;
}

namespace {

// put, or with `load` what dump printed: its "#" line gives the type, class type and slot limit
// of a table load creates (load's other "#" lines are ignored).
int putOrLoad(Context& ctx, const Args& args, bool load) {
    const char* command = load ? "load" : "put";
    requireOperands(args, 1, load ? 1 : static_cast<std::size_t>(-1), command);
    std::vector<std::string> texts;
    std::vector<std::string> where;
    std::vector<std::string> comments;
    operandsOrLines(ctx, args, command, "value text", texts, where, load ? &comments : nullptr);
    std::string type = texts.empty() ? "" : valueTextTypeName(texts[0]);
    NewTable fresh;
    if (load && !comments.empty() && comments[0].starts_with("# hoardctl dump ")) {
        std::istringstream fields(comments[0]);
        for (std::string field; fields >> field;) {
            const std::size_t eq = field.find('=');
            const std::string name = field.substr(0, eq), value = field.substr(eq + 1);
            if (eq == std::string::npos) continue;
            if (name == "valueType") type = value;
            if (name == "classType") fresh.classType = value;
            if (name == "slotLimit")
                fresh.slotLimit = static_cast<std::uint32_t>(std::stoul(value));
        }
    }
    if (texts.empty() && type.empty()) {
        throw Failure(std::string(command) + ": no value text or dump header on standard input");
    }
    // Every text names its type; all must name one, which an existing table must hold.
    for (std::size_t i = 0; i < texts.size(); ++i) {
        const std::string ti = valueTextTypeName(texts[i]);
        if (ti.empty()) {
            throw Failure("bad value text (" + where[i] +
                          "): it does not start with Value('<type>', ** {");
        }
        if (ti != type) {
            throw Failure(std::string(i == 0 ? "the dump header and " : "") +
                          "value texts name different types: " + type + " and " + ti + " (" +
                          where[i] + ")");
        }
    }
    const TableFiles t = tableFiles(ctx, args[0]);
    if (t.hasSlots && t.problem.empty() && t.valueType() != type) {
        throw Failure("table " + t.name + " holds " + t.valueTypeText() + " values, not " + type);
    }
    const TableKind* kind = Hoard::tableKind(type);
    if (kind == nullptr) {
        throw Failure("unknown value type '" + type + "' (known: " + knownValueTypes() + ")");
    }
    return putValues(ctx, *kind, args[0], texts, where, load, fresh);
}

}  // namespace

int commandPut(Context& ctx, const Args& args) { return putOrLoad(ctx, args, false); }

int commandLoad(Context& ctx, const Args& args) { return putOrLoad(ctx, args, true); }

int commandRm(Context& ctx, const Args& args) {
    requireOperands(args, 1, static_cast<std::size_t>(-1), "rm");
    const TableFiles t = existingTable(ctx, args[0]);
    Args keys;
    std::vector<std::string> where;
    operandsOrLines(ctx, args, "rm", "key text", keys, where);
    return removeKeys(ctx, t, keys);
}

int commandTypes(Context& ctx, const Args& args) {
    requireOperands(args, 0, 0, "types");
    // Value types: a generic table with a value text. Entities are made by name, not printed.
    std::vector<const Kiln::KilnType*> values;
    for (const Kiln::KilnType* type : Kiln::types()) {
        const Kiln::GenericIf::Table* table = type->genericIf();
        if (table != nullptr && table->strRep != nullptr &&
            !type->isDerived(Kiln::Entity::_kilnType)) {
            values.push_back(type);
        }
    }
    std::sort(values.begin(), values.end(),
              [](const auto* a, const auto* b) { return a->name() < b->name(); });
    for (const Kiln::KilnType* type : values) {
        auto attributes = type->attributes();
        std::sort(attributes.begin(), attributes.end(),
                  [](const auto& a, const auto& b) { return a.number < b.number; });
        std::size_t width = 0;
        for (const auto& a : attributes) width = std::max(width, a.name.size());
        ctx.out << (type == values.front() ? "" : "\n") << type->name() << '\n';
        if (attributes.empty()) ctx.out << "        (no attributes)\n";
        for (const auto& a : attributes) {
            ctx.out << std::right << std::setw(6) << a.number << "  " << std::left
                    << std::setw(static_cast<int>(width)) << a.name << "  "
                    << (a.access == Kiln::KilnType::Access::readOnly    ? "read-only"
                        : a.access == Kiln::KilnType::Access::readWrite ? "read-write"
                                                                        : "function")
                    << '\n';
        }
    }
    return 0;
}

// Prints what a recovery repaired, one "  repaired: ..." line each.
void printRepairs(Context& ctx, const std::vector<std::string>& repairs) {
    for (const std::string& r : repairs) ctx.out << "  repaired: " << r << '\n';
}

int commandRepair(Context& ctx, const Args& args) {
    requireOperands(args, 1, 1, "repair");
    const TableFiles t = existingTable(ctx, args[0]);
    TableWriter w(ctx, kindOf(t), t.name, true, true);
    const std::vector<std::string> repairs = w.writer().repairs();
    if (repairs.empty()) {
        ctx.out << "nothing to repair in " << t.name << '\n';
    } else {
        ctx.out << "repaired " << t.name << ": " << counted(repairs.size(), "repair", "repairs")
                << '\n';
        printRepairs(ctx, repairs);
    }
    return 0;
}

int commandValidate(Context& ctx, const Args& args) {
    requireOperands(args, 1, 1, "validate");
    const TableFiles t = existingTable(ctx, args[0]);
    // With --json, one object: "valid", "headersOnly" (a live writer owns the table), "error",
    // "records" and "freeSlots", and for a table that fails "repairable" with "repairs".
    JsonObject json;
    json.string("table", t.name);
    const auto answer = [&](bool valid) {
        if (ctx.json) ctx.out << json.boolean("valid", valid).text() << '\n';
        return valid ? 0 : 1;
    };
    std::string error;
    const bool headers = t.headersValid(ctx.debug, error);
    json.boolean("headersOnly", t.ownerAlive);
    if (!headers) json.string("error", error);
    if (t.ownerAlive) {
        // The live writer changes the table under any walk: only the headers are checked.
        if (!ctx.json) {
            ctx.out << "table " << t.name << " is owned by live writer " << t.ownerText()
                    << ": only its headers were checked\n";
            ctx.out << (headers ? "headers valid" : "invalid: " + error) << '\n';
        }
        return answer(headers);
    }
    if (!headers) {
        if (!ctx.json) ctx.out << "invalid: " << error << '\n';
        return answer(false);
    }
    const TableKind::Validation v = kindOf(t).validate(ctx.debug, t.name, t.fenix);
    if (!v.valid) {
        json.string("error", v.error);
        const TableKind::Validation r = kindOf(t).trialRecovery(ctx.debug, t.name, t.fenix);
        json.boolean("repairable", r.valid);
        if (r.valid) {
            json.number("records", r.records).strings("repairs", r.repairs);
        } else {
            json.string("recoveryError", r.error);
        }
        if (ctx.json) return answer(false);
        ctx.out << "invalid: " << v.error << '\n';
        if (r.valid) {
            ctx.out << "repairable: " << counted(r.repairs.size(), "repair", "repairs") << " leave "
                    << counted(r.records, "record", "records") << " (hoardctl repair " << t.name
                    << ")\n";
            printRepairs(ctx, r.repairs);
        } else {
            ctx.out << "not repairable: " << r.error << '\n';
        }
        return 1;
    }
    json.number("records", v.records).number("freeSlots", v.freeSlots);
    if (ctx.json) return answer(true);
    ctx.out << "valid: " << counted(v.records, "record", "records") << ", "
            << counted(v.freeSlots, "free slot", "free slots") << " of " << v.records + v.freeSlots
            << '\n';
    return 0;
}

}  // namespace Hoardctl
