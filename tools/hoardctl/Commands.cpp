#include "tools/hoardctl/Commands.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <iomanip>
#include <istream>
#include <memory>
#include <ostream>
#include <sstream>
#include <string>
#include <string_view>
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

int listTable(Context& ctx, const TableFiles& t) {
    const TableKind& kind = kindOf(t);
    const auto reader = openReader(ctx, t, kind);
    // Iteration returns each key at most once, in strictly increasing order, so over a table
    // nobody writes it ends by itself. The bound is a second stop for a table that keeps lying:
    // the most slots the table has had, which follows its growth (the reader remaps as the writer
    // grows it). While a live writer inserts, an iteration may meet more records than any slot
    // count it saw; that never fails the listing.
    const auto limit = [&] {
        return std::uint64_t{std::max({t.slotHeader.maxSlots, t.slotHeader.mostSlots,
                                       reader->maxSize(), reader->capacity()})};
    };
    std::uint64_t bound = limit();
    GenericValue value = kind.newValue();
    Hoard::IterHint hint;
    std::uint64_t n = 0;
    for (bool more = reader->first(value.get(), hint); more;
         more = reader->next(value.get(), hint)) {
        if (++n > bound && (bound = std::max(bound, limit())) < n) {
            if (!Mem::WriterLock::ownerIsAlive(Mem::RootPath(ctx.debug, t.name))) {
                throw Failure("table " + t.name + " returned more records than its slot limit " +
                              std::to_string(bound));
            }
            bound = 2 * n;  // a live writer: probe again only after as many records again
        }
        ctx.out << valueText(value) << '\n';
    }
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
    ctx.out << valueText(value) << '\n';
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
class TableWriter {
  public:
    // `mustExist`: refuse instead of creating the table when it has no slot file. `repair`: a
    // table that fails validation is accepted when a trial recovery repairs it (the writer then
    // recovers it on attach).
    TableWriter(Context& ctx, const TableKind& kind, const std::string& name, bool mustExist,
                bool repair = false)
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
            descriptor.slotLimit = newTableSlotLimit;
            std::string classType = newTableClassType;
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

int putValues(Context& ctx, const TableKind& kind, const std::string& name,
              const std::vector<std::string>& texts, const std::vector<std::string>& where) {
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
    TableWriter w(ctx, kind, name, false);
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
        rows.push_back({{t.name, t.slotHeaderRead ? t.valueTypeText() : "?",
                         readable ? std::to_string(t.members()) : "?",
                         readable ? std::to_string(t.capacity()) : "?",
                         readable ? std::to_string(t.slotHeader.maxSlots) : "?", writerColumn(t)}});
        if (!readable) rows.back().cells[columns - 1] += " (unreadable: " + error + ")";
    }
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
    return listTable(ctx, t);
}

int commandGet(Context& ctx, const Args& args) {
    requireOperands(args, 2, 2, "get");
    const TableFiles t = existingTable(ctx, args[0]);
    requireReadableHeaders(ctx, t);
    return getRecord(ctx, t, args[1]);
}

namespace {
// The texts after the table operand, or, when there are none, each non-blank line of standard
// input; `where` names each one's origin for messages ("operand 2", "line 7").
void operandsOrLines(Context& ctx, const Args& args, const char* command, const char* what,
                     std::vector<std::string>& texts, std::vector<std::string>& where) {
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
        texts.push_back(line);
        where.push_back("line " + std::to_string(n));
    }
    if (texts.empty()) {
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

int commandPut(Context& ctx, const Args& args) {
    requireOperands(args, 1, static_cast<std::size_t>(-1), "put");
    std::vector<std::string> texts;
    std::vector<std::string> where;
    operandsOrLines(ctx, args, "put", "value text", texts, where);
    // Every text names its type; all must name one, which an existing table must hold.
    const std::string type = valueTextTypeName(texts[0]);
    for (std::size_t i = 0; i < texts.size(); ++i) {
        const std::string ti = valueTextTypeName(texts[i]);
        if (ti.empty()) {
            throw Failure("bad value text (" + where[i] +
                          "): it does not start with Value('<type>', ** {");
        }
        if (ti != type) {
            throw Failure("value texts name different types: " + type + " and " + ti + " (" +
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
    return putValues(ctx, *kind, args[0], texts, where);
}

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
    std::string error;
    const bool headers = t.headersValid(ctx.debug, error);
    if (t.ownerAlive) {
        // The live writer changes the table under any walk: only the headers are checked.
        ctx.out << "table " << t.name << " is owned by live writer " << t.ownerText()
                << ": only its headers were checked\n";
        ctx.out << (headers ? "headers valid" : "invalid: " + error) << '\n';
        return headers ? 0 : 1;
    }
    if (!headers) {
        ctx.out << "invalid: " << error << '\n';
        return 1;
    }
    const TableKind::Validation v = kindOf(t).validate(ctx.debug, t.name, t.fenix);
    if (!v.valid) {
        ctx.out << "invalid: " << v.error << '\n';
        const TableKind::Validation r = kindOf(t).trialRecovery(ctx.debug, t.name, t.fenix);
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
    ctx.out << "valid: " << counted(v.records, "record", "records") << ", "
            << counted(v.freeSlots, "free slot", "free slots") << " of " << v.records + v.freeSlots
            << '\n';
    return 0;
}

}  // namespace Hoardctl
