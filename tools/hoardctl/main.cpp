// hoardctl: inspect and edit shared-memory tables.
//
//     hoardctl [--root DIR] COMMAND [ARGS]
//
// Output for people on stdout, one value text per line where values are printed; errors as one
// "hoardctl: <message>" line on stderr. Exit 0 on success, 1 when the command ran and the answer
// is negative or it failed, 2 on bad usage. Every exception ends in main(), never in a crash.
// Library traces are off unless $FLOWTABLE_TRACE asks for them, so that a failure is one line.

#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iostream>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "contracts/Basalt/DebugHandler.h"
#include "contracts/Basalt/TraceSink.h"
#include "tools/hoardctl/Commands.h"

namespace {

using Hoardctl::Args;
using Hoardctl::Context;

// Drops every trace line.
class QuietSink : public Basalt::TraceSink {
  public:
    void write(std::string_view, int, const char*, int, const char*, std::string_view) override {}
};

struct Command {
    int (*run)(Context&, const Args&);
    const char* usage;
    const char* help;
};

const std::map<std::string, Command>& commands() {
    static const std::map<std::string, Command> table = {
        {"ls",
         {Hoardctl::commandLs, "ls [ROOT] [--json]",
          "Lists the tables under ROOT (default: --root, $HOARD_SHM_ROOT or /dev/shm/hoard):\n"
          "every directory holding a \"slots\" file, with its value type, MEMBERS (records),\n"
          "SLOTS (the slots it has now), SLOTLIMIT (the slots it may grow to before it grows\n"
          "in 10 % steps) and writer (the owner record's pid, and whether it still holds the\n"
          "writer lock). Reads only; takes no lock. --json: one JSON object per table, with\n"
          "\"table\", \"valueType\", \"members\", \"slots\", \"slotLimit\", \"readable\" "
          "(\"error\"\n"
          "when not) and \"writer\" ({\"pid\", \"alive\", \"name\"})."}},
        {"count",
         {Hoardctl::commandCount, "count TABLE",
          "Prints the number of records of TABLE. Reads only; takes no lock."}},
        {"header",
         {Hoardctl::commandHeader, "header TABLE [--json]",
          "Prints the slot and bucket file headers of TABLE, its fenix id, its writer and\n"
          "whether the headers pass the checks a reader makes; exit 1 when they do not.\n"
          "Reads only; takes no lock. --json: one JSON object with both headers' fields by\n"
          "name (\"slotHeader\", \"bucketHeader\"), \"fenixFile\", \"writer\" and\n"
          "\"headersValid\"."}},
        {"list",
         {Hoardctl::commandList, "list TABLE [--match ATTR=VALUE]... [--sorted] [--json]",
          "Prints every record of TABLE as a value text, one per line (feed them back with\n"
          "put), in slot order. Reads through the lock-free reader: safe while a writer\n"
          "writes; each key is printed once, also when the writer shrinks the table meanwhile\n"
          "and moves records. --sorted prints the records in the order of their key texts\n"
          "(after reading them all).\n"
          "--match ATTR=VALUE (repeatable) prints only the records whose attribute ATTR, of\n"
          "the record or else of its key, has VALUE as its value text (a quoted string also\n"
          "matches its bare text): list T --match dstPort=80 --match ipProtocol=6.\n"
          "--json prints one JSON object per record: \"type\", \"key\" (the key's value text),\n"
          "every attribute by name (numbers and True/False as JSON numbers and booleans,\n"
          "other values as their text) and \"keyAttributes\", the key's attributes by name."}},
        {"get",
         {Hoardctl::commandGet, "get TABLE KEYTEXT [--json]",
          "Prints the record of TABLE whose key has the value text KEYTEXT: the text that\n"
          "follows 'key': in the record's value text (as list prints it). Exit 1 when there\n"
          "is none. Reads through the lock-free reader. --json: the record as list --json\n"
          "prints it."}},
        {"dump",
         {Hoardctl::commandDump, "dump TABLE",
          "Prints TABLE for load: a first line \"# hoardctl dump table=... valueType=...\n"
          "classType=... slotLimit=...\", then every record's value text, one per line. Value\n"
          "texts do not depend on the machine or the table format, so 'hoardctl dump T >\n"
          "FILE' and 'hoardctl load T < FILE' move a table between machines and versions.\n"
          "Reads through the lock-free reader."}},
        {"load",
         {Hoardctl::commandLoad, "load TABLE",
          "Writes the records that dump printed, read from standard input, into TABLE as its\n"
          "writer: a new table (with the class type and slot limit of the dump's first line)\n"
          "or an existing one without records of the same type. Lines starting with '#' and\n"
          "blank lines are skipped. The refusals of put apply, and a table holding records is\n"
          "refused; nothing is written when a text is bad."}},
        {"put",
         {Hoardctl::commandPut, "put TABLE [VALUETEXT...]",
          "Writes each VALUETEXT (or each non-blank line of standard input when none is\n"
          "given) into TABLE as its writer, replacing a record with the same key. The value\n"
          "text names its type, so put creates a missing table (slot limit 1024). Refuses a\n"
          "table owned by a live writer, a table of another value type, and a table that fails\n"
          "validation or whose owner file is damaged (it is never re-formatted). Nothing is\n"
          "written when a text is bad. A value text of every record type:\n"}},
        {"rm",
         {Hoardctl::commandRm, "rm TABLE [KEYTEXT...]",
          "Removes the records with these keys (or with the key texts on the non-blank lines\n"
          "of standard input when none are given) from TABLE as its writer, with the same\n"
          "refusals as put. Prints \"removed KEYTEXT\" or \"not found KEYTEXT\" for each; exit 1\n"
          "when a key was not found."}},
        {"types",
         {Hoardctl::commandTypes, "types",
          "Lists the value types this hoardctl knows (the library's registered record and key\n"
          "types), each followed by its attributes: number, name and access (read-only,\n"
          "read-write, or function). The record types tables hold are those put --help\n"
          "shows. Reads no table."}},
        {"validate",
         {Hoardctl::commandValidate, "validate TABLE [--json]",
          "Checks TABLE with the table validator through read-only mappings (no lock, no\n"
          "write) and prints the verdict with the first failure. While a live writer owns the\n"
          "table only its headers are checked, and it says so. A table that fails is then\n"
          "recovered on private copy-on-write mappings (no file changes), as its next writer\n"
          "would recover it: \"repairable\" with each repair when the copy then passes, else\n"
          "\"not repairable\" and why (its next writer would re-format it). Exit 1 when invalid.\n"
          "--json: one JSON object with \"valid\", \"headersOnly\", \"error\", \"records\",\n"
          "\"freeSlots\", and for a table that fails \"repairable\" with \"repairs\"."}},
        {"repair",
         {Hoardctl::commandRepair, "repair TABLE",
          "Opens TABLE as its writer, which recovers what a writer that died inside an\n"
          "operation left, and prints each repair. Refuses, changing nothing, while a live writer\n"
          "owns the table, and when the repaired table would still fail validation."}},
        {"watch",
         {Hoardctl::commandWatch, "watch TABLE [--count N]",
          "Follows a counter table's changes until interrupted (SIGINT or SIGTERM: exit 0), or\n"
          "until N changes were printed with --count N. Prints one line per changed key as it\n"
          "happens: the record's value text, or the key text followed by \" removed\" when the\n"
          "record is gone. The records present when watch first has a copy of the table are\n"
          "not printed; a rewrite that leaves a record as it was prints nothing. Without a live\n"
          "writer it waits for one; when the writer restarts only what differs across the\n"
          "restart is printed. Keeps a local copy of the table, updated from the writer's change\n"
          "queue and woken by its doorbell. Flow tables have no change queue and are refused."}},
    };
    return table;
}

void printUsage(std::ostream& os) {
    os << "usage: hoardctl [--root DIR] COMMAND [ARGS]\n\n"
          "Inspects and edits shared-memory tables. A table name such as\n"
          "flowtracking/x/flowTable/t1/ipFlowEntry lives in $HOARD_SHM_ROOT/<name>/\n"
          "(default root /dev/shm/hoard; --root DIR overrides it).\n\ncommands:\n";
    for (const auto& [name, c] : commands()) os << "  " << c.usage << '\n';
    os << "\n'hoardctl COMMAND --help' describes a command; 'hoardctl --version' prints the\n"
          "version. Exit status: 0 success, 1 a negative answer or a failure, 2 bad usage.\n";
}

int fail(const std::string& message, int status) {
    std::string line = message;
    for (char& c : line) {
        if (c == '\n' || c == '\r') c = ' ';
    }
    std::cerr << "hoardctl: " << line << std::endl;
    return status;
}

// --count's N: a positive decimal number.
std::uint64_t positiveCount(const std::string& text) {
    std::uint64_t n = 0;
    const char* end = text.data() + text.size();
    const auto [at, ec] = std::from_chars(text.data(), end, n);
    if (ec != std::errc() || at != end || n == 0) {
        throw Hoardctl::UsageError("--count needs a positive number, not '" + text + "'");
    }
    return n;
}

int run(int argc, char** argv) {
    std::string command;
    Args operands;
    bool help = false;
    bool optionsDone = false;
    std::string countText;  // --count's operand, "" when not given
    bool json = false, sorted = false;
    std::vector<std::pair<std::string, std::string>> matches;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (optionsDone || arg.size() < 2 || arg.compare(0, 1, "-") != 0) {
            (command.empty() ? command : operands.emplace_back()) = arg;
        } else if (arg == "--") {
            optionsDone = true;
        } else if (arg == "--help" || arg == "-h") {
            help = true;
        } else if (arg == "--version") {
            std::cout << "hoardctl " << FLOWTABLE_VERSION << " (flowtable)\n";
            return 0;
        } else if (arg == "--count" || arg.rfind("--count=", 0) == 0) {
            if (arg == "--count" && i + 1 >= argc) throw Hoardctl::UsageError("--count needs N");
            countText = arg == "--count" ? argv[++i] : arg.substr(8);
        } else if (arg == "--json") {
            json = true;
        } else if (arg == "--sorted") {
            sorted = true;
        } else if (arg == "--match" || arg.rfind("--match=", 0) == 0) {
            if (arg == "--match" && i + 1 >= argc) {
                throw Hoardctl::UsageError("--match needs ATTR=VALUE");
            }
            const std::string match = arg == "--match" ? argv[++i] : arg.substr(8);
            const std::size_t eq = match.find('=');
            if (eq == std::string::npos || eq == 0) {
                throw Hoardctl::UsageError("--match needs ATTR=VALUE, not '" + match + "'");
            }
            matches.emplace_back(match.substr(0, eq), match.substr(eq + 1));
        } else if (arg == "--root" || arg.rfind("--root=", 0) == 0) {
            std::string dir;
            if (arg == "--root") {
                if (i + 1 >= argc) throw Hoardctl::UsageError("--root needs a directory");
                dir = argv[++i];
            } else {
                dir = arg.substr(7);
            }
            if (dir.empty()) throw Hoardctl::UsageError("--root needs a directory");
            ::setenv("HOARD_SHM_ROOT", dir.c_str(), 1);
        } else {
            throw Hoardctl::UsageError("unknown option '" + arg + "' (try hoardctl --help)");
        }
    }
    if (command.empty() || command == "help") {
        if (help || command == "help") {
            printUsage(std::cout);
            return 0;
        }
        throw Hoardctl::UsageError("no command given (try hoardctl --help)");
    }
    const auto found = commands().find(command);
    if (found == commands().end()) {
        throw Hoardctl::UsageError("unknown command '" + command + "' (try hoardctl --help)");
    }
    if (help) {
        std::cout << "usage: hoardctl [--root DIR] " << found->second.usage << "\n\n"
                  << found->second.help << (command == "put" ? Hoardctl::valueTextExamples() : "")
                  << '\n';
        return 0;
    }
    Context ctx{
        Basalt::Platform::getDebugHandler("hoardctl"), std::cout, std::cin, 0, false, false, {}};
    if (!countText.empty()) {
        if (command != "watch") {
            throw Hoardctl::UsageError("--count is an option of watch only (try hoardctl " +
                                       command + " --help)");
        }
        ctx.count = positiveCount(countText);
    }
    if (json && command != "ls" && command != "header" && command != "list" && command != "get" &&
        command != "validate") {
        throw Hoardctl::UsageError("--json is an option of ls, header, list, get and validate");
    }
    if (!matches.empty() && command != "list") {
        throw Hoardctl::UsageError("--match is an option of list only (try hoardctl list --help)");
    }
    if (sorted && command != "list") {
        throw Hoardctl::UsageError("--sorted is an option of list only (try hoardctl list --help)");
    }
    ctx.json = json;
    ctx.sorted = sorted;
    ctx.matches = std::move(matches);
    const int status = found->second.run(ctx, operands);
    std::cout.flush();
    if (!std::cout) return fail("cannot write to standard output", 1);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    static QuietSink quiet;
    const char* traces = std::getenv(Basalt::traceSwitchesVariable);
    if (traces == nullptr || *traces == '\0') Basalt::traceSinkIs(&quiet);
    try {
        return run(argc, argv);
    } catch (const Hoardctl::UsageError& e) {
        return fail(e.what(), 2);
    } catch (const std::exception& e) {
        return fail(e.what(), 1);
    } catch (...) {
        return fail("unknown exception", 1);
    }
}
